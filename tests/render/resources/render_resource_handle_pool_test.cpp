// The handle pool: one index space for every kind, safe from several threads.
#include "render/resources/render_resource_handle_pool.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace tallow {
namespace {

TEST(RenderResourceHandlePool, ReleasedIndexComesBackFirstUnderAnyKind)
{
    RenderResourceHandlePool pool(default_allocator());
    RenderResourceHandle handles[10];
    for (u32 i = 0; i < 10; ++i)
        handles[i] = pool.alloc_handle(render_handle_kind::texture);
    EXPECT_EQ(render_index_of(handles[7]), 7u);
    ASSERT_TRUE(pool.free_handle(handles[7]));
    ASSERT_TRUE(pool.free_handle(handles[3]));
    const RenderResourceHandle a = pool.alloc_handle(render_handle_kind::shader);
    const RenderResourceHandle b = pool.alloc_handle(render_handle_kind::vertex_buffer);
    EXPECT_EQ(a, make_render_handle(render_handle_kind::shader, 3)) << "last in, first out";
    EXPECT_EQ(b, make_render_handle(render_handle_kind::vertex_buffer, 7));
    EXPECT_EQ(render_kind_of(b), 5u);
    EXPECT_EQ(pool.alloc_handle(0), make_render_handle(0, 10)) << "then the counter";
    EXPECT_EQ(pool.issued_count(), 11u);
}

TEST(RenderResourceHandlePool, FreeingWhatIsNotLiveIsRefused)
{
    RenderResourceHandlePool pool(default_allocator());
    const RenderResourceHandle h = pool.alloc_handle(1);
    EXPECT_TRUE(pool.free_handle(h));
    EXPECT_FALSE(pool.free_handle(h)) << "double release";
    EXPECT_FALSE(pool.free_handle(invalid_render_handle));
    EXPECT_FALSE(pool.free_handle(make_render_handle(1, 500))) << "never issued";
    // Only one copy of the index is in the free list: two allocations get two indices.
    EXPECT_NE(render_index_of(pool.alloc_handle(1)), render_index_of(pool.alloc_handle(1)));
}

TEST(RenderResourceHandlePool, FullPoolGivesInvalidHandle)
{
    RenderResourceHandlePool pool(default_allocator(), 2);
    EXPECT_NE(pool.alloc_handle(0), invalid_render_handle);
    const RenderResourceHandle second = pool.alloc_handle(0);
    EXPECT_NE(second, invalid_render_handle);
    EXPECT_EQ(pool.alloc_handle(0), invalid_render_handle);
    pool.free_handle(second);
    EXPECT_EQ(pool.alloc_handle(6), make_render_handle(6, 1));
}

TEST(RenderResourceHandlePool, FourThreadsGetUniqueHandles)
{
    RenderResourceHandlePool pool(default_allocator());
    constexpr u32 per_thread = 5000;
    std::vector<std::vector<RenderResourceHandle>> taken(4);
    std::vector<std::thread> threads;
    for (u32 t = 0; t < 4; ++t)
        threads.emplace_back([&pool, &taken, t] {
            for (u32 i = 0; i < per_thread; ++i) {
                const RenderResourceHandle h = pool.alloc_handle(t);
                taken[t].push_back(h);
                if (i % 3 == 0) { // churn: give some back at once
                    pool.free_handle(h);
                    taken[t].pop_back();
                }
            }
        });
    for (std::thread &t : threads)
        t.join();
    std::vector<u32> indices;
    for (u32 t = 0; t < 4; ++t)
        for (RenderResourceHandle h : taken[t]) {
            EXPECT_EQ(render_kind_of(h), t);
            indices.push_back(render_index_of(h));
        }
    std::sort(indices.begin(), indices.end());
    EXPECT_EQ(std::adjacent_find(indices.begin(), indices.end()), indices.end()) << "an index is live twice";
    EXPECT_EQ(pool.live_count(), indices.size());
}

} // namespace
} // namespace tallow
