#pragma once
// The particle compiler: turns an effect source (config text) into "particles" resource
// bytes (render/particles/particle_effect_resource.h) through the shared writer
// (tests/support/writers/particle_effect_writer.h).
//
// Source layout:
//
//   duration = 3                                   // seconds
//   systems = [
//       {
//           capacity = 256                         // most particles alive at once
//           channels = [ ["age" "float"] ["lifetime" "float"] ["position" "vector"] ["velocity" "vector"] ]
//           position = [0 0 1]                     // optional: the system's offset in the effect
//           spawn = [ ["zero" "age"] ["random_float" "lifetime" 0.5 1.5] ]
//           simulate = [ ["emit_continuous" 50 [[0 1] [1 0]] 0] ["age" "age" "lifetime"] ]
//           emitters = [ {
//               material = "spark"                 // a material of the "material" resource of the same name
//               sort = true  pivot = false  rotation = false  vertex_colour = true
//               stride = 16                        // vertex bytes
//               elements = [ ["position" "float3"] ["color" "ubyte4_norm"] ]
//               output = [ ["vector" "position" 0] ["colour" "age" "lifetime" [[0 1] [1 0]] [[0 255 255 255]] 12 0 "none"] ]
//           } ]
//       }
//   ]
//
// An operator is an array: its name, then its operands in the order the operator table
// gives (particle_compiler.cpp lists each with its operand kinds). An operand is a channel
// name, "none" (no channel), a number, a system index, or a curve: an array of up to 10
// [time value] keys (scalar) or [time x y z] keys (vector). The bursts operator takes an
// array of up to 10 [time count] pairs. Element semantics are position, normal, tangent,
// binormal, texcoord, color, blendindices, blendweights (an optional third item is the
// semantic index); element types float1-4, ubyte4_norm, short2, short4, int1-4.
//
// Anything the compiler does not understand is an error with its line: an unknown key,
// operator, channel, element or type, an operand count that does not match. The compiled
// bytes are then read back through the engine's reader, so a source the engine would refuse
// (a write past the stride, a target system past the count) fails the build too.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

/// Compiles a source; false with `error` ("<line>: <what>" where a line is known).
bool compile_particle_source(const char *text, u64 size_bytes, std::vector<u8> &out, std::string &error);

} // namespace tallow
