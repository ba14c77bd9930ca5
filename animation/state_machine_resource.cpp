#include "animation/state_machine_resource.h"

#include "animation/animation_reader_internal.h"
#include "foundation/io/input_archive.h"
#include "foundation/io/little_endian.h"
#include "foundation/log.h"
#include "resource/byte_reader.h"
#include "resource/resource_manager.h"

#include <cmath>
#include <cstring>

namespace tallow {

namespace {

// Smallest encoded sizes, to refuse a count before allocating for it.
constexpr u64 min_layer_bytes = 8;
constexpr u64 min_state_bytes = 8 + 4 + 4 + 4 + 1 + 4 + 4 + 4 + 4 + 4 + 4 + 4 + 4;

u32 code_word(const Array<u8> &code, u32 at) { return load_u32_le(code.data() + at); }

using Reader = AnimationReader;

bool read_state(Reader &r, StateMachineState &s)
{
    u8 loop = 0;
    bool ok = r.u64_(s.name) && r.u32_(s.type) && r.list(s.animations, 8, [&](u64 &v) { return r.u64_(v); }) &&
              r.list(s.random_thresholds, 4, [&](f32 &v) { return r.f32_(v); }) &&
              (r.in.read_bytes(&loop, 1) || r.fail("cut short")) && r.u32_(s.blend_mode) &&
              r.list(s.transitions, 20,
                     [&](StateTransition &t) {
                         return r.u32_(t.event) && r.u32_(t.target) && r.f32_(t.blend_time) && r.u32_(t.mode) &&
                                r.u32_(t.key);
                     }) &&
              r.list(s.events, 12, [&](StateEvent &e) { return r.f32_(e.time) && r.u32_(e.id) && r.u32_(e.kind); });
    if (!ok)
        return false;
    s.loop = loop;
    u32 code_bytes = 0;
    if (!r.count(code_bytes, 1))
        return false;
    s.code.resize(code_bytes);
    if (s.code.size() != code_bytes)
        return r.fail("out of memory");
    (void)r.in.read_bytes(s.code.data(), code_bytes);
    return r.list(s.weight_expressions, 4, [&](u32 &v) { return r.u32_(v); }) && r.u32_(s.speed_expression) &&
           r.u32_(s.root_mode) && r.u32_(s.bone_weight_set);
}

bool check_state(Reader &r, const StateMachineResource &sm, const StateMachineLayer &layer, const StateMachineState &s)
{
    if (s.type > 2)
        return r.fail("a state type other than 0, 1 or 2");
    if (s.animations.size() > max_state_animations)
        return r.fail("a state with more than 15 animations");
    if (s.type == 0 && s.animations.size() > 1 && s.random_thresholds.size() != s.animations.size())
        return r.fail("a random state without one threshold per animation");
    if (s.type == 2 && s.weight_expressions.size() != s.animations.size())
        return r.fail("a blend state without one weight expression per animation");
    if (s.blend_mode > 1 || s.root_mode > 3)
        return r.fail("a blend mode or root mode out of range");
    if (s.bone_weight_set != no_bone_weight_set && s.bone_weight_set >= sm.bone_weight_sets.size())
        return r.fail("a bone weight set out of range");
    for (const StateTransition &t : s.transitions)
        if (t.target >= layer.states.size() || t.mode > 4)
            return r.fail("a transition target or mode out of range");
    for (u32 i = 0; i < s.events.size(); ++i)
        if (s.events[i].kind > 1 || (i > 0 && s.events[i].time < s.events[i - 1].time))
            return r.fail("events not in time order, or of a kind other than 0 or 1");
    u32 variables = sm.variable_names.size();
    const char *why = nullptr;
    for (u32 offset : s.weight_expressions)
        if (!check_float_expression(s.code, offset, variables, &why))
            return r.fail(why);
    if (!check_float_expression(s.code, s.speed_expression, variables, &why))
        return r.fail(why);
    return true;
}

bool read_resource(Reader &r, StateMachineResource &sm)
{
    bool ok = r.list(sm.layers, min_layer_bytes,
                     [&](StateMachineLayer &layer) {
                         return r.list(layer.states, min_state_bytes,
                                       [&](StateMachineState &s) { return read_state(r, s); }) &&
                                r.u32_(layer.initial_state);
                     }) &&
              r.list(sm.variable_names, 4, [&](u32 &v) { return r.u32_(v); }) &&
              r.list(sm.variable_defaults, 4, [&](f32 &v) { return r.f32_(v); }) &&
              r.list(sm.bone_weight_sets, 4, [&](Array<f32> &set) {
                  return r.list(set, 4, [&](f32 &v) { return r.f32_(v); });
              });
    if (!ok)
        return false;
    if (r.in.left() != 0)
        return r.fail("bytes left over after the last list");
    if (sm.variable_names.size() != sm.variable_defaults.size())
        return r.fail("variable names and defaults of different counts");
    for (const StateMachineLayer &layer : sm.layers) {
        if (layer.initial_state != no_state && layer.initial_state >= layer.states.size())
            return r.fail("an initial state out of range");
        for (const StateMachineState &s : layer.states)
            if (!check_state(r, sm, layer, s))
                return false;
    }
    return true;
}

} // namespace

bool check_float_expression(const Array<u8> &code, u32 offset, u32 variable_count, const char **out_reason)
{
    auto fail = [&](const char *reason) {
        if (out_reason)
            *out_reason = reason;
        return false;
    };
    u32 size = code.size();
    u32 depth = 0;
    for (u64 pc = offset;; pc += 4) {
        if (pc + 4 > size)
            return fail("an expression without an end inside its code");
        u32 word = code_word(code, u32(pc));
        u32 op = word >> 24, operand = word & 0xFFFFFF;
        u32 pops = 0, pushes = 0;
        if (op == 0) {
            static const u8 operator_pops[11] = {2, 2, 2, 2, 1, 0, 1, 1, 2, 4, 1};
            if (operand < 11) {
                pops = operator_pops[operand];
                pushes = pops ? 1 : 0;
            }
        } else if (op == 1) {
            pushes = 1;
        } else if (op == 2) {
            if (pc + 8 > size)
                return fail("a float push without its value word");
            pushes = 1;
            pc += 4;
        } else if (op == 3) {
            if (operand >= variable_count)
                return fail("an expression naming a variable out of range");
            pushes = 1;
        } else if (op == 4) {
            if (depth != 1)
                return fail("an expression that does not end with exactly one value");
            return true;
        }
        if (depth < pops)
            return fail("an operator with too few operands");
        depth = depth - pops + pushes;
        if (depth > max_expression_depth)
            return fail("an expression deeper than 64 values");
    }
}

f32 eval_float_expression(const Array<u8> &code, u32 offset, const Array<f32> &variables, Array<f32> &stack)
{
    stack.clear();
    u32 size = code.size();
    auto pop = [&]() {
        f32 v = stack.back();
        stack.pop_back();
        return v;
    };
    auto closeness = [](f32 a, f32 b) { return 1.0f - std::fmin(std::fabs(a - b), 1.0f); };
    for (u64 pc = offset; pc + 4 <= size; pc += 4) {
        u32 word = code_word(code, u32(pc));
        u32 op = word >> 24, operand = word & 0xFFFFFF;
        switch (op) {
        case 0: {
            static const u8 operator_pops[11] = {2, 2, 2, 2, 1, 0, 1, 1, 2, 4, 1};
            if (operand >= 11 || operator_pops[operand] == 0)
                break;
            if (stack.size() < operator_pops[operand])
                return 0; // refused at load; a guard all the same
            f32 r = 0;
            if (operand == 9) {
                f32 d = pop(), c = pop(), b = pop(), a = pop();
                r = closeness(a, b) * closeness(c, d);
            } else if (operator_pops[operand] == 2) {
                f32 b = pop(), a = pop();
                r = operand == 0 ? a + b : operand == 1 ? a - b : operand == 2 ? a * b : operand == 3 ? a / b
                                                                                                      : closeness(a, b);
            } else {
                f32 a = pop();
                r = operand == 4 ? -a : operand == 6 ? std::sin(a) : operand == 7 ? std::cos(a) : std::fabs(a);
            }
            (void)stack.push_back(r);
            break;
        }
        case 1: {
            i32 v = i32(operand << 8) >> 8; // sign-extend 24 bits
            (void)stack.push_back(f32(v));
            break;
        }
        case 2: {
            if (pc + 8 > size)
                return 0;
            u32 bits = code_word(code, u32(pc + 4));
            f32 v;
            memcpy(&v, &bits, 4);
            (void)stack.push_back(v);
            pc += 4;
            break;
        }
        case 3:
            if (operand >= variables.size())
                return 0;
            (void)stack.push_back(variables[operand]);
            break;
        case 4:
            return stack.empty() ? 0.0f : stack.back();
        default:
            break;
        }
    }
    return 0; // ran off the code
}

f32 next_random(u32 &state)
{
    state = state * 1664525u + 1013904223u;
    return f32(double(state) * (1.0 / 4294967296.0));
}

u32 choose_random_animation(const StateMachineState &state, f32 u)
{
    u32 n = state.animations.size();
    if (n == 0)
        return no_state;
    if (n == 1)
        return 0;
    for (u32 i = 0; i < n && i < state.random_thresholds.size(); ++i)
        if (state.random_thresholds[i] >= u)
            return i;
    return n - 1;
}

StateMachineResource *read_state_machine(const u8 *bytes, u64 size, Allocator &allocator, u64 name)
{
    StateMachineResource *sm = make_new<StateMachineResource>(allocator, allocator);
    if (!sm) {
        log_message("animation", "state_machine %016llx: out of memory", (unsigned long long)name);
        return nullptr;
    }
    Reader r(bytes, size);
    if (!read_resource(r, *sm)) {
        log_message("animation", "state_machine %016llx is broken (%s); not loaded", (unsigned long long)name,
                    r.why ? r.why : "unreadable");
        delete_with_allocator(allocator, sm);
        return nullptr;
    }
    return sm;
}

void destroy_state_machine_resource(StateMachineResource *resource, Allocator &allocator)
{
    delete_with_allocator(allocator, resource);
}

void *load_state_machine_resource(const ResourceLoadParams &params)
{
    Array<u8> bytes(params.allocator);
    if (!params.archive.read_whole_bytes(bytes)) {
        log_message("animation", "state_machine %016llx: cannot read its bytes", (unsigned long long)params.name.value());
        return nullptr;
    }
    return read_state_machine(bytes.data(), bytes.size(), params.allocator, params.name.value());
}

void unload_state_machine_resource(const ResourceUnloadParams &params)
{
    destroy_state_machine_resource(static_cast<StateMachineResource *>(params.data), params.allocator);
}

} // namespace tallow
