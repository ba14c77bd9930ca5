// The state machine and bones compiler: sources into resources the engine loads, float
// expressions written as text, and the mistakes it reports.
#include "animation/animation_resources.h"
#include "animation/state_machine_resource.h"
#include "foundation/memory/memory_globals.h"
#include "tools/animation/state_machine_compiler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace tallow::test {
namespace {

TEST(StateMachineCompiler, SourceBecomesTheResourceTheRuntimeReads)
{
    const char *text = "variables = [ { name = \"lean\" value = 0.25 } { name = \"pace\" value = 2 } ]\n"
                       "bone_weight_sets = [ { name = \"upper\" weights = [0 1 1] } ]\n"
                       "layers = [\n"
                       "  { initial = \"idle\" states = [\n"
                       "      { name = \"walk\" type = \"blend\" animations = [\"a/left\" \"a/right\"] loop = true\n"
                       "        weights = [\"1 - lean\" \"lean\"] speed = \"pace\" root_mode = \"delta_position\"\n"
                       "        transitions = [ { on = \"stop\" to = \"idle\" blend_time = 0.25 mode = \"at_next_key\"\n"
                       "                          key = \"step\" } ] }\n"
                       "      { name = \"idle\" animations = [\"a/idle\" \"a/fidget\"] random = [0.75 1]\n"
                       "        blend = \"additive\" bone_weights = \"upper\"\n"
                       "        events = [ { time = 2 name = \"late\" internal = true } { time = 1 name = \"early\" } ]\n"
                       "        transitions = [ { on = \"go\" to = \"walk\" } ] }\n"
                       "  ] }\n"
                       "  { states = [ { name = \"none\" type = \"empty\" } ] }\n"
                       "]\n";
    std::vector<u8> bytes;
    std::string error;
    ASSERT_TRUE(compile_state_machine_source(text, strlen(text), bytes, error)) << error;
    StateMachineResource *sm = read_state_machine(bytes.data(), bytes.size(), default_allocator());
    ASSERT_NE(sm, nullptr);
    ASSERT_EQ(sm->layers.size(), 2u);
    EXPECT_EQ(sm->layers[0].initial_state, 1u);
    EXPECT_EQ(sm->layers[1].initial_state, no_state);
    EXPECT_EQ(sm->variable_names[1], NameId32("pace").value());
    EXPECT_EQ(sm->variable_defaults[0], 0.25f);
    const StateMachineState &walk = sm->layers[0].states[0];
    EXPECT_EQ(walk.type, 2u);
    EXPECT_EQ(walk.animations[1], NameId64("a/right").value());
    EXPECT_EQ(walk.root_mode, 2u);
    ASSERT_EQ(walk.transitions.size(), 1u);
    EXPECT_EQ(walk.transitions[0].target, 1u);
    EXPECT_EQ(walk.transitions[0].mode, 3u);
    EXPECT_EQ(walk.transitions[0].key, NameId32("step").value());
    Array<f32> variables(default_allocator()), stack(default_allocator());
    variables.push_back(0.25f);
    variables.push_back(2);
    EXPECT_EQ(eval_float_expression(walk.code, walk.weight_expressions[0], variables, stack), 0.75f);
    EXPECT_EQ(eval_float_expression(walk.code, walk.speed_expression, variables, stack), 2.0f);
    const StateMachineState &idle = sm->layers[0].states[1];
    EXPECT_EQ(idle.blend_mode, 1u);
    EXPECT_EQ(idle.bone_weight_set, 0u);
    EXPECT_EQ(idle.events[0].id, NameId32("early").value()) << "events sorted by time";
    EXPECT_EQ(idle.events[1].kind, 1u);
    EXPECT_EQ(eval_float_expression(idle.code, idle.speed_expression, variables, stack), 1.0f) << "default speed";
    EXPECT_EQ(sm->layers[1].states[0].type, 1u);
    destroy_state_machine_resource(sm, default_allocator());
}

TEST(StateMachineCompiler, ExpressionsKeepPrecedenceAndFunctions)
{
    struct Case {
        const char *text;
        f32 a, b, expected;
    };
    const Case cases[] = {
        {"1 + 2 * 3", 0, 0, 7},          {"(1 + 2) * 3", 0, 0, 9},     {"a - b - 1", 5, 1, 3},
        {"a / b / 2", 8, 2, 2},          {"-a * 2", 3, 0, -6},         {"--a", 3, 0, 3},
        {"abs(a - b)", 1, 4, 3},         {"near(a, 2.5)", 2, 0, 0.5f}, {"near2(a, 0, b, 0)", 0.5f, 0.25f, 0.375f},
        {"sin(0) + cos(0) * 0.5", 0, 0, 0.5f}, {"12345678", 0, 0, 12345678}, {"0.125", 0, 0, 0.125f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<u8> code;
        std::string error;
        ASSERT_TRUE(compile_float_expression(c.text, {"a", "b"}, code, error)) << error;
        Array<u8> words(default_allocator());
        for (u8 b : code)
            words.push_back(b);
        const char *why = nullptr;
        EXPECT_TRUE(check_float_expression(words, 0, 2, &why)) << why;
        Array<f32> variables(default_allocator()), stack(default_allocator());
        variables.push_back(c.a);
        variables.push_back(c.b);
        EXPECT_NEAR(eval_float_expression(words, 0, variables, stack), c.expected, 1e-6f);
    }
    const char *wrong[] = {"", "1 +", "(1", "x", "sin 1", "near(1)", "1 2", "a $ b"};
    for (const char *w : wrong) {
        SCOPED_TRACE(w);
        std::vector<u8> code;
        std::string error;
        EXPECT_FALSE(compile_float_expression(w, {"a", "b"}, code, error));
        EXPECT_NE(error.find("expression"), std::string::npos) << error;
    }
}

TEST(StateMachineCompiler, MistakesAreReportedWithTheirLine)
{
    struct Case {
        const char *name, *text, *message;
    };
    const Case cases[] = {
        {"unknown state", "layers = [ { initial = \"x\" states = [ { name = \"a\" animations = [\"q\"] } ] } ]",
         "no state 'x'"},
        {"unknown target",
         "layers = [ { states = [ { name = \"a\" animations = [\"q\"]\n"
         "  transitions = [ { on = \"e\" to = \"b\" } ] } ] } ]",
         "no state 'b'"},
        {"unknown mode",
         "layers = [ { states = [ { name = \"a\" animations = [\"q\"]\n"
         "  transitions = [ { on = \"e\" to = \"a\" mode = \"later\" } ] } ] } ]",
         "'mode' must be one of"},
        {"unknown variable", "layers = [ { states = [ { name = \"a\" animations = [\"q\"] speed = \"fast\" } ] } ]",
         "no variable or function 'fast'"},
        {"weights per animation",
         "layers = [ { states = [ { name = \"a\" type = \"blend\" animations = [\"q\" \"r\"] weights = [\"1\"] } ] } ]",
         "one expression per animation"},
        {"thresholds per animation", "layers = [ { states = [ { name = \"a\" animations = [\"q\" \"r\"] } ] } ]",
         "one threshold per animation"},
        {"a single state needs an animation", "layers = [ { states = [ { name = \"a\" } ] } ]", "needs 'animations'"},
        {"unknown key", "layers = [ { states = [ { name = \"a\" animations = [\"q\"] lop = true } ] } ]",
         "unknown key 'lop'"},
        {"unknown set", "layers = [ { states = [ { name = \"a\" animations = [\"q\"] bone_weights = \"u\" } ] } ]",
         "no bone weight set 'u'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> bytes;
        std::string error;
        EXPECT_FALSE(compile_state_machine_source(c.text, strlen(c.text), bytes, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    std::vector<u8> bytes;
    std::string error;
    const char *too_many = "layers = [ { states = [ { name = \"a\" type = \"blend\" animations = "
                           "[\"1\" \"2\" \"3\" \"4\" \"5\" \"6\" \"7\" \"8\" \"9\" \"10\" \"11\" \"12\" \"13\" \"14\" \"15\" \"16\"] "
                           "} ] } ]";
    EXPECT_FALSE(compile_state_machine_source(too_many, strlen(too_many), bytes, error));
    EXPECT_NE(error.find("at most 15"), std::string::npos) << error;
}

TEST(BonesCompiler, NamesInBoneOrder)
{
    const char *text = "bones = [\"root\" \"arm\" \"hand\"]";
    std::vector<u8> bytes;
    std::string error;
    ASSERT_TRUE(compile_bones_source(text, strlen(text), bytes, error)) << error;
    BonesResource *bones = read_bones(bytes.data(), bytes.size(), default_allocator());
    ASSERT_NE(bones, nullptr);
    ASSERT_EQ(bones->names.size(), 3u);
    EXPECT_STREQ(bones->names[2].c_str(), "hand");
    delete_with_allocator(default_allocator(), bones);
    EXPECT_FALSE(compile_bones_source("bones = [1]", 11, bytes, error));
    EXPECT_FALSE(compile_bones_source("names = []", 10, bytes, error));
}

} // namespace
} // namespace tallow::test
