// What is drawn is what the world holds: the shipped sample run as a run starts it (the
// program's services over the compiled data, the headless window and Direct3D layer), with a
// scenario's script added to each frame, and after every frame, once the render thread has
// applied the frame's records, every live unit's render-side node matrices compared with the
// World's (tests/support/truth_check.h). Each scenario runs on one job worker and on eight.
#include "application/application.h"
#include "application/application_options.h"
#include "application/engine_setup.h"
#include "application/my_game.h"
#include "foundation/memory/memory_globals.h"
#include "platform/d3d11/d3d11_backend.h"
#include "platform/window/window_headless.h"
#include "render/interface/render_interface.h"
#include "script/world/world_api.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_directory.h"
#include "tests/support/truth_check.h"
#include "world/world.h"

#include <gtest/gtest.h>
#include <lua.hpp>

#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>

namespace tallow::test {
namespace {

using namespace platform;

/// A scenario: Lua run once after the first frame (`setup`) and before every later frame
/// (`each_frame`, with the global `truth_frame` counting from 1), in the game's own state
/// with the sample's globals (stack, weathervane, player) and `world`, `level` and `physics`.
struct Scenario {
    const char *name;
    const char *id; // the test's name
    const char *setup;
    const char *each_frame;
    u32 frames;
};

const Scenario scenarios[] = {
    // The sample as the scripted player plays it: the level's units, the dropped and stacked
    // crates falling, the crate pushed into the zone, the door, the weathervane, the flock's
    // walkers the script drives and the character on its mover.
    {"the sample played", "SamplePlayed", "", "", 300},
    // A crate spawned in the air falls and rests; pushed, it slides off the floor's edge
    // (x = 20) and falls; then made kinematic, teleported up, and dropped again.
    {"a crate falls, rests, is pushed off the edge and dropped again", "CrateFallsIsPushedOffAndDroppedAgain",
     "crate = World.spawn_unit(world, 'units/crate', Vector3(16, 10, 3))",
     R"(local a = Unit.actor(crate, 'crate')
        if truth_frame == 60 then Actor.set_velocity(a, Vector3(9, 0, 0)) end
        if truth_frame == 120 then
            PhysicsWorld.set_kinematic(physics, a)
            Unit.teleport_local_position(crate, 0, Vector3(16, 10, 4))
        end
        if truth_frame == 123 then PhysicsWorld.clear_kinematic(physics, a) end)",
     180},
    // Units linked under a unit the script moves every frame, one with a dynamic actor and
    // one without; and a crate with an actor linked under the door's leaf as it swings.
    {"units linked under moving units", "UnitsLinkedUnderMovingUnits",
     R"(carrier = World.spawn_unit(world, 'units/crate', Vector3(-8, -8, 3))
        PhysicsWorld.set_kinematic(physics, Unit.actor(carrier, 'crate'))
        rider = World.spawn_unit(world, 'units/crate', Vector3(-8, -8, 5))
        World.link_unit(world, rider, carrier, 0)
        painted = World.spawn_unit(world, 'units/zone', Vector3(-8, -8, 0))
        World.link_unit(world, painted, carrier, 0)
        local door = require('game/door').unit()
        carried = World.spawn_unit(world, 'units/crate', Vector3(3, 4, 3))
        World.link_unit(world, carried, door, Unit.node(door, 'leaf'))
        Unit.animation_event(door, 'open'))",
     R"(Unit.set_local_position(carrier, 0, Vector3(-8 + 2 * math.sin(truth_frame / 20), -8, 3))
        Unit.set_local_rotation(carrier, 0, Quaternion(Vector3(0, 0, 1), truth_frame / 30))
        if truth_frame == 100 then World.unlink_unit(world, rider) end)",
     150},
    // The door swinging open and shut under its state machine, the weathervane swaying and
    // spinning after a gust, their bones driven by the animation blenders.
    {"animated units", "AnimatedUnits",
     "animated_door = require('game/door').unit()",
     R"(if truth_frame == 5 then Unit.animation_event(animated_door, 'open') end
        if truth_frame == 80 then Unit.animation_event(animated_door, 'close') end
        if truth_frame % 60 == 0 then Unit.animation_event(weathervane, 'gust') end)",
     150},
    // Units the script moves every frame, teleports now and then, hides and shows.
    {"units moved by script, teleported, hidden and shown", "UnitsMovedTeleportedHiddenAndShown",
     R"(moved = {World.spawn_unit(world, 'units/zone', Vector3(-6, 6, 0)),
                 World.spawn_unit(world, 'units/lamp_post', Vector3(-4, 6, 0)),
                 World.spawn_unit(world, 'units/crate', Vector3(-2, 6, 0.5))}
        PhysicsWorld.set_kinematic(physics, Unit.actor(moved[3], 'crate')))",
     R"(for i, u in ipairs(moved) do
            local p = Vector3(-8 + 2 * i + math.sin(truth_frame / 10), 6, i == 3 and 0.5 or 0)
            if truth_frame % 25 == 0 then
                Unit.teleport_local_position(u, 0, p + Vector3(0, 3, 0))
            else
                Unit.set_local_position(u, 0, p)
            end
            Unit.set_local_rotation(u, 0, Quaternion(Vector3(0, 0, 1), truth_frame / 15 + i))
            if truth_frame % 20 == 0 then Unit.set_unit_visibility(u, false) end
            if truth_frame % 20 == 7 then Unit.set_unit_visibility(u, true) end
        end)",
     100},
    // Every frame: crates spawned in the air, the oldest destroyed, and one spawned and
    // destroyed at once, so handle and render slots are reused as units come and go.
    {"units spawned and destroyed in one frame", "UnitsSpawnedAndDestroyedInOneFrame",
     "churn = {}",
     R"(local x = -12 + (truth_frame % 8)
        table.insert(churn, World.spawn_unit(world, 'units/crate', Vector3(x, -12, 2 + truth_frame % 3)))
        table.insert(churn, World.spawn_unit(world, 'units/zone', Vector3(x, -14, 0)))
        World.destroy_unit(world, World.spawn_unit(world, 'units/crate', Vector3(x, -16, 2)))
        while #churn > 12 do World.destroy_unit(world, table.remove(churn, 1)) end)",
     90},
    // The level loaded again while the first one's units stay: its units spawn mid-run.
    {"level units", "LevelUnits", "",
     "if truth_frame == 20 then level = World.load_level(world, 'levels/sample', LevelScript) end", 60},
    // A flock whose nearest agents a flock visualizer shows with units it poses every frame.
    {"flock-visualizer units", "FlockVisualizerUnits",
     R"(shown = Flock()
        Flock.set_navigation_mesh(shown, Level.navigation_mesh(level))
        for i = 1, 4 do
            local a = Flock.add_agent(shown, Vector3(-6 + i, 0, 0), 0.3, 2)
            Flock.go_to(shown, a, Vector3(-6 + i, 5, 0))
        end
        view = FlockVisualizer(world, shown, 0)
        FlockVisualizer.add_unit(view, 'units/lamp_post')
        FlockVisualizer.add_unit(view, 'units/zone')
        FlockVisualizer.add_unit(view, 'units/lamp_post'))",
     R"(Flock.update(shown, 1 / 60)
        FlockVisualizer.visualize(view, 1 / 60))",
     100},
};

/// One scenario (an index into `scenarios`) on a number of job workers.
using TruthCase = std::tuple<size_t, u32>;

class SampleTruth : public ::testing::TestWithParam<TruthCase> {
  protected:
    SampleTruth()
    {
        setenv("XDG_CONFIG_HOME", config_home.path(), 1);
        setenv("XDG_DATA_HOME", data_home.path(), 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        previous_backend = d3d11::requested_backend();
        d3d11::set_backend(d3d11::Backend::headless);
    }
    ~SampleTruth() override { d3d11::set_backend(previous_backend); }

    /// Runs `scenario` on `workers` job workers; fails at the first frame the render side
    /// shows other than the world holds, naming the nodes.
    void run(const Scenario &scenario, u32 workers)
    {
        LogCapture log;
        HeadlessWindowSystem window_system{default_allocator()};
        const char *arguments[] = {"bin/tallow", "-data-dir", TALLOW_BUILT_DATA_DIR};
        ApplicationOptions options(default_allocator(), 3, arguments);
        ApplicationParams params = engine_params(options, window_system);
        params.worker_count = workers;
        {
            Application app(params);
            app.set_fixed_frame_step(1.0f / 60.0f);
            ASSERT_TRUE(app.init());
            ASSERT_NE(app.game(), nullptr);
            lua_State *L = static_cast<MyGame *>(app.game())->lua().state();
            ASSERT_TRUE(app.update());
            ASSERT_TRUE(check(app, 0)) << scenario.name;
            // The boot script keeps its world and level to itself: the scenarios get them as
            // globals of their own.
            ASSERT_EQ(app.worlds().size(), 1u);
            push_world(L, app.worlds()[0]);
            lua_setglobal(L, "world");
            ASSERT_EQ(luaL_dostring(L, "level = World.level(world) physics = World.physics_world(world)"), 0) << lua_tostring(L, -1);
            ASSERT_EQ(luaL_dostring(L, scenario.setup), 0) << lua_tostring(L, -1);
            lua_settop(L, 0);
            u32 checked = 0;
            for (u32 frame = 1; frame <= scenario.frames; ++frame) {
                lua_pushinteger(L, frame);
                lua_setglobal(L, "truth_frame");
                ASSERT_EQ(luaL_dostring(L, scenario.each_frame), 0) << "frame " << frame << ": " << lua_tostring(L, -1);
                lua_settop(L, 0);
                if (!app.update())
                    break; // the scripted game is over
                if (!check(app, frame))
                    return;
                ++checked;
            }
            EXPECT_GE(checked, scenario.frames / 2) << "the sample quit early";
            EXPECT_FALSE(static_cast<MyGame *>(app.game())->is_paused()) << "a script error paused the game";
        }
        release_engine_resource_types();
    }

    /// Compares every world once the render thread is idle; false (with a failure) when
    /// they differ.
    bool check(Application &app, u32 frame)
    {
        RenderInterface *render = app.render_interface();
        EXPECT_NE(render, nullptr);
        if (!render)
            return false;
        render->wait_until_idle();
        EXPECT_FALSE(app.worlds().empty());
        for (World *world : app.worlds()) {
            const RenderWorld *render_world = render->render_world_of(world);
            EXPECT_NE(render_world, nullptr);
            if (!render_world)
                return false;
            const std::vector<TruthDifference> d = compare_render_side(*world, *render_world);
            if (!d.empty()) {
                ADD_FAILURE() << "after frame " << frame << ", " << d.size()
                              << " nodes are drawn elsewhere than the world holds them:\n"
                              << describe_differences(d);
                return false;
            }
        }
        return true;
    }

    TempDirectory config_home, data_home;
    d3d11::Backend previous_backend;
};

TEST_P(SampleTruth, TheRenderSideHoldsTheWorldsMatricesAfterEveryFrame)
{
    const auto [index, workers] = GetParam();
    SCOPED_TRACE(std::string(scenarios[index].name) + ", " + std::to_string(workers) + " workers");
    run(scenarios[index], workers);
}

// Each scenario on one worker and on eight, a test of its own (they run side by side).
INSTANTIATE_TEST_SUITE_P(Scenarios, SampleTruth,
                         ::testing::Combine(::testing::Range<size_t>(0, std::size(scenarios)), ::testing::Values(1u, 8u)),
                         [](const ::testing::TestParamInfo<TruthCase> &info) {
                             return std::string(scenarios[std::get<0>(info.param)].id) + "On" +
                                    std::to_string(std::get<1>(info.param)) + "Workers";
                         });

} // namespace
} // namespace tallow::test
