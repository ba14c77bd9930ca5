#pragma once
// The "unit" resource: the compiled description of a unit (scene graph, render records,
// physics templates, visibility groups, flow graph and data defaults) that units are
// spawned from.
//
//   manager.register_type(unit_type, unit_resource_callbacks());      // once
//   auto *resource = static_cast<const UnitResource *>(manager.get(unit_type, name));
//   for (const UnitMesh &mesh : resource->meshes) ...
//   const u8 *blob = resource->bytes(resource->flow_graph);
//
// File layout: a little-endian stream read front to back, no offsets. u32/f32 are 4
// bytes, u8 one byte; a list is a u32 count and that many entries; a blob is a u32 byte
// count and the bytes; a string is a u32 length and the characters; a matrix is 16 f32
// row by row; a u32 list is a list of u32.
//   1  u32 header word (not checked)
//   2  mesh geometries: list of {blob; 4 u32; 3 u32; u32; blob; list of 4 u32;
//      box (3 f32 min, 3 f32 max, u32); list of {u32 id, string}}
//   3  skins: list of {u32 list; list of u32 lists}
//   4  simple-animation data: blob
//   5  simple animations: list of {u32 name id, u32 list of node indices}, ascending ids
//   6  scene graph: u32 n; n local matrices; n world matrices; n u32 parents (0xFFFFFFFF
//      for a root); n u32 node name ids
//   7  node references: list of {u32 word, u32 node index}
//   8  meshes: list of {u32 name id, u32 node index, 2 u32, u32 flags}
//   9  actor templates: list of {u32 name id, u32 template id, u32 node index; matrix;
//      list of shapes; 5 u32 flow targets; u8 create flag}; a shape is {u32 kind (0-4),
//      u32 material, u32 template, matrix, blob mesh data, kind parameters: kind 0 one
//      u32, kind 1 three, kind 2 two, kinds 3 and 4 none}
//   10 cameras: list of {u32 name id, u32 node index, 3 u32}
//   11 lights: list of {u32 name id, u32 node index, 9 u32}
//   12 LOD objects: list of {u32; list of {u32, u32, u32 list}; box; u32}
//   13 joint templates: list of {u8 create; 47 words: the joint template of
//      world/units/physics_records.h (name id, actor names, frames, limits, kind, parameters)}
//   14 movers: list of 7 words: the mover template of world/units/physics_records.h
//   15 collision pairs: list of {u32 actor index, u32 actor index}
//   16 named strings: list of {u32 name id, list of strings}
//   17 u8 animated flag
//   18 string: state machine name ("" for none)
//   19 data defaults: blob (chunk store bytes, foundation/io/chunk_store.h; empty or
//      under 8 bytes: an empty store)
//   20 visibility groups: list of {u32 name id, u32 list of mesh indices}
//   21 flow graph: blob (empty without flow)
//   22 flow variable defaults: blob
//
// Meaning we give to words the stream leaves open: bit 0 and bit 1 of the low byte of a
// mesh's flags word ask for a render-side mesh (world/units/unit_render_objects.h gives the rest of
// the geometry, skin, mesh, camera, light and LOD words); a joint actor name of 0 means
// "anchored in the world". A joint's actor
// names are resolved when the joint is created, not here: a name the unit has no actor
// for leaves that joint uncreated (logged), not the unit unloaded.
//
// Reading is bounded and every count is checked against the bytes left before anything is
// allocated; then a validation pass checks every index (parents before children, nodes,
// actors and meshes in range, at most `max_unit_nodes` nodes, shape kinds, sorted
// animation ids, flow defaults matching the flow graph's variable block, data defaults that
// are a sound store of stored values). A resource that fails either is logged and does not
// load.
//
// Data defaults are what every unit's script data store starts from, so each list is walked
// the way the store will walk it: every link lands inside the bytes or ends the list, no
// list loops, groups nest at most 64 deep, and every value is one of the kinds below with
// at least the bytes its kind is read as. Values that only live inside a running program
// (a light-userdata pointer, a script table or function reference) are refused: a file
// that carried one would hand the script or the unit's release an address it chose. Blobs and strings are kept as ranges into the
// resource's own copy of the bytes, resolved on access.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/strings/name_id.h"
#include "foundation/types.h"
#include "render/world/node_change_mask.h"
#include "world/units/physics_records.h"

namespace tallow {

struct ResourceTypeCallbacks;

constexpr NameId64 unit_type("unit");

/// Nodes a unit may have: a scene graph's 64-byte change mask tracks nodes 0 to 503.
constexpr u32 max_unit_nodes = max_scene_graph_nodes;
constexpr u32 unit_no_parent = 0xFFFFFFFFu;
constexpr u32 unit_no_flow_target = 0xFFFFFFFFu;

/// Kinds of the values a script data store keeps (script/runtime/script_data_store.h names what
/// each holds); a group is a chunk of kind ChunkStore::nested_list.
namespace data_store_kind {
constexpr u32 boolean = 1;          // 1 byte
constexpr u32 number = 2;           // f32
constexpr u32 string = 3;           // the characters and a zero
constexpr u32 vector3 = 100;        // 3 f32
constexpr u32 quaternion = 101;     // 4 f32
constexpr u32 matrix4x4 = 102;      // 16 f32
constexpr u32 unit = 103;           // u32 unit handle
constexpr u32 pointer = 104;        // an address of this process; never in compiled data
constexpr u32 script_reference = 105; // a Lua state and registry reference; never in compiled data
} // namespace data_store_kind

/// Bytes of the resource's stream: offset and size.
struct UnitBytes {
    u32 offset = 0;
    u32 size = 0;
};

/// A u32 list inside the stream: offset of its first word and the word count.
struct UnitWords {
    u32 offset = 0;
    u32 count = 0;
};

/// A range of entries in one of the resource's shared pools.
struct UnitRange {
    u32 first = 0;
    u32 count = 0;
};

struct UnitBox {
    f32 min[3] = {};
    f32 max[3] = {};
    u32 word = 0;
};

struct UnitIdString {
    u32 id = 0;
    UnitBytes text;
};

struct UnitMeshGeometry {
    UnitBytes first_block;
    u32 pairs[4] = {};
    u32 words[3] = {};
    u32 word = 0;
    UnitBytes second_block;
    UnitBytes entries; // count x 16 bytes {u32, u32, u32, u32}
    UnitBox box;
    UnitRange names; // in UnitResource::id_strings
};

struct UnitSkin {
    UnitWords words;
    UnitRange lists; // in UnitResource::word_lists
};

struct UnitSimpleAnimation {
    u32 name_id = 0; // NameId32; 0 is the unnamed group
    UnitWords nodes;
};

struct UnitNodeReference {
    u32 word = 0;
    u32 node = 0;
};

struct UnitMesh {
    u32 name_id = 0;
    u32 node = 0;
    u32 words[2] = {};
    u32 flags = 0; // bits 0 and 1 of the low byte: create the mesh in the render world
};

struct UnitShape {
    u32 kind = 0; // 0 to 4; 3 and 4 carry mesh data
    u32 material = 0;
    u32 shape_template = 0;
    Matrix4x4 pose = matrix4x4_identity; // in the actor
    UnitBytes mesh_data;
    u32 parameters[3] = {};
    u32 parameter_count = 0; // 1, 3, 2, 0, 0 by kind
};

struct UnitActorTemplate {
    u32 name_id = 0;
    u32 actor_template = 0;
    u32 node = 0;
    Matrix4x4 pose = matrix4x4_identity; // relative to the node
    UnitRange shapes;                    // in UnitResource::shapes
    u32 flow_targets[5] = {unit_no_flow_target, unit_no_flow_target, unit_no_flow_target, unit_no_flow_target,
                           unit_no_flow_target}; // touch begin/end, trigger enter/leave/stay
    u8 create = 1;
};

struct UnitCamera {
    u32 name_id = 0;
    u32 node = 0;
    u32 settings[3] = {};
};

struct UnitLight {
    u32 name_id = 0;
    u32 node = 0;
    u32 settings[9] = {};
};

struct UnitLodEntry {
    u32 words[2] = {};
    UnitWords list;
};

struct UnitLodObject {
    u32 word = 0;
    UnitRange entries; // in UnitResource::lod_entries
    UnitBox box;
    u32 last_word = 0;
};

struct UnitJointTemplate {
    u8 create = 0;
    JointTemplate joint; // world/units/physics_records.h: name id, actor names, frames, kind, limits

    u32 name_id() const { return joint.name_id(); }
    /// NameId32 of actor template k (0 or 1); 0 anchors that side in the world.
    u32 actor_name(u32 k) const { return joint.actor_name(k); }
};

struct UnitMover {
    MoverTemplate mover; // world/units/physics_records.h
};

struct UnitCollisionPair {
    u32 actors[2] = {};
};

struct UnitNamedStrings {
    u32 name_id = 0;
    UnitRange strings; // in UnitResource::strings
};

struct UnitVisibilityGroup {
    u32 name_id = 0;
    UnitWords members; // mesh indices
};

/// A loaded unit resource. Built by `read_unit_resource`; all arrays and the byte copy
/// come from the allocator it was given. Read-only once loaded; safe to read from any
/// thread.
class UnitResource {
  public:
    explicit UnitResource(Allocator &allocator);

    NameId64 name;
    u32 header = 0;
    Array<UnitMeshGeometry> geometries;
    Array<UnitSkin> skins;
    UnitBytes simple_animation_data;
    Array<UnitSimpleAnimation> simple_animations;
    u32 node_count = 0;
    Array<Matrix4x4> local_matrices;
    Array<Matrix4x4> world_matrices;
    Array<u32> parents;
    Array<u32> node_names;
    Array<UnitNodeReference> node_references;
    Array<UnitMesh> meshes;
    Array<UnitActorTemplate> actors;
    Array<UnitCamera> cameras;
    Array<UnitLight> lights;
    Array<UnitLodObject> lod_objects;
    Array<UnitJointTemplate> joints;
    Array<UnitMover> movers;
    Array<UnitCollisionPair> collision_pairs;
    Array<UnitNamedStrings> named_strings;
    u8 animated = 0;
    UnitBytes state_machine;
    UnitBytes data_defaults;
    Array<UnitVisibilityGroup> visibility_groups;
    UnitBytes flow_graph;
    UnitBytes flow_variable_defaults;

    // Shared pools the records above point into.
    Array<UnitIdString> id_strings;
    Array<UnitWords> word_lists;
    Array<UnitShape> shapes;
    Array<UnitLodEntry> lod_entries;
    Array<UnitBytes> strings;

    /// The stream the ranges point into.
    Array<u8> stream;

    const u8 *bytes(UnitBytes range) const { return stream.data() + range.offset; }
    /// Word `i` of a u32 list (the caller keeps `i` below `list.count`).
    u32 word(UnitWords list, u32 i) const;
    /// The simple animation of that name, or null (binary search).
    const UnitSimpleAnimation *find_simple_animation(u32 name_id) const;
    bool has_flow() const { return flow_graph.size != 0; }
    bool has_simple_animations() const { return simple_animation_data.size != 0; }
};

/// What the flow system checks of a unit's flow graph at load. The flow graph reader
/// installs one; without it a graph is accepted as opaque bytes whose variable block is
/// as large as the defaults blob.
struct UnitFlowValidator {
    void *context = nullptr;
    /// True when the graph is sound; `out_variable_block_size` receives its variable
    /// block size in bytes.
    bool (*validate)(void *context, const u8 *graph, u32 size, u32 &out_variable_block_size) = nullptr;
};
/// Installs the flow validator (main thread, before any unit loads).
void set_unit_flow_validator(const UnitFlowValidator &validator);

/// Reads and validates a unit resource from `size` bytes. Returns null (logged, naming the
/// section) on any truncation, oversized count or bad index. Free with
/// `destroy_unit_resource`. Any thread.
UnitResource *read_unit_resource(const void *data, u64 size, Allocator &allocator, NameId64 name = {});
void destroy_unit_resource(UnitResource *resource, Allocator &allocator);

/// Checks the cross references of a read resource; false with a logged reason.
bool validate_unit_resource(const UnitResource &resource);
/// Checks `size` bytes of data defaults as described above; false with the reason in
/// `out_reason` (a static string).
bool validate_unit_data_defaults(const u8 *bytes, u32 size, const char *&out_reason);

/// The "unit" type's load and unload callbacks.
ResourceTypeCallbacks unit_resource_callbacks();

} // namespace tallow
