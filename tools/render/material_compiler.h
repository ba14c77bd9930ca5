#pragma once
// The material compiler: turns a material source (config text) into "material" resource
// bytes (render/materials/material_resource.h).
//
// Source layout: one member per material, its key the material's name:
//
//   crate = {
//       shader = "mesh_standard"                      // the shader template (required)
//       textures = { diffuse_map = "textures/crate" } // texture channel = "texture" resource
//       values = { roughness = 0.5  tint = [1 0.8 0.6]  uv_scale = [2 2] }
//   }
//
// A value is a number (scalar) or an array of 2 or 3 numbers (vector2, vector3). Anything
// else is an error reported with its line: an unknown key, a material that is not an object
// or has no shader, a texture that is not a name, a value of another shape.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

/// Compiles a source; false with `error` ("<line>: <what>" where a line is known).
bool compile_material_source(const char *text, u64 size_bytes, std::vector<u8> &out, std::string &error);

} // namespace tallow
