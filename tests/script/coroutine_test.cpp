// Scripts may call anything inside a coroutine: each function that returns an engine value
// returns it there, usable (its metatable set, its collection freeing it) after the
// coroutine ends; callbacks of queries asked in a coroutine run on the main state.
#include "all_services_fixture.h"

namespace tallow::test {
namespace {

using CoroutineTest = AllServicesTest;

// Runs `expression` inside a coroutine (made fresh for each call) and returns its values.
const char *harness =
    "function inside(f, ...)\n"
    "  local co = coroutine.create(f)\n"
    "  local results = {coroutine.resume(co, ...)}\n"
    "  assert(results[1], results[2])\n"
    "  assert(coroutine.status(co) == 'dead')\n"
    "  return unpack(results, 2)\n"
    "end\n"
    "w = Application.new_world()\n"
    "crate = World.spawn_unit(w, 'units/crate', Vector3(0, 0, 3))\n"
    "walker = World.spawn_unit(w, 'units/walker', Vector3(5, 0, 0))\n"
    "pw = World.physics_world(w)\n"
    "client = Network.init_lan_client('net')\n"
    "assert(client)\n";

TEST_F(CoroutineTest, EngineValuesMadeInACoroutineAreWhole)
{
    struct Case {
        const char *expression; // made inside a coroutine
        const char *check;      // holds for the value `v`, back on the main state
    };
    const Case cases[] = {
        {"Application.new_world()", "getmetatable(v) == World and World.num_units(v) == 0"},
        {"Application.worlds()[1]", "getmetatable(v) == World and World.num_units(v) == 2"},
        {"World.physics_world(w)", "getmetatable(v) == PhysicsWorld"},
        {"PhysicsWorld.make_raycast(pw, function() end, 'closest')", "getmetatable(v) == Raycast"},
        {"Application.resource_package('boot')", "getmetatable(v) == ResourcePackage and ResourcePackage.has_loaded(v) ~= nil"},
        {"Unit.actor(crate, 'body')", "Actor.is_dynamic(v)"},
        {"Unit.mover(walker)", "Mover.unit(v) == walker"},
        {"World.spawn_unit(w, 'units/crate')", "Unit.alive(v)"},
        {"Vector3(1, 2, 3)", "Vector3.y(v) == 2"},
        {"Quaternion.identity()", "select(4, Quaternion.to_elements(v)) == 1"},
        {"Matrix4x4.identity()", "Matrix4x4.translation(v).x == 0"},
        {"SaveSystem.auto_save('co', {1, 2})", "getmetatable(v) == SaveToken and SaveSystem.progress(v) ~= nil"},
        {"SaveSystem.auto_load('nothing')", "getmetatable(v) == SaveToken and SaveSystem.progress(v) ~= nil"},
        {"Broadphase(2, 16)", "getmetatable(v) == Broadphase"},
        {"Flock()", "getmetatable(v) == Flock"},
        {"Network.game() or Network.create_game()", "getmetatable(v) == NetworkGame and NetworkGame.in_game(v) == false"},
        {"Network.game()", "getmetatable(v) == NetworkGame"},
        {"LanClient.lobby_browser(client)", "getmetatable(v) == LanLobbyBrowser"},
        {"Network.create_lan_lobby(0, 2)", "getmetatable(v) == LanLobby and LanLobby.num_members(v) == 1"},
        {"Network.join_lan_lobby('127.0.0.1:9')", "getmetatable(v) == LanLobby"},
        {"NetworkGame.unit_synchronizer(Network.game())", "UnitSynchronizer.game_object_id_to_unit(v, 1) == nil"},
        {"PhysicsWorld.spawn_box(pw, Vector3(9, 9, 9), Vector3(0.5, 0.5, 0.5), 'dynamic', 'default', 'wood')",
         "Actor.is_dynamic(v)"},
        {"FlockVisualizer(w, Flock(), 0)", "getmetatable(v) == FlockVisualizer"},
        // A table stored from a coroutine is read back on the main state (and released
        // with its owner after the coroutine is gone).
        {"(function() World.set_data(w, 'kept', {7}); return World.get_data(w, 'kept') end)()",
         "v[1] == 7 and World.get_data(w, 'kept') == v"},
        {"(function() Unit.set_data(crate, 'kept', {8}); return Unit.get_data(crate, 'kept') end)()",
         "v[1] == 8 and Unit.get_data(crate, 'kept') == v"},
    };
    std::string script = harness;
    for (const Case &c : cases)
        script += std::string("do\n  local v = inside(function() return ") + c.expression + " end)\n" +
                  "  assert(v ~= nil and (" + c.check + "), [=[" + c.expression + "]=])\n" +
                  // A second one in the same coroutine as a plain call: the stacks stay apart.
                  "  local a, b = inside(function() local x = " + c.expression + "; return x, 7 end)\n" +
                  "  assert(b == 7, [=[" + c.expression + ": the coroutine stack]=])\n" + "end\n";
    // Collected with their metatables: what a __gc frees goes (AddressSanitizer reports a leak).
    script += "collectgarbage(); collectgarbage()\nprint('made')\n";
    EXPECT_EQ(run_boot(script), "");
    EXPECT_EQ(log.count("[Lua] made"), 1);
}

TEST_F(CoroutineTest, RequireAndDofileReturnToTheCoroutine)
{
    source.set("mod", "return {answer = 42}");
    EXPECT_EQ(run_boot(std::string(harness) +
                       "local m = inside(function() return require('mod') end)\n"
                       "assert(type(m) == 'table' and m.answer == 42 and require('mod') == m)\n"
                       "local d, extra = inside(function() return dofile('mod'), 7 end)\n"
                       "assert(d.answer == 42 and extra == 7)\n"
                       "local ok, e = pcall(inside, function() return require('missing') end)\n"
                       "assert(not ok and e:find('script not found: missing', 1, true), e)\n"
                       "print('required')\n"),
              "");
    EXPECT_EQ(log.count("[Lua] required"), 1);
}

TEST_F(CoroutineTest, CallbacksOfQueriesAskedInACoroutineRunOnTheMainState)
{
    EXPECT_EQ(run_boot(std::string(harness) +
                       "answers = {}\n"
                       "local function record(kind) return function() answers[#answers + 1] = {kind, coroutine.running()} end end\n"
                       "inside(function()\n"
                       "  local r = PhysicsWorld.make_raycast(pw, record('raycast'), 'any')\n"
                       "  Raycast.cast(r, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       "  PhysicsWorld.overlap(pw, record('overlap'), 'size', 1, 'position', Vector3(0, 0, 3))\n"
                       "  kept = r\n"
                       "end)\n"
                       // Answered by updates from the main state and from another coroutine.
                       "World.update(w, 1 / 60); World.update(w, 1 / 60)\n"
                       "inside(function()\n"
                       "  Raycast.cast(kept, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       "  World.update(w, 1 / 60); World.update(w, 1 / 60)\n"
                       "end)\n"
                       "assert(#answers == 3, #answers)\n"
                       "for _, a in ipairs(answers) do assert(a[2] == nil, a[1] .. ' ran in a coroutine') end\n"
                       "print('answered')\n"),
              "");
    EXPECT_EQ(log.count("[Lua] answered"), 1);
}

} // namespace
} // namespace tallow::test
