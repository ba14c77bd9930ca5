// LAN lobbies and the lobby browser over real UDP sockets on the loopback address: a host
// and two joiners in one process, the browser, and hostile datagrams.
#include "foundation/memory/memory_globals.h"
#include "foundation/memory/allocator.h"
#include "foundation/strings/murmur_hash.h"
#include "network/lan/lan_client.h"
#include "network/lan/lan_lobby.h"
#include "tests/support/writers/lan_datagram_writer.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

namespace tallow::test {
namespace {

using namespace network;

LanClientSettings client_settings(u64 id)
{
    LanClientSettings settings;
    settings.own_id = id;
    settings.targets.targets[0] = {ipv4_loopback, 0}; // the refresh port on this machine
    settings.targets.count = 1;
    return settings;
}

struct LobbyDeleter {
    void operator()(LanLobby *lobby) const { delete_with_allocator(default_allocator(), lobby); }
};
using LobbyPtr = std::unique_ptr<LanLobby, LobbyDeleter>;

class LanLobbyTest : public ::testing::Test {
  protected:
    LanLobbyTest()
    {
        for (u64 id : {0xA1u, 0xB2u, 0xC3u})
            clients.push_back(std::make_unique<LanClient>(default_allocator(), client_settings(id)));
    }

    LobbyPtr host(u32 max_members = 4)
    {
        return LobbyPtr(make_new<LanLobby>(default_allocator(), clients[0]->lan_transport(), clients[0]->own_peer_id(),
                                           0u, max_members, default_allocator()));
    }
    LobbyPtr join(u32 client, const LanLobby &lobby)
    {
        return LobbyPtr(make_new<LanLobby>(default_allocator(), clients[client]->lan_transport(),
                                           clients[client]->own_peer_id(), 0u, IpAddress{ipv4_loopback, lobby.port()},
                                           default_allocator()));
    }

    /// Updates every lobby (and the clients' browsers) in steps of `dt` until `done` holds
    /// or `seconds` of lobby time pass; the sockets get a moment between steps.
    bool run_until(const std::function<bool()> &done, f32 seconds = 5, f32 dt = 0.05f)
    {
        for (f32 t = 0; t < seconds; t += dt) {
            step(dt);
            if (done())
                return true;
        }
        return done();
    }
    void run(f32 seconds, f32 dt = 0.05f) { run_until([] { return false; }, seconds, dt); }
    void step(f32 dt)
    {
        for (LanLobby *lobby : lobbies)
            lobby->update(dt);
        for (auto &client : clients)
            client->update(dt);
        usleep(500);
    }

    std::vector<std::unique_ptr<LanClient>> clients;
    std::vector<LanLobby *> lobbies;
};

TEST_F(LanLobbyTest, HostAndTwoJoinersConvergeAndStopSending)
{
    LobbyPtr owner = host();
    ASSERT_EQ(owner->state(), LanLobbyState::Joined);
    // Lobby data of 1025 bytes: two chunks, the second holding one byte.
    const std::string blob(1025 - 6, 'x');
    ASSERT_TRUE(owner->set_data("blob", blob.c_str()));
    ASSERT_EQ(owner->data().size(), 1025u);
    LobbyPtr first = join(1, *owner);
    LobbyPtr second = join(2, *owner);
    lobbies = {owner.get(), first.get(), second.get()};
    EXPECT_EQ(first->state(), LanLobbyState::Joining);
    owner->set_game_server(0xA1);
    const char *names[] = {"hugin", "munin", "sleipnir"};
    for (u32 i = 0; i < 3; ++i)
        lobbies[i]->set_player_data("name", names[i]);

    auto converged = [&] {
        for (LanLobby *lobby : lobbies) {
            if (lobby->state() != LanLobbyState::Joined || lobby->member_count() != 3 || lobby->owner() != 0xA1 ||
                lobby->game_server() != 0xA1 || !lobby->get_data("blob") || lobby->get_data("blob") != blob)
                return false;
            for (u32 m = 0; m < 3; ++m) {
                const char *name = lobby->get_member_data(m, "name");
                const u64 id = lobby->member(m);
                const u32 expected = id == 0xA1 ? 0 : id == 0xB2 ? 1 : 2;
                if (!name || std::string(name) != names[expected])
                    return false;
            }
        }
        return true;
    };
    if (!run_until(converged)) {
        for (LanLobby *l : lobbies) {
            printf("state %u members %u owner %llx server %llx blob %d\n", u32(l->state()), l->member_count(), (unsigned long long)l->owner(), (unsigned long long)l->game_server(), l->get_data("blob") != nullptr);
            for (u32 m = 0; m < l->member_count(); ++m) printf("  %llx %s\n", (unsigned long long)l->member(m), l->get_member_data(m, "name") ? l->get_member_data(m, "name") : "-");
        }
        FAIL();
    }
    EXPECT_EQ(first->data().size(), 1025u);
    for (u32 i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lobbies[i]->member(0), 0xA1u);
        // Each transport knows the others' transport ports.
        for (u32 j = 0; j < 3; ++j) {
            const u64 other = clients[j]->own_peer_id();
            bool listed = false;
            for (const LanPeer &peer : clients[i]->lan_transport().peers())
                if (peer.id == other)
                    listed = peer.address == IpAddress{ipv4_loopback, clients[j]->lan_transport().port()};
            EXPECT_EQ(listed, i != j);
        }
    }
    // Once every receiver has acknowledged everything, nothing goes out any more.
    run(1.5f);
    u64 sent[3];
    for (u32 i = 0; i < 3; ++i)
        sent[i] = lobbies[i]->stats().sent;
    run(3);
    for (u32 i = 0; i < 3; ++i)
        EXPECT_EQ(lobbies[i]->stats().sent, sent[i]) << i;
    // Setting a key to its value sends nothing; a new value goes out (to two members).
    EXPECT_FALSE(owner->set_data("blob", blob.c_str()));
    run(0.5f);
    EXPECT_EQ(owner->stats().sent, sent[0]);
    EXPECT_TRUE(owner->set_data("mode", "duel"));
    ASSERT_TRUE(run_until([&] { return second->get_data("mode") && std::string(second->get_data("mode")) == "duel"; }));
    EXPECT_GT(owner->stats().sent, sent[0]);
    // A new game server reaches members that had acknowledged the list before.
    owner->set_game_server(0xB2);
    ASSERT_TRUE(run_until([&] { return first->game_server() == 0xB2 && second->game_server() == 0xB2; }));
}

TEST_F(LanLobbyTest, AFullLobbyRefusesAndLeavingUpdatesTheOthers)
{
    LobbyPtr owner = host(2);
    LobbyPtr first = join(1, *owner);
    lobbies = {owner.get(), first.get()};
    ASSERT_TRUE(run_until([&] { return first->member_count() == 2; }));
    LobbyPtr refused = join(2, *owner);
    lobbies.push_back(refused.get());
    ASSERT_TRUE(run_until([&] { return refused->state() != LanLobbyState::Joining; }));
    EXPECT_EQ(refused->state(), LanLobbyState::Failed);
    EXPECT_EQ(owner->member_count(), 2u);
    lobbies.pop_back();
    refused.reset();
    // A member leaves: the owner drops it.
    lobbies.pop_back();
    first.reset();
    ASSERT_TRUE(run_until([&] { return owner->member_count() == 1; }));
}

TEST_F(LanLobbyTest, WhenTheOwnerLeavesTheNextMemberOwnsTheLobby)
{
    LobbyPtr owner = host();
    LobbyPtr first = join(1, *owner);
    LobbyPtr second = join(2, *owner);
    lobbies = {owner.get(), first.get(), second.get()};
    ASSERT_TRUE(run_until([&] { return first->member_count() == 3 && second->member_count() == 3; }));
    lobbies.erase(lobbies.begin());
    owner.reset();
    ASSERT_TRUE(run_until([&] { return first->member_count() == 2 && second->member_count() == 2; }));
    EXPECT_EQ(first->owner(), second->owner());
    EXPECT_TRUE(first->is_owner() || second->is_owner());
    // The new owner's data reaches the other.
    LanLobby *now = first->is_owner() ? first.get() : second.get();
    LanLobby *other = now == first.get() ? second.get() : first.get();
    now->set_data("map", "yard");
    ASSERT_TRUE(run_until([&] { return other->get_data("map") != nullptr; }));
}

TEST_F(LanLobbyTest, TheBrowserFindsTheLobbyForThreeSeconds)
{
    LobbyPtr owner = host();
    owner->set_data("name", "the yard");
    lobbies = {owner.get()};
    LanLobbyBrowser &browser = clients[1]->browser();
    browser.refresh(owner->port());
    EXPECT_TRUE(browser.is_refreshing());
    ASSERT_TRUE(run_until([&] { return browser.lobby_count() == 1 && browser.lobby(0)->data.get("name"); }));
    EXPECT_STREQ(browser.lobby(0)->data.get("name"), "the yard");
    EXPECT_EQ(browser.lobby(0)->address, (IpAddress{ipv4_loopback, owner->port()}));
    // The browser acknowledged the data: the lobby stops sending it.
    run(1.5f);
    const u64 sent = owner->stats().sent;
    run(1);
    EXPECT_EQ(owner->stats().sent, sent);
    run(1);
    EXPECT_FALSE(browser.is_refreshing());
    // Once the search is over, answers are no longer read.
    owner->handle_datagram(lan_query().data(), 1, {ipv4_loopback, 9}); // keeps the lobby busy
    run(0.5f);
    EXPECT_EQ(browser.lobby_count(), 1u);
}

TEST_F(LanLobbyTest, BrowserQueriesAreCappedAndForgotten)
{
    LobbyPtr owner = host();
    owner->set_data("name", "the yard");
    lobbies = {owner.get()};
    // Queries from 20 sources (nobody listens there): the lobby answers each, but sends its
    // data to the 16 it remembers, and stops once they are forgotten.
    const std::vector<u8> query = lan_query();
    for (u32 i = 0; i < 20; ++i)
        owner->handle_datagram(query.data(), 1, {ipv4_loopback, 40000 + i});
    const u64 answered = owner->stats().sent;
    EXPECT_EQ(answered, 20u);
    step(0.05f);
    EXPECT_EQ(owner->stats().sent, answered + lan_max_lobby_queries);
    run(lan_query_lifetime_s + 1);
    const u64 sent = owner->stats().sent;
    run(2);
    EXPECT_EQ(owner->stats().sent, sent);
}

TEST_F(LanLobbyTest, LeaversAndUnreachableMembersAreDroppedFromTheLobbyAndTheTransport)
{
    LobbyPtr owner = host(4);
    lobbies = {owner.get()};
    const LanTransport &transport = clients[0]->lan_transport();
    // Join and leave 90 times from one socket: nothing stays behind.
    const IpAddress churn{ipv4_loopback, 40100};
    for (u32 i = 0; i < 90; ++i) {
        owner->handle_datagram(lan_join_request(0x1000 + i, 5000).data(), 11, churn);
        owner->handle_datagram(lan_leave(0x1000 + i).data(), 9, churn);
    }
    EXPECT_EQ(owner->member_count(), 1u);
    EXPECT_EQ(transport.peers().size(), 0u);
    // A well-formed join from where nobody answers, and a real member.
    owner->handle_datagram(lan_join_request(0x2000, 5000).data(), 11, {ipv4_loopback, 40200});
    LobbyPtr real = join(1, *owner);
    lobbies.push_back(real.get());
    ASSERT_TRUE(run_until([&] { return real->state() == LanLobbyState::Joined && real->member_count() == 3; }));
    EXPECT_EQ(transport.peers().size(), 2u);
    run(lan_member_unreachable_s + 2);
    ASSERT_EQ(owner->member_count(), 2u) << "the silent member is dropped";
    EXPECT_EQ(owner->member(1), 0xB2u);
    EXPECT_TRUE(run_until([&] { return real->member_count() == 2; }));
    ASSERT_EQ(transport.peers().size(), 1u);
    EXPECT_EQ(transport.peers()[0].id, 0xB2u);
}

TEST_F(LanLobbyTest, OneQueryDrawsABoundedPartOfALargeBlock)
{
    LobbyPtr owner = host();
    const std::string blob(60000, 'x');
    ASSERT_TRUE(owner->set_data("blob", blob.c_str()));
    lobbies = {owner.get()};
    step(0.05f);
    const u64 before = owner->stats().sent;
    owner->handle_datagram(lan_query().data(), 1, {ipv4_loopback, 40300}); // nobody listens there
    run(lan_query_lifetime_s + 1);
    EXPECT_EQ(owner->stats().sent - before, 1 + lan_query_chunks) << "the answer and a few chunks";
}

TEST(LanLobbyHostile, MalformedDatagramsAreDropped)
{
    LanClient host_client(default_allocator(), client_settings(0xA1));
    LanClient member_client(default_allocator(), client_settings(0xB2));
    LanLobby owner(host_client.lan_transport(), 0xA1, 0, 4, default_allocator());
    const IpAddress owner_at{ipv4_loopback, owner.port()};
    LanLobby member(member_client.lan_transport(), 0xB2, 0, owner_at, default_allocator());
    const IpAddress member_at{ipv4_loopback, member.port()};
    const IpAddress stranger{ipv4_loopback, 9};
    // The member joins through the owner's handler, then takes the owner's list.
    owner.handle_datagram(lan_join_request(0xB2, 5000).data(), 11, member_at);
    member.handle_datagram(lan_join_reply(true).data(), 2, owner_at);
    const auto list = lan_member_list({{0xA1, ipv4_loopback, owner.port(), 4000}, {0xB2, ipv4_loopback, member.port(), 5000}}, 0);
    member.handle_datagram(list.data(), u32(list.size()), owner_at);
    ASSERT_EQ(member.state(), LanLobbyState::Joined);
    ASSERT_EQ(member.member_count(), 2u);
    ASSERT_EQ(owner.member_count(), 2u);

    const std::vector<u8> good_block = lan_block({{"k", "v"}});
    std::vector<u8> big(1100, 1);
    struct Case {
        const char *name;
        LanLobby *to;
        std::vector<u8> bytes;
        IpAddress from;
    };
    const Case cases[] = {
        {"empty", &owner, {}, member_at},
        {"short join request", &owner, {0, 1, 2, 3}, stranger},
        {"join request of 12 bytes", &owner, [] { auto b = lan_join_request(0xC3, 1); b.push_back(0); return b; }(),
         stranger},
        {"join request without a transport port", &owner, lan_join_request(0xC3, 0), stranger},
        {"join request with id 0", &owner, lan_join_request(0, 1), stranger},
        {"join request with the owner's id", &owner, lan_join_request(0xA1, 1), stranger},
        {"join request for a member's id from elsewhere", &owner, lan_join_request(0xB2, 1), stranger},
        {"join reply to the owner", &owner, lan_join_reply(false), member_at},
        {"join reply to a joined member", &member, lan_join_reply(false), owner_at},
        {"short leave", &owner, {2, 0xB2}, member_at},
        {"leave of the owner's id", &owner, lan_leave(0xA1), member_at},
        {"leave from another address", &owner, lan_leave(0xB2), stranger},
        {"owner leaving from a stranger", &member, lan_owner_leaving(), stranger},
        {"owner leaving at the owner", &owner, lan_owner_leaving(), member_at},
        {"member list from a stranger", &member, list, stranger},
        {"member list to the owner", &owner, list, member_at},
        {"member list claiming more than it holds", &member,
         lan_member_list({{0xA1, ipv4_loopback, 1, 1}}, 0, 60), owner_at},
        {"member list claiming 65535", &member, lan_member_list({}, 0, 65535), owner_at},
        {"member list with a repeated id", &member,
         lan_member_list({{0xA1, ipv4_loopback, 1, 1}, {0xA1, ipv4_loopback, 1, 1}}, 0), owner_at},
        {"member list with id 0", &member, lan_member_list({{0, 0, 0, 0}}, 0), owner_at},
        {"short member list", &member, {6, 1}, owner_at},
        {"lobby data from a stranger", &member, lan_chunk(8, 4, 0, good_block), stranger},
        {"lobby data to the owner", &owner, lan_chunk(8, 4, 0, good_block), member_at},
        {"chunk past its total", &member, lan_chunk(8, 2, 0, good_block), owner_at},
        {"chunk index past the total", &member, lan_chunk(8, 4, 9, good_block), owner_at},
        {"chunk of a huge total", &member, lan_chunk(8, 0xFFFFFFFF, 0, big), owner_at},
        {"chunk longer than 1024", &member, lan_chunk(8, 2048, 0, big), owner_at},
        {"chunk shorter than its place", &member, lan_chunk(8, 2048, 1, {1, 2}), owner_at},
        {"chunk header cut", &member, {8, 1, 0}, owner_at},
        {"member data from a stranger", &owner, lan_chunk(10, 4, 0, good_block), stranger},
        {"short ack", &owner, {7, 1, 2}, member_at},
        {"ack from another address", &owner, lan_ack(7, 0xB2, 1), stranger},
        {"unknown type", &owner, {200, 1, 2, 3}, member_at},
        {"query answer at a lobby", &owner, {5}, member_at},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        const u64 refused = c.to->stats().refused;
        c.to->handle_datagram(c.bytes.data(), u32(c.bytes.size()), c.from);
        EXPECT_EQ(owner.state(), LanLobbyState::Joined);
        EXPECT_EQ(member.state(), LanLobbyState::Joined);
        EXPECT_EQ(owner.member_count(), 2u);
        EXPECT_EQ(member.member_count(), 2u);
        EXPECT_EQ(owner.owner(), 0xA1u);
        EXPECT_EQ(member.owner(), 0xA1u);
        EXPECT_EQ(member.data().size(), 0u);
        if (!c.bytes.empty() && c.bytes[0] != 5 && c.bytes[0] != 200) {
            EXPECT_GT(c.to->stats().refused, refused);
        }
    }
    // A block without its last NUL is stored but reads as holding nothing past it.
    std::vector<u8> cut = lan_block({{"a", "1"}, {"b", "2"}});
    cut.back() = 'x';
    member.handle_datagram(lan_chunk(8, u32(cut.size()), 0, cut).data(), u32(cut.size()) + 7, owner_at);
    EXPECT_STREQ(member.get_data("a"), "1");
    EXPECT_EQ(member.get_data("b"), nullptr);
    EXPECT_EQ(member.data().next_key(member.data().next_key(nullptr)), nullptr);
    // A repeated join request is answered without listing the member twice.
    owner.handle_datagram(lan_join_request(0xB2, 5000).data(), 11, member_at);
    EXPECT_EQ(owner.member_count(), 2u);
    // Member data and acks from the right address count.
    member.handle_datagram(lan_chunk(10, 4, 0, good_block).data(), 11, owner_at);
    EXPECT_STREQ(member.get_member_data(0, "k"), "v");
    EXPECT_EQ(member.get_member_data(7, "k"), nullptr);
}

TEST(LanLobbyBrowser, KeepsDataOnlyOfLobbiesThatAnswered)
{
    LanLobbyBrowser browser(default_allocator(), client_settings(1).targets);
    const std::vector<u8> block = lan_block({{"k", "v"}});
    const auto chunk = lan_chunk(8, 4, 0, block);
    browser.handle_datagram(chunk.data(), u32(chunk.size()), {ipv4_loopback, 5});
    EXPECT_EQ(browser.lobby_count(), 0u);
    const u8 answer = 5;
    browser.handle_datagram(&answer, 1, {ipv4_loopback, 5});
    browser.handle_datagram(chunk.data(), u32(chunk.size()), {ipv4_loopback, 6}); // another source
    ASSERT_EQ(browser.lobby_count(), 1u);
    EXPECT_EQ(browser.lobby(0)->data.size(), 0u);
    browser.handle_datagram(chunk.data(), u32(chunk.size()), {ipv4_loopback, 5});
    EXPECT_STREQ(browser.lobby(0)->data.get("k"), "v");
    EXPECT_EQ(browser.lobby(1), nullptr);
}

} // namespace
} // namespace tallow::test
