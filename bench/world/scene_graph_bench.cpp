// update_world_transforms on 100-node graphs (ten roots, each with a chain of nine nodes)
// against the obvious alternative: recomputing every node of every graph without masks.
// Two cases for the masked update: one root changed per graph, and every root changed.
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "world/units/scene_graph.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

using namespace tallow;

namespace {

constexpr u32 graph_count = 1000, nodes = 100, roots = 10;

Matrix4x4 pose(u32 i)
{
    f32 c = std::cos(0.1f * f32(i)), s = std::sin(0.1f * f32(i));
    return {{{c, s, 0, 0}, {-s, c, 0, 0}, {0, 0, 1, 0}, {f32(i % 7), 1, f32(i % 3), 1}}};
}

struct Graphs {
    Graphs()
    {
        for (u32 g = 0; g < graph_count; ++g) {
            auto graph = std::make_unique<SceneGraph>(default_allocator(), nodes);
            for (u32 i = 0; i < nodes; ++i) {
                // Node r * 10 is a root; the nine after it hang below it in a chain.
                if (i % (nodes / roots) != 0)
                    (void)graph->set_parent(i, i - 1);
                graph->set_local_pose(i, pose(i + g));
            }
            graph->update_world();
            graphs.push_back(std::move(graph));
        }
    }
    std::vector<std::unique_ptr<SceneGraph>> graphs;
};

void masked(benchmark::State &state, u32 changed_roots)
{
    Graphs g;
    NodeChangeMask mask;
    for (auto _ : state) {
        for (auto &graph : g.graphs) {
            for (u32 r = 0; r < changed_roots; ++r)
                graph->mark_changed(r * (nodes / roots));
            update_world_transforms(*graph, &mask);
        }
        benchmark::DoNotOptimize(mask);
    }
    state.SetItemsProcessed(state.iterations() * graph_count);
}

void one_root_changed(benchmark::State &state) { masked(state, 1); }
void all_roots_changed(benchmark::State &state) { masked(state, roots); }

void full_recompute(benchmark::State &state)
{
    Graphs g;
    for (auto _ : state) {
        for (auto &graph : g.graphs) {
            const Matrix4x4 *local = graph->local_matrices();
            Matrix4x4 *world = const_cast<Matrix4x4 *>(graph->world_matrices());
            for (u32 i = 0; i < nodes; ++i) {
                u32 parent = graph->parent(i);
                world[i] = parent == scene_graph_root ? local[i] : local[i] * world[parent];
            }
        }
        benchmark::DoNotOptimize(g.graphs.front()->world_pose(nodes - 1));
    }
    state.SetItemsProcessed(state.iterations() * graph_count);
}

BENCHMARK(one_root_changed)->Name("update/one_root_changed")->Unit(benchmark::kMicrosecond);
BENCHMARK(all_roots_changed)->Name("update/all_roots_changed")->Unit(benchmark::kMicrosecond);
BENCHMARK(full_recompute)->Name("update/full_recompute")->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    tallow::bench::BenchProgram program(argc, argv);
    const tallow::bench::RatioReporter &runs = program.run();
    const tallow::bench::TimeRatio ratios[] = {
        {"one root changed", "update/one_root_changed", "update/full_recompute"},
        {"every root changed", "update/all_roots_changed", "update/full_recompute"}};
    tallow::bench::print_time_ratios(runs, "update_world_transforms time / full recompute (below 1: masks pay off)",
                                     ratios);
    return 0;
}
