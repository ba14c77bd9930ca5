// Command buffers: records addressed by offset, read back by a bounded cursor.
#include "render/commands/command_buffer.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tallow {
namespace {

TEST(CommandBuffer, GrowthKeepsEarlierRecordsDecodable)
{
    CommandBuffer buffer(default_allocator(), 64);
    std::vector<u32> offsets;
    for (u32 i = 0; i < 200; ++i) {
        u8 payload[13];
        memset(payload, int(i), sizeof payload); // odd sizes exercise the 4-alignment
        u32 record = 0;
        ASSERT_TRUE(buffer.write(i % 13, payload, 1 + i % 13, &record));
        EXPECT_EQ(record % 4, 0u);
        offsets.push_back(record);
    }
    EXPECT_GT(buffer.size_bytes(), 64u);

    CommandCursor cursor(buffer.data(), buffer.start_offset(), buffer.write_offset());
    CommandView view;
    u32 i = 0;
    while (cursor.next(&view)) {
        ASSERT_LT(i, 200u);
        EXPECT_EQ(view.offset, offsets[i]);
        EXPECT_EQ(view.type, i % 13);
        EXPECT_EQ(view.payload_size, 1 + i % 13);
        EXPECT_EQ(view.payload[view.payload_size - 1], u8(i));
        ++i;
    }
    EXPECT_FALSE(cursor.failed());
    EXPECT_EQ(i, 200u);

    buffer.reset();
    EXPECT_TRUE(buffer.is_empty());
    u32 record = 99;
    ASSERT_TRUE(buffer.write(1, "abcd", 4, &record));
    EXPECT_EQ(record, buffer.start_offset());
}

// Records placed in reserved room read back exactly like appended ones, mixed with
// appends, across growth; room reserved but not committed is not part of the buffer.
TEST(CommandBuffer, ReservedRecordsReadLikeAppendedOnes)
{
    CommandBuffer buffer(default_allocator(), 16);
    ASSERT_TRUE(buffer.write(7, "xy", 2));
    const u32 sizes[] = {0, 1, 4, 13, 68};
    u32 bytes = 0;
    for (u32 size : sizes)
        bytes += CommandBuffer::record_bytes(size);
    u8 *at = buffer.reserve(bytes);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(buffer.write_offset(), buffer.start_offset() + 16u) << "reserving writes nothing";
    for (u32 size : sizes) {
        u8 *payload = CommandBuffer::place_record(at, 100 + size, size);
        memset(payload, int(size), size);
        at += CommandBuffer::record_bytes(size);
    }
    buffer.commit(bytes);
    ASSERT_TRUE(buffer.write(8, "z", 1));
    (void)buffer.reserve(4096); // room that is never committed

    CommandCursor cursor(buffer.data(), buffer.start_offset(), buffer.write_offset());
    CommandView view;
    std::vector<u32> types, payload_sizes;
    while (cursor.next(&view)) {
        types.push_back(view.type);
        payload_sizes.push_back(view.payload_size);
        if (view.type >= 100 && view.payload_size) {
            EXPECT_EQ(view.payload[view.payload_size - 1], u8(view.payload_size));
        }
    }
    EXPECT_FALSE(cursor.failed());
    EXPECT_EQ(types, (std::vector<u32>{7, 100, 101, 104, 113, 168, 8}));
    EXPECT_EQ(payload_sizes, (std::vector<u32>{2, 0, 1, 4, 13, 68, 1}));
    EXPECT_EQ(view.payload[0], u8('z'));
}

TEST(CommandCursor, BadRecordsStopTheCursor)
{
    struct Case {
        const char *name;
        CommandHeader header;
        u32 stream_bytes;
    };
    const Case cases[] = {
        {"size below the header", {1, 8, 12}, 32},
        {"size past the end", {1, 40, 12}, 32},
        {"payload offset past the size", {1, 16, 20}, 32},
        {"payload offset inside the header", {1, 16, 4}, 32},
        {"truncated header", {1, 16, 12}, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        u8 bytes[32] = {};
        memcpy(bytes, &c.header, sizeof c.header);
        CommandCursor cursor(bytes, 0, c.stream_bytes);
        CommandView view;
        EXPECT_FALSE(cursor.next(&view));
        EXPECT_TRUE(cursor.failed());
    }
    u8 bytes[16] = {};
    const CommandHeader good{3, 14, 12};
    memcpy(bytes, &good, sizeof good);
    CommandCursor cursor(bytes, 0, 16);
    CommandView view;
    ASSERT_TRUE(cursor.next(&view));
    u32 value = 0;
    EXPECT_FALSE(read_payload(view, &value)) << "a 2-byte payload does not hold a u32";
    EXPECT_FALSE(cursor.next(&view));
    EXPECT_FALSE(cursor.failed());
}

} // namespace
} // namespace tallow
