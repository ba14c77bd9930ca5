#pragma once
// Compiles an animation source (config text) into "animation" resource bytes (layout in
// animation/animation_data.h) with the writer the tests use (tests/support/writers/animation_writer.h).
// Used by tallow_build_data for every "<name>.animation" a package lists, and by the unit
// compiler for a unit's `simple_animation_data`.
//
// Source layout:
//
//   length = 2                 // seconds; default: the last key time of any track
//   format = "raw"             // "raw" (f32 values, the default) or "quantized" (positions
//                              // within -10 .. 10, rotations to about 0.0015)
//   events = [ { time = 1 name = "half_open" } ]     // keys reported as they are passed
//   tracks = [                 // one per animated node, in the order the nodes are given
//       { node = "leaf"        // for the reader of the source only
//         keys = [ { time = 0 position = [0.5 0 1] rotation = [0 0 0 1] }
//                  { time = 2 position = [0.5 0 1] rotation = [0 0 0.7071 0.7071] } ] }
//   ]
//
// Each track's keys are in ascending time within [0, length]; position defaults to
// [0 0 0] and rotation to [0 0 0 1]. The compiled animation has a key frame at 0 and at
// every time any track has a key; a track without a key at that time gets its own pose
// interpolated there (held before its first key and after its last).

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

class ConfigValue;

/// False with `out_error` ("<line>: <what>" when the line is known) for a source the layout
/// does not describe.
bool compile_animation_source(const char *text, u64 size, std::vector<u8> &out_bytes, std::string &out_error);
/// The same over parsed config; `where` prefixes the messages. Returns the track count in
/// `out_track_count` when given.
bool compile_animation_config(const ConfigValue &root, const std::string &where, std::vector<u8> &out_bytes,
                              std::string &out_error, u32 *out_track_count = nullptr);

} // namespace tallow
