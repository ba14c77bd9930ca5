#pragma once
// Compiles shader library sources (config text) into "shader_library" resource bytes
// (render/shaders/shader_library.h), and group sources into "shader_library_group" bytes,
// with the writer the tests use (tests/support/writers/shader_library_writer.h). Used by
// tallow_build_data for every "<name>.shader_library" and "<name>.shader_library_group" a
// package lists.
//
// Library source layout:
//
//   shaders = {
//       mesh = {
//           constants = [                          // constant buffer 0, laid out in order
//               { name = "world_view_proj" type = "matrix4x4" }
//               { name = "tint" type = "vector3" }
//               { name = "weights" type = "scalar" count = 4 }
//           ]
//           resources = [ "diffuse_map" ]          // textures and targets bound by name
//           high_pass = false                      // true: pass numbers in key bits 52-54
//           options = 0                            // kept as it is
//           passes = [                             // at most 7
//               { layer = "opaque"                 // a layer name of the layer configs ("" none)
//                 states = [ [1 2 0 0] ]           // render states [id first value last]
//                 samplers = { diffuse_map = [ [10 2 1 0] ] }   // sampler states by name
//                 vertex = "...stage code..."      // also hull, domain, geometry, pixel, compute
//                 pixel = "...stage code..." }
//           ]
//       }
//   }
//   templates = {
//       mesh = {                                   // template name
//           default = [                            // slot name, then its options in order
//               { shader = "mesh_deferred" when = { deferred = true } }   // "when": render caps
//               { shader = "mesh" }                // no "when": always matches
//           ]
//           shadow = [ { shader = "mesh_shadow" } ]
//       }
//   }
//
// Types: "scalar", "vector2", "vector3", "matrix4x4", "int", "int2", "int3", "int4x4".
// Stage code is passed on as it is (for this engine, shader source text for the OpenGL
// backend). Every stage with code binds constant buffer 0, every resource in order and
// every sampler of its pass in order. Samplers are written in name order.
//
// Group source layout:
//
//   libraries = [ "shaders/sample" ]              // "shader_library" resource names

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

/// Compiles `size` bytes of library source; false with `out_error` set on a bad source.
bool compile_shader_library_source(const char *text, u64 size, std::vector<u8> &out_bytes, std::string &out_error);
/// Compiles a group source.
bool compile_shader_library_group_source(const char *text, u64 size, std::vector<u8> &out_bytes,
                                         std::string &out_error);

} // namespace tallow
