#include "foundation/memory/generic_allocator.h"
#include "foundation/containers/array.h"
#include "foundation/memory/heap_allocator.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/memory/page_allocator.h"
#include "foundation/memory/slot_allocator.h"
#include "tests/support/fakes/recording_allocator.h"

#include <barrier>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace tallow {
namespace {

using Route = GenericAllocator::Route;

TEST(GenericAllocator, RoutesBySizeAndPageWaste)
{
    struct Case {
        u64 size;
        Route route;
    };
    const Case cases[] = {
        {0, Route::Slot},       {1, Route::Slot},     {1023, Route::Slot},  {1024, Route::Heap}, // 3072 wasted
        {3687, Route::Heap},    {3725, Route::Page},  {4000, Route::Page},  {4096, Route::Page},
        {5000, Route::Heap},    {8000, Route::Page},  {40000, Route::Page}, {u64(1) << 33, Route::Page},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(GenericAllocator::route_for(c.size, 4096), c.route);
    }
}

// A private set of the three allocators, so the routes can be watched through the traces.
struct GenericFixture : testing::Test {
    PageAllocator pages{"generic_test_pages"};
    HeapAllocator heap{"generic_test_heap", pages, 0x200000};
    SlotAllocator slots{"generic_test_slots", pages};
    GenericAllocator generic{"generic_test", pages, heap, slots};
};

TEST_F(GenericFixture, AllocationsGoWhereTheirSizeSaysAndFreesFindTheirWayBack)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    struct Case {
        u64 size;
        u32 align;
        Route route;
    };
    const Case cases[] = {
        {16, 16, Route::Slot},   {1023, 16, Route::Slot}, {1024, 16, Route::Heap}, {4000, 16, Route::Page},
        {5000, 64, Route::Heap}, {65536, 16, Route::Page}, {100, 2048, Route::Heap}, // no slot class is 2048-aligned
        {300 * 1024, 16, Route::Page},
    };
    std::vector<void *> held;
    u64 total = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " align " << c.align);
        u64 before[3] = {generic.slot_trace().allocation_count(), generic.heap_trace().allocation_count(),
                         generic.page_trace().allocation_count()};
        u8 *p = static_cast<u8 *>(generic.allocate(c.size, c.align));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<u64>(p) % c.align, 0u);
        memset(p, 0x33, c.size);
        EXPECT_EQ(generic.slot_trace().allocation_count() - before[0], c.route == Route::Slot ? 1u : 0u);
        EXPECT_EQ(generic.heap_trace().allocation_count() - before[1], c.route == Route::Heap ? 1u : 0u);
        EXPECT_EQ(generic.page_trace().allocation_count() - before[2], c.route == Route::Page ? 1u : 0u);
        Allocator &owner = c.route == Route::Slot ? static_cast<Allocator &>(slots)
                           : c.route == Route::Heap ? static_cast<Allocator &>(heap)
                                                    : static_cast<Allocator &>(pages);
        EXPECT_EQ(generic.allocated_size(p), owner.allocated_size(p));
        EXPECT_GE(generic.allocated_size(p), c.size);
        total += generic.allocated_size(p);
        held.push_back(p);
    }
    EXPECT_EQ(generic.total_allocated(), total);
    for (void *p : held)
        generic.deallocate(p);
    generic.deallocate(nullptr);
    EXPECT_EQ(generic.total_allocated(), 0u);
    EXPECT_EQ(generic.slot_trace().allocation_count(), 0u);
    EXPECT_EQ(generic.heap_trace().allocation_count(), 0u);
    EXPECT_EQ(generic.page_trace().allocation_count(), 0u);
    EXPECT_EQ(slots.block_count(), 0u);
}

TEST_F(GenericFixture, NamesItsTracesAsBackingInOrder)
{
    Array<Allocator *> out(generic);
    generic.backing_allocators(out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_STREQ(out[0]->name(), "generic_slot");
    EXPECT_STREQ(out[1]->name(), "generic_heap");
    EXPECT_STREQ(out[2]->name(), "generic_page");
}

// Random sizes on several threads, some blocks freed by another thread than the one that
// took them; every byte of every block is checked before it is freed.
void stress(Allocator &allocator, int thread_count, int steps)
{
    std::mutex exchange_lock;
    std::vector<std::pair<u8 *, u64>> exchange;
    auto fill_of = [](const u8 *p, u64 size) { return u8((reinterpret_cast<u64>(p) >> 4) ^ size ^ 0xA5); };
    auto check_and_free = [&](u8 *p, u64 size) {
        u8 fill = fill_of(p, size);
        for (u64 b = 0; b < size; ++b)
            if (p[b] != fill) {
                ADD_FAILURE() << "block of " << size << " bytes damaged at byte " << b;
                break;
            }
        allocator.deallocate(p);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t)
        threads.emplace_back([&, t] {
            std::mt19937_64 random(1000 + t);
            std::vector<std::pair<u8 *, u64>> held;
            for (int step = 0; step < steps; ++step) {
                if (held.size() < 64 && (held.empty() || random() % 100 < 55)) {
                    u64 kind = random() % 100;
                    u64 size = kind < 70   ? 1 + random() % 256
                               : kind < 90 ? 257 + random() % 3840
                               : kind < 99 ? 4097 + random() % 60000
                                           : 65537 + random() % 200000;
                    u32 align = random() % 8 == 0 ? u32(16) << (random() % 5) : 16;
                    u8 *p = static_cast<u8 *>(allocator.allocate(size, align));
                    if (!p) {
                        ADD_FAILURE() << "allocation of " << size << " bytes failed";
                        return;
                    }
                    if (reinterpret_cast<u64>(p) % align)
                        ADD_FAILURE() << "misaligned block";
                    memset(p, fill_of(p, size), size);
                    held.push_back({p, size});
                } else {
                    u64 i = random() % held.size();
                    auto block = held[i];
                    held[i] = held.back();
                    held.pop_back();
                    if (random() % 4 == 0) { // leave it for another thread
                        std::lock_guard<std::mutex> guard(exchange_lock);
                        exchange.push_back(block);
                        block = exchange[random() % exchange.size()];
                        exchange.erase(std::find(exchange.begin(), exchange.end(), block));
                    }
                    check_and_free(block.first, block.second);
                }
            }
            for (auto &block : held)
                check_and_free(block.first, block.second);
        });
    for (std::thread &t : threads)
        t.join();
    for (auto &block : exchange)
        check_and_free(block.first, block.second);
}

TEST(GenericAllocatorStress, ManyThreadsRandomSizesThroughTheDefaultAllocator)
{
    Allocator &generic = default_allocator();
    u64 before = generic.total_allocated();
    stress(generic, 6, 6000);
    EXPECT_EQ(generic.total_allocated(), before);
}

// After a stress run on threads that have all ended, everything is back where it came from.
void expect_everything_back(GenericAllocator &generic, SlotAllocator &slots, HeapAllocator &heap)
{
    EXPECT_EQ(generic.total_allocated(), 0u);
    if (!malloc_allocators) {
        EXPECT_EQ(slots.live_slot_count(), 0u);
        EXPECT_EQ(slots.block_count(), 0u);
        EXPECT_TRUE(heap.validate());
    }
}

TEST_F(GenericFixture, ManyThreadsRandomSizesThroughAPrivateSet)
{
    stress(generic, 4, 6000);
    expect_everything_back(generic, slots, heap);
}

// The same set with per-thread slot caches, as the default allocator runs.
struct CachedGenericFixture : testing::Test {
    PageAllocator pages{"cached_test_pages"};
    HeapAllocator heap{"cached_test_heap", pages, 0x200000};
    SlotAllocator slots{"cached_test_slots", pages};
    GenericAllocator generic{"cached_test", pages, heap, slots, true, true};
};

// Slots parked in a thread's cache are not the program's: the counts show only what is
// held, whichever thread took or freed it, and a cache goes back when its thread ends.
// (This test's main thread caches for the default allocator, so its own calls here take
// the shared path.)
TEST_F(CachedGenericFixture, CountsFollowHeldSlotsAcrossThreadsAndCachesGoBack)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    std::vector<void *> taken;
    std::thread producer([&] {
        for (u32 i = 0; i < 100; ++i)
            taken.push_back(generic.allocate(24 + i % 3 * 100));
        EXPECT_EQ(generic.slot_trace().allocation_count(), 100u);
        for (u32 i = 0; i < 50; ++i) // freed into this thread's cache
            generic.deallocate(taken[i]);
        EXPECT_EQ(generic.slot_trace().allocation_count(), 50u);
        EXPECT_GT(slots.live_slot_count(), 50u);
    });
    producer.join();
    // The producer's cache went back with it; its live slots are counted still.
    EXPECT_EQ(slots.live_slot_count(), 50u);
    EXPECT_EQ(generic.slot_trace().allocation_count(), 50u);
    EXPECT_EQ(generic.slot_trace().peak_allocation_count(), 100u);
    u64 bytes = 0;
    for (u32 i = 50; i < 100; ++i)
        bytes += generic.allocated_size(taken[i]);
    EXPECT_EQ(generic.slot_trace().total_allocated(), bytes);
    EXPECT_EQ(generic.total_allocated(), bytes);
    std::thread consumer([&] { // frees what it never took
        for (u32 i = 50; i < 100; ++i)
            generic.deallocate(taken[i]);
        EXPECT_EQ(generic.slot_trace().allocation_count(), 0u);
        EXPECT_EQ(generic.total_allocated(), 0u);
        EXPECT_GT(slots.live_slot_count(), 0u); // parked in this thread's cache
        generic.flush_thread_cache();
        EXPECT_EQ(slots.live_slot_count(), 0u);
        generic.deallocate(generic.allocate(40)); // caches again until the thread ends
    });
    consumer.join();
    EXPECT_EQ(generic.slot_trace().allocation_count(), 0u);
    EXPECT_EQ(slots.live_slot_count(), 0u);
    EXPECT_EQ(slots.block_count(), 0u);
}

// The heap and page routes count per thread too: a block taken on one thread and freed
// on another leaves every count, total and peak as if one shared counter had seen both.
TEST_F(CachedGenericFixture, HeapAndPageCountsFollowBlocksAcrossThreads)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    const u64 sizes[] = {1500, 3000, 0x10000, 0x3F000}; // heap, heap, pages, pages
    std::vector<void *> taken;
    u64 heap_bytes = 0, page_bytes = 0;
    std::thread producer([&] {
        for (u32 i = 0; i < 40; ++i)
            taken.push_back(generic.allocate(sizes[i % 4]));
        for (u32 i = 0; i < 40; ++i) {
            ASSERT_NE(taken[i], nullptr);
            (i % 4 < 2 ? heap_bytes : page_bytes) += generic.allocated_size(taken[i]);
        }
        EXPECT_EQ(generic.heap_trace().allocation_count(), 20u);
        EXPECT_EQ(generic.page_trace().allocation_count(), 20u);
        EXPECT_EQ(generic.heap_trace().total_allocated(), heap_bytes);
        EXPECT_EQ(generic.page_trace().total_allocated(), page_bytes);
        EXPECT_EQ(reinterpret_cast<u64>(taken[2]) % PageAllocator::block_alignment, 0u);
    });
    producer.join();
    EXPECT_EQ(generic.heap_trace().allocation_count(), 20u);
    EXPECT_EQ(generic.page_trace().total_allocated(), page_bytes);
    EXPECT_EQ(generic.total_allocated(), heap_bytes + page_bytes);
    std::thread consumer([&] { // frees what it never took
        for (u32 i = 0; i < 20; ++i)
            generic.deallocate(taken[i]);
        EXPECT_EQ(generic.heap_trace().allocation_count(), 10u);
        EXPECT_EQ(generic.page_trace().allocation_count(), 10u);
        for (u32 i = 20; i < 40; ++i)
            generic.deallocate(taken[i]);
        EXPECT_EQ(generic.total_allocated(), 0u);
    });
    consumer.join();
    EXPECT_EQ(generic.heap_trace().allocation_count(), 0u);
    EXPECT_EQ(generic.page_trace().allocation_count(), 0u);
    EXPECT_EQ(generic.heap_trace().peak_allocation_count(), 20u);
    EXPECT_EQ(generic.page_trace().peak_bytes(), page_bytes);
    EXPECT_EQ(generic.total_allocated(), 0u);
    EXPECT_EQ(pages.total_allocated() - heap.total_allocated() - slots.total_allocated(), 0u);
}

// Freed page blocks wait in the thread's cache for a request of the same page count; what
// a request sees (size, alignment, counts) is the same as from the page allocator, and a
// flush gives the blocks back.
TEST_F(CachedGenericFixture, CachedPageBlocksServeOnlyTheirOwnPageCount)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    std::thread worker([&] {
        const u64 page = pages.page_size();
        void *a = generic.allocate(15 * page + 1); // 16 pages
        void *b = generic.allocate(3 * page);      // 3 pages
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        const u64 held = pages.total_allocated();
        generic.deallocate(a);
        generic.deallocate(b);
        EXPECT_EQ(generic.page_trace().allocation_count(), 0u);
        EXPECT_EQ(generic.total_allocated(), 0u);
        EXPECT_EQ(pages.total_allocated(), held); // parked in the cache
        struct Case {
            u64 size;
            u32 align;
            u64 expected_size;
        } cases[] = {
            {3 * page - 100, 16, 3 * page},     // the cached 3-page block
            {16 * page - 7, 4096, 16 * page},   // the cached 16-page block
            {5 * page, 16, 5 * page},           // no 5-page block cached: a fresh one
            {3 * page, 0x20000, 3 * page},      // stricter than 64 KiB: a fresh one
        };
        std::vector<void *> taken;
        u64 bytes = 0;
        for (const Case &c : cases) {
            void *p = generic.allocate(c.size, c.align);
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<u64>(p) % std::max<u64>(c.align, PageAllocator::block_alignment), 0u);
            EXPECT_EQ(generic.allocated_size(p), c.expected_size);
            bytes += c.expected_size;
            memset(p, 0x5A, c.size);
            taken.push_back(p);
        }
        EXPECT_EQ(taken[0], b);
        EXPECT_EQ(taken[1], a);
        EXPECT_EQ(generic.page_trace().allocation_count(), 4u);
        EXPECT_EQ(generic.page_trace().total_allocated(), bytes);
        for (void *p : taken)
            generic.deallocate(p);
        EXPECT_GT(pages.total_allocated(), 0u);
        generic.flush_thread_cache();
        EXPECT_EQ(pages.total_allocated(), heap.total_allocated() + slots.total_allocated());
        generic.deallocate(generic.allocate(8 * page)); // cached again until the thread ends
    });
    worker.join();
    EXPECT_EQ(generic.page_trace().allocation_count(), 0u);
    EXPECT_EQ(generic.page_trace().peak_allocation_count(), 4u);
    EXPECT_EQ(pages.total_allocated(), heap.total_allocated() + slots.total_allocated());
}

// Freed heap blocks under 8 KiB wait in the thread's cache and serve a later request only
// when they hold it whole; allocated_size stays the block's usable size.
TEST_F(CachedGenericFixture, CachedHeapBlocksServeOnlyRequestsTheyHold)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    std::thread worker([&] {
        void *a = generic.allocate(3000);
        ASSERT_NE(a, nullptr);
        const u64 usable = generic.allocated_size(a);
        ASSERT_GE(usable, 3000u);
        generic.deallocate(a);
        EXPECT_EQ(generic.heap_trace().allocation_count(), 0u);
        EXPECT_EQ(generic.total_allocated(), 0u);
        void *bigger = generic.allocate(usable + 1); // more than the cached block holds
        void *aligned = generic.allocate(2000, 256);  // an alignment the cache does not vouch for
        void *smaller = generic.allocate(usable - 300);
        ASSERT_NE(bigger, nullptr);
        ASSERT_NE(aligned, nullptr);
        EXPECT_NE(bigger, a);
        EXPECT_EQ(reinterpret_cast<u64>(aligned) % 256, 0u);
        EXPECT_EQ(smaller, a);
        EXPECT_EQ(generic.allocated_size(smaller), usable);
        EXPECT_GE(generic.allocated_size(bigger), usable + 1);
        memset(smaller, 0x33, usable);
        memset(bigger, 0x44, usable + 1);
        EXPECT_EQ(generic.heap_trace().allocation_count(), 3u);
        EXPECT_EQ(generic.heap_trace().total_allocated(), generic.allocated_size(bigger) +
                                                              generic.allocated_size(aligned) + usable);
        generic.deallocate(bigger);
        generic.deallocate(aligned);
        generic.deallocate(smaller);
        EXPECT_EQ(generic.total_allocated(), 0u);
        generic.flush_thread_cache();
        EXPECT_TRUE(heap.validate());
        generic.deallocate(generic.allocate(5000)); // cached again until the thread ends
    });
    worker.join();
    EXPECT_EQ(generic.heap_trace().allocation_count(), 0u);
    EXPECT_EQ(generic.heap_trace().peak_allocation_count(), 3u);
    EXPECT_TRUE(heap.validate());
}

// A thread-local object made before the thread's first allocation is destroyed after the
// thread's cache has gone back; its free must not bring the cache back to life.
struct FreesAtThreadEnd {
    GenericAllocator *generic = nullptr;
    void *block = nullptr;
    ~FreesAtThreadEnd()
    {
        if (generic)
            generic->deallocate(block);
    }
};
thread_local FreesAtThreadEnd frees_at_thread_end;

TEST_F(CachedGenericFixture, FreeAfterTheThreadsCacheIsGoneTakesTheSharedPath)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    std::thread worker([&] {
        frees_at_thread_end.generic = &generic; // constructed first, destroyed last
        frees_at_thread_end.block = generic.allocate(48);
    });
    worker.join();
    EXPECT_EQ(generic.slot_trace().allocation_count(), 0u);
    EXPECT_EQ(generic.total_allocated(), 0u);
    EXPECT_EQ(slots.live_slot_count(), 0u);
    EXPECT_EQ(slots.block_count(), 0u);
}

// Threads attached at once take shards of their own. A block goes back to the shard it came
// from whoever frees it: another thread through its cache, a thread that caches for another
// allocator, or anyone after the block's own thread has ended. Destroying the allocator
// gives every shard's memory back to the pages.
TEST(GenericAllocatorShards, BlocksGoBackToTheirShardWhoeverFreesThem)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    default_allocator().deallocate(default_allocator().allocate(16)); // this thread caches for that one
    PageAllocator pages{"shard_test_pages"};
    HeapAllocator heap{"shard_test_heap", pages, 0x200000};
    SlotAllocator slots{"shard_test_slots", pages};
    struct Block {
        u8 *p;
        u64 size;
    };
    auto fill_of = [](const Block &b) { return u8((reinterpret_cast<u64>(b.p) >> 4) ^ b.size ^ 0x5C); };
    auto intact = [&](const Block &b) {
        for (u64 i = 0; i < b.size; i += 61)
            if (b.p[i] != fill_of(b))
                return false;
        return true;
    };
    {
        GenericAllocator generic{"shard_test", pages, heap, slots, true, true};
        const u64 page = pages.page_size();
        // slot, slot, heap, heap, pages, and pages too long for their tag to carry the length
        const u64 sizes[] = {24, 700, 1500, 6000, 3 * page, (PageOwnerMap::max_sized_pages + 1) * page};
        constexpr u32 thread_count = 3, per_size = 24;
        std::vector<Block> blocks[thread_count];
        std::barrier all_taken(thread_count + 1), checked(thread_count + 1);
        auto free_checked = [&](const Block &b) {
            EXPECT_TRUE(intact(b)) << b.size << "-byte block damaged";
            generic.deallocate(b.p);
        };
        std::vector<std::thread> threads;
        for (u32 t = 0; t < thread_count; ++t)
            threads.emplace_back([&, t] {
                for (u32 i = 0; i < per_size; ++i)
                    for (u64 size : sizes) {
                        Block b{static_cast<u8 *>(generic.allocate(size)), size};
                        ASSERT_NE(b.p, nullptr);
                        for (u64 at = 0; at < size; at += 61)
                            b.p[at] = fill_of(b);
                        blocks[t].push_back(b);
                    }
                all_taken.arrive_and_wait();
                checked.arrive_and_wait();
                if (t == 2)
                    return; // ends while the others free its blocks
                // Each frees half of the other's blocks and half of thread 2's.
                for (u32 i = 0; i < blocks[1 - t].size() / 2; ++i)
                    free_checked(blocks[1 - t][i]);
                for (u32 i = t; i < blocks[2].size(); i += 2)
                    free_checked(blocks[2][i]);
            });
        all_taken.arrive_and_wait();
        EXPECT_EQ(generic.shard_count(), thread_count);
        u32 threads_on_the_given_heap = 0;
        for (const std::vector<Block> &held : blocks) {
            u32 owned = 0, heap_blocks = 0;
            for (const Block &b : held)
                if (GenericAllocator::route_for(b.size, page) == Route::Heap) {
                    ++heap_blocks;
                    owned += heap.owns(b.p);
                }
            EXPECT_TRUE(owned == 0 || owned == heap_blocks);
            threads_on_the_given_heap += owned == heap_blocks;
        }
        EXPECT_EQ(threads_on_the_given_heap, 1u);
        const u64 per_thread = per_size * (sizeof(sizes) / sizeof(sizes[0]));
        EXPECT_EQ(generic.slot_trace().allocation_count() + generic.heap_trace().allocation_count() +
                      generic.page_trace().allocation_count(),
                  thread_count * per_thread);
        checked.arrive_and_wait();
        threads[2].join();
        // Threads 0 and 1 have freed their shares; this thread frees the rest past its cache.
        while (generic.slot_trace().allocation_count() + generic.heap_trace().allocation_count() +
                   generic.page_trace().allocation_count() !=
               per_thread)
            std::this_thread::yield();
        for (u32 t = 0; t < 2; ++t)
            for (u64 i = blocks[t].size() / 2; i < blocks[t].size(); ++i)
                free_checked(blocks[t][i]);
        // Threads 0 and 1 may still be on their way out with a block in their caches: the
        // total is only sure to be zero once they are gone.
        threads[0].join();
        threads[1].join();
        EXPECT_EQ(generic.total_allocated(), 0u);
        EXPECT_EQ(generic.slot_trace().allocation_count(), 0u);
        EXPECT_EQ(generic.heap_trace().allocation_count(), 0u);
        EXPECT_EQ(generic.page_trace().total_allocated(), 0u);
        EXPECT_EQ(slots.live_slot_count(), 0u);
        EXPECT_TRUE(heap.validate());
    }
    EXPECT_EQ(pages.total_allocated(), heap.total_allocated() + slots.total_allocated());
}

TEST_F(CachedGenericFixture, ManyThreadsRandomSizesWithThreadCaches)
{
    stress(generic, 4, 6000);
    expect_everything_back(generic, slots, heap);
}

} // namespace
} // namespace tallow
