#pragma once
// The two online-services network backends (a game server and a client) and their
// transport, which carries the Connection's datagrams as platform peer-to-peer packets.
// Main thread only.
//
//   auto *client = make_new<SteamClientHandler>(manager.allocator());
//   if (!client->is_started()) ... destroy it: the platform is not running
//   manager.set_backend(*client, config);       // each manager update pumps the callbacks
//
// Sessions: every session request is accepted (no filtering). The client registers its
// accept handler in the client pump, the game server in the game-server pump, so each
// backend really sees its requests. Datagrams above 1200 bytes are neither sent nor
// received. Until a backend's first update its transport has no platform interface: sends
// are dropped while reporting success (the Connection resends), nothing is received.

#include "network/network_manager.h"
#include "network/steam/steam_lobby.h"

namespace tallow::network::steam {

class SteamTransport final : public ITransport {
  public:
    bool has_peer(u64) override { return true; }
    bool send(u64 peer, const u8 *bytes, u32 size) override;
    bool receive(const u8 **out_bytes, u32 *out_size, u64 *out_peer) override;
    void set_networking(tallow::steam::Networking *networking) { _networking = networking; }
    u32 failed_sends() const { return _failed_sends; }

  private:
    u8 _buffer[tallow::steam::max_p2p_bytes];
    tallow::steam::Networking *_networking = nullptr;
    u32 _failed_sends = 0;
};

class SteamGameServerHandler final : public INetworkBackend {
  public:
    /// Starts the platform's game server; check is_started().
    SteamGameServerHandler();
    ~SteamGameServerHandler() override;
    bool is_started() const { return _started; }
    ITransport *transport() override { return &_transport; }
    u64 own_peer_id() override;
    void update(f32 dt_s) override;
    SteamServerBrowser &server_browser() { return _server_browser; }
    SteamLobbyBrowser &lobby_browser() { return _lobby_browser; }
    u64 serial() const { return _serial; }

  private:
    static void on_session_request(void *self, const void *data);
    tallow::steam::CallbackRegistration _session;
    SteamTransport _transport;
    SteamServerBrowser _server_browser;
    SteamLobbyBrowser _lobby_browser;
    bool _started = false;
    u64 _serial = 0;
};

class SteamClientHandler final : public INetworkBackend {
  public:
    SteamClientHandler();
    ~SteamClientHandler() override;
    /// False when the platform is not running (no user).
    bool is_started() const { return _started; }
    ITransport *transport() override { return &_transport; }
    u64 own_peer_id() override;
    void update(f32 dt_s) override;
    SteamServerBrowser &server_browser() { return _server_browser; }
    SteamLobbyBrowser &lobby_browser() { return _lobby_browser; }
    SteamTransport &steam_transport() { return _transport; }
    u64 serial() const { return _serial; }

  private:
    static void on_session_request(void *self, const void *data);
    tallow::steam::CallbackRegistration _session;
    SteamTransport _transport;
    SteamServerBrowser _server_browser;
    SteamLobbyBrowser _lobby_browser;
    bool _started = false;
    u64 _serial = 0;
};

} // namespace tallow::network::steam
