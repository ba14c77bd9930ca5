// Frustum culling of 100k render records with the engine's "job_vfc_oobb" kernel: on the
// thread pool, the same kernel on one thread, and the obvious outside alternative, a plain
// loop testing each box's eight world corners against the six planes.
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "render/math/camera_math.h"
#include "render/world/frustum_culling.h"
#include "render/world/render_camera.h"

#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace tallow;

constexpr u32 record_count = 100000;

struct Scene {
    std::vector<RenderRecord> in{record_count};
    std::vector<RenderRecord> out{record_count};
    Matrix4x4 view_projection;
    ThreadRegistry registry{default_allocator(), "main"};
    std::unique_ptr<ThreadPool> pool;
    u32 kernel = register_cull_kernel();
    u32 workers = 0;

    Scene()
    {
        // Boxes turned and scattered around the camera, about a third of them in view.
        std::mt19937 random(7);
        std::uniform_real_distribution<f32> spread(-200.0f, 200.0f), angle(0.0f, 6.2831853f), size(0.2f, 3.0f);
        for (u32 i = 0; i < record_count; ++i) {
            RenderRecord &r = in[i];
            r = {};
            const f32 a = angle(random) * 0.5f;
            r.world = matrix4x4_from_quaternion({0, 0, std::sin(a), std::cos(a)}, {spread(random), spread(random), spread(random) * 0.1f});
            const f32 s = size(random);
            for (int k = 0; k < 3; ++k) {
                r.box_min[k] = -s;
                r.box_max[k] = s;
            }
            r.class_id = 2;
            r.slot = i;
            r.kind = render_record_culled;
        }
        RenderCamera camera(CameraBlock{}, 0xFFFFFFFFu, no_scene_node);
        camera.compute_frustum(1920, 1080, -1.0f);
        view_projection = camera.view_projection();
        const u32 threads = std::max(2u, std::thread::hardware_concurrency());
        workers = threads - 1;
        pool = std::make_unique<ThreadPool>(default_allocator(), workers, registry);
        pool->add_worker(current_thread_id());
        pool->set_wait_without_helping(false);
    }
};

Scene *g_scene = nullptr;

void cull_on_pool(benchmark::State &state)
{
    Scene &s = *g_scene;
    for (auto _ : state) {
        JobId id = cull_objects(s.out.data(), s.in.data(), record_count, &s.view_projection, *s.pool, s.kernel);
        s.pool->wait(id);
        s.pool->job_done(id);
        benchmark::DoNotOptimize(s.out.data());
    }
    state.SetItemsProcessed(state.iterations() * record_count);
    state.counters["threads"] = s.workers + 1;
}

void cull_one_thread(benchmark::State &state)
{
    Scene &s = *g_scene;
    for (auto _ : state) {
        // The kernel's own batches, one after another on this thread.
        for (u32 first = 0; first < record_count; first += cull_batch_records) {
            const u32 n = std::min(cull_batch_records, record_count - first);
            cull_records(s.out.data() + first, s.in.data() + first, n, s.view_projection);
        }
        benchmark::DoNotOptimize(s.out.data());
    }
    state.SetItemsProcessed(state.iterations() * record_count);
}

void cull_plain_loop(benchmark::State &state)
{
    Scene &s = *g_scene;
    const FrustumPlanes planes = frustum_planes(s.view_projection);
    for (auto _ : state) {
        for (u32 i = 0; i < record_count; ++i) {
            const RenderRecord &r = s.in[i];
            bool inside = true;
            for (const FrustumPlane &p : planes.planes) {
                bool any = false;
                for (u32 c = 0; c < 8 && !any; ++c) {
                    const Vector3 local = {(c & 1) ? r.box_max[0] : r.box_min[0], (c & 2) ? r.box_max[1] : r.box_min[1],
                                           (c & 4) ? r.box_max[2] : r.box_min[2]};
                    const Vector3 w = transform_point(r.world, local);
                    any = p.a * w.x + p.b * w.y + p.c * w.z >= p.d;
                }
                if (!any) {
                    inside = false;
                    break;
                }
            }
            s.out[i] = r;
            s.out[i].kind = inside ? r.kind | render_record_in_frustum : r.kind & ~render_record_in_frustum;
        }
        benchmark::DoNotOptimize(s.out.data());
    }
    state.SetItemsProcessed(state.iterations() * record_count);
}

} // namespace

BENCHMARK(cull_on_pool)->Name("cull/pool")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(cull_one_thread)->Name("cull/one_thread")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(cull_plain_loop)->Name("cull/plain_loop")->Unit(benchmark::kMicrosecond)->UseRealTime();

int main(int argc, char **argv)
{
    tallow::bench::BenchProgram program(argc, argv);
    {
        Scene scene;
        g_scene = &scene;
        const tallow::bench::RatioReporter &runs = program.run();
        const tallow::bench::TimeRatio ratios[] = {
            {"one thread / pool (speed-up on the pool, goal 4 on 8 cores)", "cull/one_thread", "cull/pool"},
            {"plain loop / one thread (the kernel's gain per thread)", "cull/plain_loop", "cull/one_thread"},
            {"plain loop / pool", "cull/plain_loop", "cull/pool"},
        };
        tallow::bench::print_time_ratios(runs, "culling 100k records: time ratios (above 1: the second is faster)", ratios);
        g_scene = nullptr;
    }
    return 0;
}
