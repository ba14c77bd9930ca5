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

void post(Context &c, u32 callback_id, const void *data, u32 size, CallHandle call, bool io_failure)
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


bool usable(Context *c) { return c && c->live; }

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
            // A member whose process died leaves as if it had left: the others hear of it.
            if (!load_lobby(hub, it->first, &r) || !drop_departed_members(hub, r)) {
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
// Senders whose packets wait for a session: any id may send, so their number is bounded too.
constexpr u32 max_held_senders = 64;

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
    if (!to.held.count(sender) && to.held.size() >= max_held_senders) {
        // A waiting sender (the lowest id) makes room; a later packet asks for its session again.
        to.requested.erase(to.held.begin()->first);
        to.held.erase(to.held.begin());
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
