#pragma once
// The records between a World's ParticleWorld (game side) and its RenderParticleWorld: the
// state-stream messages (update stream 0, class ParticleWorld) and the feedback records
// the render side hands back. Writer and reader share these structs; payloads are only
// 4-aligned, so both copy them with memcpy. In-process only: pointers are native.
//
// Messages (kind: payload):
//   0 create      ParticleCreateMessage
//   1 reload      ParticleReloadMessage: live effects of the old data restart on the new,
//                 keeping id and pose
//   2 destroy     ParticleIdMessage
//   3 move        ParticleMoveMessage
//   4 link        ParticleLinkMessage
//   5 materials   ParticleMaterialsMessage, then `count` ParticleMaterialPair
//   6 stop        ParticleIdMessage
//   7 heights     ParticleHeightsMessage, then n x n f32: the answer to a grid request
//
// Feedback: records {u32 payload size, u32 id, payload} (the World's event-stream form):
//   particle_trail_feedback  u32 n, then n x {Vector3 from, Vector3 to}
//   particle_grid_feedback   ParticleGridRequest
//   particle_gone_feedback   ParticleGoneRecord: an effect was freed (finished or
//                            destroyed; not one a reload replaced)

#include "foundation/math/matrix4x4.h"
#include "foundation/types.h"
#include "render/particles/particle_ops.h"
#include "render/world/render_object.h"

namespace tallow {

struct MaterialEntry;

enum class ParticleMessage : u32 { Create = 0, Reload, Destroy, Move, Link, Materials, Stop, Heights };

constexpr u32 particle_trail_feedback = 0x15BFF7EF;
constexpr u32 particle_grid_feedback = 0x6B47E191;
constexpr u32 particle_gone_feedback = 0x3C1D8E25;

/// The payload of particle_gone_feedback.
struct ParticleGoneRecord {
    u64 name; // the "particles" resource
    u32 id;   // the effect's id
    u32 padding = 0;
};
static_assert(sizeof(ParticleGoneRecord) == 16);

/// What a linked effect does when its unit goes.
enum class ParticleLinkPolicy : u32 { Destroy = 0, Stop = 1, Unlink = 2 };

struct ParticleMessageHead {
    u32 class_id = u32(RenderObjectClass::ParticleWorld);
    u32 handle = 0;
};

struct ParticleCreateMessage {
    ParticleMessageHead head;
    u32 id = 0;
    u32 padding = 0;
    u64 name = 0; // the "particles" resource's name: the key of its material table
    const ParticleEffectResource *effect = nullptr;
    Matrix4x4 pose;
};

struct ParticleReloadMessage {
    ParticleMessageHead head;
    const ParticleEffectResource *old_effect = nullptr;
    const ParticleEffectResource *new_effect = nullptr;
};

struct ParticleIdMessage {
    ParticleMessageHead head;
    u32 id = 0;
};

struct ParticleMoveMessage {
    ParticleMessageHead head;
    u32 id = 0;
    Matrix4x4 pose;
};

struct ParticleLinkMessage {
    ParticleMessageHead head;
    u32 id = 0;
    u32 scene_graph = 0; // the unit's RenderSceneGraph handle
    u32 node = 0;
    ParticleLinkPolicy policy = ParticleLinkPolicy::Destroy;
    Matrix4x4 offset;
};

struct ParticleMaterialsMessage {
    ParticleMessageHead head;
    u64 name = 0; // the "particles" resource
    u32 count = 0;
    u32 pairs_offset = sizeof(ParticleMessageHead) + 16; // from the payload start
};
static_assert(sizeof(ParticleMaterialsMessage) == 24);

/// A material of the table: its name and the entry of the "material" resource (which
/// stays loaded while the particles resource that names it is).
struct ParticleMaterialPair {
    u32 name = 0; // NameId32
    u32 padding = 0;
    const MaterialEntry *entry = nullptr;
};

struct ParticleHeightsMessage {
    ParticleMessageHead head;
    u32 id = 0;
    u32 system = 0;
    u32 state_offset = 0;
    u32 n = 0; // n x n heights follow
};
static_assert(sizeof(ParticleHeightsMessage) == 24);

/// A grid the render side asks the game side to fill, named by (effect, system, offset).
struct ParticleGridRequest {
    u32 id = 0;
    u32 system = 0;
    u32 state_offset = 0;
    f32 start_z = 0;
    ParticleGridHeader header{};
};
static_assert(sizeof(ParticleGridRequest) == 36);

} // namespace tallow
