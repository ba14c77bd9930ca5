// Online services on the in-memory stand-in: statistics transactions, leaderboards and their
// packed details, lobbies and browsers, the backends' transport, cloud files, shutdown order.
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_registry.h"
#include "network/steam/leaderboard_details.h"
#include "network/steam/steam_backends.h"
#include "network/steam/steam_cloud.h"
#include "network/steam/steam_core.h"
#include "network/steam/steam_leaderboards.h"
#include "network/steam/steam_lobby.h"
#include "network/steam/steam_stats.h"
#include "platform/steam/steam_hub.h"
#include "tests/support/log_capture.h"
#include "tests/support/writers/network_config_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <chrono>
#include <memory>
#include <thread>

namespace tallow::network::steam {
namespace {

namespace platform = tallow::steam;
constexpr u64 alice = 0x1100000000000011ull, bob = 0x2200000000000022ull, carol = 0x33;

class SteamServices : public ::testing::Test {
  protected:
    void SetUp() override
    {
        hub.add_user(alice, "alice");
        hub.add_user(bob, "bob");
        hub.add_user(carol, "carol");
        hub.add_friend(alice, bob);
        hub.set_schema({"a1", "a2", "a3"}, {"kills", "time"}, {"best", "laps"});
        platform::set_current_user(&hub, alice);
        ASSERT_TRUE(core.start());
    }
    void TearDown() override
    {
        for (u64 u : {bob, carol}) {
            platform::HubUser as(hub, u);
            platform::api_shutdown();
        }
        platform::set_current_user(&hub, alice);
    }
    void start_user(u64 user)
    {
        platform::HubUser as(hub, user);
        ASSERT_TRUE(platform::api_init());
    }
    void pump(u64 user, u32 times = 1)
    {
        platform::HubUser as(hub, user);
        for (u32 i = 0; i < times; ++i)
            platform::run_callbacks();
    }

    platform::Hub hub;
    SteamCoreImpl core;
};

// --- Statistics ---

struct StatsCase {
    const char *name;
    std::vector<const char *> achievements;
    std::vector<std::pair<const char *, i32>> stats;
    platform::Call fail_call;
    platform::Fault fault;
    u64 game_id; // 0: the app's
    bool done;
    bool error;
};

TEST_F(SteamServices, AchievementProgressIsDoneOnlyAfterTheStoreCallbacks)
{
    const platform::Call none = platform::Call::Count;
    const StatsCase cases[] = {
        {"two achievements", {"a1", "a2"}, {}, none, {}, 0, true, false},
        {"the same name twice", {"a1", "a1"}, {}, none, {}, 0, true, false},
        {"achievement and statistic", {"a3"}, {{"kills", 5}}, none, {}, 0, true, false},
        {"nothing named", {}, {}, none, {}, 0, true, true},
        {"store failed", {}, {{"kills", 1}}, platform::Call::StoreStats, platform::Fault::ResultFail, 0, true, true},
        {"achievements stored but statistics failed", {"a1"}, {{"kills", 1}}, platform::Call::StoreStats,
         platform::Fault::ResultFail, 0, true, true},
        {"set call failed (would wait forever)", {"a1"}, {}, platform::Call::SetAchievement, platform::Fault::ZeroHandle,
         0, true, true},
        {"unknown achievement", {"nope"}, {}, none, {}, 0, true, true},
        {"another game's callbacks", {"a1"}, {}, none, {}, 0xBEEF, false, false},
    };
    for (const StatsCase &c : cases) {
        SCOPED_TRACE(c.name);
        platform::Hub fresh;
        fresh.add_user(alice, "alice");
        fresh.set_schema({"a1", "a2", "a3"}, {"kills"}, {});
        platform::set_current_user(&fresh, alice);
        SteamCoreImpl own_core;
        ASSERT_TRUE(own_core.start());
        SteamStatsImpl stats(own_core);
        ASSERT_TRUE(stats.start());
        own_core.update(); // statistics received
        if (c.game_id)
            fresh.set_callback_game_id(c.game_id);
        if (c.fail_call != none)
            fresh.fail_next(c.fail_call, c.fault);
        const u32 t = stats.create_transaction();
        for (const char *a : c.achievements)
            stats.add_achievement(t, a);
        for (auto &[name, value] : c.stats)
            stats.set_stat(t, name, value);
        stats.commit_transaction(t);
        const StatsStatusView *view = stats.transaction_status(t);
        ASSERT_NE(view, nullptr);
        const bool settled_at_once = *view->status == stats_failed;
        if (!settled_at_once) {
            EXPECT_EQ(*view->status, stats_committed); // nothing arrives inside the commit
        }
        own_core.update();
        const bool done = *view->status == stats_done || *view->status == stats_failed;
        EXPECT_EQ(done, c.done);
        EXPECT_EQ(*view->status == stats_failed, c.error);
        stats.close_transaction(t);
        EXPECT_EQ(stats.transaction_status(t), nullptr);
    }
    platform::set_current_user(&hub, alice);
}

TEST_F(SteamServices, OnlyCommittedTransactionsReactToAStore)
{
    SteamStatsImpl stats(core);
    ASSERT_TRUE(stats.start());
    core.update();
    const u32 open = stats.create_transaction();
    stats.add_achievement(open, "a2");
    const u32 sent = stats.create_transaction();
    stats.add_achievement(sent, "a1");
    stats.set_stat(sent, "kills", 3);
    stats.commit_transaction(sent);
    stats.commit_transaction(sent); // a second commit does nothing
    core.update();
    EXPECT_EQ(*stats.transaction_status(sent)->status, stats_done);
    EXPECT_EQ(*stats.transaction_status(open)->status, stats_uncommitted);
    EXPECT_TRUE(hub.achieved(alice, "a1"));
    EXPECT_FALSE(hub.achieved(alice, "a2"));
    EXPECT_EQ(stats.get_stat("kills"), 3);
    EXPECT_EQ(stats.get_stat("missing"), -1);
    EXPECT_TRUE(stats.achievement_unlocked("a1"));
}

TEST_F(SteamServices, AnUnlockBeforeTheStatisticsArriveFailsInsteadOfWaitingForever)
{
    SteamStatsImpl stats(core);
    ASSERT_TRUE(stats.start()); // received only in the next pump
    const u32 t = stats.create_transaction();
    stats.add_achievement(t, "a1");
    stats.commit_transaction(t);
    EXPECT_EQ(*stats.transaction_status(t)->status, stats_failed);
}

// --- Leaderboard details ---

TEST(LeaderboardDetails, PackingVectorAndRoundTrips)
{
    u8 bytes[max_detail_bytes] = {};
    DetailWriter w(bytes, sizeof(bytes));
    ASSERT_TRUE(w.write_bits(5, 3));
    ASSERT_TRUE(w.write_bits(1, 1));
    for (u8 c : {u8('a'), u8('b'), u8(0)})
        ASSERT_TRUE(w.write_bits(c, 8));
    ASSERT_EQ(w.size_bytes(), 4u);
    EXPECT_EQ(bytes[0], 0xB1);
    EXPECT_EQ(bytes[1], 0x62);
    EXPECT_EQ(bytes[2], 0x60);
    EXPECT_EQ(bytes[3], 0x00);

    // Random widths and values come back as written.
    u32 seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int round = 0; round < 200; ++round) {
        std::vector<std::pair<u32, u32>> fields;
        u8 out[max_detail_bytes] = {};
        DetailWriter writer(out, sizeof(out));
        for (int i = 0; i < 40; ++i) {
            const u32 bits = next() % 32 + 1;
            const u32 value = next() & (bits == 32 ? ~0u : (1u << bits) - 1);
            if (!writer.write_bits(value, bits))
                break;
            fields.push_back({bits, value});
        }
        DetailReader reader(out, writer.size_bytes());
        for (auto [bits, value] : fields) {
            u32 back;
            ASSERT_TRUE(reader.read_bits(bits, &back));
            ASSERT_EQ(back, value);
        }
    }
    DetailReader short_reader(bytes, 1);
    u32 v;
    EXPECT_TRUE(short_reader.read_bits(8, &v));
    EXPECT_FALSE(short_reader.read_bits(1, &v)); // never past the bytes given
}

TEST(LeaderboardDetails, FormatsBeyondTheLimitsAreRefused)
{
    const DetailField ok[] = {{detail_uint, 3}, {detail_bool, 0}, {detail_string, 3}, {detail_number, 0}};
    EXPECT_EQ(check_detail_format(ok, 4), nullptr);
    const DetailField zero_width[] = {{detail_int, 0}};
    const DetailField wide[] = {{detail_uint, 33}};
    const DetailField long_string[] = {{detail_string, 257}};
    const DetailField unknown[] = {{9, 1}};
    EXPECT_NE(check_detail_format(zero_width, 1), nullptr);
    EXPECT_NE(check_detail_format(wide, 1), nullptr);
    EXPECT_NE(check_detail_format(long_string, 1), nullptr);
    EXPECT_NE(check_detail_format(unknown, 1), nullptr);
    std::vector<DetailField> many(65, DetailField{detail_bool, 0});
    EXPECT_NE(check_detail_format(many.data(), 65), nullptr);
    std::vector<DetailField> big(9, DetailField{detail_string, 250});
    EXPECT_NE(check_detail_format(big.data(), 9), nullptr);
}

// --- Leaderboards ---

class Leaderboards : public SteamServices {
  protected:
    void SetUp() override
    {
        SteamServices::SetUp();
        stats = std::make_unique<SteamStatsImpl>(core);
        ASSERT_TRUE(stats->start());
        core.update();
        boards = std::make_unique<SteamLeaderboardImpl>(core, stats.get());
    }
    const LeaderboardStatusView &run(u32 token)
    {
        boards->commit(token);
        for (int i = 0; i < 4; ++i)
            core.update();
        return *boards->status(token);
    }
    std::unique_ptr<SteamStatsImpl> stats;
    std::unique_ptr<SteamLeaderboardImpl> boards;
};

TEST_F(Leaderboards, UploadThenDownloadReturnsTheDetailsAndASecondUploadSkipsTheFind)
{
    u8 details[8] = {0xB1, 0x62, 0x60, 0x00, 1, 2, 3, 4};
    const u32 up = boards->create_set_score_transaction();
    boards->set_score(up, "best", 900, 5, details); // 5 bytes travel as 2 details
    const LeaderboardStatusView &v = run(up);
    boards->commit(up); // a second commit starts nothing again
    core.update();
    EXPECT_EQ(*v.transaction_status, 2);
    EXPECT_EQ(*v.work_status, 4);
    EXPECT_EQ(hub.call_count(platform::Call::FindLeaderboard), 1u);
    EXPECT_EQ(hub.call_count(platform::Call::UploadScore), 1u);

    const u32 again = boards->create_set_score_transaction();
    boards->set_score(again, "best", 800, 0, nullptr); // lower: the best score stays
    EXPECT_EQ(*run(again).work_status, 4);
    EXPECT_EQ(hub.call_count(platform::Call::FindLeaderboard), 1u); // the cached handle

    hub.seed_leaderboard("best", bob, 1000, {7});
    const u32 down = boards->create_download_transaction();
    boards->add_download(down, "best", request_global, 1, 10);
    const LeaderboardStatusView &d = run(down);
    ASSERT_EQ(d.entry_count, 2u);
    EXPECT_EQ(d.entries[0].name, "bob");
    EXPECT_EQ(d.entries[0].global_rank, 1);
    EXPECT_EQ(d.entries[1].user, alice);
    EXPECT_EQ(d.entries[1].score, 900);
    ASSERT_EQ(d.entries[1].details.size(), 8u);
    EXPECT_EQ(memcmp(d.entries[1].details.data(), details, 5), 0);
    EXPECT_EQ(d.entries[1].details[5], 0); // only the 5 bytes given were copied
}

TEST_F(Leaderboards, RequestsThatCannotStartOrFailEndTheTransaction)
{
    struct Case {
        const char *name;
        platform::Call call;
        platform::Fault fault;
        const char *board;
        i32 work_status;
    };
    const Case cases[] = {
        {"found", platform::Call::Count, {}, "laps", 4},
        {"no such board", platform::Call::Count, {}, "missing", 3},
        {"zero handle: unit dropped", platform::Call::FindLeaderboard, platform::Fault::ZeroHandle, "laps", 3},
        {"input/output failure", platform::Call::FindLeaderboard, platform::Fault::IoFailure, "laps", 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.call != platform::Call::Count)
            hub.fail_next(c.call, c.fault);
        LogCapture log;
        const u32 t = boards->create_load_transaction();
        (void)log;
        boards->add_leaderboard(t, c.board);
        boards->add_leaderboard(t, c.board); // one unit per board
        const LeaderboardStatusView &v = run(t);
        EXPECT_EQ(*v.transaction_status, 2);
        EXPECT_EQ(*v.work_status, c.work_status);
        boards->close(t);
    }
    const u32 big = boards->create_set_score_transaction();
    u8 details[300] = {};
    boards->set_score(big, "laps", 1, 257, details); // refused: at most 256 bytes
    EXPECT_EQ(*run(big).work_status, 3);
    EXPECT_EQ(boards->status(999), nullptr);
}

TEST_F(Leaderboards, DetailCountsFromThePlatformAreClampedAndRangesAreInclusive)
{
    hub.seed_leaderboard("laps", bob, 50, std::vector<i32>(70, 0x01010101));
    for (i32 i = 0; i < 12; ++i)
        hub.seed_leaderboard("laps", 0x900 + u64(i), 10 - i, {});
    const u32 t = boards->create_download_transaction();
    boards->add_download(t, "laps", request_global, 1, 1);
    const LeaderboardStatusView &v = run(t);
    ASSERT_EQ(v.entry_count, 1u);
    EXPECT_EQ(v.entries[0].details.size(), 64u * 4);
    EXPECT_EQ(v.entries[0].name, "bob");
    const u32 range = boards->create_download_transaction();
    boards->add_download(range, "laps", request_global, 2, 11); // ranks 2..11
    EXPECT_EQ(run(range).entry_count, 10u);
    const u32 friends = boards->create_download_transaction();
    boards->add_download(friends, "laps", request_friends, 1, 1000);
    EXPECT_EQ(run(friends).entry_count, 1u); // bob, alice's friend; alice has no score
}

// --- Lobbies and browsers ---

TEST_F(SteamServices, ALobbyIsCreatedFoundJoinedAndLeftWithMembersAgreeing)
{
    start_user(bob);
    start_user(carol);
    auto *lobby = new SteamLobby;
    lobby->create(lobby_public, 2);
    EXPECT_EQ(lobby->state(), LobbyState::Creating);
    EXPECT_EQ(lobby->num_members(), 0u);
    pump(alice);
    ASSERT_EQ(lobby->state(), LobbyState::Joined);
    lobby->set_data("name", "alice's room");
    EXPECT_EQ(lobby->game_server(), 0u);

    std::unique_ptr<SteamLobbyBrowser> browser;
    SteamLobby *joined;
    {
        platform::HubUser as(hub, bob);
        browser = std::make_unique<SteamLobbyBrowser>();
        browser->refresh();
        browser->refresh(); // ignored while one is under way
        EXPECT_TRUE(browser->is_refreshing());
    }
    pump(bob);
    ASSERT_EQ(browser->num_lobbies(), 1u);
    EXPECT_STREQ(browser->lobby(0)->name, "alice's room");
    EXPECT_EQ(browser->lobby(1), nullptr);
    {
        platform::HubUser as(hub, bob);
        joined = new SteamLobby;
        joined->join(browser->lobby(0)->id);
        EXPECT_EQ(joined->state(), LobbyState::Joining);
        EXPECT_EQ(joined->num_members(), 0u);
    }
    pump(bob);
    {
        platform::HubUser as(hub, bob);
        ASSERT_EQ(joined->state(), LobbyState::Joined);
        EXPECT_EQ(joined->num_members(), 2u);
        EXPECT_EQ(joined->owner(), alice);
        EXPECT_EQ(joined->member(1), bob);
        EXPECT_STREQ(joined->get_data("name"), "alice's room");
        joined->set_data("name", "taken over"); // not the owner: refused
    }
    EXPECT_EQ(lobby->num_members(), 2u);
    EXPECT_EQ(lobby->member(1), bob);
    EXPECT_STREQ(lobby->get_data("name"), "alice's room");
    {
        platform::HubUser as(hub, carol);
        SteamLobby full;
        full.join(lobby->id());
        platform::run_callbacks();
        EXPECT_EQ(full.state(), LobbyState::Failed); // two of two
    }
    {
        platform::HubUser as(hub, bob);
        delete joined; // leaves the lobby
        browser.reset();
    }
    EXPECT_EQ(lobby->num_members(), 1u);
    hub.fail_next(platform::Call::JoinLobby, platform::Fault::ZeroHandle);
    SteamLobby stuck;
    stuck.join(0x1A);
    EXPECT_EQ(stuck.state(), LobbyState::Failed); // not JOINING forever
    delete lobby;
    EXPECT_EQ(hub.lobby_count(), 0u);
}

TEST_F(SteamServices, AnUnnamedLobbyIsListedByIdAndRenamedWhenItsDataArrives)
{
    start_user(bob);
    SteamLobby lobby;
    lobby.create(lobby_public, 4);
    pump(alice);
    std::unique_ptr<SteamLobbyBrowser> browser;
    {
        platform::HubUser as(hub, bob);
        browser = std::make_unique<SteamLobbyBrowser>();
        browser->refresh();
    }
    pump(bob);
    ASSERT_EQ(browser->num_lobbies(), 1u);
    char expected[64];
    snprintf(expected, sizeof(expected), "Lobby %llx", static_cast<unsigned long long>(lobby.id()));
    EXPECT_STREQ(browser->lobby(0)->name, expected);
    lobby.set_data("name", "late name");
    pump(bob, 2);
    EXPECT_STREQ(browser->lobby(0)->name, "late name");
    platform::matchmaking()->leave_lobby(lobby.id()); // the lobby is gone: a refresh lists nothing
    platform::HubUser as(hub, bob);
    browser->refresh();
    platform::run_callbacks();
    EXPECT_EQ(browser->num_lobbies(), 0u);
    browser.reset();
}

TEST_F(SteamServices, TheServerBrowserListsEachServerOnceAndSkipsOtherApplications)
{
    start_user(bob);
    SteamGameServerHandler server;
    ASSERT_TRUE(server.is_started());
    server.update(0);
    server.update(0);
    EXPECT_EQ(hub.call_count(platform::Call::SetBasicServerData), 2u); // sent at every update
    EXPECT_EQ(hub.call_count(platform::Call::UpdateServerStatus), 2u);
    platform::ServerDetails other{};
    other.app_id = 999;
    snprintf(other.name, sizeof(other.name), "elsewhere");
    hub.add_server(other, "test");
    platform::HubUser as(hub, bob);
    SteamClientHandler client;
    for (int refresh = 0; refresh < 2; ++refresh) {
        client.server_browser().refresh_internet_servers();
        for (int i = 0; i < 5; ++i)
            platform::run_callbacks();
        EXPECT_FALSE(client.server_browser().is_refreshing());
        ASSERT_EQ(client.server_browser().num_servers(), 1u);
    }
    const ServerEntry *e = client.server_browser().server(0);
    EXPECT_STREQ(e->server_name, "the game");
    EXPECT_STREQ(e->map, "MilkyWay");
    EXPECT_STREQ(e->server_string, "the game (0/4) at 127.0.0.1:27015 ping(0)");
    EXPECT_EQ(client.server_browser().server(1), nullptr);
}

// --- Transport ---

TEST_F(SteamServices, TransportDropsBeforeTheFirstUpdateAndCarriesDatagramsAfter)
{
    start_user(bob);
    SteamClientHandler a;
    std::unique_ptr<SteamClientHandler> b;
    {
        platform::HubUser as(hub, bob);
        b = std::make_unique<SteamClientHandler>();
    }
    const u8 one[1] = {9};
    EXPECT_TRUE(a.transport()->send(bob, one, 1)); // no interface yet: dropped
    const u8 *bytes;
    u32 size;
    u64 from;
    EXPECT_FALSE(a.transport()->receive(&bytes, &size, &from));
    a.update(0);
    std::vector<u8> full(1200, 0x5A);
    EXPECT_TRUE(a.transport()->send(bob, one, 1));
    EXPECT_TRUE(a.transport()->send(bob, full.data(), 1200));
    EXPECT_FALSE(a.transport()->send(bob, full.data(), 1201));
    platform::HubUser as(hub, bob);
    b->update(0); // the session request arrives and the client accepts it
    ASSERT_TRUE(b->transport()->receive(&bytes, &size, &from));
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(from, alice);
    ASSERT_TRUE(b->transport()->receive(&bytes, &size, &from));
    EXPECT_EQ(size, 1200u);
    EXPECT_FALSE(b->transport()->receive(&bytes, &size, &from));
    EXPECT_EQ(b->own_peer_id(), bob);
    b.reset();
}

struct Inbox {
    std::vector<std::vector<u8>> messages;
    // Messages are [u8 length][bytes].
    static const u8 *on_message(void *user, u64, const u8 *bytes, u32 remaining)
    {
        if (remaining < 1 || bytes[0] > remaining - 1)
            return nullptr;
        static_cast<Inbox *>(user)->messages.emplace_back(bytes + 1, bytes + 1 + bytes[0]);
        return bytes + 1 + bytes[0];
    }
};

TEST_F(SteamServices, TwoClientBackendsCarryReliableTrafficUnderLoss)
{
    start_user(bob);
    hub.set_p2p_faults({7, 0.2f, 0.05f, 0.05f});
    const std::vector<u8> config_bytes = test::write_network_config({});
    NetworkGameConfig config;
    ASSERT_TRUE(config.open(config_bytes.data(), u32(config_bytes.size())));
    NetworkManager manager_a(default_allocator()), manager_b(default_allocator());
    SteamClientHandler a;
    std::unique_ptr<SteamClientHandler> b;
    {
        platform::HubUser as(hub, bob);
        b = std::make_unique<SteamClientHandler>();
    }
    ASSERT_TRUE(manager_a.set_backend(a, config));
    ASSERT_TRUE(manager_b.set_backend(*b, config));
    Inbox inbox_a, inbox_b;
    for (u8 i = 0; i < 20; ++i) {
        const u8 payload[4] = {3, i, u8(i * 3), 0x77};
        ASSERT_TRUE(manager_a.send_message(bob, payload, sizeof(payload)));
    }
    for (int frame = 0; frame < 2000 && inbox_b.messages.size() < 20; ++frame) {
        manager_a.update(0.02f, GameMessageCallback{Inbox::on_message, &inbox_a}, {});
        platform::HubUser as(hub, bob);
        manager_b.update(0.02f, GameMessageCallback{Inbox::on_message, &inbox_b}, {});
    }
    ASSERT_EQ(inbox_b.messages.size(), 20u);
    for (u8 i = 0; i < 20; ++i)
        EXPECT_EQ(inbox_b.messages[i], (std::vector<u8>{i, u8(i * 3), 0x77}));
    manager_a.shutdown_backend();
    platform::HubUser as(hub, bob);
    manager_b.shutdown_backend();
    b.reset();
}

// --- Cloud ---

TEST_F(SteamServices, HundredCloudRequestsInOneFrameAllFinish)
{
    ThreadRegistry threads(default_allocator(), "main");
    SteamCloud *cloud = SteamCloud::create(threads);
    ASSERT_NE(cloud, nullptr);
    std::vector<u32> tokens;
    for (u32 i = 0; i < 100; ++i) {
        char name[32];
        snprintf(name, sizeof(name), "file%u", (i - i % 2) % 10); // a load reads what the save before it wrote
        const u32 data = i;
        tokens.push_back(i % 2 ? cloud->load(name) : cloud->save(name, &data, sizeof(data)));
    }
    EXPECT_EQ(cloud->record(tokens[0])->status, cloud_pending);
    bool all_done = false;
    for (int frame = 0; frame < 2000 && !all_done; ++frame) {
        cloud->update();
        all_done = true;
        for (u32 t : tokens)
            all_done &= cloud->record(t)->status == cloud_done;
        if (!all_done)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(all_done);
    for (u32 i = 0; i < 100; i += 2)
        EXPECT_EQ(cloud->record(tokens[i])->error, cloud_error_none);
    const CloudRecord *loaded = cloud->record(tokens[11]);
    ASSERT_EQ(loaded->error, cloud_error_none);
    ASSERT_EQ(loaded->bytes.size(), 4u);
    delete_with_allocator(application_static_allocator(), cloud);
}

TEST_F(SteamServices, CloudErrorsAreReported)
{
    ThreadRegistry threads(default_allocator(), "main");
    SteamCloud *cloud = SteamCloud::create(threads);
    ASSERT_NE(cloud, nullptr);
    hub.set_file(alice, "save", std::vector<u8>(64, 1));
    const u32 missing = cloud->load("never written");
    hub.fail_next(platform::Call::FileWrite, platform::Fault::ZeroHandle);
    const u32 failed = cloud->save("x", "abc", 3);
    auto finish = [&](u32 token) {
        for (int i = 0; i < 2000 && cloud->record(token)->status != cloud_done; ++i) {
            cloud->update();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return cloud->record(token)->error;
    };
    EXPECT_EQ(finish(missing), cloud_error_missing);
    EXPECT_EQ(finish(failed), cloud_error_save_failed);
    hub.fail_next(platform::Call::FileRead, platform::Fault::ShortRead);
    const u32 short_read = cloud->load("save");
    EXPECT_EQ(finish(short_read), cloud_error_read_failed);
    EXPECT_TRUE(cloud->record(short_read)->bytes.empty());
    const u32 closed = cloud->load("save");
    cloud->close(closed); // its job still runs; the result is dropped
    EXPECT_EQ(cloud->record(closed), nullptr);
    delete_with_allocator(application_static_allocator(), cloud);
}

// --- Glue and shutdown ---

TEST(SteamGlue, WithoutAPlatformNoServiceExistsAndBackendsDoNotStart)
{
    platform::set_current_user(nullptr, 0);
    ThreadRegistry threads(default_allocator(), "main");
    start_steam_services(nullptr, threads);
    EXPECT_EQ(steam_services().core, nullptr);
    EXPECT_EQ(steam_services().stats, nullptr);
    EXPECT_EQ(steam_services().cloud, nullptr);
    update_steam_services();
    SteamClientHandler client;
    EXPECT_FALSE(client.is_started());
    EXPECT_EQ(client.own_peer_id(), 0u);
    SteamGameServerHandler server;
    EXPECT_FALSE(server.is_started());
    EXPECT_EQ(server.own_peer_id(), 0u);
    stop_steam_services(nullptr);
}

TEST(SteamGlue, LanguagesMapToTheirCodes)
{
    struct Case {
        const char *name;
        const char *code;
    };
    const Case cases[] = {{"english", "en"},   {"traditional chinese", "zht"}, {"simplified chinese", "zhs"},
                          {"suomi", "fi"},     {"hungarian", "hu"},            {"czech", "cs"},
                          {"klingon", nullptr}, {"English", nullptr}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const char *code = steam_language_code(c.name);
        if (c.code)
            EXPECT_STREQ(code, c.code);
        else
            EXPECT_EQ(code, nullptr);
    }
    for (const SteamLanguage &l : steam_language_codes)
        EXPECT_STREQ(steam_language_code(l.name), l.code);
}

TEST(SteamGlue, StopShutsDownTheBackendAndLobbiesBeforeThePlatform)
{
    platform::Hub hub;
    hub.add_user(alice, "alice");
    hub.set_schema({}, {}, {});
    platform::set_current_user(&hub, alice);
    ThreadRegistry threads(default_allocator(), "main");
    start_steam_services(nullptr, threads);
    ASSERT_NE(steam_services().core, nullptr);
    EXPECT_NE(steam_services().stats, nullptr);
    EXPECT_NE(steam_services().leaderboards, nullptr);
    EXPECT_NE(steam_services().cloud, nullptr);
    const std::vector<u8> config_bytes = test::write_network_config({});
    NetworkGameConfig config;
    ASSERT_TRUE(config.open(config_bytes.data(), u32(config_bytes.size())));
    {
        NetworkManager manager(default_allocator());
        auto *client = make_new<SteamClientHandler>(manager.allocator());
        ASSERT_TRUE(manager.set_backend(*client, config));
        auto *lobby = make_new<SteamLobby>(manager.allocator());
        lobby->create(lobby_public, 4);
        manager.add_lobby(lobby);
        const u64 serial = lobby->serial();
        update_steam_services();
        ASSERT_EQ(lobby->state(), LobbyState::Joined);
        EXPECT_EQ(hub.lobby_count(), 1u);
        stop_steam_services(&manager);
        EXPECT_EQ(manager.backend(), nullptr);
        EXPECT_EQ(manager.lobby_count(), 0u);
        EXPECT_FALSE(is_live_steam_object(lobby, serial, SteamObjectKind::Lobby));
        EXPECT_EQ(hub.lobby_count(), 0u); // left while the platform still ran
    }
    EXPECT_EQ(steam_services().core, nullptr);
    EXPECT_EQ(platform::user(), nullptr);
}

TEST(SteamGlue, AFailedStatisticsStartLeavesCoreAndCloudOnly)
{
    platform::Hub hub;
    hub.add_user(alice, "alice");
    hub.fail_next(platform::Call::RequestCurrentStats, platform::Fault::ZeroHandle);
    platform::set_current_user(&hub, alice);
    ThreadRegistry threads(default_allocator(), "main");
    start_steam_services(nullptr, threads);
    EXPECT_NE(steam_services().core, nullptr);
    EXPECT_NE(steam_services().cloud, nullptr);
    EXPECT_EQ(steam_services().stats, nullptr);
    EXPECT_EQ(steam_services().leaderboards, nullptr);
    stop_steam_services(nullptr);
}

} // namespace
} // namespace tallow::network::steam
