#include "foundation/containers/array.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tallow {
namespace {

// Counts live blocks over the default allocator and fails on demand.
class CountingAllocator final : public Allocator {
  public:
    void *allocate(u64 size, u32 align) override
    {
        last_align = align;
        if (fail)
            return nullptr;
        ++live;
        return default_allocator().allocate(size, align);
    }
    void deallocate(void *p) override
    {
        if (p)
            --live;
        default_allocator().deallocate(p);
    }
    int live = 0;
    u32 last_align = 0;
    bool fail = false;
};

// An element that takes its allocator, like the engine's strings.
struct Named {
    explicit Named(Allocator &a) : allocator(&a) {}
    Allocator *allocator;
};

struct alignas(16) Vector4 {
    float v[4];
};

TEST(Array, GrowsByTwiceCapacityPlusTen)
{
    Array<u32> a(default_allocator());
    EXPECT_EQ(a.capacity(), 0u);
    EXPECT_EQ(a.data(), nullptr);
    a.resize(1);
    EXPECT_EQ(a.capacity(), 10u);
    EXPECT_EQ(a[0], 0u);
    a.resize(10);
    a.push_back(5);
    EXPECT_EQ(a.capacity(), 30u);
    a.resize(100); // the needed size wins over 2 x 30 + 10
    EXPECT_EQ(a.capacity(), 100u);
    a.resize(0); // shrinking keeps the memory
    EXPECT_EQ(a.capacity(), 100u);
    a.grow();
    EXPECT_EQ(a.capacity(), 210u);
    a.set_capacity(0);
    EXPECT_EQ(a.data(), nullptr);
    EXPECT_TRUE(a.validate());
}

TEST(Array, GrowingAgainAfterShrinkingGivesZeroedElements)
{
    Array<u8> bytes(default_allocator());
    Array<Vector4> vectors(default_allocator());
    bytes.resize(64);
    vectors.resize(8);
    for (u32 i = 0; i < 64; ++i)
        bytes[i] = u8(i + 1);
    for (u32 i = 0; i < 8; ++i)
        vectors[i] = {{1, 2, 3, 4}};
    bytes.resize(3); // the memory keeps the old values past the new size
    vectors.resize(1);
    bytes.resize(64);
    vectors.resize(8);
    EXPECT_EQ(bytes[2], 3u);
    for (u32 i = 3; i < 64; ++i)
        EXPECT_EQ(bytes[i], 0u) << i;
    EXPECT_EQ(vectors[0].v[3], 4.0f);
    for (u32 i = 1; i < 8; ++i)
        EXPECT_EQ(vectors[i].v[0] + vectors[i].v[1] + vectors[i].v[2] + vectors[i].v[3], 0.0f) << i;
}

TEST(Array, InsertEraseAndRemoveKeepOrder)
{
    Array<u32> a(default_allocator());
    for (u32 i = 0; i < 10; ++i)
        a.push_back(i); // fills capacity 10 exactly
    EXPECT_TRUE(a.insert(0, a[9])); // grows while the value lives inside the array
    EXPECT_TRUE(a.insert(11, 100));
    EXPECT_TRUE(a.insert(5, 50));
    std::vector<u32> got(a.begin(), a.end());
    EXPECT_EQ(got, (std::vector<u32>{9, 0, 1, 2, 3, 50, 4, 5, 6, 7, 8, 9, 100}));
    a.erase(0);
    EXPECT_TRUE(a.remove_value(9));
    EXPECT_FALSE(a.remove_value(77));
    got.assign(a.begin(), a.end());
    EXPECT_EQ(got, (std::vector<u32>{0, 1, 2, 3, 50, 4, 5, 6, 7, 8, 100}));
    a.set_capacity(3); // below the size: the tail is cut first
    EXPECT_EQ(a.size(), 3u);
    EXPECT_EQ(a[2], 2u);
    EXPECT_TRUE(a.validate());
}

TEST(Array, ElementsAndStorageUseTheArraysAllocator)
{
    CountingAllocator counting;
    {
        Array<Named> named(counting);
        named.resize(3);
        for (const Named &n : named)
            EXPECT_EQ(n.allocator, &counting);

        Array<Vector4> vectors(counting);
        vectors.resize(3);
        EXPECT_EQ(counting.last_align, 16u);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(vectors.data()) % 16, 0u);

        Array<Array<u32>> nested(counting);
        nested.resize(2);
        nested[1].push_back(4);
        EXPECT_EQ(&nested[1].allocator(), &counting);
        nested.resize(40); // relocates the inner arrays by moving them
        EXPECT_EQ(nested[1][0], 4u);

        // Copy construction takes the source's allocator; assignment keeps its own.
        Array<u32> source(counting);
        source.push_back(1);
        Array<u32> copy(source);
        EXPECT_EQ(&copy.allocator(), &counting);
        Array<u32> assigned(default_allocator());
        assigned = source;
        EXPECT_EQ(&assigned.allocator(), &default_allocator());
        EXPECT_EQ(assigned[0], 1u);
        assigned = assigned;
        EXPECT_EQ(assigned.size(), 1u);
    }
    EXPECT_EQ(counting.live, 0);
}

TEST(Array, FailedGrowthLeavesTheArrayIntact)
{
    CountingAllocator counting;
    Array<u32> a(counting);
    for (u32 i = 0; i < 10; ++i)
        a.push_back(i);
    counting.fail = true;
    EXPECT_FALSE(a.push_back(10));
    EXPECT_FALSE(a.insert(0, 10));
    a.resize(50);
    EXPECT_EQ(a.size(), 10u);
    EXPECT_EQ(a.capacity(), 10u);
    EXPECT_EQ(a[9], 9u);
    EXPECT_TRUE(a.validate());
    counting.fail = false;
    EXPECT_TRUE(a.push_back(10));
    EXPECT_EQ(a.size(), 11u);
}

} // namespace
} // namespace tallow
