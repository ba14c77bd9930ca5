#pragma once
// Levels: the "level" resource (the content placed in a level) and the `Level` a World
// makes of it (its flow graph, script data, trigger volumes and timers).
//
//   world.load_level(*resource, script_reference);   // replaces the current level
//   world.level()->trigger_level_loaded();
//   world.update(dt);                                // runs Level::update
//
// The resource is one blob (u32 little-endian words, offsets in bytes from its start):
//
//   header, 18 words: 0 unit count (48-byte unit records follow the header, at byte 72);
//     1 offset of the per-unit script data (0: none): for each unit in record order a u32
//       entry count and that many entries;
//     2 offset of the light overrides (0: none): u32 count, then 48-byte records {u32 unit
//       index, u32 light name id, 40-byte light property block};
//     3, 4 offset and size of the embedded "prototype" unit resource (size 0: none);
//     5 not read; 6 offset of the level flow graph (0: none; world/flow/flow_graph.h; it runs to
//       the first other section the header points to after it, or to the end of the
//       blob); 7 offset of the flow variable defaults (as many bytes as the
//       graph's variable block); 8, 9 trigger volume count and offset: 88-byte records
//       {matrix pose, f32 box x, y, z, u32 flow node index, u32 actor template id, u32 shape
//       template id}; 10, 11 count and offset of the flow unit bindings {u32 unit index,
//       u32 flow node index, u32 flag}; 12 offset of the navigation mesh block (0: none; its
//       layout and checks are the AI layer's, ai/nav_mesh.h); 13 offset of the level's script data
//       (0: none): u32 entry count and entries; 14, 15 count and offset of the particle
//       effect records, 40 bytes {u64 effect name, f32 position x, y, z, f32 rotation
//       quaternion x, y, z, w, u32 not read}; 16, 17 spline count and offset: {u32 name id,
//       u32 point count, points as three f32}.
//   unit record, 48 bytes: u64 unit name; u64 material name (0: the unit's own); f32
//     position x, y, z; f32 rotation quaternion x, y, z, w; u32 not read.
//   script data entry: u32 path length p (0: an empty entry); p u32 keys (the first p - 1
//     name nested lists of the store, the last is the key); u32 kind; the value: kind 1
//     boolean (u32, stored as one byte 0 or 1), 2 number (4 bytes), 3 string (u32 length
//     n, n bytes, padded to 4).
//
// Rotations need not be of unit length (world/flow/flow.h pose_from_quaternion). Every offset,
// count and index is checked at load: a resource that breaks any is refused with a logged
// reason, as is an unknown script data kind (its value size is unknown, so nothing after
// it could be read).

#include "foundation/containers/array.h"
#include "foundation/io/chunk_store.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/strings/name_id.h"
#include "resource/resource_manager.h"
#include "world/flow/flow.h"
#include "world/flow/timed_events.h"

namespace tallow {

class IFlowScript;
class UnitResource;
class World;
struct PhysicsActor;

constexpr NameId64 level_type("level");
constexpr u32 level_header_words = 18;
constexpr u32 level_unit_record_size = 48;
constexpr u32 level_light_record_size = 48;
constexpr u32 level_trigger_record_size = 88;
constexpr u32 level_binding_record_size = 12;
constexpr u32 level_particle_record_size = 40;
/// The level event sent once a level has spawned its content.
constexpr u32 level_loaded_event = NameId32("level_loaded").value();

class LevelResource {
  public:
    explicit LevelResource(Allocator &allocator) : blob(allocator) {}
    Array<u8> blob;
    UnitResource *prototype = nullptr;
    NameId64 name;
    u32 graph_size = 0; // 0: no flow graph
    u32 variable_block_size = 0;
    /// The navigation mesh read from the block at header word 12 by the installed reader
    /// (null: none, or no reader installed). Owned by the resource.
    void *navigation_mesh = nullptr;

    u32 word(u32 offset) const;
    u32 header(u32 i) const { return word(4 * i); }
    const u8 *at(u32 offset) const { return blob.data() + offset; }
    /// The points of the spline `name_id`, or null with `out_count` 0.
    const Vector3 *find_spline(u32 name_id, u32 &out_count) const;
};

/// How a level resource reads its navigation mesh block: the AI layer, which stands above
/// worlds, installs it (ai/nav_mesh.h install_level_nav_mesh_reader). `read` gets the block
/// and the bytes up to the end of the blob and returns null (logged) for a malformed block,
/// which refuses the level. Without a reader the block is skipped (logged once).
struct LevelNavMeshReader {
    void *(*read)(const void *block, u64 size, Allocator &allocator) = nullptr;
    void (*destroy)(void *mesh, Allocator &allocator) = nullptr;
};
/// Installs the reader (before level resources load; later reads use it).
void set_level_nav_mesh_reader(const LevelNavMeshReader &reader);

/// Reads and checks a level blob (see the header comment); null, logged, when it is bad.
LevelResource *read_level_resource(const void *data, u64 size, Allocator &allocator, NameId64 name = {});
void destroy_level_resource(LevelResource *resource, Allocator &allocator);
ResourceTypeCallbacks level_resource_callbacks();

class Level {
  public:
    /// Use World::load_level. A level made from the resource manager's "level" resource
    /// holds a reference on it while it lives, and so does its prototype unit, which
    /// points into it: unloading the level's package frees neither under them.
    Level(World &world, const LevelResource &resource, IFlowScript *script, i32 script_reference);
    ~Level();
    Level(const Level &) = delete;
    Level &operator=(const Level &) = delete;

    /// Spawns the level's units, script data, light overrides, prototype, flow bindings,
    /// trigger volumes and particle effects, in that order (once, after construction).
    void spawn_units();
    void trigger_level_loaded() { trigger_event(level_loaded_event, 0); }
    /// The level flow event; when `unit` is bound to a node, the node gets it first.
    void trigger_event(u32 event_id, UnitHandle unit);
    /// Input `target` (node low, input high) of the level graph.
    void trigger_flow_input(u32 target);
    /// Queues the delays flow runs asked for, advances the level time and fires the timers
    /// that are due (strictly before the new time).
    void update(f32 dt);

    const LevelResource &resource() const { return _resource; }
    World &world() { return _world; }
    ChunkStore &data() { return _data; }
    Array<u8> &flow_variables() { return _variables; }
    const Array<PhysicsActor *> &trigger_volumes() const { return _trigger_actors; }
    f32 time() const { return _time; }
    u32 timer_count() const { return _timers.size() + _pending.size(); }
    /// The node a unit is bound to, or 0xFFFFFFFF.
    u32 bound_node(UnitHandle unit) const;
    /// A number no other level of the program has had; end callbacks name levels by it.
    u32 serial() const { return _serial; }
    /// Set when the World has replaced the level while one of its runs was on the stack.
    void retire() { _retired = true; }
    bool retired() const { return _retired; }

  private:
    template <typename F> void run(F &&body);
    bool context(FlowContext &c);

    const LevelResource &_resource;
    World &_world;
    ChunkStore _data;
    Array<PhysicsActor *> _trigger_actors;
    Array<u8> _variables;
    IFlowScript *_script;
    i32 _script_reference;
    f32 _time = 0;
    Array<TimedEvent> _timers;  // min-heap on due time; handle unused
    Array<TimedDelay> _pending; // delays asked for by flow runs
    struct Binding {
        UnitHandle unit;
        u32 node;
    };
    Array<Binding> _bindings;
    u32 _serial;
    bool _retired = false;
    ResourceHold _held; // the manager's "level" resource this level was made from
};

/// The live level of that serial, or null.
Level *level_by_serial(u32 serial);
/// Whether `level` is a Level that exists now (scripts may hold one that has gone).
bool is_live_level(const Level *level);

/// Writes script data entries from the blob at `offset` into `store`; returns the offset
/// after them (entries were checked at load).
u32 apply_level_script_data(const LevelResource &resource, u32 offset, ChunkStore &store);

} // namespace tallow
