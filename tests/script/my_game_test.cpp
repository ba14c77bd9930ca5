#include "game_fixture.h"

#include "foundation/config/config_value.h"
#include "foundation/threads/thread_pool.h"
#include "script/runtime/script_jobs.h"
#include "foundation/strings/command_line.h"

namespace tallow::test {
namespace {

class MyGameTest : public GameTest {
  protected:
    // The boot package the settings name, empty, in the data's loose-file database.
    MyGameTest() { EXPECT_TRUE(write_resources({{"package", "boot", package_resource({})}})); }

    /// The script's print lines, in order.
    std::vector<std::string> script_lines()
    {
        std::vector<std::string> result;
        for (const std::string &line : log.lines())
            if (line.rfind("[Lua] ", 0) == 0)
                result.push_back(line.substr(6));
        return result;
    }
};

TEST_F(MyGameTest, BootScriptDrivesInitUpdateRenderAndShutdownInOrder)
{
    source.set("boot", "frames = 0\n"
                       "function init() print('init') end\n"
                       "function update(dt) frames = frames + 1; print('update ' .. frames .. ' ' .. type(dt))\n"
                       "  if frames == 3 then Application.quit() end end\n"
                       "function render() print('render ' .. frames) end\n"
                       "function shutdown() print('shutdown ' .. frames) end\n");
    EXPECT_EQ(make().run(), RunResult::Quit);
    app.reset(); // shutdown: the game goes first
    const std::vector<std::string> expected = {
        "init",     "update 1 number", "render 1", "update 2 number", "render 2",
        "update 3 number", "render 3", "shutdown 3",
    };
    EXPECT_EQ(script_lines(), expected);
}

TEST_F(MyGameTest, AnErrorRepeatedEveryFrameIsLoggedOnceThenCounted)
{
    // A failing update and a missing render used to log a line each, every frame.
    source.set("boot", "frames = 0\n"
                       "function update(dt) frames = frames + 1\n"
                       "  if frames == 30 then error('other') end\n"
                       "  if frames == 50 then Application.quit() end\n"
                       "  error('bad update') end\n");
    Application &a = make();
    EXPECT_EQ(a.run(), RunResult::Quit);
    EXPECT_EQ(a.frame_count(), 50u);
    auto *game = static_cast<MyGame *>(a.game());
    ASSERT_NE(game, nullptr);
    EXPECT_TRUE(game->is_paused());
    // The missing init and shutdown globals are reported, not fatal.
    EXPECT_EQ(log.count("[Lua] init: "), 1);
    app.reset();
    EXPECT_EQ(log.count("[Lua] shutdown: "), 1);
    const std::vector<std::string> expected = {
        "init: attempt to call a nil value",
        "update: boot.lua:5: bad update",
        "render: attempt to call a nil value",
        "update: the previous error repeated 28 more times",
        "update: boot.lua:3: other",
        "update: boot.lua:5: bad update",
        "update: the previous error repeated 19 more times",
        "render: the previous error repeated 49 more times",
        "shutdown: attempt to call a nil value",
    };
    std::vector<std::string> errors;
    for (const std::string &line : script_lines())
        if (line.find(": ") != std::string::npos && line.rfind("  ", 0) != 0) // not a traceback frame
            errors.push_back(line);
    EXPECT_EQ(errors, expected);
}

TEST_F(MyGameTest, ScriptJobsAndReloadReachTheMainAndEveryJobState)
{
    source.set("jobs", "version = 1\n"
                       "function work(unit)\n"
                       "  local x = 0 for i = 1, 100000 do x = x + i end\n"
                       "  print('job ' .. version .. ' ' .. speed)\n"
                       "end\n");
    source.set("boot", "function init() assert(Game.job_thread_require('jobs')) end\n"
                       "function render() end\n"
                       "function update(dt)\n"
                       "  print('main 1')\n"
                       "  for i = 1, 400 do Game.add_job('work', unit) end\n"
                       "  Game.set_job_global('speed', 2)\n"
                       "  failed = Game.run_jobs()\n"
                       "end\n");
    Application &a = make();
    ASSERT_TRUE(a.init());
    auto *game = static_cast<MyGame *>(a.game());
    ASSERT_NE(game, nullptr);
    lua_State *L = game->lua().state();
    LuaStack(L).push_unit_reference(0x00010002);
    lua_setglobal(L, "unit");
    a.update();
    EXPECT_EQ(log.count("[Lua] main 1"), 1);
    EXPECT_EQ(log.count("[Lua] job 1 2"), 400);
    std::set<std::thread::id> threads = log.threads_of("[Lua] job 1");
    EXPECT_GT(threads.size(), 1u);
    EXPECT_LE(threads.size(), a.thread_pool()->member_count());

    source.set("jobs", "version = 2\n"
                       "function work(unit) print('job ' .. version .. ' ' .. speed) end\n");
    source.set("boot", "function render() end\n"
                       "function update(dt)\n"
                       "  print('main 2')\n"
                       "  for i = 1, 40 do Game.add_job('work', unit) end\n"
                       "  Game.set_job_global('speed', 3)\n"
                       "  Game.run_jobs()\n"
                       "end\n");
    EXPECT_FALSE(game->is_paused());
    game->lua().reload_all();
    game->reload_jobs();
    log.clear();
    a.update();
    EXPECT_EQ(log.count("[Lua] main 2"), 1);
    EXPECT_EQ(log.count("[Lua] job 2 3"), 40);
    EXPECT_EQ(log.count("[Lua] job 1"), 0);
    EXPECT_FALSE(game->is_paused());
}

TEST_F(MyGameTest, HotReloadThroughThePackagesRerunsTheScripts)
{
    // The scripts come from the boot package's "lua" resources in the loose-file database.
    game_scripts = nullptr;
    auto write = [&](const char *version) {
        std::string boot = std::string("function update() print('update ") + version + "') end\n"
                           "function init() end function render() end function shutdown() end\n";
        return write_resources({{"lua", "boot", lua_resource(boot)},
                                {"package", "boot", package_resource({{"lua", "boot"}})}});
    };
    ASSERT_TRUE(write("1"));
    Application &a = make();
    ASSERT_TRUE(a.init());
    a.update();
    EXPECT_EQ(log.count("[Lua] update 1"), 1);

    ASSERT_TRUE(write("2"));
    a.update();
    EXPECT_EQ(log.count("[Lua] update 2"), 0) << "nothing changes before the reload";
    ASSERT_NE(a.game(), nullptr);
    a.game()->reload(lua_script_type.value(), NameId64("boot").value());
    a.update();
    EXPECT_EQ(log.count("[Lua] update 2"), 1);
    // A resource no package holds reloads nothing.
    a.game()->reload(lua_script_type.value(), NameId64("elsewhere").value());
    a.update();
    EXPECT_EQ(log.count("[Lua] update 2"), 2);
    EXPECT_FALSE(static_cast<MyGame *>(a.game())->is_paused());
}

TEST_F(MyGameTest, ABootScriptThatDoesNotLoadFailsTheStartup)
{
    Application &a = make(); // the source has no "boot"
    EXPECT_EQ(a.run(), RunResult::StartupFailed);
    EXPECT_EQ(a.frame_count(), 0u);
    app.reset();
    EXPECT_EQ(log.count("[Lua] boot script: script not found: boot"), 1);
    EXPECT_EQ(log.count("[Lua] update:"), 0);
    EXPECT_EQ(log.count("[Lua] render:"), 0);
    EXPECT_EQ(log.count("[Lua] shutdown:"), 0);
}

TEST_F(MyGameTest, AnInitThatRaisesFailsTheStartup)
{
    // It used to be logged once, and the game then ran on with an error every frame.
    source.set("boot", "function init() local t = nil; return t.x end\n"
                       "function update(dt) print('update') end\n"
                       "function render() print('render') end\n"
                       "function shutdown() print('shutdown') end\n");
    Application &a = make();
    EXPECT_EQ(a.run(), RunResult::StartupFailed);
    EXPECT_EQ(a.frame_count(), 0u);
    app.reset();
    EXPECT_EQ(log.count("[Lua] init: boot.lua:1: attempt to index local 't'"), 1);
    EXPECT_EQ(log.count("the boot script's init failed; the game cannot start"), 1);
    // With the traceback of where it was raised.
    EXPECT_EQ(log.count("[Lua] stack traceback:"), 1);
    EXPECT_EQ(log.count("[Lua]   boot.lua:1: in function"), 1);
    EXPECT_EQ(log.count("[Lua] update"), 0);
    EXPECT_EQ(log.count("[Lua] render"), 0);
    EXPECT_EQ(log.count("[Lua] shutdown"), 0);

    // A boot script with no init at all is reported and starts.
    log.clear();
    source.set("boot", "function update(dt) Application.quit() end\n");
    EXPECT_EQ(make().run(), RunResult::Quit);
    EXPECT_EQ(log.count("[Lua] init: attempt to call a nil value"), 1);
}

TEST_F(MyGameTest, ConsoleCommandsPauseAndUnpause)
{
    source.set("boot", "");
    Application &a = make();
    ASSERT_TRUE(a.init());
    auto *game = static_cast<MyGame *>(a.game());
    ASSERT_NE(game, nullptr);
    struct Case {
        const char *arg; // null: no "arg" member
        bool handled;
        bool paused_after;
    };
    const Case cases[] = {
        {"pause", true, true}, {"help", false, true}, {"unpause", true, false}, {nullptr, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arg ? c.arg : "(none)");
        ConfigValue command(default_allocator());
        command.set_object();
        if (c.arg)
            command.member("arg").push_back().set_string(c.arg);
        EXPECT_EQ(game->console_command(command), c.handled);
        EXPECT_EQ(game->is_paused(), c.paused_after);
    }
}

} // namespace
} // namespace tallow::test

namespace tallow::test {
namespace {

TEST_F(MyGameTest, ApplicationTableReachesTheApplication)
{
    source.set("boot", "function update() end function render() end");
    Application &a = make();
    ASSERT_TRUE(a.init());
    auto *game = static_cast<MyGame *>(a.game());
    ASSERT_NE(game, nullptr);
    lua_State *L = game->lua().state();
    auto run = [&](const char *code) {
        std::string result;
        if (luaL_loadstring(L, code) || lua_pcall(L, 0, 0, 0))
            result = lua_tostring(L, -1);
        lua_settop(L, 0);
        return result;
    };
    EXPECT_EQ(run("assert(Application.platform() == 'win32' and Application.build() == 'release')\n"
                  "assert(Application.process_id() > 0 and type(Application.time_since_launch()) == 'number')\n"
                  "for _, arg in ipairs({Application.argv()}) do assert(type(arg) == 'string') end\n"
                  "Application.set_win32_user_setting('a', 2, 'b', true)\n"
                  "assert(Application.win32_user_setting('a', 2, 'b') == true)\n"
                  "local a = Application.win32_user_setting('a')\n"
                  "assert(#a == 2 and a[1] == nil and a[2].b == true)\n"
                  "assert(Application.win32_user_setting('a', 3) == nil)\n"
                  "assert(Application.win32_user_setting('missing', 'x') == nil)\n"
                  "Application.set_win32_user_setting('video', {mode = 'window', size = {1280, 720}})\n"
                  "local v = Application.win32_user_setting('video')\n"
                  "assert(v.mode == 'window' and v.size[1] == 1280 and v.size[2] == 720)\n"
                  "Application.set_resource_property_preference_order('high', 'low')"),
              "");
    ConfigValue *settings = a.user_settings();
    ASSERT_NE(settings, nullptr);
    ASSERT_NE(settings->find("a"), nullptr);
    EXPECT_EQ(settings->find("a")->items()[1].find("b")->to_bool(), true);
    EXPECT_EQ(a.resource_property_preference_order().size(), 2u);

    const ScriptErrorCase cases[] = {
        {"Application.set_win32_user_setting('a', 0, true)", "bad argument #2 to 'Application.set_win32_user_setting' (0 out of range"},
        {"Application.set_win32_user_setting('a', 1e9, true)", "out of range [1, 65536]"},
        {"Application.set_win32_user_setting('a', {[1e9] = 1})", "array index 1000000000 above 65536"},
        {"local t = {} t.self = t Application.set_win32_user_setting('a', t)", "nested deeper than 64 levels"},
        {"Application.set_win32_user_setting('a', {}, true)", "bad argument #2 to 'Application.set_win32_user_setting' (number expected, got table)"},
        {"Application.set_win32_user_setting('only')", "bad argument #2 to 'Application.set_win32_user_setting' (value expected"},
        {"Application.win32_user_setting()", "bad argument #1 to 'Application.win32_user_setting' (key expected"},
        {"Application.set_resource_property_preference_order('1','2','3','4','5','6','7','8','9','10','11')", "bad argument #11"},
        {"Application.open_url_in_browser(nil)", "bad argument #1 to 'Application.open_url_in_browser' (string expected, got nil)"},
    };
    expect_script_errors(cases, run);
    // argv gives the process's arguments after the program path, in order.
    Array<DynamicString> arguments(default_allocator());
    ASSERT_TRUE(command_line_arguments(arguments));
    ASSERT_GE(arguments.size(), 1u);
    ASSERT_EQ(luaL_loadstring(L, "return {Application.argv()}"), 0);
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), 0);
    ASSERT_TRUE(lua_istable(L, -1));
    ASSERT_EQ(lua_objlen(L, -1), arguments.size() - 1);
    for (u32 i = 1; i < arguments.size(); ++i) {
        lua_rawgeti(L, -1, int(i));
        EXPECT_STREQ(lua_tostring(L, -1), arguments[i].c_str());
        lua_pop(L, 1);
    }
    lua_settop(L, 0);

    // A failed setter changed nothing it had not checked.
    EXPECT_EQ(run("assert(Application.win32_user_setting('a', 2, 'b') == true)"), "");

    EXPECT_FALSE(a.is_quitting());
    EXPECT_EQ(run("Application.quit()"), "");
    EXPECT_TRUE(a.is_quitting());
}

} // namespace
} // namespace tallow::test
