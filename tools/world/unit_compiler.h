#pragma once
// Compiles a unit source file (config text) into "unit" resource bytes, with the same
// writer the tests use (tests/support/writers/unit_resource_writer.h). Used by tallow_build_data
// for every "<name>.unit" a package lists, and by tallow_compile_unit on its own.
//
// Source layout (every key optional; names are hashed to 32-bit name ids; nodes, actors
// and meshes are referred to by name; a pose is `local = [16 numbers]` row by row, or any
// of `position = [x y z]`, `rotation = [x y z w]` (quaternion), `scale = [x y z]`):
//
//   nodes = [                         // in order; a parent must come before its children
//       { name = "root" }             // no parent: a root (the first node must be one)
//       { name = "lid" parent = "root" position = [0 0 1] }
//   ]
//   meshes = [ { name = "body" node = "root" flags = 1 box = [0.5 0.5 0.5] material = "crate" } ]
//       // flags: the visibility mask (bit 0 or 1 set: the mesh is created in the render
//       // world; default 1); its geometry is a box or a "geometry" object, and "lods"
//       // lists LOD objects: tools/world/unit_mesh_compiler.h
//   cameras = [ { name = "eye" node = "lid" near = 0.1 far = 1000 fov = 1.22 } ]
//       // near and far range (m), vertical field of view (radians); left out: the default
//   lights = [ { name = "lamp" node = "lid" type = "omni" color = [1 0.9 0.7] falloff = [0 8]
//                spot_angle = 3.1415 shading = [1 0] } ]
//       // type "omni", "spot" or "directional"; falloff start and end (m); spot angle
//       // (radians); shading: the two words the shading code reads; a key left out takes
//       // the light's default (color 1 1 1, falloff 0 8, shading 1 0, spot_angle 3.1415)
//   actors = [ { name = "body" node = "root" template = "static" create = true  <pose>
//                shapes = [ { kind = "sphere" material = "wood" template = "default"
//                             parameters = [1] <pose> } ] } ]
//       // kind "sphere" [radius], "box" [half extents], "capsule" [radius height],
//       // "triangle_mesh" and "convex_mesh" none (or the numbers 0 to 4); numbers,
//       // written as f32
//       // touch = { begin = "node" end = "node:1" } and trigger = { enter = "node"
//       // leave = "node:1" stay = "node:2" } (all optional): the unit's flow nodes (and
//       // inputs, default 0) the physics world's contact and trigger reports of this actor
//       // run; a "contact_event" node receives the contact (see docs/data_formats.md)
//   joints = [ { name = "hinge" actors = ["body" ""] kind = "revolute" ... } ]   // "" = world
//   movers = [ { height = 1.8 radius = 0.4 collision_filter = "all" } ]
//       // joint and mover keys: tools/world/unit_physics_compiler.h
//   collision_pairs = [ ["body" "lid_actor"] ]
//   simple_animations = [ { name = "open" nodes = ["lid"] } ]   // name "" is the unnamed group
//   simple_animation_data = { tracks = [ ... ] }   // the animation the groups play, in the
//       // layout of tools/animation/animation_compiler.h; track k poses node k of the playing group
//   named_strings = [ { name = "tags" strings = ["door" "wood"] } ]
//   visibility_groups = [ { name = "shell" meshes = ["body"] } ]
//   animated = false
//   state_machine = ""
//
//   flow = { ... }     // the unit's flow graph: tools/world/flow_compiler.h
//
// The older spelling of cameras and lights still works: `settings = [...]`, raw words (3 for
// a camera, 9 for a light; world/units/unit_render_objects.h gives their meaning); named keys
// written beside it replace their words.
// Data defaults are not written from source yet: that section stays empty.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

/// Compiles `size` bytes of unit source into `out_bytes`. False with `out_error` set
/// ("<line>: <what>: <why>", the line when the name it gives is found) when the source is
/// wrong; `out_bytes` is then unusable. A key the layout does not have and a value the
/// config text parser could not read are errors, never skipped. When `out_unit_names` is
/// given, the unit resources the unit's flow spawns are appended to it (the build checks
/// that a source defines each).
bool compile_unit_source(const char *text, u64 size, std::vector<u8> &out_bytes, std::string &out_error,
                         std::vector<std::string> *out_unit_names = nullptr);

} // namespace tallow
