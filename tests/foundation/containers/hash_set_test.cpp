#include "foundation/containers/hash_set.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_set>

namespace tallow {
namespace {

static_assert(sizeof(HashSet<u32>::Entry) == 8, "set entries are {key, next}");
static_assert(alignof(HashSet<u64>::Entry) == alignof(u64), "64-bit keys keep their alignment");

TEST(HashSet, MatchesStandardSetOverRandomOperations)
{
    // Page-address-like keys: 64 KiB aligned, high bits set, equal low words collide.
    HashSet<u64> set(default_allocator());
    std::unordered_set<u64> reference;
    std::mt19937_64 random(7);
    for (u32 step = 0; step < 300000; ++step) {
        u64 key = 0x00007F0000000000ull + (random() % 3000) * 0x10000ull + ((random() % 4) << 32);
        switch (random() % 5) {
        case 0:
        case 1: {
            u32 i = set.find_or_insert(key);
            ASSERT_NE(i, set.no_entry);
            ASSERT_EQ(set.key(i), key);
            reference.insert(key);
            break;
        }
        case 2:
            ASSERT_EQ(set.erase(key), reference.erase(key) == 1) << "step " << step;
            break;
        default:
            ASSERT_EQ(set.has(key), reference.count(key) == 1) << "step " << step;
        }
        ASSERT_EQ(set.size(), reference.size());
        if (step % 8192 == 0) {
            ASSERT_TRUE(set.validate()) << "step " << step;
            std::unordered_set<u64> walked;
            for (u64 k : set)
                ASSERT_TRUE(walked.insert(k).second);
            ASSERT_EQ(walked, reference);
        }
    }
    EXPECT_TRUE(set.validate());
}

TEST(HashSet, InsertingTwiceKeepsOneEntry)
{
    HashSet<const void *> set(default_allocator());
    int a = 0, b = 0;
    u32 first = set.find_or_insert(&a);
    EXPECT_EQ(set.find_or_insert(&a), first);
    set.find_or_insert(&b);
    EXPECT_EQ(set.size(), 2u);
    EXPECT_TRUE(set.erase(&a));
    EXPECT_FALSE(set.erase(&a));
    EXPECT_FALSE(set.has(&a));
    EXPECT_TRUE(set.has(&b));
    set.clear();
    EXPECT_TRUE(set.empty());
    EXPECT_EQ(set.begin(), set.end());
    EXPECT_TRUE(set.validate());
}

} // namespace
} // namespace tallow
