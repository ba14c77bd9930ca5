// 100k particles through a typical operator stream (age, Euler step, gravity, noise force,
// colour output) against a hand-written structure-of-arrays loop doing the same maths; and
// 1000 effects of about 100 particles updated on the thread pool against one thread, then
// their vertices built for a view (sorted back to front) on the pool against one thread.
// The pool rows also show the calling thread's processor time per iteration (caller_ms):
// the render thread's share when it builds through the pool.
#include "bench/support/bench_support.h"
#include "foundation/threads/thread_pool.h"
#include "render/commands/render_context.h"
#include "foundation/threads/thread_registry.h"
#include "render/particles/particle_effect.h"
#include "render/particles/render_particle_world.h"
#include "tests/render/particles/particle_fixture.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <vector>

using namespace tallow;

namespace {

constexpr u32 system_capacity = 50000; // two systems: 100k particles

// Channels: age, lifetime, position, velocity.
ParticleSystemSource stream_system()
{
    ParticleSystemSource s;
    s.capacity = system_capacity;
    s.channels = {4, 4, 16, 16};
    const u32 A = 0, L = 4, P = 8, V = 24;
    std::vector<u32> noise{V, A, L, bits(2), bits(0.5f), bits(0.25f), bits(0.1f), bits(0.05f),
                           bits(1), bits(2), bits(4), bits(8), bits(0.3f), bits(0), bits(0), bits(0.5f)};
    for (u32 w : particle_curve({{0, 1}, {1, 0}}))
        noise.push_back(w);
    s.simulate = {particle_op(0, {A, L}), particle_op(1, {P, V}), particle_op(3, {V, 0, 0, bits(-9.82f)}),
                  particle_op(9, noise)};
    ParticleEmitterSource e;
    e.stride = 16;
    std::vector<u32> colour{A, L};
    for (u32 w : particle_curve({{0, 0}, {0.2f, 1}, {1, 0}}))
        colour.push_back(w);
    for (u32 w : particle_curve3({{0, 255, 200, 50}, {1, 80, 80, 80}}))
        colour.push_back(w);
    colour.insert(colour.end(), {12, 0, 0});
    e.output = {particle_op(0, {P, 0}), particle_op(4, colour)};
    s.emitters.push_back(e);
    return s;
}

struct StreamFixture {
    test::EffectPtr resource;
    ParticleEffect *effect = nullptr;
    StreamFixture()
    {
        ParticleEffectSource source;
        source.duration = 1e9f;
        source.systems = {stream_system(), stream_system()};
        resource = test::read_effect(write_particle_effect(source));
        effect = ParticleEffect::create(default_allocator(), *resource, 0, 0, matrix4x4_identity, 1);
        for (u32 s = 0; s < 2; ++s) {
            effect->spawn(s, {}, {}, system_capacity);
            ParticleDataView v = effect->system(s).view();
            for (u32 i = 0; i < system_capacity; ++i) {
                v.floats(4)[i] = 1e9f; // nobody dies
                v.vectors(24)[4 * i] = f32(i % 17);
            }
        }
    }
    ~StreamFixture() { ParticleEffect::destroy(effect, nullptr); }
};

void interpreter(benchmark::State &state)
{
    StreamFixture f;
    for (auto _ : state) {
        f.effect->update(1.0f / 60.0f);
        for (u32 e = 0; e < 2; ++e)
            f.effect->emitter(e).build_vertices(matrix4x4_identity, 0.5f);
        benchmark::DoNotOptimize(f.effect->emitter(1).vertices());
    }
}

// The same maths written out by hand over the same arrays.
void hand_loop(benchmark::State &state)
{
    StreamFixture f;
    std::vector<u32> noise_curve = particle_curve({{0, 1}, {1, 0}});
    std::vector<u32> alpha_words = particle_curve({{0, 0}, {0.2f, 1}, {1, 0}});
    std::vector<u32> colour_words = particle_curve3({{0, 255, 200, 50}, {1, 80, 80, 80}});
    const f32 *nc = reinterpret_cast<const f32 *>(noise_curve.data());
    const f32 *ac = reinterpret_cast<const f32 *>(alpha_words.data());
    const f32 *cc = reinterpret_cast<const f32 *>(colour_words.data());
    std::vector<u8> vertices[2] = {std::vector<u8>(system_capacity * 16), std::vector<u8>(system_capacity * 16)};
    f32 elapsed = 0;
    u32 seed = 12345;
    const f32 dt = 1.0f / 60.0f;
    const f32 amp[4] = {0.5f, 0.25f, 0.1f, 0.05f}, freq[4] = {1, 2, 4, 8};
    for (auto _ : state) {
        elapsed += dt;
        for (u32 s = 0; s < 2; ++s) {
            ParticleSystemInstance &sys = f.effect->system(s);
            ParticleDataView v = sys.view();
            f32 *age = v.floats(0), *life = v.floats(4), *p = v.vectors(8), *vel = v.vectors(24);
            for (u32 i = 0; i < sys.live_count;) {
                age[i] += dt;
                if (age[i] > life[i])
                    particle_swap_remove(v, i);
                else
                    ++i;
            }
            const u32 n = sys.live_count;
            for (u32 k = 0; k < n * 4; ++k)
                p[k] += vel[k] * dt;
            for (u32 i = 0; i < n; ++i)
                vel[4 * i + 2] += -9.82f * dt;
            Vector3 noise{};
            for (u32 k = 0; k < 4; ++k)
                noise = noise + particle_noise1(freq[k] * elapsed, k ^ seed) * amp[k];
            const Vector3 target = Vector3{0, 0, 0.5f} + noise;
            const f32 m = std::fmin(2 * dt, 1.0f);
            const u32 tick = u32(std::nearbyint(elapsed));
            for (u32 i = 0; i < n; ++i) {
                Vector3 j = particle_hash_vector(tick, i ^ seed);
                f32 factor = evaluate_particle_curve(nc, age[i] / life[i]) * m;
                f32 *vi = vel + 4 * i;
                vi[0] += (j.x * 0.3f + target.x - vi[0]) * factor;
                vi[1] += (j.y * 0.3f + target.y - vi[1]) * factor;
                vi[2] += (j.z * 0.3f + target.z - vi[2]) * factor;
                vi[3] += (0.0f - vi[3]) * factor;
            }
            u8 *out = vertices[s].data();
            for (u32 i = 0; i < n; ++i) {
                memcpy(out + 16 * i, p + 4 * i, 12);
                f32 t = age[i] / life[i];
                f32 a = evaluate_particle_curve(ac, t);
                a = a > 0 ? (a < 1 ? a : 1) : 0;
                Vector3 c = evaluate_particle_curve3(cc, t);
                auto byte = [](f32 x) { return x > 0 ? (x >= 255 ? 255u : u32(x)) : 0u; };
                u32 word = byte(std::sqrt(a) * 255) << 24 | byte(c.x) << 16 | byte(c.y) << 8 | byte(c.z);
                memcpy(out + 16 * i + 12, &word, 4);
            }
        }
        benchmark::DoNotOptimize(vertices[1].data());
    }
}

// 1000 effects of about 100 particles each.
struct ManyEffects {
    test::EffectPtr resource = test::read_effect(write_particle_effect(test::typical_effect(128, 1e9f)));
    ParticleFeedback *feedback = ParticleFeedback::create(default_allocator());
    RenderParticleWorld world;
    explicit ManyEffects(ThreadPool *pool) : world(default_allocator(), pool, nullptr, *feedback)
    {
        for (u32 i = 0; i < 1000; ++i) {
            ParticleCreateMessage m;
            m.id = i;
            m.effect = resource.get();
            m.pose = matrix4x4_identity;
            world.apply_message(u32(ParticleMessage::Create), reinterpret_cast<const u8 *>(&m), sizeof m);
        }
        for (u32 f = 0; f < 30; ++f)
            step();
    }
    ~ManyEffects() { feedback->release(); }
    void step()
    {
        world.update_from_world(1.0f / 60.0f, nullptr);
        Array<u8> drop(default_allocator());
        feedback->take(drop);
    }
};

ThreadRegistry *registry = nullptr;

double thread_seconds() { return bench::this_thread_cpu_ms() * 1e-3; }

// The caller's processor time per iteration, in milliseconds.
void count_caller_time(benchmark::State &state, double started)
{
    if (state.iterations() > 0)
        state.counters["caller_ms"] = (thread_seconds() - started) * 1e3 / double(state.iterations());
}

// One view's vertices of every effect (no shaders: nothing is drawn), the camera turning
// a little each time so the sorts have work.
void build_vertices(benchmark::State &state, ThreadPool *pool)
{
    ManyEffects m(pool);
    RenderContext context(default_allocator());
    ParticleView view;
    view.pose.m[3][1] = -20;
    u32 frame = 0;
    const double started = thread_seconds();
    for (auto _ : state) {
        view.pose.m[3][0] = f32(frame++ % 16) * 0.5f;
        m.world.render(view, context);
    }
    count_caller_time(state, started);
}

void vertices_on_pool(benchmark::State &state)
{
    ThreadPool pool(default_allocator(), 8, *registry);
    build_vertices(state, &pool);
}

void vertices_on_one_thread(benchmark::State &state) { build_vertices(state, nullptr); }

void effects_on_pool(benchmark::State &state)
{
    ThreadPool pool(default_allocator(), 8, *registry);
    ManyEffects m(&pool);
    const double started = thread_seconds();
    for (auto _ : state)
        m.step();
    count_caller_time(state, started);
}

void effects_on_one_thread(benchmark::State &state)
{
    ManyEffects m(nullptr);
    for (auto _ : state)
        m.step();
}

} // namespace

BENCHMARK(interpreter)->Name("ops/interpreter_100k")->Unit(benchmark::kMicrosecond);
BENCHMARK(hand_loop)->Name("ops/hand_loop_100k")->Unit(benchmark::kMicrosecond);
BENCHMARK(effects_on_pool)->Name("world/1000_effects_pool")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(effects_on_one_thread)->Name("world/1000_effects_one_thread")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(vertices_on_pool)->Name("world/1000_effects_vertices_pool")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(vertices_on_one_thread)
    ->Name("world/1000_effects_vertices_one_thread")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

int main(int argc, char **argv)
{
    tallow::bench::BenchProgram program(argc, argv);
    ThreadRegistry threads(default_allocator(), "main");
    registry = &threads;
    const tallow::bench::RatioReporter &runs = program.run();
    const tallow::bench::TimeRatio ops[] = {{"100k particles", "ops/interpreter_100k", "ops/hand_loop_100k"}};
    tallow::bench::print_time_ratios(runs, "operator interpreter time / hand-written loop (goal: below 2)", ops);
    const tallow::bench::TimeRatio pool[] = {
        {"1000 effects, update", "world/1000_effects_pool", "world/1000_effects_one_thread"},
        {"1000 effects, vertices", "world/1000_effects_vertices_pool", "world/1000_effects_vertices_one_thread"}};
    tallow::bench::print_time_ratios(runs, "thread pool time / one thread (below 1: the pool is faster)", pool);
    return 0;
}
