#pragma once
// Compiles a flow graph written in config text (the `flow = { ... }` object of a level or
// unit source) into a compiled graph and its variable defaults (world/flow/flow_graph.h), with
// the writer the tests use (tests/support/writers/flow_graph_writer.h).
//
// Source layout:
//
//   flow = {
//       variables = [
//           { name = "crate" type = "unit" }          // unit, float, u32, bool, vector3,
//           { name = "wait" type = "float" value = 2 } // quaternion, name, text, actor,
//       ]                                              // contact, hit
//       nodes = [
//           { name = "start" type = "event" on = ["level_loaded"] next = ["spawn"] }
//           { name = "spawn" type = "spawn_unit" unit = "units/crate" variable = "crate"
//             position = [0 0 2] spawned = ["wait"] }
//           { name = "wait" type = "delay" delay = "wait" next = ["tell"] }
//           { name = "tell" type = "script_event" callback = "crate_dropped" unit = "crate" }
//       ]
//   }
//
// Variable values: numbers for float/u32/bool (true/false too), [x y z] for vector3,
// [x y z w] for quaternion, a string for name (hashed to a 64-bit name id) and text. A
// node's `on` lists the events (names) that reach its input 0; `links` lists targets run
// before its action. A target is "node" or "node:input". Fields by type (v: a variable
// name, absent = not connected; l: a list of targets; n: a name string; t: a text; w, f:
// numbers; m: a pose from `position`/`rotation`; s: up to five script arguments
// [{type = "float" variable = "x"}], types unit, float, bool, string, vector3, id64,
// quaternion; * and 8: arrays of target lists):
//
//   flag: flag(v) outputs(*)              event: unit(v) next(l)
//   spawn_unit: unit(n) pose(m) variable(v) spawned(l) unspawned(l)
//   set_unit_pose: pose(m) unit(v) next(l)        script_event: callback(t) unit(v) next(l)
//   delay: delay(v) next(l)
//   simple_animation: start(v) end(v) speed(v) loop(w) unit(v) animation(v) played(l) stopped(l)
//   animation_event: event(n) unit(v) next(l)
//   particles: effect(n) node(v) link(w) position(v) rotation(v) unit(v) effect_id(v)
//   actor_event: actor(v) outputs(*)      contact_event: contact(v) outputs(*)
//   mover_event: hit(v) next(l)           actor_source: actor(v) next(l)
//   script_method: object(t, optional) method(t) arguments(s)
//   script_string: code(t) arguments(s) next(l)
//   once: counter(v) next(l)   gate: open(v) next(l)   destroy_unit: unit(v) next(l)
//   sound: sound(n) looping(w) range(f) volume(f) unit(v) node(n) link(w) position(v) source(v)
//   unit_event: unit(v) event(n)          level_event: event(n)
//   flip_flop: state(v) first(l) second(l)          random_output: last(v) outputs(8)
//   node_pose: unit(v) node(v) position(v) rotation(v)
//   visibility: unit(v) group(v) visible(v) next(l)
//   spawn_unit_at: unit(n) position(v) rotation(v) variable(v) next(l) spawned(l) unspawned(l)
//   two_way_animation: from(v) to(v) speed(v) loop(w) unit(v) group(v) time(v) forwards(l) backwards(l)
//   float_arithmetic: constant(f) operand(v) target(v) next(l)
//   compare: a(v) b(v) greater(l) greater_or_equal(l) equal(l) less_or_equal(l) less(l)
//
// Event names and 32-bit names (n in event fields and `node`) hash to NameId32; unit,
// effect and sound names to NameId64. The unit-event-with-arguments and script-table node
// types are not written from source yet.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

class ConfigValue;

/// Compiles the flow object; false with `out_error` ("<what>: <why>") on a bad source. A
/// key that the layout or the node's type does not have is an error. When `out_unit_names`
/// is given, the unit resources the graph spawns are appended to it.
bool compile_flow_source(const ConfigValue &flow, std::vector<u8> &out_graph, std::vector<u8> &out_defaults,
                         std::string &out_error, std::vector<std::string> *out_unit_names = nullptr);

} // namespace tallow
