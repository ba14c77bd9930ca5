// One frame of deferred lighting: 256 unshadowed omni lights and 16 shadowed ones (8 omni
// with six cube faces each, 8 spot) over 3,000 shadow-casting objects, drawn by the render
// world with its thread pool (culling of the view and of every shadow view as jobs) against
// the same frame on one thread.
#include "bench/support/bench_support.h"
#include "tests/render/generators/lighting_scene.h"

#include <algorithm>
#include <memory>
#include <random>
#include <thread>

namespace {

using namespace tallow;
using namespace tallow::test;

constexpr u32 object_count = 3000;
constexpr u32 unshadowed_lights = 256;
constexpr u32 shadowed_lights = 16;

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
        s.scene.device.set_keep_frames(false);
    }
};

Lighting *g_pool = nullptr;
Lighting *g_one = nullptr;

void frame(benchmark::State &state, Lighting &lighting)
{
    u32 lights = 0;
    for (auto _ : state) {
        const RenderWorldStats stats = lighting.scene->render();
        lights = stats.visible_lights;
        benchmark::DoNotOptimize(stats);
    }
    state.counters["visible_lights"] = lights;
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
        const u32 workers = std::max(2u, std::thread::hardware_concurrency()) - 1;
        Lighting pool(workers), one(0);
        g_pool = &pool;
        g_one = &one;
        const tallow::bench::RatioReporter &runs = program.run();
        const tallow::bench::TimeRatio ratios[] = {
            {"one thread / pool (above 1: the pool is faster)", "lighting/one_thread", "lighting/pool"},
        };
        tallow::bench::print_time_ratios(runs, "deferred lighting, 272 lights over 3,000 objects: time ratio", ratios);
        g_pool = g_one = nullptr;
    }
    return 0;
}
