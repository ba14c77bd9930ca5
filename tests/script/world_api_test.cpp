// The World, Unit and Application tables over real worlds: a boot script in a whole
// Application over a loose-file database with two compiled units.
#include "boot_script_fixture.h"

#include "tools/world/level_compiler.h"
#include "world/world.h"

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

class WorldApiTest : public BootScriptTest {
  protected:
    WorldApiTest()
    {
        write_data({
            {"package", "boot",
             package_resource({{"unit", "units/box"}, {"unit", "units/post"}, {"unit", "units/arm"},
                               {"level", "levels/yard"}})},
            {"unit", "units/arm",
             compiled_unit("nodes = [ { name = \"root\" }\n"
                           "  { name = \"a\" parent = \"root\" position = [1 0 0] }\n"
                           "  { name = \"b\" parent = \"root\" position = [0 1 0] } ]\n")},
            {"level", "levels/yard",
             compiled_level("units = [ { name = \"first\" unit = \"units/box\" position = [1 2 3] } ]\n"
                            "data = { title = \"yard\" }\n"
                            "splines = [ { name = \"path\" points = [ [0 0 0] [1 0 0] [1 1 0] ] } ]\n"
                            "flow = { variables = [ { name = \"u\" type = \"unit\" } ]\n"
                            "  nodes = [ { name = \"opened\" type = \"event\" on = [\"open\"] next = [\"drop\"] }\n"
                            "            { name = \"drop\" type = \"spawn_unit\" unit = \"units/box\"\n"
                            "              variable = \"u\" position = [0 0 1] } ] }\n")},
            {"unit", "units/box", compiled_unit("nodes = [ { name = \"root\" } ]\n")},
            // A package of its own, unloaded by scripts while its units live.
            {"package", "extra", package_resource({{"unit", "units/extra"}, {"level", "levels/far"}})},
            {"unit", "units/extra",
             compiled_unit("nodes = [ { name = \"root\" }\n"
                           "  { name = \"top\" parent = \"root\" position = [0 0 3] } ]\n")},
            {"level", "levels/far",
             compiled_level("units = [ { name = \"far\" unit = \"units/extra\" position = [5 0 0] } ]\n")},
            {"unit", "units/post",
             compiled_unit("nodes = [ { name = \"root\" }\n"
                           "  { name = \"top\" parent = \"root\" position = [0 0 3] } ]\n")},
        });
    }
};

TEST_F(WorldApiTest, ScriptsSpawnMoveLinkAndListUnits)
{
    EXPECT_EQ(run_boot(
                  "local w = Application.new_world()\n"
                  "assert(#Application.worlds() == 1 and World.num_units(w) == 0 and #World.units(w) == 0)\n"
                  // spawn_unit with 2 to 5 arguments; nil counts as not given.
                  "local a = World.spawn_unit(w, 'units/box')\n"
                  "local p = Unit.world_position(a, 0); assert(p.x == 0 and p.y == 0 and p.z == 0)\n"
                  "local b = World.spawn_unit(w, 'units/box', Vector3(1, 2, 3))\n"
                  "p = Unit.local_position(b, 0); assert(p.x == 1 and p.y == 2 and p.z == 3)\n"
                  "local c = World.spawn_unit(w, 'units/post', nil, Quaternion(Vector3.up(), math.pi / 2))\n"
                  "p = Unit.world_position(c, 1); assert(math.abs(p.z - 3) < 1e-5 and math.abs(p.x) < 1e-5)\n"
                  "local m = Unit.local_pose(c, 0); assert(math.abs(Matrix4x4.x(m).y - 1) < 1e-5)\n"
                  "local d = World.spawn_unit(w, 'units/post', Vector3(5, 0, 0), nil, nil)\n"
                  "assert(Unit.node(d, 'top') == 1 and Unit.node(d, 'nothing') == -1)\n"
                  "assert(World.spawn_unit(w, 'units/missing') == nil)\n"
                  "assert(World.num_units(w) == 4)\n"
                  "local all = World.units(w); assert(#all == 4 and all[1] == a and all[4] == d)\n"
                  "assert(Unit.num_scene_graph_items(d) == 2 and Unit.scene_graph_parent(d, 1) == 0)\n"
                  "assert(select('#', Unit.scene_graph_parent(d, 0)) == 0)\n"
                  "assert(Unit.is_a(d, 'units/post') and not Unit.is_a(d, 'units/box'))\n"
                  "assert(Unit.debug_name(d):find('^#ID%[%x+%]$') and #Unit.debug_name(d) == 21)\n"
                  "assert(tostring(d):find(\"^%[Unit '#ID%[\") ~= nil, tostring(d))\n"
                  // Moving a node and updating the world moves its children.
                  "Unit.set_local_position(d, 0, Vector3(5, 1, 0))\n"
                  "World.update(w, 1 / 30)\n"
                  "p = Unit.world_position(d, 1); assert(p.x == 5 and p.y == 1 and p.z == 3)\n"
                  "World.link_unit(w, a, d, 1)\n"
                  "World.update(w)\n"
                  "p = Unit.world_position(a, 0); assert(p.x == 5 and p.y == 1 and p.z == 3, tostring(p))\n"
                  "World.unlink_unit(w, a)\n"
                  "World.destroy_unit(w, d)\n"
                  "assert(World.num_units(w) == 3 and not Unit.alive(d) and Unit.alive(a))\n"
                  "assert(tostring(d) == '[Unit (deleted)]')\n"
                  "World.destroy_unit(w, d)\n" // stale: nothing
                  "assert(World.time(w) > 0)\n"
                  "print('init done')"),
              "");
    EXPECT_EQ(log.count("[Lua] init done"), 1);
    ASSERT_EQ(app->worlds().size(), 1u);
    EXPECT_TRUE(app->worlds()[0]->validate());
}

TEST_F(WorldApiTest, NodesRelinkRotateAndCopyTheirPoses)
{
    EXPECT_EQ(run_boot("local w = Application.new_world()\n"
                       "local arm = World.spawn_unit(w, 'units/arm', Vector3(0, 0, 1))\n"
                       // b goes under a where it stands: its local pose is now relative to a.
                       "Unit.scene_graph_link(arm, 2, 1)\n"
                       "assert(Unit.scene_graph_parent(arm, 2) == 1)\n"
                       "local l = Unit.local_position(arm, 2)\n"
                       "assert(l.x == -1 and l.y == 1 and l.z == 0, tostring(l))\n"
                       "Unit.set_local_position(arm, 1, Vector3(2, 0, 0))\n"
                       "World.update(w, 0.1)\n"
                       "local p = Unit.world_position(arm, 2)\n"
                       "assert(p.x == 1 and p.y == 1 and p.z == 1, tostring(p))\n"
                       "assert(not pcall(Unit.scene_graph_link, arm, 1, 2), 'a parent after the node')\n"
                       "assert(not pcall(Unit.scene_graph_link, arm, 0, -1), 'the root stays')\n"
                       // A rotation replaces any scale and keeps the translation.
                       "Unit.set_local_pose(arm, 1, Matrix4x4.from_elements(2,0,0, 0,2,0, 0,0,2, 3,4,5))\n"
                       "Unit.set_local_rotation(arm, 1, Quaternion(Vector3.up(), 0))\n"
                       "local m = Unit.local_pose(arm, 1)\n"
                       "assert(Matrix4x4.element(m, 1, 1) == 1 and Matrix4x4.element(m, 2, 2) == 1)\n"
                       "assert(Matrix4x4.element(m, 4, 1) == 3 and Matrix4x4.element(m, 4, 3) == 5, tostring(m))\n"
                       // Only the nodes both units have are copied.
                       "local post = World.spawn_unit(w, 'units/post')\n"
                       "Unit.copy_scene_graph_local_from(post, arm)\n"
                       "p = Unit.local_position(post, 1)\n"
                       "assert(p.x == 3 and p.y == 4 and p.z == 5, tostring(p))\n"
                       "Unit.copy_scene_graph_local_from(arm, post)\n"
                       "Unit.set_moving(arm, 3)\n"
                       "assert(Unit.num_lights(arm) == 0 and Unit.num_actors(arm) == 0)\n"
                       "print('init done')"),
              "");
    EXPECT_EQ(log.count("[Lua] init done"), 1);
}

TEST_F(WorldApiTest, StaleWorldsUnitsAndMissingServicesAreCleanErrors)
{
    struct Case {
        const char *code;
        const char *message;
    };
    const Case cases[] = {
        {"local w = Application.new_world()\nApplication.release_world(w)\nWorld.update(w)",
         "bad argument #1 to 'World.update' (World has been released)"},
        {"local w = Application.new_world()\nApplication.release_world(w)\nApplication.release_world(w)",
         "bad argument #1 to 'Application.release_world' (World has been released)"},
        {"local w = Application.new_world()\nlocal u = World.spawn_unit(w, 'units/box')\n"
         "World.destroy_unit(w, u)\nUnit.set_local_position(u, 0, Vector3(1, 2, 3))",
         "bad argument #1 to 'Unit.set_local_position' (the unit has been destroyed)"},
        {"local w = Application.new_world()\nlocal u = World.spawn_unit(w, 'units/box')\n"
         "Application.release_world(w)\nUnit.get_data(u, 'a')",
         "bad argument #1 to 'Unit.get_data' (the unit has been destroyed)"},
        {"local w = Application.new_world()\nlocal u = World.spawn_unit(w, 'units/box')\n"
         "Unit.local_pose(u, 1)",
         "bad argument #2 to 'Unit.local_pose' (1 out of range [0, 0])"},
        {"local w = Application.new_world()\nWorld.spawn_unit(w, 'units/box', 3)",
         "bad argument #3 to 'World.spawn_unit' (Vector3 expected, got number)"},
        {"World.update(Vector3(1, 2, 3))", "bad argument #1 to 'World.update' (World expected, got Vector3)"},
        {"World.update(Application.new_world(), 0 / 0)",
         "bad argument #2 to 'World.update' (a time step must be a finite number, zero or more)"},
        {"World.update(Application.new_world(), -1)",
         "bad argument #2 to 'World.update' (a time step must be a finite number, zero or more)"},
        {"World.update(Application.new_world(), 1 / 0)",
         "bad argument #2 to 'World.update' (a time step must be a finite number, zero or more)"},
        {"World.update_animations(Application.new_world(), -1 / 0)",
         "bad argument #2 to 'World.update_animations' (a time step must be a finite number, zero or more)"},
        {"World.play_sound(Application.new_world(), 'x')", "World.play_sound: the sound service is not built yet"},
        {"Unit.actor(World.spawn_unit(Application.new_world(), 'units/box'), 'x')",
         "bad argument #1 to 'Unit.actor' (the world has no physics"},
        {"Level.navigation_mesh(nil)", "bad argument #1 to 'Level.navigation_mesh' (not a live Level (released, replaced or another value))"},
        {"Level.spline(Vector3(1, 2, 3), 'x')", "bad argument #1 to 'Level.spline' (not a live Level (released, replaced or another value))"},
        // The replaced level's memory goes to the new one: its value must not pass for it.
        {"local w = Application.new_world()\nlocal a = World.load_level(w, 'levels/yard')\n"
         "local b = World.load_level(w, 'levels/yard')\nassert(a ~= b and World.level(w) == b)\n"
         "Level.get_data(a, 'title')",
         "bad argument #1 to 'Level.get_data' (not a live Level (released, replaced or another value))"},
        {"Level.spline(World.level(Application.new_world()), 'x')",
         "bad argument #1 to 'Level.spline' (not a live Level (released, replaced or another value))"},
        // Another userdata given the package metatable is no package.
        {"local mt = debug.getmetatable(Application.resource_package('extra'))\n"
         "local w = Application.new_world()\ndebug.setmetatable(w, mt)\nResourcePackage.has_loaded(w)",
         "bad argument #1 to 'ResourcePackage.has_loaded' (ResourcePackage expected"},
        {"local fake = newproxy(true)\n"
         "debug.setmetatable(fake, debug.getmetatable(Application.resource_package('extra')))\n"
         "ResourcePackage.load(fake)",
         "bad argument #1 to 'ResourcePackage.load' (ResourcePackage expected"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        log.clear();
        std::string failure = run_boot(c.code);
        EXPECT_NE(failure.find(c.message), std::string::npos) << failure;
        app.reset();
    }
}

TEST_F(WorldApiTest, LevelsLoadSpawnAnswerAndGiveTheirScriptValueBack)
{
    EXPECT_EQ(run_boot("local w = Application.new_world()\n"
                       "assert(tostring(World.level(w)) == '[NULL]')\n"
                       "weak = setmetatable({}, {__mode = 'k'})\n"
                       "local value = {}\n"
                       "weak[value] = true\n"
                       "local level = World.load_level(w, 'levels/yard', value)\n"
                       "value = nil\n"
                       "assert(World.level(w) == level and tostring(level) == '[Level]')\n"
                       "assert(World.num_units(w) == 1)\n"
                       "local p = Unit.world_position(World.units(w)[1], 0)\n"
                       "assert(p.x == 1 and p.y == 2 and p.z == 3)\n"
                       "assert(Level.get_data(level, 'title') == 'yard' and Level.has_data(level, 'title'))\n"
                       "assert(not Level.has_data(level, 'other'))\n"
                       "local s = Level.spline(level, 'path')\n"
                       "assert(#s == 3 and s[3].x == 1 and s[3].y == 1)\n"
                       "assert(#Level.spline(level, 'none') == 0)\n"
                       "Level.trigger_event(level, 'open')\n"
                       "assert(World.num_units(w) == 2, 'the level flow spawned a unit')\n"
                       "collectgarbage(); collectgarbage()\n"
                       "assert(next(weak) ~= nil, 'the level keeps its script value')\n"
                       "Application.release_world(w)\n"
                       "collectgarbage(); collectgarbage()\n"
                       "assert(next(weak) == nil, 'the value goes with the world')\n"
                       "assert(tostring(level) == '[Level (released)]')\n"
                       "local ok, e = pcall(Level.get_data, level, 'title')\n"
                       "assert(not ok and e:find('not a live Level', 1, true), e)\n"
                       // A replaced level gives its value back too.
                       "w = Application.new_world()\n"
                       "value = {}\n"
                       "weak[value] = true\n"
                       "World.load_level(w, 'levels/yard', value)\n"
                       "value = nil\n"
                       "local second = World.load_level(w, 'levels/yard')\n"
                       "collectgarbage(); collectgarbage()\n"
                       "assert(next(weak) == nil, 'the replaced level gave its value back')\n"
                       "Level.trigger_level_loaded(second)\n"
                       // A level callback cannot pull the world from under its flow run.
                       "local inner\n"
                       "local script = {spawn_unit = function(self, u)\n"
                       "  inner = {pcall(Application.release_world, w)}\n"
                       "  local ok, e = pcall(World.update, w, 0.1)\n"
                       "  update_refused = not ok and e:find('from inside its own flow run', 1, true)\n"
                       "end}\n"
                       "local third = World.load_level(w, 'levels/yard', script)\n"
                       "Level.trigger_event(third, 'open')\n"
                       "assert(inner and not inner[1] and inner[2]:find('cannot be released while its flow runs', 1, true),\n"
                       "       inner and tostring(inner[2]))\n"
                       "assert(update_refused)\n"
                       "ok, e = pcall(World.load_level, w, 'levels/missing')\n"
                       "assert(not ok and e:find('no \"level\" resource of that name is loaded'), e)\n"
                       "print('init done')"),
              "");
    EXPECT_EQ(log.count("[Lua] init done"), 1);
}

// Units and the level made from a package's resources keep them after the package is
// unloaded and released; they are freed with the last of their users.
TEST_F(WorldApiTest, UnloadingAPackageLeavesItsLiveUnitsAndLevelWhole)
{
    EXPECT_EQ(run_boot("local w = Application.new_world()\n"
                       "local p = Application.resource_package('extra')\n"
                       "ResourcePackage.load(p)\n"
                       "ResourcePackage.flush(p)\n"
                       "local u = World.spawn_unit(w, 'units/extra', Vector3(1, 0, 0))\n"
                       "local level = World.load_level(w, 'levels/far')\n"
                       "local name = Unit.debug_name(u)\n"
                       "ResourcePackage.unload(p)\n"
                       "Application.release_resource_package(p)\n"
                       "assert(Unit.debug_name(u) == name)\n"
                       "Unit.set_local_position(u, 0, Vector3(2, 0, 0))\n"
                       "World.update(w, 1 / 30)\n"
                       "local far = World.units(w)[2]\n"
                       "local q = Unit.world_position(far, 1)\n"
                       "assert(q.x == 5 and q.z == 3, tostring(q))\n"
                       "q = Unit.world_position(u, 1)\n"
                       "assert(q.x == 2 and q.z == 3, tostring(q))\n"
                       "Level.trigger_level_loaded(level)\n"
                       "World.destroy_unit(w, u)\n"
                       "World.update(w, 1 / 30)\n"
                       "assert(Unit.debug_name(far) == name)\n"
                       "Application.release_world(w)\n"
                       "w = Application.new_world()\n"
                       "assert(World.spawn_unit(w, 'units/extra') == nil, 'freed with its last user')\n"
                       "print('init done')"),
              "");
    EXPECT_EQ(log.count("[Lua] init done"), 1);
}

TEST_F(WorldApiTest, UnitsOfAnotherWorldAreLeftAlone)
{
    EXPECT_EQ(run_boot("local w1, w2 = Application.new_world(), Application.new_world()\n"
                       "local u = World.spawn_unit(w1, 'units/box')\n"
                       "World.destroy_unit(w2, u)\nWorld.unlink_unit(w2, u)\nWorld.update_unit(w2, u)\n"
                       "assert(Unit.alive(u) and World.num_units(w1) == 1)\n"
                       "print('init done')"),
              "");
    EXPECT_EQ(log.count("[Lua] init done"), 1);
}

TEST_F(WorldApiTest, DataStoresKeepEveryKindAndGiveTheirReferencesBack)
{
    const std::string checks =
        "local function check(set, get, has, owner)\n"
        "  set(owner, 'n', 0.1)\n"
        "  assert(get(owner, 'n') ~= 0.1 and math.abs(get(owner, 'n') - 0.1) < 1e-7, 'single precision')\n"
        "  set(owner, 'a', 'b', 5)\n"
        "  assert(get(owner, 'a', 'b') == 5 and get(owner, 'a') == nil and has(owner, 'a', 'b'))\n"
        "  assert(get(owner, 'a', 'b', 'c') == nil and get(owner, 'a', 'b') == 5, 'reads change nothing')\n"
        "  set(owner, 'a', 'b', nil)\n"
        "  assert(not has(owner, 'a', 'b') and get(owner, 'a', 'b') == nil)\n"
        // Removing under a value, or under groups that do not exist, changes nothing.
        "  set(owner, 'n', 'deeper', nil); assert(math.abs(get(owner, 'n') - 0.1) < 1e-7, 'value kept')\n"
        "  set(owner, 'none', 'x', nil); assert(not has(owner, 'none'), 'no group made')\n"
        "  set(owner, 1, 'flag', true); assert(get(owner, 1, 'flag') == true)\n"
        "  set(owner, 's', 'text'); assert(get(owner, 's') == 'text')\n"
        "  set(owner, 'v', Vector3(1, 2, 3)); assert(get(owner, 'v') == Vector3(1, 2, 3) or get(owner, 'v').z == 3)\n"
        "  set(owner, 'q', Quaternion.identity()); assert(get(owner, 'q').z == 0)\n"
        "  set(owner, 'm', Matrix4x4.identity()); assert(Matrix4x4.element(get(owner, 'm'), 4, 4) == 1)\n"
        "  local t = {}\n"
        "  set(owner, 't', t); assert(get(owner, 't') == t)\n"
        "  set(owner, 'group', 'x', {}); set(owner, 'group', 'y', function() end)\n"
        "end\n";
    EXPECT_EQ(run_boot(checks + "local w = Application.new_world()\n"
                                "local u = World.spawn_unit(w, 'units/box')\n"
                                "check(function(_, ...) Application.set_data(...) end,\n"
                                "      function(_, ...) return Application.get_data(...) end,\n"
                                "      function(_, ...) return Application.has_data(...) end, nil)\n"
                                "check(World.set_data, World.get_data, World.has_data, w)\n"
                                "check(Unit.set_data, Unit.get_data, Unit.has_data, u)\n"
                                "World.set_data(w, 'u', u); assert(World.get_data(w, 'u') == u)\n"
                                // What the stores keep is given back when the owner goes.
                                "weak = setmetatable({}, {__mode = 'k'})\n"
                                "local kept = {}\n"
                                "weak[kept] = true\n"
                                "World.set_data(w, 'deep', 'er', kept); Unit.set_data(u, 'k', kept)\n"
                                "Unit.set_data(u, 'k', 1)\n" // replaced: one reference back
                                "kept = nil\n"
                                "collectgarbage(); collectgarbage()\n"
                                "assert(next(weak) ~= nil, 'the world store still holds it')\n"
                                "Application.release_world(w)\n"
                                "collectgarbage(); collectgarbage()\n"
                                "assert(next(weak) == nil, 'released with the world')\n"
                                "print('init done')"),
              "");
    EXPECT_EQ(log.count("[Lua] init done"), 1);
}

} // namespace
} // namespace tallow::test
