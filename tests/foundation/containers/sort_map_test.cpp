#include "foundation/containers/sort_map.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace tallow {
namespace {

TEST(SortMap, AbsentKeysGiveTheSize)
{
    SortMap<u32, u32> map(default_allocator());
    EXPECT_EQ(map.find_index(5), 0u);
    EXPECT_FALSE(map.erase(5));
    for (u32 k : {30u, 10u, 20u})
        EXPECT_TRUE(map.insert(k, k * 2));
    struct Case {
        u32 key;
        u32 index;       // from find_index
        u32 lower_bound;
    };
    const Case cases[] = {{10, 0, 0}, {20, 1, 1}, {30, 2, 2}, {5, 3, 0}, {15, 3, 1}, {31, 3, 3}, {0xFFFFFFFF, 3, 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(map.find_index(c.key), c.index);
        EXPECT_EQ(map.lower_bound(c.key), c.lower_bound);
    }
    EXPECT_EQ(map.value(map.find_index(20)), 40u);
    EXPECT_TRUE(map.validate());
}

TEST(SortMap, MatchesStandardMapOverRandomOperations)
{
    SortMap<u64, u32> map(default_allocator());
    std::map<u64, u32> reference;
    std::mt19937_64 random(21);
    for (u32 step = 0; step < 100000; ++step) {
        u64 key = (random() % 1500) << 20;
        switch (random() % 4) {
        case 0:
        case 1: {
            u32 v = u32(random());
            ASSERT_TRUE(map.insert(key, v));
            reference[key] = v;
            break;
        }
        case 2:
            ASSERT_EQ(map.erase(key), reference.erase(key) == 1);
            break;
        default: {
            u32 i = map.find_index(key);
            auto it = reference.find(key);
            ASSERT_EQ(i != map.size(), it != reference.end());
            if (it != reference.end()) {
                ASSERT_EQ(map.value(i), it->second);
            }
        }
        }
        ASSERT_EQ(map.size(), reference.size());
        if (step % 5000 == 0) {
            ASSERT_TRUE(map.validate());
            auto it = reference.begin();
            for (const auto &e : map) {
                ASSERT_EQ(e.key, it->first);
                ASSERT_EQ(e.value, it->second);
                ++it;
            }
        }
    }
}

} // namespace
} // namespace tallow
