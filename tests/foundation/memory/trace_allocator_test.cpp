#include "foundation/containers/array.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/memory/trace_allocator.h"
#include "tests/support/fakes/recording_allocator.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace tallow {
namespace {

TEST(TraceAllocator, CountsLiveAllocationsBytesAndPeaks)
{
    test::RecordingAllocator parent;
    parent.set_extra_size(8); // counts follow the parent's allocated_size, not the request
    TraceAllocator trace("trace_test", parent);

    void *a = trace.allocate(100);
    void *b = trace.allocate(20);
    EXPECT_EQ(trace.allocation_count(), 2u);
    EXPECT_EQ(trace.total_allocated(), 108u + 28u);
    trace.deallocate(a);
    EXPECT_EQ(trace.allocation_count(), 1u);
    EXPECT_EQ(trace.total_allocated(), 28u);
    EXPECT_EQ(trace.peak_allocation_count(), 2u);
    EXPECT_EQ(trace.peak_bytes(), 136u);
    EXPECT_EQ(trace.allocated_size(b), 28u);
    trace.deallocate(b);
    trace.deallocate(nullptr);
    EXPECT_EQ(trace.allocation_count(), 0u);
    EXPECT_EQ(trace.total_allocated(), 0u);
    EXPECT_EQ(parent.live_count(), 0u);
}

TEST(TraceAllocator, ZeroBytesAndParentFailureAreNotCounted)
{
    test::RecordingAllocator parent;
    TraceAllocator trace("trace_test", parent);
    EXPECT_EQ(trace.allocate(0), nullptr);
    EXPECT_EQ(parent.allocate_calls(), 0u); // the parent is not asked
    parent.fail_next(1);
    EXPECT_EQ(trace.allocate(64), nullptr);
    EXPECT_EQ(trace.allocation_count(), 0u);
    EXPECT_EQ(trace.total_allocated(), 0u);
    EXPECT_EQ(trace.peak_allocation_count(), 0u);
}

TEST(TraceAllocator, IsListedWhileAliveAndNamesItsParent)
{
    test::RecordingAllocator parent;
    u32 before = allocator_list_count();
    {
        TraceAllocator trace("listed_trace", parent);
        Array<Allocator *> listed(default_allocator());
        copy_allocator_list(listed);
        bool found = false;
        for (Allocator *a : listed)
            found |= a == &trace;
        EXPECT_TRUE(found);
        Array<Allocator *> backing(default_allocator());
        trace.backing_allocators(backing);
        ASSERT_EQ(backing.size(), 1u);
        EXPECT_EQ(backing[0], &parent);
    }
    EXPECT_EQ(allocator_list_count(), before);
}

TEST(TraceAllocator, NewTraceAllocatorSitsOverTheDefaultAllocator)
{
    TraceAllocator *trace = new_trace_allocator(default_allocator(), "made_trace");
    ASSERT_NE(trace, nullptr);
    EXPECT_EQ(&trace->parent(), &default_allocator());
    void *p = trace->allocate(48);
    EXPECT_EQ(trace->allocation_count(), 1u);
    trace->deallocate(p);
    delete_with_allocator(default_allocator(), trace);
}

TEST(TraceAllocator, CountersStayExactUnderManyThreads)
{
    TraceAllocator trace("threaded_trace", default_allocator());
    constexpr int threads = 4, rounds = 2000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&trace] {
            void *held[8] = {};
            for (int i = 0; i < rounds; ++i) {
                void *&slot = held[i % 8];
                trace.deallocate(slot);
                slot = trace.allocate(16 + (i % 200));
            }
            for (void *p : held)
                trace.deallocate(p);
        });
    for (std::thread &w : workers)
        w.join();
    EXPECT_EQ(trace.allocation_count(), 0u);
    EXPECT_EQ(trace.total_allocated(), 0u);
    EXPECT_GE(trace.peak_allocation_count(), 8u);
    EXPECT_LE(trace.peak_allocation_count(), u64(threads) * 8);
}

} // namespace
} // namespace tallow
