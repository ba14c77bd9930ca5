#pragma once
// A whole Application running a boot script over a loose-file database, for tests of the
// script tables that need the Application, its window and real worlds.
//
//   class MyTest : public BootScriptTest {
//     protected: MyTest() { write_data({{"package", "boot", package_resource({})}}); }
//   };
//   EXPECT_EQ(run_boot("assert(World.num_units(Application.new_world()) == 0)"), "");

#include "game_fixture.h"

#include "tools/world/unit_compiler.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace tallow::test {

/// A "unit" resource compiled from unit source text (tools/world/unit_compiler.h).
inline std::string compiled_unit(const char *source)
{
    std::vector<u8> out;
    std::string error;
    EXPECT_TRUE(compile_unit_source(source, strlen(source), out, error)) << error;
    return std::string(out.begin(), out.end());
}

/// Every name a script can call in the environment: "Table.function" for each function of
/// each script table (its metatable's "__call" as "Table.__call"), and each engine global.
inline std::vector<std::string> registered_functions(lua_State *L)
{
    std::vector<std::string> names;
    lua_pushnil(L);
    while (lua_next(L, LUA_REGISTRYINDEX)) {
        // Script tables are kept in the registry under their name, with `_name` set to it.
        if (lua_type(L, -2) == LUA_TSTRING && lua_istable(L, -1)) {
            std::string table = lua_tostring(L, -2);
            lua_getfield(L, -1, "_name");
            bool is_script_table = lua_type(L, -1) == LUA_TSTRING && table == lua_tostring(L, -1);
            lua_pop(L, 1);
            if (is_script_table) {
                lua_pushnil(L);
                while (lua_next(L, -2)) {
                    if (lua_type(L, -2) == LUA_TSTRING && lua_iscfunction(L, -1))
                        names.push_back(table + "." + lua_tostring(L, -2));
                    lua_pop(L, 1);
                }
                if (lua_getmetatable(L, -1)) {
                    lua_getfield(L, -1, "__call");
                    if (lua_iscfunction(L, -1))
                        names.push_back(table + ".__call");
                    lua_pop(L, 2);
                }
            }
        }
        lua_pop(L, 1);
    }
    // Globals the engine replaces or adds (their closures carry the global's name).
    for (const char *global : {"tostring", "print", "require", "dofile"})
        names.push_back(global);
    std::sort(names.begin(), names.end());
    return names;
}

class BootScriptTest : public GameTest {
  protected:
    /// The settings file: boot package "boot", boot script "boot", then `extra` lines.
    void write_settings(const std::string &extra)
    {
        std::ofstream(data.file("settings.ini")) << "boot_package = \"boot\"\n"
                                                    "render_config = \"core/renderer\"\n"
                                                    "boot_script = \"boot\"\n"
                                                 << extra;
    }
    /// The loose-file database the Application reads; it must hold the package "boot".
    void write_data(const std::vector<TestResource> &resources) { EXPECT_TRUE(write_resources(resources)); }

    /// Runs the boot script's init, then `frames` frames with `update` as the body of its
    /// update, in a fresh Application; the script failures logged, or "".
    std::string run_boot(const std::string &init, const std::string &update = "", u32 frames = 0)
    {
        app.reset();
        source.set("boot", "function init()\n" + init + "\nend\nfunction update(dt)\n" + update +
                               "\nend\nfunction render() end\n");
        // An init that raises fails the start-up; no frame runs then.
        bool started = make().init();
        for (u32 i = 0; started && i < frames; ++i)
            app->update();
        std::string failure;
        bool init_failed = false;
        for (const std::string &line : log.lines()) {
            init_failed = init_failed || line.rfind("[Lua] init:", 0) == 0;
            if (line.rfind("[Lua] init:", 0) == 0 || line.rfind("[Lua] update:", 0) == 0)
                failure += line;
        }
        EXPECT_EQ(started, !init_failed) << failure;
        return failure;
    }
};

} // namespace tallow::test
