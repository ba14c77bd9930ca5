#pragma once
// The "particles" resource: one particle effect as a list of particle systems, each with a
// spawn and a simulate operator stream and its billboard emitters with their output
// streams. One reader checks every offset, size, channel operand and operand count once,
// at load; the interpreters (particle_ops.h) then trust what it accepted.
//
//   ParticleEffectResource *e = read_particle_effect(bytes, size, allocator, &reason);
//   if (!e) log(reason);                                   // refused: the effect does not load
//   for (const ParticleSystemInfo &s : e->systems) ...      // parsed records, offsets resolved
//   destroy_particle_effect(e);
//
// Layout (little-endian 32-bit words; every offset is a multiple of 4 and relative to the
// record it is read from; the writer is tests/support/writers/particle_effect_writer.h):
//
//   effect header       f32 duration (seconds, finite, >= 0), u32 system count (1 to 64)
//   system record (124 bytes, the first at byte 8):
//     0   u32 capacity (1 to 65536 particles)
//     4   u32 channel count (1 to 16)
//     8   u32 bytes per particle (the sum of the channel sizes)
//     12  16 x i8 channel sizes (4: a float channel, 16: a vector channel; 0 past the count)
//     28  16 x f32 local pose (row-major 4x4; read with memcpy, it is not 16-aligned)
//     92  u32 spawn op count      96  u32 spawn stream offset
//     100 u32 simulate op count   104 u32 simulate stream offset
//     108 u32 state size (bytes, at most 1 MiB: what the stateful simulate ops use)
//     112 u32 emitter count       116 u32 emitter list offset
//     120 u32 next system offset (read for every system but the last)
//   operator stream: records {u32 opcode, operand words}; the operand count comes from the
//     opcode (particle_op_words). An opcode past the interpreter's table is one word and
//     does nothing. A channel operand is a channel's byte offset per particle (the prefix
//     sum of the sizes before it) and must name a channel of the size the op needs.
//   emitter list: entries {u32 type, ...}; type 0 (billboard) is followed by 57 words:
//     0   u32 material name (NameId32 of an entry of the "material" resource of the same name)
//     1   u32 flags: bits 0-7 sort (non-zero: back to front), bit 8 pivot, bit 9 rotation,
//         bit 10 vertex colour
//     2   u32 vertex element count (0 to 10)
//     3   10 x 5 words of vertex elements {semantic 0-7, channel type 0-10, semantic index, 0,
//         0}: the per-particle vertex layout, packed in order from byte 0 and inside the stride
//     53  u32 vertex stride (4 to 256, a multiple of 4)
//     54  u32 output op count     55 u32 output stream offset (from word 0 of the description)
//     56  u32 0
//     Another type is skipped by its type word alone.
//   curves inside operands: 10 key times, then 10 values (scalar) or 10 x 3 values (vector);
//     a curve of fewer keys repeats its last time and value.
//
// Refused (null, with the reason): anything past the end, misaligned offsets, counts out of
// range, channel sizes that do not add up, a channel operand that names no channel of the
// right size, an output write or a vertex element past the stride, a target system past the
// count, frame ranges with last < first, height grids of fewer than 2 or more than 256
// points a side, and state bytes of the stateful ops adding up past the state size. Any
// thread; the result is immutable and may be shared by threads.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/types.h"

namespace tallow {

class Allocator;
struct ResourceTypeCallbacks;

constexpr u32 particle_max_systems = 64;
constexpr u32 particle_max_channels = 16;
constexpr u32 particle_max_capacity = 65536;
constexpr u32 particle_max_state_bytes = 1u << 20;
constexpr u32 particle_system_record_bytes = 124;
constexpr u32 particle_emitter_words = 57;
constexpr u32 particle_max_vertex_elements = 10;
constexpr u32 particle_max_vertex_stride = 256;
constexpr u32 particle_curve_keys = 10;
constexpr u32 particle_grid_max_points = 256;

/// Emitter flag bits (description word 1).
namespace particle_emitter_flags {
constexpr u32 sort_mask = 0xFF;
constexpr u32 pivot = 1u << 8;
constexpr u32 rotation = 1u << 9;
constexpr u32 vertex_colour = 1u << 10;
} // namespace particle_emitter_flags

/// Opcode counts of the three interpreters.
constexpr u32 particle_spawn_op_count = 11;
constexpr u32 particle_simulate_op_count = 17;
constexpr u32 particle_output_op_count = 13;

enum class ParticleStream : u32 { Spawn, Simulate, Output };

/// Operand words after the opcode word; 0 for an opcode past the table (it is skipped).
u32 particle_op_words(ParticleStream stream, u32 opcode);
/// Bytes of per-system state a simulate op consumes; `operands` are its operand words
/// (the height-grid op's size depends on its point count).
u64 particle_op_state_bytes(u32 opcode, const u32 *operands);
/// Bytes in front of the grid inside the height-grid op's state: the set-up word.
constexpr u32 particle_grid_state_head = 4;

/// One operator stream: `op_count` records in `word_count` words.
struct ParticleOpStream {
    const u32 *words = nullptr;
    u32 op_count = 0;
    u32 word_count = 0;
};

struct ParticleVertexElement {
    u32 semantic = 0;
    u32 channel_type = 0;
    u32 semantic_index = 0;
    u32 offset = 0; // packed: the sum of the sizes before it
};

/// A billboard emitter of a system, as the reader accepted it.
struct ParticleEmitterInfo {
    u32 material = 0; // NameId32
    u32 flags = 0;
    u32 stride = 0;
    u32 element_count = 0;
    ParticleVertexElement elements[particle_max_vertex_elements];
    ParticleOpStream output;
    u32 index = 0; // among the effect's emitters, over all its systems
};

struct ParticleSystemInfo {
    explicit ParticleSystemInfo(Allocator &allocator) : emitters(allocator) {}
    u32 capacity = 0;
    u32 channel_count = 0;
    u32 bytes_per_particle = 0;
    u32 channel_sizes[particle_max_channels] = {};
    u32 channel_offsets[particle_max_channels] = {}; // byte offset per particle (the operand value)
    Matrix4x4 local_pose = matrix4x4_identity;
    ParticleOpStream spawn;
    ParticleOpStream simulate;
    u32 state_bytes = 0;
    Array<ParticleEmitterInfo> emitters;
};

/// A read effect: a copy of its bytes (16-aligned) and the parsed systems pointing into it.
struct ParticleEffectResource {
    explicit ParticleEffectResource(Allocator &allocator) : systems(allocator), allocator(&allocator) {}
    f32 duration = 0;
    Array<ParticleSystemInfo> systems;
    u32 emitter_count = 0;
    u8 *bytes = nullptr;
    u64 size_bytes = 0;
    Allocator *allocator;
};

/// Reads and checks an effect; null (with `out_reason` set when given) when it is refused.
ParticleEffectResource *read_particle_effect(const u8 *bytes, u64 size_bytes, Allocator &allocator,
                                             const char **out_reason = nullptr);
void destroy_particle_effect(ParticleEffectResource *effect);

/// The callbacks of the "particles" type: loads go through read_particle_effect, so a
/// refused effect does not load (logged with its name and the reason).
ResourceTypeCallbacks particle_resource_callbacks();

} // namespace tallow
