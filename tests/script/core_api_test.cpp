#include "script_fixture.h"

#include "script/runtime/registration.h"
#include "script/script_api.h"

#include <cstdio>

namespace tallow::test {
namespace {

class CoreApiTest : public ScriptTest {
  protected:
    CoreApiTest() { register_script_api(env, nullptr, nullptr, default_allocator()); }

    /// tostring of the global `name`, through a protected call of the global function.
    std::string text_of(const std::string &expression)
    {
        std::string error = run("text = tostring(" + expression + ")");
        return error.empty() ? string("text") : "error: " + error;
    }
};

TEST_F(CoreApiTest, TostringGivesTheExactTextOfEveryKindOfValue)
{
    lua_State *L = env.state();
    // A full userdata of a script table (as a World is), one without a _name, one without
    // a metatable.
    ASSERT_EQ(run("World = World or {}; World._name = 'World'"), "");
    lua_newuserdata(L, 8);
    lua_getglobal(L, "World");
    lua_setmetatable(L, -2);
    lua_setglobal(L, "world");
    lua_newuserdata(L, 8);
    lua_newtable(L);
    lua_setmetatable(L, -2);
    lua_setglobal(L, "nameless");
    lua_newuserdata(L, 8);
    lua_setglobal(L, "bare");
    // Engine objects' look-alikes as light userdata: tagged like an actor and a GUI.
    static const ActorObjectHeader actor{actor_object_tag, 0, 0x00C0FFEE};
    static const u32 gui[4] = {gui_object_tag, 0, 0, 0};
    static const u32 other[4] = {0xDEADBEEF, 0, 0, 0};
    const std::pair<const char *, const void *> objects[] = {
        {"actor", &actor}, {"gui", gui}, {"other", other}, {"null", nullptr}};
    for (const auto &[name, pointer] : objects) {
        lua_pushlightuserdata(L, const_cast<void *>(pointer));
        lua_setglobal(L, name);
    }
    LuaStack(L).push_unit_reference(0x00010002);
    lua_setglobal(L, "unit");
    // Only objects a live list holds are read through: these fakes (like freed objects) are
    // named by their address. Live actors and GUIs: physics_api_test, render_api_test.
    auto unknown_text = [](const void *pointer) {
        char text[64];
        std::snprintf(text, sizeof(text), "[Unknown C object %p]", pointer);
        return std::string(text);
    };
    const std::string unknown = unknown_text(other);

    struct Case {
        std::string expression;
        std::string text;
    };
    const Case cases[] = {
        {"nil", "nil"},
        {"false", "false"},
        {"true", "true"},
        {"1.5", "1.5"},
        {"1e6", "1e+06"},
        {"0.1", "0.1"},
        {"-3", "-3"},
        {"16777217", "1.67772e+07"},
        {"1/0", "inf"},
        {"'a string'", "a string"},
        {"Vector3(1, -2.5, 3)", "Vector3(1, -2.5, 3)"},
        {"Quaternion.identity()", "Quaternion(0, 0, 0, 1)"},
        {"Matrix4x4.from_translation(Vector3(1, 2, 3))",
         "Matrix4x4(    1, 0, 0,\n    0, 1, 0,\n    0, 0, 1,\n    1, 2, 3\n)"},
        {"null", "[NULL]"},
        {"world", "[World]"},
        {"nameless", "[userdata]"},
        {"bare", "[userdata]"},
        {"unit", "[Unit (deleted)]"}, // no unit lives in this test; live units: world_api_test
        {"actor", unknown_text(&actor)},
        {"gui", unknown_text(gui)},
        {"other", unknown},
        {"{}", "table"},
        {"print", "function"},
        {"coroutine.create(print)", "[Unknown]"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expression);
        EXPECT_EQ(text_of(c.expression), c.text);
    }
    // print goes through the global tostring.
    log.clear();
    ASSERT_EQ(run("print(Vector3(0, 0.5, 1), 2^24 + 1)"), "");
    EXPECT_EQ(log.count("[Lua] Vector3(0, 0.5, 1)\t1.67772e+07"), 1);
    EXPECT_NE(run("tostring()").find("bad argument #1 to 'tostring' (value expected, got no value)"),
              std::string::npos);
}

TEST_F(CoreApiTest, ProfilerHooksDoNothingAndTempCountsFollowTheScript)
{
    EXPECT_EQ(run("assert(select('#', Profiler.start('x')) == 0 and select('#', Profiler.stop()) == 0)\n"
                  "Script.set_temp_count(0, 0, 0)\n"
                  "local v = Vector3(1, 2, 3)\n"
                  "local a, b, c = Script.temp_count()\n"
                  "assert(a == 1 and b == 0 and c == 0)\n"
                  "Script.set_temp_count(0, 0, 0)\n"
                  "local w = Vector3(4, 5, 6)\n"
                  "local ok, e = pcall(Vector3.x, v)  -- dropped: stale, never read as w\n"
                  "assert(not ok and e:find('a stale temporary', 1, true), e)\n"
                  "assert(Vector3.x(w) == 4)\n"),
              "");
}

} // namespace
} // namespace tallow::test
