// Scripts may call anything inside a coroutine: each function that returns an engine value
// returns it there, usable (its metatable set, its collection freeing it) after the
// coroutine ends; callbacks of queries asked in a coroutine run on the main state.
#include "boot_script_fixture.h"

#include "network/network_config_resource.h"
#include "network/network_manager.h"
#include "physics/physics_sdk.h"
#include "physics/world_physics_service.h"
#include "save/save_system.h"
#include "foundation/threads/thread_registry.h"
#include "tests/support/writers/network_config_writer.h"
#include "tests/support/writers/physics_properties_writer.h"

namespace tallow::test {
namespace {

std::string properties()
{
    PhysicsPropertiesWriter w;
    w.material("wood", {0, 0.5f, 0.1f, 0.6f, 0, 0});
    w.shape_template("default", 0, {1, 1});
    ActorTemplate dynamic;
    dynamic.flags = actor_dynamic;
    dynamic.mass = 20;
    w.actor_template("dynamic", dynamic);
    w.actor_template("static", ActorTemplate{});
    std::vector<u8> bytes = w.write();
    return std::string(bytes.begin(), bytes.end());
}

std::string network_config()
{
    NetworkConfigSpec spec;
    spec.types.push_back({"ball", {bool_field("held")}});
    const std::vector<u8> bytes = write_network_config(spec);
    return std::string(bytes.begin(), bytes.end());
}

void register_types(ResourceManager &manager)
{
    register_physics_resource_types(manager);
    network::register_network_resource_types(manager);
}

class CoroutineTest : public BootScriptTest {
  protected:
    CoroutineTest()
    {
        services.create_physics = [](Allocator &allocator, Application &application) -> IPhysicsService * {
            return create_physics_sdk(allocator, application.thread_pool());
        };
        services.create_network = [](Allocator &allocator, Application &) -> INetworkService * {
            return make_new<network::NetworkManager>(allocator, default_allocator());
        };
        services.create_save = [](Allocator &allocator, Application &application, const char *dir) -> ISaveService * {
            return save::create_save_service(allocator, *application.thread_registry(), dir);
        };
        world_services.physics = create_physics_service;
        register_resource_types = register_types;
        write_data({
            {"package", "boot",
             package_resource({{"physics_properties", "physics/test"},
                               {"network_game_config", "net"},
                               {"unit", "units/crate"},
                               {"unit", "units/walker"}})},
            {"physics_properties", "physics/test", properties()},
            {"network_game_config", "net", network_config()},
            {"unit", "units/crate",
             compiled_unit("nodes = [ { name = \"root\" } { name = \"lid\" parent = \"root\" } ]\n"
                           "cameras = [ { name = \"eye\" node = \"lid\" settings = [0 0 0] } ]\n"
                           "actors = [ { name = \"body\" node = \"root\" template = \"dynamic\"\n"
                           "  shapes = [ { kind = 1 material = \"wood\" template = \"default\" parameters = [0.5 0.5 0.5] } ] } ]\n")},
            {"unit", "units/walker",
             compiled_unit("nodes = [ { name = \"root\" } ]\n"
                           "movers = [ { height = 1.8 radius = 0.4 } ]\n")},
        });
        write_settings("win32 = { save_dir = \"" + std::string(saves.path()) + "\" }\n"
                       "lan_broadcast_targets = [ \"127.0.0.1\" ]\n");
    }
    TempDirectory saves;
};

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
