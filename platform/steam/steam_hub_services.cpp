// The stand-in's requests and their results: matchmaking, server lists, the game server,
// statistics, leaderboards and remote storage (see steam_platform.h for the behaviours).
#include "platform/steam/steam_hub_internal.h"

#include <algorithm>
#include <cstring>

namespace tallow::steam {

using Lock = std::lock_guard<std::recursive_mutex>;

// --- Matchmaking ---

CallHandle Matchmaking::create_lobby(u32 lobby_type, u32 max_members)
{
    if (!usable(_context))
        return 0;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    Fault fault = Fault::ZeroHandle;
    bool faulted;
    const CallHandle call = start_request(hub, Call::CreateLobby, &fault, &faulted);
    if (!call)
        return 0;
    LobbyCreated result{result_fail, 0};
    if (!(faulted && fault == Fault::ResultFail) && max_members > 0) {
        FolderLock folder(hub);
        LobbyRecord r;
        r.id = hub.folder ? folder_new_lobby_id(hub) : hub.next_lobby++;
        r.app = hub.app_id;
        r.type = lobby_type;
        r.max_members = max_members;
        r.owner = _context->user;
        r.members.push_back(_context->user);
        store_lobby(hub, r);
        _context->watched_lobbies[r.id] = r.version;
        result = {result_ok, r.id};
    }
    post_result(*_context, callback_lobby_created, result, call, faulted, fault);
    return call;
}

CallHandle Matchmaking::join_lobby(u64 lobby)
{
    if (!usable(_context))
        return 0;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    Fault fault = Fault::ZeroHandle;
    bool faulted;
    const CallHandle call = start_request(hub, Call::JoinLobby, &fault, &faulted);
    if (!call)
        return 0;
    LobbyEnter result{lobby, enter_does_not_exist};
    {
        FolderLock folder(hub);
        LobbyRecord r;
        if (faulted && fault == Fault::ResultFail)
            result.response = enter_error;
        else if (load_lobby(hub, lobby, &r) && r.app == hub.app_id && drop_departed_members(hub, r)) {
            const bool member = std::find(r.members.begin(), r.members.end(), _context->user) != r.members.end();
            if (member) {
                result.response = enter_success;
            } else if (r.members.size() >= r.max_members) {
                result.response = enter_full;
            } else {
                r.members.push_back(_context->user);
                store_lobby(hub, r);
                _context->watched_lobbies[r.id] = r.version;
                result.response = enter_success;
            }
        }
    }
    post_result(*_context, callback_lobby_enter, result, call, faulted, fault);
    return call;
}

void Matchmaking::leave_lobby(u64 lobby)
{
    if (!usable(_context))
        return;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    FolderLock folder(hub);
    _context->watched_lobbies.erase(lobby);
    LobbyRecord r;
    if (!load_lobby(hub, lobby, &r))
        return;
    auto it = std::find(r.members.begin(), r.members.end(), _context->user);
    if (it == r.members.end())
        return;
    r.members.erase(it);
    if (r.members.empty()) {
        erase_lobby(hub, lobby);
        return;
    }
    if (r.owner == _context->user)
        r.owner = r.members[0];
    store_lobby(hub, r);
}

bool Matchmaking::set_lobby_data(u64 lobby, const char *key, const char *value)
{
    if (!usable(_context) || !key || !value)
        return false;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    FolderLock folder(hub);
    LobbyRecord r;
    if (!load_lobby(hub, lobby, &r) || r.owner != _context->user)
        return false;
    bool found = false;
    for (auto &[k, v] : r.data)
        if (k == key) {
            v = value;
            found = true;
        }
    if (!found)
        r.data.emplace_back(key, value);
    store_lobby(hub, r);
    return true;
}

const char *Matchmaking::get_lobby_data(u64 lobby, const char *key)
{
    if (!usable(_context) || !key)
        return "";
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    FolderLock folder(hub);
    LobbyRecord r;
    _context->data_return.clear();
    if (load_lobby(hub, lobby, &r))
        for (auto &[k, v] : r.data)
            if (k == key)
                _context->data_return = v;
    return _context->data_return.c_str();
}

void Matchmaking::set_lobby_game_server(u64 lobby, u32, u16, u64 server)
{
    if (!usable(_context))
        return;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    FolderLock folder(hub);
    LobbyRecord r;
    if (!load_lobby(hub, lobby, &r) || r.owner != _context->user)
        return;
    r.server = server;
    store_lobby(hub, r);
}

bool Matchmaking::get_lobby_game_server(u64 lobby, u32 *out_ip, u16 *out_port, u64 *out_server)
{
    *out_ip = 0;
    *out_port = 0;
    *out_server = 0;
    if (!usable(_context))
        return false;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    FolderLock folder(hub);
    LobbyRecord r;
    if (!load_lobby(hub, lobby, &r) || r.server == 0)
        return false;
    *out_server = r.server;
    return true;
}

namespace {
bool member_view(Context *c, u64 lobby, LobbyRecord *r)
{
    if (!usable(c))
        return false;
    HubState &hub = *c->hub;
    FolderLock folder(hub);
    if (!load_lobby(hub, lobby, r))
        return false;
    return std::find(r->members.begin(), r->members.end(), c->user) != r->members.end();
}
} // namespace

u64 Matchmaking::get_lobby_owner(u64 lobby)
{
    if (!usable(_context))
        return 0;
    Lock lock(_context->hub->mutex);
    LobbyRecord r;
    return member_view(_context, lobby, &r) ? r.owner : 0;
}

i32 Matchmaking::get_num_lobby_members(u64 lobby)
{
    if (!usable(_context))
        return 0;
    Lock lock(_context->hub->mutex);
    LobbyRecord r;
    return member_view(_context, lobby, &r) ? i32(r.members.size()) : 0;
}

u64 Matchmaking::get_lobby_member_by_index(u64 lobby, i32 index)
{
    if (!usable(_context))
        return 0;
    Lock lock(_context->hub->mutex);
    LobbyRecord r;
    if (!member_view(_context, lobby, &r) || index < 0 || u32(index) >= r.members.size())
        return 0;
    return r.members[u32(index)];
}

CallHandle Matchmaking::request_lobby_list()
{
    if (!usable(_context))
        return 0;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    Fault fault = Fault::ZeroHandle;
    bool faulted;
    const CallHandle call = start_request(hub, Call::RequestLobbyList, &fault, &faulted);
    if (!call)
        return 0;
    _context->lobby_list.clear();
    {
        FolderLock folder(hub);
        for (u64 id : list_lobbies(hub)) {
            LobbyRecord r;
            if (load_lobby(hub, id, &r) && r.app == hub.app_id && r.type == 2 && drop_departed_members(hub, r))
                _context->lobby_list.push_back(id);
        }
    }
    LobbyMatchList result{u32(_context->lobby_list.size())};
    post_result(*_context, callback_lobby_match_list, result, call, faulted, fault);
    return call;
}

u64 Matchmaking::get_lobby_by_index(i32 index)
{
    if (!usable(_context) || index < 0)
        return 0;
    Lock lock(_context->hub->mutex);
    return u32(index) < _context->lobby_list.size() ? _context->lobby_list[u32(index)] : 0;
}

bool Matchmaking::request_lobby_data(u64 lobby)
{
    if (!usable(_context))
        return false;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    FolderLock folder(hub);
    LobbyRecord r;
    if (!load_lobby(hub, lobby, &r))
        return false;
    LobbyDataUpdate u{lobby, lobby, true};
    post(*_context, callback_lobby_data_update, &u, sizeof(u));
    if (!_context->watched_lobbies.count(lobby))
        _context->watched_lobbies[lobby] = r.version;
    return true;
}

// --- Server lists ---

namespace {
u64 start_server_list(Context *c, u32 app, const char *game_dir, IServerListResponse *response)
{
    if (!usable(c) || !response)
        return 0;
    HubState &hub = *c->hub;
    Lock lock(hub.mutex);
    Fault fault = Fault::ZeroHandle;
    bool faulted;
    const u64 request = start_request(hub, Call::RequestServerList, &fault, &faulted);
    if (!request)
        return 0;
    ServerRequest &r = c->requests[request];
    r.response = response;
    for (auto &[id, s] : hub.servers) {
        if (!s->live || !s->logged_on || !s->master_active)
            continue;
        if (game_dir && strcmp(s->game_dir, game_dir) != 0)
            continue;
        (void)app; // the list holds other applications' servers too; callers filter
        r.servers.push_back(s->record);
    }
    // One response per pump, then the completion.
    u32 due = c->pumps + hub.delay;
    for (u32 i = 0; i < r.servers.size(); ++i) {
        Pending p;
        p.kind = Pending::ServerResponded;
        p.request = request;
        p.index = i32(i);
        p.due = due++;
        c->queue.push_back(std::move(p));
    }
    Pending done;
    done.kind = Pending::RefreshComplete;
    done.request = request;
    done.due = due;
    c->queue.push_back(std::move(done));
    return request;
}
} // namespace

u64 MatchmakingServers::request_internet_server_list(u32 app, const KeyValuePair *filters, u32 filter_count,
                                                     IServerListResponse *response)
{
    const char *game_dir = nullptr;
    for (u32 i = 0; filters && i < filter_count; ++i)
        if (strncmp(filters[i].key, "gamedir", sizeof(filters[i].key)) == 0)
            game_dir = filters[i].value;
    return start_server_list(_context, app, game_dir, response);
}

u64 MatchmakingServers::request_lan_server_list(u32 app, IServerListResponse *response)
{
    return start_server_list(_context, app, nullptr, response);
}

void MatchmakingServers::release_request(u64 request)
{
    if (!_context)
        return;
    Lock lock(_context->hub->mutex);
    _context->requests.erase(request);
}

const ServerDetails *MatchmakingServers::get_server_details(u64 request, i32 index)
{
    if (!usable(_context))
        return nullptr;
    Lock lock(_context->hub->mutex);
    auto it = _context->requests.find(request);
    if (it == _context->requests.end() || index < 0 || u32(index) >= it->second.servers.size())
        return nullptr;
    return &it->second.servers[u32(index)];
}

// --- Game server ---

void GameServer::log_on()
{
    if (usable(_context))
        _context->logged_on = true;
}
void GameServer::log_off()
{
    if (_context)
        _context->logged_on = false;
}
u64 GameServer::get_steam_id() { return usable(_context) ? _context->user : 0; }

void GameServer::update_server_status(i32 players, i32 max_players, i32 bots, const char *server_name,
                                      const char *, const char *map)
{
    if (!usable(_context))
        return;
    Lock lock(_context->hub->mutex);
    _context->hub->counters[u32(Call::UpdateServerStatus)]++;
    ServerDetails &d = _context->record;
    d.players = players;
    d.max_players = max_players;
    d.bots = bots;
    snprintf(d.name, sizeof(d.name), "%s", server_name ? server_name : "");
    snprintf(d.map, sizeof(d.map), "%s", map ? map : "");
}

void MasterServerUpdater::set_active(bool active)
{
    if (_context)
        _context->master_active = active && _context->live;
}

void MasterServerUpdater::set_basic_server_data(u16 protocol_version, bool, const char *, const char *,
                                                u16, bool password, const char *description)
{
    if (!usable(_context))
        return;
    Lock lock(_context->hub->mutex);
    _context->hub->counters[u32(Call::SetBasicServerData)]++;
    ServerDetails &d = _context->record;
    d.server_version = protocol_version;
    d.password = password;
    d.secure = true;
    snprintf(d.game_description, sizeof(d.game_description), "%s", description ? description : "");
}

// --- User statistics ---

namespace {
UserData *user_data(Context *c)
{
    auto it = c->hub->users.find(c->user);
    return it == c->hub->users.end() ? nullptr : &it->second;
}
} // namespace

bool UserStats::request_current_stats()
{
    if (!usable(_context))
        return false;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    hub.counters[u32(Call::RequestCurrentStats)]++;
    Fault fault = Fault::ZeroHandle;
    const bool faulted = take_fault(hub, Call::RequestCurrentStats, &fault);
    if (faulted && fault == Fault::ZeroHandle)
        return false;
    if (faulted && fault == Fault::Withhold)
        return true; // never received
    UserStatsReceived r{game_id(hub), result_ok};
    post(*_context, callback_user_stats_received, &r, sizeof(r));
    return true;
}

bool UserStats::get_achievement(const char *name, bool *out_achieved)
{
    *out_achieved = false;
    if (!usable(_context) || !name)
        return false;
    Lock lock(_context->hub->mutex);
    if (!_context->stats_received || !_context->hub->achievements_schema.count(name))
        return false;
    UserData *u = user_data(_context);
    auto it = u->achievements.find(name);
    *out_achieved = it != u->achievements.end() && it->second;
    return true;
}

bool UserStats::set_achievement(const char *name)
{
    if (!usable(_context) || !name)
        return false;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    hub.counters[u32(Call::SetAchievement)]++;
    Fault fault = Fault::ZeroHandle;
    if (take_fault(hub, Call::SetAchievement, &fault))
        return false;
    if (!_context->stats_received || !hub.achievements_schema.count(name))
        return false;
    UserData *u = user_data(_context);
    if (!u->achievements[name])
        _context->pending_achievements.insert(name);
    u->achievements[name] = true;
    return true;
}

bool UserStats::get_stat(const char *name, i32 *out_value)
{
    *out_value = 0;
    if (!usable(_context) || !name)
        return false;
    Lock lock(_context->hub->mutex);
    if (!_context->stats_received || !_context->hub->stats_schema.count(name))
        return false;
    *out_value = user_data(_context)->stats[name];
    return true;
}

bool UserStats::set_stat(const char *name, i32 value)
{
    if (!usable(_context) || !name)
        return false;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    hub.counters[u32(Call::SetStat)]++;
    Fault fault = Fault::ZeroHandle;
    if (take_fault(hub, Call::SetStat, &fault))
        return false;
    if (!_context->stats_received || !hub.stats_schema.count(name))
        return false;
    user_data(_context)->stats[name] = value;
    return true;
}

bool UserStats::store_stats()
{
    if (!usable(_context))
        return false;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    hub.counters[u32(Call::StoreStats)]++;
    Fault fault = Fault::ZeroHandle;
    const bool faulted = take_fault(hub, Call::StoreStats, &fault);
    if (faulted && fault == Fault::ZeroHandle)
        return false;
    if (!_context->stats_received)
        return false;
    if (faulted && fault == Fault::Withhold) {
        _context->pending_achievements.clear();
        return true;
    }
    for (const std::string &name : _context->pending_achievements) {
        UserAchievementStored a{};
        a.game_id = game_id(hub);
        memcpy(a.name, name.c_str(), std::min<size_t>(name.size(), sizeof(a.name)));
        post(*_context, callback_user_achievement_stored, &a, sizeof(a));
    }
    _context->pending_achievements.clear();
    UserStatsStored s{game_id(hub), faulted && fault == Fault::ResultFail ? result_fail : result_ok};
    post(*_context, callback_user_stats_stored, &s, sizeof(s));
    return true;
}

bool UserStats::reset_all_stats(bool achievements_too)
{
    if (!usable(_context))
        return false;
    Lock lock(_context->hub->mutex);
    if (!_context->stats_received)
        return false;
    UserData *u = user_data(_context);
    u->stats.clear();
    if (achievements_too)
        u->achievements.clear();
    return true;
}

// --- Leaderboards ---

namespace {
Board *board_by_handle(HubState &hub, u64 handle)
{
    for (auto &[name, b] : hub.boards)
        if (b.handle == handle)
            return &b;
    return nullptr;
}

} // namespace

Board &board_named(HubState &hub, const std::string &name)
{
    Board &b = hub.boards[name];
    if (b.handle == 0) {
        b.handle = new_handle(hub);
        b.name = name;
    }
    return b;
}

CallHandle UserStats::find_leaderboard(const char *name)
{
    if (!usable(_context) || !name)
        return 0;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    Fault fault = Fault::ZeroHandle;
    bool faulted;
    const CallHandle call = start_request(hub, Call::FindLeaderboard, &fault, &faulted);
    if (!call)
        return 0;
    LeaderboardFindResult r{0, 0};
    if (hub.boards_schema.count(name) || hub.boards.count(name)) {
        r.board = board_named(hub, name).handle;
        r.found = 1;
    }
    post_result(*_context, callback_leaderboard_find_result, r, call, faulted, fault);
    return call;
}

CallHandle UserStats::upload_leaderboard_score(u64 board, u32 method, i32 score, const i32 *details,
                                               i32 detail_count)
{
    if (!usable(_context) || detail_count < 0 || detail_count > i32(max_leaderboard_details) ||
        (detail_count > 0 && !details))
        return 0;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    Fault fault = Fault::ZeroHandle;
    bool faulted;
    const CallHandle call = start_request(hub, Call::UploadScore, &fault, &faulted);
    if (!call)
        return 0;
    LeaderboardScoreUploaded r{0, board, score};
    Board *b = board_by_handle(hub, board);
    if (b) {
        r.success = 1;
        auto it = std::find_if(b->entries.begin(), b->entries.end(),
                               [&](const BoardEntry &e) { return e.user == _context->user; });
        const bool better = it == b->entries.end() || method != 1 || score > it->score;
        if (better) {
            if (it != b->entries.end())
                b->entries.erase(it);
            BoardEntry e{_context->user, score, std::vector<i32>(details, details + detail_count)};
            auto at = std::find_if(b->entries.begin(), b->entries.end(),
                                   [&](const BoardEntry &o) { return o.score < score; });
            b->entries.insert(at, std::move(e));
        }
    }
    post_result(*_context, callback_leaderboard_score_uploaded, r, call, faulted, fault);
    return call;
}

CallHandle UserStats::download_leaderboard_entries(u64 board, u32 kind, i32 start, i32 end)
{
    if (!usable(_context))
        return 0;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    Fault fault = Fault::ZeroHandle;
    bool faulted;
    const CallHandle call = start_request(hub, Call::DownloadScores, &fault, &faulted);
    if (!call)
        return 0;
    LeaderboardScoresDownloaded r{board, 0, 0};
    Board *b = board_by_handle(hub, board);
    if (b) {
        DownloadedEntries snapshot;
        const i32 n = i32(b->entries.size());
        auto take = [&](i32 i) {
            const BoardEntry &e = b->entries[u32(i)];
            snapshot.entries.push_back({e.user, i + 1, e.score, i32(e.details.size())});
            snapshot.details.push_back(e.details);
        };
        if (kind == 0) {
            for (i32 i = std::max(start, 1) - 1; i < std::min(end, n); ++i)
                take(i);
        } else if (kind == 1) {
            i32 self = -1;
            for (i32 i = 0; i < n; ++i)
                if (b->entries[u32(i)].user == _context->user)
                    self = i;
            if (self >= 0)
                for (i32 i = std::max(self + start, 0); i <= std::min(self + end, n - 1); ++i)
                    take(i);
        } else if (kind == 2) {
            const UserData *u = user_data(_context);
            for (i32 i = 0; i < n; ++i) {
                const u64 who = b->entries[u32(i)].user;
                if (who == _context->user ||
                    (u && std::find(u->friends.begin(), u->friends.end(), who) != u->friends.end()))
                    take(i);
            }
        }
        r.entries = new_handle(hub);
        r.count = i32(snapshot.entries.size());
        hub.downloads[r.entries] = std::move(snapshot);
    }
    post_result(*_context, callback_leaderboard_scores_downloaded, r, call, faulted, fault);
    return call;
}

bool UserStats::get_downloaded_leaderboard_entry(u64 entries, i32 index, LeaderboardEntry *out_entry, i32 *details,
                                                 i32 max_details)
{
    if (!usable(_context))
        return false;
    Lock lock(_context->hub->mutex);
    auto it = _context->hub->downloads.find(entries);
    if (it == _context->hub->downloads.end() || index < 0 || u32(index) >= it->second.entries.size())
        return false;
    *out_entry = it->second.entries[u32(index)];
    const std::vector<i32> &d = it->second.details[u32(index)];
    const i32 copy = std::min(i32(d.size()), std::max(max_details, 0));
    if (copy > 0 && details)
        memcpy(details, d.data(), size_t(copy) * sizeof(i32));
    return true;
}

// --- Remote storage ---

bool RemoteStorage::is_cloud_enabled_for_app()
{
    if (!usable(_context))
        return false;
    Lock lock(_context->hub->mutex);
    return _context->hub->cloud;
}

bool RemoteStorage::file_exists(const char *name)
{
    if (!usable(_context) || !name)
        return false;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    if (hub.folder)
        return folder_file_exists(hub, _context->user, name);
    UserData *u = user_data(_context);
    return u && u->files.count(name);
}

i32 RemoteStorage::get_file_size(const char *name)
{
    if (!usable(_context) || !name)
        return 0;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    std::vector<u8> bytes;
    if (hub.folder)
        return folder_read_file(hub, _context->user, name, &bytes) ? i32(bytes.size()) : 0;
    UserData *u = user_data(_context);
    auto it = u ? u->files.find(name) : decltype(u->files.end()){};
    return u && it != u->files.end() ? i32(it->second.size()) : 0;
}

i32 RemoteStorage::file_read(const char *name, void *buffer, i32 size)
{
    if (!usable(_context) || !name || !buffer || size <= 0)
        return 0;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    hub.counters[u32(Call::FileRead)]++;
    std::vector<u8> bytes;
    if (hub.folder) {
        if (!folder_read_file(hub, _context->user, name, &bytes))
            return 0;
    } else {
        UserData *u = user_data(_context);
        if (!u || !u->files.count(name))
            return 0;
        bytes = u->files[name];
    }
    i32 n = std::min(size, i32(bytes.size()));
    Fault fault = Fault::ZeroHandle;
    if (take_fault(hub, Call::FileRead, &fault))
        n = fault == Fault::ShortRead ? n / 2 : 0;
    if (n > 0)
        memcpy(buffer, bytes.data(), size_t(n));
    return n;
}

bool RemoteStorage::file_write(const char *name, const void *data, i32 size)
{
    if (!usable(_context) || !name || size < 0 || (size > 0 && !data))
        return false;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    hub.counters[u32(Call::FileWrite)]++;
    Fault fault = Fault::ZeroHandle;
    if (take_fault(hub, Call::FileWrite, &fault))
        return false;
    if (u64(size) > hub.cloud_quota)
        return false;
    if (hub.folder)
        return folder_write_file(hub, _context->user, name, data, u32(size));
    UserData *u = user_data(_context);
    if (!u)
        return false;
    u64 used = 0;
    for (auto &[n, b] : u->files)
        if (n != name)
            used += b.size();
    if (used + u64(size) > hub.cloud_quota)
        return false;
    const u8 *bytes = static_cast<const u8 *>(data);
    u->files[name].assign(bytes, bytes + size);
    return true;
}

} // namespace tallow::steam
