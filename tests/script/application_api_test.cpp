// The Application and Window tables in a whole Application: user settings kept across a
// start, argv past the Lua stack's minimum, the window operations, cursors from
// "mouse_cursor" resources, and the world list.
#include "boot_script_fixture.h"

#include "platform/window/window.h"
#include "world/world.h"

#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace tallow::test {
namespace {

class ApplicationApiTest : public BootScriptTest {
  protected:
    ApplicationApiTest()
    {
        write_settings("win32 = { user_settings = \"%APPDATA%/game/user_settings.ini\" }\n");
        write_data({
            {"package", "boot", package_resource({{"mouse_cursor", "cursors/hand"}})},
            {"mouse_cursor", "cursors/hand", mouse_cursor_resource(2, 2, 1, 0)},
        });
    }

    u32 journal_count(platform::HeadlessCall call) const
    {
        u32 n = 0;
        for (const platform::HeadlessCallRecord &r : window_system.journal())
            n += r.call == call;
        return n;
    }
};

TEST_F(ApplicationApiTest, UserSettingsSurviveASaveAndTheNextStart)
{
    EXPECT_EQ(run_boot("Application.set_win32_user_setting('player', 'spawn', Vector3(1, 2, 3))\n"
                       "Application.set_win32_user_setting('player', 'facing', Quaternion.identity())\n"
                       // A table with any string key is an object (its other keys are dropped).
                       "Application.set_win32_user_setting('mixed', {1, 2, name = 'x', on = true})\n"
                       // Integer keys make an array up to the largest key; holes stay nil.
                       "Application.set_win32_user_setting('sparse', {[1] = 'a', [3] = 'c'})\n"
                       "Application.set_win32_user_setting('list', 2, 'b', 0.5)\n"
                       "Application.save_win32_user_settings()\n"
                       "print('saved')"),
              "");
    EXPECT_EQ(log.count("[Lua] saved"), 1);
    log.clear();
    EXPECT_EQ(run_boot("local s = Application.win32_user_setting('player', 'spawn')\n"
                       "assert(s.x == 1 and s.y == 2 and s.z == 3)\n"
                       "assert(Application.win32_user_setting('player', 'facing', 'w') == 1)\n"
                       "local m = Application.win32_user_setting('mixed')\n"
                       "assert(m.name == 'x' and m.on == true and m[1] == nil)\n"
                       "local sparse = Application.win32_user_setting('sparse')\n"
                       "assert(sparse[1] == 'a' and sparse[2] == nil and sparse[3] == 'c')\n"
                       "assert(Application.win32_user_setting('list', 2, 'b') == 0.5)\n"
                       "assert(Application.win32_user_setting('list', 1) == nil)\n"
                       "print('read back')"),
              "");
    EXPECT_EQ(log.count("[Lua] read back"), 1);
}

TEST_F(ApplicationApiTest, WindowOperationsReachTheWindowLayer)
{
    EXPECT_EQ(run_boot("Window.set_title('Yard \xc3\xa9')\n"
                       "assert(Window.show_cursor() == false and Window.clip_cursor() == false)\n"
                       "Window.set_show_cursor(true)\nWindow.set_show_cursor(true)\n"
                       "Window.set_clip_cursor(true)\n"
                       "assert(Window.show_cursor() and Window.clip_cursor())\n"
                       "Window.set_mouse_focus(false)\nassert(Window.mouse_focus() == false)\n"
                       "Window.set_mouse_focus(true)\n"
                       "Window.set_cursor('cursors/hand')\n"
                       "assert(not pcall(Application.resolution)) -- no render interface here\n"
                       "Window.set_focus()\n"
                       "print('window done')"),
              "");
    EXPECT_EQ(log.count("[Lua] window done"), 1);
    platform::WindowHandle handle = app->window()->handle();
    EXPECT_STREQ(window_system.window_title(handle), "Yard \xc3\xa9");
    EXPECT_EQ(journal_count(platform::HeadlessCall::set_cursor_pos), 1u) << "the second call changes nothing";
    EXPECT_EQ(window_system.cursor_count(), 1u) << "the cursor image became a cursor";
    app->update(); // the window handles its set-cursor message
    EXPECT_NE(window_system.window_cursor(handle), platform::HeadlessWindowSystem::arrow_cursor_handle);
    EXPECT_NE(window_system.window_cursor(handle), 0u);

    log.clear();
    EXPECT_EQ(run_boot("Window.minimize()"), "");
    EXPECT_TRUE(window_system.is_minimized(app->window()->handle()));

    log.clear();
    std::string failure = run_boot("Window.set_cursor('cursors/missing')");
    EXPECT_NE(failure.find("bad argument #1 to 'Window.set_cursor' (no \"mouse_cursor\" resource of that name is "
                           "loaded)"),
              std::string::npos)
        << failure;
    app.reset();
    EXPECT_EQ(window_system.cursor_count(), 0u) << "released with its resource";
}

TEST_F(ApplicationApiTest, WorldsAreListedAndReleasedInAnyOrder)
{
    EXPECT_EQ(run_boot("local a, b, c = Application.new_world(), Application.new_world(), Application.new_world()\n"
                       "assert(tostring(a) == '[World]')\n"
                       "local all = Application.worlds()\n"
                       "assert(#all == 3 and World.num_units(all[2]) == 0)\n"
                       "World.set_data(b, 'k', 7)\n"
                       "assert(World.get_data(Application.worlds()[2], 'k') == 7, 'the same world')\n"
                       "Application.release_world(b)\n"
                       "all = Application.worlds()\n"
                       "assert(#all == 2 and World.num_units(all[2]) == 0)\n"
                       "W = c\n"
                       "print('worlds done')",
                       // Without a dt the world steps by the Application's frame time.
                       "World.update(W)\n"
                       "assert(math.abs(World.delta_time(W) - dt) < 1e-6 and dt > 0, World.delta_time(W) .. ' ' .. dt)\n"
                       "updates = (updates or 0) + 1\n"
                       "if updates == 3 then print('updates done') end",
                       3),
              "");
    EXPECT_EQ(log.count("[Lua] updates done"), 1);
    EXPECT_EQ(log.count("[Lua] worlds done"), 1);
    EXPECT_EQ(app->worlds().size(), 2u) << "left for the game's end to release";
    app.reset(); // no leak, no reference into a closed state (AddressSanitizer runs)
}

// argv pushes one string per argument: 25 of them are more than the Lua stack's minimum.
TEST_F(ApplicationApiTest, ArgvGivesEveryArgumentPastTheStackMinimum)
{
    if (getenv("TALLOW_ARGV_CHILD")) {
        EXPECT_EQ(run_boot("local args = {Application.argv()}\n"
                           "assert(select('#', Application.argv()) == 26, #args)\n"
                           "for i = 1, 25 do assert(args[i + 1] == 'arg' .. i, args[i + 1]) end\n"
                           "print('argv done')"),
                  "");
        EXPECT_EQ(log.count("[Lua] argv done"), 1);
        return;
    }
    // This same test again in a child process with 25 more arguments.
    std::vector<std::string> strings = {"/proc/self/exe",
                                        "--gtest_filter=ApplicationApiTest.ArgvGivesEveryArgumentPastTheStackMinimum"};
    for (int i = 1; i <= 25; ++i)
        strings.push_back("arg" + std::to_string(i));
    std::vector<char *> argv;
    for (std::string &s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    setenv("TALLOW_ARGV_CHILD", "1", 1);
    pid_t pid;
    int spawned = posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ);
    unsetenv("TALLOW_ARGV_CHILD");
    ASSERT_EQ(spawned, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's test failed";
}

} // namespace
} // namespace tallow::test
