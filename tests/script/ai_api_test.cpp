// The Broadphase, Flock and AI tables and Level.navigation_mesh, driven from a boot script in
// a whole Application: good arguments work end to end, bad ones raise errors naming the
// function and the argument.
#include "boot_script_fixture.h"

#include "tools/world/level_compiler.h"

#include <cstring>

namespace tallow::test {
namespace {

std::string compiled_level(const char *source)
{
    std::vector<u8> out;
    std::string error;
    EXPECT_TRUE(compile_level_source(source, strlen(source), out, error)) << error;
    return std::string(out.begin(), out.end());
}

class AiApiTest : public BootScriptTest {
  protected:
    AiApiTest()
    {
        write_data({
            {"package", "boot",
             package_resource({{"unit", "units/box"}, {"unit", "units/walker"}, {"unit", "units/pose"},
                               {"level", "levels/field"}, {"level", "levels/bare"}})},
            {"unit", "units/box", compiled_unit("nodes = [ { name = \"root\" } ]\n")},
            // A visual unit and a template with a different pose of the same child node.
            {"unit", "units/walker",
             compiled_unit("nodes = [ { name = \"root\" } { name = \"arm\" parent = \"root\" position = [1 0 0] } ]\n")},
            {"unit", "units/pose",
             compiled_unit("nodes = [ { name = \"root\" } { name = \"arm\" parent = \"root\" position = [0 0 2] }\n"
                           "  { name = \"hand\" parent = \"arm\" position = [0 0 1] } ]\n")},
            // Two 10 x 10 squares side by side on z = 0.
            {"level", "levels/field",
             compiled_level("navigation_mesh = { vertices = [ [0 0 0] [10 0 0] [10 10 0] [0 10 0] [20 0 0] [20 10 0] ]\n"
                            "                    polygons = [ [0 1 2 3] [1 4 5 2] ] }\n")},
            {"level", "levels/bare", compiled_level("units = [ ]\n")},
        });
    }
};

TEST_F(AiApiTest, BroadphaseFindsUnitsNearestFirst)
{
    EXPECT_EQ(run_boot("local w = Application.new_world()\n"
                       "local a = World.spawn_unit(w, 'units/box')\n"
                       "local b = World.spawn_unit(w, 'units/box')\n"
                       "local c = World.spawn_unit(w, 'units/box')\n"
                       // Fewer than 30 expected entries: a grid of one cell still answers.
                       "local grid = Broadphase(1.0, 10)\n"
                       "local ia = Broadphase.add(grid, a, Vector3(3, 0, 0), 0.5)\n"
                       "local ib = Broadphase.add(grid, b, Vector3(1, 0, 0), 0.5)\n"
                       "local ic = Broadphase.add(grid, c, Vector3(50, 0, 0), 0.5)\n"
                       "local found, n = Broadphase.query(grid, Vector3(0, 0, 0), 4, {})\n"
                       "assert(n == 2 and found[1] == b and found[2] == a, tostring(n))\n"
                       "Broadphase.move(grid, ic, Vector3(0.5, 0, 0))\n"
                       "Broadphase.remove(grid, ib)\n"
                       "found, n = Broadphase.query(grid, Vector3(0, 0, 0), 4, {})\n"
                       "assert(n == 2 and found[1] == c and found[2] == a)\n"
                       // Nothing found: the table is left as it was.
                       "local keep = {'x'}\n"
                       "local t, none = Broadphase.query(grid, Vector3(-100, 0, 0), 1, keep)\n"
                       "assert(t == keep and none == 0 and keep[1] == 'x' and #keep == 1)\n"
                       "grid = nil; collectgarbage()\n"),
              "");
}

TEST_F(AiApiTest, FlockWalksTheLevelMeshAndAnswersQueries)
{
    EXPECT_EQ(run_boot("local w = Application.new_world()\n"
                       "local level = World.load_level(w, 'levels/field')\n"
                       "local mesh = Level.navigation_mesh(level)\n"
                       "assert(type(mesh) == 'userdata')\n"
                       "local bare = World.load_level(Application.new_world(), 'levels/bare')\n"
                       "assert(Level.navigation_mesh(bare) == nil)\n"
                       "local f = Flock()\n"
                       "Flock.set_navigation_mesh(f, mesh)\n"
                       "local a = Flock.add_agent(f, Vector3(1, 5, 0), 0.5, 3)\n"
                       "local b = Flock.add_agent(f, Vector3(1, 8, 0), 0.5, 3)\n"
                       "assert(a == 0 and b == 1 and Flock.num_agents(f) == 2)\n"
                       "assert(Flock.agent_speed(f, a) == 0 and Flock.agent_radius(f, a) == 0.5)\n"
                       "assert(Flock.nearby(f, a, 0) == nil)\n"
                       "Flock.go_to(f, a, Vector3(30, 5, 0))\n"   // off the mesh: stops at its edge
                       "local path = Flock.add_path(f)\n"
                       "Flock.add_path_point(f, path, Vector3(5, 8, 0), 0.5)\n"
                       "Flock.add_path_point(f, path, Vector3(15, 8, 0), 0.5)\n"
                       "Flock.follow_path(f, b, path)\n"
                       "for i = 1, 300 do Flock.update(f, 1 / 30) end\n"
                       "local p = Flock.agent_position(f, a)\n"
                       "assert(p.x > 19 and p.x <= 20.0001 and math.abs(p.y - 5) < 1, p.x .. ' ' .. p.y)\n"
                       "local q = Flock.agent_position(f, b)\n"
                       "assert(math.abs(q.x - 15) < 1, q.x)\n"
                       "local r = Flock.agent_rotation(f, a)\n"
                       "assert(math.abs(Quaternion.norm(r) - 1) < 1e-4)\n"
                       // Facing its heading (toward +x), standing on the mesh's up.
                       "local fw, up = Quaternion.forward(r), Quaternion.up(r)\n"
                       "assert(fw.x > 0.8 and up.z > 0.99, fw.x .. ' ' .. up.z)\n"
                       "Flock.update(f, 0)\n"
                       "Flock.follow(f, a, b); Flock.hold(f, a)\n"
                       "Flock.remove_agent(f, b)\n"
                       "assert(Flock.agent_speed(f, b) == 0)\n"
                       "Flock.set_navigation_mesh(f, nil)\n"
                       "Flock.update(f, 1 / 30)\n"
                       "assert(Flock.agent_position(f, a).z == 0)\n"),
              "");
}

TEST_F(AiApiTest, VisualizerPosesUnitsFromAgentsAndTemplatesAndRetiresHoldingAgents)
{
    EXPECT_EQ(run_boot("local w = Application.new_world()\n"
                       "local templates = {}\n"
                       "for i = 1, 15 do templates[i] = World.spawn_unit(w, 'units/pose', Vector3(0, 0, -10)) end\n"
                       "local f = Flock()\n"
                       "local near = Flock.add_agent(f, Vector3(2, 0, 0), 0.5, 2)\n"
                       "local far = Flock.add_agent(f, Vector3(40, 0, 0), 0.5, 2)\n"
                       "local idle = Flock.add_agent(f, Vector3(-20, 0, 0), 0.5, 2)\n"
                       "Flock.go_to(f, near, Vector3(2, 50, 0))\n"
                       "Flock.go_to(f, far, Vector3(40, 50, 0))\n"
                       "local view = FlockVisualizer(w, f, 0)\n"
                       "FlockVisualizer.add_unit(view, 'units/walker')\n"   // one unit: the nearest agent's
                       "FlockVisualizer.set_templates(view, templates)\n"
                       "FlockVisualizer.set_camera(view, Vector3(0, 0, 0), Vector3(1, 0, 0))\n"
                       "for i = 1, 8 do Flock.update(f, 0.25); FlockVisualizer.visualize(view, 0.25) end\n"
                       "local units = World.units(w)\n"
                       "local shown = units[#units]\n"
                       "local p, q = Unit.local_position(shown, 0), Flock.agent_position(f, near)\n"
                       "assert(math.abs(p.x - q.x) < 1e-4 and math.abs(p.y - q.y) < 1e-4, tostring(p) .. tostring(q))\n"
                       // The blend is done: the child node carries the template's pose.
                       "local arm = Unit.local_position(shown, 1)\n"
                       "assert(math.abs(arm.z - 2) < 1e-4 and math.abs(arm.x) < 1e-4, tostring(arm))\n"
                       // The agent that held has been retired.
                       "assert(not pcall(Flock.go_to, f, idle, Vector3(0, 0, 0)))\n"
                       "assert(pcall(Flock.go_to, f, far, Vector3(0, 0, 0)))\n"
                       "FlockVisualizer.clear_units(view)\n"
                       "assert(World.num_units(w) == 15)\n"
                       "view = nil; collectgarbage()\n"),
              "");
}

TEST_F(AiApiTest, FindIntersectingUnitsGivesZeroBasedPairs)
{
    EXPECT_EQ(run_boot("local w = Application.new_world()\n"
                       "local u = {}\n"
                       "for i, x in ipairs({0, 10, 0.5, 30}) do u[i] = World.spawn_unit(w, 'units/box', Vector3(x, 0, 0)) end\n"
                       "local pairs = AI.find_intersecting_units(u, 1)\n"
                       "assert(#pairs == 2)\n"
                       "assert((pairs[1] == 0 and pairs[2] == 2) or (pairs[1] == 2 and pairs[2] == 0))\n"
                       "assert(#AI.find_intersecting_units({}, 1) == 0)\n"),
              "");
}

TEST_F(AiApiTest, BadArgumentsRaiseErrorsNamingTheFunctionAndArgument)
{
    struct Case {
        const char *code;
        const char *message;
    };
    const Case cases[] = {
        {"Broadphase(0, 10)", "bad argument #2 to 'Broadphase.__call' (the largest radius must be above 0)"},
        {"Broadphase('x', 10)", "bad argument #2 to 'Broadphase.__call'"},
        {"local g = Broadphase(1, 10)\nBroadphase.remove(g, 0)",
         "bad argument #2 to 'Broadphase.remove' (not an entry of this broadphase (removed or never added))"},
        {"local w = Application.new_world()\nlocal u = World.spawn_unit(w, 'units/box')\nlocal g = Broadphase(1, 10)\n"
         "local e = Broadphase.add(g, u, Vector3(0, 0, 0), 1)\nBroadphase.remove(g, e)\nBroadphase.remove(g, e)",
         "bad argument #2 to 'Broadphase.remove' (not an entry of this broadphase"},
        {"local w = Application.new_world()\nlocal u = World.spawn_unit(w, 'units/box')\nWorld.destroy_unit(w, u)\n"
         "Broadphase.add(Broadphase(1, 10), u, Vector3(0, 0, 0), 1)",
         "bad argument #2 to 'Broadphase.add' (the unit has been destroyed)"},
        {"local w = Application.new_world()\nlocal u = World.spawn_unit(w, 'units/box')\n"
         "Broadphase.add(Broadphase(1, 10), u, Vector3(0, 0, 0), -1)",
         "bad argument #4 to 'Broadphase.add' (a number of at least 0 expected)"},
        {"Broadphase.query(Broadphase(1, 10), Vector3(0, 0, 0), 1, nil)", "bad argument #4 to 'Broadphase.query'"},
        {"Broadphase.query(Flock(), Vector3(0, 0, 0), 1, {})", "bad argument #1 to 'Broadphase.query' (Broadphase expected"},
        {"local g = Broadphase(1, 10)\nBroadphase.__gc(g)\nBroadphase.query(g, Vector3(0, 0, 0), 1, {})",
         "bad argument #1 to 'Broadphase.query' (Broadphase has been released)"},
        {"Flock.go_to(Flock(), 0, Vector3(1, 0, 0))", "bad argument #2 to 'Flock.go_to' (the flock has no agents)"},
        {"local f = Flock()\nFlock.add_agent(f, Vector3(0, 0, 0), 1, 1)\nFlock.hold(f, 1)",
         "bad argument #2 to 'Flock.hold' (1 out of range [0, 0])"},
        {"local f = Flock()\nFlock.add_agent(f, Vector3(0, 0, 0), 1, 1)\nFlock.remove_agent(f, 0)\nFlock.go_to(f, 0, Vector3(1, 0, 0))",
         "bad argument #2 to 'Flock.go_to' (the agent has been removed)"},
        {"local f = Flock()\nFlock.add_agent(f, Vector3(0, 0, 0), 1, 1)\nFlock.follow(f, 0, 0)",
         "bad argument #3 to 'Flock.follow' (an agent cannot follow itself)"},
        {"local f = Flock()\nFlock.add_agent(f, Vector3(0, 0, 0), 1, 1)\nFlock.follow_path(f, 0, 0)",
         "bad argument #3 to 'Flock.follow_path' (the flock has no paths)"},
        {"local f = Flock()\nFlock.add_agent(f, Vector3(0, 0, 0), 1, 1)\nFlock.nearby(f, 0, 6)",
         "bad argument #3 to 'Flock.nearby' (6 out of range [0, 5])"},
        {"Flock.add_agent(Flock(), Vector3(0, 0, 0), 1/0, 1)", "bad argument #3 to 'Flock.add_agent' (a finite number expected)"},
        {"Flock.add_agent(Flock(), Vector3(0/0, 0, 0), 1, 1)", "bad argument #2 to 'Flock.add_agent' (a finite Vector3 expected)"},
        {"Flock.update(Flock(), -1)", "bad argument #2 to 'Flock.update' (a number of at least 0 expected)"},
        {"Flock.set_navigation_mesh(Flock(), 12)", "bad argument #2 to 'Flock.set_navigation_mesh' (navigation mesh expected"},
        {"local w = Application.new_world()\nlocal u = World.spawn_unit(w, 'units/box')\n"
         "Flock.set_navigation_mesh(Flock(), u)",
         "bad argument #2 to 'Flock.set_navigation_mesh' (not a navigation mesh that exists"},
        {"local w = Application.new_world()\nlocal mesh = Level.navigation_mesh(World.load_level(w, 'levels/field'))\n"
         "Application.release_world(w)\nApplication.release_resource_package(nil)",
         "bad argument #1 to 'Application.release_resource_package'"},
        {"AI.find_intersecting_units(3, 1)", "bad argument #1 to 'AI.find_intersecting_units'"},
        {"FlockVisualizer(3, Flock(), 0)", "bad argument #2 to 'FlockVisualizer.__call' (World expected"},
        {"local w = Application.new_world()\nlocal v = FlockVisualizer(w, Flock(), 0)\n"
         "FlockVisualizer.set_templates(v, {World.spawn_unit(w, 'units/pose')})",
         "bad argument #2 to 'FlockVisualizer.set_templates' (15 template units needed (5 phases x 3 speed bands), got 1)"},
        {"local w = Application.new_world()\nlocal v = FlockVisualizer(w, Flock(), 0)\n"
         "FlockVisualizer.add_unit(v, 'units/missing')",
         "FlockVisualizer.add_unit: the unit could not be spawned"},
        {"local w = Application.new_world()\nlocal v = FlockVisualizer(w, Flock(), 0)\n"
         "Application.release_world(w)\nFlockVisualizer.visualize(v, 0.1)",
         "bad argument #1 to 'FlockVisualizer.visualize' (its World has been released)"},
        {"local w = Application.new_world()\nlocal f = Flock()\nlocal v = FlockVisualizer(w, f, 0)\n"
         "Flock.__gc(f)\nFlockVisualizer.visualize(v, 0.1)",
         "bad argument #1 to 'FlockVisualizer.visualize' (its Flock has been released)"},
        {"local w = Application.new_world()\nlocal u = World.spawn_unit(w, 'units/box')\nWorld.destroy_unit(w, u)\n"
         "AI.find_intersecting_units({u}, 1)",
         "bad argument #1 to 'AI.find_intersecting_units' (unit 1 has been destroyed)"},
        {"AI.find_intersecting_units({}, -1)", "bad argument #2 to 'AI.find_intersecting_units'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        log.clear();
        const std::string failure = run_boot(c.code);
        EXPECT_NE(failure.find(c.message), std::string::npos) << failure;
        app.reset();
    }
}

} // namespace
} // namespace tallow::test
