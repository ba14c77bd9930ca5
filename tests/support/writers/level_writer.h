#pragma once
// Builds "level" resource bytes (world/levels/level.h) from readable values. The world tests, the
// fuzz seeds and the level compiler (tools/world/level_compiler.h) write levels through it.
//
//   test::LevelSource level;
//   level.units.push_back({NameId64("units/crate").value(), 0, {1, 2, 3}, {0, 0, 0, 1}});
//   level.flow_graph = graph.write(); level.flow_defaults = graph.defaults();
//   std::vector<u8> bytes = test::write_level_resource(level);
//
// Fields hold raw values, so a test can write what the reader must refuse.

#include "foundation/math/matrix4x4.h"
#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow::test {

struct LevelSourceUnit {
    u64 name = 0;
    u64 material = 0;
    f32 position[3] = {};
    f32 rotation[4] = {0, 0, 0, 1};
};

/// A script data entry: kind 1 boolean, 2 number, 3 string; other kinds are written with a
/// u32 value.
struct LevelSourceScriptData {
    std::vector<u32> path; // nested list keys, then the key
    u32 kind = 2;
    u32 value = 0;         // booleans and raw words
    f32 number = 0;
    std::string text;
};

struct LevelSourceLight {
    u32 unit = 0;
    u32 light_name = 0;
    u8 properties[40] = {};
};

struct LevelSourceTrigger {
    Matrix4x4 pose = matrix4x4_identity;
    f32 box[3] = {1, 1, 1};
    u32 node = 0;
    u32 actor_template = 0;
    u32 shape_template = 0;
};

struct LevelSourceBinding {
    u32 unit = 0;
    u32 node = 0;
    u32 flag = 1;
};

struct LevelSourceParticles {
    u64 effect = 0;
    f32 position[3] = {};
    f32 rotation[4] = {0, 0, 0, 1};
};

struct LevelSourceSpline {
    u32 name = 0;
    std::vector<f32> points; // three per point
};

struct LevelSource {
    std::vector<LevelSourceUnit> units;
    std::vector<std::vector<LevelSourceScriptData>> unit_script_data; // per unit (may be shorter)
    std::vector<LevelSourceScriptData> level_script_data;
    std::vector<LevelSourceLight> lights;
    std::vector<u8> prototype; // unit resource bytes; empty: none
    std::vector<u8> flow_graph;
    std::vector<u8> flow_defaults;
    bool flow_graph_first = false; // the graph right after the unit records, the other sections after it
    std::vector<LevelSourceTrigger> triggers;
    std::vector<LevelSourceBinding> bindings;
    std::vector<LevelSourceParticles> particles;
    std::vector<LevelSourceSpline> splines;
    std::vector<u8> navigation_mesh; // the block (tests/support/writers/nav_mesh_writer.h); empty: none
};

std::vector<u8> write_level_resource(const LevelSource &level);

} // namespace tallow::test
