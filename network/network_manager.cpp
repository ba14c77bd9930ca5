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
    : _allocator("network", parent), _settings(settings), _lobbies(_allocator), _retired(_allocator)
{
}

NetworkManager::~NetworkManager()
{
    shutdown_backend();
    destroy_retired();
}

namespace {
template <typename T> void destroy_owned(NetworkManager &manager, void (*)(void *), void *object)
{
    delete_with_allocator(manager.allocator(), static_cast<T *>(object));
}
void destroy_other(NetworkManager &, void (*function)(void *), void *object) { function(object); }
} // namespace

void NetworkManager::retire(const Retired &retired)
{
    if (!retired.object)
        return;
    if (!_callbacks.defer()) {
        retired.destroy(*this, retired.function, retired.object);
        return;
    }
    for (const Retired &r : _retired)
        if (r.object == retired.object)
            return;
    _retired.push_back(retired);
}

void NetworkManager::destroy_retired()
{
    // A destructor may retire more (a game's synchronizers): walk by index.
    for (u32 i = 0; i < _retired.size(); ++i) {
        const Retired r = _retired[i];
        r.destroy(*this, r.function, r.object);
    }
    _retired.clear();
}

void NetworkManager::end_callbacks()
{
    if (_callbacks.leave())
        destroy_retired();
}

void NetworkManager::destroy_backend_when_safe(INetworkBackend *backend)
{
    retire({destroy_owned<INetworkBackend>, nullptr, backend});
}

void NetworkManager::destroy_when_safe(void (*destroy)(void *object), void *object)
{
    if (destroy)
        retire({destroy_other, destroy, object});
}

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
        retire({destroy_owned<ILobby>, nullptr, lobby});
    _lobbies.clear();
    shutdown_game();
    retire({destroy_owned<Connection>, nullptr, _connection});
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
    NetworkGame *game = _game;
    _game = nullptr;
    retire({destroy_owned<NetworkGame>, nullptr, game});
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
    if (_callbacks.is_on_stack()) {
        // The update below would receive into the transport's buffer the outer one reads.
        log_message(log_category, "network update refused: called from inside a network callback");
        return;
    }
    _callbacks.enter();
    _messages = messages;
    _object_events = objects;
    if (_backend)
        _backend->update(dt_s);
    if (_game) {
        _dispatching = _game;
        _game->update({forward_message, this}, {forward_object_event, this});
        _dispatching = nullptr;
    } else if (_connection) {
        // Each call reads the manager's members: a callback may shut the connection down.
        _receiving = _connection;
        _connection->update(dt_s);
        _connection->receive(make_receive_handler(on_receive, DispatchContext{this}));
        if (_connection)
            _connection->flush();
        _receiving = nullptr;
    }
    for (u32 i = 0; i < _lobbies.size(); ++i)
        _lobbies[i]->update(dt_s);
    end_callbacks();
}

const u8 *NetworkManager::forward_message(void *user, u64 sender, const u8 *bytes, u32 remaining)
{
    auto &m = *static_cast<NetworkManager *>(user);
    // A game shut down by an earlier callback reads on to the end of its update; the
    // caller hears no more of it.
    if (!m._game || (m._dispatching && m._dispatching != m._game) || !m._messages.function)
        return nullptr;
    return m._messages.function(m._messages.user, sender, bytes, remaining);
}

void NetworkManager::forward_object_event(void *user, u32 id, ObjectEvent event, u64 peer)
{
    auto &m = *static_cast<NetworkManager *>(user);
    if (!m._game || (m._dispatching && m._dispatching != m._game) || !m._object_events.function)
        return;
    m._object_events.function(m._object_events.user, id, event, peer);
}

void NetworkManager::on_receive(void *context, u64 peer, u32, const u8 *bytes, u32 size, f32)
{
    static_cast<DispatchContext *>(context)->manager->dispatch(peer, bytes, size);
}

void NetworkManager::dispatch(u64 sender, const u8 *bytes, u32 size)
{
    BitReader reader(bytes, size);
    while (reader.remaining_bytes() > 0 && !reader.has_overflowed()) {
        if (!_connection || _connection != _receiving)
            return; // shut down by a callback of this delivery
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
        retire({destroy_owned<ILobby>, nullptr, lobby});
        return true;
    }
    return false;
}

} // namespace tallow::network
