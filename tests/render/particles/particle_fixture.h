#pragma once
// Shared pieces of the particle tests and benchmark: a typical effect (continuous emission,
// bursts, noise, gravity, ground, trail and grid ops, a coloured billboard emitter) and a
// read helper.

#include "foundation/memory/memory_globals.h"
#include "render/particles/particle_effect_resource.h"
#include "tests/support/writers/particle_effect_writer.h"

#include <memory>

namespace tallow::test {

// Channels of the typical system.
enum TypicalChannel : u32 { age = 0, lifetime, position, velocity, size, frame, bounces, previous };

inline ParticleSystemSource typical_system(u32 capacity, u32 target = 0)
{
    ParticleSystemSource s;
    s.capacity = capacity;
    s.channels = {4, 4, 16, 16, 4, 4, 4, 16};
    const u32 A = s.at(age), L = s.at(lifetime), P = s.at(position), V = s.at(velocity), S = s.at(size),
              F = s.at(frame), B = s.at(bounces), Q = s.at(previous);
    s.spawn = {particle_op(0, {A, 4}),
               particle_op(1, {L, bits(0.5f), bits(1.5f)}),
               particle_op(3, {P, bits(0.0f), bits(0.5f)}),
               particle_op(2, {V, bits(1), bits(3), bits(0), bits(0.6f), bits(0), bits(0), bits(1)}),
               particle_op(5, {S, 1, 4}),
               particle_op(7, {Q, P, 16})};
    std::vector<u32> rate{bits(200)};
    for (u32 w : particle_curve({{0, 1}, {1, 0.5f}}))
        rate.push_back(w);
    rate.push_back(target);
    std::vector<u32> bursts;
    for (u32 i = 0; i < 10; ++i) {
        bursts.push_back(bits(0.05f + 0.1f * f32(i)));
        bursts.push_back(i < 3 ? 8 : 0);
    }
    bursts.push_back(target);
    std::vector<u32> noise{V, A, L, bits(2), bits(0.5f), bits(0.25f), bits(0.1f), bits(0.05f),
                           bits(1), bits(2), bits(4), bits(8), bits(0.3f), bits(0), bits(0), bits(0.5f)};
    for (u32 w : particle_curve({{0, 1}, {1, 0}}))
        noise.push_back(w);
    s.simulate = {particle_op(11, rate),
                  particle_op(12, bursts),
                  particle_op(0, {A, L}),
                  particle_op(3, {V, bits(0), bits(0), bits(-9.82f)}),
                  particle_op(9, noise),
                  particle_op(1, {P, V}),
                  particle_op(6, {P, V, bits(-0.5f), bits(0.5f), bits(0.1f)}),
                  particle_op(4, {F, 0, 7, 1, bits(12)}),
                  particle_op(13, {P, V, B, bits(0.3f), bits(0.1f), bits(0.05f), bits(8), 5, bits(3)}),
                  particle_op(15, {P, Q})};
    ParticleEmitterSource e;
    e.material = 0x1234;
    e.flags = 1; // sorted
    e.stride = 24;
    e.elements = {{0, 2, 0}, {4, 0, 0}, {5, 4, 0}, {4, 0, 1}}; // position, size, colour, frame
    std::vector<u32> colour{A, L};
    for (u32 w : particle_curve({{0, 0}, {0.2f, 1}, {1, 0}}))
        colour.push_back(w);
    for (u32 w : particle_curve3({{0, 255, 200, 50}, {1, 80, 80, 80}}))
        colour.push_back(w);
    colour.push_back(16);
    colour.push_back(0);
    colour.push_back(0);
    e.output = {particle_op(0, {P, 0}), particle_op(5, {S, 12}), particle_op(4, colour), particle_op(7, {F, 20})};
    s.emitters.push_back(e);
    return s;
}

inline ParticleEffectSource typical_effect(u32 capacity = 256, f32 duration = 5)
{
    ParticleEffectSource e;
    e.duration = duration;
    e.systems.push_back(typical_system(capacity));
    return e;
}

struct EffectDeleter {
    void operator()(ParticleEffectResource *e) const { destroy_particle_effect(e); }
};
using EffectPtr = std::unique_ptr<ParticleEffectResource, EffectDeleter>;

inline EffectPtr read_effect(const std::vector<u8> &bytes, const char **reason = nullptr)
{
    return EffectPtr(read_particle_effect(bytes.data(), bytes.size(), default_allocator(), reason));
}

} // namespace tallow::test
