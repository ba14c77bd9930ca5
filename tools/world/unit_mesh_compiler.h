#pragma once
// The mesh and LOD parts of unit sources (tools/world/unit_compiler.h), compiled into geometry,
// skin and LOD records in the meaning world/units/unit_render_objects.h gives them.
//
// A mesh entry of "meshes" takes, besides name, node, flags and words, either a box:
//   { name = "body" node = "root" box = [0.5 0.5 0.25] material = "crate" }
//       // half extents; 24 vertices of position and texture coordinate, one batch
// or its geometry:
//   { name = "body" node = "root" geometry = {
//       channels = [ "position" "texcoord" ]   // position, normal, tangent, binormal (3
//                                              // floats), texcoord (2), color, blend_weights
//                                              // (4 floats), blend_indices (4 integers)
//       vertices = [ 0 0 0 0 0  1 0 0 1 0 ... ] // every vertex's channels in order
//       indices = [ 0 1 2 ... ]                 // 16-bit unless index_size = 4
//       materials = [ "crate" ]                 // the material slots (names in the unit's
//                                               // "material" resource)
//       batches = [ { start = 0 triangles = 1 material = "crate" bones = 0 } ]
//           // bones: index of a bone list; without it the batch gets no bones
//       bounds = { min = [..] max = [..] }      // default: the positions' bounds
//       bones = [ { node = "arm" inverse_bind = [16 numbers] } ]  // default: the identity
//       bone_lists = [ [0 1] ]                  // bone indices each batch list sends
//   } }
// A LOD entry of "lods":
//   lods = [ { node = "root" bounds = { min = [..] max = [..] } mask = 1
//              steps = [ { upper = 1 lower = 0.1 meshes = ["near"] }
//                        { upper = 0.1 lower = 0 meshes = ["far"] } ] } ]
//   // meshes a LOD draws usually carry flags = 9 (main set, no record of their own)
//
// Tool code: single-threaded.

#include "tests/support/writers/unit_resource_writer.h"

#include <string>
#include <vector>

namespace tallow {

class ConfigValue;

/// Keys a mesh entry may hold beyond name, node, flags and words.
constexpr const char *unit_mesh_extra_keys[] = {"box", "material", "geometry"};

/// Adds the geometry of mesh entry `source` (when it has "box" or "geometry") to `unit`
/// and points `mesh` at it. False with `out_error` set ("<where>: why").
bool compile_unit_mesh_geometry(const ConfigValue &source, const std::vector<std::string> &node_names,
                                test::UnitSource &unit, test::UnitSourceMesh &mesh, const std::string &where,
                                std::string &out_error);
/// Compiles the root's "lods" list (absent: nothing). False with `out_error` set.
bool compile_unit_lods(const ConfigValue &root, const std::vector<std::string> &node_names,
                       const std::vector<std::string> &mesh_names, test::UnitSource &unit, std::string &out_error);

} // namespace tallow
