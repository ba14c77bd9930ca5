#pragma once
// The physics keys of a unit source (tools/world/unit_compiler.h): shape sizes, joints and
// movers. Numbers are written as f32 words, the way the physics world reads them.
//
// Shape `parameters` (numbers): kind 0 (sphere) [radius]; kind 1 (box) [half x, half y,
// half z]; kind 2 (capsule) [radius, height]; kinds 3 and 4 none.
//
// A joint (world/units/physics_records.h has the template each key fills):
//
//   joints = [ { name = "hinge" actors = ["frame" "leaf"] create = true
//                kind = "revolute"      // spherical, revolute, prismatic, cylindrical,
//                                       // fixed (default), distance, point_in_plane,
//                                       // point_on_line
//                anchor = [0.5 0 1]     // in the unit: each actor's anchor comes from it
//                axis = [0 0 1]         // in the unit: each actor's axis (and normal)
//                // or, per actor in its own frame (a world side: in the unit):
//                local_anchors = [[0 0 0] [0 0 0]] local_axes = [[1 0 0] [1 0 0]]
//                local_normals = [[0 1 0] [0 1 0]]
//                max_force = 1000 max_torque = 1000   // breaks above either (default never)
//                limit = [-0.5 0.5]     // revolute angle; spherical twist (radians)
//                swing_limit = 0.7      // spherical
//                swing_axis = [0 0 1]   // spherical
//                motor = [velocity max_force]            // revolute
//                spring = [spring damper target]        // revolute; spherical twist; distance
//                swing_spring = [...] joint_spring = [...] // spherical
//                distance = [min max]   // distance joint
//              } ]
//
// A mover (only the first is used by units):
//
//   movers = [ { height = 1.8 radius = 0.4 collision_filter = "all" slope_limit = 0.707
//                step_offset = 0.5 shape_hit_target = -1 mover_hit_target = -1 } ]
//
// Tool code: single-threaded.

#include "foundation/types.h"
#include "world/units/physics_records.h"

#include <string>
#include <vector>

namespace tallow {

class ConfigValue;

/// The `parameters` of a shape of `kind` as f32 words; false with `out_error` set.
bool compile_shape_parameters(const ConfigValue &shape, u32 kind, std::vector<u32> &out_words,
                              const std::string &where, std::string &out_error);

/// The joint template of one joint source (its actor names are checked by the caller);
/// false with `out_error` set.
bool compile_joint_source(const ConfigValue &joint, JointTemplate &out, u8 &out_create, const std::string &where,
                          std::string &out_error);

/// The mover template of one mover source; false with `out_error` set.
bool compile_mover_source(const ConfigValue &mover, MoverTemplate &out, const std::string &where,
                          std::string &out_error);

} // namespace tallow
