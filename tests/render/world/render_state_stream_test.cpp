#include "render/world/render_state_stream.h"

#include "foundation/memory/memory_globals.h"
#include "foundation/memory/trace_allocator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tallow {
namespace {

struct Written {
    u32 kind;
    std::vector<u8> payload;
};

std::vector<Written> read_all(const RenderStateStream &stream)
{
    std::vector<Written> records;
    RenderStateStream::Record record;
    for (u32 at = stream.first_record(); stream.read(at, record);) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(record.payload) % 4, 0u);
        records.push_back({record.kind, std::vector<u8>(record.payload, record.payload + record.payload_bytes)});
    }
    return records;
}

TEST(RenderStateStream, RecordsSurviveGrowthInOrder)
{
    TraceAllocator allocator("state_stream_test", default_allocator());
    RenderStateStream stream(allocator, 16);
    std::vector<Written> expected;
    // Odd payload sizes exercise the padding between records.
    for (u32 i = 0; i < 200; ++i) {
        Written w{i % 3, std::vector<u8>(i % 37)};
        for (u32 k = 0; k < w.payload.size(); ++k)
            w.payload[k] = u8(i + k);
        ASSERT_TRUE(stream.write(w.kind, w.payload.data(), u32(w.payload.size())));
        expected.push_back(w);
        EXPECT_EQ(stream.size_bytes() % 4, 0u);
    }
    std::vector<Written> got = read_all(stream);
    ASSERT_EQ(got.size(), expected.size());
    for (u32 i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].kind, expected[i].kind) << i;
        EXPECT_EQ(got[i].payload, expected[i].payload) << i;
    }

    u32 capacity = stream.capacity();
    stream.reset();
    EXPECT_TRUE(stream.empty());
    EXPECT_TRUE(read_all(stream).empty());
    EXPECT_EQ(stream.capacity(), capacity);
}

TEST(RenderStateStream, HeaderLayout)
{
    TraceAllocator allocator("state_stream_test", default_allocator());
    RenderStateStream stream(allocator);
    const u32 payload[4] = {0, 9, 2, 0x12345678};
    ASSERT_TRUE(stream.write(1, payload));
    ASSERT_TRUE(stream.write(0, payload, 5)); // padded to the next 4 bytes
    ASSERT_EQ(stream.size_bytes(), 28u + 20u);
    u32 words[12];
    memcpy(words, stream.data(), sizeof words);
    const u32 expected[12] = {1, 28, 12, 0, 9, 2, 0x12345678, 0, 17, 12, 0, 9};
    for (u32 i = 0; i < 12; ++i)
        EXPECT_EQ(words[i], expected[i]) << "word " << i;
}

TEST(RenderStateStream, DamagedHeaderEndsTheWalk)
{
    struct Case {
        const char *name;
        u32 size, payload_offset;
    };
    const Case cases[] = {
        {"size past the end", 400, 12},
        {"payload offset inside the header", 20, 4},
        {"payload offset past the size", 20, 24},
        {"zero size", 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TraceAllocator allocator("state_stream_test", default_allocator());
        RenderStateStream stream(allocator);
        const u32 payload[2] = {7, 8};
        ASSERT_TRUE(stream.write(0, payload));
        ASSERT_TRUE(stream.write(0, payload));
        // Damage the second header in place.
        u8 *second = const_cast<u8 *>(stream.data()) + 20;
        memcpy(second + 4, &c.size, 4);
        memcpy(second + 8, &c.payload_offset, 4);
        EXPECT_EQ(read_all(stream).size(), 1u);
    }
}

} // namespace
} // namespace tallow
