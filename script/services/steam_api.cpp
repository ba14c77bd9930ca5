// The online-services script tables (see script/services/steam_api.h).
#include "script/services/steam_api.h"
#include "script/services/steam_api_internal.h"

#include "foundation/io/memory_buffer.h"
#include "foundation/io/output_archive.h"
#include "foundation/io/shared_reference.h"
#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "network/network_manager.h"
#include "network/steam/leaderboard_details.h"
#include "network/steam/steam_backends.h"
#include "network/steam/steam_cloud.h"
#include "network/steam/steam_core.h"
#include "network/steam/steam_leaderboards.h"
#include "network/steam/steam_lobby.h"
#include "network/steam/steam_stats.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_stack.h"
#include "script/runtime/save_encoding.h"

#include <lua.hpp>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace tallow {

using namespace network;
using namespace network::steam;

namespace steam_script {

// --- Typed userdata: a fixed-size block whose metatable is a registry class table ---

void *push_block(const LuaStack &s, const char *type_name, const void *bytes, u32 size)
{
    void *block = lua_newuserdata(s.state(), size);
    memcpy(block, bytes, size);
    s.push_class_table(type_name);
    lua_setmetatable(s.state(), -2);
    return block;
}

/// The block of argument `arg`: a userdata of `type_name` exactly `size` bytes long.
const void *check_block(const LuaStack &s, i32 arg, const char *type_name, u32 size)
{
    lua_State *L = s.state();
    const i32 i = s.index(arg);
    bool same = false;
    if (lua_type(L, i) == LUA_TUSERDATA && lua_getmetatable(L, i)) {
        lua_getfield(L, LUA_REGISTRYINDEX, type_name);
        same = lua_rawequal(L, -1, -2);
        lua_pop(L, 2);
    }
    if (!same || lua_objlen(L, i) != size)
        s.argument_error(arg, type_name);
    return lua_touserdata(L, i);
}

void set_field_string(lua_State *L, const char *key, const char *value)
{
    lua_pushstring(L, value);
    lua_setfield(L, -2, key);
}
void set_field_number(lua_State *L, const char *key, f64 value)
{
    lua_pushnumber(L, value);
    lua_setfield(L, -2, key);
}
void set_field_bool(lua_State *L, const char *key, bool value)
{
    lua_pushboolean(L, value);
    lua_setfield(L, -2, key);
}

int nothing(lua_State *) { return 0; }

} // namespace steam_script

using namespace steam_script;

namespace {

/// What the tables share; a full userdata kept in the registry, alive as long as the state.
struct SteamScript {
    NetworkManager *manager;
    NetworkConfigLookup configs;
    void *configs_user;
};

SteamScript &context(const LuaStack &s) { return *static_cast<SteamScript *>(s.upvalue()); }

NetworkManager &manager(const LuaStack &s)
{
    NetworkManager *m = context(s).manager;
    if (!m)
        s.error("the network service is not built yet");
    return *m;
}

struct ObjectRef {
    void *object;
    u64 serial;
};

void push_ref(const LuaStack &s, const char *type_name, void *object, u64 serial)
{
    const ObjectRef ref{object, serial};
    push_block(s, type_name, &ref, sizeof(ref));
}

template <typename T> T &check_ref(const LuaStack &s, i32 arg, const char *type_name, SteamObjectKind kind)
{
    ObjectRef ref;
    memcpy(&ref, check_block(s, arg, type_name, sizeof(ObjectRef)), sizeof(ref));
    if (!is_live_steam_object(ref.object, ref.serial, kind))
        s.argument_message(arg, "%s has been released", type_name);
    return *static_cast<T *>(ref.object);
}

void push_id(const LuaStack &s, u64 id)
{
    char text[24];
    snprintf(text, sizeof(text), "%" PRIx64, id);
    s.push_string(text);
}

u64 id_arg(const LuaStack &s, i32 arg)
{
    const char *text = s.get_string(arg);
    u64 value = 0;
    u32 digits = 0;
    for (const char *p = text; *p; ++p, ++digits) {
        const char c = *p;
        const u32 d = c >= '0' && c <= '9' ? u32(c - '0') : c >= 'a' && c <= 'f' ? u32(c - 'a' + 10)
                    : c >= 'A' && c <= 'F' ? u32(c - 'A' + 10) : 16;
        if (d == 16 || digits >= 16)
            s.argument_message(arg, "'%s' is not an id (up to 16 hexadecimal digits)", text);
        value = value << 4 | d;
    }
    if (digits == 0)
        s.argument_message(arg, "'' is not an id");
    return value;
}

// --- Steam ---

SteamCore &core(const LuaStack &s)
{
    SteamCore *c = steam_services().core;
    if (!c)
        s.error("the online services are not running");
    return *c;
}

int steam_connected(lua_State *L)
{
    LuaStack s(L);
    s.push_bool(core(s).logged_on());
    return 1;
}

int steam_language(lua_State *L)
{
    LuaStack s(L);
    const char *name = core(s).game_language();
    const char *code = steam_language_code(name);
    if (!code) {
        log_message("Steam", "Failed to find language code for : %s", name);
        code = "en";
    }
    s.push_string(code);
    return 1;
}

int steam_user_id(lua_State *L)
{
    LuaStack s(L);
    push_id(s, core(s).user_id());
    return 1;
}

int steam_user_name(lua_State *L)
{
    LuaStack s(L);
    SteamCore &c = core(s);
    const u64 id = s.is_none_or_nil(1) ? c.user_id() : id_arg(s, 1);
    s.push_string(c.persona_name(id));
    return 1;
}

// --- Achievement ---

constexpr const char *transaction_token = "TransactionToken";

SteamStats &stats(const LuaStack &s)
{
    SteamStats *st = steam_services().stats;
    if (!st)
        s.error("the statistics service is not running");
    return *st;
}

u32 stats_token(const LuaStack &s, i32 arg)
{
    u32 id;
    memcpy(&id, check_block(s, arg, transaction_token, sizeof(u32)), sizeof(id));
    return id;
}

int achievement_unlock(lua_State *L)
{
    LuaStack s(L);
    SteamStats &st = stats(s);
    const u32 id = st.create_transaction();
    for (i32 arg = 1; arg <= s.count() && lua_type(L, arg) == LUA_TSTRING; ++arg)
        st.add_achievement(id, lua_tostring(L, arg));
    st.commit_transaction(id);
    push_block(s, transaction_token, &id, sizeof(id));
    return 1;
}

int achievement_unlocked(lua_State *L)
{
    LuaStack s(L);
    SteamStats &st = stats(s);
    s.push_bool(st.achievement_unlocked(s.get_string(1)));
    return 1;
}

int achievement_progress(lua_State *L)
{
    LuaStack s(L);
    SteamStats &st = stats(s);
    const StatsStatusView *view = st.transaction_status(stats_token(s, 1));
    if (!view || view->kind != stats_view_kind)
        return 0;
    const bool done = *view->status == stats_done || *view->status == stats_failed;
    lua_createtable(L, 0, 2);
    set_field_bool(L, "done", done);
    // Either part failing is an error: a failed statistics store is not hidden behind
    // stored achievements.
    const bool failed = *view->status == stats_failed || *view->achievement_result == result_failed ||
                        *view->stats_result == result_failed;
    if (done && failed)
        set_field_string(L, "error", "failed");
    return 1;
}

int achievement_close(lua_State *L)
{
    LuaStack s(L);
    SteamStats &st = stats(s);
    st.close_transaction(stats_token(s, 1));
    return 0;
}

// --- Cloud ---

constexpr const char *cloud_token = "CloudToken";

u32 cloud_token_arg(const LuaStack &s, i32 arg)
{
    u32 token;
    memcpy(&token, check_block(s, arg, cloud_token, sizeof(u32)), sizeof(token));
    return token;
}

int cloud_enabled(lua_State *L)
{
    LuaStack s(L);
    s.push_bool(steam_services().cloud != nullptr);
    return 1;
}

int cloud_auto_save(lua_State *L)
{
    LuaStack s(L);
    const char *name = s.get_string(1);
    if (s.is_none_or_nil(2))
        s.argument_message(2, "a value to save expected");
    u32 token = 0;
    bool encoded = true;
    if (SteamCloud *cloud = steam_services().cloud) {
        Allocator &allocator = s.environment().allocator();
        lua_pushvalue(L, 2);
        {
            // Scoped: every owner is gone before a Lua error could unwind past this frame.
            auto memory = make_shared_reference<MemoryOutputBuffer>(allocator, allocator);
            {
                OutputArchive archive(memory);
                encoded = write_script_value(L, archive) && archive.flush();
            }
            if (encoded) {
                const u64 size = memory->total_size();
                u8 *bytes = static_cast<u8 *>(allocator.allocate(size ? size : 1, 4));
                if (bytes) {
                    memory->copy_to(bytes);
                    token = cloud->save(name, bytes, u32(size));
                    allocator.deallocate(bytes);
                }
            }
        }
        lua_pop(L, 1);
    }
    if (!encoded)
        s.argument_message(2, "the value has no save encoding (see the log)");
    push_block(s, cloud_token, &token, sizeof(token));
    return 1;
}

int cloud_auto_load(lua_State *L)
{
    LuaStack s(L);
    const char *name = s.get_string(1);
    SteamCloud *cloud = steam_services().cloud;
    const u32 token = cloud ? cloud->load(name) : 0;
    push_block(s, cloud_token, &token, sizeof(token));
    return 1;
}

int cloud_progress(lua_State *L)
{
    LuaStack s(L);
    const u32 token = cloud_token_arg(s, 1);
    SteamCloud *cloud = steam_services().cloud;
    const CloudRecord *r = cloud ? cloud->record(token) : nullptr;
    if (!r)
        return 0;
    lua_createtable(L, 0, 3);
    set_field_bool(L, "done", r->status == cloud_done);
    if (r->status != cloud_done)
        return 1;
    if (r->kind == cloud_load_kind) {
        if (r->error == cloud_error_missing) {
            set_field_string(L, "error", "non_existing_file");
        } else if (r->error != cloud_error_none) {
            set_field_string(L, "error", "read_failed");
        } else if (read_script_value(r->bytes.data(), r->bytes.size(), L)) {
            lua_setfield(L, -2, "data");
        } else {
            set_field_string(L, "error", "broken"); // the bytes are not a value
        }
    } else if (r->error != cloud_error_none) {
        set_field_string(L, "error", "save_failed");
    }
    return 1;
}

int cloud_close(lua_State *L)
{
    LuaStack s(L);
    const u32 token = cloud_token_arg(s, 1);
    if (SteamCloud *cloud = steam_services().cloud)
        cloud->close(token);
    return 0;
}

// --- Network: backends and lobbies ---

const NetworkGameConfig &config_arg(const LuaStack &s, i32 arg)
{
    const char *name = s.get_string(arg);
    SteamScript &c = context(s);
    const NetworkGameConfig *config = c.configs ? c.configs(c.configs_user, name) : nullptr;
    if (!config)
        s.argument_message(arg, "no network_game_config '%s' is loaded", name);
    return *config;
}

template <typename Handler> int init_backend(lua_State *L, const char *type_name, SteamObjectKind kind)
{
    LuaStack s(L);
    NetworkManager &m = manager(s);
    const NetworkGameConfig &config = config_arg(s, 1);
    if (m.backend())
        s.error("a network backend is running already; shut it down first");
    auto *handler = make_new<Handler>(m.allocator());
    if (!handler->is_started() || !m.set_backend(*handler, config)) {
        delete_with_allocator(m.allocator(), handler);
        log_message("Steam", "%s could not start: the online services are not running", type_name);
        return 0;
    }
    push_ref(s, type_name, handler, handler->serial());
    (void)kind;
    return 1;
}

int init_steam_server(lua_State *L)
{
    return init_backend<SteamGameServerHandler>(L, "SteamGameServer", SteamObjectKind::ServerBackend);
}
int init_steam_client(lua_State *L)
{
    return init_backend<SteamClientHandler>(L, "SteamClient", SteamObjectKind::ClientBackend);
}

int shutdown_steam_backend(lua_State *L)
{
    LuaStack s(L);
    NetworkManager &m = manager(s);
    ObjectRef ref{};
    const bool server = lua_type(L, 1) == LUA_TUSERDATA && lua_objlen(L, 1) == sizeof(ObjectRef) && [&] {
        lua_getmetatable(L, 1);
        lua_getfield(L, LUA_REGISTRYINDEX, "SteamGameServer");
        const bool same = lua_rawequal(L, -1, -2);
        lua_pop(L, 2);
        return same;
    }();
    INetworkBackend *backend;
    if (server)
        backend = &check_ref<SteamGameServerHandler>(s, 1, "SteamGameServer", SteamObjectKind::ServerBackend);
    else
        backend = &check_ref<SteamClientHandler>(s, 1, "SteamClient", SteamObjectKind::ClientBackend);
    (void)ref;
    if (m.backend() == backend)
        m.shutdown_backend();
    // From a network callback the update still reads the backend's transport.
    m.destroy_backend_when_safe(backend);
    return 0;
}

SteamLobby &lobby_arg(const LuaStack &s, i32 arg)
{
    return check_ref<SteamLobby>(s, arg, "SteamLobby", SteamObjectKind::Lobby);
}

int create_steam_lobby(lua_State *L)
{
    LuaStack s(L);
    NetworkManager &m = manager(s);
    const u32 type = u32(s.get_integer(1, 0, 3));
    const u32 max_members = u32(s.get_integer(2, 1, 250));
    auto *lobby = make_new<SteamLobby>(m.allocator());
    lobby->create(type, max_members);
    m.add_lobby(lobby);
    push_ref(s, "SteamLobby", lobby, lobby->serial());
    return 1;
}

int join_steam_lobby(lua_State *L)
{
    LuaStack s(L);
    NetworkManager &m = manager(s);
    const u64 id = id_arg(s, 1);
    auto *lobby = make_new<SteamLobby>(m.allocator());
    lobby->join(id);
    m.add_lobby(lobby);
    push_ref(s, "SteamLobby", lobby, lobby->serial());
    return 1;
}

int leave_steam_lobby(lua_State *L)
{
    LuaStack s(L);
    NetworkManager &m = manager(s);
    SteamLobby &lobby = lobby_arg(s, 1);
    if (!m.remove_lobby(&lobby)) // only what the manager lists is destroyed
        s.argument_message(1, "SteamLobby has been released");
    return 0;
}

int lobby_state(lua_State *L)
{
    LuaStack s(L);
    s.push_integer(u32(lobby_arg(s, 1).state()));
    return 1;
}
int lobby_set_data(lua_State *L)
{
    LuaStack s(L);
    SteamLobby &l = lobby_arg(s, 1);
    l.set_data(s.get_string(2), s.get_string(3));
    return 0;
}
int lobby_get_data(lua_State *L)
{
    LuaStack s(L);
    SteamLobby &l = lobby_arg(s, 1);
    s.push_string(l.get_data(s.get_string(2)));
    return 1;
}
int lobby_set_game_server(lua_State *L)
{
    LuaStack s(L);
    SteamLobby &l = lobby_arg(s, 1);
    l.set_game_server(id_arg(s, 2));
    return 0;
}
int lobby_game_server(lua_State *L)
{
    LuaStack s(L);
    const u64 server = lobby_arg(s, 1).game_server();
    if (server == 0)
        return 0;
    push_id(s, server);
    return 1;
}
int lobby_owner(lua_State *L)
{
    LuaStack s(L);
    push_id(s, lobby_arg(s, 1).owner());
    return 1;
}
int lobby_num_members(lua_State *L)
{
    LuaStack s(L);
    s.push_integer(lobby_arg(s, 1).num_members());
    return 1;
}
int lobby_member(lua_State *L)
{
    LuaStack s(L);
    SteamLobby &l = lobby_arg(s, 1);
    const i64 index = s.get_integer(2);
    if (index < 0 || index >= i64(l.num_members()))
        return 0;
    push_id(s, l.member(u32(index)));
    return 1;
}

// Browsers live inside a backend: the reference names the backend.
struct BrowserRef {
    void *backend;
    u64 serial;
    u32 kind; // SteamObjectKind of the backend
    u32 pad;
};

template <typename Browser> Browser &browser_arg(const LuaStack &s, i32 arg, const char *type_name)
{
    BrowserRef ref;
    memcpy(&ref, check_block(s, arg, type_name, sizeof(BrowserRef)), sizeof(ref));
    const auto kind = SteamObjectKind(ref.kind);
    if (!is_live_steam_object(ref.backend, ref.serial, kind))
        s.argument_message(arg, "%s has been released", type_name);
    if constexpr (std::is_same_v<Browser, SteamServerBrowser>) {
        return kind == SteamObjectKind::ClientBackend ? static_cast<SteamClientHandler *>(ref.backend)->server_browser()
                                                      : static_cast<SteamGameServerHandler *>(ref.backend)->server_browser();
    } else {
        return kind == SteamObjectKind::ClientBackend ? static_cast<SteamClientHandler *>(ref.backend)->lobby_browser()
                                                      : static_cast<SteamGameServerHandler *>(ref.backend)->lobby_browser();
    }
}

int client_browser(lua_State *L, const char *type_name)
{
    LuaStack s(L);
    SteamClientHandler &c = check_ref<SteamClientHandler>(s, 1, "SteamClient", SteamObjectKind::ClientBackend);
    const BrowserRef ref{&c, c.serial(), u32(SteamObjectKind::ClientBackend), 0};
    push_block(s, type_name, &ref, sizeof(ref));
    return 1;
}
int client_server_browser(lua_State *L) { return client_browser(L, "SteamServerBrowser"); }
int client_lobby_browser(lua_State *L) { return client_browser(L, "SteamLobbyBrowser"); }

SteamServerBrowser &servers_arg(const LuaStack &s) { return browser_arg<SteamServerBrowser>(s, 1, "SteamServerBrowser"); }
SteamLobbyBrowser &lobbies_arg(const LuaStack &s) { return browser_arg<SteamLobbyBrowser>(s, 1, "SteamLobbyBrowser"); }

int servers_refresh_internet(lua_State *L) { servers_arg(LuaStack(L)).refresh_internet_servers(); return 0; }
int servers_refresh_lan(lua_State *L) { servers_arg(LuaStack(L)).refresh_lan_servers(); return 0; }
int servers_count(lua_State *L)
{
    LuaStack s(L);
    s.push_integer(servers_arg(s).num_servers());
    return 1;
}
int servers_refreshing(lua_State *L)
{
    LuaStack s(L);
    s.push_bool(servers_arg(s).is_refreshing());
    return 1;
}
int servers_server(lua_State *L)
{
    LuaStack s(L);
    SteamServerBrowser &b = servers_arg(s);
    const i64 index = s.get_integer(2);
    const ServerEntry *e = index >= 0 && index < i64(b.num_servers()) ? b.server(u32(index)) : nullptr;
    if (!e)
        return 0;
    char text[24];
    lua_createtable(L, 0, 14);
    snprintf(text, sizeof(text), "%u.%u.%u.%u", e->ip >> 24, (e->ip >> 16) & 0xFF, (e->ip >> 8) & 0xFF, e->ip & 0xFF);
    set_field_string(L, "ip_address", text);
    set_field_number(L, "connection_port", e->connection_port);
    set_field_number(L, "ping", e->ping);
    set_field_string(L, "map", e->map);
    set_field_string(L, "game_description", e->game_description);
    set_field_number(L, "num_players", e->num_players);
    set_field_number(L, "max_players", e->max_players);
    set_field_number(L, "num_bots", e->num_bots);
    set_field_bool(L, "password", e->password);
    set_field_bool(L, "secure", e->secure);
    set_field_number(L, "server_version", e->server_version);
    set_field_string(L, "server_name", e->server_name);
    set_field_string(L, "server_string", e->server_string);
    snprintf(text, sizeof(text), "%" PRIx64, e->steam_id);
    set_field_string(L, "steam_id", text);
    return 1;
}

int lobbies_refresh(lua_State *L) { lobbies_arg(LuaStack(L)).refresh(); return 0; }
int lobbies_count(lua_State *L)
{
    LuaStack s(L);
    s.push_integer(lobbies_arg(s).num_lobbies());
    return 1;
}
int lobbies_refreshing(lua_State *L)
{
    LuaStack s(L);
    s.push_bool(lobbies_arg(s).is_refreshing());
    return 1;
}
int lobbies_lobby(lua_State *L)
{
    LuaStack s(L);
    SteamLobbyBrowser &b = lobbies_arg(s);
    const i64 index = s.get_integer(2);
    const LobbyListEntry *e = index >= 0 && index < i64(b.num_lobbies()) ? b.lobby(u32(index)) : nullptr;
    if (!e)
        return 0;
    lua_createtable(L, 0, 2);
    set_field_string(L, "name", e->name);
    char text[24];
    snprintf(text, sizeof(text), "%" PRIx64, e->id);
    set_field_string(L, "id", text);
    return 1;
}

struct Entry {
    const char *table;
    const char *name;
    LuaFunction function;
};

} // namespace

void register_steam_script_api(LuaEnvironment &env, NetworkManager *manager, NetworkConfigLookup configs,
                               void *configs_user)
{
    lua_State *L = env.state();
    auto *c = static_cast<SteamScript *>(lua_newuserdata(L, sizeof(SteamScript)));
    *c = SteamScript{manager, configs, configs_user};
    lua_setfield(L, LUA_REGISTRYINDEX, "tallow.steam");
    const SteamServices &services = steam_services();
    auto add = [&](const Entry *entries, u32 count) {
        for (u32 i = 0; i < count; ++i)
            env.add_module_function(entries[i].table, entries[i].name, entries[i].function, c);
    };
    if (services.core) {
        const Entry steam[] = {{"Steam", "connected", steam_connected},
                               {"Steam", "language", steam_language},
                               {"Steam", "user_id", steam_user_id},
                               {"Steam", "user_name", steam_user_name}};
        add(steam, 4);
    }
    if (services.leaderboards)
        register_leaderboard_tables(env, c);
    if (services.stats) {
        const Entry achievement[] = {{"Achievement", "unlock", achievement_unlock},
                                     {"Achievement", "unlocked", achievement_unlocked},
                                     {"Achievement", "progress", achievement_progress},
                                     {"Achievement", "close", achievement_close}};
        add(achievement, 4);
    }
    const Entry always[] = {
        {"Cloud", "enabled", cloud_enabled},
        {"Cloud", "auto_save", cloud_auto_save},
        {"Cloud", "auto_load", cloud_auto_load},
        {"Cloud", "progress", cloud_progress},
        {"Cloud", "close", cloud_close},
        {"Network", "init_steam_server", init_steam_server},
        {"Network", "shutdown_steam_server", shutdown_steam_backend},
        {"Network", "init_steam_client", init_steam_client},
        {"Network", "shutdown_steam_client", shutdown_steam_backend},
        {"Network", "create_steam_lobby", create_steam_lobby},
        {"Network", "join_steam_lobby", join_steam_lobby},
        {"Network", "leave_steam_lobby", leave_steam_lobby},
        {"SteamGameServer", "dummy", nothing},
        {"SteamClient", "server_browser", client_server_browser},
        {"SteamClient", "lobby_browser", client_lobby_browser},
        {"SteamLobby", "state", lobby_state},
        {"SteamLobby", "set_data", lobby_set_data},
        {"SteamLobby", "get_data", lobby_get_data},
        {"SteamLobby", "set_game_server", lobby_set_game_server},
        {"SteamLobby", "game_server", lobby_game_server},
        {"SteamLobby", "owner", lobby_owner},
        {"SteamLobby", "num_members", lobby_num_members},
        {"SteamLobby", "member", lobby_member},
        {"SteamServerBrowser", "refresh_internet_servers", servers_refresh_internet},
        {"SteamServerBrowser", "refresh_lan_servers", servers_refresh_lan},
        {"SteamServerBrowser", "num_servers", servers_count},
        {"SteamServerBrowser", "server", servers_server},
        {"SteamServerBrowser", "is_refreshing", servers_refreshing},
        {"SteamLobbyBrowser", "refresh", lobbies_refresh},
        {"SteamLobbyBrowser", "num_lobbies", lobbies_count},
        {"SteamLobbyBrowser", "lobby", lobbies_lobby},
        {"SteamLobbyBrowser", "is_refreshing", lobbies_refreshing},
    };
    add(always, sizeof(always) / sizeof(always[0]));
    env.add_module_number("Network", "STEAM_LOBBY_PRIVATE", 0);
    env.add_module_number("Network", "STEAM_LOBBY_FRIENDS_ONLY", 1);
    env.add_module_number("Network", "STEAM_LOBBY_PUBLIC", 2);
    env.add_module_number("Network", "STEAM_LOBBY_INVISIBLE", 3);
    env.add_module_number("SteamLobby", "CREATING", 0);
    env.add_module_number("SteamLobby", "JOINING", 1);
    env.add_module_number("SteamLobby", "JOINED", 2);
    env.add_module_number("SteamLobby", "FAILED", 3);
}

} // namespace tallow
