#pragma once
// A networked game over a connection: the peers with their slots and the host, game
// messages carrying script traffic, leave requests, timeout reports with the vote on
// which peer's connection is broken, and replicated game objects.
//
//   NetworkGame game(connection, config, own_id);       // config opened and validated
//   game.set_host();                                    // this machine hosts, slot 0
//   game.add_peer(other_id);                            // sends the peer list
//   u32 id = game.create_object(type_index, state);     // replicated to every peer
//   game.set_object_field(id, field, &value);           // sent when it changed enough
//   each frame, on the main thread (through NetworkManager::update):
//       game.update(messages, objects);                 // send, receive, apply
//
// Messages (type byte first; bit fields least significant bit first after it; each
// message ends on a byte boundary; u64 values little-endian at a byte boundary):
//   0 game message [opaque...]          reliable     the game-message callback, whose
//                                                    result is where the next one starts
//   1 peer list [u8 n][n x (u64 id, u8 slot)]       reliable, from the host
//   2 removed, 3 game closed                        reliable, from the host: clear the game
//   4 leave request                                 reliable, to the host
//   5 object created [8b type][16b id][state]       reliable, from the owner
//   6 object destroyed [16b id]                     reliable, from the owner
//   7 object update [16b id][mask][fields]          unreliable, from the owner
//   8 migration [16b id][u64 new owner]             reliable, from the owner or the host
//   9 timeout report [u64 silent peer]              reliable, to the host
//   250-255 connection control messages; any other type ends the delivery.
//
// Every message is untrusted. Peer lists, removals and closings count only from the host
// (or, before this machine has a host, a list naming its sender as host; or, when the
// host's connection is broken, a list from the listed peer it names as the new host: host
// migration). Object messages count only from the object's owner (migration also from the
// host), for types and ids that exist, within the sender's quota of objects, and with
// finite values in every float, vector and quaternion field. A creation, or a migration to a peer, is taken even
// before the host's list names that peer: the list comes over another channel. Anything malformed ends its delivery;
// what is refused is counted in `NetworkGameStats` and logged once per kind under "network".
//
// Objects that vanish without a destroy message (a peer dropped from the list, the game
// cleared) are reported as destroyed to the synchronizers at once and to the object-event
// callback within the next update, so nothing keeps a mapping to a gone object.
//
// Main thread only; no locks. Memory comes from two TraceAllocators over `parent`.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"
#include "network/connection.h"
#include "network/network_game_config.h"

namespace tallow::network {

/// What happened to an object, as the object-event callback and synchronizers hear it.
enum class ObjectEvent : u32 { Created = 0, Destroyed = 1, MigratedToMe = 2, MigratedAway = 3 };

/// Game-message callback: (user, sender, bytes after the type byte, bytes left in the
/// delivery) → where the next message starts (within the delivery, past `bytes`), or null to stop.
struct GameMessageCallback {
    const u8 *(*function)(void *user, u64 sender, const u8 *bytes, u32 remaining) = nullptr;
    void *user = nullptr;
};
/// Object-event callback: (user, object id, event, peer).
struct ObjectEventCallback {
    void (*function)(void *user, u32 id, ObjectEvent event, u64 peer) = nullptr;
    void *user = nullptr;
};

/// Keeps something (units of a world) in step with replicated objects.
class ISynchronizer {
  public:
    virtual ~ISynchronizer() = default;
    virtual void object_event(u32 id, ObjectEvent event) = 0;
    /// Called first in each update's send pass: store what is owned with set_object_field.
    virtual void write(f32 dt_s) = 0;
    /// Called after each receive with the changed objects (still blending first).
    virtual void apply(f32 dt_s, const u32 *ids, u32 count) = 0;
};

class INetworkGame;
/// Makes a game's default synchronizer (id 0); null for none. Destroyed with the game
/// through the default allocator.
using SynchronizerFactory = ISynchronizer *(*)(INetworkGame &game, const NetworkGameConfig &config);

/// Seconds from a monotonic clock; tests inject their own.
struct NetworkClock {
    f64 (*now_s)(void *user) = nullptr; // null: the process's monotonic clock
    void *user = nullptr;
};

struct NetworkGameSettings {
    NetworkClock clock;
    u32 object_id_seed = 0;                  // start of the object-id generator
    SynchronizerFactory create_synchronizer = nullptr;
    /// Objects another peer may own here; its creations past them are refused (logged with
    /// the peer), so one peer cannot make every other spawn without limit. Objects that
    /// migrate to it still count but are never refused.
    u32 max_objects_per_peer = 256;
};

constexpr u32 max_game_peers = 64;        // object ids (slot << 10) must fit 16 bits
constexpr u32 max_owned_objects = 1024;
constexpr u32 max_timeout_reports = 64;
/// The longest game message payload (the type byte and the payload are one reliable send).
constexpr u32 max_game_message_bytes = max_reliable_payload_bytes - 1; // 1188

enum class GameMessageType : u8 {
    Game = 0,
    PeerList = 1,
    Removed = 2,
    Closed = 3,
    LeaveRequest = 4,
    ObjectCreated = 5,
    ObjectDestroyed = 6,
    ObjectUpdate = 7,
    Migration = 8,
    TimeoutReport = 9,
};

/// Counts of what a game refused (since creation).
struct NetworkGameStats {
    u64 malformed = 0;          // short messages, unknown types, bad callback results
    u64 not_from_host = 0;      // peer lists, removals, closings from anyone but the host
    u64 bad_peer_list = 0;      // counts past the bytes, repeated ids, over 64 peers
    u64 bad_object = 0;         // unknown type or id, repeated creation, full owned list
    u64 not_from_owner = 0;     // object messages from anyone but the owner
    u64 stale_fields = 0;       // field values older than the ones applied
    u64 over_quota = 0;         // creations from a peer that owns its quota of objects
    u64 bad_value = 0;          // creations and updates with a NaN or infinite value
};

class INetworkGame {
  public:
    virtual ~INetworkGame() = default;
    virtual const NetworkGameConfig &config() const = 0;
    /// Makes this machine the host (own peer first, slot 0). A listed peer may take over
    /// from a host whose connection broke: it moves to the front, keeps its slot and sends
    /// the list. False when it already hosts, or another host's connection still works.
    virtual bool set_host() = 0;
    /// Tells every other peer the game is closed, then clears it.
    virtual void leave() = 0;
    /// Host: lists `peer` in the lowest free slot and sends the list. False when this
    /// machine is not the host, for the own id, a listed id, or a full list (64 peers).
    virtual bool add_peer(u64 peer) = 0;
    /// Host: drops `peer` and what it owns, tells it, sends the list; false when this
    /// machine is not the host or the peer is not listed.
    virtual bool remove_peer(u64 peer) = 0;
    /// Asks the host to let this machine leave.
    virtual void request_leave() = 0;
    virtual u64 own_peer_id() const = 0;
    virtual u32 peer_count() const = 0;
    /// Peer `index` (host first); 0 past the count.
    virtual u64 peer_id(u32 index) const = 0;
    virtual bool has_peer(u64 peer) const = 0;
    virtual bool has_joined() const = 0;
    /// Peers whose connection is broken, then the vote's pick; at most `max`.
    virtual u32 broken_connections(u64 *out, u32 max) = 0;
    virtual u32 leave_requests(u64 *out, u32 max) const = 0;
    /// Listed peers (not this machine) whose connection is broken or has been silent for at
    /// least `seconds`; at most `max`. Tells of a peer whose process died within seconds,
    /// where a broken connection takes a minute.
    virtual u32 silent_peers(u64 *out, u32 max, f32 seconds) = 0;
    /// Creates an owned object of type `type_index` from `state` (the type's state size);
    /// returns its id, or 0xFFFFFFFF when this machine is not listed, owns 1024 objects,
    /// or its slot has no free id.
    virtual u32 create_object(u32 type_index, const u8 *state) = 0;
    /// The object's state (the type's state size), or null; creates nothing.
    virtual const u8 *object_state(u32 id) const = 0;
    virtual const GameObjectType *object_type(u32 id) const = 0;
    virtual u64 object_owner(u32 id) const = 0;
    /// Stores a field of an owned object when it changed enough; false for an unknown id,
    /// a field past the type's, or an object owned elsewhere.
    virtual bool set_object_field(u32 id, u32 field, const void *value) = 0;
    /// Destroys an owned object everywhere; false when unknown or owned elsewhere.
    virtual bool destroy_object(u32 id) = 0;
    /// Hands an object to `new_owner` (a listed peer). Only its owner or the host may;
    /// true when done or nothing to do.
    virtual bool migrate_object(u32 id, u64 new_owner) = 0;
    virtual void objects_owned_by(u64 peer, Array<u32> &out) const = 0;
    /// Sends [0][bytes] reliably to `peer`; false (nothing sent) when over 1188 bytes or
    /// the connection refuses. The datagram's sequence goes to `out_sequence`.
    virtual bool send_game_message(u64 peer, const void *bytes, u32 size, u32 *out_sequence = nullptr) = 0;
    virtual void update(const GameMessageCallback &messages, const ObjectEventCallback &objects) = 0;
    /// The default synchronizer, or null when the game was made without one.
    virtual ISynchronizer *unit_synchronizer() = 0;
    virtual void add_synchronizer(ISynchronizer &synchronizer) = 0;
};

struct GameObject;
struct NetworkPeer;
struct ReplicationRecord;

class NetworkGame final : public INetworkGame {
  public:
    /// `connection` and `config` (opened) must outlive the game.
    NetworkGame(IConnection &connection, const NetworkGameConfig &config, u64 own_peer_id, Allocator &parent,
                const NetworkGameSettings &settings = {});
    ~NetworkGame() override;
    NetworkGame(const NetworkGame &) = delete;
    NetworkGame &operator=(const NetworkGame &) = delete;

    const NetworkGameConfig &config() const override { return _config; } // See INetworkGame
    bool set_host() override;                                              // See INetworkGame
    void leave() override;
    bool add_peer(u64 peer) override;
    bool remove_peer(u64 peer) override;
    void request_leave() override;
    u64 own_peer_id() const override { return _own_id; }
    u32 peer_count() const override { return _peers.size(); }
    u64 peer_id(u32 index) const override;
    bool has_peer(u64 peer) const override { return find_peer(peer) >= 0; }
    bool has_joined() const override { return _host != 0 && has_peer(_own_id); }
    u32 broken_connections(u64 *out, u32 max) override;
    u32 leave_requests(u64 *out, u32 max) const override;
    u32 silent_peers(u64 *out, u32 max, f32 seconds) override;
    u32 create_object(u32 type_index, const u8 *state) override;
    const u8 *object_state(u32 id) const override;
    const GameObjectType *object_type(u32 id) const override;
    u64 object_owner(u32 id) const override;
    bool set_object_field(u32 id, u32 field, const void *value) override;
    bool destroy_object(u32 id) override;
    bool migrate_object(u32 id, u64 new_owner) override;
    void objects_owned_by(u64 peer, Array<u32> &out) const override;
    bool send_game_message(u64 peer, const void *bytes, u32 size, u32 *out_sequence = nullptr) override;
    void update(const GameMessageCallback &messages, const ObjectEventCallback &objects) override;
    ISynchronizer *unit_synchronizer() override { return _default_synchronizer; }
    void add_synchronizer(ISynchronizer &synchronizer) override { _synchronizers.push_back(&synchronizer); }

    u64 host_id() const { return _host; }
    u32 object_count() const { return _objects.size(); }
    u32 owned_count() const { return _owned.size(); }
    f64 game_clock_s() const { return _clock_s; }
    const NetworkGameStats &stats() const { return _stats; }
    /// Checks the object map, owned list and records against each other; for tests.
    bool validate() const;
    /// Walks one delivery as the connection would hand it over; for tests and fuzzing.
    void receive_delivery(u64 sender, u32 sequence, const u8 *bytes, u32 size, f32 delay_s);

  private:
    struct TimeoutReport {
        u64 reporter;
        u64 silent;
        f64 time_s;
    };
    struct PendingEvent {
        u32 id;
        u64 peer;
    };

    static void on_receive(void *context, u64 peer, u32 sequence, const u8 *bytes, u32 size, f32 delay_s);
    f64 now_s() const;
    i32 find_peer(u64 peer) const;
    i32 own_slot() const;
    void send_to_others(const u8 *bytes, u32 size, u32 reliable);
    void send_peer_list();
    void clear_game();
    void erase_peer(u32 index);
    void send_timeout_reports();
    void refuse(u64 &counter, const char *what, u64 sender);

    // Messages; each returns false when the rest of the delivery must be dropped.
    bool receive_peer_list(u64 sender, BitReader &reader);
    bool receive_object_created(u64 sender, BitReader &reader);
    bool receive_object_destroyed(u64 sender, BitReader &reader);
    bool receive_object_update(u64 sender, u32 sequence, f32 delay_s, BitReader &reader);
    bool receive_migration(u64 sender, BitReader &reader);

    // Objects (network_game_objects.cpp).
    GameObject *find_object(u32 id) const;
    GameObject *make_object(u32 id, u64 owner, u32 type_index, const u8 *state);
    void free_object(u32 id);
    void drop_object(u32 id); // without a destroy message: events to synchronizers, queued for the script
    void drop_objects_of(u64 peer);
    void remove_owned(u32 id);
    bool apply_migration(u32 id, u64 new_owner, u64 sender);
    void make_field_buffer(GameObject &object);
    void count_owner(u64 owner, i32 change);
    u32 objects_of(u64 owner) const;
    void send_objects(f32 dt_s);
    void apply_changes(f32 dt_s);
    void raise(u32 id, ObjectEvent event, u64 peer);
    ReplicationRecord *new_records();

    TraceAllocator _allocator;
    TraceAllocator _object_allocator;
    IConnection &_connection;
    const NetworkGameConfig &_config;
    u64 _own_id;
    NetworkGameSettings _settings;
    u64 _host = 0;
    Array<NetworkPeer> _peers;
    u8 _message[max_datagram_bytes];
    f64 _last_update_s;
    f64 _clock_s = 0;
    GameMessageCallback _messages;
    ObjectEventCallback _objects_callback;
    bool _in_update = false;
    Array<GameObject *> _objects;  // dense; the map below points into it
    Array<u32> _object_index;      // 65536 entries: id -> index in _objects + 1, 0 = none
    Array<u32> _changed;           // object ids waiting to be applied
    Array<u32> _owned;             // owned ids; peer records are parallel to it
    Array<TimeoutReport> _reports;
    Array<PendingEvent> _pending_destroyed;
    struct OwnerCount {
        u64 owner;
        u32 objects;
        bool refused; // a creation over its quota was logged
    };
    Array<OwnerCount> _owner_counts; // every owner of an object here, with its object count
    u32 _id_generator;
    ISynchronizer *_default_synchronizer = nullptr;
    Array<ISynchronizer *> _synchronizers;
    NetworkGameStats _stats;
    u32 _logged_kinds = 0;
};

} // namespace tallow::network
