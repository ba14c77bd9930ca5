// Networked games over the seeded in-memory network: hosting, joining, leaving, host
// migration, game messages, leave requests, timeout votes, and messages from peers that
// have no right to send them.
#include "tests/support/writers/datagram_writer.h"
#include "tests/support/log_capture.h"
#include "tests/support/writers/network_config_writer.h"
#include "tests/support/fakes/network_game_peer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace tallow::test {
namespace {

using namespace network;

NetworkConfigSpec game_spec()
{
    NetworkConfigSpec spec;
    spec.rpcs.push_back({"chat", {string_argument()}});
    spec.types.push_back({"ball", {float_field("height", 8, 0, 10), bool_field("held")}});
    return spec;
}

MemoryLinkSettings lossy_link()
{
    MemoryLinkSettings link;
    link.loss = 0.1f;
    link.reorder = 0.1f;
    link.duplicate = 0.05f;
    link.latency_s = 0.02f;
    link.jitter_s = 0.01f;
    return link;
}

TEST(NetworkGame, HostAndTwoClientsAgreeOnThePeerList)
{
    for (const u32 count : {2u, 3u}) {
        SCOPED_TRACE(count);
        GameCluster cluster(11, lossy_link(), write_network_config(game_spec()), count);
        cluster.host(0);
        ASSERT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
        for (auto &peer : cluster.peers) {
            NetworkGame &game = *peer->game();
            EXPECT_EQ(game.host_id(), cluster[0].id);
            EXPECT_EQ(game.peer_id(0), cluster[0].id);
            for (u32 i = 0; i < count; ++i)
                EXPECT_TRUE(game.has_peer(cluster[i].id));
            EXPECT_TRUE(game.validate());
        }
    }
}

TEST(NetworkGame, SlotsTakeTheLowestFreeValue)
{
    GameCluster cluster(3, {}, write_network_config(game_spec()), 1);
    cluster[0].manager.create_game();
    NetworkGame &host = *cluster[0].game();
    ASSERT_TRUE(host.set_host());
    EXPECT_FALSE(host.set_host()); // twice would list this machine twice
    for (u64 id = 2; id <= 4; ++id)
        ASSERT_TRUE(host.add_peer(id));
    EXPECT_FALSE(host.add_peer(3));            // listed already
    EXPECT_FALSE(host.add_peer(host.own_peer_id()));
    ASSERT_TRUE(host.remove_peer(3));          // slots now 0, 1, 3
    ASSERT_TRUE(host.add_peer(9));
    ASSERT_TRUE(host.add_peer(10));
    // Peer ids with their slots: host 0, 2 -> 1, 4 -> 3, 9 -> 2, 10 -> 4.
    EXPECT_EQ(host.peer_count(), 5u);
    EXPECT_EQ(host.peer_id(3), 9u);
    EXPECT_EQ(host.peer_id(4), 10u);
    const u32 ball = object_type_index(cluster.config, "ball");
    // Object ids carry the slot in their top bits: no clash between peers up to 64.
    const u32 id = host.create_object(ball, cluster.config.data_at(*cluster.config.object_type(ball)));
    EXPECT_EQ(id >> 10, 0u);
}

TEST(NetworkGame, PeerListStopsAt64)
{
    GameCluster cluster(3, {}, write_network_config(game_spec()), 1);
    cluster[0].manager.create_game();
    NetworkGame &host = *cluster[0].game();
    ASSERT_TRUE(host.set_host());
    for (u64 id = 100; id < 163; ++id)
        ASSERT_TRUE(host.add_peer(id));
    LogCapture log;
    EXPECT_FALSE(host.add_peer(500));
    EXPECT_EQ(host.peer_count(), 64u);
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(NetworkGame, LeavingAndClosingReturnToTheEmptyGame)
{
    GameCluster cluster(5, lossy_link(), write_network_config(game_spec()), 3);
    cluster.host(0);
    ASSERT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));

    // A client asks to leave; the host sees the flag and removes it.
    cluster[2].game()->request_leave();
    u64 leaving[4];
    ASSERT_TRUE(cluster.run_until([&] { return cluster[0].game()->leave_requests(leaving, 4) == 1; }));
    EXPECT_EQ(leaving[0], cluster[2].id);
    ASSERT_TRUE(cluster[0].game()->remove_peer(cluster[2].id));
    ASSERT_TRUE(cluster.run_until([&] {
        return cluster[2].game()->peer_count() == 0 && cluster[1].game()->peer_count() == 2;
    }));
    EXPECT_FALSE(cluster[2].game()->has_joined());
    EXPECT_EQ(cluster[2].game()->host_id(), 0u);

    // The host closes the game: every client is empty.
    cluster[0].game()->leave();
    EXPECT_EQ(cluster[0].game()->peer_count(), 0u);
    ASSERT_TRUE(cluster.run_until([&] { return cluster[1].game()->peer_count() == 0; }));
    EXPECT_EQ(cluster[1].game()->host_id(), 0u);
}

TEST(NetworkGame, HostMigratesWhenTheHostsConnectionBreaks)
{
    GameCluster cluster(8, lossy_link(), write_network_config(game_spec()), 3);
    cluster.host(0);
    ASSERT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
    const u32 ball = object_type_index(cluster.config, "ball");
    const u8 *defaults = cluster.config.data_at(*cluster.config.object_type(ball));
    const u32 host_ball = cluster[0].game()->create_object(ball, defaults);
    ASSERT_TRUE(cluster.run_until([&] { return cluster[2].game()->object_state(host_ball) != nullptr; }));

    // A client cannot take over while the host is reachable.
    EXPECT_FALSE(cluster[1].game()->set_host());

    // The host goes silent; once both clients see its channel broken, peer 1 takes over.
    MemoryLinkSettings dead;
    dead.loss = 1;
    for (u32 i = 1; i < 3; ++i) {
        cluster.network.set_link_settings(cluster[0].id, cluster[i].id, dead);
        cluster.network.set_link_settings(cluster[i].id, cluster[0].id, dead);
    }
    ASSERT_TRUE(cluster.run_until(
        [&] {
            return cluster[1].manager.connection()->is_broken(cluster[0].id) &&
                   cluster[2].manager.connection()->is_broken(cluster[0].id);
        },
        70));
    NetworkGame &new_host = *cluster[1].game();
    ASSERT_TRUE(new_host.set_host());
    ASSERT_TRUE(new_host.migrate_object(host_ball, new_host.own_peer_id())); // the host may take any object
    ASSERT_TRUE(new_host.remove_peer(cluster[0].id));
    ASSERT_TRUE(cluster.run_until([&] {
        return cluster[2].game()->host_id() == cluster[1].id && cluster[2].game()->peer_count() == 2 &&
               cluster[2].game()->object_owner(host_ball) == cluster[1].id;
    }));
    EXPECT_EQ(cluster[2].game()->peer_id(0), cluster[1].id);
    // The new host's object ids keep its slot; its ball still reaches the other client.
    const f32 height = 7;
    new_host.set_object_field(host_ball, 0, &height);
    ASSERT_TRUE(cluster.run_until([&] {
        f32 seen;
        memcpy(&seen, cluster[2].game()->object_state(host_ball), 4);
        return std::fabs(seen - 7) < 0.05f;
    }));
    EXPECT_TRUE(new_host.validate());
    EXPECT_TRUE(cluster[2].game()->validate());
}

TEST(NetworkGame, APeerThatFallsSilentIsReportedWithinSeconds)
{
    GameCluster cluster(6, {}, write_network_config(game_spec()), 3);
    cluster.host(0);
    ASSERT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
    cluster.run(4.0f); // nothing to say: pings keep every peer heard
    NetworkGame &host = *cluster[0].game();
    u64 out[4];
    ASSERT_EQ(host.silent_peers(out, 4, 3.0f), 0u);
    // Peer 2's process dies: nothing more comes from it.
    MemoryLinkSettings gone;
    gone.loss = 1.0f;
    for (u32 other : {0u, 1u})
        cluster.network.set_link_settings(cluster[2].id, cluster[other].id, gone);
    cluster.run(1.5f);
    EXPECT_EQ(host.silent_peers(out, 4, 3.0f), 0u);
    cluster.run(2.0f);
    for (u32 watcher : {0u, 1u}) {
        SCOPED_TRACE(watcher);
        ASSERT_EQ(cluster[watcher].game()->silent_peers(out, 4, 3.0f), 1u);
        EXPECT_EQ(out[0], cluster[2].id);
        EXPECT_EQ(cluster[watcher].game()->broken_connections(out, 4), 0u) << "broken only after a minute";
    }
}

TEST(NetworkGame, GameMessagesArriveInOrderAndOversizedOnesAreRefused)
{
    GameCluster cluster(21, lossy_link(), write_network_config(game_spec()), 2);
    cluster.host(0);
    ASSERT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
    for (u8 i = 0; i < 40; ++i) {
        const u8 message[] = {2, 0, i, u8(i * 3)};
        ASSERT_TRUE(cluster[1].game()->send_game_message(cluster[0].id, message, sizeof(message)));
    }
    ASSERT_TRUE(cluster.run_until([&] { return cluster[0].messages.size() == 40; }));
    for (u8 i = 0; i < 40; ++i) {
        EXPECT_EQ(cluster[0].messages[i].sender, cluster[1].id);
        EXPECT_EQ(cluster[0].messages[i].bytes, (std::vector<u8>{i, u8(i * 3)}));
    }
    // The largest message: a length of 1186 and its bytes (1188 bytes).
    std::vector<u8> largest(max_game_message_bytes, 7), too_large(max_game_message_bytes + 1, 0);
    largest[0] = u8(1186);
    largest[1] = u8(1186 >> 8);
    LogCapture log;
    EXPECT_FALSE(cluster[1].game()->send_game_message(cluster[0].id, too_large.data(), u32(too_large.size())));
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(cluster[1].game()->send_game_message(cluster[0].id, largest.data(), u32(largest.size())));
    ASSERT_TRUE(cluster.run_until([&] { return cluster[0].messages.size() == 41; }));
    EXPECT_EQ(cluster[0].messages.back().bytes, std::vector<u8>(1186, 7));
}

TEST(NetworkGame, RemoteCallsRoundTripThroughTheGame)
{
    GameCluster cluster(4, lossy_link(), write_network_config(game_spec()), 2);
    cluster.host(0);
    ASSERT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
    cluster[0].rpc_mode = true;
    const u32 chat = rpc_index(cluster.config, "chat");
    const std::string text = "hello over the wire";
    RpcValue value;
    value.type = FieldType::String;
    value.text = text.data();
    value.length = u32(text.size());
    u8 payload[1200];
    BitWriter writer(payload, max_game_message_bytes);
    ASSERT_TRUE(write_rpc(writer, chat, *cluster.config.rpc(chat), &value, 1));
    ASSERT_TRUE(cluster[1].game()->send_game_message(cluster[0].id, payload, writer.size_bytes()));
    ASSERT_TRUE(cluster.run_until([&] { return cluster[0].calls.size() == 1; }));
    EXPECT_EQ(cluster[0].calls[0].sender, cluster[1].id);
    EXPECT_EQ(cluster[0].calls[0].strings, std::vector<std::string>{text});

    // An unknown call index, or a string past the message, calls nothing and ends the delivery.
    const u8 unknown[] = {200, 1, 2};
    const u8 short_string[] = {u8(chat), 0xFF, 0x07, 'a'}; // 2047 bytes claimed, 1 there
    ASSERT_TRUE(cluster[1].game()->send_game_message(cluster[0].id, unknown, sizeof(unknown)));
    cluster.run(1.0f);
    ASSERT_TRUE(cluster[1].game()->send_game_message(cluster[0].id, short_string, sizeof(short_string)));
    cluster.run(1.0f);
    EXPECT_EQ(cluster[0].refused_calls, 2u);
    EXPECT_EQ(cluster[0].calls.size(), 1u);
}

/// A two-peer game where the test writes peer 1's deliveries to peer 0 by hand.
class HostileGame : public ::testing::Test {
  protected:
    HostileGame() : cluster(2, {}, write_network_config(game_spec()), 3)
    {
        cluster.host(0);
        EXPECT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
        ball = object_type_index(cluster.config, "ball");
        defaults = cluster.config.data_at(*cluster.config.object_type(ball));
    }
    NetworkGame &host() { return *cluster[0].game(); }
    NetworkGame &client() { return *cluster[1].game(); }
    void deliver(NetworkGame &to, u64 from, const std::vector<u8> &bytes, u32 sequence = 1)
    {
        to.receive_delivery(from, sequence, bytes.data(), u32(bytes.size()), 0);
    }
    static std::vector<u8> u64_bytes(u64 v)
    {
        std::vector<u8> out(8);
        memcpy(out.data(), &v, 8);
        return out;
    }
    std::vector<u8> peer_list(std::initializer_list<std::pair<u64, u8>> peers, int count = -1)
    {
        std::vector<u8> out{1, u8(count < 0 ? peers.size() : u32(count))};
        for (auto [id, slot] : peers) {
            const std::vector<u8> b = u64_bytes(id);
            out.insert(out.end(), b.begin(), b.end());
            out.push_back(slot);
        }
        return out;
    }

    GameCluster cluster;
    u32 ball = 0;
    const u8 *defaults = nullptr;
};

TEST_F(HostileGame, PeerListsAndClosingsCountOnlyFromTheHost)
{
    const u64 a = cluster[0].id, b = cluster[1].id, c = cluster[2].id;
    LogCapture log;
    struct Case {
        const char *name;
        u64 from;
        std::vector<u8> bytes;
    };
    const Case cases[] = {
        {"list from a client", c, peer_list({{c, 0}, {b, 1}})},
        {"closing from a client", c, {3}},
        {"removal from a client", c, {2}},
        {"count past the bytes", a, peer_list({{a, 0}, {b, 1}}, 5)},
        {"repeated ids", a, peer_list({{a, 0}, {b, 1}, {b, 2}})},
        {"repeated slots", a, peer_list({{a, 0}, {b, 0}})},
        {"slot past 63", a, peer_list({{a, 0}, {b, 64}})},
    };
    for (const Case &x : cases) {
        SCOPED_TRACE(x.name);
        deliver(client(), x.from, x.bytes);
        EXPECT_EQ(client().host_id(), a);
        EXPECT_EQ(client().peer_count(), 3u);
        EXPECT_TRUE(client().validate());
    }
    EXPECT_EQ(client().stats().not_from_host, 3u);
    EXPECT_EQ(client().stats().bad_peer_list, 4u);
    EXPECT_LE(log.lines().size(), 2u); // one line per kind
}

TEST_F(HostileGame, ObjectMessagesCountOnlyFromTheOwner)
{
    const u64 a = cluster[0].id, b = cluster[1].id, c = cluster[2].id;
    const u32 id = host().create_object(ball, defaults);
    ASSERT_TRUE(cluster.run_until([&] { return client().object_state(id) != nullptr; }));
    std::vector<u8> id_bits = {u8(id), u8(id >> 8)};
    LogCapture log;
    struct Case {
        const char *name;
        u64 from;
        std::vector<u8> bytes;
    };
    std::vector<u8> migrate_to_c = {8, id_bits[0], id_bits[1]};
    const std::vector<u8> c_bytes = u64_bytes(c);
    migrate_to_c.insert(migrate_to_c.end(), c_bytes.begin(), c_bytes.end());
    std::vector<u8> migrate_unknown_owner = {8, id_bits[0], id_bits[1]};
    const std::vector<u8> stranger = u64_bytes(0);
    migrate_unknown_owner.insert(migrate_unknown_owner.end(), stranger.begin(), stranger.end());
    const Case cases[] = {
        {"destroy from a non-owner", c, {6, id_bits[0], id_bits[1]}},
        {"destroy of an unknown id", a, {6, 0x34, 0x12}},
        {"migration from a non-owner", c, migrate_to_c},
        {"migration to no peer", a, migrate_unknown_owner},
        {"creation of an existing id", c, {5, u8(ball), id_bits[0], id_bits[1], 0, 0, 0, 0, 0}},
        {"creation of an unknown type", a, {5, 9, 1, 0, 0, 0, 0, 0, 0}},
        {"creation cut short", a, {5, u8(ball), 1, 0, 0}},
        {"update of an unknown id", a, {7, 0x34, 0x12, 0xFF}},
        {"update from a non-owner", c, {7, id_bits[0], id_bits[1], 0x1, 0xFF}},
        {"unknown message type", a, {42, 1, 2, 3}},
    };
    for (const Case &x : cases) {
        SCOPED_TRACE(x.name);
        f32 before;
        memcpy(&before, client().object_state(id), 4);
        deliver(client(), x.from, x.bytes);
        ASSERT_NE(client().object_state(id), nullptr);
        EXPECT_EQ(client().object_owner(id), a);
        f32 after;
        memcpy(&after, client().object_state(id), 4);
        EXPECT_EQ(before, after);
        EXPECT_EQ(client().object_count(), 1u);
        EXPECT_TRUE(client().validate());
    }
    EXPECT_GT(client().stats().not_from_owner, 0u);
    EXPECT_GT(client().stats().bad_object, 0u);
    // Nothing was raised for any of them.
    for (const RecordedEvent &e : cluster[1].events)
        EXPECT_EQ(e.event, ObjectEvent::Created);
    (void)b;
}

TEST_F(HostileGame, GameMessageReceiversCannotPointOutsideTheDelivery)
{
    // A receiver that claims the next message starts past the delivery's end, or before
    // its own start, ends the walk rather than reading out of bounds.
    struct Walker {
        static const u8 *past_end(void *, u64, const u8 *bytes, u32 remaining) { return bytes + remaining + 100; }
        static const u8 *before(void *, u64, const u8 *bytes, u32) { return bytes - 1; }
    };
    for (auto function : {Walker::past_end, Walker::before}) {
        const u64 before_malformed = client().stats().malformed;
        client().update(GameMessageCallback{function, nullptr}, ObjectEventCallback{});
        deliver(client(), cluster[0].id, {0, 1, 0, 3, 3}); // [0][1 0][3] then a closing
        EXPECT_EQ(client().host_id(), cluster[0].id);   // the closing after it was not read
        EXPECT_EQ(client().stats().malformed, before_malformed + 1);
    }
}

TEST_F(HostileGame, TimeoutVotePicksThePeerMostBlamed)
{
    // Reports are recorded at the host only for listed peers, once per pair, at most 64.
    const u64 a = cluster[0].id, b = cluster[1].id, c = cluster[2].id;
    auto report = [&](u64 from, u64 silent) {
        std::vector<u8> bytes = {9};
        const std::vector<u8> s = u64_bytes(silent);
        bytes.insert(bytes.end(), s.begin(), s.end());
        deliver(host(), from, bytes);
    };
    report(b, c);
    report(b, c);      // repeated: ignored
    report(b, 0x999);  // unlisted: ignored
    u64 out[4];
    EXPECT_EQ(host().broken_connections(out, 4), 0u); // younger than 5 s: no vote
    cluster.run(5.1f);
    ASSERT_EQ(host().broken_connections(out, 4), 1u);
    // B reported C once (B 1.1, C 1.0): B's own connection is the likelier fault.
    EXPECT_EQ(out[0], b);
    report(c, b);
    report(a, c);
    // Scores: B 1.1 + 1.0 = 2.1, C 1.0 + 1.1 + 1.0 = 3.1.
    ASSERT_EQ(host().broken_connections(out, 4), 1u);
    EXPECT_EQ(out[0], c);
}

} // namespace
} // namespace tallow::test
