#include "foundation/containers/ordered_map.h"

#include "foundation/strings/dynamic_string.h"
#include "foundation/memory/memory_globals.h"
#include "tests/support/fakes/recording_allocator.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace tallow {
namespace {

// std::string stands in for the engine's string here: it has c_str(), owns heap memory
// (so leaks and double frees show under ASan) and cannot be moved by a byte copy.
using TextMap = OrderedMap<std::string, u32>;
using NumberMap = OrderedMap<u64, u64>;

template <typename Map> std::vector<typename Map::Entry *> in_order(const Map &map)
{
    std::vector<typename Map::Entry *> out;
    for (auto at = map.begin(); at != map.end(); ++at)
        out.push_back(&*at);
    return out;
}

TEST(OrderedMap, TwentyAscendingKeysSplitTheRootAroundTheEleventh)
{
    OrderedMap<u32, u32> map(default_allocator());
    EXPECT_EQ(map.root(), nullptr); // nothing allocated before the first insertion
    for (u32 k = 0; k < 19; ++k)
        map[k] = k;
    const auto *root = map.root();
    EXPECT_TRUE(root->is_leaf());
    map[19] = 19;
    EXPECT_EQ(map.root(), root); // the root keeps its address through the split
    ASSERT_EQ(root->entries.size(), 1u);
    EXPECT_EQ(root->entries[0].key, 10u);
    ASSERT_EQ(root->children.size(), 2u);
    EXPECT_EQ(root->children[0]->entries.size(), 10u);
    EXPECT_EQ(root->children[1]->entries.size(), 9u);
    EXPECT_TRUE(map.validate());
    u32 expected = 0;
    for (auto &e : map)
        EXPECT_EQ(e.key, expected++);
    EXPECT_EQ(expected, 20u);
}

TEST(OrderedMap, TextKeysSortByteWiseWithPrefixesFirst)
{
    struct Case {
        const char *name;
        std::vector<std::string> inserted;
        std::vector<std::string> ordered;
    };
    const Case cases[] = {
        {"prefix", {"b", "a", "ab"}, {"a", "ab", "b"}},
        {"empty key first", {"z", "", "a"}, {"", "a", "z"}},
        {"high bytes after ascii", {"\xC3\xA9", "z", "Z"}, {"Z", "z", "\xC3\xA9"}},
        {"case", {"b", "B", "a", "A"}, {"A", "B", "a", "b"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TextMap map(default_allocator());
        for (const std::string &k : c.inserted)
            map[k] = 1;
        std::vector<std::string> keys;
        for (auto &e : map)
            keys.push_back(e.key);
        EXPECT_EQ(keys, c.ordered);
        EXPECT_TRUE(map.validate());
    }
}

TEST(OrderedMap, ExistingKeyKeepsCountAndPosition)
{
    TextMap map(default_allocator());
    for (u32 i = 0; i < 100; ++i)
        map[std::to_string(i)] = i;
    auto at = map.find_or_insert("42");
    EXPECT_EQ(at->value, 42u);
    EXPECT_EQ(map.find_or_insert(std::string("42")), at);
    EXPECT_EQ(map.find("42"), at);
    EXPECT_EQ(map.size(), 100u);
    auto fresh = map.find_or_insert("new");
    EXPECT_EQ(fresh->value, 0u); // a new value starts as 0
    EXPECT_EQ(map.size(), 101u);
    EXPECT_EQ(map.find("absent"), map.end());
    EXPECT_FALSE(map.erase("absent"));
}

TEST(OrderedMap, LowerBoundFindsTheFirstKeyNotBelow)
{
    NumberMap map(default_allocator());
    for (u64 k = 10; k <= 5000; k += 10)
        map[k] = k;
    struct Case {
        u64 key;
        u64 found; // 0: end
    };
    const Case cases[] = {{0, 10}, {10, 10}, {11, 20}, {2495, 2500}, {4999, 5000}, {5000, 5000}, {5001, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        auto at = map.lower_bound(c.key);
        if (c.found == 0) {
            EXPECT_EQ(at, map.end());
        } else {
            EXPECT_EQ(at->key, c.found);
        }
    }
    NumberMap none(default_allocator());
    EXPECT_EQ(none.lower_bound(u64(1)), none.end());
    EXPECT_EQ(none.begin(), none.end());
}

// Random insert / erase / find / lower_bound against std::map, with full ordered walks.
// The key ranges make trees of three to four levels that shrink and grow again.
template <typename Map, typename Key, typename MakeKey>
void run_differential(u32 seed, u32 operations, u32 key_range, MakeKey make_key)
{
    Map map(default_allocator());
    std::map<Key, u32> reference;
    std::mt19937 random(seed);
    for (u32 step = 0; step < operations; ++step) {
        // Phases bias towards growth, then towards shrinking, so merges cascade too.
        const bool growing = (step / 20000) % 2 == 0;
        Key key = make_key(random() % key_range);
        u32 op = random() % 10;
        if (op < (growing ? 5u : 2u)) {
            u32 v = random();
            map[key] = v;
            reference[key] = v;
        } else if (op < 7) {
            ASSERT_EQ(map.erase(key), reference.erase(key) == 1) << "step " << step;
        } else if (op < 9) {
            auto it = reference.find(key);
            auto at = map.find(key);
            ASSERT_EQ(at != map.end(), it != reference.end()) << "step " << step;
            if (it != reference.end()) {
                ASSERT_EQ(at->value, it->second);
            }
        } else {
            auto it = reference.lower_bound(key);
            auto at = map.lower_bound(key);
            ASSERT_EQ(at != map.end(), it != reference.end()) << "step " << step;
            if (it != reference.end()) {
                ASSERT_EQ(at->key, it->first);
            }
        }
        ASSERT_EQ(map.size(), reference.size());
        if (step % 2000 == 0 || step + 1 == operations) {
            ASSERT_TRUE(map.validate()) << "step " << step;
            auto it = reference.begin();
            for (auto &e : map) {
                ASSERT_NE(it, reference.end());
                ASSERT_EQ(e.key, it->first);
                ASSERT_EQ(e.value, it->second);
                ++it;
            }
            ASSERT_EQ(it, reference.end());
        }
    }
}

TEST(OrderedMap, MatchesStandardMapOverRandomOperations)
{
    run_differential<TextMap, std::string>(3, 120000, 6000, [](u32 n) {
        // Mixed lengths: short keys, shared prefixes and heap-sized strings.
        std::string s = std::to_string(n);
        if (n % 3 == 0)
            s = "member_with_a_long_shared_prefix_" + s;
        return s;
    });
    run_differential<NumberMap, u64>(4, 120000, 8000, [](u32 n) { return u64(n) * 0x100000001ull; });
}

TEST(OrderedMap, EraseEverythingThenReuse)
{
    struct Case {
        const char *name;
        u32 seed; // 0: ascending, 1: descending, else shuffled
    };
    const Case cases[] = {{"ascending", 0}, {"descending", 1}, {"shuffled", 9}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OrderedMap<u32, u32> map(default_allocator());
        std::vector<u32> keys;
        for (u32 k = 0; k < 3000; ++k) {
            keys.push_back(k);
            map[k] = k;
        }
        if (c.seed == 1)
            std::reverse(keys.begin(), keys.end());
        else if (c.seed > 1)
            std::shuffle(keys.begin(), keys.end(), std::mt19937(c.seed));
        const auto *root = map.root();
        for (u32 i = 0; i < keys.size(); ++i) {
            ASSERT_TRUE(map.erase(keys[i]));
            if (i % 97 == 0) {
                ASSERT_TRUE(map.validate()) << i;
            }
        }
        EXPECT_EQ(map.root(), root); // shrinking keeps the root's address too
        EXPECT_TRUE(map.empty());
        EXPECT_EQ(map.begin(), map.end());
        EXPECT_TRUE(map.root()->is_leaf());
        map[7] = 1;
        EXPECT_EQ(map.size(), 1u);
        EXPECT_TRUE(map.validate());
    }
}

TEST(OrderedMap, CopiesAreDeepAndIndependent)
{
    OrderedMap<std::string, Array<u32>> map(default_allocator());
    for (u32 i = 0; i < 300; ++i)
        map[std::to_string(i)].push_back(i);
    OrderedMap<std::string, Array<u32>> copy(map);
    EXPECT_TRUE(copy.validate());
    EXPECT_EQ(copy.size(), 300u);
    map["7"].push_back(99);
    EXPECT_EQ(copy["7"].size(), 1u);
    copy = map;
    EXPECT_EQ(copy["7"].size(), 2u);
    OrderedMap<std::string, Array<u32>> moved(std::move(copy));
    EXPECT_EQ(moved.size(), 300u);
    EXPECT_TRUE(copy.empty());
    moved.clear();
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ(moved.root(), nullptr);
}

TEST(OrderedMap, EngineStringKeysAreCopiedWithTheMapsAllocator)
{
    OrderedMap<DynamicString, u32> map(default_allocator());
    std::map<std::string, u32> reference;
    for (u32 i = 0; i < 600; ++i) {
        std::string key = "member_" + std::to_string((i * 7919) % 1000);
        map[key.c_str()] = i;
        reference[key] = i;
    }
    for (u32 i = 0; i < 1000; i += 3) {
        std::string key = "member_" + std::to_string(i);
        DynamicString borrowed = DynamicString::borrowed(key.c_str());
        ASSERT_EQ(map.erase(borrowed), reference.erase(key) == 1);
    }
    ASSERT_TRUE(map.validate());
    auto it = reference.begin();
    for (auto &e : map) {
        ASSERT_NE(it, reference.end());
        EXPECT_STREQ(e.key.c_str(), it->first.c_str());
        EXPECT_EQ(e.key.allocator(), &default_allocator());
        ++it;
    }
    EXPECT_EQ(it, reference.end());
    EXPECT_EQ(map.lower_bound("member_5")->key, "member_5");
}

} // namespace
} // namespace tallow

namespace tallow {
namespace {

TEST(OrderedMap, KeyThatCannotBeStoredIsNotInserted)
{
    test::RecordingAllocator backing;
    {
        OrderedMap<DynamicString, u32> map(backing);
        map["alpha"] = 1;
        ASSERT_TRUE(map.validate());
        // The leaf has room, so the next allocation is the new key's copy.
        backing.fail_next(1);
        EXPECT_EQ(map.find_or_insert("beta"), map.end());
        EXPECT_EQ(map.size(), 1u);
        EXPECT_EQ(map.find("beta"), map.end());
        EXPECT_TRUE(map.validate());
        map["beta"] = 2; // memory is back
        EXPECT_EQ(map.size(), 2u);
        EXPECT_TRUE(map.validate());
    }
    EXPECT_EQ(backing.live_count(), 0u);
}

} // namespace
} // namespace tallow
