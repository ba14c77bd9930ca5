#include "network/network_manager.h"

#include "foundation/log.h"

#include <cstring>

namespace tallow::network {

namespace {
const char *const log_category = "network";
struct DispatchContext {
    NetworkManager *manager;
};
} // namespace

NetworkManager::NetworkManager(Allocator &parent, const NetworkManagerSettings &settings)
    : _allocator("network", parent), _settings(settings), _lobbies(_allocator)
{
}

NetworkManager::~NetworkManager() { shutdown_backend(); }

bool NetworkManager::set_backend(INetworkBackend &backend, const NetworkGameConfig &config)
{
    if (_backend) {
        log_message(log_category, "network backend not set: one is set already; shut it down first");
        return false;
    }
    if (!config.is_open() || !backend.transport()) {
        log_message(log_category, "network backend not set: %s",
                    !config.is_open() ? "its network_game_config did not load" : "it has no transport");
        return false;
    }
    _backend = &backend;
    _config = &config;
    _transport = backend.transport();
    _connection = make_new<Connection>(_allocator, *_transport, _allocator, _settings.connection);
    return true;
}

void NetworkManager::shutdown_backend()
{
    for (ILobby *lobby : _lobbies)
        delete_with_allocator(_allocator, lobby);
    _lobbies.clear();
    shutdown_game();
    delete_with_allocator(_allocator, _connection);
    _connection = nullptr;
    _transport = nullptr;
    _backend = nullptr;
    _config = nullptr;
}

INetworkGame *NetworkManager::create_game()
{
    if (!_connection || _game) {
        log_message(log_category, "network game not created: %s",
                    !_connection ? "no network backend is set" : "a game exists already");
        return nullptr;
    }
    _game = make_new<NetworkGame>(_allocator, *_connection, *_config, _backend->own_peer_id(), _allocator,
                                  _settings.game);
    return _game;
}

void NetworkManager::shutdown_game()
{
    delete_with_allocator(_allocator, _game);
    _game = nullptr;
}

u64 NetworkManager::own_peer_id() { return _backend ? _backend->own_peer_id() : 0; }

bool NetworkManager::send_message(u64 peer, const void *payload, u32 size)
{
    if (!_connection || size > max_game_message_bytes || (size && !payload))
        return false;
    _message[0] = 0;
    if (size)
        memcpy(_message + 1, payload, size);
    const u32 sequence = _connection->send(peer, 1, _message, size + 1);
    return _connection->status(peer, sequence) != PacketStatus::Expired;
}

void NetworkManager::update(f32 dt_s, const GameMessageCallback &messages, const ObjectEventCallback &objects)
{
    if (_backend)
        _backend->update(dt_s);
    if (_game) {
        _game->update(messages, objects);
    } else if (_connection) {
        _messages = messages;
        _connection->update(dt_s);
        _connection->receive(make_receive_handler(on_receive, DispatchContext{this}));
        _connection->flush();
        _messages = {};
    }
    for (ILobby *lobby : _lobbies)
        lobby->update(dt_s);
}

void NetworkManager::on_receive(void *context, u64 peer, u32, const u8 *bytes, u32 size, f32)
{
    static_cast<DispatchContext *>(context)->manager->dispatch(peer, bytes, size);
}

void NetworkManager::dispatch(u64 sender, const u8 *bytes, u32 size)
{
    BitReader reader(bytes, size);
    while (reader.remaining_bytes() > 0 && !reader.has_overflowed()) {
        const u8 type = reader.read_u8();
        if (type == 0) {
            if (!_messages.function)
                return;
            const u8 *start = reader.cursor();
            const u32 remaining = reader.remaining_bytes();
            const u8 *next = _messages.function(_messages.user, sender, start, remaining);
            if (!next || next < start || next > start + remaining)
                return;
            reader.skip_bytes(u32(next - start));
        } else if (type >= first_control_type) {
            if (!_connection->handle_control_message(sender, type, reader))
                return;
        } else {
            return;
        }
    }
}

void NetworkManager::add_lobby(ILobby *lobby)
{
    if (lobby)
        _lobbies.push_back(lobby);
}

bool NetworkManager::remove_lobby(ILobby *lobby)
{
    for (u32 i = 0; i < _lobbies.size(); ++i) {
        if (_lobbies[i] != lobby)
            continue;
        _lobbies.erase(i);
        delete_with_allocator(_allocator, lobby);
        return true;
    }
    return false;
}

} // namespace tallow::network
