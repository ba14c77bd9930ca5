// The network script tables from Lua: a script peer and a C++ peer in one process over
// loopback sockets find each other through a lobby, form a game, exchange remote calls and
// a replicated object, and mirror a unit; wrong arguments raise errors naming the function.
#include "boot_script_fixture.h"

#include "application/my_game.h"
#include "network/field_codec.h"
#include "network/lan/lan_client.h"
#include "network/network_config_resource.h"
#include "network/unit_synchronizer.h"
#include "tests/support/writers/network_config_writer.h"

#include <unistd.h>

namespace tallow::test {
namespace {

using namespace network;

std::string config_bytes()
{
    NetworkConfigSpec spec;
    spec.rpcs.push_back({"chat", {string_argument(), int_field("n", 8, 0)}});
    spec.rpcs.push_back({"reply", {float_field("x", 8, 0, 10), bool_field("ok")}});
    spec.types.push_back({"ball", {float_field("height", 16, 0, 10), bool_field("held")}});
    spec.types.push_back({"unit",
                          {vector3_field("position", 20, -100, 100, 0.001f), quaternion_field("rotation", 32, 0.0001f),
                           id_field("unit_name"), int_field("synchronizer_id", 8, 0)}});
    const std::vector<u8> bytes = write_network_config(spec);
    return std::string(bytes.begin(), bytes.end());
}

class NetworkApiTest : public BootScriptTest {
  protected:
    NetworkApiTest()
    {
        write_data({{"package", "boot",
                     package_resource({{"network_game_config", "net"}, {"unit", "units/box"}})},
                    {"network_game_config", "net", config_bytes()},
                    {"unit", "units/box", compiled_unit("nodes = [ { name = \"root\" } { name = \"loose\" } ]\n")}});
        write_settings("lan_broadcast_targets = [ \"127.0.0.1\" ]\n");
        services.create_network = [](Allocator &allocator, Application &) -> INetworkService * {
            NetworkManagerSettings settings;
            settings.game.create_synchronizer = create_unit_synchronizer;
            return make_new<NetworkManager>(allocator, default_allocator(), settings);
        };
        register_resource_types = register_network_resource_types;
    }

    lua_State *lua() { return static_cast<MyGame *>(app->game())->lua().state(); }
    std::string global(const char *name)
    {
        lua_getglobal(lua(), name);
        std::string value = lua_isstring(lua(), -1) ? lua_tostring(lua(), -1) : lua_isnil(lua(), -1) ? "nil" : "?";
        if (lua_isboolean(lua(), -1))
            value = lua_toboolean(lua(), -1) ? "true" : "false";
        lua_pop(lua(), 1);
        return value;
    }
};

/// The C++ peer: a LAN client hosting the lobby and the game.
struct HostPeer {
    explicit HostPeer(const NetworkGameConfig &config)
    {
        LanClientSettings settings;
        settings.own_id = 0xB0B;
        client = std::make_unique<LanClient>(default_allocator(), settings);
        EXPECT_TRUE(manager.set_backend(*client, config));
        lobby = make_new<LanLobby>(manager.allocator(), client->lan_transport(), 0xB0Bu, 0u, 4u, manager.allocator());
        manager.add_lobby(lobby);
        lobby->set_data("name", "bob's yard");
        lobby->set_game_server(0xB0B);
        game = manager.create_game();
        game->set_host();
    }
    void update()
    {
        manager.update(1.0f / 30, {on_message, this}, {});
        for (u32 i = 1; i < lobby->member_count(); ++i)
            if (!game->has_peer(lobby->member(i)))
                game->add_peer(lobby->member(i));
    }
    static const u8 *on_message(void *user, u64 sender, const u8 *bytes, u32 remaining)
    {
        auto *self = static_cast<HostPeer *>(user);
        const RpcEntry *entry = self->game->config().rpc(bytes[0]);
        BitReader reader(bytes + 1, remaining - 1);
        RpcValue values[max_rpc_arguments];
        if (!entry || !read_rpc_arguments(reader, *entry, values))
            return nullptr;
        self->calls.push_back(std::string(entry->name) + ":" + std::string(values[0].text, values[0].length) + ":" +
                              std::to_string(values[1].integer));
        self->caller = sender;
        return reader.cursor();
    }

    std::unique_ptr<LanClient> client;
    NetworkManager manager{default_allocator()};
    LanLobby *lobby = nullptr;
    INetworkGame *game = nullptr;
    std::vector<std::string> calls;
    u64 caller = 0;
};

TEST_F(NetworkApiTest, AScriptPeerFindsJoinsAndPlaysWithAnotherPeer)
{
    NetworkGameConfig config;
    const std::string bytes = config_bytes();
    std::vector<u32> aligned((bytes.size() + 3) / 4);
    memcpy(aligned.data(), bytes.data(), bytes.size());
    ASSERT_TRUE(config.open(aligned.data(), u32(bytes.size())));
    HostPeer host(config);
    const std::string port = std::to_string(host.lobby->port());

    source.set("boot",
               "function init()\n"
               "  client = Network.init_lan_client('net')\n"
               "  assert(client and Network.player_id():match('^%x+$'))\n"
               "  browser = LanClient.lobby_browser(client)\n"
               "  LanLobbyBrowser.refresh(browser, " + port + ")\n"
               "  assert(LanLobbyBrowser.is_refreshing(browser))\n"
               "  game = Network.create_game()\n"
               "  world = Application.new_world()\n"
               "  got = {}\n"
               "  callbacks = {}\n"
               "  function callbacks:reply(sender, x, ok) got.reply = sender .. ':' .. string.format('%.1f', x) .. ':' .. tostring(ok) end\n"
               "  function callbacks:game_object_created(id, owner) got.created = owner end\n"
               "  assert(RPC.no_such_call == nil)\n"
               "end\n"
               "function update(dt)\n"
               "  Network.update(dt, callbacks)\n"
               "  if not lobby and LanLobbyBrowser.num_lobbies(browser) > 0 and LanLobbyBrowser.lobby(browser, 0).name then\n"
               "    local found = LanLobbyBrowser.lobby(browser, 0)\n"
               "    found_name, found_address = found.name, found.address\n"
               "    lobby = Network.join_lan_lobby(found.address)\n"
               "    LanLobby.set_player_data(lobby, 'colour', 'teal')\n"
               "  end\n"
               "  if lobby and not sent and NetworkGame.in_game(game) and LanLobby.game_server(lobby) then\n"
               "    sent = true\n"
               "    server = LanLobby.game_server(lobby)\n"
               "    assert(LanLobby.state(lobby) == LanLobby.JOINED and LanLobby.owner(lobby) == server)\n"
               "    assert(LanLobby.num_members(lobby) == 2 and LanLobby.member(lobby, 0) == server)\n"
               "    assert(#NetworkGame.players(game) == 2 and NetworkGame.other_players(game)[1] == server)\n"
               "    assert(NetworkGame.in_game(game, server))\n"
               "    RPC.chat(server, 'hello', 7)\n"
               "    ball = NetworkGame.create_game_object(game, 'ball', {height = 2.5, held = true})\n"
               "    assert(NetworkGame.game_object_is_type(game, ball, 'ball'))\n"
               "    assert(math.abs(NetworkGame.game_object_field(game, ball, 'height') - 2.5) < 1e-6)\n"
               "    NetworkGame.set_game_object_field(game, ball, 'height', 4)\n"
               "    assert(#NetworkGame.objects_owned_by(game, Network.player_id()) == 1)\n"
               "    sync = NetworkGame.unit_synchronizer(game)\n"
               "    UnitSynchronizer.set_world(sync, world)\n"
               "    box = UnitSynchronizer.spawn_unit(sync, 'unit', 'units/box', Vector3(1, 2, 3))\n"
               "    box_id = UnitSynchronizer.unit_to_game_object_id(sync, box)\n"
               "    assert(UnitSynchronizer.game_object_id_to_unit(sync, box_id) == box)\n"
               "  end\n"
               "  if world then World.update(world, dt) end\n"
               "end\n"
               "function render() end\n");
    ASSERT_TRUE(make().init());
    auto done = [&] { return host.calls.size() == 1 && static_cast<NetworkGame *>(host.game)->object_count() == 2 && global("got_reply") != "nil"; };
    bool replied = false;
    u32 broken_at = 0;
    for (u32 frame = 0; frame < 600 && !done(); ++frame) {
        app->update();
        host.update();
        if (broken_at == 0 && host.calls.size() == 1) {
            // Broken calls first: an index past the calls, and a call cut short. Neither
            // reaches the script (each ends the delivery it came in); a good one later does.
            broken_at = frame;
            const u8 unknown[] = {200, 1, 2};
            ASSERT_TRUE(host.game->send_game_message(host.caller, unknown, sizeof(unknown)));
            const u8 cut[] = {u8(config.rpc_index(*config.find_rpc(NameId32("chat").value()))), 0xFF};
            ASSERT_TRUE(host.game->send_game_message(host.caller, cut, sizeof(cut)));
        }
        if (!replied && broken_at && frame >= broken_at + 100) {
            replied = true;
            // The host calls back: reply(9.0, true).
            u8 payload[64];
            BitWriter writer(payload, sizeof(payload));
            RpcValue values[2];
            values[0].type = FieldType::Float;
            values[0].number[0] = 9;
            values[1].type = FieldType::Bool;
            values[1].boolean = true;
            const u32 index = config.rpc_index(*config.find_rpc(NameId32("reply").value()));
            ASSERT_TRUE(write_rpc(writer, index, *config.rpc(index), values, 2));
            writer.flush();
            ASSERT_TRUE(host.game->send_game_message(host.caller, payload, writer.size_bytes()));
        }
        luaL_dostring(lua(), "got_reply = got.reply");
        usleep(1000);
    }
    EXPECT_EQ(global("found_name"), "bob's yard");
    EXPECT_EQ(global("found_address"), "127.0.0.1:" + port);
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0], "chat:hello:7");
    EXPECT_EQ(global("got_reply"), "b0b:9.0:true");
    EXPECT_EQ(static_cast<NetworkGame *>(host.game)->object_count(), 2u); // the ball and the unit's object
    EXPECT_EQ(host.lobby->get_member_data(1, "colour") ? std::string(host.lobby->get_member_data(1, "colour")) : "",
              "teal");
    for (const std::string &line : log.lines())
        EXPECT_EQ(line.find("[Lua]"), std::string::npos) << line;
}

// A remote call's callback may end what calls it: the game, the LAN client, its lobby, or
// update again (refused). The update reads on safely and the script hears nothing more of
// what it ended (run under AddressSanitizer). Network.update from a coroutine runs the
// callbacks on the main state.
TEST_F(NetworkApiTest, RemoteCallsThatEndTheirCaller)
{
    NetworkGameConfig config;
    const std::string bytes = config_bytes();
    std::vector<u32> aligned((bytes.size() + 3) / 4);
    memcpy(aligned.data(), bytes.data(), bytes.size());
    ASSERT_TRUE(config.open(aligned.data(), u32(bytes.size())));
    struct Case {
        const char *name;
        const char *act;   // run by the first reply
        const char *check; // after the replies
        int replies;       // heard
    };
    const Case cases[] = {
        {"shuts the game down", "Network.shutdown_game()", "assert(Network.game() == nil)", 1},
        {"shuts the client down", "Network.shutdown_lan_client(client)",
         "assert(Network.game() == nil and Network.player_id() == nil)", 1},
        {"leaves its lobby", "Network.leave_lan_lobby(lobby)", "assert(not pcall(LanLobby.state, lobby))", 3},
        {"updates again",
         "local ok, e = pcall(Network.update, 0.01, callbacks)\n"
         "assert(not ok and e:find('Network.update: called from inside a network callback', 1, true), e)",
         "assert(Network.game())", 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HostPeer host(config);
        const std::string port = std::to_string(host.lobby->port());
        app.reset();
        log.clear();
        source.set("boot",
                   std::string("function init()\n"
                               "  client = Network.init_lan_client('net')\n"
                               "  browser = LanClient.lobby_browser(client)\n"
                               "  LanLobbyBrowser.refresh(browser, ") + port + ")\n"
                   "  game = Network.create_game()\n"
                   "  replies, threads = 0, {}\n"
                   "  callbacks = {}\n"
                   "  function callbacks:reply(sender, x, ok)\n"
                   "    replies = replies + 1\n"
                   "    threads[#threads + 1] = coroutine.running() == nil\n"
                   "    if replies == 1 then\n" + c.act + "\n    end\n"
                   "  end\n"
                   "end\n"
                   "function update(dt)\n"
                   "  if ended then return end\n"
                   "  local co = coroutine.create(function() Network.update(dt, callbacks) end)\n"
                   "  local ok, e = coroutine.resume(co)\n"
                   "  assert(ok, e)\n"
                   "  if replies > 0 then ended = true; return end\n"
                   "  if not lobby and LanLobbyBrowser.num_lobbies(browser) > 0 and LanLobbyBrowser.lobby(browser, 0).name then\n"
                   "    lobby = Network.join_lan_lobby(LanLobbyBrowser.lobby(browser, 0).address)\n"
                   "  end\n"
                   "  if lobby and not sent and NetworkGame.in_game(game) and LanLobby.game_server(lobby) then\n"
                   "    sent = true\n"
                   "    RPC.chat(LanLobby.game_server(lobby), 'ready', 1)\n"
                   "  end\n"
                   "end\n"
                   "function render() end\n");
        ASSERT_TRUE(make().init());
        bool replied = false;
        for (u32 frame = 0; frame < 600; ++frame) {
            app->update();
            host.update();
            if (!replied && host.calls.size() == 1) {
                replied = true;
                // Three replies in one go: the first one's callback ends the caller.
                for (int i = 0; i < 3; ++i) {
                    u8 payload[64];
                    BitWriter writer(payload, sizeof(payload));
                    RpcValue values[2];
                    values[0].type = FieldType::Float;
                    values[0].number[0] = 1;
                    values[1].type = FieldType::Bool;
                    values[1].boolean = true;
                    const u32 index = config.rpc_index(*config.find_rpc(NameId32("reply").value()));
                    ASSERT_TRUE(write_rpc(writer, index, *config.rpc(index), values, 2));
                    writer.flush();
                    ASSERT_TRUE(host.game->send_game_message(host.caller, payload, writer.size_bytes()));
                }
                host.update();
            }
            if (global("ended") == "true")
                break;
            usleep(1000);
        }
        ASSERT_EQ(global("ended"), "true");
        for (u32 frame = 0; frame < 20; ++frame) { // the rest arrives, or would
            host.update();
            app->update();
        }
        EXPECT_EQ(global("replies"), std::to_string(c.replies));
        luaL_dostring(lua(), (std::string(c.check) + "\nfor _, main in ipairs(threads) do assert(main) end\ncheck_done = true").c_str());
        EXPECT_EQ(global("check_done"), "true");
        for (const std::string &line : log.lines())
            EXPECT_EQ(line.find("[Lua]"), std::string::npos) << line;
    }
}

TEST_F(NetworkApiTest, WrongArgumentsRaiseErrorsNamingTheFunction)
{
    EXPECT_EQ(run_boot(
                  "local function fails(pattern, f, ...)\n"
                  "  local ok, message = pcall(f, ...)\n"
                  "  assert(not ok, pattern .. ' did not fail')\n"
                  "  assert(message:find(pattern, 1, true), message)\n"
                  "end\n"
                  "fails(\"'Network.init_lan_client'\", Network.init_lan_client, 'missing')\n"
                  "fails('no LAN client is running', Network.create_lan_lobby, 0, 4)\n"
                  "fails('no game', Network.create_game)\n"
                  "assert(Network.player_id() == nil and Network.game() == nil)\n"
                  "local client = Network.init_lan_client('net')\n"
                  "fails('a network backend is running', Network.init_lan_client, 'net')\n"
                  "fails(\"bad argument #2 to 'Network.init_lan_client'\", Network.init_lan_client, 'net', 70000)\n"
                  "assert(Network.join_lan_lobby('127.0.0.300:5') == nil)\n"
                  "assert(Network.join_lan_lobby('127.0.0.1') == nil)\n"
                  "fails(\"'Network.create_lan_lobby'\", Network.create_lan_lobby, 0, 67)\n"
                  "local lobby = Network.create_lan_lobby(0, 2)\n"
                  "assert(LanLobby.state(lobby) == LanLobby.JOINED and LanLobby.owner(lobby) == Network.player_id())\n"
                  "assert(LanLobby.num_members(lobby) == 1 and LanLobby.get_member_data(lobby, 0, 'x') == nil)\n"
                  "fails(\"bad argument #2 to 'LanLobby.member'\", LanLobby.member, lobby, 1)\n"
                  "fails(\"bad argument #2 to 'LanLobby.get_member_data'\", LanLobby.get_member_data, lobby, -1, 'k')\n"
                  "fails(\"bad argument #2 to 'LanLobby.set_game_server'\", LanLobby.set_game_server, lobby, 'xyz')\n"
                  "fails(\"bad argument #2 to 'LanLobby.set_game_server'\", LanLobby.set_game_server, lobby, '12345678901234567')\n"
                  "fails(\"bad argument #1 to 'LanLobby.state'\", LanLobby.state, client)\n"
                  "local browser = LanClient.lobby_browser(client)\n"
                  "fails('there are no lobbies found', LanLobbyBrowser.lobby, browser, 0)\n"
                  "local game = Network.create_game()\n"
                  "NetworkGame.make_server(game)\n"
                  "fails(\"bad argument #2 to 'NetworkGame.create_game_object'\", NetworkGame.create_game_object, game, 'nope')\n"
                  "fails('has no field', NetworkGame.create_game_object, game, 'ball', {weight = 1})\n"
                  "fails(\"bad argument #3 to 'NetworkGame.create_game_object' (field 'held': boolean expected)\", NetworkGame.create_game_object, game, 'ball', {held = 3})\n"
                  "fails('no game object 77', NetworkGame.game_object_field, game, 77, 'height')\n"
                  "local ball = NetworkGame.create_game_object(game, 'ball')\n"
                  "assert(#NetworkGame.silent_players(game) == 0 and #NetworkGame.silent_players(game, 0) == 0)\n"
                  "fails(\"bad argument #2 to 'NetworkGame.silent_players'\", NetworkGame.silent_players, game, -1)\n"
                  "fails(\"bad argument #2 to 'NetworkGame.silent_players'\", NetworkGame.silent_players, game, 0/0)\n"
                  "fails('has no field', NetworkGame.game_object_field, game, ball, 'weight')\n"
                  "fails(\"bad argument #4 to 'NetworkGame.set_game_object_field'\", NetworkGame.set_game_object_field, game, ball, 'held', 'yes')\n"
                  "fails('is not in the game', NetworkGame.migrate_game_object, game, ball, 'abc', {})\n"
                  "fails(\"bad argument #2 to 'RPC.chat'\", RPC.chat, 'abc', {}, 1)\n"
                  "fails('at most 2047 bytes', RPC.chat, 'abc', string.rep('x', 3000), 1)\n"
                  "assert(RPC.chat('abc', 'hi', 1) == false)\n"
                  "local sync = NetworkGame.unit_synchronizer(game)\n"
                  "fails('no world is set', UnitSynchronizer.spawn_unit, sync, 'unit', 'units/box')\n"
                  "fails('lacks position', UnitSynchronizer.spawn_unit, sync, 'ball', 'units/box')\n"
                  "fails(\"bad argument #1 to 'UnitSynchronizer.set_world'\", UnitSynchronizer.set_world, {}, nil)\n"
                  "assert(UnitSynchronizer.game_object_id_to_unit(sync, 5) == nil)\n"
                  "Network.shutdown_game()\n"
                  "fails('NetworkGame has been released', NetworkGame.players, game)\n"
                  "fails('UnitSynchronizer has been released', UnitSynchronizer.game_object_id_to_unit, sync, 5)\n"
                  "Network.leave_lan_lobby(lobby)\n"
                  "fails('LanLobby has been released', LanLobby.state, lobby)\n"
                  "local again = Network.create_lan_lobby(0, 2)\n"
                  "Network.shutdown_lan_client(client)\n"
                  "fails('LanLobby has been released', LanLobby.state, again)\n"
                  "fails('LanClient has been released', LanClient.lobby_browser, client)\n"
                  "fails('LanLobbyBrowser has been released', LanLobbyBrowser.num_lobbies, browser)\n"
                  "assert(RPC.chat == nil)\n"),
              "");
}

TEST_F(NetworkApiTest, AClientWhosePortIsTakenIsNoClient)
{
    Socket taken;
    ASSERT_TRUE(taken.open(SocketKind::Datagram));
    ASSERT_TRUE(taken.bind({0, 0}));
    const std::string port = std::to_string(taken.local_address().port);
    EXPECT_EQ(run_boot("assert(Network.init_lan_client('net', " + port + ") == nil)\n"
                       "assert(Network.player_id() == nil)\n"
                       "assert(Network.init_lan_client('net') ~= nil)\n"),
              "");
    bool logged = false;
    for (const std::string &line : log.lines())
        logged = logged || line.find("no LAN client on port " + port) != std::string::npos;
    EXPECT_TRUE(logged);
}

TEST_F(NetworkApiTest, WithoutANetworkServiceEveryFunctionSaysSo)
{
    services.create_network = nullptr;
    EXPECT_EQ(run_boot("local ok, message = pcall(Network.init_lan_client, 'net')\n"
                       "assert(not ok and message:find('the network service is not built yet'), message)\n"),
              "");
}

} // namespace
} // namespace tallow::test
