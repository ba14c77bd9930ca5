// The physics keys of unit sources: shape sizes written as the floats physics reads, joint
// templates from their keys (kind, frames, limits, motor, springs, breaking), mover
// templates, and the mistakes that fail the compile instead of making a wrong template.
#include "foundation/memory/memory_globals.h"
#include "tools/world/unit_compiler.h"
#include "world/units/unit_resource.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>
#include <string>

namespace tallow {
namespace {

const char *actors = "nodes = [ { name = \"root\" } ]\n"
                     "actors = [ { name = \"body\" node = \"root\" template = \"dynamic\"\n"
                     "  shapes = [ { kind = 2 parameters = [0.25 1.5] } ] } ]\n";

UnitResource *compile(const std::string &source, std::string &error)
{
    std::vector<u8> bytes;
    if (!compile_unit_source(source.data(), source.size(), bytes, error))
        return nullptr;
    return read_unit_resource(bytes.data(), bytes.size(), default_allocator());
}

f32 as_float(u32 bits)
{
    f32 f;
    memcpy(&f, &bits, 4);
    return f;
}

TEST(UnitPhysicsCompiler, JointsMoversAndSizesBecomeTheirTemplates)
{
    std::string error;
    UnitResource *r = compile(std::string(actors) +
                                  "joints = [ { name = \"hinge\" actors = [\"\" \"body\"] kind = \"revolute\"\n"
                                  "             anchor = [0 0 2] axis = [0 1 0] limit = [-0.5 0.25]\n"
                                  "             motor = [2 50] spring = [10 1 0.1] max_force = 100 }\n"
                                  "           { name = \"rope\" actors = [\"body\" \"\"] kind = \"distance\"\n"
                                  "             distance = [0.5 2] create = false }\n"
                                  "           { name = \"weld\" actors = [\"body\" \"\"] } ]\n"
                                  "movers = [ { height = 1.8 radius = 0.4 collision_filter = \"all\"\n"
                                  "             slope_limit = 0.5 step_offset = 0.3 shape_hit_target = 7 } ]\n",
                              error);
    ASSERT_NE(r, nullptr) << error;
    const UnitShape &shape = r->shapes[r->actors[0].shapes.first];
    EXPECT_EQ(as_float(shape.parameters[0]), 0.25f);
    EXPECT_EQ(as_float(shape.parameters[1]), 1.5f);

    ASSERT_EQ(r->joints.size(), 3u);
    const JointTemplate &hinge = r->joints[0].joint;
    EXPECT_EQ(r->joints[0].create, 1);
    EXPECT_EQ(hinge.name_id(), NameId32("hinge").value());
    EXPECT_EQ(hinge.actor_name(0), 0u);
    EXPECT_EQ(hinge.actor_name(1), NameId32("body").value());
    EXPECT_EQ(hinge.kind(), JointKind::Revolute);
    EXPECT_EQ(hinge.flags(), joint_flag_global_anchor | joint_flag_global_axis);
    EXPECT_EQ(hinge.global_anchor(), (Vector3{0, 0, 2}));
    EXPECT_EQ(hinge.global_axis(), (Vector3{0, 1, 0}));
    const f32 revolute[7] = {-0.5f, 0.25f, 2, 50, 10, 1, 0.1f};
    for (u32 i = 0; i < 7; ++i)
        EXPECT_EQ(hinge.parameter(i), revolute[i]) << i;
    EXPECT_EQ(hinge.max_force(), 100.0f);
    EXPECT_EQ(hinge.max_torque(), FLT_MAX) << "unbreakable unless given";

    const JointTemplate &rope = r->joints[1].joint;
    EXPECT_EQ(r->joints[1].create, 0);
    EXPECT_EQ(rope.kind(), JointKind::Distance);
    EXPECT_EQ(rope.parameter(0), 0.5f);
    EXPECT_EQ(rope.parameter(1), 2.0f);
    EXPECT_EQ(rope.flags(), 0u);
    EXPECT_EQ(r->joints[2].joint.kind(), JointKind::Fixed) << "the default kind";

    ASSERT_EQ(r->movers.size(), 1u);
    const MoverTemplate &m = r->movers[0].mover;
    EXPECT_EQ(m.height, 1.8f);
    EXPECT_EQ(m.radius, 0.4f);
    EXPECT_EQ(m.collision_filter, NameId32("all").value());
    EXPECT_EQ(m.slope_limit, 0.5f);
    EXPECT_EQ(m.step_offset, 0.3f);
    EXPECT_EQ(m.shape_hit_target, 7u);
    EXPECT_EQ(m.mover_hit_target, 0xFFFFFFFFu);
    destroy_unit_resource(r, default_allocator());
}

TEST(UnitPhysicsCompiler, MistakesFailNamingTheEntry)
{
    struct Case {
        const char *name;
        const char *source; // after the actors
        const char *error;
    };
    const Case cases[] = {
        {"unknown kind", "joints = [ { name = \"j\" kind = \"hinge\" } ]", "joints[0]: 'kind' must be one of"},
        {"a limit on a fixed joint", "joints = [ { name = \"j\" limit = [0 1] } ]",
         "joints[0]: 'limit' does not apply to a fixed joint"},
        {"an unknown joint key", "joints = [ { name = \"j\" anchr = [0 0 0] } ]", "joints[0]: unknown key 'anchr'"},
        {"a vector of two", "joints = [ { name = \"j\" anchor = [0 0] } ]", "'anchor' must be an array of 3 numbers"},
        {"an actor the unit lacks", "joints = [ { name = \"j\" actors = [\"nobody\" \"\"] } ]", "no actor named 'nobody'"},
        {"a mover as numbers", "movers = [ [0 0 0 0 0 0] ]", "a mover is an object"},
        {"a mover without a radius", "movers = [ { radius = 0 } ]", "a radius and height above zero"},
        {"an unknown mover key", "movers = [ { hieght = 2 } ]", "unknown key 'hieght'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        UnitResource *r = compile(std::string(actors) + c.source + "\n", error);
        EXPECT_EQ(r, nullptr);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        if (r)
            destroy_unit_resource(r, default_allocator());
    }
    const Case shapes[] = {
        {"a zero box size", "shapes = [ { kind = 1 parameters = [1 0 1] } ]", "shape sizes must be above zero"},
        {"a sphere without its radius", "shapes = [ { kind = 0 } ]", "a shape needs its 'parameters'"},
        {"sizes that are not numbers", "shapes = [ { kind = 0 parameters = [\"big\"] } ]", "must hold numbers"},
        {"a mesh with sizes", "shapes = [ { kind = 4 parameters = [1] } ]", "mesh shapes take no 'parameters'"},
    };
    for (const Case &c : shapes) {
        SCOPED_TRACE(c.name);
        std::string error;
        UnitResource *r = compile(std::string("nodes = [ { name = \"root\" } ]\nactors = [ { name = \"a\" node = \"root\" ") +
                                      c.source + " } ]\n",
                                  error);
        EXPECT_EQ(r, nullptr);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        if (r)
            destroy_unit_resource(r, default_allocator());
    }
}

} // namespace
} // namespace tallow

namespace tallow {
namespace {

// Collisions reach a unit's flow graph through its actors' touch and trigger targets; named
// shape kinds, light and camera values compile to the words their numbers gave.
TEST(UnitPhysicsCompiler, TouchAndTriggerTargetsNameFlowNodes)
{
    const std::string flow = "flow = { variables = [ { name = \"c\" type = \"contact\" } ]\n"
                             "  nodes = [ { name = \"first\" type = \"level_event\" event = \"x\" }\n"
                             "            { name = \"bump\" type = \"contact_event\" contact = \"c\" outputs = [ [] [] ] } ] }\n";
    std::string error;
    UnitResource *r = compile("nodes = [ { name = \"root\" } ]\n"
                              "actors = [ { name = \"body\" node = \"root\" template = \"dynamic\"\n"
                              "  shapes = [ { kind = \"capsule\" parameters = [0.25 1.5] } ]\n"
                              "  touch = { begin = \"bump\" end = \"bump:1\" } trigger = { stay = \"first:2\" } } ]\n" +
                                  flow,
                              error);
    ASSERT_NE(r, nullptr) << error;
    const UnitActorTemplate &a = r->actors[0];
    EXPECT_EQ(a.flow_targets[0], 1u << 16);
    EXPECT_EQ(a.flow_targets[1], 1u << 16 | 1);
    EXPECT_EQ(a.flow_targets[2], unit_no_flow_target);
    EXPECT_EQ(a.flow_targets[3], unit_no_flow_target);
    EXPECT_EQ(a.flow_targets[4], 2u);
    EXPECT_EQ(r->shapes[r->actors[0].shapes.first].kind, 2u) << "\"capsule\" is kind 2";
    destroy_unit_resource(r, default_allocator());

    struct Case {
        const char *name;
        const char *actor_keys;
        const char *error;
    } cases[] = {
        {"no such node", "touch = { begin = \"bmp\" }", "actors[0].touch.begin: the unit's flow has no node named 'bmp'"},
        {"unknown key", "touch = { start = \"bump\" }", "unknown key 'start'"},
        {"unknown shape kind", "shapes = [ { kind = \"cube\" } ]", "shape kind 'cube' is none of"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string e;
        EXPECT_EQ(compile(std::string("nodes = [ { name = \"root\" } ]\nactors = [ { name = \"body\" node = \"root\" ") +
                              c.actor_keys + " } ]\n" + flow,
                          e),
                  nullptr);
        EXPECT_NE(e.find(c.error), std::string::npos) << e;
    }
}

TEST(UnitPhysicsCompiler, NamedLightAndCameraValuesAreTheRawWords)
{
    auto bits = [](f32 f) {
        u32 u;
        memcpy(&u, &f, 4);
        return u;
    };
    std::string error;
    UnitResource *named = compile("nodes = [ { name = \"root\" } ]\n"
                                  "lights = [ { name = \"sun\" node = \"root\" type = \"directional\" "
                                  "color = [1 0.95 0.85] falloff = [0 0] } ]\n"
                                  "cameras = [ { name = \"eye\" node = \"root\" fov = 0.9 } ]\n",
                                  error);
    ASSERT_NE(named, nullptr) << error;
    const u32 expect[9] = {bits(1), bits(0.95f), bits(0.85f), 0, 0, bits(1), 0, bits(3.1415f), 2};
    for (u32 i = 0; i < 9; ++i)
        EXPECT_EQ(named->lights[0].settings[i], expect[i]) << "word " << i;
    EXPECT_EQ(named->cameras[0].settings[0], 0u) << "left out: the default";
    EXPECT_EQ(named->cameras[0].settings[2], bits(0.9f));
    destroy_unit_resource(named, default_allocator());
    std::string e;
    EXPECT_EQ(compile("nodes = [ { name = \"root\" } ]\nlights = [ { name = \"l\" node = \"root\" type = \"sun\" } ]\n", e),
              nullptr);
    EXPECT_NE(e.find("light 'type' must be"), std::string::npos) << e;
}

} // namespace
} // namespace tallow
