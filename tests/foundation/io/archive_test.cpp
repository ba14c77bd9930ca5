#include "foundation/io/input_archive.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/io/output_archive.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tallow {
namespace {

// Delivers a fixed byte sequence in windows of a chosen size, then nothing; `fail_at`
// makes it stop early and report a failure, as a corrupt source does.
class ChoppedInputBuffer final : public InputBuffer {
  public:
    ChoppedInputBuffer(std::vector<u8> bytes, u32 window, u64 fail_at = ~0ull)
        : _bytes(std::move(bytes)), _window(window), _fail_at(fail_at)
    {
        _size = _bytes.size();
        _begin = _cursor = _bytes.data();
    }
    void refill() override
    {
        ++refills;
        u64 next = position();
        u64 end = next + _window < _size ? next + _window : _size;
        if (end > _fail_at) {
            end = _fail_at > next ? _fail_at : next;
            _failed = true;
        }
        _window_position = next;
        _begin = _cursor = _bytes.data() + next;
        _count = u32(end - next);
    }
    void seek(u64 position) override
    {
        ++seeks;
        _window_position = position;
        _begin = _cursor = _bytes.data() + position;
        _count = 0;
    }
    u32 refills = 0;
    u32 seeks = 0;

  private:
    std::vector<u8> _bytes;
    u32 _window;
    u64 _fail_at;
};

std::vector<u8> counting_bytes(u32 n)
{
    std::vector<u8> v(n);
    for (u32 i = 0; i < n; ++i)
        v[i] = u8(i * 7 + 1);
    return v;
}

TEST(SharedReference, LastReleaseDestroysThroughItsAllocator)
{
    static int destroyed = 0;
    struct Counted {
        ~Counted() { ++destroyed; }
    };
    destroyed = 0;
    SharedReference<Counted> a = make_shared_reference<Counted>(default_allocator());
    {
        SharedReference<Counted> b = a;
        EXPECT_EQ(a.count(), 2u);
    }
    EXPECT_EQ(a.count(), 1u);
    a.release();
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(a.is_null());
}

TEST(InputArchive, ReadSpanningWindowsRefillsAndContinues)
{
    auto bytes = counting_bytes(100);
    auto *raw = make_new<ChoppedInputBuffer>(default_allocator(), bytes, 16);
    SharedReference<InputBuffer> buffer(raw, default_allocator());
    InputArchive archive(buffer);
    u8 out[40];
    ASSERT_TRUE(archive.read(out, 10));
    ASSERT_TRUE(archive.read(out + 10, 30)); // crosses 16, 32
    EXPECT_EQ(memcmp(out, bytes.data(), 40), 0);
    EXPECT_EQ(archive.position(), 40u);
    EXPECT_FALSE(archive.has_failed());
}

TEST(InputArchive, SeekIsLazyUntilTheNextRead)
{
    auto bytes = counting_bytes(100);
    auto *raw = make_new<ChoppedInputBuffer>(default_allocator(), bytes, 16);
    InputArchive archive(SharedReference<InputBuffer>(raw, default_allocator()));
    archive.seek(70);
    EXPECT_EQ(raw->seeks, 0u);
    u32 value = 0;
    ASSERT_TRUE(archive.read(value));
    EXPECT_EQ(raw->seeks, 1u);
    u32 expected;
    memcpy(&expected, bytes.data() + 70, 4);
    EXPECT_EQ(value, expected);
}

// Reads that cannot be satisfied end, zero-fill and fail, never hang or read past the end.
TEST(InputArchive, ShortStreamsFailCleanly)
{
    struct Case {
        const char *name;
        u32 size;
        u64 fail_at;
        u64 seek;
        u32 read;
        u32 delivered; // bytes of real data before the zero fill
    };
    const Case cases[] = {
        {"read past the end", 20, ~0ull, 0, 30, 0},
        {"read from the end", 20, ~0ull, 20, 1, 0},
        {"seek past the end", 20, ~0ull, 100, 4, 0},
        {"source fails midway", 100, 50, 40, 20, 10},
        {"source fails at once", 100, 0, 0, 4, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = counting_bytes(c.size);
        auto *raw = make_new<ChoppedInputBuffer>(default_allocator(), bytes, 16, c.fail_at);
        InputArchive archive(SharedReference<InputBuffer>(raw, default_allocator()));
        archive.seek(c.seek);
        std::vector<u8> out(c.read, 0xEE);
        EXPECT_FALSE(archive.read(out.data(), c.read));
        EXPECT_TRUE(archive.has_failed());
        for (u32 i = 0; i < c.read; ++i)
            ASSERT_EQ(out[i], i < c.delivered ? bytes[c.seek + i] : 0) << i;
    }
}

TEST(InputArchive, NullBufferFails)
{
    InputArchive archive{SharedReference<InputBuffer>()};
    u32 value = 5;
    EXPECT_FALSE(archive.read(value));
    EXPECT_EQ(value, 0u);
}

TEST(InputArchive, ReadArrayChecksTheCountAgainstTheStream)
{
    struct Case {
        const char *name;
        std::vector<u8> bytes;
        bool ok;
        u32 count;
    };
    const Case cases[] = {
        {"three bytes", {3, 0, 0, 0, 'a', 'b', 'c'}, true, 3},
        {"empty", {0, 0, 0, 0}, true, 0},
        {"count one too large", {4, 0, 0, 0, 'a', 'b', 'c'}, false, 0},
        {"huge count", {0xFF, 0xFF, 0xFF, 0xFF, 1}, false, 0},
        {"count cut short", {3, 0}, false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        InputArchive archive(make_shared_reference<MemoryInputBuffer>(default_allocator(), c.bytes.data(),
                                                                      u64(c.bytes.size())));
        Array<u8> out(default_allocator());
        EXPECT_EQ(read_array(out, archive), c.ok);
        EXPECT_EQ(out.size(), c.count);
        EXPECT_EQ(archive.has_failed(), !c.ok);
    }
    std::vector<u8> wide = {2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0xF0};
    InputArchive archive(make_shared_reference<MemoryInputBuffer>(default_allocator(), wide.data(), u64(wide.size())));
    Array<u64> out(default_allocator());
    ASSERT_TRUE(read_array_u64(out, archive));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], 1u);
    EXPECT_EQ(out[1], 0xF000000000000002ull);
}

TEST(InputArchive, ReadWholeTextAndStringArrays)
{
    Allocator &a = default_allocator();
    const char text[] = "boot = 1\n";
    InputArchive archive(make_shared_reference<MemoryInputBuffer>(a, text, u64(sizeof text - 1)));
    DynamicString out(a);
    ASSERT_TRUE(archive.read_whole_text(out));
    EXPECT_STREQ(out.c_str(), "boot = 1\n");
    InputArchive empty(make_shared_reference<MemoryInputBuffer>(a, text, 0));
    ASSERT_TRUE(empty.read_whole_text(out));
    EXPECT_STREQ(out.c_str(), "");

    // The rest of a stream as bytes: from the position on, nothing from an empty or null stream.
    InputArchive rest(make_shared_reference<MemoryInputBuffer>(a, text, u64(sizeof text - 1)));
    rest.seek(5);
    Array<u8> bytes(a);
    ASSERT_TRUE(rest.read_whole_bytes(bytes));
    ASSERT_EQ(bytes.size(), 4u);
    EXPECT_EQ(memcmp(bytes.data(), "= 1\n", 4), 0);
    InputArchive nothing(make_shared_reference<MemoryInputBuffer>(a, text, 0));
    EXPECT_TRUE(nothing.read_whole_bytes(bytes));
    EXPECT_EQ(bytes.size(), 0u);
    InputArchive null_stream{SharedReference<InputBuffer>()};
    EXPECT_FALSE(null_stream.read_whole_bytes(bytes));
    EXPECT_EQ(bytes.size(), 0u);

    struct Case {
        const char *name;
        std::vector<u8> bytes;
        bool ok;
    };
    const Case cases[] = {
        {"two strings", {2, 0, 0, 0, 2, 0, 0, 0, 'a', 'b', 0, 0, 0, 0}, true},
        {"length past the end", {1, 0, 0, 0, 9, 0, 0, 0, 'a'}, false},
        {"count past the end", {0, 0, 0, 1, 0, 0, 0, 0}, false},
        {"second length missing", {2, 0, 0, 0, 1, 0, 0, 0, 'a'}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        InputArchive in(make_shared_reference<MemoryInputBuffer>(a, c.bytes.data(), u64(c.bytes.size())));
        Array<DynamicString> strings(a);
        EXPECT_EQ(read_string_array(strings, in), c.ok);
        if (c.ok) {
            ASSERT_EQ(strings.size(), 2u);
            EXPECT_STREQ(strings[0].c_str(), "ab");
            EXPECT_STREQ(strings[1].c_str(), "");
        } else {
            EXPECT_EQ(strings.size(), 0u);
        }
    }
}

TEST(InputArchive, ObjectTableStartsWithNull)
{
    u8 none = 0;
    InputArchive archive(make_shared_reference<MemoryInputBuffer>(default_allocator(), &none, 0));
    int a, b;
    EXPECT_EQ(archive.add_object(&a), 1u);
    EXPECT_EQ(archive.add_object(&b), 2u);
    EXPECT_EQ(archive.object(0), nullptr);
    EXPECT_EQ(archive.object(2), &b);
    EXPECT_EQ(archive.object(3), nullptr);
}

std::vector<u8> contents(MemoryOutputBuffer &buffer)
{
    std::vector<u8> out(buffer.total_size());
    buffer.copy_to(out.data());
    return out;
}

TEST(MemoryOutputBuffer, SeekingBackPatchesInPlace)
{
    auto buffer = make_shared_reference<MemoryOutputBuffer>(default_allocator(), default_allocator());
    OutputArchive archive(buffer);
    const u8 first[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const u8 patch[3] = {20, 21, 22};
    archive.write(first, 10);
    archive.seek(2);
    archive.write(patch, 3);
    EXPECT_EQ(contents(*buffer), (std::vector<u8>{0, 1, 20, 21, 22, 5, 6, 7, 8, 9}));
    // Back to the end, then on: appends.
    archive.seek(10);
    archive.write(patch, 1);
    EXPECT_EQ(contents(*buffer), (std::vector<u8>{0, 1, 20, 21, 22, 5, 6, 7, 8, 9, 20}));
    // A patch spanning several earlier chunks.
    archive.seek(1);
    const u8 wide[6] = {9, 9, 9, 9, 9, 9};
    archive.write(wide, 6);
    EXPECT_EQ(contents(*buffer), (std::vector<u8>{0, 9, 9, 9, 9, 9, 9, 7, 8, 9, 20}));
    // Past the end: zero gap.
    archive.seek(13);
    archive.write(patch, 1);
    EXPECT_EQ(contents(*buffer), (std::vector<u8>{0, 9, 9, 9, 9, 9, 9, 7, 8, 9, 20, 0, 0, 20}));
    EXPECT_TRUE(archive.flush());
}

TEST(MemoryOutputBuffer, LargeWritesRoundTripThroughArchives)
{
    std::vector<u8> bytes = counting_bytes(200000);
    auto buffer = make_shared_reference<MemoryOutputBuffer>(default_allocator(), default_allocator());
    {
        OutputArchive archive(buffer);
        u32 length_field = 0;
        archive.write(length_field);
        for (u32 at = 0; at < bytes.size(); at += 777)
            archive.write(bytes.data() + at, std::min<u32>(777, u32(bytes.size()) - at));
        u64 end = archive.position();
        archive.seek(0);
        archive.write(u32(end - 4));
        archive.seek(end);
        EXPECT_TRUE(archive.flush());
    }
    std::vector<u8> out = contents(*buffer);
    ASSERT_EQ(out.size(), bytes.size() + 4);
    InputArchive in(make_shared_reference<MemoryInputBuffer>(default_allocator(), out.data(), u64(out.size())));
    u32 length = 0;
    ASSERT_TRUE(in.read(length));
    EXPECT_EQ(length, bytes.size());
    std::vector<u8> back(length);
    ASSERT_TRUE(in.read(back.data(), length));
    EXPECT_EQ(back, bytes);
}

TEST(OutputArchive, ObjectTableMapsAddressesToIndices)
{
    OutputArchive archive(make_shared_reference<MemoryOutputBuffer>(default_allocator(), default_allocator()));
    int a, b;
    EXPECT_EQ(archive.object_index(nullptr), 0u);
    EXPECT_EQ(archive.object_index(&a), 0u);
    archive.set_object_index(&a, 1);
    archive.set_object_index(&b, 2);
    EXPECT_EQ(archive.object_index(&a), 1u);
    EXPECT_EQ(archive.object_index(&b), 2u);
}

} // namespace
} // namespace tallow
