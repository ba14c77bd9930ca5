#pragma once
// The "state_machine" resource: layers of states, their animations, transitions, timed
// events, blend variables, per-bone weight sets and the float expressions that compute
// blend weights and playback speed; and the evaluator of those expressions.
//
// File (little-endian, no header; every list is a u32 count, then its elements):
//   layers             count x layer
//   variable_names     count x u32 (NameId32)
//   variable_defaults  count x f32            as many as the names
//   bone_weight_sets   count x (u32 n, n x f32)
// layer: states (count x state), u32 initial_state (0xFFFFFFFF: none)
// state: u64 name, u32 type (0 single, 1 empty, 2 blend), animations (count x u64, at most
//   15), random_thresholds (count x f32), u8 loop (the next field follows unaligned),
//   u32 blend_mode (0 normal, 1 additive), transitions (count x 20 bytes: u32 event,
//   u32 target, f32 blend_time, u32 mode 0-4, u32 key), events (count x 12 bytes: f32 time,
//   u32 id, u32 kind 0-1, sorted by time), code (count x u8), weight_expressions (count x
//   u32 byte offsets into code), u32 speed_expression, u32 root_mode (0-3),
//   u32 bone_weight_set (0xFFFFFFFF: all bones weight 1)
//
// Expressions: 32-bit words, opcode in the top 8 bits, operand in the low 24.
//   0 operator n (below), 1 push the operand as a signed 24-bit integer, 2 push the next
//   word as an f32, 3 push variables[operand], 4 end (the result is the top), 5-255 skipped.
//   Operators: 0 a+b, 1 a-b, 2 a*b, 3 a/b, 4 -a, 6 sin a, 7 cos a, 8 1-min(|a-b|,1),
//   9 (1-min(|a-b|,1))*(1-min(|c-d|,1)), 10 |a|; 5 and 11 and above do nothing.
//
// Loading checks everything the runtime later trusts, and refuses the resource (logged,
// the reason named) otherwise: every count against the bytes left, every index (transition
// target, initial state, bone weight set, variable operand) and expression offset in range,
// equal variable name and default counts, a type-2 state with one weight expression per
// animation, a type-0 state of several animations with one threshold per animation, and
// every expression run abstractly: it must reach its end word inside the state's code,
// never pop from too few values, and leave exactly one value (at most
// max_expression_depth deep). Evaluation still guards the stack and the code's end.
//
//   register_animation_resource_types(manager);        // animation/animation_resources.h
//   auto *sm = static_cast<const StateMachineResource *>(manager.get(state_machine_type, name));
//   f32 w = eval_float_expression(state.code, state.weight_expressions[0], variables, stack);

#include "foundation/containers/array.h"
#include "foundation/strings/name_id.h"
#include "foundation/types.h"

namespace tallow {

struct ResourceLoadParams;
struct ResourceUnloadParams;

constexpr NameId64 state_machine_type("state_machine");
constexpr u32 no_state = 0xFFFFFFFFu;
constexpr u32 no_bone_weight_set = 0xFFFFFFFFu;
/// Most animations a state plays (the blender's per-record arrays hold 15).
constexpr u32 max_state_animations = 15;
/// The deepest stack an expression may build.
constexpr u32 max_expression_depth = 64;

struct StateTransition {
    u32 event = 0;
    u32 target = 0;
    f32 blend_time = 0;
    u32 mode = 0;
    u32 key = 0;
};

struct StateEvent {
    f32 time = 0;
    u32 id = 0;
    u32 kind = 0;
};

struct StateMachineState {
    explicit StateMachineState(Allocator &a)
        : animations(a), random_thresholds(a), transitions(a), events(a), code(a), weight_expressions(a)
    {
    }
    u64 name = 0;
    u32 type = 0;
    Array<u64> animations;
    Array<f32> random_thresholds;
    u8 loop = 0;
    u32 blend_mode = 0;
    Array<StateTransition> transitions;
    Array<StateEvent> events;
    Array<u8> code;
    Array<u32> weight_expressions;
    u32 speed_expression = 0;
    u32 root_mode = 0;
    u32 bone_weight_set = no_bone_weight_set;
};

struct StateMachineLayer {
    explicit StateMachineLayer(Allocator &a) : states(a) {}
    Array<StateMachineState> states;
    u32 initial_state = no_state;
};

struct StateMachineResource {
    explicit StateMachineResource(Allocator &a) : layers(a), variable_names(a), variable_defaults(a), bone_weight_sets(a)
    {
    }
    Array<StateMachineLayer> layers;
    Array<u32> variable_names;
    Array<f32> variable_defaults;
    Array<Array<f32>> bone_weight_sets;
};

/// Reads and checks `size` bytes into a resource made from `allocator`; null (logged with
/// the reason, naming `name`) when they are not a valid state machine.
StateMachineResource *read_state_machine(const u8 *bytes, u64 size, Allocator &allocator, u64 name = 0);
void destroy_state_machine_resource(StateMachineResource *resource, Allocator &allocator);

/// The resource manager's callbacks (the load reads the archive whole).
void *load_state_machine_resource(const ResourceLoadParams &params);
void unload_state_machine_resource(const ResourceUnloadParams &params);

/// Checks the expression at byte `offset` of `code` (see the header comment); false with
/// `out_reason` set when it would misbehave.
bool check_float_expression(const Array<u8> &code, u32 offset, u32 variable_count, const char **out_reason = nullptr);

/// Evaluates the expression at byte `offset` of `code` over `variables`, using `stack`
/// (emptied first) as its stack. Returns the top of the stack at the end word; 0 when the
/// expression misbehaves after all (runs off the code, pops too few, names a variable out
/// of range).
f32 eval_float_expression(const Array<u8> &code, u32 offset, const Array<f32> &variables, Array<f32> &stack);

/// The LCG of state machine instances: next = next * 1664525 + 1013904223; returns the new
/// value scaled to [0, 1).
f32 next_random(u32 &state);
/// The animation a type-0 state picks for the draw `u`: the first whose threshold is >= u,
/// else the last. 0 for a state of one animation; no_state for a state without any.
u32 choose_random_animation(const StateMachineState &state, f32 u);

} // namespace tallow
