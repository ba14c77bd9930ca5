// The network script tables (see script/services/network_api.h).
#include "script/services/network_api.h"

#include "foundation/log.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/memory_globals.h"
#include "network/field_codec.h"
#include "network/lan/lan_client.h"
#include "network/network_config_resource.h"
#include "network/network_manager.h"
#include "network/unit_synchronizer.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_stack.h"
#include "script/world/world_api.h"
#include "world/unit.h"

#include <lua.hpp>

#include <cstdio>
#include <cstring>
#include <vector>

namespace tallow {

using namespace network;

namespace {

const char *const registry_key = "tallow.network";
constexpr u32 no_id = 0xFFFFFFFF;

/// What the tables share; a full userdata in the registry, so it lives as long as the state.
struct NetworkScript {
    LuaEnvironment *env = nullptr;
    NetworkManager *manager = nullptr;
    ResourceManager *resources = nullptr;
    LanBroadcastTargets targets;
    LanClient *client = nullptr;
    const NetworkGameConfig *config = nullptr;
    std::vector<LanLobby *> lobbies; // made by these tables and still open
    lua_State *state = nullptr;
    i32 callbacks = 0;               // stack index of the callback table while one is in use
    bool in_call = false;
};

NetworkScript &context(const LuaStack &s) { return *static_cast<NetworkScript *>(s.upvalue()); }

NetworkManager &manager(const LuaStack &s)
{
    NetworkScript &c = context(s);
    if (!c.manager)
        s.error("the network service is not built yet");
    return *c.manager;
}

void push_peer(const LuaStack &s, u64 id)
{
    char text[24];
    snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(id));
    s.push_string(text);
}

u64 peer_arg(const LuaStack &s, i32 arg)
{
    const char *text = s.get_string(arg);
    u64 value = 0;
    u32 digits = 0;
    for (const char *p = text; *p; ++p, ++digits) {
        const char c = *p;
        const u32 d = c >= '0' && c <= '9' ? u32(c - '0') : c >= 'a' && c <= 'f' ? u32(c - 'a' + 10)
                    : c >= 'A' && c <= 'F' ? u32(c - 'A' + 10) : 16;
        if (d == 16 || digits >= 16)
            s.argument_message(arg, "'%s' is not a peer id (up to 16 hexadecimal digits)", text);
        value = value << 4 | d;
    }
    if (digits == 0)
        s.argument_message(arg, "'' is not a peer id");
    return value;
}

/// Marks the full userdata at `arg` released.
void clear_object(const LuaStack &s, i32 arg)
{
    void *none = nullptr;
    memcpy(lua_touserdata(s.state(), s.index(arg)), &none, sizeof(none));
}

LanClient &client_arg(const LuaStack &s, i32 arg)
{
    void *object = s.get_object(arg, "LanClient");
    if (object != context(s).client)
        s.argument_message(arg, "LanClient has been released");
    return *static_cast<LanClient *>(object);
}

LanLobby &lobby_arg(const LuaStack &s, i32 arg)
{
    void *object = s.get_object(arg, "LanLobby");
    for (LanLobby *lobby : context(s).lobbies)
        if (lobby == object)
            return *lobby;
    s.argument_message(arg, "LanLobby has been released");
}

LanLobbyBrowser &browser_arg(const LuaStack &s, i32 arg)
{
    void *object = s.get_object(arg, "LanLobbyBrowser");
    LanClient *client = context(s).client;
    if (!client || object != &client->browser())
        s.argument_message(arg, "LanLobbyBrowser has been released");
    return *static_cast<LanLobbyBrowser *>(object);
}

INetworkGame &game_arg(const LuaStack &s, i32 arg)
{
    void *object = s.get_object(arg, "NetworkGame");
    NetworkManager &m = manager(s);
    if (!m.game() || object != m.game())
        s.argument_message(arg, "NetworkGame has been released");
    return *m.game();
}

UnitSynchronizer &synchronizer_arg(const LuaStack &s, i32 arg)
{
    if (lua_type(s.state(), s.index(arg)) != LUA_TLIGHTUSERDATA)
        s.argument_error(arg, "UnitSynchronizer");
    void *pointer = lua_touserdata(s.state(), s.index(arg));
    INetworkGame *game = manager(s).game();
    if (!pointer || !game || pointer != game->unit_synchronizer())
        s.argument_message(arg, "UnitSynchronizer has been released");
    return *static_cast<UnitSynchronizer *>(pointer);
}

u32 index_arg(const LuaStack &s, i32 arg, u32 count, const char *what)
{
    if (count == 0)
        s.argument_message(arg, "there are no %s", what);
    return u32(s.get_integer(arg, 0, i64(count) - 1));
}

/// The running backend's config, whichever table started the backend (LAN or online).
const NetworkGameConfig *active_config(const NetworkScript &c)
{
    return c.manager && c.manager->backend() ? c.manager->config() : nullptr;
}

const NetworkGameConfig &config(const LuaStack &s)
{
    const NetworkGameConfig *config = active_config(context(s));
    if (!config)
        s.error("no network backend is running (Network.init_lan_client)");
    return *config;
}

// Callbacks -----------------------------------------------------------------------------------

/// Pushes callbacks[name] and the table as its first argument; false (nothing pushed)
/// when the table has no function of that name.
bool push_method(NetworkScript &c, const char *name)
{
    lua_State *L = c.state;
    lua_getfield(L, c.callbacks, name);
    if (!lua_isfunction(L, -1)) {
        lua_pop(L, 1);
        return false;
    }
    lua_pushvalue(L, c.callbacks);
    return true;
}

const u8 *on_rpc(void *user, u64 sender, const u8 *bytes, u32 remaining)
{
    NetworkScript &c = *static_cast<NetworkScript *>(user);
    const NetworkGameConfig *config = active_config(c);
    if (!c.in_call || !config || remaining < 1 || bytes[0] >= config->rpc_count())
        return nullptr;
    const RpcEntry &entry = *config->rpc(bytes[0]);
    BitReader reader(bytes + 1, remaining - 1);
    RpcValue values[max_rpc_arguments];
    if (!read_rpc_arguments(reader, entry, values))
        return nullptr; // nothing is called with a broken message
    const u8 *next = reader.cursor();
    lua_State *L = c.state;
    const i32 top = lua_gettop(L);
    char name[rpc_name_bytes];
    memcpy(name, entry.name, sizeof(name));
    name[rpc_name_bytes - 1] = 0;
    if (!push_method(c, name))
        return next;
    LuaStack s(L);
    push_peer(s, sender);
    for (u32 i = 0; i < entry.argument_count; ++i) {
        const RpcValue &v = values[i];
        switch (v.type) {
        case FieldType::Bool: s.push_bool(v.boolean); break;
        case FieldType::Int: s.push_integer(v.integer); break;
        case FieldType::Float: s.push_float(v.number[0]); break;
        case FieldType::Vector3: s.push_vector3(v.number[0], v.number[1], v.number[2]); break;
        case FieldType::Quaternion: s.push_quaternion(v.number[0], v.number[1], v.number[2], v.number[3]); break;
        case FieldType::String: s.push_string(v.text ? v.text : "", v.length); break;
        default: s.push_nil(); break;
        }
    }
    if (c.env->pcall(lua_gettop(L) - top - 1, 0).error) {
        // The name goes into the format: its percent signs must stay text.
        char format[2 * rpc_name_bytes + 32] = "RPC callback ";
        u32 at = u32(strlen(format));
        for (const char *p = name; *p; ++p) {
            format[at++] = *p;
            if (*p == '%')
                format[at++] = '%';
        }
        format[at] = 0;
        strcat(format, ", error: %s");
        c.env->report_error(format);
    }
    lua_settop(L, top);
    return next;
}

void on_object_event(void *user, u32 id, ObjectEvent event, u64 peer)
{
    NetworkScript &c = *static_cast<NetworkScript *>(user);
    static const char *const methods[] = {"game_object_created", "game_object_destroyed", "game_object_migrated_to_me",
                                          "game_object_migrated_away"};
    if (!c.in_call || u32(event) > 3)
        return;
    lua_State *L = c.state;
    const i32 top = lua_gettop(L);
    if (!push_method(c, methods[u32(event)]))
        return;
    LuaStack s(L);
    s.push_integer(id);
    push_peer(s, peer);
    if (c.env->pcall(3, 0).error)
        c.env->report_error("Game object callback error: %s");
    lua_settop(L, top);
}

/// Runs `body` with the table at `arg` as the callback table. Callbacks run on the main
/// state (the call may come from a coroutine), the table copied there meanwhile; what they
/// shut down is destroyed when the outermost bracket of the manager returns (`bracket`:
/// made here; the manager's update makes its own).
template <typename F> void with_callbacks(const LuaStack &s, i32 arg, bool bracket, F body)
{
    NetworkScript &c = context(s);
    NetworkManager &m = manager(s);
    if (!s.is_table(arg))
        s.argument_error(arg, "table");
    lua_State *main = c.env->state();
    if (!lua_checkstack(main, LUA_MINSTACK))
        s.error("out of Lua stack");
    const bool was_in_call = c.in_call;
    const i32 was_callbacks = c.callbacks;
    lua_pushvalue(s.state(), s.index(arg));
    lua_xmove(s.state(), main, 1);
    c.state = main;
    c.callbacks = lua_gettop(main);
    c.in_call = true;
    if (bracket)
        m.begin_callbacks();
    body();
    if (bracket)
        m.end_callbacks();
    lua_settop(main, c.callbacks - 1);
    c.in_call = was_in_call;
    c.callbacks = was_callbacks;
}

// Network ---------------------------------------------------------------------------------------

int init_lan_client(lua_State *L)
{
    LuaStack s(L);
    NetworkScript &c = context(s);
    NetworkManager &m = manager(s);
    const char *name = s.get_string(1);
    const u32 port = u32(s.opt_integer(2, 0, 0, 65535));
    if (c.client || m.backend())
        s.error("a network backend is running; shut it down first");
    const NetworkGameConfig *found = c.resources ? find_network_config(*c.resources, NameId64(name)) : nullptr;
    if (!found)
        s.argument_message(1, "network_game_config '%s' is not loaded", name);
    LanClientSettings settings;
    settings.port = port;
    settings.targets = c.targets;
    LanClient *client = make_new<LanClient>(default_allocator(), default_allocator(), settings);
    if (!client->is_bound() || !m.set_backend(*client, *found)) {
        // A client that receives nothing is no client: the script learns it at once.
        log_message("network", "Network.init_lan_client: no LAN client on port %u", port);
        delete_with_default_allocator(client);
        s.push_nil();
        return 1;
    }
    c.client = client;
    c.config = found;
    s.push_object(client, "LanClient");
    return 1;
}

void destroy_client(void *client) { delete_with_default_allocator(static_cast<LanClient *>(client)); }

void shut_down(NetworkScript &c)
{
    c.lobbies.clear();
    if (c.manager) {
        c.manager->shutdown_backend(); // the lobbies and the game go first
        // From a callback the update still reads the client's transport: it goes after.
        if (c.client)
            c.manager->destroy_when_safe(destroy_client, c.client);
    } else {
        delete_with_default_allocator(c.client);
    }
    c.client = nullptr;
    c.config = nullptr;
}

int shutdown_lan_client(lua_State *L)
{
    LuaStack s(L);
    client_arg(s, 1);
    shut_down(context(s));
    clear_object(s, 1);
    return 0;
}

LanClient &running_client(const LuaStack &s)
{
    LanClient *client = context(s).client;
    if (!client)
        s.error("no LAN client is running (Network.init_lan_client)");
    return *client;
}

void push_lobby(const LuaStack &s, LanLobby *lobby)
{
    NetworkScript &c = context(s);
    c.manager->add_lobby(lobby);
    c.lobbies.push_back(lobby);
    s.push_object(lobby, "LanLobby");
}

int create_lan_lobby(lua_State *L)
{
    LuaStack s(L);
    NetworkManager &m = manager(s);
    LanClient &client = running_client(s);
    const u32 port = u32(s.get_integer(1, 0, 65535));
    const u32 members = u32(s.get_integer(2, 1, lan_max_lobby_members));
    push_lobby(s, make_new<LanLobby>(m.allocator(), client.lan_transport(), client.own_peer_id(), port, members,
                                     m.allocator()));
    return 1;
}

int join_lan_lobby(lua_State *L)
{
    LuaStack s(L);
    NetworkManager &m = manager(s);
    LanClient &client = running_client(s);
    const char *text = s.get_string(1);
    const u32 port = u32(s.opt_integer(2, 0, 0, 65535));
    IpAddress address;
    if (!IpAddress::parse(text, address) || address.port == 0) {
        log_message("network", "Network.join_lan_lobby: '%s' is not an address a.b.c.d:port", text);
        s.push_nil();
        return 1;
    }
    push_lobby(s, make_new<LanLobby>(m.allocator(), client.lan_transport(), client.own_peer_id(), port, address,
                                     m.allocator()));
    return 1;
}

int leave_lan_lobby(lua_State *L)
{
    LuaStack s(L);
    LanLobby &lobby = lobby_arg(s, 1);
    NetworkScript &c = context(s);
    for (size_t i = 0; i < c.lobbies.size(); ++i)
        if (c.lobbies[i] == &lobby)
            c.lobbies.erase(c.lobbies.begin() + i);
    c.manager->remove_lobby(&lobby);
    clear_object(s, 1);
    return 0;
}

int create_game(lua_State *L)
{
    LuaStack s(L);
    INetworkGame *game = manager(s).create_game();
    if (!game)
        s.error("no game: %s", manager(s).backend() ? "a game exists already" : "no network backend is running");
    s.push_object(game, "NetworkGame");
    return 1;
}

int shutdown_game(lua_State *L)
{
    LuaStack s(L);
    manager(s).shutdown_game();
    return 0;
}

int game(lua_State *L)
{
    LuaStack s(L);
    INetworkGame *g = manager(s).game();
    if (g)
        s.push_object(g, "NetworkGame");
    else
        s.push_nil();
    return 1;
}

int player_id(lua_State *L)
{
    LuaStack s(L);
    const u64 id = manager(s).own_peer_id();
    if (id)
        push_peer(s, id);
    else
        s.push_nil();
    return 1;
}

int update(lua_State *L)
{
    LuaStack s(L);
    NetworkManager &m = manager(s);
    const f32 dt = s.get_float(1);
    NetworkScript &c = context(s);
    if (m.is_in_callbacks())
        s.error("called from inside a network callback; update after this one returns");
    with_callbacks(s, 2, false, [&] { m.update(dt, {on_rpc, &c}, {on_object_event, &c}); });
    return 0;
}

// LanClient, LanLobbyBrowser ------------------------------------------------------------------------

int lobby_browser(lua_State *L)
{
    LuaStack s(L);
    s.push_object(&client_arg(s, 1).browser(), "LanLobbyBrowser");
    return 1;
}

int browser_refresh(lua_State *L)
{
    LuaStack s(L);
    browser_arg(s, 1).refresh(u32(s.get_integer(2, 1, 65535)));
    return 0;
}

int browser_num_lobbies(lua_State *L)
{
    LuaStack s(L);
    s.push_integer(browser_arg(s, 1).lobby_count());
    return 1;
}

int browser_lobby(lua_State *L)
{
    LuaStack s(L);
    LanLobbyBrowser &browser = browser_arg(s, 1);
    const LanFoundLobby &lobby = *browser.lobby(index_arg(s, 2, browser.lobby_count(), "lobbies found"));
    lua_newtable(L);
    for (const char *key = lobby.data.next_key(nullptr); key; key = lobby.data.next_key(key)) {
        lua_pushstring(L, lobby.data.value_of(key));
        lua_setfield(L, -2, key);
    }
    char address[24];
    lobby.address.to_string(address, sizeof(address));
    lua_pushstring(L, address);
    lua_setfield(L, -2, "address");
    return 1;
}

int browser_is_refreshing(lua_State *L)
{
    LuaStack s(L);
    s.push_bool(browser_arg(s, 1).is_refreshing());
    return 1;
}

// LanLobby ---------------------------------------------------------------------------------------

void push_text(const LuaStack &s, const char *text)
{
    if (text)
        s.push_string(text);
    else
        s.push_nil();
}

int lobby_state(lua_State *L) { LuaStack s(L); s.push_integer(u32(lobby_arg(s, 1).state())); return 1; }
int lobby_set_data(lua_State *L)
{
    LuaStack s(L);
    lobby_arg(s, 1).set_data(s.get_string(2), s.get_string(3));
    return 0;
}
int lobby_get_data(lua_State *L) { LuaStack s(L); push_text(s, lobby_arg(s, 1).get_data(s.get_string(2))); return 1; }
int lobby_set_game_server(lua_State *L)
{
    LuaStack s(L);
    lobby_arg(s, 1).set_game_server(peer_arg(s, 2));
    return 0;
}
int lobby_game_server(lua_State *L)
{
    LuaStack s(L);
    const u64 id = lobby_arg(s, 1).game_server();
    if (id) push_peer(s, id);
    else s.push_nil();
    return 1;
}
int lobby_owner(lua_State *L)
{
    LuaStack s(L);
    const u64 id = lobby_arg(s, 1).owner();
    if (id) push_peer(s, id);
    else s.push_nil();
    return 1;
}
int lobby_num_members(lua_State *L) { LuaStack s(L); s.push_integer(lobby_arg(s, 1).member_count()); return 1; }
int lobby_member(lua_State *L)
{
    LuaStack s(L);
    LanLobby &lobby = lobby_arg(s, 1);
    push_peer(s, lobby.member(index_arg(s, 2, lobby.member_count(), "members")));
    return 1;
}
int lobby_set_player_data(lua_State *L)
{
    LuaStack s(L);
    lobby_arg(s, 1).set_player_data(s.get_string(2), s.get_string(3));
    return 0;
}
int lobby_get_player_data(lua_State *L)
{
    LuaStack s(L);
    push_text(s, lobby_arg(s, 1).get_player_data(s.get_string(2)));
    return 1;
}
int lobby_get_member_data(lua_State *L)
{
    LuaStack s(L);
    LanLobby &lobby = lobby_arg(s, 1);
    const u32 index = index_arg(s, 2, lobby.member_count(), "members");
    push_text(s, lobby.get_member_data(index, s.get_string(3)));
    return 1;
}

// NetworkGame ---------------------------------------------------------------------------------------

int make_server(lua_State *L) { LuaStack s(L); game_arg(s, 1).set_host(); return 0; }
int shutdown_server(lua_State *L) { LuaStack s(L); game_arg(s, 1).leave(); return 0; }
int add_client(lua_State *L) { LuaStack s(L); INetworkGame &g = game_arg(s, 1); g.add_peer(peer_arg(s, 2)); return 0; }
int remove_client(lua_State *L)
{
    LuaStack s(L);
    INetworkGame &g = game_arg(s, 1);
    g.remove_peer(peer_arg(s, 2));
    return 0;
}
int leave(lua_State *L) { LuaStack s(L); game_arg(s, 1).request_leave(); return 0; }

void push_players(const LuaStack &s, INetworkGame &g, bool others)
{
    lua_State *L = s.state();
    lua_newtable(L);
    i32 n = 0;
    for (u32 i = 0; i < g.peer_count(); ++i) {
        if (others && g.peer_id(i) == g.own_peer_id())
            continue;
        push_peer(s, g.peer_id(i));
        lua_rawseti(L, -2, ++n);
    }
}
int players(lua_State *L) { LuaStack s(L); push_players(s, game_arg(s, 1), false); return 1; }
int other_players(lua_State *L) { LuaStack s(L); push_players(s, game_arg(s, 1), true); return 1; }
int in_game(lua_State *L)
{
    LuaStack s(L);
    INetworkGame &g = game_arg(s, 1);
    s.push_bool(s.is_none_or_nil(2) ? g.has_joined() : g.has_peer(peer_arg(s, 2)));
    return 1;
}
int broken_connection(lua_State *L)
{
    LuaStack s(L);
    u64 peer = 0;
    if (game_arg(s, 1).broken_connections(&peer, 1) == 0)
        return 0;
    push_peer(s, peer);
    return 1;
}
int wants_to_leave(lua_State *L)
{
    LuaStack s(L);
    u64 peer = 0;
    if (game_arg(s, 1).leave_requests(&peer, 1) == 0)
        return 0;
    push_peer(s, peer);
    return 1;
}

int silent_players(lua_State *L)
{
    LuaStack s(L);
    INetworkGame &g = game_arg(s, 1);
    f32 seconds = 3.0f;
    if (!s.is_none_or_nil(2)) {
        seconds = s.get_float(2);
        if (!(seconds >= 0.0f && seconds <= 3600.0f))
            s.argument_message(2, "seconds between 0 and 3600 expected");
    }
    u64 peers[max_game_peers];
    const u32 count = g.silent_peers(peers, max_game_peers, seconds);
    lua_newtable(L);
    for (u32 i = 0; i < count; ++i) {
        push_peer(s, peers[i]);
        lua_rawseti(L, -2, i32(i + 1));
    }
    return 1;
}

const GameObjectType &type_arg(const LuaStack &s, i32 arg, const NetworkGameConfig &cfg)
{
    const char *name = s.get_string(arg);
    const GameObjectType *type = cfg.find_object_type(NameId32(name).value());
    if (!type)
        s.argument_message(arg, "no game object type '%s' in the network_game_config", name);
    return *type;
}

u32 field_arg(const LuaStack &s, i32 arg, const GameObjectType &type)
{
    const char *name = s.get_string(arg);
    const u32 field = type.find_field(NameId32(name).value());
    if (field == no_id)
        s.argument_message(arg, "the game object type has no field '%s'", name);
    return field;
}

/// Reads the value at `arg` for `field` into `out` (the field's size).
void field_value_arg(const LuaStack &s, i32 arg, const FieldDescriptor &field, u8 *out)
{
    switch (field.field_type()) {
    case FieldType::Bool: out[0] = s.get_bool(arg) ? 1 : 0; break;
    case FieldType::Int: {
        const i32 v = i32(s.get_integer(arg, -(i64(1) << 31), (i64(1) << 31) - 1));
        memcpy(out, &v, 4);
        break;
    }
    case FieldType::Float: {
        const f32 v = s.get_float(arg);
        memcpy(out, &v, 4);
        break;
    }
    case FieldType::Vector3: memcpy(out, s.get_vector3(arg), 12); break;
    case FieldType::Quaternion: memcpy(out, s.get_quaternion(arg), 16); break;
    case FieldType::Id: {
        const u64 v = s.get_id64(arg).value();
        memcpy(out, &v, 8);
        break;
    }
    default: s.argument_message(arg, "the field has a type no script value sets");
    }
}

u32 object_arg(const LuaStack &s, i32 arg, INetworkGame &g)
{
    const u32 id = u32(s.get_integer(arg, 0, 0xFFFF));
    if (!g.object_state(id))
        s.argument_message(arg, "no game object %u", id);
    return id;
}

int create_game_object(lua_State *L)
{
    LuaStack s(L);
    INetworkGame &g = game_arg(s, 1);
    const NetworkGameConfig &cfg = g.config();
    const GameObjectType &type = type_arg(s, 2, cfg);
    u8 state[max_object_state_bytes];
    memcpy(state, cfg.data_at(type), type.state_size);
    if (!s.is_none_or_nil(3)) {
        if (!s.is_table(3))
            s.argument_error(3, "table");
        lua_pushnil(L);
        while (lua_next(L, s.index(3))) {
            if (lua_type(L, -2) != LUA_TSTRING)
                s.argument_message(3, "field names must be strings");
            const u32 field = type.find_field(NameId32(lua_tostring(L, -2)).value());
            if (field == no_id)
                s.argument_message(3, "the game object type has no field '%s'", lua_tostring(L, -2));
            // The value sits past the arguments: its kind is checked here so that the
            // error names the table argument and the field.
            const i32 value = lua_gettop(L);
            static const char *const kinds[] = {"boolean", "number", "number", "Vector3", "Quaternion", "", "name"};
            const FieldType kind = type.fields[field].field_type();
            const bool fits = kind == FieldType::Bool ? lua_isboolean(L, value)
                            : kind == FieldType::Int || kind == FieldType::Float ? s.is_number(value)
                            : kind == FieldType::Vector3 ? s.is_vector3(value)
                            : kind == FieldType::Quaternion ? s.is_quaternion(value)
                            : s.is_string(value);
            if (!fits)
                s.argument_message(3, "field '%s': %s expected", lua_tostring(L, -2), kinds[u32(kind) % 7]);
            field_value_arg(s, value, type.fields[field], state + type.field_offset(field));
            lua_pop(L, 1);
        }
    }
    const u32 id = g.create_object(cfg.object_type_index(type), state);
    if (id == no_id)
        s.push_nil();
    else
        s.push_integer(id);
    return 1;
}

int game_object_is_type(lua_State *L)
{
    LuaStack s(L);
    INetworkGame &g = game_arg(s, 1);
    const u32 id = object_arg(s, 2, g);
    s.push_bool(g.object_type(id) == &type_arg(s, 3, g.config()));
    return 1;
}

int game_object_field(lua_State *L)
{
    LuaStack s(L);
    INetworkGame &g = game_arg(s, 1);
    const u32 id = object_arg(s, 2, g);
    const GameObjectType &type = *g.object_type(id);
    const u32 field = field_arg(s, 3, type);
    const u8 *value = g.object_state(id) + type.field_offset(field);
    f32 f[4];
    switch (type.fields[field].field_type()) {
    case FieldType::Bool: s.push_bool(value[0] != 0); break;
    case FieldType::Int: {
        i32 v;
        memcpy(&v, value, 4);
        s.push_integer(v);
        break;
    }
    case FieldType::Float: memcpy(f, value, 4); s.push_float(f[0]); break;
    case FieldType::Vector3: memcpy(f, value, 12); s.push_vector3(f[0], f[1], f[2]); break;
    case FieldType::Quaternion: memcpy(f, value, 16); s.push_quaternion(f[0], f[1], f[2], f[3]); break;
    case FieldType::Id: {
        u64 v;
        memcpy(&v, value, 8);
        push_peer(s, v); // an id reads back as its hexadecimal text
        break;
    }
    default: s.push_nil(); break;
    }
    return 1;
}

int set_game_object_field(lua_State *L)
{
    LuaStack s(L);
    INetworkGame &g = game_arg(s, 1);
    const u32 id = object_arg(s, 2, g);
    const GameObjectType &type = *g.object_type(id);
    const u32 field = field_arg(s, 3, type);
    u8 value[16];
    field_value_arg(s, 4, type.fields[field], value);
    if (g.object_owner(id) != g.own_peer_id())
        s.argument_message(2, "game object %u is owned by another peer", id);
    g.set_object_field(id, field, value);
    return 0;
}

int destroy_game_object(lua_State *L)
{
    LuaStack s(L);
    INetworkGame &g = game_arg(s, 1);
    const u32 id = object_arg(s, 2, g);
    if (!g.destroy_object(id))
        s.argument_message(2, "game object %u is owned by another peer", id);
    return 0;
}

int migrate_game_object(lua_State *L)
{
    LuaStack s(L);
    INetworkGame &g = game_arg(s, 1);
    const u32 id = object_arg(s, 2, g);
    const u64 peer = peer_arg(s, 3);
    if (!g.has_peer(peer))
        s.argument_message(3, "peer %llx is not in the game", static_cast<unsigned long long>(peer));
    bool done = false;
    with_callbacks(s, 4, true, [&] { done = g.migrate_object(id, peer); });
    if (!done)
        s.error("game object %u may be migrated only by its owner or the host", id);
    return 0;
}

int objects_owned_by(lua_State *L)
{
    LuaStack s(L);
    INetworkGame &g = game_arg(s, 1);
    const u64 peer = peer_arg(s, 2);
    Array<u32> ids(default_allocator());
    g.objects_owned_by(peer, ids);
    lua_createtable(L, i32(ids.size()), 0);
    for (u32 i = 0; i < ids.size(); ++i) {
        lua_pushnumber(L, ids[i]);
        lua_rawseti(L, -2, i32(i + 1));
    }
    return 1;
}

int unit_synchronizer(lua_State *L)
{
    LuaStack s(L);
    ISynchronizer *sync = game_arg(s, 1).unit_synchronizer();
    if (sync)
        s.push_lightuserdata(sync);
    else
        s.push_nil();
    return 1;
}

// RPC --------------------------------------------------------------------------------------------------

int rpc_call(lua_State *L)
{
    LuaStack s(L);
    NetworkScript &c = context(s);
    const u32 index = u32(lua_tonumber(L, lua_upvalueindex(3)));
    const NetworkGameConfig &cfg = config(s);
    const RpcEntry *entry = cfg.rpc(index);
    if (!entry)
        s.error("the remote call's config is gone");
    const u64 peer = peer_arg(s, 1);
    RpcValue values[max_rpc_arguments];
    for (u32 i = 0; i < entry->argument_count; ++i) {
        const i32 arg = i32(i) + 2;
        RpcValue &v = values[i];
        v.type = entry->arguments[i].field_type();
        switch (v.type) {
        case FieldType::Bool: v.boolean = s.get_bool(arg); break;
        case FieldType::Int: v.integer = i32(s.get_integer(arg, -(i64(1) << 31), (i64(1) << 31) - 1)); break;
        case FieldType::Float: v.number[0] = s.get_float(arg); break;
        case FieldType::Vector3: memcpy(v.number, s.get_vector3(arg), 12); break;
        case FieldType::Quaternion: memcpy(v.number, s.get_quaternion(arg), 16); break;
        case FieldType::String: {
            u64 length = 0;
            v.text = s.get_string(arg, &length);
            if (length > 2047)
                s.argument_message(arg, "a string argument holds at most 2047 bytes");
            v.length = u32(length);
            break;
        }
        default: break; // ids carry nothing
        }
    }
    u8 payload[max_game_message_bytes];
    BitWriter writer(payload, sizeof(payload));
    if (!write_rpc(writer, index, *entry, values, entry->argument_count))
        s.error("the arguments do not fit one message (%u bytes)", max_game_message_bytes);
    writer.flush();
    NetworkManager &m = *c.manager;
    const bool sent = m.game() ? m.game()->send_game_message(peer, payload, writer.size_bytes())
                               : m.send_message(peer, payload, writer.size_bytes());
    s.push_bool(sent);
    return 1;
}

int rpc_index(lua_State *L)
{
    LuaStack s(L);
    NetworkScript &c = context(s);
    const NetworkGameConfig *config = active_config(c);
    if (lua_type(L, 2) != LUA_TSTRING || !config)
        return 0;
    const char *name = lua_tostring(L, 2);
    const RpcEntry *entry = config->find_rpc(NameId32(name).value());
    if (!entry)
        return 0; // an unknown call is nil, not an unusable function
    lua_pushfstring(L, "RPC.%s", name);
    lua_pushlightuserdata(L, &c);
    lua_pushnumber(L, config->rpc_index(*entry));
    lua_pushcclosure(L, rpc_call, 3);
    return 1;
}

// UnitSynchronizer ----------------------------------------------------------------------------------------

int sync_set_world(lua_State *L)
{
    LuaStack s(L);
    UnitSynchronizer &sync = synchronizer_arg(s, 1);
    sync.set_world(s.is_none_or_nil(2) ? nullptr : get_world(s, 2));
    return 0;
}

int sync_spawn_unit(lua_State *L)
{
    LuaStack s(L);
    UnitSynchronizer &sync = synchronizer_arg(s, 1);
    const GameObjectType &type = type_arg(s, 2, config(s));
    const NameId64 unit_name = s.get_id64(3);
    Vector3 position{0, 0, 0};
    Quaternion rotation = quaternion_identity;
    if (!s.is_none_or_nil(4)) {
        const f32 *p = s.get_vector3(4);
        position = {p[0], p[1], p[2]};
    }
    if (!s.is_none_or_nil(5)) {
        const f32 *q = s.get_quaternion(5);
        rotation = {q[0], q[1], q[2], q[3]};
    }
    const u32 type_index = config(s).object_type_index(type);
    if (!sync.can_synchronize(type_index))
        s.argument_message(2, "the type lacks position, rotation, unit_name or synchronizer_id");
    if (!sync.world())
        s.error("no world is set (UnitSynchronizer.set_world)");
    Unit *unit = sync.spawn_unit(unit_name.value(), matrix4x4_from_quaternion(rotation, position), type_index);
    if (unit)
        s.push_unit_reference(unit->handle());
    else
        s.push_nil();
    return 1;
}

int sync_destroy_unit(lua_State *L)
{
    LuaStack s(L);
    UnitSynchronizer &sync = synchronizer_arg(s, 1);
    sync.destroy_unit(s.get_unit_handle(2)); // a stale unit is no unit
    return 0;
}

int sync_game_object_id_to_unit(lua_State *L)
{
    LuaStack s(L);
    UnitSynchronizer &sync = synchronizer_arg(s, 1);
    const UnitHandle unit = sync.unit_of(u32(s.get_integer(2, 0, 0xFFFF)));
    if (unit == null_unit_handle)
        s.push_nil();
    else
        s.push_unit_reference(unit);
    return 1;
}

int sync_unit_to_game_object_id(lua_State *L)
{
    LuaStack s(L);
    UnitSynchronizer &sync = synchronizer_arg(s, 1);
    const u32 id = sync.object_of(s.get_unit_handle(2));
    if (id == no_id)
        s.push_nil();
    else
        s.push_integer(id);
    return 1;
}

int collect(lua_State *L)
{
    auto *c = static_cast<NetworkScript *>(lua_touserdata(L, 1));
    if (c->client)
        shut_down(*c);
    c->~NetworkScript();
    return 0;
}

struct Entry {
    const char *table;
    const char *name;
    lua_CFunction function;
};

const Entry entries[] = {
    {"Network", "init_lan_client", init_lan_client},
    {"Network", "shutdown_lan_client", shutdown_lan_client},
    {"Network", "create_lan_lobby", create_lan_lobby},
    {"Network", "join_lan_lobby", join_lan_lobby},
    {"Network", "leave_lan_lobby", leave_lan_lobby},
    {"Network", "create_game", create_game},
    {"Network", "shutdown_game", shutdown_game},
    {"Network", "game", game},
    {"Network", "player_id", player_id},
    {"Network", "update", update},
    {"LanClient", "lobby_browser", lobby_browser},
    {"LanLobbyBrowser", "refresh", browser_refresh},
    {"LanLobbyBrowser", "num_lobbies", browser_num_lobbies},
    {"LanLobbyBrowser", "lobby", browser_lobby},
    {"LanLobbyBrowser", "is_refreshing", browser_is_refreshing},
    {"LanLobby", "state", lobby_state},
    {"LanLobby", "set_data", lobby_set_data},
    {"LanLobby", "get_data", lobby_get_data},
    {"LanLobby", "set_game_server", lobby_set_game_server},
    {"LanLobby", "game_server", lobby_game_server},
    {"LanLobby", "owner", lobby_owner},
    {"LanLobby", "num_members", lobby_num_members},
    {"LanLobby", "member", lobby_member},
    {"LanLobby", "set_player_data", lobby_set_player_data},
    {"LanLobby", "get_player_data", lobby_get_player_data},
    {"LanLobby", "get_member_data", lobby_get_member_data},
    {"NetworkGame", "make_server", make_server},
    {"NetworkGame", "shutdown_server", shutdown_server},
    {"NetworkGame", "add_client", add_client},
    {"NetworkGame", "remove_client", remove_client},
    {"NetworkGame", "leave", leave},
    {"NetworkGame", "players", players},
    {"NetworkGame", "other_players", other_players},
    {"NetworkGame", "in_game", in_game},
    {"NetworkGame", "broken_connection", broken_connection},
    {"NetworkGame", "wants_to_leave", wants_to_leave},
    {"NetworkGame", "silent_players", silent_players},
    {"NetworkGame", "create_game_object", create_game_object},
    {"NetworkGame", "game_object_is_type", game_object_is_type},
    {"NetworkGame", "game_object_field", game_object_field},
    {"NetworkGame", "set_game_object_field", set_game_object_field},
    {"NetworkGame", "destroy_game_object", destroy_game_object},
    {"NetworkGame", "migrate_game_object", migrate_game_object},
    {"NetworkGame", "objects_owned_by", objects_owned_by},
    {"NetworkGame", "unit_synchronizer", unit_synchronizer},
    {"UnitSynchronizer", "set_world", sync_set_world},
    {"UnitSynchronizer", "spawn_unit", sync_spawn_unit},
    {"UnitSynchronizer", "destroy_unit", sync_destroy_unit},
    {"UnitSynchronizer", "game_object_id_to_unit", sync_game_object_id_to_unit},
    {"UnitSynchronizer", "unit_to_game_object_id", sync_unit_to_game_object_id},
};

} // namespace

void register_network_api(LuaEnvironment &env, NetworkManager *manager, ResourceManager *resources,
                          const LanBroadcastTargets &targets)
{
    lua_State *L = env.state();
    if (!manager) {
        for (const Entry &e : entries)
            add_missing_service_function(env, e.table, e.name, "network");
        return;
    }
    auto *c = new (lua_newuserdata(L, sizeof(NetworkScript))) NetworkScript();
    c->env = &env;
    c->manager = manager;
    c->resources = resources;
    c->targets = targets;
    c->state = L;
    lua_newtable(L);
    lua_pushcfunction(L, collect);
    lua_setfield(L, -2, "__gc");
    lua_setmetatable(L, -2);
    lua_setfield(L, LUA_REGISTRYINDEX, registry_key);
    for (const Entry &e : entries)
        env.add_module_function(e.table, e.name, e.function, c);
    env.add_module_metamethod("RPC", "__index", rpc_index, c);
    env.add_module_number("LanLobby", "CREATING", 0);
    env.add_module_number("LanLobby", "JOINING", 1);
    env.add_module_number("LanLobby", "JOINED", 2);
    env.add_module_number("LanLobby", "FAILED", 3);
}

} // namespace tallow
