#include "foundation/threads/locked_ring_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/memory/trace_allocator.h"
#include "tests/foundation/threads/thread_test_watchdog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <thread>
#include <vector>

namespace tallow {
namespace {

std::vector<u8> make_record(std::mt19937 &random, u32 size)
{
    std::vector<u8> bytes(size);
    for (u8 &b : bytes)
        b = u8(random());
    return bytes;
}

// The ring against a plain queue over long random runs: records of every size, wraps at
// every offset, pops into buffers too small, resets. Under AddressSanitizer every byte the
// ring touches is checked against its block.
TEST(LockedRingBuffer, MatchesAModelQueueOverLongRandomRuns)
{
    struct Case {
        const char *name;
        u32 capacity;
        u32 largest_record; // payload bytes
        u32 steps;
    };
    const Case cases[] = {
        {"tiny ring, small records", 64, 20, 40000},
        {"records up to the whole ring", 256, 248, 40000},
        {"render queue sizes", 10240, 32, 100000},
        {"odd capacity", 1001, 300, 40000},
        {"command records", LockedRingBuffer::capacity_for(32, 8), 8, 40000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TraceAllocator allocator("ring_test", default_allocator());
        std::mt19937 random(c.capacity * 7919u);
        {
            LockedRingBuffer ring(allocator, c.capacity);
            const u32 capacity = ring.capacity();
            ASSERT_EQ(capacity % 8, 0u);
            ASSERT_GE(capacity, c.capacity);
            std::deque<std::vector<u8>> model;
            u32 model_bytes = 0;
            std::vector<u8> out(capacity);
            u32 pushes = 0;
            for (u32 step = 0; step < c.steps; ++step) {
                const u32 action = random() % 100;
                if (action < 55) {
                    const u32 size = random() % (c.largest_record + 1);
                    std::vector<u8> record = make_record(random, size);
                    const RingResult result = ring.try_push(record.data(), size);
                    const u32 bytes = LockedRingBuffer::record_bytes(size);
                    if (size > ring.max_record_bytes()) {
                        ASSERT_EQ(result, RingResult::RecordTooLarge);
                    } else if (model.empty()) {
                        ASSERT_EQ(result, RingResult::Ok) << "an empty ring takes any record that fits it";
                    } else if (result == RingResult::Full) {
                        // Full only when neither gap can take it: the two gaps hold at most
                        // two records' worth, and wrap padding is less than one record.
                        ASSERT_LT(capacity - model_bytes, 2 * bytes + LockedRingBuffer::record_bytes(c.largest_record));
                    } else {
                        ASSERT_EQ(result, RingResult::Ok);
                    }
                    if (result == RingResult::Ok) {
                        model.push_back(std::move(record));
                        model_bytes += bytes;
                        ASSERT_LE(model_bytes, capacity);
                        ++pushes;
                    }
                } else if (action < 97) {
                    // Now and then a buffer one byte short of the next record.
                    const bool short_buffer = !model.empty() && model.front().size() > 0 && random() % 10 == 0;
                    const u32 out_capacity = short_buffer ? u32(model.front().size() - 1) : capacity;
                    u32 size = 0xFFFF;
                    const RingResult result = ring.try_pop(out.data(), out_capacity, &size);
                    if (model.empty()) {
                        ASSERT_EQ(result, RingResult::Empty);
                        ASSERT_TRUE(ring.drained_event().wait_timeout(0));
                        ASSERT_FALSE(ring.data_event().wait_timeout(0));
                        continue;
                    }
                    ASSERT_EQ(size, model.front().size());
                    if (short_buffer) {
                        ASSERT_EQ(result, RingResult::BufferTooSmall);
                        continue;
                    }
                    ASSERT_EQ(result, RingResult::Ok);
                    ASSERT_TRUE(std::equal(model.front().begin(), model.front().end(), out.begin()));
                    model_bytes -= LockedRingBuffer::record_bytes(size);
                    model.pop_front();
                } else {
                    ring.reset();
                    model.clear();
                    model_bytes = 0;
                    ASSERT_TRUE(ring.is_empty());
                    ASSERT_TRUE(ring.drained_event().wait_timeout(0));
                    ASSERT_FALSE(ring.data_event().wait_timeout(0));
                }
                if (!model.empty()) {
                    ASSERT_TRUE(ring.data_event().wait_timeout(0));
                    ASSERT_FALSE(ring.drained_event().wait_timeout(0));
                }
            }
            EXPECT_GT(pushes, c.steps / 4);
        }
        EXPECT_EQ(allocator.allocation_count(), 0u);
    }
}

TEST(LockedRingBuffer, UnreadRingTakesExactlyItsRecordCount)
{
    struct Case {
        u32 records;
        u32 payload;
    };
    const Case cases[] = {{32, 8}, {32, 0}, {16, 4}, {10, 12}, {3, 100}, {1, 2048}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.records << " records of " << c.payload << " bytes");
        LockedRingBuffer ring(default_allocator(), LockedRingBuffer::capacity_for(c.records, c.payload));
        std::vector<u8> payload(c.payload, 0x5A);
        for (u32 i = 0; i < c.records; ++i)
            ASSERT_EQ(ring.try_push(payload.data(), c.payload), RingResult::Ok) << i;
        EXPECT_EQ(ring.try_push(payload.data(), c.payload), RingResult::Full);
        EXPECT_EQ(ring.try_push(payload.data(), ring.capacity()), RingResult::RecordTooLarge);
        EXPECT_EQ(ring.push_wait(payload.data(), ring.capacity()), RingResult::RecordTooLarge); // no block
    }
}

// A record that ends exactly at the end of the block, then a record that must wrap: the
// case where a link word used to land past the block.
TEST(LockedRingBuffer, RecordEndingAtTheBlockEndThenWrapping)
{
    LockedRingBuffer ring(default_allocator(), 64);
    u8 data[64] = {1, 2, 3};
    u8 out[64];
    u32 size;
    ASSERT_EQ(ring.try_push(data, 16), RingResult::Ok);  // [0, 24)
    ASSERT_EQ(ring.try_push(data, 32), RingResult::Ok);  // [24, 64): ends at the block end
    ASSERT_EQ(ring.try_pop(out, sizeof(out), &size), RingResult::Ok);
    ASSERT_EQ(ring.try_push(data, 8), RingResult::Ok);   // wraps to [0, 16)
    ASSERT_EQ(ring.try_push(data, 8), RingResult::Full); // 8 bytes left between 16 and 24
    ASSERT_EQ(ring.try_pop(out, sizeof(out), &size), RingResult::Ok);
    EXPECT_EQ(size, 32u);
    ASSERT_EQ(ring.try_push(data, 20), RingResult::Ok);  // [16, 48)
    ASSERT_EQ(ring.try_push(data, 8), RingResult::Ok);   // [48, 64)
    ASSERT_EQ(ring.try_pop(out, sizeof(out), &size), RingResult::Ok);
    EXPECT_EQ(size, 8u);
    ASSERT_EQ(ring.try_push(data, 0), RingResult::Ok);   // wraps: [0, 8)
    const u32 expected[] = {20, 8, 0};
    for (u32 e : expected) {
        ASSERT_EQ(ring.try_pop(out, sizeof(out), &size), RingResult::Ok);
        EXPECT_EQ(size, e);
    }
    EXPECT_EQ(ring.try_pop(out, sizeof(out), &size), RingResult::Empty);
}

// A writer blocked in push_wait continues only once the reader has emptied the ring, and
// every record arrives whole and in order.
TEST(LockedRingBuffer, BlockingWriterAndReaderAcrossThreads)
{
    test::Watchdog watchdog;
    LockedRingBuffer ring(default_allocator(), 512);
    constexpr u32 records = 50000;
    std::thread writer([&] {
        std::mt19937 random(11);
        u8 record[64];
        for (u32 i = 0; i < records; ++i) {
            const u32 size = 4 + random() % 60;
            memcpy(record, &i, 4);
            for (u32 k = 4; k < size; ++k)
                record[k] = u8(i + k);
            ASSERT_EQ(ring.push_wait(record, size), RingResult::Ok);
        }
    });
    u8 out[64];
    u32 next = 0;
    bool stalled = false;
    while (next < records && !stalled) {
        u32 size = 0;
        const RingResult result = ring.try_pop(out, sizeof(out), &size);
        if (result == RingResult::Empty) {
            stalled = !ring.data_event().wait_timeout(30000);
            continue;
        }
        ASSERT_EQ(result, RingResult::Ok);
        u32 index;
        memcpy(&index, out, 4);
        ASSERT_EQ(index, next);
        for (u32 k = 4; k < size; ++k)
            ASSERT_EQ(out[k], u8(index + k));
        ++next;
    }
    writer.join();
    EXPECT_FALSE(stalled);
    EXPECT_EQ(next, records);
}

} // namespace
} // namespace tallow
