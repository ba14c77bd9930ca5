#pragma once
// Running flow graphs: the context of one run, the interpreter's entry points and the
// owner entry points of units.
//
//   install_flow();                                   // once: units run their graphs
//   flow_unit_event(world, unit, NameId32("open").value());
//   u8 *v = flow_unit_find_variable(unit, NameId32("health").value());  // null: absent
//
// An event walks the graph's event table in order; each node reached runs its link list
// first and then its action, depth first (world/flow/flow_graph.h gives the node types). Node
// actions act on units through their handles, so a run survives units it destroys: the
// World defers destruction (and level replacement) asked for during a run to the end of
// the outermost run. A run stops (logged) after `flow_step_budget` node executions or
// `flow_depth_limit` nested links, so a graph with a cycle cannot hang or overflow the
// stack. Delays that nodes ask for are handed to the owner after the run: a unit's go to
// the World's timed events, a level's to the level's timers. Main thread only.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/types.h"
#include "world/flow/flow_graph.h"
#include "world/flow/timed_events.h"
#include "world/units/unit_handle.h"

namespace tallow {

class IFlowScript;
class Level;
class Unit;
class World;

constexpr u32 flow_step_budget = 100000;
constexpr u32 flow_depth_limit = 200;
/// Runs that start runs (zero delays, unit events, script calls) nest at most this deep.
constexpr u32 flow_run_nesting_limit = 32;

struct FlowContext {
    FlowBlob graph;
    World *world = nullptr;       // null only while the spawn value is stored
    UnitHandle owner_unit = 0;    // the owning unit, 0 for a level
    Level *level = nullptr;       // the owning level, null for a unit
    u8 *variables = nullptr;
    u32 variable_size = 0;
    IFlowScript *script = nullptr;
    i32 script_reference = -2;
    Array<TimedDelay> *delays = nullptr;
    u32 steps = 0;
    u32 depth = 0;
    bool stopped = false;

    /// Address of `size` bytes of the variable at `offset`, null when not connected or
    /// outside the block.
    u8 *variable(u32 offset, u32 size) const;
};

/// Enters a run; false (logged) when runs already nest flow_run_nesting_limit deep, and
/// the run must not start. Pair a true result with flow_leave_run.
bool flow_enter_run();
void flow_leave_run();

// Interpreter ------------------------------------------------------------------------------

void flow_execute_node(FlowContext &context, u32 node, u32 target);
void flow_trigger_output(FlowContext &context, u32 target);
void flow_trigger_links(FlowContext &context, u32 list);
void flow_trigger_node_output(u32 k, u32 table, FlowContext &context);
void flow_trigger_input(FlowContext &context, u32 node, u32 target);
void flow_trigger_input_by_index(FlowContext &context, u32 target);
/// Stores a typed value into an event source's variables: `value_type` unit_flow_value_type
/// with a UnitHandle, or 0 with a physics message (world/world_events.h).
void flow_set_unit_outputs(FlowContext &context, u32 node, u32 value_type, const void *value);
void flow_set_unit_outputs_by_index(FlowContext &context, u32 node_index, u32 value_type, const void *value);
void flow_trigger_event(FlowContext &context, u32 event_id);
void flow_trigger_unit_event(FlowContext &context, u32 event_id, u32 value_type, const void *value);
/// Index of the first entry of the 8-byte {key, value} table whose key is not below `key`
/// (`count` when every key is smaller).
u32 flow_lower_bound(const FlowBlob &graph, u32 table, u32 count, u32 key);
/// Address of the named variable, or null.
u8 *flow_find_variable(const FlowContext &context, u32 name_id);

/// The pose of a position and a rotation quaternion that need not be of unit length
/// (scaled by 2 / |q|^2; a zero quaternion gives the identity rotation).
Matrix4x4 pose_from_quaternion(const Quaternion &rotation, const Vector3 &position);

/// Resets the program-wide generator of random-output nodes (tests).
void flow_random_reset(u32 seed = 0);

// Units ------------------------------------------------------------------------------------

/// Installs the unit flow runner and the flow validator of unit resources (idempotent;
/// registering the "level" type does it too). Until then units run no flow and their
/// graphs are not checked at load; the program calls it before loading units.
void install_flow();
/// Takes both out again (tests).
void uninstall_flow();
/// The unit's event `event_id`; the unit must have a flow graph (else nothing happens).
void flow_unit_event(World &world, Unit &unit, u32 event_id);
void flow_unit_event_by_index(World &world, Unit &unit, u32 target);
/// A physics message (world/world_events.h) for target `target` of an actor or mover,
/// whose halves are swapped: node index high, input index low.
void flow_unit_trigger_input(World &world, Unit &unit, u32 target, const void *message);
u8 *flow_unit_find_variable(Unit &unit, u32 name_id);

} // namespace tallow
