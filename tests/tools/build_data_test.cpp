// The data build program over small source folders: a source it cannot fully understand
// fails the build with the file, the line and the name.
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
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
         "game.network_game_config:1: object_types.ball[0]: float range must be finite with maximum above minimum"},
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

// A small game whose every reference resolves: each case misspells one name, which the
// build used to accept (the run then drew black, changed friction or logged a hash).
const SourceFile referencing_game[] = {
    {"game.package", "physics_properties = [ \"physics/game\" ]\n"
                     "shader_library = [ \"shaders/sample\" ]\n"
                     "texture = [ \"textures/door\" ]\n"
                     "material = [ \"units/box\" \"effects/sparks\" ]\n"
                     "unit = [ \"units/box\" ]\n"
                     "level = [ \"levels/yard\" ]\n"
                     "animation = [ \"animations/vane_spin\" ]\n"
                     "state_machine = [ \"units/box\" ]\n"
                     "particles = [ \"effects/sparks\" ]\n"},
    {"physics/game.physics_properties", "materials = [ { name = \"wood\" values = [0 0.5 0.1 0.6 0 0] } ]\n"
                                        "shape_templates = [ { name = \"solid\" } ]\n"
                                        "actor_templates = [ { name = \"dynamic\" flags = 1 mass = 5 } ]\n"
                                        "collision_filters = [ { name = \"all\" belongs_to = [0] } ]\n"},
    {"units/box.material", "box = {\n  shader = \"mesh\"\n  textures = { diffuse_map = \"textures/door\" }\n}\n"},
    {"units/box.unit", "nodes = [ { name = \"root\" } ]\n"
                       "meshes = [ { name = \"body\" node = \"root\" box = [0.5 0.5 0.5] material = \"box\" } ]\n"
                       "actors = [ { name = \"body\" node = \"root\" template = \"dynamic\"\n"
                       "  shapes = [ { kind = 1 material = \"wood\" template = \"solid\" parameters = [0.5 0.5 0.5] } ] } ]\n"
                       "movers = [ { height = 1 radius = 0.3 collision_filter = \"all\" } ]\n"
                       "state_machine = \"units/box\"\n"},
    {"units/box.state_machine", "layers = [ { initial = \"spin\"\n"
                                "  states = [ { name = \"spin\" animations = [\"animations/vane_spin\"] loop = true } ] } ]\n"},
    {"levels/yard.level", "units = [ { name = \"a\" unit = \"units/box\" } ]\n"
                          "triggers = [ { node = \"area\" box = [1 1 1] actor_template = \"dynamic\" shape_template = \"solid\" } ]\n"
                          "particles = [ { effect = \"effects/sparks\" } ]\n"
                          "flow = { nodes = [ { name = \"area\" type = \"actor_event\" } ] }\n"},
    {"effects/sparks.material", "spark = { shader = \"particle\" }\n"},
};
// Copied from the shipped sample: an image, a shader library, an animation and an effect.
const char *const referencing_game_copies[] = {"textures/door.png", "shaders/sample.shader_library",
                                               "animations/vane_spin.animation", "effects/sparks.particles"};

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(BuildData, EveryNameASourceRefersToMustBeDefinedByTheBuild)
{
    struct Case {
        const char *name;
        const char *file; // the file the case edits ("" none)
        const char *from, *to;
        const char *message; // "" when the build must succeed
    };
    const Case cases[] = {
        {"every name resolves", "", "", "", ""},
        {"texture", "units/box.material", "\"textures/door\"", "\"textures/dor\"",
         "units/box.material:3: material 'box' (channel diffuse_map) names the texture 'textures/dor', which no "
         "package lists"},
        {"shader", "units/box.material", "\"mesh\"", "\"mesj\"",
         "units/box.material:2: material 'box' names the shader 'mesj', which no shader library defines as a template"},
        {"physics material", "units/box.unit", "material = \"wood\"", "material = \"wod\"",
         "units/box.unit:4: a shape of actor 'body' names the physics material 'wod', which no physics_properties "
         "source defines"},
        {"actor template", "units/box.unit", "\"dynamic\"", "\"dynamc\"",
         "units/box.unit:3: actor 'body' names the actor template 'dynamc', which no physics_properties source "
         "defines"},
        {"shape template", "units/box.unit", "\"solid\"", "\"solyd\"",
         "units/box.unit:4: a shape of actor 'body' names the shape template 'solyd'"},
        {"collision filter", "units/box.unit", "\"all\"", "\"al\"",
         "units/box.unit:5: the mover names the collision filter 'al'"},
        {"mesh material", "units/box.unit", "material = \"box\"", "material = \"bx\"",
         "units/box.unit:2: mesh 'body' names the material 'bx', which units/box.material does not define"},
        {"state machine", "units/box.unit", "state_machine = \"units/box\"", "state_machine = \"units/bx\"",
         "units/box.unit:6: the unit names the state machine 'units/bx', which no package lists"},
        {"animation", "units/box.state_machine", "\"animations/vane_spin\"", "\"animations/vane_spn\"",
         "units/box.state_machine:2: state 'spin' names the animation 'animations/vane_spn', which no package lists"},
        {"emitter material", "effects/sparks.material", "spark =", "sprak =",
         "effects/sparks.particles:23: an emitter names the material 'spark', which effects/sparks.material does not "
         "define"},
        {"level trigger template", "levels/yard.level", "actor_template = \"dynamic\"", "actor_template = \"dinamic\"",
         "levels/yard.level:2: a trigger names the actor template 'dinamic'"},
        {"level effect", "levels/yard.level", "\"effects/sparks\"", "\"effects/spark\"",
         "levels/yard.level:3: a level effect names the particle effect 'effects/spark', which no package lists"},
        {"flow effect", "levels/yard.level", "type = \"actor_event\" }",
         "type = \"actor_event\" }\n  { name = \"fx\" type = \"particles\" effect = \"effects/sprks\" }",
         "levels/yard.level:5: flow node 'fx' names the particle effect 'effects/sprks', which no package lists"},
        {"deleted image", "textures/door.png", "", "",
         "game.package:3: no source file for texture 'textures/door' (textures/door.png, .dds or .font)"},
        {"parse error in a package", "game.package", "\"units/box\" ]\nlevel", "units/box ]\nlevel",
         "game.package:5: 'units/box' is not a value config text reads"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDirectory sources, output;
        for (const char *dir : {"physics", "shaders", "textures", "units", "levels", "animations", "effects"})
            mkdir(sources.file(dir).c_str(), 0755);
        for (const SourceFile &f : referencing_game) {
            std::string text = f.text;
            if (std::string(f.name) == c.file)
                text = replaced(text, c.from, c.to);
            std::ofstream(sources.file(f.name), std::ios::binary) << text;
        }
        for (const char *copy : referencing_game_copies) {
            if (std::string(copy) != c.file)
                std::ofstream(sources.file(copy), std::ios::binary)
                    << read_text(std::string(TALLOW_SOURCE_DATA_DIR) + "/" + copy);
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

// The unit reader takes at most 504 nodes: a source with more used to compile and then never
// load. The level reader's graph bounds are the other half (tests/world).
TEST(BuildData, AUnitTheEngineWouldRefuseFailsTheBuild)
{
    TempDirectory sources, output;
    std::ofstream(sources.file("units.package"), std::ios::binary) << "unit = [ \"big\" ]\n";
    std::string unit = "nodes = [\n  { name = \"n0\" }\n";
    for (int i = 1; i < 505; ++i)
        unit += "  { name = \"n" + std::to_string(i) + "\" parent = \"n0\" }\n";
    std::ofstream(sources.file("big.unit"), std::ios::binary) << unit << "]\n";
    BuildResult r = build(sources.path(), output.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("[build_data] big.unit:506: nodes[504] 'n504': more nodes than a unit may have (504)"),
              std::string::npos)
        << r.output;
}

// A sound's default bus comes from an optional "<name>.sound" beside it; a sound environment
// from its config text source.
TEST(BuildData, SoundSettingsAndEnvironmentsAreCompiled)
{
    struct Case {
        const char *name;
        const char *settings;    // chime.sound ("" none)
        const char *environment; // hall.sound_environment
        const char *message;     // "" when the build must succeed
    };
    const Case cases[] = {
        {"no settings", "", "decay_time = 3\n", ""},
        {"a default bus", "bus = \"effects\"\n", "decay_time = 3\n", ""},
        {"misspelt settings key", "// the bus\nbuss = \"effects\"\n", "decay_time = 3\n",
         "chime.sound:2: unknown key 'buss'"},
        {"environment out of range", "", "room = 5\n", "hall.sound_environment:1: 'room' must be a number"},
    };
    std::ifstream wave(std::string(TALLOW_SOURCE_DATA_DIR) + "/sounds/chime.wav", std::ios::binary);
    const std::string chime((std::istreambuf_iterator<char>(wave)), std::istreambuf_iterator<char>());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDirectory sources, output;
        std::ofstream(sources.file("sounds.package"), std::ios::binary)
            << "wav = [ \"chime\" ]\nsound_environment = [ \"hall\" ]\n";
        std::ofstream(sources.file("chime.wav"), std::ios::binary) << chime;
        if (*c.settings)
            std::ofstream(sources.file("chime.sound"), std::ios::binary) << c.settings;
        std::ofstream(sources.file("hall.sound_environment"), std::ios::binary) << c.environment;
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
