#pragma once
// Builds "unit" resource bytes from readable values. The tests, the fuzz seeds, the
// benchmarks and the unit compiler (tools/compile_unit) all write units through it.
//
//   test::UnitSource unit;                       // every section empty
//   u32 root = unit.add_node("root", matrix4x4_identity, test::no_parent);
//   unit.add_node("arm", offset, root);
//   unit.meshes.push_back({NameId32("body").value(), root, {0, 0}, 1});
//   std::vector<u8> bytes = test::write_unit_resource(unit);
//
// The byte layout is the one `world/units/unit_resource.h` documents. Fields hold raw values, so
// a test can also write what the reader must refuse (bad indices, wrong counts).

#include "foundation/math/matrix4x4.h"
#include "foundation/types.h"
#include "world/units/physics_records.h"

#include <string>
#include <vector>

namespace tallow::test {

constexpr u32 no_parent = 0xFFFFFFFFu;

struct UnitSourceBox {
    f32 min[3] = {};
    f32 max[3] = {};
    u32 word = 0;
};

struct UnitSourceIdString {
    u32 id = 0;
    std::string text;
};

struct UnitSourceGeometry {
    std::vector<u8> first_block;
    u32 pairs[4] = {};
    u32 words[3] = {};
    u32 word = 0;
    std::vector<u8> second_block;
    std::vector<u32> entries; // 4 words per entry
    UnitSourceBox box;
    std::vector<UnitSourceIdString> names;
};

struct UnitSourceSkin {
    std::vector<u32> words;
    std::vector<std::vector<u32>> lists;
};

struct UnitSourceSimpleAnimation {
    u32 name_id = 0;
    std::vector<u32> nodes;
};

struct UnitSourceNode {
    Matrix4x4 local = matrix4x4_identity;
    Matrix4x4 world = matrix4x4_identity;
    u32 parent = no_parent;
    u32 name_id = 0;
};

struct UnitSourceMesh {
    u32 name_id = 0;
    u32 node = 0;
    u32 words[2] = {};
    u32 flags = 1;
};

struct UnitSourceShape {
    u32 kind = 0;
    u32 material = 0;
    u32 shape_template = 0;
    Matrix4x4 pose = matrix4x4_identity;
    std::vector<u8> mesh_data;
    std::vector<u32> parameters; // as many as the kind takes: 1, 3, 2, 0, 0
};

struct UnitSourceActor {
    u32 name_id = 0;
    u32 actor_template = 0;
    u32 node = 0;
    Matrix4x4 pose = matrix4x4_identity;
    std::vector<UnitSourceShape> shapes;
    u32 flow_targets[5] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
    u8 create = 1;
};

struct UnitSourceCamera {
    u32 name_id = 0;
    u32 node = 0;
    u32 settings[3] = {};
};

struct UnitSourceLight {
    u32 name_id = 0;
    u32 node = 0;
    u32 settings[9] = {};
};

struct UnitSourceLodEntry {
    u32 words[2] = {};
    std::vector<u32> list;
};

struct UnitSourceLod {
    u32 word = 0;
    std::vector<UnitSourceLodEntry> entries;
    UnitSourceBox box;
    u32 last_word = 0;
};

struct UnitSourceJoint {
    u8 create = 1;
    JointTemplate joint; // world/units/physics_records.h; words 0, 2, 3: name id, actor names
};

struct UnitSourceNamedStrings {
    u32 name_id = 0;
    std::vector<std::string> strings;
};

struct UnitSourceVisibilityGroup {
    u32 name_id = 0;
    std::vector<u32> members;
};

/// Everything a unit resource holds, in stream order. Defaults give a valid unit with no
/// nodes and every list empty.
struct UnitSource {
    u32 header = 0;
    std::vector<UnitSourceGeometry> geometries;
    std::vector<UnitSourceSkin> skins;
    std::vector<u8> simple_animation_data;
    std::vector<UnitSourceSimpleAnimation> simple_animations;
    std::vector<UnitSourceNode> nodes;
    std::vector<u32> node_references; // pairs {word, node}
    std::vector<UnitSourceMesh> meshes;
    std::vector<UnitSourceActor> actors;
    std::vector<UnitSourceCamera> cameras;
    std::vector<UnitSourceLight> lights;
    std::vector<UnitSourceLod> lod_objects;
    std::vector<UnitSourceJoint> joints;
    std::vector<MoverTemplate> movers;
    std::vector<u32> collision_pairs;     // pairs of actor indices
    std::vector<UnitSourceNamedStrings> named_strings;
    u8 animated = 0;
    std::string state_machine;
    std::vector<u8> data_defaults;
    std::vector<UnitSourceVisibilityGroup> visibility_groups;
    std::vector<u8> flow_graph;
    std::vector<u8> flow_variable_defaults;

    /// Appends a node whose world matrix is its local matrix times its parent's world
    /// matrix; returns its index.
    u32 add_node(const char *name, const Matrix4x4 &local, u32 parent);
};

/// Where each section starts in the bytes `write_unit_resource` produced.
struct UnitSectionOffsets {
    std::vector<std::pair<std::string, u32>> sections; // name and byte offset, in order
};

/// The resource bytes of `unit`; `out_offsets` (when given) receives the section starts.
std::vector<u8> write_unit_resource(const UnitSource &unit, UnitSectionOffsets *out_offsets = nullptr);

} // namespace tallow::test
