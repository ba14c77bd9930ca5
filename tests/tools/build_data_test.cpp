// The data build program over small source folders: a source it cannot fully understand
// fails the build with the file, the line and the name.
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace tallow::test {
namespace {

struct SourceFile {
    const char *name;
    const char *text;
};

struct BuildResult {
    int exit_code = -1;
    std::string output; // stdout and stderr
};

BuildResult build(const char *sources, const char *output)
{
    std::string command = std::string("'") + TALLOW_BUILD_DATA_PROGRAM + "' '" + sources + "' '" + output + "' 2>&1";
    BuildResult result;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe))
        result.output += buffer;
    int status = pclose(pipe);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

const SourceFile sample_units[] = {
    {"units.package", "unit = [ \"units/box\" ]\nlevel = [ \"levels/yard\" ]\n"},
    {"units/box.unit", "// a box\nnodes = [ { name = \"root\" } ]\n"},
    {"levels/yard.level", "units = [\n  { name = \"a\" unit = \"units/box\" }\n]\n"},
};

TEST(BuildData, ASourceItCannotFullyUnderstandFailsTheBuildWithFileLineAndName)
{
    struct Case {
        const char *name;
        SourceFile replaced; // replaces the sample file of that name
        const char *message; // "" when the build must succeed
    };
    const Case cases[] = {
        {"sound sources", {"units/box.unit", "// a box\nnodes = [ { name = \"root\" } ]\n"}, ""},
        // These used to build, and the run then placed fewer units with only a hash in the log.
        {"level names a unit no source defines",
         {"levels/yard.level", "units = [\n  { name = \"a\" unit = \"units/box\" }\n  { name = \"b\" unit = \"units/bx\" }\n]\n"},
         "levels/yard.level:3: no package lists a unit source named 'units/bx' (units/bx.unit)"},
        {"level flow spawns a unit no source defines",
         {"levels/yard.level", "flow = { variables = [ { name = \"u\" type = \"unit\" } ]\n"
                               "  nodes = [ { name = \"s\" type = \"spawn_unit\" unit = \"units/crate\" variable = \"u\" } ] }\n"},
         "levels/yard.level:2: no package lists a unit source named 'units/crate' (units/crate.unit)"},
        {"misspelled key in a unit source",
         {"units/box.unit", "// a box\nnodes = [\n  { name = \"root\" positon = [0 0 1] }\n]\n"},
         "units/box.unit:3: nodes[0]: unknown key 'positon'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDirectory sources, output;
        mkdir(sources.file("units").c_str(), 0755);
        mkdir(sources.file("levels").c_str(), 0755);
        for (const SourceFile &f : sample_units) {
            const SourceFile &use = std::string(f.name) == c.replaced.name ? c.replaced : f;
            std::ofstream(sources.file(use.name), std::ios::binary) << use.text;
        }
        BuildResult r = build(sources.path(), output.path());
        if (!*c.message) {
            EXPECT_EQ(r.exit_code, 0) << r.output;
            continue;
        }
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_NE(r.output.find(std::string("[build_data] ") + c.message), std::string::npos) << r.output;
    }
}

TEST(BuildData, CompilesNetworkGameConfigSources)
{
    struct Case {
        const char *name;
        const char *source;
        const char *message; // "" when the build must succeed
    };
    const Case cases[] = {
        {"good", "rpcs = { chat = [ { type = \"string\" } ] }\n"
                 "object_types = { ball = [ { name = \"height\" type = \"float\" bits = 8 min = 0 max = 10 } ] }\n",
         ""},
        {"bad", "object_types = { ball = [ { name = \"height\" type = \"float\" bits = 8 } ] }\n",
         "game.network_game_config: object_types.ball[0]: float range must be finite with maximum above minimum"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDirectory sources, output;
        std::ofstream(sources.file("net.package"), std::ios::binary) << "network_game_config = [ \"game\" ]\n";
        std::ofstream(sources.file("game.network_game_config"), std::ios::binary) << c.source;
        BuildResult r = build(sources.path(), output.path());
        if (!*c.message) {
            EXPECT_EQ(r.exit_code, 0) << r.output;
            continue;
        }
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_NE(r.output.find(std::string("[build_data] ") + c.message), std::string::npos) << r.output;
    }
}

TEST(BuildData, TheShippedSampleBuilds)
{
    TempDirectory output;
    BuildResult r = build(TALLOW_SOURCE_DATA_DIR, output.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
}

} // namespace
} // namespace tallow::test
