// World::update_animations for 500 units of 60 bones, each with two layers crossfading
// (layer 0 whole-body, layer 1 masked to the upper 30 bones): the world's animation service
// (state machines, the player's sampling job and the blender job on a pool of 8 members)
// against the same sampling and blending in one plain single-threaded loop over flat
// arrays (no pool, no player, no lock, no scene graph).
#include "animation/animation_blender.h"
#include "animation/animation_resources.h"
#include "animation/world_animation_service.h"
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/processor.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "tests/support/writers/animation_writer.h"
#include "tests/support/writers/unit_resource_writer.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"
#include "world/services/world_animation.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace tallow;

namespace {

constexpr u32 unit_count = 500;
constexpr u32 bones = 60;
constexpr u32 members = 8;
constexpr f32 frame_dt = 1.0f / 60.0f;
constexpr f32 long_blend = 1000.0f; // every crossfade stays in progress while measured
constexpr f32 fade = 0.3f;          // the new record's weight in the plain loop

std::vector<u8> animation_bytes(f32 phase)
{
    test::AnimationSource s;
    s.format = 1;
    s.length = 2;
    for (u32 f = 0; f <= 60; ++f) {
        test::AnimationFrame frame;
        frame.time = f32(f) / 30.0f;
        for (u32 k = 0; k < bones; ++k) {
            f32 a = phase + 0.05f * f32(f + k);
            frame.tracks.push_back({{std::sin(a), 0.1f * f32(k), std::cos(a)}, {0, std::sin(a / 2), 0, std::cos(a / 2)}});
        }
        s.frames.push_back(frame);
    }
    return test::write_animation(s);
}

struct Scenario {
    std::unique_ptr<ThreadRegistry> registry;
    std::unique_ptr<ThreadPool> pool;
    std::vector<std::vector<u8>> bytes;
    std::vector<AnimationResource *> animations; // walk, run, wave, point
    BonesResource *bone_names = nullptr;
    UnitResource *resource = nullptr;
    WorldServiceFactories factories;
    World *world = nullptr;
    std::vector<AnimationBlender *> blenders;
    f32 upper[bones];

    bool build()
    {
        registry = std::make_unique<ThreadRegistry>(default_allocator(), "main");
        pool = std::make_unique<ThreadPool>(default_allocator(), members - 1, *registry);
        pool->add_worker(current_thread_id());
        for (u32 i = 0; i < 4; ++i) {
            bytes.push_back(animation_bytes(0.7f * f32(i)));
            animations.push_back(read_animation_resource(bytes.back().data(), bytes.back().size(), default_allocator()));
            if (!animations.back())
                return false;
        }
        std::vector<std::string> names;
        test::UnitSource s;
        u32 parent = test::no_parent;
        for (u32 b = 0; b < bones; ++b) {
            names.push_back("bone" + std::to_string(b));
            parent = s.add_node(names.back().c_str(), matrix4x4_identity, b == 0 ? test::no_parent : (b < 30 ? parent : 0));
        }
        std::vector<u8> unit_bytes = test::write_unit_resource(s);
        resource = read_unit_resource(unit_bytes.data(), unit_bytes.size(), default_allocator());
        std::vector<u8> bone_bytes = test::write_bones(names);
        bone_names = read_bones(bone_bytes.data(), bone_bytes.size(), default_allocator());
        if (!resource || !bone_names)
            return false;
        for (u32 b = 0; b < bones; ++b)
            upper[b] = b >= 30 ? 1.0f : 0.0f;
        factories.animation = create_animation_service;
        WorldParams params;
        params.thread_pool = pool.get();
        params.factories = &factories;
        world = make_new<World>(default_allocator(), default_allocator(), params);
        for (u32 i = 0; i < unit_count; ++i) {
            Matrix4x4 pose = matrix4x4_identity;
            set_translation(pose, {f32(i % 25), f32(i / 25), 0});
            Unit *u = world->spawn_unit_from_resource(*resource, nullptr, pose);
            AnimationBlender *b = u ? world->animation().create_blender(u->scene_graph(), bone_names) : nullptr;
            if (!b)
                return false;
            b->crossfade(&animations[0]->view, 0, 0, true, blend_normal);
            b->crossfade(&animations[1]->view, 0, long_blend, true, blend_normal);
            b->crossfade(&animations[2]->view, 1, 0, true, blend_normal, {upper, bones});
            b->crossfade(&animations[3]->view, 1, long_blend, true, blend_normal, {upper, bones});
            blenders.push_back(b);
        }
        return true;
    }

    void destroy()
    {
        for (AnimationBlender *b : blenders)
            world->animation().destroy_blender(b);
        delete_with_allocator(default_allocator(), world);
        destroy_unit_resource(resource, default_allocator());
        delete_with_allocator(default_allocator(), bone_names);
        for (AnimationResource *a : animations)
            default_allocator().deallocate(a);
        pool.reset();
        registry.reset();
    }
};

Scenario *scenario = nullptr;

void BM_WorldAnimationUpdate(benchmark::State &state)
{
    for (auto _ : state)
        scenario->world->update_animations(frame_dt);
}

Quaternion nlerp(Quaternion a, Quaternion b, f32 t)
{
    if (dot(a, b) < 0)
        b = {-b.x, -b.y, -b.z, -b.w};
    return normalize({a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t, a.w + (b.w - a.w) * t});
}

// The same four playbacks a unit, sampled, blended by layer and mask, and turned into
// local matrices, one unit after the other.
void BM_PlainLoop(benchmark::State &state)
{
    const AnimationView *views[4];
    for (u32 i = 0; i < 4; ++i)
        views[i] = &scenario->animations[i]->view;
    std::vector<f32> times(u64(unit_count) * 4, 0.0f);
    std::vector<u32> hints(u64(unit_count) * 4, 0);
    std::vector<Matrix4x4> locals(u64(unit_count) * bones);
    Quaternion rotations[4][bones], out_rotations[bones];
    Vector3 translations[4][bones], out_translations[bones];
    f32 accumulated[bones], remaining[bones], layer_sum[bones];
    const f32 *upper = scenario->upper;
    // Record r: layer (r / 2: 0 layer 1, 1 layer 0), old (even) or new (odd) record.
    const u32 order[4] = {2, 3, 0, 1};
    const f32 weight[4] = {1 - fade, fade, 1 - fade, fade};
    for (auto _ : state) {
        for (u32 u = 0; u < unit_count; ++u) {
            for (u32 r = 0; r < 4; ++r) {
                u64 k = u64(u) * 4 + r;
                f32 t = times[k] + frame_dt;
                t -= std::floor(t / views[r]->length) * views[r]->length;
                times[k] = t;
                sample_animation(*views[r], t, rotations[r], translations[r], &hints[k]);
            }
            for (u32 b = 0; b < bones; ++b) {
                accumulated[b] = 0;
                remaining[b] = 1;
            }
            for (u32 layer = 0; layer < 2; ++layer) {
                for (u32 b = 0; b < bones; ++b)
                    layer_sum[b] = 0;
                for (u32 j = 0; j < 2; ++j) {
                    u32 r = order[layer * 2 + j];
                    for (u32 b = 0; b < bones; ++b) {
                        f32 w = remaining[b] * (layer == 0 ? upper[b] : 1.0f) * weight[r];
                        if (!(w > 0))
                            continue;
                        if (accumulated[b] == 0) {
                            out_rotations[b] = rotations[r][b];
                            out_translations[b] = translations[r][b];
                        } else {
                            f32 s = w / (accumulated[b] + w);
                            out_translations[b] = out_translations[b] * (1 - s) + translations[r][b] * s;
                            out_rotations[b] = nlerp(out_rotations[b], rotations[r][b], s);
                        }
                        accumulated[b] += w;
                        layer_sum[b] += w;
                    }
                }
                for (u32 b = 0; b < bones; ++b)
                    remaining[b] -= layer_sum[b];
            }
            for (u32 b = 1; b < bones; ++b)
                locals[u64(u) * bones + b] = bone_matrix(out_rotations[b], out_translations[b]);
        }
        benchmark::DoNotOptimize(locals.data());
    }
}

BENCHMARK(BM_WorldAnimationUpdate)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PlainLoop)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    Scenario s;
    if (!s.build()) {
        std::fprintf(stderr, "world_animation_bench: the scenario could not be built\n");
        return 1;
    }
    scenario = &s;
    std::printf("world animation: %u units of %u bones, two layers crossfading each; %u pool members on %u "
                "processors\n",
                unit_count, bones, s.pool->member_count(), ProcessorInfo::processor_count());
    const bench::RatioReporter &runs = program.run();
    const bench::TimeRatio ratios[] = {{"500 units x 60 bones, one frame", "BM_WorldAnimationUpdate", "BM_PlainLoop"}};
    bench::print_time_ratios(runs,
                             "World::update_animations on the pool / plain single-threaded loop (goal: at most 0.3 "
                             "on 8 cores)",
                             ratios);
    s.destroy();
    return 0;
}
