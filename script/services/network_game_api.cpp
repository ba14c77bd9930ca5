// The `NetworkGame`, `RPC` and `UnitSynchronizer` script tables (see
// script/services/network_api.h).
#include "script/services/network_api_internal.h"

#include "foundation/log.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/memory_globals.h"
#include "network/field_codec.h"
#include "network/network_manager.h"
#include "network/unit_synchronizer.h"
#include "script/world/world_api.h"
#include "world/units/unit.h"

#include <lua.hpp>

#include <cstdio>
#include <cstring>
#include <vector>

namespace tallow {

using namespace network;
using namespace network_api;

namespace {

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

} // namespace

namespace network_api {

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

const Entry network_game_entries[] = {
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
const u32 network_game_entry_count = sizeof network_game_entries / sizeof network_game_entries[0];

} // namespace network_api

} // namespace tallow
