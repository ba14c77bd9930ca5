#include "foundation/io/chunk_store.h"
#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tallow {
namespace {

constexpr u32 nf = ChunkStore::not_found;

u64 read_u64(const u8 *p)
{
    u64 v;
    memcpy(&v, p, 8);
    return v;
}

TEST(ChunkStore, EmptyStoreFindsNothingAndLinksAtTheHead)
{
    ChunkStore store(default_allocator());
    EXPECT_EQ(store.bytes().size(), 8u);
    u32 link = 123;
    EXPECT_EQ(store.find(ChunkStore::root_list, 5, &link), nf);
    EXPECT_EQ(link, ChunkStore::root_list);
}

TEST(ChunkStore, SameSizeOverwritesInPlaceOtherSizeGoesToTheFreeList)
{
    ChunkStore store(default_allocator());
    u64 a = 1, b = 2;
    u32 first = store.set(ChunkStore::root_list, 7, 1, 8, &a);
    EXPECT_EQ(store.set(ChunkStore::root_list, 7, 2, 8, &b), first) << "same size: same chunk";
    EXPECT_EQ(store.chunk_kind(first), 2u);
    EXPECT_EQ(read_u64(store.chunk_data(first)), 2u);

    u8 twelve[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    u32 second = store.set(ChunkStore::root_list, 7, 3, 12, twelve);
    EXPECT_NE(second, first);
    EXPECT_EQ(store.free_list(), first) << "the 24-byte block is free";
    EXPECT_EQ(store.find(ChunkStore::root_list, 7), second);
    // The next 8-byte chunk (a 24-byte block) reuses it.
    EXPECT_EQ(store.set(ChunkStore::root_list, 8, 1, 8, &a), first);
    EXPECT_EQ(store.free_list(), nf);
    // Both keys are in the list, in insertion order after the replacement.
    u32 link;
    EXPECT_EQ(store.find(ChunkStore::root_list, 8, &link), first);
    EXPECT_EQ(link, second + 4) << "linked behind the replaced chunk";
    // Sizes round up to 4; only the given bytes matter.
    u8 three[3] = {9, 8, 7};
    u32 odd = store.set(ChunkStore::root_list, 9, 1, 3, three);
    EXPECT_EQ(store.chunk_size(odd), 4u);
    EXPECT_EQ(memcmp(store.chunk_data(odd), three, 3), 0);
}

TEST(ChunkStore, RemoveUnlinksAnyChunkAndFreesItsBlock)
{
    ChunkStore store(default_allocator());
    u32 v = 5;
    u32 a = store.set(ChunkStore::root_list, 1, 2, 4, &v);
    u32 b = store.set(ChunkStore::root_list, 2, 2, 4, &v);
    u32 c = store.set(ChunkStore::root_list, 3, 2, 4, &v);
    EXPECT_TRUE(store.remove(ChunkStore::root_list, 2)) << "from the middle";
    EXPECT_EQ(store.free_list(), b);
    u32 link;
    EXPECT_EQ(store.find(ChunkStore::root_list, 3, &link), c);
    EXPECT_EQ(link, a + 4) << "a now links to c";
    EXPECT_FALSE(store.remove(ChunkStore::root_list, 2)) << "gone";
    EXPECT_TRUE(store.remove(ChunkStore::root_list, 3)) << "the last";
    EXPECT_TRUE(store.remove(ChunkStore::root_list, 1)) << "the head";
    EXPECT_EQ(store.find(ChunkStore::root_list, 1), nf);
    // A new key after removing the last one links at the head again, in a freed block.
    u32 d = store.set(ChunkStore::root_list, 4, 2, 4, &v);
    EXPECT_TRUE(d == a || d == b || d == c);
    EXPECT_EQ(store.find(ChunkStore::root_list, 4, &link), d);
    EXPECT_EQ(link, ChunkStore::root_list);
    EXPECT_EQ(store.bytes().size(), 8u + 3 * 20) << "no new bytes";
}

TEST(ChunkStore, FindAllSearchesNestedListsInOrder)
{
    ChunkStore store(default_allocator());
    u32 v1 = 1, v2 = 2, v3 = 3, v4 = 4;
    store.set(ChunkStore::root_list, 1, 105, 4, &v1);
    u32 empty = nf;
    u32 list = store.set(ChunkStore::root_list, 2, ChunkStore::nested_list, 4, &empty);
    store.set(ChunkStore::nested_head(list), 1, 105, 4, &v2);
    store.set(ChunkStore::nested_head(list), 2, 7, 4, &v3);
    list = store.find(ChunkStore::root_list, 2); // the array may have moved, offsets did not
    store.set(ChunkStore::root_list, 3, 105, 4, &v4);
    Array<u8 *> found(default_allocator());
    store.find_all(ChunkStore::root_list, 105, found);
    ASSERT_EQ(found.size(), 3u);
    u32 got[3];
    for (u32 i = 0; i < 3; ++i)
        memcpy(&got[i], found[i], 4);
    EXPECT_EQ(got[0], 1u);
    EXPECT_EQ(got[1], 2u);
    EXPECT_EQ(got[2], 4u);
}

TEST(ChunkStore, SizesNearFourGibibytesAreRefusedWithoutWriting)
{
    // The rounded size plus the 16-byte header used to wrap in 32 bits into a tiny block,
    // into which `set` then copied the whole size.
    const u32 sizes[] = {0xFFFFFFFFu, 0xFFFFFFF4u, 0xFFFFFFF0u, 0xFFFFFFEEu};
    for (u32 size : sizes) {
        SCOPED_TRACE(size);
        ChunkStore store(default_allocator());
        u32 value = 9;
        u32 kept = store.set(ChunkStore::root_list, 1, 1, 4, &value);
        ASSERT_NE(kept, nf);
        u8 small[12] = {};
        EXPECT_EQ(store.set(ChunkStore::root_list, 2, 1, size, small), nf);
        EXPECT_EQ(store.set(ChunkStore::root_list, 1, 1, size, small), nf);
        EXPECT_EQ(store.find(ChunkStore::root_list, 1), kept) << "a refused set keeps the old chunk";
        EXPECT_EQ(store.find(ChunkStore::root_list, 2), nf);
        EXPECT_EQ(store.bytes().size(), 8u + 16u + 4u);
    }
}

TEST(ChunkStore, DataFromInsideTheStoreSurvivesGrowth)
{
    ChunkStore store(default_allocator());
    u8 block[64];
    for (u32 i = 0; i < 64; ++i)
        block[i] = u8(i);
    u32 chunk = store.set(ChunkStore::root_list, 1, 1, 64, block);
    for (u32 key = 2; key < 50; ++key) {
        chunk = store.set(ChunkStore::root_list, key, 1, 64, store.chunk_data(chunk));
        ASSERT_NE(chunk, nf);
    }
    EXPECT_EQ(memcmp(store.chunk_data(chunk), block, 64), 0);
}

TEST(ChunkStore, DamagedLinksEndTheWalk)
{
    ChunkStore store(default_allocator());
    u32 v = 1;
    u32 a = store.set(ChunkStore::root_list, 1, 105, 4, &v);
    u32 b = store.set(ChunkStore::root_list, 2, 105, 4, &v);
    // Make b point back at a: a cycle, as damaged saved bytes could hold.
    memcpy(const_cast<u8 *>(store.bytes().data()) + b + 4, &a, 4);
    EXPECT_EQ(store.find(ChunkStore::root_list, 99), nf);
    Array<u8 *> found(default_allocator());
    store.find_all(ChunkStore::root_list, 105, found);
    EXPECT_LE(found.size(), store.bytes().size() / 16 + 1);
    // A link pointing past the end.
    u32 far = 0x7FFFFFF0u;
    memcpy(const_cast<u8 *>(store.bytes().data()) + b + 4, &far, 4);
    EXPECT_EQ(store.find(ChunkStore::root_list, 99), nf);
}

} // namespace
} // namespace tallow
