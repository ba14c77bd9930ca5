// World::update with 10,000 units (10% moved every frame, every 20th linked under another
// unit) on the thread pool, against a single-threaded loop of update_world_transforms
// over the same scene graphs. The ratio shows what the batching and job overhead cost or
// gain; the World also does reflection and idle dropping the loop does not.
//
// As in the application, the World mirrors into a real render world (its reflection
// writes a change record for each unit that changed), each frame's state buffer is handed
// over and applied (outside the timing: that is the render thread's work), and the main
// thread is a pool member. Timing starts once the units woken by their spawn have left
// the update list (idle dropping takes 20 a frame), so each run sees the steady state.
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/processor.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "tests/support/writers/unit_resource_writer.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <memory>
#include <vector>

using namespace tallow;

namespace {

constexpr u32 unit_count = 10000;

struct Scenario {
    std::unique_ptr<ThreadRegistry> registry;
    std::unique_ptr<ThreadPool> pool;
    std::unique_ptr<RenderWorld> render_world;
    std::unique_ptr<WorldRenderLink> link;
    UnitResource *resource = nullptr;
    World *world = nullptr;
    std::vector<Unit *> units;
    std::vector<Unit *> moving;
    u32 frame = 0;

    void build(u32 workers)
    {
        registry = std::make_unique<ThreadRegistry>(default_allocator(), "main");
        pool = std::make_unique<ThreadPool>(default_allocator(), workers, *registry);
        pool->add_worker(current_thread_id());
        render_world = std::make_unique<RenderWorld>(default_allocator(), pool.get());
        link = std::make_unique<WorldRenderLink>(default_allocator(), render_world->acquire_state_buffer());
        test::UnitSource s;
        u32 root = s.add_node("root", matrix4x4_identity, test::no_parent);
        Matrix4x4 offset = matrix4x4_identity;
        set_translation(offset, {0, 0, 1});
        u32 body = s.add_node("body", offset, root);
        for (int i = 0; i < 6; ++i)
            s.add_node("part", offset, body);
        std::vector<u8> bytes = test::write_unit_resource(s);
        resource = read_unit_resource(bytes.data(), bytes.size(), default_allocator());
        WorldParams params;
        params.thread_pool = pool.get();
        params.render_world = render_world.get();
        params.render_link = link.get();
        world = make_new<World>(default_allocator(), default_allocator(), params);
        for (u32 i = 0; i < unit_count; ++i) {
            Matrix4x4 pose = matrix4x4_identity;
            set_translation(pose, {f32(i % 100), f32(i / 100), 0});
            units.push_back(world->spawn_unit_from_resource(*resource, nullptr, pose));
            if (i % 20 == 19)
                world->link_unit(*units[i], *units[i - 1], 1);
            if (i % 10 == 0)
                moving.push_back(units[i]);
        }
        hand_over(); // the render side's graphs are made
        // Idle dropping empties the update list of the spawned units at 20 a frame.
        for (u32 i = 0; i < unit_count && world->update_list().size() > moving.size(); ++i) {
            move();
            world->update(1.0f / 60);
            hand_over();
        }
    }

    // What RenderInterface::update_world does with the frame's buffer, and the render
    // thread after it.
    void hand_over()
    {
        RenderStateQueue *filled = link->swap_state(render_world->acquire_state_buffer());
        render_world->update_state(*filled, nullptr);
        render_world->release_state_buffer(filled);
    }

    void move()
    {
        ++frame;
        for (Unit *u : moving) {
            Matrix4x4 pose = u->scene_graph().local_pose(0);
            pose.m[3][2] = f32(frame % 7);
            u->scene_graph().set_local_pose(0, pose);
            world->wake_unit(*u, 1);
        }
    }

    void destroy()
    {
        delete_with_allocator(default_allocator(), world);
        hand_over();
        destroy_unit_resource(resource, default_allocator());
        render_world->release_state_buffer(link->swap_state(nullptr));
        link.reset();
        render_world.reset();
        pool.reset();
        registry.reset();
    }
};

Scenario *scenario = nullptr;

void BM_WorldUpdate(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        scenario->move();
        state.ResumeTiming();
        scenario->world->update(1.0f / 60);
        state.PauseTiming();
        scenario->hand_over();
        state.ResumeTiming();
    }
}

// The same graphs, the same moved units, each graph updated in turn on this thread.
void BM_UpdateWorldTransformsLoop(benchmark::State &state)
{
    NodeChangeMask mask;
    for (auto _ : state) {
        state.PauseTiming();
        scenario->move();
        state.ResumeTiming();
        for (Unit *u : scenario->units) {
            SceneGraph &graph = u->scene_graph();
            graph.copy_parent_world();
            update_world_transforms(graph, &mask);
        }
        benchmark::DoNotOptimize(mask);
    }
}

BENCHMARK(BM_WorldUpdate)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_UpdateWorldTransformsLoop)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    Scenario s;
    s.build(pool_worker_count(ProcessorInfo::processor_count()));
    scenario = &s;
    printf("world: %u units of 8 nodes, %zu moved per frame, %u linked; %u pool members\n", unit_count,
           s.moving.size(), unit_count / 20, s.pool->member_count());
    const bench::RatioReporter &runs = program.run();
    const bench::TimeRatio ratios[] = {{"update", "BM_WorldUpdate", "BM_UpdateWorldTransformsLoop"}};
    bench::print_time_ratios(runs, "World::update time / single-threaded update_world_transforms loop time", ratios);
    s.destroy();
    return 0;
}
