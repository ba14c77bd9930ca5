#include "foundation/memory/page_allocator.h"
#include "tests/support/fakes/recording_allocator.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <vector>

namespace tallow {
namespace {

TEST(PageAllocator, BlocksAre64KiBAlignedAndSizedInWholePages)
{
    PageAllocator pages("page_test");
    const u64 page = pages.page_size();
    struct Case {
        u64 size;
        u32 align;
    };
    const Case cases[] = {{1, 16}, {4000, 16}, {4096, 16}, {65536, 16}, {100000, 4096}, {5000, 0x40000}};
    std::vector<void *> held;
    u64 total = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        u8 *p = static_cast<u8 *>(pages.allocate(c.size, c.align));
        ASSERT_NE(p, nullptr);
        memset(p, 0x11, c.size);
        if (!malloc_allocators) {
            EXPECT_EQ(reinterpret_cast<u64>(p) % PageAllocator::block_alignment, 0u);
            EXPECT_EQ(pages.allocated_size(p), (c.size + page - 1) / page * page);
        }
        EXPECT_EQ(reinterpret_cast<u64>(p) % c.align, 0u);
        total += pages.allocated_size(p);
        held.push_back(p);
    }
    EXPECT_EQ(pages.total_allocated(), total);
    EXPECT_EQ(pages.allocate(0), nullptr);
    for (void *p : held)
        pages.deallocate(p);
    EXPECT_EQ(pages.total_allocated(), 0u);
}

TEST(PageAllocator, KeepsSizesOfManyMappingsAndIgnoresStrangers)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    PageAllocator pages("page_test");
    std::vector<void *> held;
    for (u64 i = 1; i <= 600; ++i) // grows the side table several times
        held.push_back(pages.allocate(i * 100));
    for (u64 i = 0; i < held.size(); i += 2)
        pages.deallocate(held[i]);
    for (u64 i = 1; i < held.size(); i += 2)
        EXPECT_EQ(pages.allocated_size(held[i]), ((i + 1) * 100 + pages.page_size() - 1) / pages.page_size() * pages.page_size());
    int local = 0;
    pages.deallocate(&local); // logged and ignored
    EXPECT_EQ(pages.allocated_size(&local), 0u);
    for (u64 i = 1; i < held.size(); i += 2)
        pages.deallocate(held[i]);
    EXPECT_EQ(pages.total_allocated(), 0u);
}

// True when nothing is mapped at [p, p + size): a fixed mapping there must not collide.
bool unmapped(void *p, u64 size)
{
    void *probe = mmap(p, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (probe == MAP_FAILED)
        return false;
    munmap(probe, size);
    return probe == p;
}

TEST(PageAllocator, ReleasedMappingsAreReusedWithExactTotals)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    PageAllocator pages("page_test");
    const u64 page = pages.page_size();
    u8 *a = static_cast<u8 *>(pages.allocate(4 * page));
    ASSERT_NE(a, nullptr);
    pages.deallocate(a);
    EXPECT_EQ(pages.total_allocated(), 0u);
    EXPECT_EQ(pages.cached_mapping_count(), 1u);
    EXPECT_EQ(pages.cached_bytes(), 4 * page);

    // The same size gets the same mapping back, counted as new.
    EXPECT_EQ(pages.allocate(4 * page - 100), a);
    EXPECT_EQ(pages.allocated_size(a), 4 * page);
    EXPECT_EQ(pages.total_allocated(), 4 * page);
    EXPECT_EQ(pages.cached_mapping_count(), 0u);

    // A somewhat smaller request takes it too; the surplus tail goes back to the system.
    pages.deallocate(a);
    EXPECT_EQ(pages.allocate(3 * page), a);
    EXPECT_EQ(pages.allocated_size(a), 3 * page);
    EXPECT_EQ(pages.total_allocated(), 3 * page);
    EXPECT_EQ(pages.cached_bytes(), 0u);
    EXPECT_TRUE(unmapped(a + 3 * page, page));

    // A larger request, one under half its size or an alignment its address misses does not.
    pages.deallocate(a);
    u8 *larger = static_cast<u8 *>(pages.allocate(4 * page));
    u8 *smaller = static_cast<u8 *>(pages.allocate(page));
    EXPECT_NE(larger, a);
    EXPECT_NE(smaller, a);
    const u64 lowest_bit = reinterpret_cast<u64>(a) & (0 - reinterpret_cast<u64>(a));
    const u32 strict = u32(lowest_bit < (u64(1) << 30) ? lowest_bit * 2 : u64(1) << 30);
    u8 *aligned = static_cast<u8 *>(pages.allocate(3 * page, strict));
    if (lowest_bit * 2 == strict) {
        EXPECT_NE(aligned, a);
    }
    EXPECT_EQ(reinterpret_cast<u64>(aligned) % strict, 0u);
    EXPECT_EQ(pages.total_allocated(), 8 * page);
    EXPECT_EQ(pages.cached_mapping_count(), aligned == a ? 0u : 1u);
    for (u8 *p : {larger, smaller, aligned})
        pages.deallocate(p);
    EXPECT_EQ(pages.total_allocated(), 0u);
}

TEST(PageAllocator, CacheKeepsItsBoundsAndIsUnmappedOnDestruction)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    std::vector<u8 *> held;
    {
        PageAllocator pages("page_test");
        const u64 page = pages.page_size();
        const u32 many = PageAllocator::cache_max_mappings + 4;
        for (u32 i = 0; i < many; ++i)
            held.push_back(static_cast<u8 *>(pages.allocate(page)));
        for (u8 *p : held)
            pages.deallocate(p);
        EXPECT_EQ(pages.total_allocated(), 0u);
        EXPECT_EQ(pages.cached_mapping_count(), PageAllocator::cache_max_mappings);
        EXPECT_EQ(pages.cached_bytes(), PageAllocator::cache_max_mappings * page);
        // The oldest went back to the system; the newest are kept.
        for (u32 i = 0; i < 4; ++i)
            EXPECT_TRUE(unmapped(held[i], page)) << i;
        EXPECT_FALSE(unmapped(held[many - 1], page));

        // The byte bound: big mappings push the small ones out, one too big is not kept.
        const u64 big = PageAllocator::cache_max_bytes / 2 - page;
        void *x = pages.allocate(big);
        void *y = pages.allocate(big);
        void *z = pages.allocate(PageAllocator::cache_max_bytes + page);
        ASSERT_TRUE(x && y && z);
        pages.deallocate(x);
        pages.deallocate(y);
        EXPECT_LE(pages.cached_bytes(), PageAllocator::cache_max_bytes);
        EXPECT_EQ(pages.cached_mapping_count(), 2u + (PageAllocator::cache_max_bytes - 2 * big) / page);
        u64 before = pages.cached_bytes();
        pages.deallocate(z);
        EXPECT_EQ(pages.cached_bytes(), before);
        EXPECT_TRUE(unmapped(z, PageAllocator::cache_max_bytes + page));
        EXPECT_EQ(pages.total_allocated(), 0u);
    }
    for (u32 i = 4; i < held.size(); ++i)
        EXPECT_TRUE(unmapped(held[i], 4096)) << i;
}

TEST(PageAllocator, AGrownSideTableGoesToTheCacheAndServesTheNextBlock)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    PageAllocator pages("page_test");
    const u64 page = pages.page_size();
    // The side table (16 bytes an entry, at most half full) is a whole block at 4096
    // entries and is replaced by one twice that size as the 2049th mapping comes.
    const u64 block_entries = PageAllocator::block_alignment / 16;
    std::vector<void *> held;
    for (u64 i = 0; i < block_entries / 2 + 8; ++i) {
        held.push_back(pages.allocate(page));
        ASSERT_NE(held.back(), nullptr);
    }
    EXPECT_EQ(pages.cached_mapping_count(), 1u); // the replaced table, not unmapped
    EXPECT_EQ(pages.cached_bytes(), PageAllocator::block_alignment);
    void *block = pages.allocate(PageAllocator::block_alignment);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(pages.cached_mapping_count(), 0u);
    memset(block, 0xAB, PageAllocator::block_alignment); // the table no longer lives there
    for (void *p : held)
        EXPECT_EQ(pages.allocated_size(p), page);
    pages.deallocate(block);
    for (void *p : held)
        pages.deallocate(p);
    EXPECT_EQ(pages.total_allocated(), 0u);
}

} // namespace
} // namespace tallow
