#include "foundation/memory/slot_allocator.h"
#include "tests/support/fakes/recording_allocator.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <vector>

namespace tallow {
namespace {


TEST(SlotAllocator, ChoosesTheFirstClassFittingSizeAndAlignment)
{
    struct Case {
        u64 size;
        u32 align;
        u32 slot_size; // 0: no class
    };
    const Case cases[] = {
        {13, 8, 16},   {13, 16, 16},  {1025, 16, 0}, {40, 64, 64},  {1, 1, 4},     {4, 4, 4},
        {5, 4, 8},     {12, 4, 12},   {12, 8, 16},   {100, 16, 112}, {1024, 16, 1024}, {8, 1024, 1024},
        {8, 2048, 0},  {0, 16, 16},   {36, 4, 36},   {37, 4, 40},   {600, 128, 640}, {8, 3, 0},
    };
    test::RecordingAllocator backing;
    SlotAllocator slots("slot_test", backing);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " align " << c.align);
        EXPECT_EQ(SlotAllocator::slot_size_for(c.size, c.align), c.slot_size);
        void *p = slots.allocate(c.size, c.align);
        EXPECT_EQ(p != nullptr, c.slot_size != 0 && c.size != 0); // 0 bytes: null, as from every allocator
        if (!p)
            continue;
        EXPECT_EQ(reinterpret_cast<u64>(p) % c.align, 0u);
        if (!malloc_allocators) {
            EXPECT_EQ(slots.allocated_size(p), c.slot_size);
        }
        slots.deallocate(p);
    }
    EXPECT_EQ(slots.live_slot_count(), 0u);
}

TEST(SlotAllocator, EmptyPagesGoToTheFreeListAndEmptyBlocksToTheBacking)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    test::RecordingAllocator backing;
    SlotAllocator slots("slot_test", backing);
    ASSERT_EQ(slots.block_size(), 0x10000u);
    const u32 pages_per_block = u32(slots.block_size() / SlotAllocator::page_size);
    const u32 per_page = SlotAllocator::slots_per_page(64);
    EXPECT_EQ(backing.live_count(), 0u); // the size probe was returned

    std::vector<void *> first_page, second_page;
    for (u32 i = 0; i < per_page; ++i)
        first_page.push_back(slots.allocate(64, 16));
    EXPECT_EQ(slots.block_count(), 1u);
    EXPECT_EQ(slots.free_page_count(), pages_per_block - 1);
    EXPECT_EQ(slots.total_allocated(), slots.block_size());
    second_page.push_back(slots.allocate(64, 16)); // the first page is full
    EXPECT_EQ(slots.free_page_count(), pages_per_block - 2);
    EXPECT_EQ(backing.live_count(), 1u);

    slots.deallocate(second_page[0]);
    EXPECT_EQ(slots.free_page_count(), pages_per_block - 1);
    for (u32 i = 0; i + 1 < per_page; ++i)
        slots.deallocate(first_page[i]);
    EXPECT_EQ(slots.block_count(), 1u);
    slots.deallocate(first_page.back());
    EXPECT_EQ(slots.block_count(), 0u);
    EXPECT_EQ(slots.free_page_count(), 0u);
    EXPECT_EQ(slots.total_allocated(), 0u);
    EXPECT_EQ(backing.live_count(), 0u);
}

TEST(SlotAllocator, FullPagesOfEveryClassKeepTheirHeadersIntact)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    test::RecordingAllocator backing;
    SlotAllocator slots("slot_test", backing);
    std::mt19937 random(7);
    for (u32 slot_size : SlotAllocator::slot_sizes) {
        SCOPED_TRACE(slot_size);
        u32 align = slot_size & -slot_size; // the largest power of two dividing it
        u32 n = SlotAllocator::slots_per_page(slot_size) * 2 + 3;
        std::vector<u8 *> held;
        for (u32 i = 0; i < n; ++i) {
            u8 *p = static_cast<u8 *>(slots.allocate(slot_size, align));
            ASSERT_NE(p, nullptr);
            memset(p, int(i & 0xFF), slot_size); // every byte of every slot, up to each header
            held.push_back(p);
        }
        std::set<u8 *> distinct(held.begin(), held.end());
        EXPECT_EQ(distinct.size(), held.size());
        std::shuffle(held.begin(), held.end(), random);
        for (u32 i = 0; i < n / 2; ++i)
            slots.deallocate(held[i]);
        for (u32 i = 0; i < n / 2; ++i) { // freed slots come back
            held[i] = static_cast<u8 *>(slots.allocate(slot_size, align));
            memset(held[i], 0xEE, slot_size);
        }
        for (u8 *p : held)
            slots.deallocate(p);
        EXPECT_EQ(slots.live_slot_count(), 0u);
        EXPECT_EQ(slots.block_count(), 0u);
    }
    EXPECT_EQ(backing.live_count(), 0u);
}

TEST(SlotAllocator, BackingFailureGivesNullAndDestructionReturnsBlocks)
{
    test::RecordingAllocator backing;
    {
        SlotAllocator slots("slot_test", backing);
        backing.set_always_fail(true);
        if (!malloc_allocators) {
            EXPECT_EQ(slots.allocate(32, 16), nullptr);
        }
        backing.set_always_fail(false);
        void *p = slots.allocate(32, 16);
        ASSERT_NE(p, nullptr);
        if (malloc_allocators)
            slots.deallocate(p); // otherwise left live: the destructor hands the block back
    }
    EXPECT_EQ(backing.live_count(), 0u);
}

TEST(SlotAllocator, RoundingBackingGetsPowerOfTwoBlocks)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    test::RecordingAllocator backing;
    backing.set_extra_size(100); // reports 64 KiB + 100 for the probe
    SlotAllocator slots("slot_test", backing);
    EXPECT_EQ(slots.block_size(), 0x20000u);
    void *p = slots.allocate(8, 8);
    ASSERT_NE(p, nullptr);
    slots.deallocate(p);
    EXPECT_EQ(backing.live_count(), 0u);
}

} // namespace
} // namespace tallow
