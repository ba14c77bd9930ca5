#pragma once
// The shading environment compiler: turns a shading environment source (config text) into
// "shading_environment" resource bytes (render/world/render_shading_environment.h).
//
// Source layout:
//
//   material = "shading_environments/default"   // the "material" resource the bindings drive (optional)
//   variables = [                                 // in block order; each one's value follows the last
//       { name = "sun_color" type = "vector3" }   // type "scalar", "vector2" or "vector3"
//       { name = "fog" type = "scalar" count = 2 render = false }
//   ]
//   settings = {                                  // named blocks of values; "default" is what
//       default = { sun_color = [1 0.95 0.9] fog = [10 200] }   // ShadingEnvironment.update takes
//       dusk = { sun_color = [0.9 0.5 0.3] }      // a variable a setting leaves out is 0
//   }
//   bindings = [ { material = "sky" parameter = "tint" variable = "sun_color" } ]
//
// "count" (default 1) makes a variable an array: its value then lists count x components
// numbers. Every variable is sent to the render side under its own name (shaders read it by
// that name) unless it says render = false. A binding copies a scalar, vector2 or vector3
// variable into the parameter of the material of that name, before each render.
//
// Anything else is an error reported with its line: an unknown key, a variable without a
// name or with an unknown type, a count that is not a positive integer, two variables of one
// name, a setting value for no variable or of another shape, a binding to no variable or of
// an array, or a binding without a material resource.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

/// Compiles a source; false with `error` ("<line>: <what>" where a line is known).
bool compile_shading_environment_source(const char *text, u64 size_bytes, std::vector<u8> &out, std::string &error);

} // namespace tallow
