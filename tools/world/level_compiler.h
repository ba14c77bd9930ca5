#pragma once
// Compiles a level source file (config text) into "level" resource bytes (world/levels/level.h)
// with the writer the tests use (tests/support/writers/level_writer.h). Used by tallow_build_data
// for every "<name>.level" a package lists.
//
// Source layout (every key optional):
//
//   units = [
//       { name = "gate" unit = "units/door" material = "" position = [0 0 0]
//         rotation = [0 0 0 1]                // quaternion
//         data = { locked = true code = 7 owner = "guard" }   // script data: bool, number, text
//         bind = "door_node" map = true }     // level flow node that receives this unit;
//   ]                                         // map: level events of this unit reach it too
//   data = { mode = "arena" }                 // the level's own script data
//   lights = [ { unit = "lamp" light = "bulb" properties = [10 numbers] } ]
//   triggers = [ { node = "area" position = [0 0 0] rotation = [0 0 0 1] box = [1 1 1]
//                  actor_template = "trigger" shape_template = "default" } ]
//       // enter is input 0 of the node, leave input 1
//   particles = [ { effect = "effects/fog" position = [0 0 0] rotation = [0 0 0 1] } ]
//   splines = [ { name = "path" points = [ [0 0 0] [1 0 0] ] } ]
//   flow = { ... }                            // the level flow graph: tools/world/flow_compiler.h
//   navigation_mesh = { vertices = [...] polygons = [...] }   // tools/ai/nav_mesh_compiler.h
//
// Units are named by `name` for lights and bindings; unit, material, effect names hash
// to 64-bit name ids, the others to 32-bit ones. The embedded prototype unit is not
// written from source.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

/// Compiles `size` bytes of level source; false with `out_error` set on a bad source
/// ("<line>: <what>: <why>", the line when the name it gives is found). A key the layout
/// does not have and a value the config text parser could not read are errors. When
/// `out_unit_names` is given, every unit resource the level places or its flow spawns is
/// appended to it (the build checks that a source defines each).
bool compile_level_source(const char *text, u64 size, std::vector<u8> &out_bytes, std::string &out_error,
                          std::vector<std::string> *out_unit_names = nullptr);

} // namespace tallow
