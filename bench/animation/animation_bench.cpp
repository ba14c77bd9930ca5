// 2000 playbacks of a 60-track animation, advanced and sampled once a frame: the
// AnimationPlayer (kernel job on a pool of 4 workers) against a single-threaded loop that
// decodes the same key frames straight from the bytes (no pool, no job, no lock).
#include "animation/animation_player.h"
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "tests/support/writers/animation_writer.h"

#include <cmath>
#include <cstdio>
#include <vector>

using namespace tallow;

namespace {

constexpr u32 playbacks = 2000;
constexpr u32 tracks = 60;
constexpr f32 frame_dt = 1.0f / 60.0f;

std::vector<u8> animation_bytes()
{
    test::AnimationSource s;
    s.format = 1;
    s.length = 2;
    for (u32 f = 0; f <= 60; ++f) {
        test::AnimationFrame frame;
        frame.time = f32(f) / 30.0f;
        for (u32 k = 0; k < tracks; ++k) {
            f32 a = 0.05f * f32(f + k);
            frame.tracks.push_back({{std::sin(a), 0.1f * f32(k), std::cos(a)}, {0, std::sin(a / 2), 0, std::cos(a / 2)}});
        }
        s.frames.push_back(frame);
    }
    s.keys = {{0.5f, 1}, {1.5f, 2}};
    return s.frames.empty() ? std::vector<u8>() : test::write_animation(s);
}

void BM_PlayerOnPool(benchmark::State &state)
{
    std::vector<u8> bytes = animation_bytes();
    AnimationView view;
    if (!read_animation(bytes.data(), bytes.size(), view)) {
        state.SkipWithError("animation not read");
        return;
    }
    ThreadRegistry registry(default_allocator(), "main");
    ThreadPool pool(default_allocator(), 4, registry);
    AnimationPlayer player(default_allocator(), &pool);
    std::vector<u32> handles;
    for (u32 i = 0; i < playbacks; ++i) {
        handles.push_back(player.play(&view, true));
        player.set_time(handles.back(), 0.001f * f32(i));
    }
    u32 ids[max_animation_events];
    for (auto _ : state) {
        for (u32 h : handles)
            player.add_pending_time(h, frame_dt);
        player.update();
        for (u32 h : handles)
            (void)player.take_events(h, ids);
    }
    for (u32 h : handles)
        player.stop(h);
}

void BM_PlainLoop(benchmark::State &state)
{
    std::vector<u8> bytes = animation_bytes();
    AnimationView view;
    if (!read_animation(bytes.data(), bytes.size(), view)) {
        state.SkipWithError("animation not read");
        return;
    }
    std::vector<f32> times(playbacks);
    std::vector<u32> hints(playbacks, 0);
    for (u32 i = 0; i < playbacks; ++i)
        times[i] = 0.001f * f32(i);
    std::vector<Quaternion> rotations(u64(playbacks) * tracks);
    std::vector<Vector3> translations(u64(playbacks) * tracks);
    for (auto _ : state) {
        for (u32 i = 0; i < playbacks; ++i) {
            f32 t = times[i] + frame_dt;
            t -= std::floor(t / view.length) * view.length;
            times[i] = t;
            sample_animation(view, t, &rotations[u64(i) * tracks], &translations[u64(i) * tracks], &hints[i]);
        }
        benchmark::DoNotOptimize(rotations.data());
    }
}

} // namespace

BENCHMARK(BM_PlayerOnPool)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PlainLoop)->Unit(benchmark::kMicrosecond)->UseRealTime();

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    const bench::RatioReporter &runs = program.run();
    const bench::TimeRatio ratios[] = {
        {"2000 playbacks x 60 tracks, one frame", "BM_PlayerOnPool", "BM_PlainLoop"},
    };
    bench::print_time_ratios(runs, "player on the pool / plain single-threaded loop (below 1: the player is faster)",
                             ratios);
    return 0;
}
