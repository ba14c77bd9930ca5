#pragma once
// The particle operators: random numbers, curves, noise, height-grid sampling and the three
// interpreters that run one operator record each (spawn, simulate, output).
//
//   ParticleDataView view = particle_data_view(instance);
//   const u32 *op = system.simulate.words; u8 *state = instance.state();
//   for (u32 i = 0; i < system.simulate.op_count; ++i)
//       run_particle_simulate_ops(op, state, view, frame, events);    // moves both cursors
//
// Every interpreter consumes exactly the operand words and state bytes of its record
// (particle_op_words, particle_op_state_bytes) and trusts operands that
// read_particle_effect accepted: run them only on streams of a read effect. An opcode past
// the table advances by its opcode word and does nothing. Channels are structure-of-arrays:
// channel k of a system starts at data + capacity x its per-particle offset.
//
// Random numbers come from the effect's own 32-bit seed (never a shared one), so effects
// run on any worker in any order and give the same particles. One thread per effect.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/types.h"
#include "render/particles/particle_effect_resource.h"

namespace tallow {

// --- Random numbers and noise -------------------------------------------------------------

/// Advances the seed (x 1664525 + 1013904223) and returns it.
inline u32 particle_next_seed(u32 &seed)
{
    seed = seed * 1664525u + 1013904223u;
    return seed;
}
/// One draw in [0, 1): the top 24 bits of the advanced seed, so it never rounds up to 1.
inline f32 particle_random(u32 &seed) { return f32(particle_next_seed(seed) >> 8) * (1.0f / 16777216.0f); }
/// A float in [a, b].
inline f32 particle_random_range(u32 &seed, f32 a, f32 b) { return a + (b - a) * particle_random(seed); }
/// An integer in [a, b] (never b + 1); a when b < a.
i32 particle_random_int(u32 &seed, i32 a, i32 b);
/// The hashed 2D vector of two integers, each of x and y in [-1, 1), z 0.
Vector3 particle_hash_vector(u32 a, u32 b);
/// Smooth value noise of one variable: hashed vectors at trunc(t) and trunc(t) + 1 blended.
Vector3 particle_noise1(f32 t, u32 seed);

// --- Curves -------------------------------------------------------------------------------

/// A scalar curve: 10 key times then 10 values (20 floats). Before the first key: the first
/// value; past the last: the last value; on two equal key times: the earlier value.
f32 evaluate_particle_curve(const f32 *curve, f32 t);
/// A vector curve: 10 key times then 10 x 3 values (40 floats).
Vector3 evaluate_particle_curve3(const f32 *curve, f32 t);

// --- Height grids ---------------------------------------------------------------------------

/// The grid an operator keeps in its state: a 20-byte header {f32 origin x, f32 origin y,
/// f32 spacing, u32 n, u32 offset of the heights (20)} and n x n heights row by row; the
/// same layout the game side fills (world/levels/height_grid.h).
struct ParticleGridHeader {
    f32 origin_x;
    f32 origin_y;
    f32 spacing;
    u32 n;
    u32 heights_offset;
};
static_assert(sizeof(ParticleGridHeader) == 20);
constexpr f32 particle_grid_nothing = -3.4028235e38f;

/// Sets up a grid of n x n points (n >= 2) over the square of side `size` centred on
/// (x, y), every height "nothing". `grid` holds 20 + n x n x 4 bytes.
void particle_grid_init(u8 *grid, f32 centre_x, f32 centre_y, f32 size, u32 n);
/// The height and normal at (x, y); "nothing" and a zero normal outside the grid (below
/// its origin included: cells are found with floor, not truncation).
f32 particle_grid_sample(const u8 *grid, f32 x, f32 y, Vector3 *out_normal);

// --- Systems --------------------------------------------------------------------------------

/// What the interpreters work on: one system's channels.
struct ParticleDataView {
    u8 *data = nullptr;    // channel 0's first element; 16-aligned
    u32 *live_count = nullptr;
    u32 capacity = 0;
    const ParticleSystemInfo *system = nullptr;

    f32 *floats(u32 channel_offset) const { return reinterpret_cast<f32 *>(data + size_t(capacity) * channel_offset); }
    /// Vector channels hold four floats per particle.
    f32 *vectors(u32 channel_offset) const { return floats(channel_offset); }
};

/// Removes particle i: the last live particle's elements move into its place in every channel.
void particle_swap_remove(const ParticleDataView &view, u32 i);

// --- Events ---------------------------------------------------------------------------------

/// Event types simulate operators append to an effect's event buffer.
constexpr u32 particle_event_spawn = 0;
constexpr u32 particle_event_height_grid = 1;
constexpr u32 particle_event_trail = 2;

struct ParticleSpawnEvent {
    u32 type = particle_event_spawn;
    u32 system = 0; // the target system
    Vector3 position;
    Vector3 velocity;
    u32 count = 0;
};
static_assert(sizeof(ParticleSpawnEvent) == 36);

/// The grid is named by where it lives, never by address: the system and the grid's byte
/// offset in the system's state. The game side answers with the heights by message.
struct ParticleGridEvent {
    u32 type = particle_event_height_grid;
    u32 system = 0;
    u32 state_offset = 0; // of the grid header
    f32 start_z = 0;      // the system position's z
    ParticleGridHeader header{};
};
static_assert(sizeof(ParticleGridEvent) == 36);

/// Followed by n pairs of 3-vectors (previous position, position).
struct ParticleTrailEvent {
    u32 type = particle_event_trail;
    u32 count = 0;
};

/// Most particles one emission op asks for per particle and step (spacing emission).
constexpr u32 particle_max_spacing_emissions = 256;
/// Most particles one spawn request asks for.
constexpr u32 particle_max_request = 1u << 20;

/// What one simulate step of a system knows.
struct ParticleSimulateFrame {
    f32 dt = 0;
    f32 effect_time = 0;   // age / duration, in [0, 1]
    Matrix4x4 pose;        // the system's local pose x the effect's pose
    u32 system = 0;        // this system's index (names the grid in requests)
    const u8 *state_base = nullptr; // the start of this system's state (for grid offsets)
    u32 *seed = nullptr;   // the effect's seed
};

/// The vertices of one emitter.
struct ParticleVertexOutput {
    u8 *data = nullptr;
    u32 count = 0; // set to the live count before the first op; op 9 lowers it
};

// --- Interpreters (one record each; see the top of the file) ---------------------------------

/// Runs one spawn op on the last `count` particles. `pose` is the spawn pose (the system
/// pose with the event's position as translation).
void run_particle_spawn_ops(const u32 *&cursor, const ParticleDataView &view, u32 count, const Matrix4x4 &pose,
                            Vector3 velocity, u32 &seed);
/// Runs one simulate op on every live particle; appends events to `events`.
void run_particle_simulate_ops(const u32 *&cursor, u8 *&state, const ParticleDataView &view,
                               const ParticleSimulateFrame &frame, Array<u8> &events);
/// Runs one output op, writing vertex i of particle i at `stride`. `camera` rows: right,
/// forward, up, position.
void run_particle_output_ops(const u32 *&cursor, const ParticleDataView &view, ParticleVertexOutput &out, u32 stride,
                             f32 effect_time, const Matrix4x4 &camera);

} // namespace tallow
