// The network script tables (see script/services/network_api.h).
#include "script/services/network_api.h"

#include "foundation/log.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/memory_globals.h"
#include "network/field_codec.h"
#include "network/lan/lan_client.h"
#include "network/network_config_resource.h"
#include "network/network_manager.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_stack.h"
#include "script/services/network_api_internal.h"
#include "script/world/world_api.h"

#include <lua.hpp>

#include <cstdio>
#include <cstring>
#include <vector>

namespace tallow {

using namespace network;
using namespace network_api;

namespace {

const char *const registry_key = "tallow.network";

} // namespace

namespace network_api {

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

} // namespace network_api

namespace {

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
int collect(lua_State *L)
{
    auto *c = static_cast<NetworkScript *>(lua_touserdata(L, 1));
    if (c->client)
        shut_down(*c);
    c->~NetworkScript();
    return 0;
}

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
};

} // namespace


void register_network_api(LuaEnvironment &env, NetworkManager *manager, ResourceManager *resources,
                          const LanBroadcastTargets &targets)
{
    lua_State *L = env.state();
    if (!manager) {
        for (const Entry &e : entries)
            add_missing_service_function(env, e.table, e.name, "network");
        for (u32 i = 0; i < network_game_entry_count; ++i)
            add_missing_service_function(env, network_game_entries[i].table, network_game_entries[i].name, "network");
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
    for (u32 i = 0; i < network_game_entry_count; ++i)
        env.add_module_function(network_game_entries[i].table, network_game_entries[i].name,
                                network_game_entries[i].function, c);
    env.add_module_metamethod("RPC", "__index", rpc_index, c);
    env.add_module_number("LanLobby", "CREATING", 0);
    env.add_module_number("LanLobby", "JOINING", 1);
    env.add_module_number("LanLobby", "JOINED", 2);
    env.add_module_number("LanLobby", "FAILED", 3);
}

} // namespace tallow