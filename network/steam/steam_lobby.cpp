// Lobbies and browsers (see steam_lobby.h).
#include "network/steam/steam_lobby.h"

#include "network/steam/steam_core.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace tallow::network::steam {

namespace platform = tallow::steam;

SteamLobby::SteamLobby() { _serial = register_steam_object(this, SteamObjectKind::Lobby); }

SteamLobby::~SteamLobby()
{
    if (_state == LobbyState::Joined)
        if (platform::Matchmaking *m = platform::matchmaking())
            m->leave_lobby(_id);
    platform::unregister_call_result(_created);
    platform::unregister_call_result(_entered);
    unregister_steam_object(this);
}

void SteamLobby::create(u32 lobby_type, u32 max_members)
{
    _state = LobbyState::Creating;
    _id = 0;
    platform::Matchmaking *m = platform::matchmaking();
    const platform::CallHandle call = m ? m->create_lobby(lobby_type, max_members) : 0;
    if (call == 0) {
        _state = LobbyState::Failed;
        return;
    }
    platform::register_call_result(_created, call, &on_created, this);
}

void SteamLobby::join(u64 lobby)
{
    _id = lobby;
    _state = LobbyState::Joining;
    platform::Matchmaking *m = platform::matchmaking();
    const platform::CallHandle call = m ? m->join_lobby(lobby) : 0;
    if (call == 0) {
        _state = LobbyState::Failed;
        return;
    }
    platform::register_call_result(_entered, call, &on_entered, this);
}

void SteamLobby::on_created(void *object, const void *data, bool io_failure)
{
    auto &self = *static_cast<SteamLobby *>(object);
    platform::LobbyCreated created{};
    if (!io_failure)
        memcpy(&created, data, sizeof(created));
    if (!io_failure && created.result == platform::result_ok) {
        self._state = LobbyState::Joined;
        self._id = created.lobby;
    } else {
        self._state = LobbyState::Failed;
    }
}

void SteamLobby::on_entered(void *object, const void *data, bool io_failure)
{
    auto &self = *static_cast<SteamLobby *>(object);
    platform::LobbyEnter entered{};
    if (!io_failure)
        memcpy(&entered, data, sizeof(entered));
    self._state = !io_failure && entered.response == platform::enter_success ? LobbyState::Joined : LobbyState::Failed;
}

void SteamLobby::set_data(const char *key, const char *value)
{
    if (platform::Matchmaking *m = platform::matchmaking())
        m->set_lobby_data(_id, key, value);
}

const char *SteamLobby::get_data(const char *key)
{
    platform::Matchmaking *m = platform::matchmaking();
    const char *value = m ? m->get_lobby_data(_id, key) : nullptr;
    return value ? value : "";
}

void SteamLobby::set_game_server(u64 server)
{
    if (platform::Matchmaking *m = platform::matchmaking())
        m->set_lobby_game_server(_id, 0, 0, server);
}

u64 SteamLobby::game_server()
{
    platform::Matchmaking *m = platform::matchmaking();
    u32 ip;
    u16 port;
    u64 server = 0;
    if (!m || !m->get_lobby_game_server(_id, &ip, &port, &server))
        return 0;
    return server;
}

u64 SteamLobby::owner()
{
    platform::Matchmaking *m = platform::matchmaking();
    return m ? m->get_lobby_owner(_id) : 0;
}

u32 SteamLobby::num_members()
{
    platform::Matchmaking *m = platform::matchmaking();
    if (!m || _state != LobbyState::Joined)
        return 0;
    const i32 n = m->get_num_lobby_members(_id);
    return n > 0 ? u32(n) : 0;
}

u64 SteamLobby::member(u32 index)
{
    platform::Matchmaking *m = platform::matchmaking();
    return m ? m->get_lobby_member_by_index(_id, i32(index)) : 0;
}

// --- Lobby browser ---

SteamLobbyBrowser::SteamLobbyBrowser()
{
    platform::register_callback(_data, platform::callback_lobby_data_update, false, &on_data, this);
}

SteamLobbyBrowser::~SteamLobbyBrowser()
{
    platform::unregister_call_result(_list);
    platform::unregister_callback(_data);
}

void SteamLobbyBrowser::refresh()
{
    if (_refreshing)
        return;
    platform::Matchmaking *m = platform::matchmaking();
    const platform::CallHandle call = m ? m->request_lobby_list() : 0;
    if (call == 0)
        return; // nothing will answer: stay idle so a later refresh can try again
    platform::register_call_result(_list, call, &on_list, this);
    _refreshing = true;
}

void SteamLobbyBrowser::on_list(void *object, const void *data, bool io_failure)
{
    auto &self = *static_cast<SteamLobbyBrowser *>(object);
    platform::LobbyMatchList list{};
    if (!io_failure)
        memcpy(&list, data, sizeof(list));
    self._lobbies.clear();
    self._refreshing = false;
    platform::Matchmaking *m = platform::matchmaking();
    if (!m)
        return;
    for (u32 i = 0; i < list.count; ++i) {
        LobbyListEntry e{};
        e.id = m->get_lobby_by_index(i32(i));
        const char *name = m->get_lobby_data(e.id, "name");
        if (!name || !*name) {
            m->request_lobby_data(e.id);
            snprintf(e.name, sizeof(e.name), "Lobby %" PRIx64, e.id);
        } else {
            snprintf(e.name, sizeof(e.name), "%s", name);
        }
        self._lobbies.push_back(e);
    }
}

void SteamLobbyBrowser::on_data(void *object, const void *data)
{
    auto &self = *static_cast<SteamLobbyBrowser *>(object);
    platform::LobbyDataUpdate update;
    memcpy(&update, data, sizeof(update));
    platform::Matchmaking *m = platform::matchmaking();
    if (!m)
        return;
    for (LobbyListEntry &e : self._lobbies) {
        if (e.id != update.lobby)
            continue;
        const char *name = m->get_lobby_data(e.id, "name");
        if (name && *name)
            snprintf(e.name, sizeof(e.name), "%s", name);
        return;
    }
}

// --- Server browser ---

SteamServerBrowser::~SteamServerBrowser()
{
    if (_request)
        if (platform::MatchmakingServers *s = platform::matchmaking_servers())
            s->release_request(_request);
}

void SteamServerBrowser::begin_refresh()
{
    if (_request)
        if (platform::MatchmakingServers *s = platform::matchmaking_servers())
            s->release_request(_request);
    _request = 0;
    _servers.clear(); // a refresh lists each server once
}

void SteamServerBrowser::refresh_internet_servers()
{
    if (_refreshing)
        return;
    platform::MatchmakingServers *s = platform::matchmaking_servers();
    platform::Utils *u = platform::utils();
    if (!s || !u)
        return;
    begin_refresh();
    platform::KeyValuePair filter{};
    snprintf(filter.key, sizeof(filter.key), "gamedir");
    snprintf(filter.value, sizeof(filter.value), "test");
    _request = s->request_internet_server_list(u->get_app_id(), &filter, 1, this);
    _refreshing = _request != 0;
}

void SteamServerBrowser::refresh_lan_servers()
{
    if (_refreshing)
        return;
    platform::MatchmakingServers *s = platform::matchmaking_servers();
    platform::Utils *u = platform::utils();
    if (!s || !u)
        return;
    begin_refresh();
    _request = s->request_lan_server_list(u->get_app_id(), this);
    _refreshing = _request != 0;
}

void SteamServerBrowser::server_responded(u64 request, i32 index)
{
    platform::MatchmakingServers *s = platform::matchmaking_servers();
    platform::Utils *u = platform::utils();
    const platform::ServerDetails *d = s ? s->get_server_details(request, index) : nullptr;
    if (!d || !u || d->app_id != u->get_app_id())
        return;
    ServerEntry e{};
    e.ip = d->ip;
    e.connection_port = d->connection_port;
    e.ping = d->ping;
    snprintf(e.map, sizeof(e.map), "%s", d->map);
    snprintf(e.game_description, sizeof(e.game_description), "%s", d->game_description);
    e.num_players = d->players;
    e.max_players = d->max_players;
    e.num_bots = d->bots;
    e.password = d->password;
    e.secure = d->secure;
    e.server_version = d->server_version;
    char address[32];
    snprintf(address, sizeof(address), "%u.%u.%u.%u:%i", d->ip >> 24, (d->ip >> 16) & 0xFF, (d->ip >> 8) & 0xFF,
             d->ip & 0xFF, i32(d->connection_port));
    if (d->name[0])
        snprintf(e.server_name, sizeof(e.server_name), "%.*s", i32(sizeof(d->name)), d->name);
    else
        snprintf(e.server_name, sizeof(e.server_name), "%s", address);
    snprintf(e.server_string, sizeof(e.server_string), "%s (%i/%i) at %s ping(%d)", e.server_name, e.num_players,
             e.max_players, address, e.ping);
    e.steam_id = d->steam_id;
    _servers.push_back(e);
}

void SteamServerBrowser::refresh_complete(u64, u32) { _refreshing = false; }

} // namespace tallow::network::steam
