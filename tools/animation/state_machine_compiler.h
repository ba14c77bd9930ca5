#pragma once
// Compiles animation state machine sources and bone lists (config text) into "state_machine"
// resources (layout in animation/state_machine_resource.h) and "bones" resources
// (animation/animation_resources.h), with the writers the tests use
// (tests/support/writers/animation_writer.h). Used by tallow_build_data for every
// "<name>.state_machine" and "<name>.bones" a package lists.
//
// State machine source:
//
//   variables = [ { name = "speed" value = 1 } ]          // blend variables and defaults
//   bone_weight_sets = [ { name = "upper" weights = [0 1 1] } ]   // a weight per bone
//   layers = [
//     { initial = "closed"                                // a state name, or "" for none
//       states = [
//         { name = "closed"
//           type = "single"                               // "single", "empty" or "blend"
//           animations = ["animations/door_rest"]         // "animation" resource names
//           random = [0.5 1]                              // single with several: cumulative
//                                                         // thresholds, one per animation
//           weights = ["1 - lean" "lean"]                 // blend: one expression each
//           speed = "speed * 2"                           // expression; default "1"
//           loop = true                                   // default false
//           blend = "normal"                              // or "additive"
//           root_mode = "ignore"                          // or "delta_transform",
//                                                         // "delta_position", "delta_rotation"
//           bone_weights = "upper"                        // a set's name; default all bones 1
//           transitions = [ { on = "open" to = "opening" blend_time = 0.3
//                             mode = "immediate"          // "at_end", "sync_key",
//                                                         // "at_next_key", "keep_phase"
//                             key = "" } ]                // a key name the transition needs
//           events = [ { time = 1.5 name = "opened" internal = false } ]
//         }
//       ] }
//   ]
//
// Expressions: numbers, variable names, + - * / (usual precedence), unary -, parentheses,
// and the functions sin(a), cos(a), abs(a), near(a, b) (1 at a = b falling to 0 at
// distance 1) and near2(a, b, c, d) (the product of two nears).
//
// Bones source: `bones = ["root" "frame" "leaf"]`, the bone names in bone order (bone b is
// track b of the unit's animations and poses the unit's node of that name).

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

/// False with `out_error` ("<line>: <what>" when the line is known) for a source the layout
/// above does not describe (an unknown key, name or mode, a wrong expression).
bool compile_state_machine_source(const char *text, u64 size, std::vector<u8> &out_bytes, std::string &out_error);
bool compile_bones_source(const char *text, u64 size, std::vector<u8> &out_bytes, std::string &out_error);

/// Compiles one expression into its words (appended to `out_code`); false with `out_error`.
/// `variables` are the names in index order.
bool compile_float_expression(const std::string &text, const std::vector<std::string> &variables,
                              std::vector<u8> &out_code, std::string &out_error);

} // namespace tallow
