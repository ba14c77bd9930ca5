#include "render/world/render_world.h"

#include "foundation/memory/memory_globals.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "render/world/deferred_release_queue.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_state_queue.h"
#include "render/world/world_render_link.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace tallow {
namespace {

Matrix4x4 moved_to(f32 x)
{
    Matrix4x4 m = matrix4x4_identity;
    m.m[3][0] = x;
    return m;
}

/// Writes a change record for node `node` of the scene graph `handle`.
void write_node_change(RenderStateStream &stream, u32 handle, u32 node, const Matrix4x4 &world)
{
    u8 payload[sizeof(SceneGraphChangeHeader) + sizeof(SceneGraphChangeEntry)];
    SceneGraphChangeHeader header = {u32(RenderObjectClass::SceneGraph), handle, 1, sizeof header};
    SceneGraphChangeEntry entry = {world, node};
    memcpy(payload, &header, sizeof header);
    memcpy(payload + sizeof header, &entry, sizeof entry);
    ASSERT_TRUE(stream.write(scene_graph_change_kind, payload, sizeof payload));
}

// A render world with its game-side link; frame() hands the filled buffer across and
// applies it as message 7 would.
class RenderWorldTest : public ::testing::Test {
  protected:
    RenderWorldTest() { link = std::make_unique<WorldRenderLink>(allocator, world->acquire_state_buffer()); }
    ~RenderWorldTest() override
    {
        link.reset();
        world.reset();
        EXPECT_EQ(allocator.allocation_count(), 0u);
    }

    void frame()
    {
        RenderStateQueue *filled = link->swap_state(world->acquire_state_buffer());
        world->update_state(*filled, nullptr);
        world->release_state_buffer(filled);
        link->handles().collect();
        EXPECT_TRUE(world->validate());
    }
    u32 create_graph(u32 nodes = 2)
    {
        std::vector<Matrix4x4> start(nodes, matrix4x4_identity);
        u32 handle = no_render_handle;
        return world->create_scene_graph(*link, handle, start.data(), nodes);
    }
    RenderSceneGraph *graph(u32 handle)
    {
        RenderObject *o = world->object(handle);
        return o && o->class_id() == u32(RenderObjectClass::SceneGraph) ? static_cast<RenderSceneGraph *>(o) : nullptr;
    }
    RenderStateQueue &state() { return *link->state(); }

    TraceAllocator allocator{"render_world_test", default_allocator()};
    std::unique_ptr<RenderWorld> world = std::make_unique<RenderWorld>(allocator, nullptr);
    std::unique_ptr<WorldRenderLink> link;
};

TEST(DeferredReleaseQueue, HandleComesBackSixFramesAfterItsRelease)
{
    TraceAllocator allocator("release_queue_test", default_allocator());
    DeferredReleaseQueue handles(allocator);
    for (u32 i = 0; i < 5; ++i)
        EXPECT_EQ(handles.allocate(), i);
    handles.collect();
    handles.collect(); // frame is now 2
    handles.release(3);
    handles.release(1);
    // Until the collect that runs at frame 8, creates get new handles.
    for (u32 frame = 2; frame < 8; ++frame) {
        EXPECT_EQ(handles.frame(), frame);
        handles.collect();
        EXPECT_EQ(handles.free_count(), 0u) << "frame " << frame;
    }
    EXPECT_EQ(handles.allocate(), 5u);
    handles.collect(); // runs at frame 8 = 2 + 6
    EXPECT_EQ(handles.free_count(), 2u);
    EXPECT_EQ(handles.allocate(), 1u) << "the most recently freed first";
    EXPECT_EQ(handles.allocate(), 3u);
    EXPECT_EQ(handles.allocate(), 6u);
}

TEST(DeferredReleaseQueue, RingKeepsOrderAcrossGrowth)
{
    TraceAllocator allocator("release_queue_test", default_allocator());
    DeferredReleaseQueue handles(allocator);
    for (u32 i = 0; i < 100; ++i)
        (void)handles.allocate();
    // Releases spread over frames so the ring wraps before it grows.
    for (u32 i = 0; i < 100; ++i) {
        handles.release(i);
        if (i % 10 == 9)
            handles.collect();
    }
    EXPECT_EQ(handles.held_count() + handles.free_count(), 100u);
    for (u32 i = 0; i < 10; ++i)
        handles.collect();
    EXPECT_EQ(handles.free_count(), 100u);
    EXPECT_EQ(handles.allocate(), 99u);
}

TEST_F(RenderWorldTest, CreateUpdateAndDestroyInOneFrame)
{
    test::LogCapture log("render");
    u32 handle = create_graph();
    write_node_change(state().update_stream(0), handle, 1, moved_to(4));
    frame();
    ASSERT_NE(graph(handle), nullptr);
    EXPECT_EQ(graph(handle)->world(1), moved_to(4)) << "the update found the object it created";

    // Update and destroy, then a create, update and destroy of a new object, in one frame:
    // creates go first and destroys last, whatever order they were written in.
    u32 field = handle;
    world->destroy_object(*link, field);
    EXPECT_EQ(field, no_render_handle);
    write_node_change(state().update_stream(0), handle, 0, moved_to(1));
    u32 second = create_graph();
    u32 second_field = second;
    world->destroy_object(*link, second_field);
    write_node_change(state().update_stream(0), second, 1, moved_to(2));
    frame();
    EXPECT_EQ(world->object(handle), nullptr);
    EXPECT_EQ(world->object(second), nullptr);
    EXPECT_EQ(world->live_object_count(), 0u);
    EXPECT_TRUE(log.lines().empty()) << "no record missed its object: " << log.lines()[0];
}

TEST_F(RenderWorldTest, BadRecordsAreDroppedWithoutTouchingObjects)
{
    u32 live = create_graph();
    u32 doomed = create_graph();
    frame();
    u32 field = doomed;
    world->destroy_object(*link, field);
    frame();

    struct Case {
        const char *name;
        u32 class_id, handle;
        const char *logged;
    };
    const Case cases[] = {
        {"update after destroy", u32(RenderObjectClass::SceneGraph), doomed, "no live object"},
        {"handle never made", u32(RenderObjectClass::SceneGraph), 5000, "no live object"},
        {"class id just past the table", render_object_class_count, live, "not built yet"},
        {"a light record for a scene graph", u32(RenderObjectClass::Light), live, "no live object of their class"},
        {"class id outside the table", 99, live, "not built yet"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log("render");
        u8 payload[sizeof(SceneGraphChangeHeader) + sizeof(SceneGraphChangeEntry)] = {};
        SceneGraphChangeHeader header = {c.class_id, c.handle, 1, sizeof header};
        SceneGraphChangeEntry entry = {moved_to(9), 0};
        memcpy(payload, &header, sizeof header);
        memcpy(payload + sizeof header, &entry, sizeof entry);
        ASSERT_TRUE(state().update_stream(0).write(0, payload, sizeof payload));
        frame();
        EXPECT_TRUE(log.contains(c.logged));
        EXPECT_EQ(graph(live)->world(0), matrix4x4_identity);
    }

    {
        // A create in a parallel update stream would change the tables under the other
        // streams: it is dropped, and its object freed.
        test::LogCapture log("render");
        const Matrix4x4 start[1] = {matrix4x4_identity};
        RenderObject *stray = make_new<RenderSceneGraph>(world->allocator(), world->allocator(), start, 1);
        RenderCreateRecord create = {0, 77, u32(RenderObjectClass::SceneGraph), 0, stray};
        ASSERT_TRUE(state().update_stream(0).write(render_record_create, create));
        frame();
        EXPECT_TRUE(log.contains("create or destroy record in an update stream"));
        EXPECT_EQ(world->object(77), nullptr);
    }

    test::LogCapture log("render");
    RenderDestroyRecord destroy = {0, doomed, 0xFFFFFFFF, 0};
    ASSERT_TRUE(state().destroy_stream().write(render_record_destroy, destroy));
    frame();
    EXPECT_TRUE(log.contains("names no live object"));
    EXPECT_EQ(world->live_object_count(), 1u);
}

TEST_F(RenderWorldTest, SlotsOfDestroyedObjectsAreReused)
{
    for (u32 round = 0; round < 50; ++round) {
        u32 a = create_graph(), b = create_graph();
        frame();
        world->destroy_object(*link, a);
        world->destroy_object(*link, b);
        frame();
    }
    EXPECT_EQ(world->live_object_count(), 0u);
    EXPECT_LE(world->slot_count(), 2u);
}

TEST_F(RenderWorldTest, TwoBuffersInSteadyState)
{
    u32 handle = create_graph();
    for (u32 i = 0; i < 20; ++i) {
        write_node_change(state().update_stream(0), handle, 0, moved_to(f32(i)));
        frame();
    }
    EXPECT_EQ(world->buffer_count(), 2u);
    EXPECT_EQ(graph(handle)->world(0), moved_to(19));
}

TEST_F(RenderWorldTest, UnappliedCreatesAreFreedWithTheWorld)
{
    create_graph();
    create_graph();
    frame();
    create_graph(); // its record is never applied
    // The fixture's destructor checks that every allocation came back.
}

TEST(RenderRecordSet, RemovalKeepsTheSlotMap)
{
    TraceAllocator allocator("record_set_test", default_allocator());
    RenderRecordSet set(allocator);
    for (u32 slot : {4u, 0u, 9u, 2u, 7u}) {
        RenderRecord record = {};
        record.slot = slot;
        record.kind = render_record_culled;
        ASSERT_TRUE(set.add(record, nullptr, slot));
    }
    RenderRecord duplicate = {};
    duplicate.slot = 9;
    EXPECT_FALSE(set.add(duplicate, nullptr, 0));

    for (u32 slot : {0u, 7u, 4u}) {
        SCOPED_TRACE(slot);
        EXPECT_TRUE(set.remove(slot));
        EXPECT_FALSE(set.remove(slot));
        EXPECT_EQ(set.find(slot), nullptr);
        EXPECT_TRUE(set.validate());
    }
    EXPECT_EQ(set.count(), 2u);
    ASSERT_NE(set.find(9), nullptr);
    EXPECT_EQ(set.find(9)->slot, 9u);
    EXPECT_EQ(set.nodes()[set.find(9) - set.records()].node, 9u);
    EXPECT_TRUE(set.set_visible(2, false));
    EXPECT_EQ(set.find(2)->kind & render_record_visible, 0u);
    EXPECT_FALSE(set.set_visible(4, true));
}

// N update streams of M records each, every stream addressing its own scene graphs; on a
// pool with workers the streams run at once, and each must still apply in its own order.
TEST(RenderWorldJobs, ParallelUpdateStreamsApplyInOrderPerObject)
{
    TraceAllocator allocator("render_world_jobs_test", default_allocator());
    ThreadRegistry registry(allocator, "main");
    {
        ThreadPool pool(allocator, 4, registry);
        pool.add_worker(current_thread_id());
        pool.set_wait_without_helping(false);
        RenderWorld world(allocator, &pool);
        WorldRenderLink link(allocator, world.acquire_state_buffer());

        constexpr u32 streams = 8, graphs_per_stream = 4, records = 200, nodes = 3;
        std::vector<u32> handles;
        const Matrix4x4 start[nodes] = {matrix4x4_identity, matrix4x4_identity, matrix4x4_identity};
        for (u32 i = 0; i < streams * graphs_per_stream; ++i) {
            u32 field = no_render_handle;
            handles.push_back(world.create_scene_graph(link, field, start, nodes));
        }
        for (u32 s = 1; s < streams; ++s)
            ASSERT_NE(link.state()->add_update_stream(), nullptr);
        for (u32 s = 0; s < streams; ++s)
            for (u32 r = 0; r < records; ++r)
                for (u32 g = 0; g < graphs_per_stream; ++g)
                    write_node_change(link.state()->update_stream(s), handles[s * graphs_per_stream + g], r % nodes,
                                      moved_to(f32(r)));
        RenderStateQueue *filled = link.swap_state(world.acquire_state_buffer());
        world.update_state(*filled, nullptr);
        world.release_state_buffer(filled);

        for (u32 h : handles) {
            const RenderSceneGraph *graph = static_cast<const RenderSceneGraph *>(world.object(h));
            ASSERT_NE(graph, nullptr);
            // The last record for each node is the one that stays.
            for (u32 n = 0; n < nodes; ++n) {
                u32 last = records - 1 - ((records - 1 - n) % nodes);
                EXPECT_EQ(graph->world(n), moved_to(f32(last))) << "handle " << h << " node " << n;
            }
        }
        EXPECT_EQ(pool.pending_counter_count(), 0u);
    }
    EXPECT_EQ(registry.thread_count(), 1u);
}

} // namespace
} // namespace tallow
