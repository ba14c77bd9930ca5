#include "foundation/strings/utf.h"

#include "foundation/strings/dynamic_string.h"

#include <gtest/gtest.h>

#include "tests/foundation/strings/strings_test_allocator.h"

#include <string>
#include <vector>

namespace tallow {
namespace {

TEST(Utf8, EncodeBoundaries)
{
    struct Case {
        u32 code_point;
        std::string bytes;
    };
    const Case cases[] = {
        {0x00, std::string(1, '\0')},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0xD800, "\xED\xA0\x80"}, // surrogates are encoded like any other unit
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
        {0x110000, ""},
        {0xFFFFFFFF, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code_point);
        char out[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
        char *end = utf8_encode(c.code_point, out);
        ASSERT_EQ(u64(end - out), c.bytes.size());
        EXPECT_EQ(std::string(out, end), c.bytes);
        EXPECT_EQ(out[c.bytes.size()], '#');
        EXPECT_EQ(utf8_encoded_size(c.code_point), c.bytes.size());
        if (!c.bytes.empty() && c.code_point != 0) {
            u32 back = 0;
            std::string text = c.bytes;
            EXPECT_EQ(utf8_decode(text.c_str(), &back), text.c_str() + text.size());
            EXPECT_EQ(back, c.code_point);
        }
    }
}

TEST(Utf8, DecodeMalformedInputAlwaysProgressesAndStopsAtTheTerminator)
{
    const u32 bad = utf8_replacement;
    struct Case {
        const char *name;
        std::string text; // decoded up to its terminator
        std::vector<u32> code_points;
    };
    const Case cases[] = {
        {"ascii", "ab", {'a', 'b'}},
        {"mixed", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", {'a', 0xE9, 0x20AC, 0x1F600}},
        {"lone continuation", "\x80" "a", {bad, 'a'}},
        {"five-byte lead", "\xF8\x88\x80\x80\x80", {bad, bad, bad, bad, bad}},
        {"lead 0xFF", "\xFF" "a", {bad, 'a'}},
        {"truncated two-byte at end", "a\xC3", {'a', bad}},
        {"truncated three-byte at end", "\xE2\x82", {bad, bad}},
        {"truncated four-byte at end", "\xF0\x9F\x98", {bad, bad, bad}},
        {"continuation replaced by ascii", "\xE2" "ab", {bad, 'a', 'b'}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Exact-size heap copy so a read past the terminator shows under the sanitizer.
        std::vector<char> buffer(c.text.begin(), c.text.end());
        buffer.push_back(0);
        std::vector<u32> got;
        const char *p = buffer.data();
        while (*p) {
            u32 cp = 0;
            const char *next = utf8_decode(p, &cp);
            ASSERT_GT(next, p);
            ASSERT_LE(next, buffer.data() + buffer.size() - 1);
            got.push_back(cp);
            p = next;
        }
        EXPECT_EQ(got, c.code_points);
        u32 cp = 1;
        EXPECT_EQ(utf8_decode(p, &cp), p);
        EXPECT_EQ(cp, 0u);
    }
}

TEST(Utf16, ConversionsBothWays)
{
    test::StringsTestAllocator alloc;
    // A surrogate pair is not combined: it yields two 3-byte sequences.
    const char16_t wide[] = {u'a', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0};
    const char expected[] = "a\xC3\xA9\xE2\x82\xAC\xED\xA0\xBD\xED\xB8\x80";
    EXPECT_EQ(utf16_to_utf8_size(wide), sizeof expected);
    char out[64];
    EXPECT_EQ(utf16_to_utf8(wide, out, sizeof out), out);
    EXPECT_STREQ(out, expected);
    EXPECT_EQ(utf16_to_utf8(nullptr, out, sizeof out), nullptr);

    DynamicString s = DynamicString::from_wide(wide, alloc);
    EXPECT_STREQ(s.c_str(), expected);
    EXPECT_EQ(alloc.allocated_size(s.c_str()), sizeof expected);
    EXPECT_FALSE(DynamicString::from_wide(u"", alloc).owns_text());

    // Back to UTF-16: each code point's low 16 bits; a 4-byte sequence loses its top.
    const char text[] = "a\xC3\xA9\xF0\x9F\x98\x80";
    char16_t units[8];
    EXPECT_EQ(utf8_to_utf16_size(text), 4u);
    EXPECT_EQ(utf8_to_utf16(text, units, 8), units);
    EXPECT_EQ(units[0], u'a');
    EXPECT_EQ(units[1], 0xE9);
    EXPECT_EQ(units[2], char16_t(0xF600));
    EXPECT_EQ(units[3], 0);
    EXPECT_EQ(utf8_to_utf16(nullptr, units, 8), nullptr);
}

TEST(Utf16, SmallOutputBuffersAreCutAtWholeSequences)
{
    const char16_t wide[] = {u'a', 0x20AC, u'b', 0};
    struct Case {
        u64 capacity;
        std::string expected;
    };
    const Case cases[] = {{1, ""}, {2, "a"}, {4, "a"}, {5, "a\xE2\x82\xAC"}, {6, "a\xE2\x82\xAC" "b"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.capacity);
        std::vector<char> out(c.capacity, '#');
        utf16_to_utf8(wide, out.data(), out.size());
        EXPECT_EQ(std::string(out.data()), c.expected);
    }
    char16_t units[3] = {1, 1, 1};
    utf8_to_utf16("abcdef", units, 3);
    EXPECT_EQ(units[0], u'a');
    EXPECT_EQ(units[1], u'b');
    EXPECT_EQ(units[2], 0);
}

} // namespace
} // namespace tallow
