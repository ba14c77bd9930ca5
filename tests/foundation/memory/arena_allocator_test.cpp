#include "foundation/memory/arena_allocator.h"
#include "foundation/containers/array.h"
#include "tests/support/fakes/recording_allocator.h"

#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace tallow {
namespace {

struct ArenaFixture : testing::Test {
    test::RecordingAllocator backing;
};

TEST_F(ArenaFixture, HandsOutAlignedRequestedSizesAndCountsTotals)
{
    struct Case {
        u64 size;
        u32 align;
    };
    const Case cases[] = {{1, 1}, {100, 16}, {7, 4}, {200, 64}, {0, 8}, {3000, 16}, {33, 256}, {50, 8}, {900, 128}};
    ArenaAllocator arena("arena_test", backing, 1024);
    struct Held {
        u8 *p;
        u64 size;
    };
    std::vector<Held> held;
    u64 requested = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " align " << c.align);
        u8 *p = static_cast<u8 *>(arena.allocate(c.size, c.align));
        if (c.size == 0) { // null for 0 bytes, as from every allocator, and nothing counted
            EXPECT_EQ(p, nullptr);
            continue;
        }
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<u64>(p) % c.align, 0u);
        EXPECT_EQ(arena.allocated_size(p), c.size); // the request, not the padded size
        memset(p, int(held.size() + 1), c.size);
        held.push_back({p, c.size});
        requested += c.size;
    }
    for (u64 i = 0; i < held.size(); ++i)
        for (u64 b = 0; b < held[i].size; ++b)
            ASSERT_EQ(held[i].p[b], u8(i + 1)) << "allocation " << i << " overwritten";
    EXPECT_EQ(arena.requested_bytes(), requested);
    EXPECT_EQ(arena.total_allocated(), backing.total_allocated()); // what was taken from the backing
    u64 total = arena.total_allocated();
    for (const Held &h : held)
        arena.deallocate(h.p);
    EXPECT_EQ(arena.total_allocated(), total);
    arena.reset();
    EXPECT_EQ(arena.total_allocated(), 0u);
    EXPECT_EQ(arena.requested_bytes(), 0u);
    EXPECT_EQ(backing.live_count(), 0u);
}

TEST_F(ArenaFixture, FirstRequestTakesABlockAndBigRequestsGetTheirOwn)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    ArenaAllocator arena("arena_test", backing, 4096);
    EXPECT_EQ(backing.allocate_calls(), 0u);
    arena.allocate(8);
    EXPECT_EQ(backing.allocate_calls(), 1u);
    EXPECT_EQ(backing.events()[0].size, 4096u);
    for (int i = 0; i < 10; ++i)
        arena.allocate(100);
    EXPECT_EQ(arena.block_count(), 1u);
    void *big = arena.allocate(10000, 64);
    EXPECT_EQ(arena.block_count(), 2u);
    EXPECT_GE(backing.allocated_size(backing.events().back().p), 10000u);
    EXPECT_EQ(reinterpret_cast<u64>(big) % 64, 0u);
    arena.allocate(4000, 128); // does not fit what is left: a third block, still aligned
    EXPECT_EQ(arena.block_count(), 3u);
    EXPECT_EQ(arena.total_allocated(), backing.total_allocated());
}

TEST_F(ArenaFixture, BackingFailureGivesNullAndTheArenaGoesOn)
{
    ArenaAllocator arena("arena_test", backing, 256);
    void *a = arena.allocate(200);
    ASSERT_NE(a, nullptr);
    backing.set_always_fail(true);
    EXPECT_EQ(arena.allocate(200), nullptr);
    backing.set_always_fail(false);
    void *b = arena.allocate(200);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(arena.allocated_size(a), 200u);
    EXPECT_EQ(arena.allocated_size(b), 200u);
}

TEST_F(ArenaFixture, DestructionReturnsEveryBlock)
{
    {
        ArenaAllocator arena("arena_test", backing, 512);
        for (int i = 0; i < 50; ++i)
            arena.allocate(100);
        Array<Allocator *> out(arena);
        arena.backing_allocators(out);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], &backing);
    }
    EXPECT_EQ(backing.live_count(), 0u);
}

} // namespace
} // namespace tallow
