// The script API reference (docs/script_api.md) names every function a script can reach.
#include "boot_script_fixture.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace tallow::test {
namespace {

/// Every name a script can call in the environment: "Table.function" for each function of
/// each script table (its metatable's "__call" as "Table.__call"), and each engine global.
std::vector<std::string> registered_functions(lua_State *L)
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

class ScriptApiReferenceTest : public BootScriptTest {
  protected:
    ScriptApiReferenceTest() { write_data({{"package", "boot", package_resource({})}}); }
};

TEST_F(ScriptApiReferenceTest, EveryRegisteredFunctionHasItsLine)
{
    std::ifstream file(TALLOW_SCRIPT_API_REFERENCE, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::string reference = text.str();
    ASSERT_FALSE(reference.empty()) << TALLOW_SCRIPT_API_REFERENCE;

    // The whole API: the Application's game registers every table, as a run does.
    source.set("boot", "");
    ASSERT_TRUE(make().init());
    lua_State *L = static_cast<MyGame *>(app->game())->lua().state();
    std::vector<std::string> names = registered_functions(L);
    ASSERT_GT(names.size(), 50u);
    std::vector<std::string> missing;
    for (const std::string &name : names) {
        // A line of the reference begins "- `Name(" or "- `Name`", so "Unit.node" is not
        // taken for "Unit.node_position".
        if (reference.find("`" + name + "(") == std::string::npos && reference.find("`" + name + "`") == std::string::npos)
            missing.push_back(name);
    }
    std::string list;
    for (const std::string &name : missing)
        list += "  " + name + "\n";
    EXPECT_TRUE(missing.empty()) << "add a line to docs/script_api.md for each of:\n" << list;
}

} // namespace
} // namespace tallow::test
