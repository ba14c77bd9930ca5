// Unit.play_simple_animation and Unit.stop_simple_animation over a whole Application whose
// worlds have the animation service, with a unit compiled from source (its animation data
// through the animation compiler).
#include "tests/script/boot_script_fixture.h"

#include "animation/animation_resources.h"
#include "animation/world_animation_service.h"
#include "tools/animation/animation_compiler.h"
#include "tools/animation/state_machine_compiler.h"

namespace tallow::test {
namespace {

const char *const hinge_unit = "nodes = [ { name = \"root\" }\n"
                               "  { name = \"leaf\" parent = \"root\" position = [0.5 0 1] } ]\n"
                               "simple_animations = [ { name = \"open\" nodes = [\"leaf\"] } ]\n"
                               "simple_animation_data = { length = 2 tracks = [ { node = \"leaf\" keys = [\n"
                               "  { time = 0 position = [0.5 0 1] }\n"
                               "  { time = 2 position = [2.5 0 1] } ] } ] }\n";

class UnitAnimationApiTest : public BootScriptTest {
  protected:
    UnitAnimationApiTest()
    {
        world_services.animation = create_animation_service;
        register_resource_types = register_animation_resource_types;
        write_data({{"package", "boot", package_resource({{"unit", "units/hinge"}})},
                    {"unit", "units/hinge", compiled_unit(hinge_unit)}});
    }
};

TEST_F(UnitAnimationApiTest, ScriptsPlayAndStopSimpleAnimations)
{
    EXPECT_EQ(run_boot("w = Application.new_world()\n"
                       "u = World.spawn_unit(w, 'units/hinge')\n"
                       "Unit.play_simple_animation(u, nil, nil, false, 1, 'open')\n"
                       "Unit.play_simple_animation(u, nil, nil, false, 1, 'no_such_group')\n"
                       "World.update(w, 0.5)\n"
                       "World.update(w, 0.5)\n"
                       "local p = Unit.local_position(u, 1)\n"
                       "assert(math.abs(p.x - 1.5) < 1e-4, tostring(p.x))\n"
                       "Unit.stop_simple_animation(u, 'open')\n"
                       "World.update(w, 0.5)\n"
                       "p = Unit.local_position(u, 1)\n"
                       "assert(math.abs(p.x - 1.5) < 1e-4, 'stopped: the node stays')\n"
                       "Unit.play_simple_animation(u, 1.5, nil, true, -2, 'open')\n"
                       "World.update(w, 0.5)\n"
                       "p = Unit.local_position(u, 1)\n"
                       "assert(math.abs(p.x - 1.0) < 1e-4, tostring(p.x))\n"
                       "Unit.stop_simple_animation(u)\n"
                       "local ok, e = pcall(Unit.play_simple_animation, u, 'x')\n"
                       "assert(not ok and e:find('Unit.play_simple_animation'), e)\n"),
              "");
}

using CompileFunction = bool (*)(const char *, u64, std::vector<u8> &, std::string &);

std::string compiled(CompileFunction compile, const char *source)
{
    std::vector<u8> out;
    std::string error;
    EXPECT_TRUE(compile(source, strlen(source), out, error)) << error;
    return std::string(out.begin(), out.end());
}

// A vane whose state machine sways it until a gust crossfades it into a spin; the spin's
// "spun" event reaches the unit's flow graph, which calls Probe.spun(unit) in Lua.
const char *const vane_unit = "nodes = [ { name = \"root\" } { name = \"vane\" parent = \"root\" } ]\n"
                              "animated = true\n"
                              "state_machine = \"units/vane\"\n"
                              "flow = { variables = [ { name = \"me\" type = \"unit\" } ]\n"
                              "  nodes = [ { name = \"spawned\" type = \"event\" on = [\"unit_spawned\"] unit = \"me\" }\n"
                              "            { name = \"spun\" type = \"event\" on = [\"spun\"] next = [\"tell\"] }\n"
                              "            { name = \"tell\" type = \"script_method\" object = \"Probe\" method = \"spun\"\n"
                              "              arguments = [ { type = \"unit\" variable = \"me\" } ] } ] }\n";
const char *const vane_machine =
    "variables = [ { name = \"wind\" value = 1 } ]\n"
    "layers = [ { initial = \"sway\" states = [\n"
    "  { name = \"sway\" animations = [\"anim/sway\"] loop = true speed = \"wind\"\n"
    "    transitions = [ { on = \"gust\" to = \"spin\" blend_time = 0.5 } ] }\n"
    "  { name = \"spin\" animations = [\"anim/spin\"] loop = true speed = \"wind\"\n"
    "    events = [ { time = 1 name = \"spun\" } { time = 1.75 name = \"calm\" internal = true } ]\n"
    "    transitions = [ { on = \"calm\" to = \"sway\" blend_time = 0.5 } ] } ] } ]\n";
const char *const sway = "length = 2 tracks = [ { node = \"root\" keys = [ { time = 0 } ] }\n"
                         "  { node = \"vane\" keys = [ { time = 0 } { time = 1 rotation = [0 0 0.17365 0.98481] }\n"
                         "                         { time = 2 } ] } ]\n";
const char *const spin = "length = 2 tracks = [ { node = \"root\" keys = [ { time = 0 } ] }\n"
                         "  { node = \"vane\" keys = [ { time = 0 } { time = 1 rotation = [0 0 1 0] }\n"
                         "                         { time = 2 rotation = [0 0 0 -1] } ] } ]\n";
// A walker whose root moves 0.1 along x a frame (the root track's pose, taken as a delta).
const char *const walker_unit = "nodes = [ { name = \"root\" } ]\nanimated = true\nstate_machine = \"units/walker\"\n";
const char *const walker_machine = "layers = [ { initial = \"walk\" states = [ { name = \"walk\"\n"
                                   "  animations = [\"anim/step\"] loop = true root_mode = \"delta_position\" } ] } ]\n";
const char *const step = "length = 1 tracks = [ { node = \"root\" keys = [ { time = 0 position = [0.1 0 0] } ] } ]\n";

class UnitBlendApiTest : public BootScriptTest {
  protected:
    UnitBlendApiTest()
    {
        world_services.animation = create_animation_service;
        register_resource_types = register_animation_resource_types;
        write_data({{"package", "boot",
                     package_resource({{"unit", "units/vane"},
                                       {"bones", "units/vane"},
                                       {"state_machine", "units/vane"},
                                       {"unit", "units/walker"},
                                       {"bones", "units/walker"},
                                       {"state_machine", "units/walker"},
                                       {"unit", "units/hinge"},
                                       {"animation", "anim/sway"},
                                       {"animation", "anim/spin"},
                                       {"animation", "anim/step"}})},
                    {"unit", "units/vane", compiled_unit(vane_unit)},
                    {"bones", "units/vane", compiled(compile_bones_source, "bones = [\"root\" \"vane\"]")},
                    {"state_machine", "units/vane", compiled(compile_state_machine_source, vane_machine)},
                    {"unit", "units/walker", compiled_unit(walker_unit)},
                    {"bones", "units/walker", compiled(compile_bones_source, "bones = [\"root\"]")},
                    {"state_machine", "units/walker", compiled(compile_state_machine_source, walker_machine)},
                    {"unit", "units/hinge", compiled_unit(hinge_unit)},
                    {"animation", "anim/sway", compiled(compile_animation_source, sway)},
                    {"animation", "anim/spin", compiled(compile_animation_source, spin)},
                    {"animation", "anim/step", compiled(compile_animation_source, step)}});
    }
};

TEST_F(UnitBlendApiTest, StateMachineEventsReachFlowAndLuaAfterACrossfade)
{
    EXPECT_EQ(run_boot("spun = 0\n"
                       "Probe = {}\n"
                       "function Probe.spun(u) spun = spun + 1; who = u end\n"
                       "local w = Application.new_world()\n"
                       "local u = World.spawn_unit(w, 'units/vane')\n"
                       "local wind = Unit.animation_find_variable(u, 'wind')\n"
                       "assert(wind == 0 and Unit.animation_get_variable(u, wind) == 1)\n"
                       "assert(Unit.animation_find_variable(u, 'nope') == -1)\n"
                       "local ok, e = pcall(Unit.animation_get_variable, u, 5)\n"
                       "assert(not ok and e:find('Unit.animation_get_variable'), e)\n"
                       "ok, e = pcall(Unit.animation_set_variable, u, -1, 2)\n"
                       "assert(not ok and e:find('Unit.animation_set_variable'), e)\n"
                       "World.update(w, 0.1)\n"
                       "assert(not Unit.is_crossfading_animation(u))\n"
                       "Unit.animation_event(u, 'gust')\n"
                       "assert(Unit.is_crossfading_animation(u), 'the gust crossfades')\n"
                       "for i = 1, 5 do World.update(w, 0.1) end\n"
                       "assert(not Unit.is_crossfading_animation(u), 'the crossfade took 0.5 s')\n"
                       "for i = 1, 4 do World.update(w, 0.1) end\n"
                       "assert(spun == 0, 'not yet')\n"
                       "for i = 1, 2 do World.update(w, 0.1) end\n"
                       "assert(spun == 1 and who == u and Unit.alive(who), 'spun once, for this unit: ' .. spun)\n"
                       "for i = 1, 8 do World.update(w, 0.1) end\n"
                       "assert(Unit.is_crossfading_animation(u), 'calm: back to the sway')\n"
                       "assert(spun == 1)\n"
                       "Unit.disable_animation_state_machine(u)\n"
                       "assert(Unit.animation_find_variable(u, 'wind') == -1)\n"
                       "assert(not Unit.is_crossfading_animation(u), 'the blender was cleared')\n"
                       "ok, e = pcall(Unit.animation_get_variable, u, 0)\n"
                       "assert(not ok and e:find('no animation state machine'), e)\n"
                       "Unit.enable_animation_state_machine(u)\n"
                       "assert(Unit.animation_find_variable(u, 'wind') == 0)\n"
                       "Unit.set_animation_state_machine(u, 'units/walker')\n"
                       "assert(Unit.animation_find_variable(u, 'wind') == -1, 'replaced')\n"
                       "ok, e = pcall(Unit.set_animation_state_machine, u, 'units/none')\n"
                       "assert(not ok and e:find('state_machine'), e)\n"),
              "");
}

// A state-machine event's script callback may try to end what runs it: releasing or
// updating the world is refused with an error naming the function, and destroying the
// unit whose machine raised the event waits until the event run is over.
TEST_F(UnitBlendApiTest, StateMachineEventCallbacksThatEndTheirCaller)
{
    EXPECT_EQ(run_boot("Probe = {}\n"
                       "function Probe.spun(u)\n"
                       "  local ok, e = pcall(Application.release_world, w)\n"
                       "  release_refused = not ok and e:find('Application.release_world: ', 1, true) ~= nil\n"
                       "  ok, e = pcall(World.update, w, 0.1)\n"
                       "  update_refused = not ok and e:find('World.update: ', 1, true) ~= nil\n"
                       "  World.destroy_unit(w, u)\n"
                       "  alive_in_callback = Unit.alive(u)\n"
                       "end\n"
                       "w = Application.new_world()\n"
                       "local u = World.spawn_unit(w, 'units/vane')\n"
                       "Unit.animation_event(u, 'gust')\n"
                       "for i = 1, 30 do World.update(w, 0.1) end\n"
                       "assert(release_refused and update_refused, 'refused')\n"
                       "assert(alive_in_callback ~= nil and not Unit.alive(u), 'destroyed after the event run')\n"
                       "assert(World.num_units(w) == 0)\n"
                       "Application.release_world(w)\n"),
              "");
}

TEST_F(UnitBlendApiTest, RootModesMoveTheUnitAndScriptsCrossfade)
{
    EXPECT_EQ(run_boot("local w = Application.new_world()\n"
                       "local u = World.spawn_unit(w, 'units/walker')\n"
                       "assert(Unit.animation_root_mode(u) == 'delta_position')\n"
                       "for i = 1, 5 do World.update(w, 0.1) end\n"
                       "local p = Unit.world_position(u, 0)\n"
                       "assert(math.abs(p.x - 0.5) < 1e-4, 'walked 5 steps: ' .. p.x)\n"
                       "local wanted = Unit.animation_wanted_root_pose(u)\n"
                       "assert(math.abs(Matrix4x4.translation(wanted).x - 0.5) < 1e-4, 'a delta mode: the pose')\n"
                       "Unit.set_animation_root_mode(u, 'sideways')\n"
                       "assert(Unit.animation_root_mode(u) == 'delta_position', 'an unknown mode changes nothing')\n"
                       "Unit.set_animation_root_mode(u, 'ignore')\n"
                       "for i = 1, 3 do World.update(w, 0.1) end\n"
                       "p = Unit.world_position(u, 0)\n"
                       "assert(math.abs(p.x - 0.5) < 1e-4, 'ignore: the root stays ' .. p.x)\n"
                       "wanted = Unit.animation_wanted_root_pose(u)\n"
                       "assert(math.abs(Matrix4x4.translation(wanted).x - 0.6) < 1e-4, 'ignore: where it would go')\n"
                       "Unit.disable_animation_state_machine(u)\n"
                       "local id = Unit.crossfade_animation(u, 'anim/step', 2, 0.25, true, 'offset')\n"
                       "assert(id > 0)\n"
                       "Unit.crossfade_animation_set_speed(u, id, 2)\n"
                       "Unit.crossfade_animation_set_time(u, id, 0.5)\n"
                       "Unit.crossfade_animation_set_time(u, id + 100, 0.5)\n"
                       "assert(Unit.is_crossfading_animation(u))\n"
                       "local ok, e = pcall(Unit.crossfade_animation, u, 'anim/none')\n"
                       "assert(not ok and e:find('Unit.crossfade_animation'), e)\n"
                       "ok, e = pcall(Unit.crossfade_animation, u, 'anim/step', nil)\n"
                       "assert(not ok, 'a nil layer is an argument')\n"
                       "local hinge = World.spawn_unit(w, 'units/hinge')\n"
                       "ok, e = pcall(Unit.crossfade_animation, hinge, 'anim/step')\n"
                       "assert(not ok and e:find('no animation blender'), e)\n"
                       "Unit.animation_event(hinge, 'gust')\n"),
              "");
}

class UnitAnimationWithoutServiceTest : public BootScriptTest {
  protected:
    UnitAnimationWithoutServiceTest()
    {
        write_data({{"package", "boot", package_resource({{"unit", "units/hinge"}})},
                    {"unit", "units/hinge", compiled_unit(hinge_unit)}});
    }
};

TEST_F(UnitAnimationWithoutServiceTest, SimpleAnimationsRaiseThatTheServiceIsMissing)
{
    EXPECT_EQ(run_boot("local u = World.spawn_unit(Application.new_world(), 'units/hinge')\n"
                       "local ok, e = pcall(Unit.play_simple_animation, u)\n"
                       "assert(not ok and e:find('Unit.play_simple_animation: the animation service is not built yet'), e)\n"
                       "ok, e = pcall(Unit.stop_simple_animation, u)\n"
                       "assert(not ok and e:find('the animation service is not built yet'), e)\n"),
              "");
}

} // namespace
} // namespace tallow::test
