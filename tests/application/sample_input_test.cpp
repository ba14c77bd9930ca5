// The shipped sample as a run starts it (the program's services over the compiled data),
// driven by key messages injected through the headless window backend: the keyboard walks
// the character; left alone, the game's scripted player plays it to its end.
#include "application/application.h"
#include "application/application_options.h"
#include "application/engine_setup.h"
#include "application/my_game.h"
#include "foundation/memory/memory_globals.h"
#include "platform/window/window.h"
#include "platform/window/window_headless.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>
#include <lua.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace tallow::test {
namespace {

using namespace platform;

class SampleInputTest : public ::testing::Test {
  protected:
    SampleInputTest()
    {
        setenv("XDG_CONFIG_HOME", config_home.path(), 1);
        setenv("XDG_DATA_HOME", data_home.path(), 1); // the sample's saves
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        start();
    }
    ~SampleInputTest() override
    {
        app.reset();
        if (const auto release = engine_setup().release_resource_types)
            release(); // what registering the types installed goes with the last program
    }

    /// A fresh Application over the sample (not yet initialised), kept in `app`.
    void start()
    {
        app.reset();
        const char *arguments[] = {"bin/tallow", "-data-dir", TALLOW_BUILT_DATA_DIR};
        options = std::make_unique<ApplicationOptions>(default_allocator(), 3, arguments);
        ApplicationParams params = engine_params(*options, window_system);
        app = std::make_unique<Application>(params);
    }

    void key(u32 code, u32 vk) { window_system.inject({app->window()->handle(), code, vk, code == WM_KEYUP ? i64(0xC0000001) : 1, {}}); }

    /// Runs `code` in the game's own Lua state; its first result as a number.
    f64 lua_number(const char *code)
    {
        lua_State *L = static_cast<MyGame *>(app->game())->lua().state();
        EXPECT_EQ(luaL_dostring(L, code), 0) << lua_tostring(L, -1);
        f64 n = lua_tonumber(L, -1);
        lua_settop(L, 0);
        return n;
    }

    /// The character's position (its feet), read by the game's own Lua state.
    void player_position(f64 &x, f64 &y)
    {
        lua_State *L = static_cast<MyGame *>(app->game())->lua().state();
        ASSERT_EQ(luaL_dostring(L, "local p = Unit.local_position(player, 0) return p.x, p.y"), 0) << lua_tostring(L, -1);
        x = lua_tonumber(L, -2);
        y = lua_tonumber(L, -1);
        lua_pop(L, 2);
    }

    TempDirectory config_home;
    TempDirectory data_home;
    HeadlessWindowSystem window_system{default_allocator()};
    std::unique_ptr<ApplicationOptions> options;
    std::unique_ptr<Application> app;
};

TEST_F(SampleInputTest, KeysTakeOverTheCharacterFromTheScriptedPlayerAndEscQuits)
{
    LogCapture log("Lua");
    ASSERT_TRUE(app->init());
    // Fixed steps: on a slow machine (or under a sanitizer) ten wall-clock frames of D walk
    // the character a metre into the crate ahead, which pushes it off its line.
    app->set_fixed_frame_step(1.0f / 60.0f);
    f64 x0, y0, x, y;
    player_position(x0, y0);
    EXPECT_EQ(x0, 0.0);
    EXPECT_EQ(y0, -2.0);
    ASSERT_TRUE(app->update());
    EXPECT_FALSE(log.contains("a person took over")) << "no key yet: the scripted player has it";

    // D held for some frames: a person takes over and the character walks along +x, only
    // while the key is down; the scripted player does not take it back.
    key(WM_KEYDOWN, 'D');
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(app->update());
    key(WM_KEYUP, 'D');
    ASSERT_TRUE(app->update());
    EXPECT_TRUE(log.contains("a person took over"));
    player_position(x, y);
    EXPECT_GT(x, x0);
    EXPECT_NEAR(y, y0, 1e-4);
    const f64 stopped_x = x, stopped_y = y;
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(app->update());
    player_position(x, y);
    EXPECT_NEAR(x, stopped_x, 1e-4);
    EXPECT_NEAR(y, stopped_y, 1e-4);

    // The arrow up key walks it along +y.
    key(WM_KEYDOWN, 0x26);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(app->update());
    key(WM_KEYUP, 0x26);
    ASSERT_TRUE(app->update());
    player_position(x, y);
    EXPECT_GT(y, stopped_y);

    key(WM_KEYDOWN, 0x1B);
    EXPECT_FALSE(app->update()) << "Esc ends the game";
    EXPECT_TRUE(log.contains("Esc pressed, quitting"));
}

// Left alone, the game plays itself: the scripted player walks the character through its
// mover, pushes the crate in front of it into the zone (a point), comes near the door, whose
// state machine swings it open with a chime and sparks and shut again as it walks away, and
// the game quits by itself.
TEST_F(SampleInputTest, TheScriptedPlayerPushesACrateIntoTheZoneOpensTheDoorAndQuits)
{
    LogCapture log("Lua");
    ASSERT_TRUE(app->init());
    // Physics steps at most 1/60 s a frame: fixed steps of that length keep the character
    // and the game clock together however slow the machine (or a sanitizer) makes frames.
    app->set_fixed_frame_step(1.0f / 60.0f);
    const char *angle = "return require('game/door').angle()";
    EXPECT_NEAR(lua_number(angle), 0.0, 1.0);
    f64 widest = 0;
    f64 x = 0, y = 0, far_x = 0;
    bool running = true;
    for (int i = 0; i < 200000 && running; ++i) {
        running = app->update();
        if (!running)
            break;
        widest = std::max(widest, lua_number(angle));
        player_position(x, y);
        far_x = std::max(far_x, x);
    }
    EXPECT_FALSE(running) << "the game quits once the scripted player is done";
    EXPECT_TRUE(log.contains("a crate is pushed into the zone: score 1"));
    EXPECT_FALSE(log.contains("score 2"));
    EXPECT_TRUE(log.contains("the door: it opens (chime sound"));
    EXPECT_TRUE(log.contains("the door's state machine reports it open"));
    EXPECT_TRUE(log.contains("the door's state machine reports it shut"));
    EXPECT_NEAR(widest, 90.0, 1.0) << "the state machine swung the hinge a quarter turn";
    EXPECT_GT(far_x, 5.0) << "the character walked behind the crate up to the zone";
    EXPECT_NEAR(x, 0.0, 0.05) << "and back to its start";
    EXPECT_NEAR(y, -2.0, 0.05);
    EXPECT_FALSE(log.contains("gave up"));
    EXPECT_TRUE(log.contains("the scripted game is over"));
    EXPECT_FALSE(log.contains("[Lua] update:")) << "no script error";
}

// The sample's physics: the stacked crates fall onto each other and the floor and come to
// rest there, and the boot script's raycast from Lua finds the upper one.
TEST_F(SampleInputTest, CratesFallRestOnTheFloorAndARaycastFindsThem)
{
    LogCapture log("Lua");
    // Frames of 1/60 s: a slow build's long frames would run the game clock ahead of the
    // physics, which steps at most 1/60 s a frame, and the crates would not have landed yet.
    app->set_fixed_frame_step(1.0f / 60.0f);
    ASSERT_TRUE(app->init());
    lua_State *L = static_cast<MyGame *>(app->game())->lua().state();
    auto heights = [&](f64 &lower, f64 &upper) {
        ASSERT_EQ(luaL_dostring(L, "return Unit.world_position(stack[1], 0).z, Unit.world_position(stack[2], 0).z"), 0)
            << lua_tostring(L, -1);
        lower = lua_tonumber(L, -2);
        upper = lua_tonumber(L, -1);
        lua_pop(L, 2);
    };
    f64 lower, upper;
    heights(lower, upper);
    EXPECT_EQ(lower, 4.0);
    EXPECT_EQ(upper, 7.0);
    // A tap of a key: a person plays, so the game does not end by itself however slow the
    // frames come.
    key(WM_KEYDOWN, 'D');
    ASSERT_TRUE(app->update());
    key(WM_KEYUP, 'D');
    bool found = false;
    for (int i = 0; i < 5000 && app->update() && !found; ++i)
        found = log.contains("a raycast down over the stack hit");
    ASSERT_TRUE(found);
    EXPECT_TRUE(log.contains("(the upper crate)"));
    // Physics steps at most a sixtieth of a second a frame, so a loaded machine's frames run
    // the game's clock ahead of the physics: wait for the stack by frames, not by seconds,
    // until it has come down and stopped moving.
    f64 last_lower = 0, last_upper = 0;
    for (int i = 0; i < 10000; ++i) {
        heights(lower, upper);
        if (i % 20 == 0) {
            if (lower < 0.55 && upper < 1.6 && std::abs(lower - last_lower) < 1e-4 && std::abs(upper - last_upper) < 1e-4)
                break;
            last_lower = lower;
            last_upper = upper;
        }
        ASSERT_TRUE(app->update());
    }
    // Resting: the 1 m boxes' shapes and the floor's stand 0.025 out of them, and each sinks
    // its skin into what it touches: box meets floor and box meets box.
    EXPECT_NEAR(lower, 0.5, 0.005);
    EXPECT_NEAR(upper, 1.5, 0.005);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(app->update());
    f64 again_lower, again_upper;
    heights(again_lower, again_upper);
    EXPECT_NEAR(again_lower, lower, 1e-3);
    EXPECT_NEAR(again_upper, upper, 1e-3);
}

TEST_F(SampleInputTest, TheWeathervaneCrossfadesIntoASpinAndTellsTheLevelScript)
{
    // The sample's animated unit: its state machine sways it until the script's gust, then
    // crossfades into the spin, whose "spun" event reaches the level script through the
    // unit's flow graph.
    LogCapture log("Lua");
    ASSERT_TRUE(app->init());
    lua_State *L = static_cast<MyGame *>(app->game())->lua().state();
    bool crossfading = false;
    for (int i = 0; i < 200000; ++i) {
        if (!app->update())
            break;
        ASSERT_EQ(luaL_dostring(L, "return Unit.is_crossfading_animation(weathervane)"), 0) << lua_tostring(L, -1);
        crossfading = crossfading || lua_toboolean(L, -1);
        lua_pop(L, 1);
        if (log.contains("spun (its state machine's event"))
            break;
    }
    EXPECT_TRUE(crossfading);
    // Rendering through the sample's camera recorded its pose for debug views.
    EXPECT_EQ(lua_number("local d = Matrix4x4.translation(World.debug_camera_pose(Application.worlds()[1])) "
                         "local c = Camera.world_position(camera) return Vector3.length(d - c) + math.abs(d.y + 10)"),
              0.0);
    EXPECT_TRUE(log.contains("a gust: the weathervane crossfades into a spin (crossfading: true)"));
    EXPECT_TRUE(log.contains("spun (its state machine's event, through its flow graph"));
}

// The sample saves where the character stands when it quits, and the next start puts it
// back there once the load is done.
TEST_F(SampleInputTest, TheNextStartRestoresWhereTheCharacterWasLeft)
{
    LogCapture log("Lua");
    ASSERT_TRUE(app->init());
    key(WM_KEYDOWN, 'D');
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(app->update());
    key(WM_KEYUP, 'D');
    ASSERT_TRUE(app->update());
    f64 left_x, left_y;
    player_position(left_x, left_y);
    ASSERT_GT(left_x, 0.0);
    app->shutdown();
    EXPECT_TRUE(log.contains("no saved game yet"));

    start();
    ASSERT_TRUE(app->init());
    f64 x = 0, y = 0;
    for (int i = 0; i < 200 && !log.contains("restored the saved game"); ++i)
        ASSERT_TRUE(app->update());
    player_position(x, y);
    EXPECT_NEAR(x, left_x, 1e-3);
    EXPECT_NEAR(y, left_y, 1e-3);
    EXPECT_TRUE(log.contains("restored the saved game: run 2"));
}

// A save is a file on disk and may hold anything: the next start checks what it reads and
// starts afresh, without a script error, where it cannot use it.
TEST_F(SampleInputTest, AnUnusableSaveStartsTheGameAfresh)
{
    struct Case {
        const char *name;
        const char *saved; // the Lua value the first run saves
        const char *says;
        f64 runs; // the run this start counts
    };
    const Case cases[] = {
        {"a position that is no vector", "{runs = 4, player = 'nowhere'}", "the saved game's position is unusable", 5},
        {"no table", "7", "the saved game holds no run count", 1},
        {"no run count", "{player = Vector3(3, 3, 0)}", "the saved game holds no run count", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log("Lua");
        start();
        ASSERT_TRUE(app->init());
        ASSERT_TRUE(app->update());
        lua_State *L = static_cast<MyGame *>(app->game())->lua().state();
        const std::string store = std::string("SavedGame.store = function() return SaveSystem.auto_save('sample', ") +
                                  c.saved + ") end";
        ASSERT_EQ(luaL_dostring(L, store.c_str()), 0) << lua_tostring(L, -1);
        app->shutdown();

        start();
        ASSERT_TRUE(app->init());
        for (int i = 0; i < 200 && !log.contains(c.says); ++i)
            ASSERT_TRUE(app->update());
        EXPECT_TRUE(log.contains(c.says));
        f64 x, y;
        player_position(x, y);
        EXPECT_NEAR(x, 0.0, 1e-2) << "the character at its start";
        EXPECT_NEAR(y, -2.0, 1e-2);
        EXPECT_EQ(lua_number("return runs"), c.runs);
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(app->update());
        EXPECT_FALSE(log.contains("[Lua] update:")) << "no script error";
        app->shutdown();
    }
}

} // namespace
} // namespace tallow::test
