#pragma once
// The Application's single holder of the active network backend, the connection over its
// transport, the networked game and the lobbies. The script's `Network` table calls it;
// everything runs on the main thread inside the script's `Network.update`.
//
//   NetworkManager manager(allocator);
//   manager.set_backend(backend, config);       // backend and config stay the caller's
//   manager.create_game();                      // a NetworkGame over the connection
//   each frame: manager.update(dt, messages, objects);
//   manager.shutdown_backend();                 // lobbies, game and connection go; the
//                                               // caller then destroys the backend
//
// Without a game the manager still drives the connection, and walks each delivery as
// messages: [0][payload] goes to the game-message callback (remote calls between connected
// peers before a game exists), control messages to the connection, anything else ends
// the delivery. A backend set while another is, a game created without a connection or
// while one exists, are refused (logged), so nothing is replaced under its users.
//
// Callbacks may end what calls them: a remote call or an object event that shuts the game
// or the backend down, or leaves a lobby, takes them out of the manager at once (game()
// is null, nothing more of theirs reaches the callbacks) but they are destroyed when the
// outermost update (or callback bracket) returns, as are the objects a caller hands to
// destroy_when_safe. An update from inside a callback is refused (logged).

#include "foundation/containers/array.h"
#include "foundation/deferred_release.h"
#include "foundation/memory/trace_allocator.h"
#include "network/connection.h"
#include "network/network_game.h"
#include "network/network_service.h"
#include "network/transport.h"

namespace tallow::network {

/// A source of datagrams to peers (the LAN client, a platform service, tests' in-memory one).
/// A backend implements all three; main thread only.
class INetworkBackend {
  public:
    virtual ~INetworkBackend() = default;
    /// The backend's transport, owned by it, alive as long as the backend.
    virtual ITransport *transport() = 0;
    /// This machine's peer id; the same for the backend's whole life.
    virtual u64 own_peer_id() = 0;
    virtual void update(f32 dt_s) = 0;
};

/// A gathering of players before a game; updated with the manager.
class ILobby {
  public:
    virtual ~ILobby() = default;
    virtual void update(f32 dt_s) = 0;
};

struct NetworkManagerSettings {
    NetworkGameSettings game;       // clock, object-id seed, default synchronizer of games
    ConnectionSettings connection;
};

class NetworkManager final : public INetworkService {
  public:
    explicit NetworkManager(Allocator &parent, const NetworkManagerSettings &settings = {});
    ~NetworkManager() override;
    NetworkManager(const NetworkManager &) = delete;
    NetworkManager &operator=(const NetworkManager &) = delete;

    /// Keeps the backend and the config (both not owned; the config opened) and builds a
    /// connection over the backend's transport. False when a backend is set already or
    /// the backend has no transport.
    [[nodiscard]] bool set_backend(INetworkBackend &backend, const NetworkGameConfig &config);
    /// Destroys every lobby, the game and the connection and forgets the backend (inside
    /// callbacks: takes them out now, destroys them when the callbacks return).
    void shutdown_backend();
    /// Null when no backend is set or a game exists already.
    INetworkGame *create_game();
    /// Destroys the game (inside callbacks: when they return).
    void shutdown_game();
    INetworkGame *game() { return _game; }
    IConnection *connection() { return _connection; }
    INetworkBackend *backend() { return _backend; }
    /// The config given with the backend; null without a backend.
    const NetworkGameConfig *config() const { return _config; }
    /// The backend's own peer id; 0 without a backend.
    u64 own_peer_id();
    /// Sends a remote-call payload without a game: [0][payload] reliably. False when there
    /// is no connection or the payload does not fit (over 1188 bytes).
    bool send_message(u64 peer, const void *payload, u32 size);
    /// Backend, then the game (or the bare connection), then every lobby. Refused (logged)
    /// from inside a callback of this manager.
    void update(f32 dt_s, const GameMessageCallback &messages, const ObjectEventCallback &objects);

    /// Brackets a call outside update that may run callbacks (a game object's migration):
    /// what they shut down is destroyed at the outermost end_callbacks.
    void begin_callbacks() { _callbacks.enter(); }
    void end_callbacks();
    /// True inside an update or a callback bracket.
    bool is_in_callbacks() const { return _callbacks.is_on_stack(); }
    /// Calls destroy(object) now, or when the outermost update or bracket returns if one is
    /// on the stack (a backend shut down by a callback: the update still reads its
    /// transport). An object already waiting is not queued twice.
    void destroy_when_safe(void (*destroy)(void *object), void *object);
    /// The same for a backend made with allocator().
    void destroy_backend_when_safe(INetworkBackend *backend);

    /// Takes a lobby made with `allocator()`; it is destroyed with the backend.
    void add_lobby(ILobby *lobby);
    /// Removes and destroys `lobby`; false when it is not listed.
    bool remove_lobby(ILobby *lobby);
    u32 lobby_count() const { return _lobbies.size(); }
    TraceAllocator &allocator() { return _allocator; }

  private:
    struct Retired {
        void (*destroy)(NetworkManager &manager, void (*function)(void *), void *object);
        void (*function)(void *object); // destroy_when_safe's; null for the manager's own
        void *object;
    };
    static void on_receive(void *context, u64 peer, u32 sequence, const u8 *bytes, u32 size, f32 delay_s);
    static const u8 *forward_message(void *user, u64 sender, const u8 *bytes, u32 remaining);
    static void forward_object_event(void *user, u32 id, ObjectEvent event, u64 peer);
    void dispatch(u64 sender, const u8 *bytes, u32 size);
    /// Destroys now, or queues until the callbacks on the stack return.
    void retire(const Retired &retired);
    void destroy_retired();

    TraceAllocator _allocator;
    NetworkManagerSettings _settings;
    const NetworkGameConfig *_config = nullptr;
    INetworkBackend *_backend = nullptr;
    ITransport *_transport = nullptr;
    Connection *_connection = nullptr;
    NetworkGame *_game = nullptr;
    Array<ILobby *> _lobbies;
    GameMessageCallback _messages;       // the caller's, forwarded while their game or connection lives
    ObjectEventCallback _object_events;
    NetworkGame *_dispatching = nullptr; // the game whose update is on the stack
    Connection *_receiving = nullptr;    // the bare connection whose receive is on the stack
    DeferredRelease _callbacks;
    Array<Retired> _retired;             // destroyed in this order when the callbacks return
    u8 _message[max_datagram_bytes];
};

} // namespace tallow::network
