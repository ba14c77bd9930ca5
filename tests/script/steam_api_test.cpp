// The online-services script tables on the in-memory stand-in: absent without the platform,
// tokens and objects checked on every call (use after leave, after shutdown, tokens of
// other tables), leaderboard formats, cloud round trips.
#include "script_fixture.h"

#include "foundation/threads/thread_registry.h"
#include "network/network_game_config.h"
#include "network/network_manager.h"
#include "network/steam/steam_core.h"
#include "platform/steam/steam_hub.h"
#include "script/script_api.h"
#include "script/services/steam_api.h"
#include "tests/support/writers/network_config_writer.h"

#include <chrono>
#include <thread>

namespace tallow::test {
namespace {

namespace platform = tallow::steam;
using namespace network;
constexpr u64 alice = 0xA11CE, bob = 0xB0B;

const NetworkGameConfig *find_config(void *user, const char *name)
{
    return strcmp(name, "network/sample") == 0 ? static_cast<const NetworkGameConfig *>(user) : nullptr;
}

class SteamApiTest : public ScriptTest {
  protected:
    SteamApiTest()
    {
        hub.add_user(alice, "alice");
        hub.add_user(bob, "bob");
        hub.set_app(0x3039, "suomi", true);
        hub.set_schema({"a1", "a2"}, {"kills"}, {"best", "laps"});
        config_bytes = write_network_config({});
        EXPECT_TRUE(config.open(config_bytes.data(), u32(config_bytes.size())));
    }
    ~SteamApiTest() override
    {
        network::steam::stop_steam_services(&manager);
        platform::set_current_user(nullptr, 0);
    }
    void start(bool with_platform = true)
    {
        platform::set_current_user(with_platform ? &hub : nullptr, alice);
        network::steam::start_steam_services(nullptr, threads);
        register_math_api(env);
        register_steam_script_api(env, &manager, find_config, &config);
    }
    /// Frames: the services' pump, then the manager's update.
    void frames(u32 n)
    {
        for (u32 i = 0; i < n; ++i) {
            network::steam::update_steam_services();
            manager.update(0.02f, {}, {});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    platform::Hub hub;
    ThreadRegistry threads{default_allocator(), "main"};
    std::vector<u8> config_bytes;
    NetworkGameConfig config;
    NetworkManager manager{default_allocator()};
};

TEST_F(SteamApiTest, WithoutThePlatformOnlyCloudAndTheNetworkFunctionsExist)
{
    start(false);
    EXPECT_EQ(run("assert(Steam == nil and Achievement == nil and Leaderboard == nil)\n"
                  "assert(Cloud.enabled() == false)\n"
                  "local t = Cloud.auto_save('x', {1})\n"
                  "assert(Cloud.progress(t) == nil)\n"
                  "assert(Network.init_steam_client('network/sample') == nil)\n"
                  "assert(Network.init_steam_server('network/sample') == nil)\n"
                  "local l = Network.create_steam_lobby(Network.STEAM_LOBBY_PUBLIC, 4)\n"
                  "assert(SteamLobby.state(l) == SteamLobby.FAILED)\n"
                  "assert(SteamLobby.num_members(l) == 0)\n"
                  "Network.leave_steam_lobby(l)\n"),
              "");
    EXPECT_EQ(manager.backend(), nullptr);
}

TEST_F(SteamApiTest, SteamTableReportsTheUser)
{
    start();
    EXPECT_EQ(run("assert(Steam.connected())\n"
                  "assert(Steam.language() == 'fi', Steam.language())\n"
                  "assert(Steam.user_id() == 'a11ce')\n"
                  "assert(Steam.user_name() == 'alice')\n"
                  "assert(Steam.user_name('b0b') == 'bob')\n"
                  "assert(Steam.user_name('123') == '[unknown]')\n"),
              "");
    EXPECT_NE(run("Steam.user_name('zz')").find("not an id"), std::string::npos);
    hub.set_app(0x3039, "klingon", true);
    EXPECT_EQ(run("assert(Steam.language() == 'en')"), "");
    EXPECT_EQ(log.count("[Steam] Failed to find language code for : klingon"), 1);
}

TEST_F(SteamApiTest, AchievementProgressFollowsTheStore)
{
    start();
    frames(1); // statistics received
    EXPECT_EQ(run("t = Achievement.unlock('a1', 3, 'a2')\n"
                  "local p = Achievement.progress(t)\n"
                  "assert(p.done == false)\n"),
              "");
    frames(1);
    EXPECT_EQ(run("local p = Achievement.progress(t)\n"
                  "assert(p.done == true and p.error == nil)\n"
                  "assert(Achievement.unlocked('a1') and not Achievement.unlocked('a2'))\n" // a2 came after a number
                  "Achievement.close(t)\n"
                  "assert(Achievement.progress(t) == nil)\n"
                  "local e = Achievement.unlock()\n"
                  "local q = Achievement.progress(e)\n"
                  "assert(q.done and q.error == 'failed')\n"),
              "");
}

TEST_F(SteamApiTest, LeaderboardScoresRoundTripThroughTheirFormat)
{
    start();
    frames(1);
    EXPECT_EQ(run("local L = Leaderboard\n"
                  "fmt = {L.UINT(3), L.BOOL, L.STRING(2), L.INT(5), L.NUMBER}\n"
                  "up = L.register_score('best', 77, fmt, {5, true, 'ab', -3, 1.5})\n"),
              "");
    frames(4);
    EXPECT_EQ(run("local p = Leaderboard.progress(up)\n"
                  "assert(p.transaction_status == 'done' and p.work_status == 'succeeded', p.work_status)\n"
                  "down = Leaderboard.ranking_range('best', 1, 10, fmt)\n"),
              "");
    frames(4);
    EXPECT_EQ(run("local p = Leaderboard.progress(down)\n"
                  "assert(p.total_scores == 1)\n"
                  "local e = p.scores[1]\n"
                  "assert(e.name == 'alice' and e.score == 77 and e.global_rank == 1)\n"
                  "local d = e.data\n"
                  "assert(d[1] == 5 and d[2] == true and d[3] == 'ab' and d[4] == -3 and d[5] == 1.5)\n"
                  // A format longer than the details gives no value past them.
                  "long = Leaderboard.ranking_range('best', 1, 1, {Leaderboard.STRING(200), Leaderboard.UINT(8)})\n"
                  "Leaderboard.close(down)\n"
                  "assert(Leaderboard.progress(down) == nil)\n"
                  // A nil string value packs as "".
                  "nil_string = Leaderboard.register_score('laps', 5, {Leaderboard.STRING(3), Leaderboard.UINT(4)}, {nil, 9})\n"),
              "");
    for (int i = 0; i < 12; ++i)
        hub.seed_leaderboard("laps", 0x900 + u64(i), 100 - i, {});
    frames(4);
    EXPECT_EQ(run("local p = Leaderboard.progress(long)\n"
                  "local d = p.scores[1].data\n"
                  "assert(d[1] == nil and d[2] == nil)\n" // 12 bytes of details cannot hold a 201-byte string
                  "assert(Leaderboard.progress(nil_string).work_status == 'succeeded')\n"
                  "ten = Leaderboard.ranking_range('laps', 1, 10, {Leaderboard.STRING(3), Leaderboard.UINT(4)})\n"
                  "mine = Leaderboard.ranking_around_self('laps', 1, 0, {Leaderboard.STRING(3), Leaderboard.UINT(4)})\n"),
              "");
    frames(4);
    EXPECT_EQ(run("assert(Leaderboard.progress(ten).total_scores == 10)\n" // first 1, count 10: ranks 1 to 10
                  "local p = Leaderboard.progress(mine)\n"
                  "assert(p.total_scores == 2 and p.scores[2].name == 'alice')\n"
                  "local d = p.scores[2].data\n"
                  "assert(d[1] == '' and d[2] == 9, tostring(d[1]))\n"),
              "");
    const ScriptErrorCase cases[] = {
        {"Leaderboard.register_score('best', 1, {Leaderboard.UINT(3), 7}, {1, 2})", "neither a format tag"},
        {"Leaderboard.UINT(33)", "bad argument #1"},
        {"Leaderboard.STRING(256)", "bad argument #1"},
        // Detail integers must be whole 32-bit values (no undefined cast for the rest).
        {"Leaderboard.register_score('best', 1, {Leaderboard.INT(8)}, {0/0})", "not a 32-bit integer"},
        {"Leaderboard.register_score('best', 1, {Leaderboard.UINT(8)}, {1/0})", "not a 32-bit integer"},
        {"Leaderboard.register_score('best', 1, {Leaderboard.INT(8)}, {-1e300})", "not a 32-bit integer"},
        {"Leaderboard.register_score('best', 1, {Leaderboard.UINT(32)}, {2^63})", "not a 32-bit integer"},
        {"Leaderboard.register_score('best', 1, {Leaderboard.UINT(32)}, {2^32})", "not a 32-bit integer"},
        {"local f = {} for i = 1, 65 do f[i] = 0 end Leaderboard.register_score('best', 1, f, {})", "at most 64"},
        {"local f = {} for i = 1, 2 do f[i] = Leaderboard.STRING(200) end Leaderboard.register_score('best', 1, f, {})",
         "256 bytes"},
        {"Leaderboard.progress(Cloud.auto_load('x'))", "LeaderboardTransactionToken expected"},
        {"Achievement.progress(Leaderboard.init_leaderboards('best'))", "TransactionToken expected"},
    };
    expect_script_errors(cases, [&](const std::string &code) { return run(code); });
}

TEST_F(SteamApiTest, ObjectsMadeInACoroutineAreWhole)
{
    start();
    EXPECT_EQ(run("local function inside(f)\n"
                  "  local co = coroutine.create(f)\n"
                  "  local ok, v = coroutine.resume(co)\n"
                  "  assert(ok, v)\n"
                  "  return v\n"
                  "end\n"
                  "client = inside(function() return Network.init_steam_client('network/sample') end)\n"
                  "assert(getmetatable(client) == SteamClient)\n"
                  "lobby = inside(function() return Network.create_steam_lobby(Network.STEAM_LOBBY_PUBLIC, 2) end)\n"
                  "assert(getmetatable(lobby) == SteamLobby and SteamLobby.state(lobby) == SteamLobby.CREATING)\n"
                  "local browser = inside(function() return SteamClient.lobby_browser(client) end)\n"
                  "assert(getmetatable(browser) == SteamLobbyBrowser)\n"
                  "local servers = inside(function() return SteamClient.server_browser(client) end)\n"
                  "assert(getmetatable(servers) == SteamServerBrowser)\n"
                  "local token = inside(function() return Cloud.auto_load('nothing') end)\n"
                  "assert(getmetatable(token) == CloudToken)\n"
                  "collectgarbage(); collectgarbage()\n"
                  "Network.shutdown_steam_client(client)\n"),
              "");
}

TEST_F(SteamApiTest, UseAfterLeaveAndAfterShutdownIsAnError)
{
    start();
    EXPECT_EQ(run("client = Network.init_steam_client('network/sample')\n"
                  "assert(client)\n"
                  "browser = SteamClient.lobby_browser(client)\n"
                  "lobby = Network.create_steam_lobby(Network.STEAM_LOBBY_PUBLIC, 2)\n"
                  "assert(SteamLobby.state(lobby) == SteamLobby.CREATING)\n"),
              "");
    frames(2);
    EXPECT_EQ(run("assert(SteamLobby.state(lobby) == SteamLobby.JOINED)\n"
                  "SteamLobby.set_data(lobby, 'name', 'room')\n"
                  "assert(SteamLobby.get_data(lobby, 'name') == 'room')\n"
                  "assert(SteamLobby.game_server(lobby) == nil)\n"
                  "assert(SteamLobby.owner(lobby) == 'a11ce')\n"
                  "assert(SteamLobby.member(lobby, 0) == 'a11ce' and SteamLobby.member(lobby, 1) == nil)\n"
                  "SteamLobbyBrowser.refresh(browser)\n"),
              "");
    frames(2);
    EXPECT_EQ(run("assert(SteamLobbyBrowser.num_lobbies(browser) == 1)\n"
                  "assert(SteamLobbyBrowser.lobby(browser, 0).name == 'room')\n"
                  "assert(SteamLobbyBrowser.lobby(browser, 1) == nil)\n"
                  "Network.leave_steam_lobby(lobby)\n"),
              "");
    EXPECT_EQ(hub.lobby_count(), 0u);
    EXPECT_NE(run("SteamLobby.state(lobby)").find("SteamLobby has been released"), std::string::npos);
    EXPECT_NE(run("Network.leave_steam_lobby(lobby)").find("SteamLobby has been released"), std::string::npos);
    EXPECT_EQ(run("lobby2 = Network.create_steam_lobby(Network.STEAM_LOBBY_PUBLIC, 2)\n"
                  "Network.shutdown_steam_client(client)\n"),
              "");
    EXPECT_NE(run("SteamLobby.state(lobby2)").find("has been released"), std::string::npos);
    EXPECT_NE(run("SteamLobbyBrowser.refresh(browser)").find("has been released"), std::string::npos);
    EXPECT_NE(run("Network.shutdown_steam_client(client)").find("has been released"), std::string::npos);
    EXPECT_NE(run("SteamLobby.state(client)").find("SteamLobby expected"), std::string::npos);
    EXPECT_NE(run("Network.init_steam_client('network/missing')").find("no network_game_config 'network/missing'"),
              std::string::npos);
}

TEST_F(SteamApiTest, ShutdownWithALiveLobbyLeavesNothingBehind)
{
    start();
    EXPECT_EQ(run("client = Network.init_steam_client('network/sample')\n"
                  "lobby = Network.create_steam_lobby(Network.STEAM_LOBBY_PUBLIC, 2)\n"),
              "");
    frames(2);
    EXPECT_EQ(hub.lobby_count(), 1u);
    network::steam::stop_steam_services(&manager); // the game's exit order: services first
    EXPECT_EQ(hub.lobby_count(), 0u);
    EXPECT_EQ(manager.backend(), nullptr);
    EXPECT_NE(run("SteamLobby.state(lobby)").find("has been released"), std::string::npos);
    EXPECT_NE(run("Network.shutdown_steam_client(client)").find("has been released"), std::string::npos);
}

TEST_F(SteamApiTest, CloudSavesAndLoadsAValue)
{
    start();
    EXPECT_EQ(run("assert(Cloud.enabled())\n"
                  "s = Cloud.auto_save('progress', {level = 3, name = 'x', flags = {true, false}, pos = Vector3(1, 2, 3)})\n"
                  "assert(Cloud.progress(s).done == false)\n"
                  "m = Cloud.auto_load('never')\n"),
              "");
    for (int i = 0; i < 500 && run("assert(Cloud.progress(s).done and Cloud.progress(m).done)") != ""; ++i)
        frames(1);
    EXPECT_EQ(run("assert(Cloud.progress(s).error == nil)\n"
                  "assert(Cloud.progress(m).error == 'non_existing_file')\n"
                  "l = Cloud.auto_load('progress')\n"),
              "");
    for (int i = 0; i < 500 && run("assert(Cloud.progress(l).done)") != ""; ++i)
        frames(1);
    EXPECT_EQ(run("local d = Cloud.progress(l).data\n"
                  "assert(d.level == 3 and d.name == 'x' and d.flags[1] == true and d.flags[2] == false)\n"
                  "assert(Vector3.y(d.pos) == 2)\n"
                  "Cloud.close(l)\n"
                  "assert(Cloud.progress(l) == nil)\n"),
              "");
    EXPECT_NE(run("Cloud.auto_save('f', function() end)").find("no save encoding"), std::string::npos);
    // Cloud bytes come from outside: a file that is not a value reads as broken.
    hub.set_file(alice, "junk", {9, 9, 9, 9, 9, 9, 9});
    EXPECT_EQ(run("j = Cloud.auto_load('junk')"), "");
    for (int i = 0; i < 500 && run("assert(Cloud.progress(j).done)") != ""; ++i)
        frames(1);
    EXPECT_EQ(run("local p = Cloud.progress(j)\n"
                  "assert(p.error == 'broken' and p.data == nil)\n"),
              "");
}

} // namespace
} // namespace tallow::test
