#include "foundation/containers/array.h"
#include "foundation/memory/heap_allocator.h"
#include "foundation/memory/page_allocator.h"
#include "foundation/memory/region_heap.h"
#include "foundation/log.h"
#include "tests/support/fakes/recording_allocator.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tallow {
namespace {


// Grows from malloc and records every grow and release, so tests can check the heap
// only ever hands back whole regions it grew.
struct RegionHeapFixture : testing::Test {
    struct Grown {
        void *base;
        u64 size;
    };
    std::vector<Grown> grows, releases;
    std::map<void *, u64> live;
    bool refuse = false;
    alignas(16) u8 first_region[61388];

    static void *grow(u64 size, void *user)
    {
        auto *self = static_cast<RegionHeapFixture *>(user);
        if (self->refuse)
            return nullptr;
        void *p = nullptr;
        if (posix_memalign(&p, 16, size) != 0)
            return nullptr;
        self->grows.push_back({p, size});
        self->live[p] = size;
        return p;
    }
    static int release(void *base, u64 size, void *user)
    {
        auto *self = static_cast<RegionHeapFixture *>(user);
        auto it = self->live.find(base);
        EXPECT_TRUE(it != self->live.end()) << "release of a region never grown";
        if (it == self->live.end())
            return 1;
        EXPECT_EQ(it->second, size) << "release of part of a region";
        self->live.erase(it);
        self->releases.push_back({base, size});
        free(base);
        return 0;
    }
    RegionHeap *make_heap() { return RegionHeap::create(first_region, sizeof first_region, grow, release, this); }
};

TEST_F(RegionHeapFixture, RefusesRegionsTooSmallForItsRecords)
{
    EXPECT_EQ(RegionHeap::create(first_region, 512, grow, release, this), nullptr);
    EXPECT_EQ(RegionHeap::create(first_region, 600, grow, release, this), nullptr); // bins do not fit
    EXPECT_EQ(RegionHeap::create(nullptr, 4096, grow, release, this), nullptr);
    EXPECT_NE(RegionHeap::create(first_region + 3, 8192, grow, release, this), nullptr); // aligns itself
}

TEST_F(RegionHeapFixture, BootstrapSizedHeapServesSmallObjectsWithoutGrowing)
{
    RegionHeap *heap = make_heap();
    ASSERT_NE(heap, nullptr);
    std::vector<void *> held;
    for (int i = 0; i < 200; ++i) { // ~40 KiB of allocator-sized objects
        void *p = heap->allocate(16, 64 + (i % 5) * 80);
        ASSERT_NE(p, nullptr);
        held.push_back(p);
    }
    EXPECT_TRUE(grows.empty());
    EXPECT_TRUE(heap->validate());
    for (void *p : held)
        heap->free(p);
    EXPECT_TRUE(heap->validate());
    EXPECT_EQ(heap->destroy(), 0u);
}

TEST_F(RegionHeapFixture, LargeRequestGetsARegionReturnedOnFree)
{
    RegionHeap *heap = make_heap();
    void *p = heap->allocate(16, 300 * 1024);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(grows.size(), 1u);
    EXPECT_GE(grows[0].size, 300u * 1024);
    EXPECT_GE(RegionHeap::usable_size(p), 300u * 1024);
    memset(p, 0xAB, 300 * 1024);
    heap->free(p);
    ASSERT_EQ(releases.size(), 1u);
    EXPECT_EQ(releases[0].base, grows[0].base);
    EXPECT_TRUE(heap->validate());
    heap->destroy();
}

TEST_F(RegionHeapFixture, GrowsIn2MiBStepsAndReleasesEmptiedRegions)
{
    RegionHeap *heap = make_heap();
    std::vector<void *> held;
    for (int i = 0; i < 200; ++i) // 200 x 10 KiB: more than the first region
        held.push_back(heap->allocate(16, 10 * 1024));
    ASSERT_EQ(grows.size(), 1u);
    EXPECT_EQ(grows[0].size % RegionHeap::granularity, 0u);
    EXPECT_EQ(heap->grown_bytes(), grows[0].size);
    EXPECT_TRUE(heap->validate());
    for (void *p : held)
        heap->free(p);
    EXPECT_EQ(releases.size(), 1u);
    EXPECT_EQ(heap->grown_bytes(), 0u);
    EXPECT_TRUE(heap->validate());
    heap->destroy();
}

TEST_F(RegionHeapFixture, AlignedRequestsAreAlignedAndBigEnough)
{
    RegionHeap *heap = make_heap();
    std::vector<void *> held;
    for (u64 align = 8; align <= 4096; align *= 2)
        for (u64 size : {1, 24, 100, 1000, 5000}) {
            SCOPED_TRACE(testing::Message() << "align " << align << " size " << size);
            void *p = heap->allocate(align, size);
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<u64>(p) % align, 0u);
            EXPECT_GE(RegionHeap::usable_size(p), size);
            memset(p, 0x5A, size);
            held.push_back(p);
        }
    void *big = heap->allocate(65536, 300 * 1024); // aligned in a region of its own
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(reinterpret_cast<u64>(big) % 65536, 0u);
    held.push_back(big);
    EXPECT_TRUE(heap->validate());
    for (void *p : held)
        heap->free(p);
    EXPECT_TRUE(heap->validate());
    EXPECT_EQ(heap->allocate(3, 16), nullptr); // not a power of two
    heap->destroy();
    EXPECT_TRUE(live.empty());
}

TEST_F(RegionHeapFixture, FailsCleanlyWhenGrowingIsRefused)
{
    RegionHeap *heap = make_heap();
    refuse = true;
    EXPECT_EQ(heap->allocate(16, 300 * 1024), nullptr);
    EXPECT_EQ(heap->allocate(16, 100 * 1024), nullptr);
    void *p = heap->allocate(16, 1000); // the first region still serves
    EXPECT_NE(p, nullptr);
    heap->free(p);
    EXPECT_TRUE(heap->validate());
    heap->destroy();
}

TEST_F(RegionHeapFixture, RandomChurnKeepsEveryByteAndTheStructure)
{
    RegionHeap *heap = make_heap();
    struct Held {
        u8 *p;
        u64 size;
        u8 fill;
    };
    std::vector<Held> held;
    std::mt19937 random(1234);
    for (int step = 0; step < 20000; ++step) {
        if (held.size() < 400 && (held.empty() || random() % 100 < 55)) {
            u64 size = random() % 4 == 0 ? random() % 40000 : random() % 600;
            u64 align = u64(16) << (random() % 4 == 0 ? random() % 6 : 0);
            u8 *p = static_cast<u8 *>(heap->allocate(align, size));
            ASSERT_NE(p, nullptr);
            ASSERT_EQ(reinterpret_cast<u64>(p) % align, 0u);
            u8 fill = u8(random());
            memset(p, fill, size);
            held.push_back({p, size, fill});
        } else {
            u64 i = random() % held.size();
            for (u64 b = 0; b < held[i].size; ++b) {
                ASSERT_EQ(held[i].p[b], held[i].fill) << "byte " << b << " of block " << i;
            }
            heap->free(held[i].p);
            held[i] = held.back();
            held.pop_back();
        }
        if (step % 2000 == 0) {
            ASSERT_TRUE(heap->validate());
        }
    }
    for (const Held &h : held)
        heap->free(h.p);
    EXPECT_TRUE(heap->validate());
    EXPECT_EQ(heap->grown_bytes(), 0u);
    heap->destroy();
}

TEST(HeapAllocator, GrowsAndReleasesThroughTheBacking)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    test::RecordingAllocator backing;
    {
        HeapAllocator heap("heap_test", backing, 0x10000);
        EXPECT_EQ(heap.region_count(), 1u);
        EXPECT_EQ(heap.total_allocated(), 0x10000u);
        std::vector<void *> held;
        for (int i = 0; i < 40; ++i) // 40 x 4 KiB: past the 64 KiB first region
            held.push_back(heap.allocate(4000));
        EXPECT_EQ(heap.region_count(), 2u);
        EXPECT_EQ(backing.live_count(), 2u);
        EXPECT_EQ(heap.total_allocated(), backing.total_allocated());
        EXPECT_TRUE(heap.owns(held.back()));
        void *large = heap.allocate(300 * 1024);
        EXPECT_EQ(heap.region_count(), 3u);
        EXPECT_GE(heap.allocated_size(large), 300u * 1024);
        heap.deallocate(large);
        EXPECT_EQ(heap.region_count(), 2u);
        for (void *p : held)
            heap.deallocate(p);
        EXPECT_EQ(heap.region_count(), 1u);
        EXPECT_EQ(backing.live_count(), 1u);
        EXPECT_TRUE(heap.validate());
        EXPECT_FALSE(heap.owns(&held));
        Array<Allocator *> out(heap); // uses the heap itself, as any caller may
        heap.backing_allocators(out);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], &backing);
    }
    EXPECT_EQ(backing.live_count(), 0u);
}

TEST(HeapAllocator, BackingWithoutMemoryFailsCleanly)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    test::RecordingAllocator backing;
    backing.set_always_fail(true);
    HeapAllocator heap("heap_test", backing, 0x200000);
    EXPECT_EQ(heap.allocate(100), nullptr);
    EXPECT_EQ(heap.total_allocated(), 0u);
    heap.deallocate(nullptr);
    EXPECT_EQ(heap.allocated_size(nullptr), 0u);

    backing.set_always_fail(false);
    HeapAllocator small("heap_test", backing, 0x10000);
    backing.set_always_fail(true);
    EXPECT_EQ(small.allocate(200 * 1024), nullptr); // growing fails: null, not address 0
    void *p = small.allocate(100); // the first region still serves
    EXPECT_NE(p, nullptr);
    small.deallocate(p);
    backing.set_always_fail(false);
}

TEST(HeapAllocator, FullRegionTableFailsTheGrow)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    test::RecordingAllocator backing;
    HeapAllocator heap("heap_test", backing, 0x10000);
    std::vector<void *> held;
    std::vector<std::string> lines;
    set_log_capture(
        [](void *user, const char *, const char *message) {
            static_cast<std::vector<std::string> *>(user)->push_back(message);
        },
        &lines, false);
    for (u32 i = 0; i < HeapAllocator::max_regions + 5; ++i)
        if (void *p = heap.allocate(RegionHeap::large_threshold))
            held.push_back(p);
    set_log_capture(nullptr, nullptr);
    EXPECT_EQ(held.size(), HeapAllocator::max_regions - 1); // the first region holds one entry
    // Each refused grow says why, and nothing was taken from the backing for it.
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "heap_test: all 512 regions in use; raise max_regions");
    EXPECT_EQ(backing.live_count(), HeapAllocator::max_regions);
    EXPECT_EQ(heap.region_count(), HeapAllocator::max_regions);
    for (void *p : held)
        heap.deallocate(p);
    EXPECT_EQ(heap.region_count(), 1u);
}

// owns() reads the region table without the lock while other threads grow and release
// regions (every request of 256 KiB or more is a region of its own).
TEST(HeapAllocator, OwnershipAnswersStayRightWhileRegionsComeAndGo)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    PageAllocator pages("heap_test_pages");
    HeapAllocator heap("heap_test", pages, 0x10000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&heap, &pages, t] {
            std::mt19937 random(77 + t);
            std::vector<void *> held;
            void *stranger = pages.allocate(4096); // mapped by the same pages, never the heap's
            for (int step = 0; step < 1500; ++step) {
                if (held.size() < 8 && (held.empty() || random() % 2)) {
                    u64 size = random() % 2 ? 100 + random() % 3000 : RegionHeap::large_threshold + random() % 50000;
                    void *p = heap.allocate(size);
                    ASSERT_NE(p, nullptr);
                    held.push_back(p);
                } else {
                    u64 i = random() % held.size();
                    heap.deallocate(held[i]);
                    held[i] = held.back();
                    held.pop_back();
                }
                for (void *p : held)
                    ASSERT_TRUE(heap.owns(p));
                ASSERT_FALSE(heap.owns(stranger));
            }
            for (void *p : held)
                heap.deallocate(p);
            pages.deallocate(stranger);
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(heap.region_count(), 1u);
    EXPECT_TRUE(heap.validate());
}

TEST(HeapAllocator, BufferHeapNeverGrows)
{
    alignas(16) static u8 buffer[61388];
    HeapAllocator heap(nullptr, buffer, sizeof buffer);
    void *p = heap.allocate(1000);
    EXPECT_NE(p, nullptr);
    heap.deallocate(p);
    if (!malloc_allocators) {
        EXPECT_EQ(heap.allocate(100 * 1024), nullptr);
    }
}

} // namespace
} // namespace tallow
