// Every example of docs/data_formats.md compiles: each fenced block tagged with a source kind
// goes through that kind's compiler (config text the build only copies or flattens is parsed
// with the build's strictness). Every kind the page describes has at least one example.
#include "foundation/config/config_value.h"
#include "tools/animation/animation_compiler.h"
#include "tools/render/font_compiler.h"
#include "tools/world/level_compiler.h"
#include "tools/render/material_compiler.h"
#include "tools/network/network_config_compiler.h"
#include "tools/render/particle_compiler.h"
#include "tools/physics/physics_properties_compiler.h"
#include "tools/render/shader_library_compiler.h"
#include "tools/render/shading_environment_compiler.h"
#include "tools/sound/sound_environment_compiler.h"
#include "tools/source_check.h"
#include "tools/animation/state_machine_compiler.h"
#include "tools/world/unit_compiler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace tallow {
namespace {

struct Example {
    std::string kind;
    std::string text;
    int line = 0; // of the opening fence
};

std::vector<Example> fenced_blocks(const std::string &page)
{
    std::vector<Example> blocks;
    std::istringstream in(page);
    std::string line;
    int number = 0;
    Example *open = nullptr;
    while (std::getline(in, line)) {
        ++number;
        if (line.rfind("```", 0) == 0) {
            if (open) {
                open = nullptr;
            } else {
                blocks.push_back({line.substr(3), {}, number});
                open = &blocks.back();
            }
        } else if (open) {
            open->text += line + "\n";
        }
    }
    return blocks;
}

bool compile(const Example &e, std::string &error)
{
    const char *t = e.text.data();
    const u64 n = e.text.size();
    std::vector<u8> out;
    const std::string &k = e.kind;
    if (k == "package" || k == "settings" || k == "strings" || k == "render_config" || k == "sound") {
        ConfigValue *root = parse_source_text(t, n, error);
        if (root)
            destroy_config_root(root);
        return root != nullptr;
    }
    if (k == "font") {
        CompiledFont font;
        return compile_font_source(t, n, ".", font, error);
    }
    return k == "unit"                   ? compile_unit_source(t, n, out, error)
           : k == "level"                ? compile_level_source(t, n, out, error)
           : k == "material"             ? compile_material_source(t, n, out, error)
           : k == "shader_library"       ? compile_shader_library_source(t, n, out, error)
           : k == "shader_library_group" ? compile_shader_library_group_source(t, n, out, error)
           : k == "shading_environment"  ? compile_shading_environment_source(t, n, out, error)
           : k == "physics_properties"   ? compile_physics_properties_source(t, n, out, error)
           : k == "animation"            ? compile_animation_source(t, n, out, error)
           : k == "state_machine"        ? compile_state_machine_source(t, n, out, error)
           : k == "bones"                ? compile_bones_source(t, n, out, error)
           : k == "particles"            ? compile_particle_source(t, n, out, error)
           : k == "network_game_config"  ? compile_network_config_source(t, n, out, error)
           : k == "sound_environment"    ? compile_sound_environment_source(t, n, out, error)
                                         : (error = "no compiler for the kind '" + k + "'", false);
}

TEST(DataFormatsDoc, EveryExampleCompiles)
{
    std::ifstream file(TALLOW_DOCS_DIR "/data_formats.md", std::ios::binary);
    ASSERT_TRUE(file) << TALLOW_DOCS_DIR "/data_formats.md";
    const std::string page((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::map<std::string, int> compiled;
    for (const Example &e : fenced_blocks(page)) {
        if (e.kind.empty() || e.kind == "lua")
            continue; // prose blocks and scripts
        SCOPED_TRACE("docs/data_formats.md:" + std::to_string(e.line) + " (" + e.kind + ")");
        std::string error;
        EXPECT_TRUE(compile(e, error)) << error;
        ++compiled[e.kind];
    }
    for (const char *kind : {"package", "settings", "strings", "unit", "level", "material", "shader_library",
                             "shader_library_group", "render_config", "shading_environment", "physics_properties",
                             "animation", "state_machine", "bones", "particles", "font", "network_game_config",
                             "sound", "sound_environment"})
        EXPECT_GT(compiled[kind], 0) << "no example of " << kind;
}

} // namespace
} // namespace tallow
