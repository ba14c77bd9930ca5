#pragma once
// Compiles a navigation mesh source (config text) into the block levels carry
// (ai/nav_mesh.h), with the writer the tests use (tests/support/writers/nav_mesh_writer.h). The level
// compiler calls it for a level source's `navigation_mesh` object.
//
// Source layout:
//
//   navigation_mesh = {
//       vertices = [ [0 0 0] [10 0 0] [10 10 0] [0 10 0] [20 0 1] ]   // x y z
//       polygons = [ [0 1 2 3]                 // 3 to 6 vertex indices, counter-clockwise
//                    [1 4 2] ]                 // seen from above (from the side the normal
//   }                                          // of the first three corners points to)
//
// Polygons should be convex. Neighbours (polygons sharing an edge's two vertices) and the box
// tree are computed. A polygon with fewer than 3 or more than 6 corners, an index out of
// range, a coordinate that is not a number, more than 65535 vertices or polygons, or a mesh
// the engine's reader refuses (a zero-length edge, first corners in a line) is an error.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

class ConfigValue;

/// Compiles the object `source` (the keys above); false with `out_error` set ("navigation
/// mesh: <why>", naming the polygon or vertex).
bool compile_nav_mesh(const ConfigValue &source, std::vector<u8> &out_block, std::string &out_error);
/// The same from config text holding the keys at its top level.
bool compile_nav_mesh_source(const char *text, u64 size, std::vector<u8> &out_block, std::string &out_error);

} // namespace tallow
