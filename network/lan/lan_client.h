#pragma once
// The LAN backend: a LanTransport on one UDP port, the lobby browser and this machine's
// random 64-bit peer id. Scripts make it with Network.init_lan_client and hand it to the
// network manager.
//
//   LanClient client(allocator, {port, targets});
//   if (!client.is_bound()) ...            // refused: the port is taken
//   manager.set_backend(client, config);
//   client.browser().refresh(lobby_port);  // updated with the manager
//
// Main thread only.

#include "network/lan/lan_lobby.h"
#include "network/lan/lan_transport.h"
#include "network/network_manager.h"

namespace tallow::network {

struct LanClientSettings {
    u32 port = 0;               // the transport's port; 0: any free one
    LanBroadcastTargets targets; // where the browser's queries go (none: the real LAN broadcast)
    u64 own_id = 0;             // 0: a random id
    NetworkClock clock;         // for the transport's held datagrams
};

class LanClient final : public INetworkBackend {
  public:
    LanClient(Allocator &parent, const LanClientSettings &settings);
    ~LanClient() override = default;

    ITransport *transport() override { return &_transport; } // See INetworkBackend
    u64 own_peer_id() override { return _own_id; }
    void update(f32 dt_s) override { _browser.update(dt_s); }

    /// False when the transport's port could not be bound (nothing would be received).
    bool is_bound() const { return _transport.is_bound(); }
    LanTransport &lan_transport() { return _transport; }
    LanLobbyBrowser &browser() { return _browser; }

  private:
    LanTransport _transport;
    LanLobbyBrowser _browser;
    u64 _own_id;
};

} // namespace tallow::network
