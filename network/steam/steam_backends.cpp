// Online-services network backends and transport (see steam_backends.h).
#include "network/steam/steam_backends.h"

#include "foundation/log.h"
#include "network/steam/steam_core.h"

#include <cstring>

namespace tallow::network::steam {

namespace platform = tallow::steam;

bool SteamTransport::send(u64 peer, const u8 *bytes, u32 size)
{
    if (!_networking)
        return true; // before the first update: dropped, as any datagram may be
    if (size > platform::max_p2p_bytes || !_networking->send_p2p_packet(peer, bytes, size, 0, 0)) {
        _failed_sends++;
        return false;
    }
    return true;
}

bool SteamTransport::receive(const u8 **out_bytes, u32 *out_size, u64 *out_peer)
{
    if (!_networking)
        return false;
    u32 size = 0;
    u64 remote = 0;
    while (_networking->read_p2p_packet(_buffer, sizeof(_buffer), &size, &remote, 0)) {
        if (size > sizeof(_buffer))
            continue; // never trust a size past the buffer
        *out_bytes = _buffer;
        *out_size = size;
        *out_peer = remote;
        return true;
    }
    return false;
}

// --- Game server ---

SteamGameServerHandler::SteamGameServerHandler()
{
    platform::register_callback(_session, platform::callback_p2p_session_request, true, &on_session_request, this);
    _started = platform::game_server_init(0, 8766, 27015, 0, 27016, 3, "test", "1.0.0.0");
    if (!_started) {
        log_message("Steam", "the game server did not start");
        return;
    }
    if (platform::MasterServerUpdater *m = platform::master_server_updater())
        m->set_active(true);
    if (platform::GameServer *g = platform::game_server())
        g->log_on();
    _serial = register_steam_object(this, SteamObjectKind::ServerBackend);
}

SteamGameServerHandler::~SteamGameServerHandler()
{
    if (_started) {
        if (platform::MasterServerUpdater *m = platform::master_server_updater())
            m->set_active(false);
        if (platform::GameServer *g = platform::game_server())
            g->log_off();
        platform::game_server_shutdown();
        unregister_steam_object(this);
    }
    platform::unregister_callback(_session);
}

u64 SteamGameServerHandler::own_peer_id()
{
    platform::GameServer *g = platform::game_server();
    return g ? g->get_steam_id() : 0;
}

void SteamGameServerHandler::update(f32)
{
    _transport.set_networking(platform::game_server_networking());
    platform::game_server_run_callbacks();
    if (platform::MasterServerUpdater *m = platform::master_server_updater()) {
        m->set_basic_server_data(7, true, "255", "SteamworksExample", 4, false, "Steamworks Example");
        if (platform::GameServer *g = platform::game_server())
            g->update_server_status(0, 4, 0, "the game", nullptr, "MilkyWay");
    }
}

void SteamGameServerHandler::on_session_request(void *, const void *data)
{
    platform::P2PSessionRequest request;
    memcpy(&request, data, sizeof(request));
    if (platform::Networking *n = platform::game_server_networking())
        n->accept_p2p_session_with_user(request.remote);
}

// --- Client ---

SteamClientHandler::SteamClientHandler()
{
    // A client callback: the client pumps only the client queue.
    platform::register_callback(_session, platform::callback_p2p_session_request, false, &on_session_request, this);
    _started = platform::user() != nullptr;
    if (_started)
        _serial = register_steam_object(this, SteamObjectKind::ClientBackend);
}

SteamClientHandler::~SteamClientHandler()
{
    if (_started)
        unregister_steam_object(this);
    platform::unregister_callback(_session);
}

u64 SteamClientHandler::own_peer_id()
{
    platform::User *u = platform::user();
    return u ? u->get_steam_id() : 0;
}

void SteamClientHandler::update(f32)
{
    _transport.set_networking(platform::networking());
    platform::run_callbacks();
}

void SteamClientHandler::on_session_request(void *, const void *data)
{
    platform::P2PSessionRequest request;
    memcpy(&request, data, sizeof(request));
    if (platform::Networking *n = platform::networking())
        n->accept_p2p_session_with_user(request.remote);
}

} // namespace tallow::network::steam
