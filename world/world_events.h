#pragma once
// Event streams: how physics, animation state machines and the particle world report to
// the World, and the payloads it reads. Writers append records; the World walks a stream
// at a fixed point of its frame and empties it (capacity kept).
//
//   append_world_event(stream, physics_trigger_event, &payload, sizeof payload);
//   walk_world_events(stream, [](u32 id, const u8 *record, u32 payload_size) { ... });
//
// A record is {u32 payload length, u32 id, payload}. Payload structs are shared by writer
// and reader; their sizes and the offsets flow nodes read are fixed below. Physics actors
// are named by weak ids {index, serial} that the physics world resolves (a record whose
// actor is gone is skipped); movers by a u32 handle; units by their handles. No payload
// holds a pointer.

#include "foundation/containers/array.h"
#include "foundation/math/vector3.h"
#include "foundation/types.h"
#include "world/units/unit_handle.h"

#include <cstddef>

namespace tallow {

constexpr u32 physics_trigger_event = 0x7DC7CFBA;
constexpr u32 physics_actor_woke_event = 0x4F266880;
constexpr u32 physics_contact_event = 0x9E1F9EFD;
constexpr u32 physics_mover_hit_shape_event = 0x96723FA7;
constexpr u32 physics_mover_hit_mover_event = 0x76D70F80;
constexpr u32 animation_flow_event = 0x15B691B2;

struct PhysicsActorId {
    u32 index = 0;
    u32 serial = 0;
};

struct TriggerPayload {
    PhysicsActorId trigger; // the trigger volume's actor
    PhysicsActorId other;   // the actor that entered, left or stays
    u32 kind = 0;           // 0 enter, 1 leave, 2 stay
    Vector3 position;
    Vector3 normal;
};
static_assert(offsetof(TriggerPayload, kind) == 16 && sizeof(TriggerPayload) == 44);

struct ContactPayload {
    PhysicsActorId a;
    PhysicsActorId b;
    Vector3 position;
    Vector3 normal;
    Vector3 impulse;
    u32 kind = 0; // 0 touch begins, 1 touch ends
};
static_assert(offsetof(ContactPayload, b) == 8 && offsetof(ContactPayload, kind) == 52 &&
              sizeof(ContactPayload) == 56);

struct MoverHitPayload {
    u32 mover = 0;
    PhysicsActorId actor;
    Vector3 position;
    Vector3 normal;
    Vector3 motion;
    f32 length = 0;
};
static_assert(sizeof(MoverHitPayload) == 52);

struct MoverMoverPayload {
    u32 mover = 0;
    u32 other = 0;
};
static_assert(sizeof(MoverMoverPayload) == 8);

struct AnimationEventPayload {
    u32 event_id = 0;
    UnitHandle unit = 0;
};

/// Touch begin, touch end, trigger enter, trigger leave, trigger stay.
enum ActorFlowTarget : u32 { touch_begin = 0, touch_end, trigger_enter, trigger_leave, trigger_stay };

/// What the physics world knows of an actor (PhysicsWorld::resolve_actor).
struct PhysicsActorInfo {
    UnitHandle unit = 0;     // 0 for level actors
    u32 actor_index = 0;     // in its unit, or the level's trigger volume index
    bool level_actor = false;
    u32 targets[5] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}; // node high, input low
};

struct PhysicsMoverInfo {
    UnitHandle unit = 0;
    u32 target = 0xFFFFFFFFu; // node high, input low
};

/// Appends one record; false when memory ran out.
bool append_world_event(Array<u8> &stream, u32 id, const void *payload, u32 size);

/// Calls `visit(id, record, payload_size)` for each whole record (a record running past
/// the end stops the walk). `record` points at the record's length word.
template <typename F> void walk_world_events(const Array<u8> &stream, F &&visit)
{
    u32 at = 0, size = stream.size();
    while (size - at >= 8) {
        u32 header[2];
        __builtin_memcpy(header, stream.data() + at, 8);
        if (header[0] > size - at - 8)
            break;
        visit(header[1], stream.data() + at, header[0]);
        at += 8 + header[0];
    }
}

/// The payload of a record as T when it is large enough (copied: records are 4-aligned).
template <typename T> bool read_world_event(const u8 *record, u32 payload_size, T &out)
{
    if (payload_size < sizeof(T))
        return false;
    __builtin_memcpy(&out, record + 8, sizeof(T));
    return true;
}

} // namespace tallow
