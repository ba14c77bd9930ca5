#pragma once
// Writes "particles" resources (render/particles/particle_effect_resource.h) from readable
// values: systems with their channels, operator records built by opcode, and billboard
// emitters. Shared by the tests, the particle compiler (tools/render/particle_compiler.h), the fuzz
// target and the benchmark.
//
//   ParticleEffectSource e;  e.duration = 2;
//   ParticleSystemSource &s = e.systems.emplace_back();
//   s.capacity = 64;  s.channels = {4, 4, 16, 16};         // age, lifetime, position, velocity
//   s.spawn.push_back(particle_op(1, {s.at(0), bits(0.0f), bits(1.0f)}));
//   std::vector<u8> bytes = write_particle_effect(e);

#include "foundation/math/matrix4x4.h"
#include "foundation/types.h"

#include <array>
#include <cstring>
#include <vector>

namespace tallow {

/// A float as its operand word.
inline u32 bits(f32 f)
{
    u32 w;
    memcpy(&w, &f, 4);
    return w;
}

/// One operator record: the opcode and its operand words (not checked here: tests write
/// broken records on purpose).
struct ParticleOpSource {
    u32 opcode = 0;
    std::vector<u32> operands;
};
inline ParticleOpSource particle_op(u32 opcode, std::vector<u32> operands) { return {opcode, std::move(operands)}; }

/// A scalar curve's 20 words from up to 10 (time, value) keys; the last key repeats.
std::vector<u32> particle_curve(const std::vector<std::pair<f32, f32>> &keys);
/// A vector curve's 40 words from up to 10 (time, x, y, z) keys.
std::vector<u32> particle_curve3(const std::vector<std::array<f32, 4>> &keys);

struct ParticleElementSource {
    u32 semantic = 0;
    u32 channel_type = 0;
    u32 semantic_index = 0;
};

struct ParticleEmitterSource {
    u32 type = 0; // 0 billboard; another type writes only its type word
    u32 material = 0;
    u32 flags = 0;
    u32 stride = 16;
    std::vector<ParticleElementSource> elements;
    std::vector<ParticleOpSource> output;
};

struct ParticleSystemSource {
    u32 capacity = 16;
    std::vector<u32> channels; // sizes in bytes
    Matrix4x4 pose = matrix4x4_identity;
    std::vector<ParticleOpSource> spawn;
    std::vector<ParticleOpSource> simulate;
    u32 state_bytes = 0xFFFFFFFFu; // 0xFFFFFFFF: what the simulate ops need
    std::vector<ParticleEmitterSource> emitters;
    /// Channel k's operand: its byte offset per particle.
    u32 at(u32 k) const
    {
        u32 sum = 0;
        for (u32 i = 0; i < k && i < channels.size(); ++i)
            sum += channels[i];
        return sum;
    }
};

struct ParticleEffectSource {
    f32 duration = 1;
    std::vector<ParticleSystemSource> systems;
};

std::vector<u8> write_particle_effect(const ParticleEffectSource &effect);

} // namespace tallow
