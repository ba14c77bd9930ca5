// The "state_machine" resource: round trip, the expression evaluator and the load checks
// that keep the runtime from reading out of bounds.
#include "animation/state_machine_resource.h"
#include "foundation/memory/memory_globals.h"
#include "tests/animation/animation_fixture.h"

#include <cmath>
#include <cstring>

namespace tallow::test {
namespace {

Array<u8> code_of(const Expression &e)
{
    Array<u8> code(default_allocator());
    for (u8 b : e.bytes())
        code.push_back(b);
    return code;
}

StateMachineSource two_states()
{
    StateMachineSource sm;
    sm.variable_names = {101, 102};
    sm.variable_defaults = {0.5f, -1};
    sm.bone_weight_sets = {{1, 0.5f, 0}, {}};
    LayerSource layer;
    StateSource walk;
    walk.name = 0x1122334455667788ull;
    walk.type = 2;
    walk.animations = {7, 8};
    walk.loop = 0;
    walk.blend_mode = 1; // right after the loop byte, unaligned
    walk.transitions = {{55, 1, 0.25f, 3, 9}};
    walk.events = {{0.1f, 66, 0}, {0.4f, 67, 1}};
    walk.weight_expressions = {walk.add_expression(Expression().var(0).push_float(0.5f).op(8).end()),
                               walk.add_expression(Expression().push_int(1).end())};
    walk.speed_expression = walk.add_expression(Expression().var(1).op(10).end());
    walk.root_mode = 2;
    walk.bone_weight_set = 0;
    StateSource idle;
    idle.type = 0;
    idle.animations = {9, 10};
    idle.random_thresholds = {0.3f, 1.0f};
    idle.loop = 1;
    idle.speed_expression = idle.add_expression(Expression().push_int(1).end());
    layer.states = {walk, idle};
    layer.initial_state = 1;
    sm.layers = {layer, LayerSource{{}, no_state}};
    return sm;
}

StateMachineResource *read(const std::vector<u8> &bytes)
{
    return read_state_machine(bytes.data(), bytes.size(), default_allocator());
}

TEST(StateMachineResource, RoundTripKeepsEveryField)
{
    StateMachineResource *sm = read(write_state_machine(two_states()));
    ASSERT_NE(sm, nullptr);
    ASSERT_EQ(sm->layers.size(), 2u);
    EXPECT_EQ(sm->layers[1].initial_state, no_state);
    const StateMachineLayer &layer = sm->layers[0];
    EXPECT_EQ(layer.initial_state, 1u);
    ASSERT_EQ(layer.states.size(), 2u);
    const StateMachineState &walk = layer.states[0];
    EXPECT_EQ(walk.name, 0x1122334455667788ull);
    EXPECT_EQ(walk.type, 2u);
    EXPECT_EQ(walk.animations[1], 8u);
    EXPECT_EQ(walk.loop, 0);
    EXPECT_EQ(walk.blend_mode, 1u);
    ASSERT_EQ(walk.transitions.size(), 1u);
    EXPECT_EQ(walk.transitions[0].target, 1u);
    EXPECT_EQ(walk.transitions[0].blend_time, 0.25f);
    EXPECT_EQ(walk.transitions[0].key, 9u);
    EXPECT_EQ(walk.events[1].id, 67u);
    EXPECT_EQ(walk.events[1].kind, 1u);
    EXPECT_EQ(walk.root_mode, 2u);
    EXPECT_EQ(walk.bone_weight_set, 0u);
    EXPECT_EQ(layer.states[1].loop, 1);
    EXPECT_EQ(layer.states[1].random_thresholds[0], 0.3f);
    EXPECT_EQ(sm->variable_names[1], 102u);
    EXPECT_EQ(sm->variable_defaults[1], -1.0f);
    EXPECT_EQ(sm->bone_weight_sets[0].size(), 3u);
    EXPECT_EQ(sm->bone_weight_sets[1].size(), 0u);
    Array<f32> variables(default_allocator()), stack(default_allocator());
    variables.push_back(2.0f);
    variables.push_back(-3.0f);
    EXPECT_EQ(eval_float_expression(walk.code, walk.weight_expressions[1], variables, stack), 1.0f);
    EXPECT_EQ(eval_float_expression(walk.code, walk.speed_expression, variables, stack), 3.0f);
    destroy_state_machine_resource(sm, default_allocator());
}

TEST(StateMachineResource, ExpressionTable)
{
    const f32 v0 = 2.0f, v1 = 5.0f;
    const struct {
        const char *name;
        Expression e;
        f32 result;
    } cases[] = {
        {"add", Expression().push_int(2).push_int(3).op(0).end(), 5},
        {"subtract", Expression().push_int(2).push_int(3).op(1).end(), -1},
        {"multiply", Expression().push_int(2).push_int(3).op(2).end(), 6},
        {"divide", Expression().push_int(3).push_int(2).op(3).end(), 1.5f},
        {"negate", Expression().push_int(3).op(4).end(), -3},
        {"operator 5 does nothing", Expression().push_int(3).op(5).end(), 3},
        {"sin", Expression().push_float(0.5f).op(6).end(), std::sin(0.5f)},
        {"cos", Expression().push_float(0.5f).op(7).end(), std::cos(0.5f)},
        {"closeness half", Expression().var(0).push_float(2.5f).op(8).end(), 0.5f},
        {"closeness none", Expression().var(0).var(1).op(8).end(), 0},
        {"closeness 2d", Expression().var(0).push_float(2.5f).push_int(1).push_float(1.75f).op(9).end(), 0.125f},
        {"absolute", Expression().push_int(-4).op(10).end(), 4},
        {"operator 11 does nothing", Expression().push_int(3).op(11).end(), 3},
        {"int operand -1", Expression().word(0x01FFFFFF).end(), -1},
        {"int operand max", Expression().word(0x017FFFFF).end(), 8388607},
        {"float word looks like an end", Expression().push_float(5.877472e-39f).op(10).end(), 5.877472e-39f},
        {"opcodes 5 to 255 skipped", Expression().push_int(7).word(0x05000000).word(0xFF123456).end(), 7},
    };
    Array<f32> variables(default_allocator()), stack(default_allocator());
    variables.push_back(v0);
    variables.push_back(v1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Array<u8> code = code_of(c.e);
        const char *why = nullptr;
        EXPECT_TRUE(check_float_expression(code, 0, 2, &why)) << why;
        EXPECT_FLOAT_EQ(eval_float_expression(code, 0, variables, stack), c.result);
    }
}

TEST(StateMachineResource, MisbehavingExpressionsAreRefusedAndGuarded)
{
    const struct {
        const char *name;
        Expression e;
        u32 offset;
    } cases[] = {
        {"no end", Expression().push_int(1), 0},
        {"float push in the last word", Expression().push_int(1).word(0x02000000), 0},
        {"operator without operands", Expression().op(0).end(), 0},
        {"binary operator on one value", Expression().push_int(1).op(2).end(), 0},
        {"four-operand operator on three", Expression().push_int(1).push_int(1).push_int(1).op(9).end(), 0},
        {"ends on an empty stack", Expression().end(), 0},
        {"ends with two values", Expression().push_int(1).push_int(2).end(), 0},
        {"variable out of range", Expression().var(2).end(), 0},
        {"offset past the code", Expression().push_int(1).end(), 8},
        {"offset inside the last word", Expression().push_int(1).end(), 6},
    };
    Array<f32> variables(default_allocator()), stack(default_allocator());
    variables.push_back(1);
    variables.push_back(1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Array<u8> code = code_of(c.e);
        EXPECT_FALSE(check_float_expression(code, c.offset, 2));
        f32 r = eval_float_expression(code, c.offset, variables, stack);
        EXPECT_TRUE(std::isfinite(r));
    }
    // Too deep a stack.
    Expression deep;
    for (u32 i = 0; i <= max_expression_depth; ++i)
        deep.push_int(1);
    for (u32 i = 0; i < max_expression_depth; ++i)
        deep.op(0);
    EXPECT_FALSE(check_float_expression(code_of(deep.end()), 0, 0));
}

TEST(StateMachineResource, LoadRefusesWhatTheRuntimeWouldTrust)
{
    struct Case {
        const char *name;
        void (*spoil)(StateMachineSource &);
    };
    const Case cases[] = {
        {"transition target", [](StateMachineSource &s) { s.layers[0].states[0].transitions[0].target = 2; }},
        {"initial state", [](StateMachineSource &s) { s.layers[0].initial_state = 2; }},
        {"bone weight set", [](StateMachineSource &s) { s.layers[0].states[0].bone_weight_set = 2; }},
        {"variable counts", [](StateMachineSource &s) { s.variable_defaults.pop_back(); }},
        {"weights per animation", [](StateMachineSource &s) { s.layers[0].states[0].weight_expressions.pop_back(); }},
        {"thresholds per animation", [](StateMachineSource &s) { s.layers[0].states[1].random_thresholds.pop_back(); }},
        {"sixteen animations",
         [](StateMachineSource &s) { s.layers[0].states[1].animations.assign(16, 1); s.layers[0].states[1].random_thresholds.assign(16, 1); }},
        {"speed offset", [](StateMachineSource &s) { s.layers[0].states[1].speed_expression = 4; }},
        {"weight expression underflow",
         [](StateMachineSource &s) {
             StateSource &w = s.layers[0].states[0];
             w.weight_expressions[0] = w.add_expression(Expression().op(1).end());
         }},
        {"variable operand", [](StateMachineSource &s) {
             StateSource &w = s.layers[0].states[0];
             w.speed_expression = w.add_expression(Expression().var(2).end());
         }},
        {"transition mode", [](StateMachineSource &s) { s.layers[0].states[0].transitions[0].mode = 5; }},
        {"events out of order", [](StateMachineSource &s) { s.layers[0].states[0].events[1].time = 0; }},
        {"state type", [](StateMachineSource &s) { s.layers[0].states[1].type = 3; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        StateMachineSource s = two_states();
        c.spoil(s);
        EXPECT_EQ(read(write_state_machine(s)), nullptr);
    }
    std::vector<u8> good = write_state_machine(two_states());
    for (u32 n = 0; n < good.size(); ++n) {
        std::vector<u8> cut(good.begin(), good.begin() + n);
        StateMachineResource *sm = read(cut);
        EXPECT_EQ(sm, nullptr) << n;
        destroy_state_machine_resource(sm, default_allocator());
    }
    std::vector<u8> huge = good;
    u32 big = 0x7FFFFFFF;
    memcpy(huge.data(), &big, 4);
    EXPECT_EQ(read(huge), nullptr) << "a layer count beyond the bytes allocates nothing";
}

TEST(StateMachineResource, RandomChoiceTakesTheFirstThresholdAtOrAboveTheDraw)
{
    StateMachineResource *sm = read(write_state_machine(two_states()));
    ASSERT_NE(sm, nullptr);
    const StateMachineState &idle = sm->layers[0].states[1];
    EXPECT_EQ(choose_random_animation(idle, 0.29f), 0u);
    EXPECT_EQ(choose_random_animation(idle, 0.31f), 1u);
    EXPECT_EQ(choose_random_animation(idle, 1.5f), 1u) << "none qualifies: the last";
    u32 state = 0;
    EXPECT_FLOAT_EQ(next_random(state), 1013904223.0f / 4294967296.0f);
    EXPECT_EQ(state, 1013904223u);
    destroy_state_machine_resource(sm, default_allocator());
}

} // namespace
} // namespace tallow::test
