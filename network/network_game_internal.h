#pragma once
// The records behind NetworkGame, shared by network_game.cpp (peers and messages) and
// network_game_objects.cpp (replication). Not for other subsystems.

#include "network/network_game.h"

namespace tallow::network {

/// An update datagram sent to a peer and not yet resolved.
struct InFlightUpdate {
    u32 sequence;
    u32 change_count; // the object's change count the update brought the peer to
};

constexpr u32 max_in_flight_updates = 8;

/// What one peer has of one owned object (parallel to the owned list).
struct ReplicationRecord {
    u8 state = 0;             // 0 not created there, 1 creation in flight, 2 created
    bool all_fields = false;  // the next update carries every field (after a migration)
    u32 creation_sequence = 0;
    u32 acknowledged = 0;     // change count the peer is known to have
    u32 sent = 0;             // change count sent
    u32 in_flight_count = 0;  // oldest first
    InFlightUpdate in_flight[max_in_flight_updates];
};

struct NetworkPeer {
    u64 id = 0;
    u32 slot = 0;
    bool wants_to_leave = false;
    f64 last_report_s = -1e9;
    ReplicationRecord *records = nullptr; // max_owned_objects, from the object allocator
};

/// The target of one interpolating field.
struct FieldTarget {
    f64 time_s;
    u8 value[16];
    bool active; // a value arrived and is not reached yet
};

struct GameObject {
    u32 id;
    u64 owner;
    u32 type_index;
    const GameObjectType *type;
    u8 *state;
    u32 change_count = 0;
    u8 ring[8] = {};              // field changed by change k at ring[k & 7]
    u32 field_sequence[max_object_fields] = {}; // datagram sequence of each field's value
    u32 sequenced_fields = 0;     // bit i: field_sequence[i] holds a received sequence
    FieldTarget *targets = nullptr; // per field, when the type interpolates and it is not owned
    bool queued = false;          // on the changed list
    // Fields from a peer that is not (yet) the owner: a new owner's updates may overtake the
    // migration message from the old one. Applied if the migration to that peer follows.
    u64 early_sender = 0;
    u32 early_fields = 0;         // bit i: early_state holds field i
    u32 early_sequence[max_object_fields] = {};
    u8 *early_state = nullptr;    // state-sized, allocated on first use
};

} // namespace tallow::network
