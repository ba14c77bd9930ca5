// Particle data and operators: curves, random numbers, the reader's checks, every operator's
// cursor discipline, and the guarded cases (spacing, frames, colours, grids, removal).
#include "render/particles/particle_effect.h"
#include "render/particles/particle_ops.h"
#include "tests/render/particles/particle_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace tallow {
namespace {

using namespace test;

TEST(ParticleCurve, EvaluatesKeysEdgesAndEqualTimes)
{
    std::vector<u32> words = particle_curve({{0.2f, 1}, {0.4f, 3}, {0.4f, 7}, {0.8f, 5}});
    const f32 *curve = reinterpret_cast<const f32 *>(words.data());
    struct Case {
        const char *name;
        f32 t, expected;
    };
    const Case cases[] = {{"before the first key", 0.0f, 1},  {"on the first key", 0.2f, 1},
                          {"mid segment", 0.3f, 2},          {"on two equal times", 0.4f, 3},
                          {"after equal times", 0.6f, 6},    {"past the last key", 2.0f, 5},
                          {"on the last key", 0.8f, 5}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FLOAT_EQ(evaluate_particle_curve(curve, c.t), c.expected);
    }
    std::vector<u32> v = particle_curve3({{0, 0, 10, 20}, {1, 10, 20, 30}});
    Vector3 mid = evaluate_particle_curve3(reinterpret_cast<const f32 *>(v.data()), 0.5f);
    EXPECT_FLOAT_EQ(mid.x, 5);
    EXPECT_FLOAT_EQ(mid.z, 25);
}

TEST(ParticleRandom, DrawsStayInsideTheirRangesEvenForSeedsNearTheTop)
{
    // Seeds whose next value lands within 256 of 2^32: a float of seed x 2^-32 rounds to 1.
    for (u32 s = 0xFFFFFF00u; s != 0; ++s) {
        u32 seed = (s - 1013904223u) * 4276115653u; // the LCG's inverse step
        u32 copy = seed;
        EXPECT_EQ(particle_next_seed(copy), s);
        copy = seed;
        ASSERT_LT(particle_random(copy), 1.0f);
        copy = seed;
        ASSERT_LE(particle_random_int(copy, 3, 7), 7);
        copy = seed;
        ASSERT_LE(particle_random_int(copy, -2000000000, 2000000000), 2000000000);
    }
    for (u32 a = 0; a < 1000; ++a) {
        Vector3 h = particle_hash_vector(a * 2654435761u, ~a);
        ASSERT_TRUE(h.x >= -1 && h.x < 1 && h.y >= -1 && h.y < 1);
    }
}

// A system with every operator of every interpreter, plus an unknown opcode in each stream.
ParticleEffectSource every_operator_effect()
{
    ParticleSystemSource s;
    s.capacity = 32;
    s.channels = {4, 4, 16, 16, 16, 4, 4, 16};
    const u32 A = s.at(0), L = s.at(1), P = s.at(2), V = s.at(3), W = s.at(4), F = s.at(5), G = s.at(6),
              Q = s.at(7);
    const std::vector<u32> curve = particle_curve({{0, 1}, {1, 0}});
    auto with_curve = [&](std::vector<u32> head, std::vector<u32> tail) {
        head.insert(head.end(), curve.begin(), curve.end());
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const std::vector<u32> box{bits(-1), bits(-1), bits(-1), bits(1), bits(1), bits(1)};
    auto boxed = [&](std::vector<u32> head) {
        head.insert(head.end(), box.begin(), box.end());
        return head;
    };
    s.spawn = {particle_op(0, {A, 4}),      particle_op(1, {L, bits(1), bits(2)}),
               particle_op(2, {V, bits(1), bits(2), 0, bits(1), 0, 0, bits(1)}),
               particle_op(3, {P, 0, bits(1)}), particle_op(4, boxed({W})), particle_op(5, {F, 0, 3}),
               particle_op(6, {W}),        particle_op(7, {Q, P, 16}), particle_op(8, boxed({W})),
               particle_op(9, boxed({W, Q})), particle_op(10, boxed({W})), particle_op(99, {})};
    std::vector<u32> noise{V, A, L, bits(1), bits(1), bits(1), bits(1), bits(1), bits(1), bits(1), bits(1), bits(1),
                           bits(0.1f), 0, 0, 0};
    noise.insert(noise.end(), curve.begin(), curve.end());
    std::vector<u32> bursts;
    for (u32 i = 0; i < 10; ++i) {
        bursts.push_back(bits(f32(i)));
        bursts.push_back(1);
    }
    bursts.push_back(0);
    s.simulate = {particle_op(0, {A, L}),
                  particle_op(1, {P, V}),
                  particle_op(2, with_curve({P, V, A, L}, {0})),
                  particle_op(3, {V, 0, 0, bits(-1)}),
                  particle_op(4, {F, 0, 3, 1, bits(5)}),
                  particle_op(5, with_curve({G, F, A, L}, {})),
                  particle_op(6, {P, V, 0, bits(0.5f), 0}),
                  particle_op(7, {P, bits(f32(G)), bits(3), 0, V, bits(1)}),
                  particle_op(8, {P, Q, bits(0.1f), 0, V, bits(1)}),
                  particle_op(9, noise),
                  particle_op(10, boxed({W})),
                  particle_op(11, with_curve({bits(10)}, {0})),
                  particle_op(12, bursts),
                  particle_op(13, {P, V, G, bits(0.5f), 0, 0, bits(4), 3, bits(2)}),
                  particle_op(14, {G, F, W, bits(1), 0, 0, bits(2)}),
                  particle_op(15, {P, Q}),
                  particle_op(16, {P, W, 0xFFFFFFFFu}),
                  particle_op(77, {})};
    ParticleEmitterSource e;
    e.stride = 64;
    e.elements = {{0, 2, 0}};
    std::vector<u32> colour{A, L};
    colour.insert(colour.end(), curve.begin(), curve.end());
    std::vector<u32> c3 = particle_curve3({{0, 1, 1, 1}});
    colour.insert(colour.end(), c3.begin(), c3.end());
    colour.insert(colour.end(), {16, 1, G});
    e.output = {particle_op(0, {P, 0}),
                particle_op(1, {bits(1), 12, 1}),
                particle_op(2, {0xFF00FF00u, 20}),
                particle_op(3, with_curve({G, A, L, 24}, {0, 2})),
                particle_op(4, colour),
                particle_op(5, {F, 32}),
                particle_op(6, {V, 36}),
                particle_op(7, {F, 40}),
                particle_op(8, {P, 16, bits(-100), bits(100), bits(1), bits(1)}),
                particle_op(10, {V, 36, 0, bits(10), bits(1), bits(2)}),
                particle_op(11, {V, 44, 0, bits(0.01f)}),
                particle_op(12, {W, 44}),
                particle_op(9, {16}),
                particle_op(55, {})};
    s.emitters.push_back(e);
    ParticleEffectSource effect;
    effect.duration = 10;
    effect.systems.push_back(s);
    return effect;
}

TEST(ParticleOps, EveryOperatorConsumesExactlyItsWordsAndStateBytes)
{
    EffectPtr effect = read_effect(write_particle_effect(every_operator_effect()));
    ASSERT_TRUE(effect);
    ParticleEffect *e = ParticleEffect::create(default_allocator(), *effect, 1, 0, matrix4x4_identity, 7);
    ASSERT_NE(e, nullptr);
    ParticleSystemInstance &s = e->system(0);
    const ParticleSystemInfo &info = *s.info;
    e->spawn(0, {}, {0, 0, 1}, 20); // every spawn op once (the spawn streams' own walk)
    ParticleDataView view = s.view();
    Array<u8> events(default_allocator());
    u32 spawn_seed = 5;
    for (u32 step = 0; step < 3; ++step) {
        SCOPED_TRACE(step);
        // Spawn: record by record.
        const u32 *cursor = info.spawn.words;
        for (u32 i = 0; i < info.spawn.op_count; ++i) {
            const u32 *before = cursor;
            run_particle_spawn_ops(cursor, view, 4 < *view.live_count ? 4 : *view.live_count, matrix4x4_identity, {},
                                   spawn_seed);
            EXPECT_EQ(cursor - before, 1 + particle_op_words(ParticleStream::Spawn, before[0])) << "spawn op " << before[0];
        }
        EXPECT_EQ(cursor, info.spawn.words + info.spawn.word_count);
        // Simulate: both cursors.
        ParticleSimulateFrame frame;
        frame.dt = 0.25f;
        frame.effect_time = 0.1f * f32(step);
        frame.pose = matrix4x4_identity;
        frame.pose.m[3][0] = f32(step); // the follow op moves
        frame.state_base = s.state();
        u32 seed = 99;
        frame.seed = &seed;
        cursor = info.simulate.words;
        u8 *state = s.state();
        for (u32 i = 0; i < info.simulate.op_count; ++i) {
            const u32 *before = cursor;
            u8 *state_before = state;
            run_particle_simulate_ops(cursor, state, view, frame, events);
            EXPECT_EQ(cursor - before, 1 + particle_op_words(ParticleStream::Simulate, before[0]))
                << "simulate op " << before[0];
            EXPECT_EQ(u64(state - state_before),
                      before[0] < particle_simulate_op_count ? particle_op_state_bytes(before[0], before + 1) : 0)
                << "simulate op " << before[0];
        }
        EXPECT_EQ(cursor, info.simulate.words + info.simulate.word_count);
        EXPECT_EQ(state, s.state() + info.state_bytes);
        // Output.
        const ParticleEmitterInfo &emitter = info.emitters[0];
        std::vector<u8> vertices(size_t(info.capacity) * emitter.stride);
        ParticleVertexOutput out{vertices.data(), *view.live_count};
        cursor = emitter.output.words;
        for (u32 i = 0; i < emitter.output.op_count; ++i) {
            const u32 *before = cursor;
            run_particle_output_ops(cursor, view, out, emitter.stride, 0.5f, matrix4x4_identity);
            EXPECT_EQ(cursor - before, 1 + particle_op_words(ParticleStream::Output, before[0])) << "output op " << before[0];
        }
        EXPECT_EQ(cursor, emitter.output.words + emitter.output.word_count);
        EXPECT_LE(out.count, *view.live_count);
    }
    ParticleEffect::destroy(e, nullptr);
}

TEST(ParticleReader, RefusesCorruptedEffects)
{
    struct Case {
        const char *name;
        void (*corrupt)(ParticleEffectSource &);
    };
    const Case cases[] = {
        {"negative duration", [](ParticleEffectSource &e) { e.duration = -1; }},
        {"NaN duration", [](ParticleEffectSource &e) { e.duration = std::nanf(""); }},
        {"no systems", [](ParticleEffectSource &e) { e.systems.clear(); }},
        {"capacity 0", [](ParticleEffectSource &e) { e.systems[0].capacity = 0; }},
        {"channel of 8 bytes", [](ParticleEffectSource &e) { e.systems[0].channels[1] = 8; }},
        {"17 channels", [](ParticleEffectSource &e) { e.systems[0].channels.resize(17, 4); }},
        {"operand between channels", [](ParticleEffectSource &e) { e.systems[0].simulate[2].operands[0] = 2; }},
        {"operand past the channels", [](ParticleEffectSource &e) { e.systems[0].simulate[2].operands[0] = 4000; }},
        {"float op on a vector channel",
         [](ParticleEffectSource &e) { e.systems[0].simulate[2].operands[0] = e.systems[0].at(position); }},
        {"vector op on a float channel", [](ParticleEffectSource &e) { e.systems[0].simulate[5].operands[0] = 0; }},
        {"spawn target past the count", [](ParticleEffectSource &e) { e.systems[0].simulate[0].operands[21] = 1; }},
        {"grid of 1 point", [](ParticleEffectSource &e) { e.systems[0].simulate[8].operands[7] = 1; }},
        {"grid of 257 points", [](ParticleEffectSource &e) { e.systems[0].simulate[8].operands[7] = 257; }},
        {"state smaller than the ops need", [](ParticleEffectSource &e) { e.systems[0].state_bytes = 100; }},
        {"frame range backwards", [](ParticleEffectSource &e) { e.systems[0].simulate[7].operands[1] = 9; }},
        {"write past the stride", [](ParticleEffectSource &e) { e.systems[0].emitters[0].output[0].operands[1] = 16; }},
        {"constant component past the stride",
         [](ParticleEffectSource &e) { e.systems[0].emitters[0].output.push_back(particle_op(1, {0, 0, 0x40000000u})); }},
        {"stride not in words", [](ParticleEffectSource &e) { e.systems[0].emitters[0].stride = 26; }},
        {"vertex elements past the stride",
         [](ParticleEffectSource &e) { e.systems[0].emitters[0].elements.push_back({1, 3, 0}); }},
        {"unknown element type", [](ParticleEffectSource &e) { e.systems[0].emitters[0].elements[0].channel_type = 11; }},
    };
    ASSERT_TRUE(read_effect(write_particle_effect(typical_effect())));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ParticleEffectSource source = typical_effect();
        c.corrupt(source);
        const char *reason = nullptr;
        EXPECT_FALSE(read_effect(write_particle_effect(source), &reason));
        EXPECT_NE(reason, nullptr);
    }
    // Every truncation, and bytes flipped at random: refused or read, never past the end
    // (the sanitizer builds check the "never").
    const std::vector<u8> good = write_particle_effect(typical_effect());
    for (size_t n = 0; n < good.size(); n += 4)
        EXPECT_FALSE(read_effect(std::vector<u8>(good.begin(), good.begin() + n))) << n;
    std::mt19937 random(31);
    for (u32 round = 0; round < 2000; ++round) {
        std::vector<u8> bytes = good;
        for (u32 k = 0; k < 1 + round % 4; ++k)
            bytes[random() % bytes.size()] = u8(random());
        EffectPtr e = read_effect(bytes);
        if (!e)
            continue;
        ParticleEffect *effect = ParticleEffect::create(default_allocator(), *e, 0, 0, matrix4x4_identity, round);
        ASSERT_NE(effect, nullptr);
        for (u32 i = 0; i < 5; ++i)
            effect->update(0.1f);
        for (u32 i = 0; i < effect->emitter_count(); ++i)
            effect->emitter(i).build_vertices(matrix4x4_identity, 0.5f);
        ParticleEffect::destroy(effect, nullptr);
    }
}

// One float channel pair (age, lifetime) and nothing else.
struct AgeSystem {
    ParticleEffectSource source;
    EffectPtr resource;
    ParticleEffect *effect = nullptr;
    explicit AgeSystem(std::vector<ParticleOpSource> simulate = {particle_op(0, {0, 4})})
    {
        ParticleSystemSource s;
        s.capacity = 8;
        s.channels = {4, 4, 16, 16};
        s.simulate = std::move(simulate);
        source.duration = 100;
        source.systems.push_back(s);
        resource = read_effect(write_particle_effect(source));
        effect = ParticleEffect::create(default_allocator(), *resource, 0, 0, matrix4x4_identity, 1);
    }
    ~AgeSystem() { ParticleEffect::destroy(effect, nullptr); }
    ParticleSystemInstance &system() { return effect->system(0); }
    f32 *floats(u32 offset) { return system().view().floats(offset); }
};

TEST(ParticleOps, AgeRemovesStrictlyOlderParticlesAndCompactsEveryChannel)
{
    AgeSystem a;
    ASSERT_TRUE(a.resource);
    a.effect->spawn(0, {}, {}, 5);
    f32 *age = a.floats(0), *life = a.floats(4), *pos = a.floats(8);
    // After the step of 0.5: ages 1.0, 2.5, 1.4, 3.5, 2.0 against lifetimes 1, 1, 2, 1, 3.
    const f32 ages[5] = {0.5f, 2, 0.9f, 3, 1.5f}, lifetimes[5] = {1, 1, 2, 1, 3};
    for (u32 i = 0; i < 5; ++i) {
        age[i] = ages[i];
        life[i] = lifetimes[i];
        pos[4 * i] = f32(i);
    }
    a.effect->update(0.5f);
    ASSERT_EQ(a.system().live_count, 3u) << "particle 0 reaches its lifetime exactly and stays";
    // Particle 1's place went to the last (4), which was then examined in its turn.
    const f32 expected_pos[3] = {0, 4, 2}, expected_age[3] = {1.0f, 2.0f, 1.4f};
    for (u32 i = 0; i < 3; ++i) {
        EXPECT_EQ(pos[4 * i], expected_pos[i]) << i;
        EXPECT_FLOAT_EQ(age[i], expected_age[i]) << i;
        EXPECT_EQ(life[i], lifetimes[u32(expected_pos[i])]) << i;
    }
}

TEST(ParticleOps, SpacingOfZeroOrNanAndHugeStepsEndTheirLoops)
{
    for (f32 spacing : {0.0f, -1.0f, std::nanf(""), 1e-30f}) {
        SCOPED_TRACE(spacing);
        AgeSystem a({particle_op(8, {8, 24, bits(spacing), 0, 24, bits(1)})});
        ASSERT_TRUE(a.resource);
        a.effect->spawn(0, {}, {}, 2);
        a.floats(8)[0] = 1000.0f; // far from its last emission point
        a.effect->update(0.1f);
        EXPECT_LE(a.system().live_count, a.system().info->capacity);
        EXPECT_EQ(a.floats(24)[0], 1000.0f) << "the last emission point catches up";
    }
}

TEST(ParticleOps, NegativeFramesHugeAlphaAndNanColoursStayDefined)
{
    AgeSystem a({particle_op(4, {0, 2, 5, 1, bits(-100)})});
    ASSERT_TRUE(a.resource);
    a.effect->spawn(0, {}, {}, 1);
    a.floats(0)[0] = -50.0f;
    a.effect->update(1.0f);
    EXPECT_EQ(a.floats(0)[0], -150.0f) << "a negative frame is not past the last";
    a.floats(0)[0] = 6.5f;
    a.effect->update(0.0f);
    EXPECT_FLOAT_EQ(a.floats(0)[0], 2.5f) << "past the last frame it loops by the range";

    // Colour op with alpha 4 and colour 900 / NaN: clamped per byte.
    ParticleSystemSource s;
    s.capacity = 4;
    s.channels = {4, 4};
    std::vector<u32> op{0, 4};
    for (u32 w : particle_curve({{0, 4}}))
        op.push_back(w);
    for (u32 w : particle_curve3({{0, 900, std::nanf(""), -5}}))
        op.push_back(w);
    op.insert(op.end(), {0, 0, 0});
    ParticleEmitterSource e;
    e.stride = 4;
    e.output = {particle_op(4, op)};
    s.emitters.push_back(e);
    ParticleEffectSource source;
    source.systems.push_back(s);
    EffectPtr r = read_effect(write_particle_effect(source));
    ASSERT_TRUE(r);
    ParticleEffect *effect = ParticleEffect::create(default_allocator(), *r, 0, 0, matrix4x4_identity, 1);
    effect->spawn(0, {}, {}, 1);
    effect->emitter(0).build_vertices(matrix4x4_identity, 0);
    u32 word;
    memcpy(&word, effect->emitter(0).vertices(), 4);
    EXPECT_EQ(word, 0xFFFF0000u);
    ParticleEffect::destroy(effect, nullptr);
}

TEST(ParticleOps, HeightGridBelowItsOriginSamplesNothing)
{
    std::vector<u8> grid(20 + 3 * 3 * 4);
    particle_grid_init(grid.data(), 0, 0, 2, 3); // origin (-1, -1), spacing 1
    for (u32 i = 0; i < 9; ++i) {
        f32 h = 2.0f;
        memcpy(grid.data() + 20 + 4 * i, &h, 4);
    }
    Vector3 n;
    EXPECT_EQ(particle_grid_sample(grid.data(), -1.5f, 0, &n), particle_grid_nothing) << "half a cell below x";
    EXPECT_EQ(particle_grid_sample(grid.data(), 0, -1.01f, &n), particle_grid_nothing);
    EXPECT_EQ(particle_grid_sample(grid.data(), 1.0f, 0, &n), particle_grid_nothing) << "the far edge";
    EXPECT_FLOAT_EQ(particle_grid_sample(grid.data(), -0.5f, 0.25f, &n), 2.0f);
    EXPECT_FLOAT_EQ(n.z, 1.0f);
}

TEST(ParticleOps, BurstsAndContinuousEmissionSpawnTheirCounts)
{
    std::vector<u32> bursts;
    for (u32 i = 0; i < 10; ++i) {
        bursts.push_back(bits(i < 2 ? 0.15f + 0.2f * f32(i) : 100.0f));
        bursts.push_back(i == 0 ? 3 : 5);
    }
    bursts.push_back(0);
    std::vector<u32> rate{bits(10)};
    for (u32 w : particle_curve({{0, 1}}))
        rate.push_back(w);
    rate.push_back(0);
    AgeSystem bursty({particle_op(12, bursts)});
    ASSERT_TRUE(bursty.resource);
    const u32 expected_bursts[] = {0, 0, 3, 3, 8, 8};
    for (u32 step = 0; step < 6; ++step) {
        EXPECT_EQ(bursty.system().live_count, expected_bursts[step]) << step;
        bursty.effect->update(0.1f);
    }
    AgeSystem steady({particle_op(11, rate)});
    ASSERT_TRUE(steady.resource);
    for (u32 step = 0; step < 5; ++step)
        steady.effect->update(0.25f); // 2.5 per step
    EXPECT_EQ(steady.system().live_count, 8u) << "12 asked for, capacity 8";
}

TEST(ParticleOps, DroppingZeroAlphaVerticesReexaminesTheSwappedInOne)
{
    ParticleSystemSource s;
    s.capacity = 8;
    s.channels = {4};
    ParticleEmitterSource e;
    e.stride = 4;
    e.output = {particle_op(5, {0, 0}), particle_op(9, {0})};
    s.emitters.push_back(e);
    ParticleEffectSource source;
    source.systems.push_back(s);
    EffectPtr r = read_effect(write_particle_effect(source));
    ASSERT_TRUE(r);
    ParticleEffect *effect = ParticleEffect::create(default_allocator(), *r, 0, 0, matrix4x4_identity, 1);
    effect->spawn(0, {}, {}, 4);
    f32 *c = effect->system(0).view().floats(0);
    // Alpha is byte 3: 1.0f has 0x3F there, 0.0f has 0.
    const f32 values[4] = {0.0f, 1.0f, 2.0f, 0.0f};
    memcpy(c, values, sizeof values);
    effect->emitter(0).build_vertices(matrix4x4_identity, 0);
    EXPECT_EQ(effect->emitter(0).vertex_count(), 2u) << "the zero last vertex swapped into slot 0 is dropped too";
    memset(c, 0, 16);
    effect->emitter(0).build_vertices(matrix4x4_identity, 0);
    EXPECT_EQ(effect->emitter(0).vertex_count(), 0u);
    ParticleEffect::destroy(effect, nullptr);
}

TEST(ParticleEffectTest, ZeroDurationFinishesWithoutNan)
{
    ParticleEffectSource source = typical_effect(32, 0.0f);
    EffectPtr r = read_effect(write_particle_effect(source));
    ASSERT_TRUE(r);
    ParticleEffect *effect = ParticleEffect::create(default_allocator(), *r, 0, 0, matrix4x4_identity, 1);
    EXPECT_EQ(effect->effect_time(), 1.0f);
    effect->update(0.016f);
    EXPECT_TRUE(effect->is_finished());
    EXPECT_FALSE(std::isnan(effect->effect_time()));
    ParticleEffect::destroy(effect, nullptr);
}

} // namespace
} // namespace tallow
