#include "foundation/containers/hash_map.h"

#include "foundation/strings/dynamic_string.h"
#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace tallow {
namespace {

using Map32 = HashMap<u32, u32>;

// Keys that land in the same bucket of a table with `buckets` heads, found by search.
std::vector<u32> colliding_keys(u32 buckets, u32 count, u32 first = 1)
{
    std::vector<u32> keys;
    u32 bucket = hash_mix_u32(first) % buckets;
    for (u32 k = first; keys.size() < count; ++k)
        if (hash_mix_u32(k) % buckets == bucket)
            keys.push_back(k);
    return keys;
}

TEST(HashMap, KeyMixesMatchReferenceValues)
{
    struct Case {
        u64 key;
        u32 hash; // MurmurHash2, seed 0, over the key's 8 little-endian bytes
    };
    const Case cases[] = {
        {0, 0x93B132BC},
        {1, 0xC714A0C3},
        {pair_key(1, 2), 0x9FD2447A},
        {0xFFFFFFFFFFFFFFFFull, 0x4BFDBB30},
        {0x00007F1234567890ull, 0x92931593},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(hash_mix_u64(c.key), c.hash);
    }
    // key x m, xor top byte down, x m (32-bit wrap).
    u32 h = 12345u * 0x5BD1E995u;
    h ^= h >> 24;
    EXPECT_EQ(hash_mix_u32(12345), h * 0x5BD1E995u);
}

TEST(HashMap, FirstInsertionMakesNineteenBucketsAndGrowthFollowsTheRule)
{
    Map32 map(default_allocator());
    EXPECT_EQ(map.bucket_count(), 0u);
    map[5] = 50;
    EXPECT_EQ(map.bucket_count(), 19u);
    EXPECT_EQ(map.entry_count(), 27u); // 19 + floor(0.37f x 19 + 1) = 19 + 8

    struct Case {
        u32 buckets;
        u32 overflow;
    };
    const Case cases[] = {{19, 8}, {39, 15}, {100, 38}, {1000, 371}, {1, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.buckets);
        ASSERT_TRUE(map.rehash(c.buckets));
        EXPECT_EQ(map.bucket_count(), c.buckets);
        EXPECT_EQ(map.entry_count(), c.buckets + c.overflow);
        EXPECT_TRUE(map.validate());
        EXPECT_EQ(map.get(5u, 0u), 50u);
    }
    // Rehashing to no buckets keeps the keys: reinsertion needs buckets and makes 19.
    ASSERT_TRUE(map.rehash(0));
    EXPECT_EQ(map.bucket_count(), 19u);
    EXPECT_EQ(map.get(5u, 0u), 50u);

    // An empty map with no buckets finds nothing and grows on the next insertion.
    Map32 bare(0, 1, default_allocator());
    EXPECT_EQ(bare.find(5u), Map32::no_entry);
    EXPECT_FALSE(bare.erase(5u));
    bare[7] = 70;
    EXPECT_EQ(bare.bucket_count(), 19u);
    EXPECT_TRUE(bare.validate());
}

TEST(HashMap, EmptyTableFindsAndErasesNothing)
{
    Map32 map(default_allocator());
    EXPECT_EQ(map.find(3u), Map32::no_entry);
    EXPECT_FALSE(map.erase(3u));
    EXPECT_EQ(map.get(3u, 9u), 9u);
    EXPECT_EQ(map.begin(), map.end());
    EXPECT_TRUE(map.validate());
}

TEST(HashMap, ErasingAChainHeadPullsItsSuccessorIn)
{
    Map32 map(default_allocator());
    map[0] = 0; // make the 19 buckets
    map.erase(0u);
    std::vector<u32> keys = colliding_keys(19, 3);
    for (u32 k : keys)
        map[k] = k * 10;
    u32 head = map.find(keys[0]);
    ASSERT_LT(head, 19u);

    ASSERT_TRUE(map.erase(keys[0]));
    EXPECT_EQ(map.find(keys[1]), head); // the successor now sits in the head
    EXPECT_EQ(map.value(head), keys[1] * 10);
    EXPECT_EQ(map.find(keys[0]), Map32::no_entry);
    EXPECT_TRUE(map.validate());

    std::vector<u32> seen;
    for (auto &e : map)
        seen.push_back(e.key);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<u32>{keys[1], keys[2]}));
    for (u32 i = 0; i < map.entry_count(); ++i)
        if (!map.is_live(i) && map.entry(i).next != Map32::free_entry) {
            EXPECT_GE(map.entry(i).next, Map32::free_list_bit);
        }

    // Erasing the last key of a chain whose head is alone frees the head.
    ASSERT_TRUE(map.erase(keys[1]));
    ASSERT_TRUE(map.erase(keys[2]));
    EXPECT_EQ(map.entry(head).next, Map32::free_entry);
    EXPECT_TRUE(map.empty());
    EXPECT_TRUE(map.validate());
}

TEST(HashMap, FreedOverflowEntryIsReusedWithoutRehash)
{
    Map32 map(19, 1, default_allocator());
    std::vector<u32> keys = colliding_keys(19, 3);
    map[keys[0]] = 1;
    map[keys[1]] = 2; // takes the only overflow entry
    u32 overflow = map.find(keys[1]);
    EXPECT_EQ(overflow, 19u);
    ASSERT_TRUE(map.erase(keys[1]));
    EXPECT_TRUE(map.validate());

    map[keys[2]] = 3;
    EXPECT_EQ(map.entry_count(), 20u); // no rehash
    EXPECT_EQ(map.find(keys[2]), overflow);
    EXPECT_EQ(map.get(keys[2], 0u), 3u);
    EXPECT_TRUE(map.validate());

    // Now nothing is spare or free: the next insertion rehashes to max(2 x 2 + 1, 19).
    map[keys[1]] = 4;
    EXPECT_EQ(map.bucket_count(), 19u);
    EXPECT_EQ(map.entry_count(), 27u);
    EXPECT_EQ(map.size(), 3u);
    EXPECT_TRUE(map.validate());
}

// Long random sequences against the standard map: insert, overwrite, erase, find and a
// full walk, with a small key range so chains, erasures and free-list reuse are common.
template <typename K> void run_differential(u32 seed, u32 operations, u64 key_range, u64 key_base)
{
    HashMap<K, u64> map(default_allocator());
    std::unordered_map<K, u64> reference;
    std::mt19937_64 random(seed);
    for (u32 step = 0; step < operations; ++step) {
        K key = K(key_base + random() % key_range);
        switch (random() % 8) {
        case 0:
        case 1:
        case 2: {
            u64 v = random();
            map[key] = v;
            reference[key] = v;
            break;
        }
        case 3:
        case 4:
            ASSERT_EQ(map.erase(key), reference.erase(key) == 1) << "step " << step;
            break;
        default: {
            auto it = reference.find(key);
            u32 i = map.find(key);
            ASSERT_EQ(i != map.no_entry, it != reference.end()) << "step " << step;
            if (it != reference.end()) {
                ASSERT_EQ(map.value(i), it->second);
            }
        }
        }
        ASSERT_EQ(map.size(), reference.size());
        if (step % 4096 == 0 || step + 1 == operations) {
            ASSERT_TRUE(map.validate()) << "step " << step;
            u64 walked = 0;
            for (auto &e : map) {
                auto it = reference.find(e.key);
                ASSERT_NE(it, reference.end());
                ASSERT_EQ(e.value, it->second);
                ++walked;
            }
            ASSERT_EQ(walked, reference.size());
        }
    }
}

TEST(HashMap, MatchesStandardMapOverRandomOperations)
{
    struct Case {
        const char *name;
        u64 range;
    };
    const Case cases[] = {{"dense", 64}, {"medium", 2000}, {"sparse", 200000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        run_differential<u32>(11, 200000, c.range, 0);
        run_differential<u64>(12, 200000, c.range, 0x00007F0000000000ull);
    }
}

TEST(HashMap, ValuesHoldingMemorySurviveRehashAndErase)
{
    // Values draw from the map's allocator and are moved on rehash; ASan checks the rest.
    HashMap<u32, Array<u32>> map(default_allocator());
    for (u32 k = 0; k < 500; ++k)
        for (u32 j = 0; j <= k % 7; ++j)
            map[k].push_back(k + j);
    for (u32 k = 0; k < 500; k += 3)
        ASSERT_TRUE(map.erase(k));
    ASSERT_TRUE(map.validate());
    for (u32 k = 0; k < 500; ++k) {
        u32 i = map.find(k);
        if (k % 3 == 0) {
            EXPECT_EQ(i, map.no_entry);
            continue;
        }
        ASSERT_NE(i, map.no_entry);
        ASSERT_EQ(map.value(i).size(), k % 7 + 1);
        EXPECT_EQ(map.value(i)[0], k);
    }
    map[0].push_back(1); // a reused entry starts with an empty array
    EXPECT_EQ(map.value(map.find(0u)).size(), 1u);
}

TEST(HashMap, CopiesAreIndependentAndMovedFromMapsStayUsable)
{
    Map32 map(default_allocator());
    for (u32 k = 0; k < 100; ++k)
        map[k] = k;
    Map32 copy(map);
    map[5] = 500;
    EXPECT_EQ(copy.get(5u, 0u), 5u);
    copy = map;
    EXPECT_EQ(copy.get(5u, 0u), 500u);
    EXPECT_TRUE(copy.validate());

    Map32 moved(std::move(map));
    EXPECT_EQ(moved.size(), 100u);
    EXPECT_TRUE(map.empty()); // NOLINT: a moved-from map is empty and still usable
    EXPECT_EQ(map.find(5u), map.no_entry);
    EXPECT_FALSE(map.erase(5u));
    map[1] = 1;
    EXPECT_TRUE(map.validate());
    copy = std::move(moved);
    EXPECT_EQ(copy.size(), 100u);
    EXPECT_EQ(moved.find(3u), moved.no_entry);
    EXPECT_TRUE(moved.validate());
}

TEST(HashMap, PointerKeysUseAllSixtyFourBits)
{
    // Two addresses equal in their low 32 bits stay distinct.
    auto *a = reinterpret_cast<int *>(0x0000100000001000ull);
    auto *b = reinterpret_cast<int *>(0x0000200000001000ull);
    HashMap<int *, u32> map(default_allocator());
    map[a] = 1;
    map[b] = 2;
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map.get(a, 0u), 1u);
    EXPECT_EQ(map.get(b, 0u), 2u);
    EXPECT_TRUE(map.validate());
}

TEST(HashMap, StringKeysHashTheirBytesAndAcceptPlainText)
{
    HashMap<DynamicString, u32> map(default_allocator());
    std::unordered_map<std::string, u32> reference;
    std::mt19937 random(5);
    for (u32 step = 0; step < 40000; ++step) {
        std::string key = "name_" + std::to_string(random() % 700);
        if (random() % 3 == 0) {
            ASSERT_EQ(map.erase(key.c_str()), reference.erase(key) == 1);
        } else {
            map[key.c_str()] = step;
            reference[key] = step;
        }
    }
    ASSERT_TRUE(map.validate());
    ASSERT_EQ(map.size(), reference.size());
    for (auto &e : map) {
        auto it = reference.find(e.key.c_str());
        ASSERT_NE(it, reference.end());
        EXPECT_EQ(e.value, it->second);
        EXPECT_EQ(e.key.allocator(), &default_allocator()); // keys are copies owned by the map
    }
    // Lookups by plain text and by string agree; the hash is murmur_hash_32 of the bytes.
    map["unit"] = 1;
    DynamicString unit("unit", default_allocator());
    EXPECT_EQ(map.find(unit), map.find("unit"));
    EXPECT_EQ(HashKey<DynamicString>::hash(unit), 0x516224CFu);
    EXPECT_EQ(map.find(""), map.no_entry);
    map[""] = 2;
    EXPECT_EQ(map.get("", 0u), 2u);
}

TEST(HashMap, ManyCollidingKeysGrowWhileMemoryLasts)
{
    // 19 buckets carry 8 overflow entries: the ninth key sharing a bucket used to be
    // refused with memory free, whatever the table size it rehashed to.
    struct Case {
        u32 buckets;
        u32 count;
    };
    const Case cases[] = {{19, 10}, {19, 40}, {39, 60}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.count);
        Map32 map(default_allocator());
        std::vector<u32> keys = colliding_keys(c.buckets, c.count);
        for (u32 k : keys) {
            ASSERT_NE(map.find_or_insert(k), Map32::no_entry);
            map[k] = k * 3;
        }
        ASSERT_TRUE(map.validate());
        ASSERT_EQ(map.size(), c.count);
        for (u32 k : keys)
            EXPECT_EQ(map.get(k, 0u), k * 3);
        // An explicit rehash to a size every key collides in also keeps them all.
        ASSERT_TRUE(map.rehash(c.buckets));
        ASSERT_TRUE(map.validate());
        for (u32 k : keys)
            EXPECT_EQ(map.get(k, 0u), k * 3);
    }

    // Values that own memory keep it when a wide table is rehashed down to a size in
    // which the keys collide (values used to be moved out before the rehash gave up).
    HashMap<u32, Array<u32>> wide(default_allocator());
    ASSERT_TRUE(wide.rehash(500));
    std::vector<u32> keys = colliding_keys(19, 12);
    for (u32 k : keys)
        wide[k].push_back(k);
    ASSERT_TRUE(wide.rehash(19));
    ASSERT_TRUE(wide.validate());
    for (u32 k : keys) {
        u32 i = wide.find(k);
        ASSERT_NE(i, wide.no_entry);
        ASSERT_EQ(wide.value(i).size(), 1u);
        EXPECT_EQ(wide.value(i)[0], k);
    }
}

// Forwards to the default allocator; fail_nth(n) fails the n-th allocation from now.
class FailingAllocator final : public Allocator {
  public:
    void *allocate(u64 size, u32 align) override
    {
        if (++_calls == _fail_at)
            return nullptr;
        return default_allocator().allocate(size, align);
    }
    void deallocate(void *p) override { default_allocator().deallocate(p); }
    void fail_nth(u32 n) { _fail_at = n ? _calls + n : 0; }

  private:
    u64 _calls = 0;
    u64 _fail_at = 0;
};

TEST(HashMap, FailedGrowthLeavesTheMapUnchanged)
{
    // Keys that collide in every table size the map passes through force growth in the
    // middle of a rehash; whichever allocation fails, every value already stored stays.
    std::vector<u32> keys = colliding_keys(19, 12);
    for (u32 fail_at = 1; fail_at <= 4; ++fail_at) {
        SCOPED_TRACE(fail_at);
        FailingAllocator memory;
        {
            HashMap<u32, Array<u32>> map(memory);
            u32 stored = 0;
            for (u32 k : keys) {
                u32 before = map.size();
                memory.fail_nth(stored >= 8 ? fail_at : 0); // only the growth itself fails
                u32 i = map.find_or_insert(k);
                memory.fail_nth(0);
                if (i == map.no_entry) {
                    EXPECT_EQ(map.size(), before);
                    break;
                }
                map.value(i).push_back(k);
                ++stored;
            }
            ASSERT_TRUE(map.validate());
            for (u32 n = 0; n < stored; ++n) {
                u32 i = map.find(keys[n]);
                ASSERT_NE(i, map.no_entry);
                ASSERT_EQ(map.value(i).size(), 1u);
                EXPECT_EQ(map.value(i)[0], keys[n]);
            }
        }
    }
}

} // namespace
} // namespace tallow
