#include "foundation/memory/static_allocator.h"

#include <gtest/gtest.h>

namespace tallow {
namespace {

TEST(StaticAllocator, HandsTheBlockOutOnceAndOnlyWhenItFits)
{
    alignas(64) static u8 block[256];
    StaticAllocator one(block, sizeof block);
    EXPECT_EQ(one.total_allocated(), 0u);
    EXPECT_EQ(one.allocate(257), nullptr); // larger than the block
    void *p = one.allocate(256, 64);
    EXPECT_EQ(p, block);
    EXPECT_EQ(one.total_allocated(), 256u);
    EXPECT_EQ(one.allocated_size(p), 256u);
    EXPECT_EQ(one.allocate(1), nullptr); // already in use: no second user
    one.deallocate(nullptr);
    EXPECT_TRUE(one.is_in_use());
    EXPECT_EQ(one.total_allocated(), 256u);
    one.deallocate(p);
    EXPECT_EQ(one.total_allocated(), 0u);
    EXPECT_EQ(one.allocate(10), block);
    one.deallocate(block);

    StaticAllocator misaligned(block + 16, 64);
    EXPECT_EQ(misaligned.allocate(8, 32), nullptr); // the block cannot honour the alignment
    EXPECT_EQ(misaligned.allocate(8, 16), block + 16);

    StaticAllocator empty;
    EXPECT_EQ(empty.allocate(1), nullptr);
}

} // namespace
} // namespace tallow
