#include "foundation/containers/array.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/memory/scratch_pool.h"
#include "foundation/memory/temp_allocator.h"
#include "tests/support/fakes/recording_allocator.h"

#include <cstring>
#include <gtest/gtest.h>
#include <thread>

namespace tallow {
namespace {

TEST(ScratchPool, FrameIdsWrapAndStayOrdered)
{
    EXPECT_EQ(ScratchPool::next_frame_id(0), 1u);
    EXPECT_EQ(ScratchPool::next_frame_id(0xFFFFFFFDu), 0xFFFFFFFEu);
    EXPECT_EQ(ScratchPool::next_frame_id(0xFFFFFFFEu), 0u); // never no_frame
    struct Case {
        u32 a, b;
        bool newer;
    };
    const Case cases[] = {{5, 3, true}, {3, 5, false}, {7, 7, false}, {0, 0xFFFFFFFEu, true},
                          {0xFFFFFFFEu, 0, false}, {10, 0xFFFFFFF0u, true}, {0x40000000u, 0, true},
                          {0x40000001u, 0, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " vs " << c.b);
        EXPECT_EQ(ScratchPool::is_newer_frame(c.a, c.b), c.newer);
    }
}

struct ScratchFixture : testing::Test {
    test::RecordingAllocator backing;
    ScratchPool pool{backing, 4096, 1};
};

TEST_F(ScratchFixture, NestedFramesReleaseInReverseOrder)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    u32 outer = pool.push_frame();
    ASSERT_NE(pool.allocate(outer, 100, 16), nullptr);
    u32 inner = pool.push_frame();
    ASSERT_NE(pool.allocate(inner, 5000, 16), nullptr); // no room in the outer block
    ASSERT_NE(pool.allocate(inner, 100, 16), nullptr);  // the 5000-byte block is full
    EXPECT_EQ(pool.block_count(), 3u);
    pool.pop_frame(inner);
    EXPECT_EQ(pool.block_count(), 1u); // the outer frame's block stays
    EXPECT_EQ(pool.spare_block_count(), 1u);
    EXPECT_EQ(backing.live_count(), 2u);
    pool.pop_frame(outer);
    EXPECT_EQ(pool.block_count(), 0u);
    EXPECT_EQ(backing.live_count(), 1u); // one spare kept
}

TEST_F(ScratchFixture, FrameClosedOutOfOrderKeepsItsBlocksUntilTheLaterOnesClose)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    u32 first = pool.push_frame();
    pool.allocate(first, 3000, 16);
    u32 second = pool.push_frame();
    pool.allocate(second, 3000, 16);
    EXPECT_EQ(pool.block_count(), 2u);
    pool.pop_frame(first);
    EXPECT_EQ(pool.block_count(), 2u);
    EXPECT_EQ(pool.open_frame_count(), 1u);
    pool.pop_frame(12345); // not open: ignored
    EXPECT_EQ(pool.open_frame_count(), 1u);
    pool.pop_frame(second);
    EXPECT_EQ(pool.block_count(), 0u);
}

TEST_F(ScratchFixture, LargeRequestTakesABlockOfTheBackingsSize)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    backing.set_extra_size(100); // the backing rounds every block up by 100 bytes
    u32 frame = pool.push_frame();
    u8 *big = static_cast<u8 *>(pool.allocate(frame, 5000, 16));
    ASSERT_NE(big, nullptr);
    ASSERT_EQ(pool.block_count(), 1u);
    EXPECT_EQ(pool.block(0).size, 5100u);
    u8 *small = static_cast<u8 *>(pool.allocate(frame, 90, 16));
    EXPECT_EQ(pool.block_count(), 1u); // 5000 + 90 fits the real size
    EXPECT_EQ(small, big + 5008);      // aligned up to 16
    pool.allocate(frame, 200, 16);     // does not fit: a fresh minimum-size block
    ASSERT_EQ(pool.block_count(), 2u);
    EXPECT_EQ(pool.block(1).size, 4096u + 100);
    pool.pop_frame(frame);
}

TEST_F(ScratchFixture, SpareBlockIsReusedWithoutTheBacking)
{
    TALLOW_SKIP_WITH_MALLOC_ALLOCATORS();
    u32 frame = pool.push_frame();
    void *first = pool.allocate(frame, 100, 16);
    pool.pop_frame(frame);
    u64 calls = backing.allocate_calls();
    frame = pool.push_frame();
    EXPECT_EQ(pool.allocate(frame, 100, 16), first);
    EXPECT_EQ(backing.allocate_calls(), calls);
    pool.pop_frame(frame);
}

TEST_F(ScratchFixture, AllocationsAreAlignedDistinctAndFailCleanly)
{
    u32 frame = pool.push_frame();
    struct Case {
        u64 size;
        u32 align;
    };
    const Case cases[] = {{1, 1}, {10, 16}, {7, 4}, {100, 64}, {3000, 256}, {20, 8}, {9000, 4096}};
    u8 *previous = nullptr;
    u64 previous_size = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        u8 *p = static_cast<u8 *>(pool.allocate(frame, c.size, c.align));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<u64>(p) % c.align, 0u);
        memset(p, 0x42, c.size);
        if (previous && previous + previous_size > p) {
            EXPECT_GE(previous, p + c.size); // no overlap with the one before
        }
        previous = p;
        previous_size = c.size;
    }
    backing.set_always_fail(true);
    EXPECT_EQ(pool.allocate(frame, 100000, 16), nullptr);
    backing.set_always_fail(false);
    pool.pop_frame(frame);
}

TEST(TempAllocator, PushesAFrameOnlyWhenItAllocates)
{
    ScratchPool *pool = thread_scratch_pool();
    ASSERT_NE(pool, nullptr);
    u32 open = pool->open_frame_count();
    {
        TempAllocator unused;
        EXPECT_EQ(unused.frame(), ScratchPool::no_frame);
    }
    EXPECT_EQ(pool->open_frame_count(), open);
    {
        TempAllocator ta;
        Array<u32> numbers(ta);
        for (u32 i = 0; i < 5000; ++i)
            numbers.push_back(i);
        EXPECT_EQ(pool->open_frame_count(), open + 1);
        EXPECT_EQ(numbers[4999], 4999u);
        EXPECT_EQ(ta.allocated_size(numbers.data()), 0u);
        EXPECT_EQ(ta.total_allocated(), 0u);
        Array<Allocator *> out(default_allocator());
        ta.backing_allocators(out);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], &page_allocator());
    }
    EXPECT_EQ(pool->open_frame_count(), open);
    if (!malloc_allocators) {
        EXPECT_EQ(pool->block_count(), 0u);
    }
}

TEST(TempAllocator, NestedScopesOnOneThreadAndEachThreadItsOwnPool)
{
    ScratchPool *main_pool = thread_scratch_pool();
    {
        TempAllocator outer;
        char *a = static_cast<char *>(outer.allocate(64));
        strcpy(a, "outer");
        {
            TempAllocator inner;
            char *b = static_cast<char *>(inner.allocate(10000));
            memset(b, 'x', 10000);
        }
        EXPECT_STREQ(a, "outer");
        char *c = static_cast<char *>(outer.allocate(64));
        strcpy(c, "again");
        EXPECT_STREQ(a, "outer");
    }
    EXPECT_EQ(main_pool->open_frame_count(), 0u);
    ScratchPool *other_pool = nullptr;
    std::thread other([&other_pool] {
        other_pool = thread_scratch_pool();
        TempAllocator ta;
        memset(ta.allocate(1000), 1, 1000);
    });
    other.join();
    EXPECT_NE(other_pool, nullptr);
    EXPECT_NE(other_pool, main_pool);
    EXPECT_EQ(thread_scratch_pool(), main_pool);
}

// A thread's pool (and its spare block) goes when the thread ends: threads started and
// ended one after another leave nothing behind in the default allocator.
TEST(TempAllocator, AThreadsPoolGoesWithTheThread)
{
    auto use_a_pool = [] {
        std::thread t([] {
            TempAllocator ta;
            memset(ta.allocate(5000), 1, 5000);
        });
        t.join();
    };
    (void)thread_scratch_pool();
    use_a_pool(); // the pool list has grown to hold a second pool
    const u64 before = default_allocator().total_allocated();
    for (int i = 0; i < 4; ++i)
        use_a_pool();
    EXPECT_EQ(default_allocator().total_allocated(), before);
    EXPECT_NE(thread_scratch_pool(), nullptr) << "the main thread keeps its own";
}

} // namespace
} // namespace tallow
