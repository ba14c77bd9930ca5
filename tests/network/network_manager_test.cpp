// The network manager: backend, connection and game held once each; remote calls between
// connected peers before a game exists; lobbies gone with the backend.
#include "tests/support/log_capture.h"
#include "tests/support/writers/network_config_writer.h"
#include "tests/support/fakes/network_game_peer.h"

#include <gtest/gtest.h>

namespace tallow::test {
namespace {

using namespace network;

class CountingLobby final : public ILobby {
  public:
    explicit CountingLobby(u32 *updates, u32 *destroyed) : _updates(updates), _destroyed(destroyed) {}
    ~CountingLobby() override { ++*_destroyed; }
    void update(f32) override { ++*_updates; }

  private:
    u32 *_updates;
    u32 *_destroyed;
};

NetworkConfigSpec spec_with_chat()
{
    NetworkConfigSpec spec;
    spec.rpcs.push_back({"chat", {string_argument(), int_field("n", 8, 0)}});
    return spec;
}

TEST(NetworkManager, RemoteCallsTravelWithoutAGame)
{
    GameCluster cluster(3, {}, write_network_config(spec_with_chat()), 2);
    for (auto &peer : cluster.peers)
        peer->rpc_mode = true;
    // Without a game the test peers decode calls against no config: count the raw messages.
    cluster[1].rpc_mode = false;
    const u8 message[] = {3, 0, 'a', 'b', 'c'};
    ASSERT_TRUE(cluster[0].manager.send_message(cluster[1].id, message, sizeof(message)));
    ASSERT_TRUE(cluster.run_until([&] { return cluster[1].messages.size() == 1; }));
    EXPECT_EQ(cluster[1].messages[0].bytes, (std::vector<u8>{'a', 'b', 'c'}));
    EXPECT_EQ(cluster[1].messages[0].sender, cluster[0].id);
    EXPECT_GT(cluster[0].backend.updates, 0u);
    std::vector<u8> too_large(max_game_message_bytes + 1);
    EXPECT_FALSE(cluster[0].manager.send_message(cluster[1].id, too_large.data(), u32(too_large.size())));
    // Pings and acknowledgements keep flowing: a minute later nothing is broken.
    cluster.run(65, 0.05f);
    EXPECT_FALSE(cluster[0].manager.connection()->is_broken(cluster[1].id));
}

TEST(NetworkManager, RefusesToReplaceWhatIsInUse)
{
    GameCluster cluster(3, {}, write_network_config(spec_with_chat()), 1);
    NetworkManager &manager = cluster[0].manager;
    LogCapture log;
    EXPECT_FALSE(manager.set_backend(cluster[0].backend, cluster.config)); // set already
    INetworkGame *game = manager.create_game();
    ASSERT_NE(game, nullptr);
    EXPECT_EQ(manager.create_game(), nullptr); // one exists
    EXPECT_EQ(manager.game(), game);
    EXPECT_EQ(log.lines().size(), 2u);

    NetworkManager empty(default_allocator());
    EXPECT_EQ(empty.create_game(), nullptr); // no backend, no connection
    EXPECT_EQ(empty.own_peer_id(), 0u);
    NetworkGameConfig unopened;
    MemoryBackend other(cluster.network.create_endpoint(55), 55);
    EXPECT_FALSE(empty.set_backend(other, unopened));
}

TEST(NetworkManager, ShutdownTakesLobbiesGameAndConnection)
{
    GameCluster cluster(3, {}, write_network_config(spec_with_chat()), 1);
    NetworkManager &manager = cluster[0].manager;
    u32 updates = 0, destroyed = 0;
    manager.add_lobby(make_new<CountingLobby>(manager.allocator(), &updates, &destroyed));
    manager.add_lobby(make_new<CountingLobby>(manager.allocator(), &updates, &destroyed));
    ASSERT_NE(manager.create_game(), nullptr);
    EXPECT_EQ(manager.own_peer_id(), cluster[0].id);
    cluster.step();
    EXPECT_EQ(updates, 2u);
    manager.shutdown_backend();
    EXPECT_EQ(destroyed, 2u);
    EXPECT_EQ(manager.lobby_count(), 0u);
    EXPECT_EQ(manager.game(), nullptr);
    EXPECT_EQ(manager.connection(), nullptr);
    cluster.step();
    EXPECT_EQ(updates, 2u);
    // A new backend may be set afterwards.
    EXPECT_TRUE(manager.set_backend(cluster[0].backend, cluster.config));
}

} // namespace
} // namespace tallow::test
