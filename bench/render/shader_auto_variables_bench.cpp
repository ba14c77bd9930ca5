// Per-object auto variables for a frame of 10k draws: ShaderContext::set_matrices over a
// shader holding "world", "inv_world", "world_view", "view_proj" and "world_view_proj",
// against the same arithmetic written out in a plain loop into plain blocks.
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "render/shaders/shader_library_loader.h"
#include "render/shaders/shader_manager.h"
#include "tests/support/writers/shader_library_writer.h"
#include "tests/support/fakes/null_render_device.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

using namespace tallow;

namespace {

constexpr u32 draw_count = 10000;

Matrix4x4 object_world(u32 i)
{
    Matrix4x4 m = matrix4x4_identity;
    const f32 a = f32(i) * 0.01f;
    m.m[0][0] = std::cos(a), m.m[0][1] = std::sin(a);
    m.m[1][0] = -std::sin(a), m.m[1][1] = std::cos(a);
    set_translation(m, {f32(i % 100), f32(i / 100), 1});
    return m;
}

struct Scene {
    Allocator &a = default_allocator();
    NullRenderDevice device{a};
    ShaderManager shaders{device, a};
    ShaderLibrary *library = nullptr;
    std::vector<ShaderContext *> contexts;
    std::vector<Matrix4x4> worlds;
    Matrix4x4 view = matrix4x4_identity, projection = matrix4x4_identity;

    Scene()
    {
        test::ShaderLibrarySource source;
        source.shaders.push_back(test::build_shader({"mesh",
                                                     {{"world", ShaderValueType::Matrix4x4},
                                                      {"inv_world", ShaderValueType::Matrix4x4},
                                                      {"world_view", ShaderValueType::Matrix4x4},
                                                      {"view_proj", ShaderValueType::Matrix4x4},
                                                      {"world_view_proj", ShaderValueType::Matrix4x4},
                                                      {"tint", ShaderValueType::Vector3}},
                                                     {},
                                                     {{"", "v", "p"}}}));
        source.templates.push_back({NameId32("mesh").value(), {{NameId32("default").value(), {{NameId32("mesh").value(), {}}}}}});
        const std::vector<u8> bytes = test::write_shader_library(source);
        library = read_shader_library(bytes.data(), bytes.size(), a);
        resolve_passes(*library, nullptr);
        shaders.add_shader_library(*library);
        shaders.update_templates(*library);
        for (u32 i = 0; i < draw_count; ++i) {
            contexts.push_back(make_new<ShaderContext>(a, a));
            shaders.find_template(NameId32("mesh").value(), *contexts.back());
            worlds.push_back(object_world(i));
        }
        set_translation(view, {0, -10, -2});
        projection.m[2][1] = 1.5f;
        projection.m[0][0] = 0.8f;
        projection.m[1][2] = 1.0f;
        projection.m[1][3] = 1.0f;
        projection.m[3][2] = -0.1f;
        projection.m[3][3] = 0.0f;
    }
    ~Scene()
    {
        for (ShaderContext *c : contexts)
            delete_with_allocator(a, c);
        shaders.remove_shader_library(*library);
        destroy_shader_library(library);
    }
};

Scene *scene = nullptr;

void auto_variables(benchmark::State &state)
{
    for (auto _ : state) {
        for (u32 i = 0; i < draw_count; ++i)
            scene->contexts[i]->set_matrices(scene->worlds[i], scene->view, scene->projection, nullptr);
        benchmark::DoNotOptimize(scene->contexts[draw_count - 1]->block(0));
    }
    state.SetItemsProcessed(state.iterations() * draw_count);
}

// The same products, inverse and transposed writes, at the same offsets, with nothing
// looked up: what a hand-written renderer would do.
void plain_loop(benchmark::State &state)
{
    const u32 size = scene->contexts[0]->block_size(0);
    std::vector<u8> blocks(size_t(size) * draw_count);
    for (auto _ : state) {
        for (u32 i = 0; i < draw_count; ++i) {
            u8 *block = blocks.data() + size_t(i) * size;
            const Matrix4x4 &world = scene->worlds[i];
            const Matrix4x4 view_proj = scene->view * scene->projection;
            write_transposed(world, block);
            write_transposed(rigid_inverse(world), block + 64);
            write_transposed(world * scene->view, block + 128);
            write_transposed(view_proj, block + 192);
            write_transposed(world * view_proj, block + 256);
        }
        benchmark::DoNotOptimize(blocks.data());
    }
    state.SetItemsProcessed(state.iterations() * draw_count);
}

BENCHMARK(auto_variables)->Name("auto/set_matrices")->Unit(benchmark::kMicrosecond);
BENCHMARK(plain_loop)->Name("auto/plain_loop")->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    tallow::bench::BenchProgram program(argc, argv);
    scene = make_new<Scene>(default_allocator());
    const tallow::bench::RatioReporter &runs = program.run();
    const tallow::bench::TimeRatio ratios[] = {{"10k draws", "auto/set_matrices", "auto/plain_loop"}};
    tallow::bench::print_time_ratios(runs, "set_matrices time / plain loop time (below 1: ours is faster)", ratios);
    delete_with_allocator(default_allocator(), scene);
    return 0;
}
