#pragma once
// Compiles network game config sources (config text) into "network_game_config" resources
// (layout in network/network_game_config.h; bytes from tests/support/writers/network_config_writer.h).
//
//   std::vector<u8> resource;
//   std::string error;
//   if (!compile_network_config_source(text, size, resource, error)) ... // error says why
//
// Source layout: the remote calls under "rpcs", each a list of its arguments; the
// replicated object types under "object_types", each a list of its fields:
//
//   rpcs = {
//       chat = [ { type = "string" } ]
//       hit = [ { type = "int" bits = 8 min = 0 } { type = "vector3" bits = 16 min = -100 max = 100 } ]
//   }
//   object_types = {
//       ball = [
//           { name = "position" type = "vector3" bits = 16 min = -100 max = 100 tolerance = 0.01
//             interpolate = true default = [0 0 1] }
//           { name = "held" type = "bool" }
//           { name = "owner_unit" type = "id" default = "00000000000000ff" }
//       ]
//   }
//
// Keys of an argument or field: name (fields only; required), type ("bool", "int",
// "float", "vector3", "quaternion", "string" for arguments, "id" for fields), bits, min,
// max, tolerance, interpolate, default (a number, true/false, a list of 3 or 4 numbers,
// or 16 hex digits for an id). At most 255 calls and types, 6 arguments, 10 fields, names
// of calls under 32 bytes. A source the compiler does not fully understand (an unknown
// key or type, a value of the wrong kind, a descriptor without a defined encoding) fails
// with a message naming the call or type and the field.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

bool compile_network_config_source(const char *text, u64 size, std::vector<u8> &out_resource, std::string &out_error);

} // namespace tallow
