// The unit, level and flow compilers refuse what they do not understand, and say where.
#include "tools/world/level_compiler.h"
#include "tools/world/unit_compiler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tallow {
namespace {

struct Case {
    const char *name;
    bool level; // a level source, else a unit source
    const char *source;
    const char *error; // the whole message, with its line
};

std::string compile(const Case &c, bool &ok, std::vector<std::string> *units = nullptr)
{
    std::vector<u8> bytes;
    std::string error;
    ok = c.level ? compile_level_source(c.source, strlen(c.source), bytes, error, units)
                 : compile_unit_source(c.source, strlen(c.source), bytes, error, units);
    return error;
}

TEST(SourceStrictness, WhatTheCompilersDoNotUnderstandFailsWithItsLineAndName)
{
    // Each of these used to compile: the misspelled key or unreadable value was dropped, and
    // the unit or level silently lost what it said.
    const Case cases[] = {
        {"unit: misspelled node key", false,
         "// a crate\nnodes = [\n  { name = \"root\" }\n  { name = \"lid\" parent = \"root\" positon = [0 0 1] }\n]\n",
         "4: nodes[1]: unknown key 'positon'"},
        {"unit: misspelled top-level key", false, "nodes = [ { name = \"root\" } ]\nmesh = [ { name = \"m\" node = \"root\" } ]\n",
         "2: unit: unknown key 'mesh'"},
        {"unit: misspelled shape key", false,
         "nodes = [ { name = \"root\" } ]\nactors = [ { name = \"a\" node = \"root\"\n"
         "  shapes = [ { kind = 1 materal = \"wood\" parameters = [1 1 1] } ] } ]\n",
         "3: actors[0].shapes[0]: unknown key 'materal'"},
        {"unit: misspelled flow node key", false,
         "nodes = [ { name = \"root\" } ]\nflow = { nodes = [\n"
         "  { name = \"go\" type = \"event\" on = [\"start\"] nxt = [] }\n] }\n",
         "3: flow node 'go': unknown key 'nxt' for a event node"},
        {"unit: unreadable value", false, "nodes = [ { name = \"root\" } ]\nanimated = yes\n",
         "2: cannot read the value 'yes' (texts need quotes)"},
        {"level: misspelled unit key", true,
         "units = [\n  { name = \"lamp\" unit = \"units/lamp\" postion = [3 0 0] }\n]\n",
         "2: unit 'lamp': unknown key 'postion'"},
        {"level: misspelled top-level key", true, "unit = [ { name = \"lamp\" unit = \"units/lamp\" } ]\n",
         "1: level: unknown key 'unit'"},
        {"level: misspelled flow variable key", true,
         "flow = {\n  variables = [\n    { name = \"wait\" type = \"float\" vlaue = 2 }\n  ]\n}\n",
         "3: flow variable 'wait': unknown key 'vlaue'"},
        {"level: unreadable value", true, "units = [\n  { name = \"lamp\" unit = units/lamp }\n]\n",
         "2: cannot read the value 'units/lamp' (texts need quotes)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bool ok = true;
        std::string error = compile(c, ok);
        EXPECT_FALSE(ok);
        EXPECT_EQ(error, c.error);
    }
}

TEST(SourceStrictness, TheUnitsALevelPlacesOrSpawnsAreListedForTheBuild)
{
    const Case level = {"level", true,
                        "units = [ { name = \"lamp\" unit = \"units/lamp_post\" } ]\n"
                        "flow = { variables = [ { name = \"crate\" type = \"unit\" } ]\n"
                        "  nodes = [ { name = \"drop\" type = \"spawn_unit\" unit = \"units/crate\" variable = \"crate\"\n"
                        "              position = [0 0 5] } ] }\n",
                        ""};
    bool ok = false;
    std::vector<std::string> units;
    EXPECT_EQ(compile(level, ok, &units), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(units, (std::vector<std::string>{"units/crate", "units/lamp_post"}));
}

} // namespace
} // namespace tallow
