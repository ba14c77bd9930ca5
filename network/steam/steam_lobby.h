#pragma once
// Lobbies, the lobby browser and the server browser over the platform's matchmaking and
// server lists. Main thread only; results arrive in the pumps the backends and the core run.
//
//   SteamLobby *lobby = make_new<SteamLobby>(manager.allocator());
//   lobby->create(lobby_public, 4);            // CREATING -> JOINED or FAILED in a later pump
//   manager.add_lobby(lobby);
//   lobby->set_data("name", "my room");         // the owner's writes only
//
// A create or join whose request cannot start ends FAILED at once (it would otherwise wait
// forever). A lobby leaves the platform's lobby when destroyed while JOINED. A server-list
// refresh starts from an empty list (each server is listed once), and servers of other
// applications are skipped.

#include "foundation/types.h"
#include "network/network_manager.h"
#include "platform/steam/steam_platform.h"

#include <vector>

namespace tallow::network::steam {

enum class LobbyState : u32 { Creating = 0, Joining = 1, Joined = 2, Failed = 3 };
constexpr u32 lobby_private = 0, lobby_friends_only = 1, lobby_public = 2, lobby_invisible = 3;

class SteamLobby final : public ILobby {
  public:
    SteamLobby();
    ~SteamLobby() override;
    void update(f32) override {}

    void create(u32 lobby_type, u32 max_members);
    void join(u64 lobby);
    LobbyState state() const { return _state; }
    u64 id() const { return _id; }
    u64 serial() const { return _serial; }
    void set_data(const char *key, const char *value);
    const char *get_data(const char *key);
    void set_game_server(u64 server);
    u64 game_server();
    u64 owner();
    u32 num_members();
    u64 member(u32 index);

  private:
    static void on_created(void *self, const void *data, bool io_failure);
    static void on_entered(void *self, const void *data, bool io_failure);

    tallow::steam::CallbackRegistration _created, _entered;
    LobbyState _state = LobbyState::Creating;
    u64 _id = 0;
    u64 _serial = 0;
};

struct LobbyListEntry {
    u64 id;
    char name[256];
};

class SteamLobbyBrowser {
  public:
    SteamLobbyBrowser();
    ~SteamLobbyBrowser();
    SteamLobbyBrowser(const SteamLobbyBrowser &) = delete;
    SteamLobbyBrowser &operator=(const SteamLobbyBrowser &) = delete;

    /// Ignored while a refresh is under way.
    void refresh();
    bool is_refreshing() const { return _refreshing; }
    u32 num_lobbies() const { return u32(_lobbies.size()); }
    /// Null out of range.
    const LobbyListEntry *lobby(u32 index) const { return index < _lobbies.size() ? &_lobbies[index] : nullptr; }

  private:
    static void on_list(void *self, const void *data, bool io_failure);
    static void on_data(void *self, const void *data);

    tallow::steam::CallbackRegistration _list, _data;
    std::vector<LobbyListEntry> _lobbies;
    bool _refreshing = false;
};

struct ServerEntry {
    u32 ip;
    u32 connection_port;
    i32 ping;
    char map[32];
    char game_description[64];
    i32 num_players;
    i32 max_players;
    i32 num_bots;
    bool password;
    bool secure;
    i32 server_version;
    char server_name[64];
    char server_string[128];
    u64 steam_id;
};

class SteamServerBrowser final : public tallow::steam::IServerListResponse {
  public:
    SteamServerBrowser() = default;
    ~SteamServerBrowser();
    SteamServerBrowser(const SteamServerBrowser &) = delete;
    SteamServerBrowser &operator=(const SteamServerBrowser &) = delete;

    void refresh_internet_servers();
    void refresh_lan_servers();
    bool is_refreshing() const { return _refreshing; }
    u32 num_servers() const { return u32(_servers.size()); }
    const ServerEntry *server(u32 index) const { return index < _servers.size() ? &_servers[index] : nullptr; }

    void server_responded(u64 request, i32 index) override;
    void server_failed_to_respond(u64, i32) override {}
    void refresh_complete(u64 request, u32 response) override;

  private:
    void begin_refresh();

    std::vector<ServerEntry> _servers;
    bool _refreshing = false;
    u64 _request = 0;
};

} // namespace tallow::network::steam
