// The shading environment compiler: sources in config text become environments the engine's
// reader accepts, with their values where the variables say, and sources it does not fully
// understand fail with the place.
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "render/world/render_shading_environment.h"
#include "tools/render/shading_environment_compiler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace tallow {
namespace {

bool compile(const std::string &text, std::vector<u8> &out, std::string &error)
{
    return compile_shading_environment_source(text.data(), text.size(), out, error);
}

u32 id32(const char *name) { return NameId32(name).value(); }

/// The f32s of setting `name` from `first` on.
std::vector<f32> setting_floats(const ShadingEnvironmentResource &r, const char *name, u32 first, u32 count)
{
    const ShadingSetting *s = r.find_setting(id32(name));
    if (!s || (first + count) * 4 > s->size_bytes)
        return {};
    std::vector<f32> out(count);
    memcpy(out.data(), r.setting_bytes.data() + s->offset + first * 4, count * 4);
    return out;
}

TEST(ShadingEnvironmentCompiler, CompilesVariablesSettingsAndBindingsTheReaderTakes)
{
    const char *source = R"(
        material = "environments/sky"
        variables = [
            { name = "sun_color" type = "vector3" }
            { name = "fog" type = "vector2" count = 2 render = false }
            { name = "exposure" type = "scalar" }
        ]
        settings = {
            default = { sun_color = [1 0.5 0.25] fog = [1 2 3 4] exposure = 2 }
            dusk = { exposure = 0.5 }
        }
        bindings = [ { material = "sky" parameter = "tint" variable = "sun_color" } ]
    )";
    std::vector<u8> bytes;
    std::string error;
    ASSERT_TRUE(compile(source, bytes, error)) << error;
    ShadingEnvironmentResource *r = read_shading_environment(bytes.data(), bytes.size(), default_allocator());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->material, NameId64("environments/sky").value());

    // Each variable's value follows the last one's, sized by its type and count.
    struct Case {
        u32 type, count, offset;
    };
    const Case variables[] = {{2, 1, 0}, {1, 2, 12}, {0, 1, 28}};
    ASSERT_EQ(r->variables.size(), 3u);
    for (u32 i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r->variables[i].type, variables[i].type);
        EXPECT_EQ(r->variables[i].element_count, variables[i].count);
        EXPECT_EQ(r->variables[i].offset, variables[i].offset);
    }
    // Sent to the render side by name, except the one that says not.
    ASSERT_EQ(r->render_variables.size(), 2u);
    EXPECT_EQ(r->render_variables[0].variable, 0u);
    EXPECT_EQ(r->render_variables[0].id, id32("sun_color"));
    EXPECT_EQ(r->render_variables[1].variable, 2u);
    EXPECT_EQ(r->render_variables[1].id, id32("exposure"));

    EXPECT_EQ(setting_floats(*r, "default", 0, 8), (std::vector<f32>{1, 0.5f, 0.25f, 1, 2, 3, 4, 2}));
    EXPECT_EQ(setting_floats(*r, "dusk", 0, 8), (std::vector<f32>{0, 0, 0, 0, 0, 0, 0, 0.5f})) << "left out: 0";

    ASSERT_EQ(r->bindings.size(), 1u);
    EXPECT_EQ(r->bindings[0].value_set, id32("sky"));
    EXPECT_EQ(r->bindings[0].parameter, id32("tint"));
    EXPECT_EQ(r->bindings[0].variable, 0u);
    destroy_shading_environment(r, default_allocator());
}

TEST(ShadingEnvironmentCompiler, SourcesItDoesNotUnderstandFailWithTheirLine)
{
    struct Case {
        const char *name;
        const char *source;
        const char *error;
    };
    const Case cases[] = {
        {"unknown key", "variables = []\nlights = 1\n", "2: unknown key 'lights'"},
        {"unknown type", "variables = [\n { name = \"a\" type = \"matrix\" } ]\n", "2: variable 'a' has no type"},
        {"no name", "variables = [ { type = \"scalar\" } ]\n", "a variable has no name"},
        {"twice", "variables = [ { name = \"a\" type = \"scalar\" }\n { name = \"a\" type = \"vector2\" } ]\n",
         "variable 'a' is declared twice"},
        {"count", "variables = [ { name = \"a\" type = \"scalar\" count = 0 } ]\n", "the count of variable 'a'"},
        {"unknown variable key", "variables = [ { name = \"a\" type = \"scalar\" size = 2 } ]\n",
         "variable 'a' has an unknown key 'size'"},
        {"value for nothing", "variables = []\nsettings = {\n default = { b = 1 } }\n",
         "3: setting 'default' gives a value for no variable 'b'"},
        {"wrong shape", "variables = [ { name = \"a\" type = \"vector3\" } ]\nsettings = { default = {\n a = [1 2] } }\n",
         "value 'a' of setting 'default' is not 3 numbers"},
        {"array shape", "variables = [ { name = \"a\" type = \"scalar\" count = 2 } ]\nsettings = { default = { a = 1 } }\n",
         "value 'a' of setting 'default' is not 2 numbers"},
        {"binding to nothing", "material = \"m\"\nbindings = [ { material = \"sky\" parameter = \"tint\" variable = \"c\" } ]\n",
         "a binding names no variable 'c'"},
        {"binding to an array",
         "material = \"m\"\nvariables = [ { name = \"a\" type = \"scalar\" count = 2 } ]\n"
         "bindings = [ { material = \"sky\" parameter = \"tint\" variable = \"a\" } ]\n",
         "a binding names the array 'a'"},
        {"binding without material",
         "variables = [ { name = \"a\" type = \"scalar\" } ]\nbindings = [ { material = \"sky\" parameter = \"p\" variable = \"a\" } ]\n",
         "needs the key material"},
        {"unreadable word", "variables = [ { name = \"a\" type = scalar } ]\n", "1: 'scalar' is not a value"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> bytes;
        std::string error;
        EXPECT_FALSE(compile(c.source, bytes, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

// The sample's environment compiles, its "default" setting holds every variable's value, and
// the variable for the shadow step stays on the game side (it reaches the render side only
// through its material binding).
TEST(ShadingEnvironmentCompiler, TheSampleEnvironmentCompiles)
{
    std::ifstream file(std::string(TALLOW_SOURCE_DATA_DIR) + "/shading_environments/default.shading_environment");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    std::vector<u8> bytes;
    std::string error;
    ASSERT_TRUE(compile(text, bytes, error)) << error;
    ShadingEnvironmentResource *r = read_shading_environment(bytes.data(), bytes.size(), default_allocator());
    ASSERT_NE(r, nullptr);
    const ShadingSetting *s = r->find_setting(id32("default"));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->size_bytes, 52u);
    EXPECT_EQ(r->render_variables.size(), 4u);
    EXPECT_EQ(r->material, NameId64("materials/lighting").value());
    EXPECT_EQ(r->bindings.size(), 3u);
    destroy_shading_environment(r, default_allocator());
}

} // namespace
} // namespace tallow
