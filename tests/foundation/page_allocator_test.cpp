#include "foundation/page_allocator.h"
#include "tests/support/recording_allocator.h"

#include <cstring>
#include <gtest/gtest.h>
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

} // namespace
} // namespace tallow
