#include "foundation/strings/dynamic_string.h"

#include <gtest/gtest.h>

#include "tests/foundation/strings/strings_test_allocator.h"

#include <string>

namespace tallow {
namespace {

class DynamicStringTest : public ::testing::Test {
  protected:
    test::StringsTestAllocator alloc;
};

TEST_F(DynamicStringTest, OwnedTextIsExactlyLengthPlusOneAndEmptyIsNeverAllocated)
{
    DynamicString a("hello", alloc);
    EXPECT_STREQ(a.c_str(), "hello");
    EXPECT_EQ(alloc.allocated_size(a.c_str()), 6u);
    EXPECT_EQ(a.length(), 5u);

    DynamicString empty_owner(alloc);
    DynamicString b("", alloc);
    EXPECT_EQ(alloc.live.size(), 1u);
    EXPECT_EQ(empty_owner.c_str(), b.c_str()); // the shared empty text
    EXPECT_EQ(b.data(), nullptr);

    // Assigning an empty string frees the text and points at the shared empty text.
    a.assign(b);
    EXPECT_EQ(alloc.live.size(), 0u);
    EXPECT_EQ(a.c_str(), b.c_str());
    EXPECT_FALSE(a.owns_text());
}

TEST_F(DynamicStringTest, SelfAssignmentAndSelfAliasingEditsStayValid)
{
    DynamicString s("abc", alloc);
    DynamicString &same = s;
    s = same;
    EXPECT_STREQ(s.c_str(), "abc");
    s.assign_cstr(s.c_str() + 1); // a text inside the string itself
    EXPECT_STREQ(s.c_str(), "bc");
    s.append(s);
    EXPECT_STREQ(s.c_str(), "bcbc");
    s.replace(1, 2, s.c_str());
    EXPECT_STREQ(s.c_str(), "bbcbcc");
    s = static_cast<DynamicString &&>(s);
    EXPECT_STREQ(s.c_str(), "bbcbcc");
    s = "again";
    EXPECT_EQ(alloc.live.size(), 1u); // the old text was freed (no leak on reassignment)
}

TEST_F(DynamicStringTest, BorrowedStringsShareTheirTextAndFreeNothing)
{
    static const char literal[] = "literal";
    DynamicString view = DynamicString::borrowed(literal);
    DynamicString copy(view);
    EXPECT_EQ(copy.c_str(), literal);
    DynamicString owned("x", alloc);
    DynamicString borrower;
    borrower.assign(owned);
    EXPECT_EQ(borrower.c_str(), owned.c_str());
    DynamicString taker;
    taker = DynamicString("temporary", alloc); // takes the text instead of borrowing it
    EXPECT_EQ(taker.allocator(), &alloc);
    EXPECT_STREQ(taker.c_str(), "temporary");
    DynamicString borrowed_literal;
    borrowed_literal = literal;
    EXPECT_EQ(borrowed_literal.c_str(), literal);
    owned.assign(view); // an owning string copies
    EXPECT_NE(owned.c_str(), literal);
    EXPECT_STREQ(owned.c_str(), "literal");
}

TEST_F(DynamicStringTest, EditingOperations)
{
    struct Case {
        const char *name;
        const char *start;
        void (*edit)(DynamicString &);
        const char *expected;
    };
    const Case cases[] = {
        {"resize shorter", "abcdef", [](DynamicString &s) { s.resize(3); }, "abc"},
        {"resize longer pads with zeros", "ab", [](DynamicString &s) { s.resize(5); }, "ab"},
        {"resize to 0", "ab", [](DynamicString &s) { s.resize(0); }, ""},
        {"append", "ab", [](DynamicString &s) { s.append("cd"); }, "abcd"},
        {"append empty", "ab", [](DynamicString &s) { s.append(""); }, "ab"},
        {"append_char", "ab", [](DynamicString &s) { s.append_char('!'); }, "ab!"},
        {"replace grows", "a-b", [](DynamicString &s) { s.replace(1, 1, "---"); }, "a---b"},
        {"replace shrinks", "a---b", [](DynamicString &s) { s.replace(1, 3, "+"); }, "a+b"},
        {"replace clamps count", "abc", [](DynamicString &s) { s.replace(1, 100, "X"); }, "aX"},
        {"replace past end appends", "abc", [](DynamicString &s) { s.replace(100, 1, "X"); }, "abcX"},
        {"replace all by nothing", "abc", [](DynamicString &s) { s.replace(0, 3, ""); }, ""},
        {"clear", "abc", [](DynamicString &s) { s.clear(); }, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DynamicString s(c.start, alloc);
        c.edit(s);
        EXPECT_STREQ(s.c_str(), c.expected);
        if (s.owns_text())
            EXPECT_EQ(alloc.allocated_size(s.c_str()), u64(s.length()) + 1 + (std::string(c.name).find("longer") != std::string::npos ? 3 : 0));
        else
            EXPECT_EQ(s.length(), 0u);
    }
    EXPECT_EQ(alloc.live.size(), 0u);
}

TEST_F(DynamicStringTest, FailedAllocationKeepsTheOldText)
{
    DynamicString s("keep", alloc);
    alloc.fail_next = true;
    s.append("more");
    EXPECT_STREQ(s.c_str(), "keep");
    alloc.fail_next = true;
    s = "other";
    EXPECT_STREQ(s.c_str(), "keep");
}

TEST(StringSearch, FindStartsWithConsistsOfAndCompare)
{
    struct Case {
        const char *text;
        const char *pattern;
        u32 found;
        bool starts;
    };
    const Case cases[] = {
        {"hello world", "world", 6, false},
        {"hello", "hello", 0, true},
        {"hello", "", 0, true},
        {"", "", 0, true},
        {"he", "hello", string_not_found, false},
        {"aaab", "aab", 1, false},
        {"abc", "abd", string_not_found, false},
        {"", "a", string_not_found, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + c.pattern);
        EXPECT_EQ(string_find(c.text, c.pattern), c.found);
        EXPECT_EQ(starts_with(c.text, c.pattern), c.starts);
    }
    EXPECT_TRUE(string_consists_of("", "abc"));
    EXPECT_TRUE(string_consists_of("cab_", "abc_"));
    EXPECT_FALSE(string_consists_of("ab-", "abc_"));
    EXPECT_FALSE(string_consists_of("\xC3\xA9", "abc"));
    DynamicString a = DynamicString::borrowed("x"), b = DynamicString::borrowed("y");
    EXPECT_TRUE(string_not_equal(a, b));
    EXPECT_FALSE(string_not_equal(a, DynamicString::borrowed("x")));
}

TEST_F(DynamicStringTest, ReplaceSplitAndLower)
{
    DynamicString path("data\\units\\box.unit", alloc);
    EXPECT_EQ(path_replace(path, "units", "levels"), 5u);
    EXPECT_STREQ(path.c_str(), "data\\levels\\box.unit");
    EXPECT_EQ(path_replace(path, "nothing", "x"), string_not_found);
    EXPECT_STREQ(path.c_str(), "data\\levels\\box.unit");
    EXPECT_EQ(path_replace(path, "", "x:"), 0u);
    EXPECT_STREQ(path.c_str(), "x:data\\levels\\box.unit");

    DynamicString before(alloc), after("untouched", alloc);
    split_at("key=value=more", "=", before, after);
    EXPECT_STREQ(before.c_str(), "key");
    EXPECT_STREQ(after.c_str(), "value=more");
    split_at("no separator", "=", before, after);
    EXPECT_STREQ(before.c_str(), "no separator");
    EXPECT_STREQ(after.c_str(), "value=more");
    split_at(after.c_str(), "=", before, after); // the text is one of the outputs
    EXPECT_STREQ(before.c_str(), "value");
    EXPECT_STREQ(after.c_str(), "more");

    struct Case {
        const char *text;
        const char *separator;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"a b c", " ", {"a", "b", "c"}},
        {"  a  b ", " ", {"a", "b"}},
        {"a::b::", "::", {"a", "b"}},
        {"", " ", {}},
        {"abc", "", {"abc"}},
        {"abc", "x", {"abc"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Array<DynamicString> pieces(alloc);
        split_string(c.text, c.separator, pieces);
        ASSERT_EQ(pieces.size(), c.pieces.size());
        for (u32 i = 0; i < pieces.size(); ++i) {
            EXPECT_EQ(pieces[i].c_str(), c.pieces[i]);
            EXPECT_EQ(pieces[i].allocator(), &alloc);
        }
    }

    DynamicString lower(alloc);
    to_lower("MiXeD \xC3\x89 Case_9", lower);
    EXPECT_STREQ(lower.c_str(), "mixed \xC3\x89 case_9");
    to_lower(lower.c_str(), lower);
    EXPECT_STREQ(lower.c_str(), "mixed \xC3\x89 case_9");
}

TEST_F(DynamicStringTest, ArrayOfStringsCopiesWithTheArrayAllocator)
{
    Array<DynamicString> names(alloc);
    names.resize(3);
    EXPECT_EQ(names[2].allocator(), &alloc);
    names[0] = "first";
    names[1] = DynamicString::borrowed("second");
    EXPECT_STREQ(names[1].c_str(), "second");
    EXPECT_TRUE(names[1].owns_text());
    Array<DynamicString> copy(names);
    EXPECT_NE(copy[0].c_str(), names[0].c_str());
    EXPECT_STREQ(copy[0].c_str(), "first");
}

} // namespace
} // namespace tallow
