#pragma once
// Compiles a physics properties source file (config text) into "physics_properties"
// resource bytes (physics/physics_properties.h) with the writer the tests use
// (tests/support/writers/physics_properties_writer.h). Used by tallow_build_data for every
// "<name>.physics_properties" a package lists.
//
// Source layout (every key optional; names are hashed to 32-bit name ids and must be
// unique within their table):
//
//   materials = [ { name = "wood" values = [0 0.5 0.1 0.6 0 0] } ]
//       // six numbers: [1] static friction, [2] restitution, [3] dynamic friction and density
//   shape_templates = [ { name = "default" flags = 0 belongs_to = [0] collides_with = [0 1] } ]
//       // flags: a number (the bits) or a list of names: 1 "no_collision", 2 "no_raycasts",
//       // 4 "no_response", 8 "no_scene_queries", 16 "smooth_mesh_contacts",
//       // 32 "continuous_collision", 64 "trigger" (e.g. flags = ["trigger"]);
//       // belongs_to / collides_with: the group numbers (0 to 63) whose bits are set
//   actor_templates = [ { name = "crate" flags = 1 mass = 10 inertia_ratio = 0
//                         inertia = [0 0 0] linear_damping = 0 angular_damping = 0.05 } ]
//       // flags: a number or a list of names: 1 "dynamic", 2 "kinematic", 4 "no_collision",
//       // 8 "no_response", 16 "cone_friction", 32 "no_gravity", 64 "filter_sleep_velocity",
//       // 128 "energy_sleep_test" (e.g. flags = ["dynamic" "kinematic"])
//   collision_filters = [ { name = "all" belongs_to = [0] collides_with = [0 1 2] } ]
//
// A key the layout does not have, a value of the wrong kind, a group number outside 0-63
// or a repeated name fails the compile with a message naming the entry.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

bool compile_physics_properties_source(const char *text, u64 size, std::vector<u8> &out, std::string &error);

} // namespace tallow
