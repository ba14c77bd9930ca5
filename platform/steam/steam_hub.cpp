// The online-services stand-in: life, pumps, registrations, users, P2P, matchmaking,
// server lists, statistics, leaderboards and remote storage (see steam_platform.h for
// the behaviours chosen).
#include "platform/steam/steam_hub_internal.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace tallow::steam {

namespace {

std::atomic<HubState *> g_hub{nullptr};
std::atomic<u64> g_user{0};
HubState *g_folder_hub = nullptr; // the process's folder hub, kept for the whole run

using Lock = std::lock_guard<std::recursive_mutex>;

Context *client_context(HubState &hub, u64 user)
{
    auto it = hub.clients.find(user);
    if (it != hub.clients.end())
        return it->second.get();
    auto context = std::make_unique<Context>();
    Context *c = context.get();
    c->hub = &hub;
    c->user = user;
    c->user_if._context = c;
    c->friends_if._context = c;
    c->utils_if._context = c;
    c->apps_if._context = c;
    c->client_if._context = c;
    c->networking_if._context = c;
    c->matchmaking_if._context = c;
    c->servers_if._context = c;
    c->stats_if._context = c;
    c->storage_if._context = c;
    hub.clients[user] = std::move(context);
    return c;
}

Context *current_client()
{
    HubState *hub = g_hub.load();
    if (!hub)
        return nullptr;
    Lock lock(hub->mutex);
    return client_context(*hub, g_user.load());
}

void post(Context &c, u32 callback_id, const void *data, u32 size, CallHandle call = 0, bool io_failure = false)
{
    Pending p;
    p.kind = call ? Pending::CallResult : Pending::Callback;
    p.callback_id = callback_id;
    p.call = call;
    p.data.assign(static_cast<const u8 *>(data), static_cast<const u8 *>(data) + size);
    p.io_failure = io_failure;
    p.due = c.pumps + c.hub->delay;
    c.queue.push_back(std::move(p));
}

CallHandle new_handle(HubState &hub) { return hub.next_handle++; }

/// Starts a request: counts it, applies an injected fault. Returns 0 for a zero handle;
/// `out_fault` tells the caller how to shape the result.
CallHandle start_request(HubState &hub, Call call, Fault *out_fault, bool *out_faulted)
{
    hub.counters[u32(call)]++;
    *out_faulted = take_fault(hub, call, out_fault);
    if (*out_faulted && *out_fault == Fault::ZeroHandle)
        return 0;
    return new_handle(hub);
}

template <typename T> void post_result(Context &c, u32 id, const T &data, CallHandle call, bool faulted, Fault fault)
{
    if (faulted && fault == Fault::Withhold)
        return;
    post(c, id, &data, sizeof(T), call, faulted && fault == Fault::IoFailure);
}

bool usable(Context *c) { return c && c->live; }

void deliver(Context &c)
{
    HubState &hub = *c.hub;
    std::vector<Pending> due;
    {
        Lock lock(hub.mutex);
        c.pumps++;
        for (auto it = c.queue.begin(); it != c.queue.end();) {
            if (it->due <= c.pumps) {
                if (it->kind == Pending::Callback && it->callback_id == callback_user_stats_received)
                    c.stats_received = true; // statistics can be set from here on
                due.push_back(std::move(*it));
                it = c.queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    Context *process = c.server ? c.owner : &c;
    for (const Pending &p : due) {
        if (p.kind == Pending::ServerResponded || p.kind == Pending::RefreshComplete) {
            IServerListResponse *response = nullptr;
            {
                Lock lock(hub.mutex);
                auto it = c.requests.find(p.request);
                if (it != c.requests.end())
                    response = it->second.response;
            }
            if (!response)
                continue;
            if (p.kind == Pending::ServerResponded)
                response->server_responded(p.request, p.index);
            else
                response->refresh_complete(p.request, 0);
            continue;
        }
        // Find every registration first, then call: a function may unregister others.
        std::vector<Registration> targets;
        {
            Lock lock(hub.mutex);
            for (auto &[id, r] : hub.registrations) {
                if (p.kind == Pending::CallResult) {
                    if (r.result_function && r.call == p.call)
                        targets.push_back(r);
                } else if (r.function && r.callback_id == p.callback_id && r.owner == process &&
                           r.game_server == c.server) {
                    targets.push_back(r);
                }
            }
        }
        for (const Registration &r : targets) {
            if (p.kind == Pending::CallResult)
                r.result_function(r.object, p.data.data(), p.io_failure);
            else
                r.function(r.object, p.data.data());
        }
    }
}

void arrive(Context &to, u64 sender, u32 channel, const u8 *bytes, u32 size);

void leave_all_lobbies(HubState &hub, u64 user)
{
    FolderLock folder(hub);
    for (u64 id : list_lobbies(hub)) {
        LobbyRecord r;
        if (!load_lobby(hub, id, &r))
            continue;
        auto it = std::find(r.members.begin(), r.members.end(), user);
        if (it == r.members.end())
            continue;
        r.members.erase(it);
        if (r.members.empty()) {
            erase_lobby(hub, id);
            continue;
        }
        if (r.owner == user)
            r.owner = r.members[0];
        store_lobby(hub, r);
    }
}

} // namespace

u64 game_id(HubState &hub) { return hub.callback_game_id == ~u64(0) ? hub.app_id : hub.callback_game_id; }

bool take_fault(HubState &hub, Call call, Fault *out)
{
    FaultSlot &slot = hub.faults[u32(call)];
    if (slot.count == 0)
        return false;
    slot.count--;
    *out = slot.fault;
    return true;
}

Context *find_context(HubState &hub, u64 id)
{
    auto c = hub.clients.find(id);
    if (c != hub.clients.end() && c->second->live)
        return c->second.get();
    auto s = hub.servers.find(id);
    if (s != hub.servers.end() && s->second->live)
        return s->second.get();
    return nullptr;
}

// --- Registrations ---

void register_callback(CallbackRegistration &slot, u32 callback_id, bool game_server, CallbackFunction function,
                       void *object)
{
    unregister_callback(slot);
    HubState *hub = g_hub.load();
    if (!hub)
        return;
    Lock lock(hub->mutex);
    Registration r;
    r.owner = client_context(*hub, g_user.load());
    r.callback_id = callback_id;
    r.game_server = game_server;
    r.function = function;
    r.object = object;
    slot.id = hub->next_registration++;
    hub->registrations[slot.id] = r;
}

void unregister_callback(CallbackRegistration &slot)
{
    if (slot.id == 0)
        return;
    HubState *hub = g_hub.load();
    if (hub) {
        Lock lock(hub->mutex);
        hub->registrations.erase(slot.id);
    }
    slot.id = 0;
}

void register_call_result(CallbackRegistration &slot, CallHandle call, CallResultFunction function, void *object)
{
    unregister_callback(slot);
    HubState *hub = g_hub.load();
    if (!hub || call == 0)
        return;
    Lock lock(hub->mutex);
    Registration r;
    r.owner = client_context(*hub, g_user.load());
    r.call = call;
    r.result_function = function;
    r.object = object;
    slot.id = hub->next_registration++;
    hub->registrations[slot.id] = r;
}

void unregister_call_result(CallbackRegistration &slot) { unregister_callback(slot); }

// --- Life ---

bool api_init()
{
    HubState *hub = g_hub.load();
    if (!hub) {
        const char *root = getenv("TALLOW_STEAM_ROOT");
        const char *user_text = getenv("TALLOW_STEAM_USER");
        if (!root || !*root || !user_text)
            return false;
        const u64 user = strtoull(user_text, nullptr, 16);
        if (user == 0)
            return false;
        if (!g_folder_hub)
            g_folder_hub = open_folder_hub(root, user, getenv("TALLOW_STEAM_NAME"));
        if (!g_folder_hub)
            return false;
        hub = g_folder_hub;
        g_hub.store(hub);
        g_user.store(user);
    }
    Lock lock(hub->mutex);
    if (hub->users.find(g_user.load()) == hub->users.end())
        return false;
    Context *c = client_context(*hub, g_user.load());
    if (c->live)
        return true;
    c->live = true;
    c->queue.clear();
    c->inbox.clear();
    c->held.clear();
    c->accepted.clear();
    c->requested.clear();
    c->stats_received = false;
    if (hub->folder && !folder_open_endpoint(*hub, *c)) {
        c->live = false;
        return false;
    }
    return true;
}

void api_shutdown()
{
    HubState *hub = g_hub.load();
    if (!hub)
        return;
    Lock lock(hub->mutex);
    Context *c = client_context(*hub, g_user.load());
    if (!c->live)
        return;
    if (c->game_server && c->game_server->live)
        game_server_shutdown();
    leave_all_lobbies(*hub, c->user);
    c->live = false;
    c->queue.clear();
    c->inbox.clear();
    c->held.clear();
    c->requests.clear();
    c->watched_lobbies.clear();
    if (hub->folder)
        folder_close_endpoint(*hub, *c);
}

void run_callbacks()
{
    Context *c = current_client();
    if (!usable(c))
        return;
    HubState &hub = *c->hub;
    {
        Lock lock(hub.mutex);
        if (hub.folder)
            folder_receive(hub, *c, arrive);
        // Lobby changes reach the members and those who asked for the lobby's data.
        FolderLock folder(hub);
        for (auto it = c->watched_lobbies.begin(); it != c->watched_lobbies.end();) {
            LobbyRecord r;
            if (!load_lobby(hub, it->first, &r)) {
                it = c->watched_lobbies.erase(it);
                continue;
            }
            if (r.version != it->second) {
                it->second = r.version;
                LobbyDataUpdate u{r.id, r.id, true};
                post(*c, callback_lobby_data_update, &u, sizeof(u));
                c->queue.back().due = c->pumps + 1; // this pump
            }
            ++it;
        }
    }
    deliver(*c);
}

bool is_steam_running() { return usable(current_client()); }
void set_mini_dump_comment(const char *) {}
void write_mini_dump(u32, void *, u32) {}

bool game_server_init(u32 ip, u16, u16 game_port, u16, u16 query_port, u32, const char *game_dir, const char *version)
{
    (void)version;
    HubState *hub = g_hub.load();
    if (!hub)
        return false;
    Lock lock(hub->mutex);
    Context *owner = client_context(*hub, g_user.load());
    const u64 id = 0x0190000000000000ull | (owner->user & 0xFFFFFFFFull);
    auto &slot = hub->servers[id];
    if (!slot) {
        slot = std::make_unique<Context>();
        slot->hub = hub;
        slot->user = id;
        slot->server = true;
        slot->networking_if._context = slot.get();
        slot->game_server_if._context = slot.get();
        slot->master_if._context = slot.get();
    }
    Context *s = slot.get();
    s->owner = owner;
    owner->game_server = s;
    s->live = true;
    s->queue.clear();
    s->inbox.clear();
    s->held.clear();
    s->accepted.clear();
    s->logged_on = false;
    s->master_active = false;
    s->record = ServerDetails{};
    s->record.ip = ip ? ip : 0x7F000001;
    s->record.connection_port = game_port;
    s->record.query_port = query_port;
    s->record.steam_id = id;
    s->record.app_id = hub->app_id;
    snprintf(s->game_dir, sizeof(s->game_dir), "%s", game_dir ? game_dir : "");
    return true;
}

void game_server_run_callbacks()
{
    Context *owner = current_client();
    if (!owner || !owner->game_server || !owner->game_server->live)
        return;
    deliver(*owner->game_server);
}

void game_server_shutdown()
{
    Context *owner = current_client();
    if (!owner || !owner->game_server)
        return;
    Lock lock(owner->hub->mutex);
    Context *s = owner->game_server;
    s->live = false;
    s->logged_on = false;
    s->queue.clear();
    s->inbox.clear();
    s->held.clear();
}

// --- Accessors ---

#define TALLOW_CLIENT_ACCESSOR(type, name, member)                                                                \
    type *name()                                                                                                   \
    {                                                                                                              \
        Context *c = current_client();                                                                             \
        return usable(c) ? &c->member : nullptr;                                                                   \
    }
TALLOW_CLIENT_ACCESSOR(User, user, user_if)
TALLOW_CLIENT_ACCESSOR(Friends, friends, friends_if)
TALLOW_CLIENT_ACCESSOR(Utils, utils, utils_if)
TALLOW_CLIENT_ACCESSOR(Apps, apps, apps_if)
TALLOW_CLIENT_ACCESSOR(Client, client, client_if)
TALLOW_CLIENT_ACCESSOR(Networking, networking, networking_if)
TALLOW_CLIENT_ACCESSOR(Matchmaking, matchmaking, matchmaking_if)
TALLOW_CLIENT_ACCESSOR(MatchmakingServers, matchmaking_servers, servers_if)
TALLOW_CLIENT_ACCESSOR(UserStats, user_stats, stats_if)
TALLOW_CLIENT_ACCESSOR(RemoteStorage, remote_storage, storage_if)
#undef TALLOW_CLIENT_ACCESSOR

#define TALLOW_SERVER_ACCESSOR(type, name, member)                                                                \
    type *name()                                                                                                   \
    {                                                                                                              \
        Context *c = current_client();                                                                             \
        return c && c->game_server && c->game_server->live ? &c->game_server->member : nullptr;                    \
    }
TALLOW_SERVER_ACCESSOR(GameServer, game_server, game_server_if)
TALLOW_SERVER_ACCESSOR(Networking, game_server_networking, networking_if)
TALLOW_SERVER_ACCESSOR(MasterServerUpdater, master_server_updater, master_if)
#undef TALLOW_SERVER_ACCESSOR

// --- User, friends, utils, apps, client ---

u64 User::get_steam_id() { return usable(_context) ? _context->user : 0; }

bool User::logged_on()
{
    if (!usable(_context))
        return false;
    Lock lock(_context->hub->mutex);
    auto it = _context->hub->users.find(_context->user);
    return it != _context->hub->users.end() && it->second.logged_on;
}

const char *Friends::get_friend_persona_name(u64 user)
{
    if (!usable(_context))
        return "";
    Lock lock(_context->hub->mutex);
    auto it = _context->hub->users.find(user);
    return it == _context->hub->users.end() ? _context->hub->unknown_name.c_str() : it->second.persona.c_str();
}

u32 Utils::get_app_id() { return usable(_context) ? _context->hub->app_id : 0; }
const char *Apps::get_current_game_language() { return usable(_context) ? _context->hub->language.c_str() : ""; }
void Client::set_warning_message_hook(WarningHook hook)
{
    if (usable(_context))
        _context->warning_hook = hook; // stored, never called
}

// --- P2P ---

namespace {

constexpr u32 max_held_per_peer = 64;

void arrive(Context &to, u64 sender, u32 channel, const u8 *bytes, u32 size)
{
    Packet p;
    p.sender = sender;
    p.channel = channel;
    p.bytes.assign(bytes, bytes + size);
    if (to.accepted.count(sender)) {
        to.inbox.push_back(std::move(p));
        return;
    }
    auto &held = to.held[sender];
    held.push_back(std::move(p));
    if (held.size() > max_held_per_peer)
        held.pop_front();
    if (to.requested.insert(sender).second) {
        P2PSessionRequest request{sender};
        post(to, callback_p2p_session_request, &request, sizeof(request));
    }
}

void accept(Context &c, u64 remote)
{
    if (!c.accepted.insert(remote).second)
        return;
    auto it = c.held.find(remote);
    if (it == c.held.end())
        return;
    for (Packet &p : it->second)
        c.inbox.push_back(std::move(p));
    c.held.erase(it);
}

} // namespace

bool Networking::send_p2p_packet(u64 remote, const void *data, u32 size, u32, u32 channel)
{
    if (!usable(_context) || size > max_p2p_bytes || (size > 0 && !data))
        return false;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    hub.counters[u32(Call::SendP2P)]++;
    Fault fault = Fault::ZeroHandle;
    if (take_fault(hub, Call::SendP2P, &fault))
        return false;
    accept(*_context, remote); // sending to a peer accepts its session
    const u8 *bytes = static_cast<const u8 *>(data);
    std::uniform_real_distribution<f32> roll(0.0f, 1.0f);
    if (hub.p2p.loss > 0 && roll(hub.random) < hub.p2p.loss)
        return true;
    Context *to = find_context(hub, remote);
    if (!to)
        return hub.folder && folder_send(hub, *_context, remote, channel, data, size);
    const bool duplicate = hub.p2p.duplicate > 0 && roll(hub.random) < hub.p2p.duplicate;
    if (hub.p2p.reorder > 0 && !to->has_reordered && roll(hub.random) < hub.p2p.reorder) {
        to->reordered.sender = _context->user;
        to->reordered.channel = channel;
        to->reordered.bytes.assign(bytes, bytes + size);
        to->has_reordered = true;
        return true;
    }
    arrive(*to, _context->user, channel, bytes, size);
    if (duplicate)
        arrive(*to, _context->user, channel, bytes, size);
    if (to->has_reordered) {
        to->has_reordered = false;
        Packet late = std::move(to->reordered);
        arrive(*to, late.sender, late.channel, late.bytes.data(), u32(late.bytes.size()));
    }
    return true;
}

bool Networking::read_p2p_packet(void *buffer, u32 capacity, u32 *out_size, u64 *out_remote, u32 channel)
{
    if (!usable(_context))
        return false;
    HubState &hub = *_context->hub;
    Lock lock(hub.mutex);
    if (hub.folder && !_context->server)
        folder_receive(hub, *_context, arrive);
    for (auto it = _context->inbox.begin(); it != _context->inbox.end();) {
        if (it->channel != channel) {
            ++it;
            continue;
        }
        Packet p = std::move(*it);
        it = _context->inbox.erase(it);
        if (p.bytes.size() > capacity)
            continue; // never report more than fits
        if (!p.bytes.empty())
            memcpy(buffer, p.bytes.data(), p.bytes.size());
        *out_size = u32(p.bytes.size());
        *out_remote = p.sender;
        return true;
    }
    return false;
}

bool Networking::accept_p2p_session_with_user(u64 remote)
{
    if (!usable(_context))
        return false;
    Lock lock(_context->hub->mutex);
    accept(*_context, remote);
    return true;
}

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
        else if (load_lobby(hub, lobby, &r) && r.app == hub.app_id) {
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
            if (load_lobby(hub, id, &r) && r.app == hub.app_id && r.type == 2)
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

Board &board_named(HubState &hub, const std::string &name)
{
    Board &b = hub.boards[name];
    if (b.handle == 0) {
        b.handle = new_handle(hub);
        b.name = name;
    }
    return b;
}
} // namespace

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

// --- Hub control ---

Hub::Hub() : _state(new HubState) {}

Hub::~Hub()
{
    if (g_hub.load() == _state) {
        g_hub.store(nullptr);
        g_user.store(0);
    }
    delete _state;
}

void Hub::add_user(u64 id, const char *persona_name, bool logged_on)
{
    Lock lock(_state->mutex);
    UserData &u = _state->users[id];
    u.persona = persona_name ? persona_name : "";
    u.logged_on = logged_on;
}

void Hub::add_friend(u64 user, u64 friend_id)
{
    Lock lock(_state->mutex);
    _state->users[user].friends.push_back(friend_id);
}

void Hub::set_app(u32 app_id, const char *language, bool cloud)
{
    Lock lock(_state->mutex);
    _state->app_id = app_id;
    _state->language = language ? language : "";
    _state->cloud = cloud;
}

void Hub::set_schema(const std::vector<std::string> &achievements, const std::vector<std::string> &stats,
                     const std::vector<std::string> &leaderboards)
{
    Lock lock(_state->mutex);
    _state->achievements_schema = {achievements.begin(), achievements.end()};
    _state->stats_schema = {stats.begin(), stats.end()};
    _state->boards_schema = {leaderboards.begin(), leaderboards.end()};
}

void Hub::set_delay(u32 pumps)
{
    Lock lock(_state->mutex);
    _state->delay = std::max(pumps, 1u);
}

void Hub::fail_next(Call call, Fault fault, u32 count)
{
    Lock lock(_state->mutex);
    _state->faults[u32(call)] = {fault, count};
}

void Hub::set_p2p_faults(const P2PFaults &faults)
{
    Lock lock(_state->mutex);
    _state->p2p = faults;
    _state->random.seed(faults.seed);
}

void Hub::set_callback_game_id(u64 game_id)
{
    Lock lock(_state->mutex);
    _state->callback_game_id = game_id;
}

void Hub::set_cloud_quota(u64 bytes)
{
    Lock lock(_state->mutex);
    _state->cloud_quota = bytes;
}

u32 Hub::call_count(Call call) const
{
    Lock lock(_state->mutex);
    return _state->counters[u32(call)];
}

void Hub::seed_leaderboard(const char *name, u64 user, i32 score, const std::vector<i32> &details)
{
    Lock lock(_state->mutex);
    Board &b = board_named(*_state, name);
    auto at = std::find_if(b.entries.begin(), b.entries.end(), [&](const BoardEntry &o) { return o.score < score; });
    b.entries.insert(at, BoardEntry{user, score, details});
}

bool Hub::achieved(u64 user, const char *name) const
{
    Lock lock(_state->mutex);
    auto u = _state->users.find(user);
    if (u == _state->users.end())
        return false;
    auto a = u->second.achievements.find(name);
    return a != u->second.achievements.end() && a->second;
}

i32 Hub::stat(u64 user, const char *name) const
{
    Lock lock(_state->mutex);
    auto u = _state->users.find(user);
    if (u == _state->users.end())
        return 0;
    auto s = u->second.stats.find(name);
    return s == u->second.stats.end() ? 0 : s->second;
}

u32 Hub::lobby_count() const
{
    Lock lock(_state->mutex);
    return u32(list_lobbies(*_state).size());
}

std::vector<u64> Hub::lobby_members(u64 lobby) const
{
    Lock lock(_state->mutex);
    LobbyRecord r;
    return load_lobby(*_state, lobby, &r) ? r.members : std::vector<u64>{};
}

bool Hub::file(u64 user, const char *name, std::vector<u8> *out_bytes) const
{
    Lock lock(_state->mutex);
    auto u = _state->users.find(user);
    if (u == _state->users.end())
        return false;
    auto f = u->second.files.find(name);
    if (f == u->second.files.end())
        return false;
    *out_bytes = f->second;
    return true;
}

void Hub::set_file(u64 user, const char *name, const std::vector<u8> &bytes)
{
    Lock lock(_state->mutex);
    _state->users[user].files[name] = bytes;
}

void Hub::add_server(const ServerDetails &details, const char *game_dir)
{
    Lock lock(_state->mutex);
    const u64 id = details.steam_id ? details.steam_id : new_handle(*_state);
    auto &slot = _state->servers[id];
    slot = std::make_unique<Context>();
    slot->hub = _state;
    slot->user = id;
    slot->server = true;
    slot->live = true;
    slot->logged_on = true;
    slot->master_active = true;
    slot->record = details;
    slot->record.steam_id = id;
    snprintf(slot->game_dir, sizeof(slot->game_dir), "%s", game_dir ? game_dir : "");
}

u32 Hub::held_packets(u64 user) const
{
    Lock lock(_state->mutex);
    Context *c = find_context(*_state, user);
    if (!c)
        return 0;
    u32 n = 0;
    for (auto &[peer, packets] : c->held)
        n += u32(packets.size());
    return n;
}

HubUser::HubUser(Hub &hub, u64 user) : _previous_hub(g_hub.load()), _previous_user(g_user.load())
{
    g_hub.store(hub.state());
    g_user.store(user);
}

HubUser::~HubUser()
{
    g_hub.store(_previous_hub);
    g_user.store(_previous_user);
}

void set_current_user(Hub *hub, u64 user)
{
    g_hub.store(hub ? hub->state() : nullptr);
    g_user.store(user);
}

} // namespace tallow::steam
