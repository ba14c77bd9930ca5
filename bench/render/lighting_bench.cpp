// One frame of deferred lighting: 256 unshadowed omni lights and 16 shadowed ones (8 omni
// with six cube faces each, 8 spot) over 3,000 shadow-casting objects, drawn by the render
// world on a thread pool of 8 workers (the rendering thread joins it and helps while it
// waits: culling of the view, the render kernel's batches and the 56 shadow views as
// jobs) against the same frame with no pool, everything on the rendering thread.
//
// Each run also reports the processor time per frame of the rendering thread (render_ms)
// and of the pool's workers together (workers_ms): on a loaded machine the real time
// shows what the other programs took, the processor times what the frame cost.
#include "bench/support/bench_support.h"
#include "tests/render/generators/lighting_scene.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include <time.h>
#include <unistd.h>

namespace {

using namespace tallow;
using namespace tallow::test;

constexpr u32 object_count = 3000;
constexpr u32 unshadowed_lights = 256;
constexpr u32 shadowed_lights = 16;
constexpr u32 pool_workers = 8;

struct Lighting {
    std::unique_ptr<LightScene> scene;

    explicit Lighting(u32 workers) : scene(std::make_unique<LightScene>(workers))
    {
        LightScene &s = *scene;
        s.load(lighting);
        std::mt19937 random(11);
        std::uniform_real_distribution<f32> across(-60.0f, 60.0f), ahead(2.0f, 120.0f), height(-5.0f, 5.0f);
        std::vector<Matrix4x4> nodes;
        for (u32 i = 0; i < object_count + unshadowed_lights + shadowed_lights; ++i)
            nodes.push_back(placed_at(across(random), ahead(random), height(random)));
        const u32 graph = s.scene.graph(nodes);
        for (u32 i = 0; i < object_count; ++i)
            s.scene.mesh(graph, i);
        for (u32 i = 0; i < unshadowed_lights; ++i)
            s.light(graph, object_count + i, light_omni, false, 8.0f);
        for (u32 i = 0; i < shadowed_lights; ++i)
            s.light(graph, object_count + unshadowed_lights + i, i % 2 ? light_spot : light_omni, true, 12.0f);
        s.scene.frame();
        // What an engine device does with a frame: the entries sorted in filing order, not
        // kept, not decoded, equal keys not shuffled (a check of the tests only).
        s.scene.device.set_keep_frames(false);
        s.scene.device.set_shuffle_equal_keys(0);
    }
};

Lighting *g_pool = nullptr;
Lighting *g_one = nullptr;


const char *const worker_thread_name = "thread pool wor"; // "thread pool worker", cut to 15

void frame(benchmark::State &state, Lighting &lighting)
{
    u32 lights = 0, contexts = 0;
    u64 frames = 0;
    const double render_before = bench::this_thread_cpu_ms();
    const double workers_before = bench::threads_cpu_ms(worker_thread_name);
    for (auto _ : state) {
        const RenderWorldStats stats = lighting.scene->render();
        lights = stats.visible_lights;
        contexts = stats.contexts;
        benchmark::DoNotOptimize(stats);
        lighting.scene->scene.device.clear_frames(); // the recording device keeps every frame's entries
        ++frames;
    }
    state.counters["visible_lights"] = lights;
    state.counters["contexts"] = contexts;
    if (frames > 0) {
        state.counters["render_ms"] = (bench::this_thread_cpu_ms() - render_before) / double(frames);
        state.counters["workers_ms"] = (bench::threads_cpu_ms(worker_thread_name) - workers_before) / double(frames);
    }
}

void lighting_on_pool(benchmark::State &state) { frame(state, *g_pool); }
void lighting_one_thread(benchmark::State &state) { frame(state, *g_one); }

} // namespace

BENCHMARK(lighting_on_pool)->Name("lighting/pool")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(lighting_one_thread)->Name("lighting/one_thread")->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv)
{
    tallow::bench::BenchProgram program(argc, argv);
    {
        Lighting pool(pool_workers), one(0);
        g_pool = &pool;
        g_one = &one;
        printf("deferred lighting: pool of %u workers and the rendering thread against no pool; %u processors\n",
               pool.scene->scene.pool ? pool.scene->scene.pool->worker_count() : 0u,
               std::thread::hardware_concurrency());
        const tallow::bench::RatioReporter &runs = program.run();
        const tallow::bench::TimeRatio ratios[] = {
            {"one thread / pool of 8 workers (above 1: the pool is faster; goal: at least 2)", "lighting/one_thread",
             "lighting/pool"},
        };
        tallow::bench::print_time_ratios(runs, "deferred lighting, 272 lights over 3,000 objects: time ratio", ratios);
        g_pool = g_one = nullptr;
    }
    return 0;
}
