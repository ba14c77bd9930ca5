#pragma once
// Between the network script tables: script/services/network_api.cpp (Network, LanClient,
// LanLobbyBrowser, LanLobby, the callbacks and the registration) and
// network_game_api.cpp (NetworkGame, RPC, UnitSynchronizer).

#include "foundation/types.h"
#include "network/lan/lan_client.h"
#include "network/network_manager.h"
#include "network/unit_synchronizer.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_stack.h"

#include <lua.hpp>

#include <vector>

namespace tallow {

class ResourceManager;

namespace network_api {

using namespace network;

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

// Arguments and shared state: each raises a Lua error when it is wrong.

NetworkScript &context(const LuaStack &s);
/// Raises when the network service is not built.
NetworkManager &manager(const LuaStack &s);
/// Pushes a peer id as hexadecimal text.
void push_peer(const LuaStack &s, u64 id);
/// A peer id from up to 16 hexadecimal digits.
u64 peer_arg(const LuaStack &s, i32 arg);
/// Marks the full userdata at `arg` released.
void clear_object(const LuaStack &s, i32 arg);
LanClient &client_arg(const LuaStack &s, i32 arg);
LanLobby &lobby_arg(const LuaStack &s, i32 arg);
LanLobbyBrowser &browser_arg(const LuaStack &s, i32 arg);
INetworkGame &game_arg(const LuaStack &s, i32 arg);
UnitSynchronizer &synchronizer_arg(const LuaStack &s, i32 arg);
/// An index below `count`; raises "there are no <what>" when `count` is 0.
u32 index_arg(const LuaStack &s, i32 arg, u32 count, const char *what);
/// The running backend's config, whichever table started the backend (LAN or online).
const NetworkGameConfig *active_config(const NetworkScript &c);
/// The running backend's config; raises when no backend runs.
const NetworkGameConfig &config(const LuaStack &s);

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

/// One script function of these tables.
struct Entry {
    const char *table;
    const char *name;
    lua_CFunction function;
};

/// The `NetworkGame` and `UnitSynchronizer` functions, registered after the others.
extern const Entry network_game_entries[];
extern const u32 network_game_entry_count;
/// The `__index` metamethod of the `RPC` table.
int rpc_index(lua_State *L);

} // namespace network_api

} // namespace tallow
