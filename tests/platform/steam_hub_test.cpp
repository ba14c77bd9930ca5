// The online-services stand-in's own rules: delivery only in the matching pump, sessions
// that need accepting, datagram limits, owner-only lobby data, availability.
#include "platform/steam/steam_hub.h"
#include "platform/steam/steam_hub_internal.h"

#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace tallow::steam {
namespace {

constexpr u64 alice = 0x11, bob = 0x22;

struct Recorder {
    std::vector<u64> session_requests;
    static void on_session(void *self, const void *data)
    {
        static_cast<Recorder *>(self)->session_requests.push_back(static_cast<const P2PSessionRequest *>(data)->remote);
    }
};

class SteamHubTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        hub.add_user(alice, "alice");
        hub.add_user(bob, "bob");
        for (u64 u : {alice, bob}) {
            HubUser as(hub, u);
            ASSERT_TRUE(api_init());
        }
    }
    void TearDown() override
    {
        for (u64 u : {alice, bob}) {
            HubUser as(hub, u);
            api_shutdown();
        }
    }
    Hub hub;
};

TEST_F(SteamHubTest, AccessorsAreNullWithoutInitAndInterfacesAnswerNeutrallyAfterShutdown)
{
    Hub empty;
    empty.add_user(0x33, "carol");
    HubUser as(empty, 0x33);
    EXPECT_EQ(user(), nullptr);
    EXPECT_EQ(game_server(), nullptr);
    ASSERT_TRUE(api_init());
    User *kept = user();
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->get_steam_id(), 0x33u);
    EXPECT_STREQ(friends()->get_friend_persona_name(0x99), "[unknown]");
    api_shutdown();
    EXPECT_EQ(user(), nullptr);
    EXPECT_EQ(kept->get_steam_id(), 0u);
}

TEST_F(SteamHubTest, InitFailsForAnUnknownUserAndWithoutAnyHub)
{
    {
        HubUser as(hub, 0x77);
        EXPECT_FALSE(api_init());
    }
    set_current_user(nullptr, 0);
    EXPECT_FALSE(api_init()); // no hub and no TALLOW_STEAM_ROOT in the test environment
}

TEST_F(SteamHubTest, PacketsFlowOnlyAfterTheSessionIsAcceptedAndRequestsArriveOnlyInTheClientPump)
{
    Recorder bob_client, bob_server;
    CallbackRegistration client_slot, server_slot;
    {
        HubUser as(hub, bob);
        register_callback(client_slot, callback_p2p_session_request, false, &Recorder::on_session, &bob_client);
        register_callback(server_slot, callback_p2p_session_request, true, &Recorder::on_session, &bob_server);
    }
    std::vector<u8> big(max_p2p_bytes, 0xAB);
    {
        HubUser as(hub, alice);
        EXPECT_TRUE(networking()->send_p2p_packet(bob, "x", 1, 0, 0));
        EXPECT_TRUE(networking()->send_p2p_packet(bob, big.data(), u32(big.size()), 0, 0));
        EXPECT_FALSE(networking()->send_p2p_packet(bob, big.data(), max_p2p_bytes + 1, 0, 0));
        run_callbacks(); // alice's pump delivers nothing of bob's
    }
    HubUser as(hub, bob);
    u8 buffer[max_p2p_bytes];
    u32 size = 0;
    u64 from = 0;
    EXPECT_FALSE(networking()->read_p2p_packet(buffer, sizeof(buffer), &size, &from, 0)); // held
    EXPECT_EQ(hub.held_packets(bob), 2u);
    EXPECT_TRUE(bob_client.session_requests.empty()); // not inside the send
    game_server_run_callbacks();                      // no game server: nothing
    EXPECT_TRUE(bob_server.session_requests.empty());
    run_callbacks();
    ASSERT_EQ(bob_client.session_requests, std::vector<u64>{alice});
    EXPECT_TRUE(bob_server.session_requests.empty()); // flagged registrations: server pump only
    EXPECT_TRUE(networking()->accept_p2p_session_with_user(alice));
    ASSERT_TRUE(networking()->read_p2p_packet(buffer, sizeof(buffer), &size, &from, 0));
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(from, alice);
    EXPECT_FALSE(networking()->read_p2p_packet(buffer, 10, &size, &from, 0)); // too big: dropped, never cut
    unregister_callback(client_slot);
    unregister_callback(server_slot);
}

TEST_F(SteamHubTest, SendingToAPeerAcceptsItsSession)
{
    {
        HubUser as(hub, alice);
        networking()->send_p2p_packet(bob, "a", 1, 0, 0);
    }
    {
        HubUser as(hub, bob);
        networking()->send_p2p_packet(alice, "b", 1, 0, 0);
        u8 buffer[8];
        u32 size;
        u64 from;
        EXPECT_TRUE(networking()->read_p2p_packet(buffer, sizeof(buffer), &size, &from, 0));
    }
    HubUser as(hub, alice);
    u8 buffer[8];
    u32 size;
    u64 from;
    EXPECT_TRUE(networking()->read_p2p_packet(buffer, sizeof(buffer), &size, &from, 0)); // alice sent first
}

struct Results {
    LobbyCreated created{};
    int calls = 0;
    static void on_created(void *self, const void *data, bool io)
    {
        auto *r = static_cast<Results *>(self);
        r->calls++;
        if (!io)
            r->created = *static_cast<const LobbyCreated *>(data);
    }
};

TEST_F(SteamHubTest, CallResultsArriveOnlyInALaterPumpAndFaultsShapeThem)
{
    HubUser as(hub, alice);
    Results results;
    CallbackRegistration slot;
    const CallHandle call = matchmaking()->create_lobby(2, 4);
    ASSERT_NE(call, 0u);
    register_call_result(slot, call, &Results::on_created, &results);
    EXPECT_EQ(results.calls, 0);
    run_callbacks();
    EXPECT_EQ(results.calls, 1);
    EXPECT_EQ(results.created.result, result_ok);
    const u64 lobby = results.created.lobby;
    EXPECT_TRUE(matchmaking()->set_lobby_data(lobby, "name", "room"));
    {
        HubUser as_bob(hub, bob);
        EXPECT_FALSE(matchmaking()->set_lobby_data(lobby, "name", "mine")); // owner only
        EXPECT_STREQ(matchmaking()->get_lobby_data(lobby, "name"), "room");
        EXPECT_STREQ(matchmaking()->get_lobby_data(lobby, "missing"), "");
    }
    hub.fail_next(Call::CreateLobby, Fault::ZeroHandle);
    EXPECT_EQ(matchmaking()->create_lobby(2, 4), 0u);
    hub.set_delay(3);
    const CallHandle slow = matchmaking()->create_lobby(2, 4);
    register_call_result(slot, slow, &Results::on_created, &results);
    run_callbacks();
    run_callbacks();
    EXPECT_EQ(results.calls, 1);
    run_callbacks();
    EXPECT_EQ(results.calls, 2);
    unregister_call_result(slot);
}

TEST_F(SteamHubTest, OwnershipPassesOnAndAnEmptyLobbyIsDeleted)
{
    u64 lobby;
    {
        HubUser as(hub, alice);
        matchmaking()->create_lobby(2, 2);
        lobby = matchmaking()->get_lobby_by_index(0); // no list requested yet
        EXPECT_EQ(lobby, 0u);
    }
    ASSERT_EQ(hub.lobby_count(), 1u);
    {
        HubUser as(hub, bob);
        matchmaking()->request_lobby_list();
        lobby = matchmaking()->get_lobby_by_index(0);
        matchmaking()->join_lobby(lobby);
        EXPECT_EQ(matchmaking()->get_num_lobby_members(lobby), 2);
    }
    {
        HubUser as(hub, alice);
        matchmaking()->leave_lobby(lobby);
    }
    EXPECT_EQ(hub.lobby_members(lobby), std::vector<u64>{bob});
    {
        HubUser as(hub, bob);
        EXPECT_EQ(matchmaking()->get_lobby_owner(lobby), bob);
        matchmaking()->leave_lobby(lobby);
    }
    EXPECT_EQ(hub.lobby_count(), 0u);
}

TEST(SteamHubFolderText, LobbyTextRoundTripsAndBrokenTextIsRefused)
{
    LobbyRecord r;
    r.id = 0x0186000000000042;
    r.app = 7;
    r.type = 2;
    r.max_members = 4;
    r.owner = 0x11;
    r.members = {0x11, 0x22};
    r.data = {{"name", "a room"}, {"", "empty key"}};
    r.version = 3;
    const std::string text = write_lobby_text(r);
    LobbyRecord back;
    ASSERT_TRUE(read_lobby_text(text.data(), text.size(), &back));
    EXPECT_EQ(back.members, r.members);
    EXPECT_EQ(back.data, r.data);
    EXPECT_EQ(back.version, 3u);
    const char *broken[] = {"", "id", "id zz", "id 1 what 2", "id 1 data 6", "id 1 data 6 7", "id 11111111111111111"};
    for (const char *b : broken) {
        SCOPED_TRACE(b);
        EXPECT_FALSE(read_lobby_text(b, strlen(b), &back));
    }
}


TEST(SteamHubFolder, MembersWhoseProcessIsGoneLeaveTheirLobbies)
{
    test::TempDirectory root;
    HubState *hub = open_folder_hub(root.path(), 0x11, "alice");
    ASSERT_NE(hub, nullptr);
    const pid_t child = fork(); // a process that is gone by the time the lobbies are read
    if (child == 0)
        _exit(0);
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    auto endpoint = [&](u64 user, long pid) {
        std::ofstream(root.file("endpoints") + "/" + (user == 0x11 ? "11" : "22")) << "4000 " << pid << " x\n";
    };
    endpoint(0x11, long(getpid()));
    endpoint(0x22, long(child)); // 0x33 has no endpoint at all
    struct Case {
        const char *name;
        u64 owner;
        std::vector<u64> members;
        bool kept;
        u64 new_owner;
        std::vector<u64> left;
    };
    const Case cases[] = {
        {"the owner crashed, a member lives", 0x22, {0x22, 0x11}, true, 0x11, {0x11}},
        {"the owner crashed alone", 0x22, {0x22}, false, 0, {}},
        {"a member without an endpoint", 0x11, {0x11, 0x33}, true, 0x11, {0x11}},
        {"everyone lives", 0x11, {0x11}, true, 0x11, {0x11}},
    };
    u64 id = 0x0186000000000100;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FolderLock lock(*hub);
        LobbyRecord r;
        r.id = ++id;
        r.app = hub->app_id;
        r.type = 2;
        r.max_members = 4;
        r.owner = c.owner;
        r.members = c.members;
        store_lobby(*hub, r);
        LobbyRecord loaded;
        ASSERT_TRUE(load_lobby(*hub, id, &loaded));
        EXPECT_EQ(drop_departed_members(*hub, loaded), c.kept);
        LobbyRecord stored;
        EXPECT_EQ(load_lobby(*hub, id, &stored), c.kept);
        if (c.kept) {
            EXPECT_EQ(stored.owner, c.new_owner);
            EXPECT_EQ(stored.members, c.left);
        }
    }
    close(hub->lock_fd);
    delete hub;
}

} // namespace
} // namespace tallow::steam
