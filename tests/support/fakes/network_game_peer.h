#pragma once
// Networked games for tests: two or three NetworkManagers, each on its own endpoint of one
// seeded lossy MemoryNetwork, sharing one test clock, so a run is the same run every time.
//
//   GameCluster cluster(7, lossy, write_network_config(spec), 3);
//   cluster.host(0);                   // game on peer 0 as host, peers 1 and 2 join
//   cluster.run(2.0f);                 // steps of 0.01 s: network, clock, every update
//   u32 id = cluster[0].game()->create_object(...);
//
// Each peer records the object events and game messages its callbacks saw. Game messages
// in tests are [u16 length][bytes]; a remote call is its payload (see network/field_codec.h).

#include "foundation/memory/memory_globals.h"
#include "network/field_codec.h"
#include "network/memory_transport.h"
#include "network/network_manager.h"

#include <functional>
#include <memory>
#include <vector>

namespace tallow::test {

/// A backend over an in-memory endpoint.
class MemoryBackend final : public network::INetworkBackend {
  public:
    MemoryBackend(network::ITransport *transport, u64 id) : _transport(transport), _id(id) {}
    network::ITransport *transport() override { return _transport; }
    u64 own_peer_id() override { return _id; }
    void update(f32) override { ++updates; }
    u32 updates = 0;

  private:
    network::ITransport *_transport;
    u64 _id;
};

struct RecordedEvent {
    u32 id;
    network::ObjectEvent event;
    u64 peer;
};

struct RecordedMessage {
    u64 sender;
    std::vector<u8> bytes;
};

/// A received remote call, decoded against the config.
struct RecordedCall {
    u64 sender;
    u32 index;
    std::vector<network::RpcValue> values;
    std::vector<std::string> strings; // string arguments, copied
};

class GamePeer {
  public:
    GamePeer(network::MemoryNetwork &network, u64 id, const network::NetworkManagerSettings &settings);
    network::NetworkGame *game() { return static_cast<network::NetworkGame *>(manager.game()); }
    void update(f32 dt_s);

    u64 id;
    MemoryBackend backend;
    network::NetworkManager manager;
    bool rpc_mode = false; // game messages are remote calls rather than [length][bytes]
    std::vector<RecordedEvent> events;
    std::vector<RecordedMessage> messages;
    std::vector<RecordedCall> calls;
    u32 refused_calls = 0;
    /// Runs after each recorded message, call or event, inside the manager's update (a
    /// test's callback that ends the game, the backend or an object).
    std::function<void(GamePeer &)> after_callback;

  private:
    static const u8 *on_message(void *user, u64 sender, const u8 *bytes, u32 remaining);
    static void on_object(void *user, u32 id, network::ObjectEvent event, u64 peer);
};

class GameCluster {
  public:
    static constexpr u64 first_id = 0xA000000000000001ull;

    GameCluster(u64 seed, const network::MemoryLinkSettings &link, std::vector<u8> config_bytes, u32 peer_count,
                network::SynchronizerFactory synchronizers = nullptr);
    GamePeer &operator[](u32 i) { return *peers[i]; }
    /// Creates every game; peer `host` hosts and adds the others.
    void host(u32 host_index = 0);
    /// One step: the network and the clock advance by dt, then every peer updates in order.
    void step(f32 dt_s = 0.01f);
    void run(f32 seconds, f32 dt_s = 0.01f);
    /// Steps until `done` holds (or `limit_s` passes); true when it held.
    template <typename F> bool run_until(F done, f32 limit_s = 20.0f)
    {
        for (f32 t = 0; t < limit_s; t += 0.01f) {
            if (done())
                return true;
            step();
        }
        return done();
    }
    /// Every peer has a game that has joined and lists every peer of the cluster.
    bool everyone_joined() const;

    network::MemoryNetwork network;
    f64 clock_s = 0;
    std::vector<u8> config_bytes;
    network::NetworkGameConfig config;
    std::vector<std::unique_ptr<GamePeer>> peers;

  private:
    static f64 now(void *user) { return static_cast<GameCluster *>(user)->clock_s; }
};

} // namespace tallow::test
