#include "script/runtime/registration.h"

#include "script/runtime/lua_environment.h"

#include <lua.hpp>

#include <cinttypes>
#include <cstdio>

namespace tallow {

const char *id_text(NameId64 id)
{
    // Per thread: job-thread states run bindings on worker threads at the same time.
    static thread_local char ring[200];
    static thread_local u32 position = 0;
    if (sizeof(ring) - position < 27)
        position = 0;
    char *text = ring + position;
    int n = std::snprintf(text, sizeof(ring) - position, "#ID[%" PRIx64 "]", id.value());
    position += u32(n) + 1;
    return text;
}

namespace {
// Globals the engine sets and reads outside a protected call are reached raw: a script's
// metatable on _G must not run (and maybe raise) there.
void raw_set_global(lua_State *L, const char *name) // pops the value
{
    lua_pushstring(L, name);
    lua_insert(L, -2);
    lua_rawset(L, LUA_GLOBALSINDEX);
}

void raw_get_global(lua_State *L, const char *name)
{
    lua_pushstring(L, name);
    lua_rawget(L, LUA_GLOBALSINDEX);
}
} // namespace

void LuaEnvironment::class_table(const char *name)
{
    lua_State *L = _state;
    lua_getfield(L, LUA_REGISTRYINDEX, name);
    if (lua_istable(L, -1))
        return;
    lua_pop(L, 1);
    lua_newtable(L);
    lua_pushvalue(L, -1);
    lua_setfield(L, -2, "__index");
    lua_pushstring(L, name);
    lua_setfield(L, -2, "_name");
    lua_pushvalue(L, -1);
    raw_set_global(L, name);
    lua_pushvalue(L, -1);
    lua_setfield(L, LUA_REGISTRYINDEX, name);
}

static void push_named_closure(lua_State *L, const char *table, const char *name, LuaFunction function,
                               void *upvalue)
{
    if (table)
        lua_pushfstring(L, "%s.%s", table, name);
    else
        lua_pushstring(L, name);
    int upvalues = 1;
    if (upvalue) {
        lua_pushlightuserdata(L, upvalue);
        ++upvalues;
    }
    lua_pushcclosure(L, function, upvalues);
}

void LuaEnvironment::add_module_function(const char *table, const char *name, LuaFunction function, void *upvalue)
{
    lua_State *L = _state;
    class_table(table);
    push_named_closure(L, table, name, function, upvalue);
    lua_setfield(L, -2, name);
    lua_pop(L, 1);
}

void LuaEnvironment::add_module_metamethod(const char *table, const char *name, LuaFunction function, void *upvalue)
{
    lua_State *L = _state;
    class_table(table);
    if (!lua_getmetatable(L, -1)) {
        lua_newtable(L);
        lua_pushvalue(L, -1);
        lua_setmetatable(L, -3);
    }
    push_named_closure(L, table, name, function, upvalue);
    lua_setfield(L, -2, name);
    lua_pop(L, 2);
}

void LuaEnvironment::add_module_number(const char *table, const char *name, f32 value)
{
    lua_State *L = _state;
    class_table(table);
    lua_pushnumber(L, value);
    lua_setfield(L, -2, name);
    lua_pop(L, 1);
}

void LuaEnvironment::add_global_function(const char *name, LuaFunction function)
{
    lua_State *L = _state;
    push_named_closure(L, nullptr, name, function, nullptr);
    raw_set_global(L, name);
}

void LuaEnvironment::set_lightuserdata_metatable(const char *table)
{
    lua_State *L = _state;
    // All light userdata share one metatable: setting it on any one sets it for all.
    lua_pushlightuserdata(L, nullptr);
    raw_get_global(L, table);
    lua_setmetatable(L, -2);
    lua_pop(L, 1);
}

LuaStack LuaEnvironment::get_global(const char *name)
{
    raw_get_global(_state, name);
    return LuaStack(_state, lua_gettop(_state));
}

void LuaEnvironment::unref(i32 reference) { luaL_unref(_state, LUA_REGISTRYINDEX, reference); }

} // namespace tallow

// Config values <-> Lua (kept apart from the helpers above for the includes).
#include "foundation/io/chunk_store.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"

#include <cstring>

namespace tallow {

namespace {

void push_config(lua_State *L, const ConfigValue &value, u32 depth)
{
    if (depth > script_config_max_depth || !lua_checkstack(L, 3)) {
        lua_pushnil(L);
        return;
    }
    switch (value.kind()) {
    case ConfigKind::Bool: lua_pushboolean(L, value.to_bool()); break;
    case ConfigKind::Integer: lua_pushnumber(L, value.to_integer()); break;
    case ConfigKind::Float: lua_pushnumber(L, value.to_float()); break;
    case ConfigKind::String: lua_pushlstring(L, value.to_string(), value.text().length()); break;
    case ConfigKind::Data:
        lua_pushlstring(L, reinterpret_cast<const char *>(value.data().data()), value.data().size());
        break;
    case ConfigKind::Array: {
        const Array<ConfigValue> &items = value.items();
        lua_createtable(L, i32(items.size()), 0);
        for (u32 i = 0; i < items.size(); ++i) {
            push_config(L, items[i], depth + 1);
            lua_rawseti(L, -2, i32(i + 1));
        }
        break;
    }
    case ConfigKind::Object: {
        lua_createtable(L, 0, i32(value.count()));
        const auto &members = value.members();
        for (auto at = members.begin(); at != members.end(); ++at) {
            push_config(L, at->value, depth + 1);
            lua_setfield(L, -2, at->key.c_str());
        }
        break;
    }
    default: lua_pushnil(L); break;
    }
}

void to_config(lua_State *L, i32 index, ConfigValue &out, u32 depth)
{
    LuaStack stack(L);
    if (depth > script_config_max_depth)
        stack.error("table nested deeper than %u levels (or cyclic)", script_config_max_depth);
    switch (lua_type(L, index)) {
    case LUA_TBOOLEAN: out.set_bool(lua_toboolean(L, index)); return;
    case LUA_TNUMBER: out.set_float(f32(lua_tonumber(L, index))); return;
    case LUA_TSTRING: {
        size_t length = 0;
        const char *text = lua_tolstring(L, index, &length);
        if (length > 0xFFFFFFFFu)
            stack.error("string too long for a setting");
        out.set_string(text, u32(length));
        return;
    }
    case LUA_TLIGHTUSERDATA: {
        LuaStack at(L, index - 1);
        const char *names[] = {"x", "y", "z", "w"};
        const f32 *v = nullptr;
        u32 n = 0;
        if (at.is_vector3(1)) {
            v = at.get_vector3(1);
            n = 3;
        } else if (at.is_quaternion(1)) {
            v = at.get_quaternion(1);
            n = 4;
        }
        if (!v) {
            out.set_nil();
            return;
        }
        out.set_object();
        for (u32 i = 0; i < n; ++i)
            out.member(names[i]).set_float(v[i]);
        return;
    }
    case LUA_TTABLE: break;
    default: out.set_nil(); return;
    }
    if (!lua_checkstack(L, 4))
        stack.error("out of Lua stack");
    bool has_string_key = false;
    lua_pushnil(L);
    while (lua_next(L, index)) {
        if (lua_type(L, -2) == LUA_TSTRING)
            has_string_key = true;
        lua_pop(L, 1);
    }
    if (has_string_key)
        out.set_object();
    else
        out.set_array();
    lua_pushnil(L);
    while (lua_next(L, index)) {
        i32 value_index = lua_gettop(L);
        if (has_string_key) {
            if (lua_type(L, -2) == LUA_TSTRING)
                to_config(L, value_index, out.member(lua_tostring(L, -2)), depth + 1);
        } else if (lua_type(L, -2) == LUA_TNUMBER) {
            f64 k = lua_tonumber(L, -2);
            if (k >= 1 && k == f64(u64(k))) {
                if (k > script_config_max_array)
                    stack.error("array index %.0f above %u", k, script_config_max_array);
                to_config(L, value_index, out.element(u32(k) - 1), depth + 1);
            }
        }
        lua_pop(L, 1);
    }
}

/// Raises the errors to_config would, before anything is changed.
void check_config(lua_State *L, i32 index, u32 depth)
{
    if (lua_type(L, index) != LUA_TTABLE)
        return;
    LuaStack stack(L);
    if (depth >= script_config_max_depth)
        stack.error("table nested deeper than %u levels (or cyclic)", script_config_max_depth);
    if (!lua_checkstack(L, 4))
        stack.error("out of Lua stack");
    lua_pushnil(L);
    while (lua_next(L, index)) {
        if (lua_type(L, -2) == LUA_TNUMBER) {
            f64 k = lua_tonumber(L, -2);
            if (k > script_config_max_array && k == f64(u64(k)))
                stack.error("array index %.0f above %u", k, script_config_max_array);
        }
        check_config(L, lua_gettop(L), depth + 1);
        lua_pop(L, 1);
    }
}

} // namespace

void push_config_value(lua_State *state, const ConfigValue &value) { push_config(state, value, 0); }

void release_script_references(ChunkStore &store) { release_script_references(store, ChunkStore::root_list); }

void release_script_references(ChunkStore &store, u32 head)
{
    Array<u8 *> chunks(default_allocator());
    store.find_all(head, script_reference_chunk_kind, chunks);
    for (u8 *data : chunks) {
        // A chunk too short to hold a reference holds none (damaged bytes are walked safely).
        u32 chunk = u32(data - store.bytes().data()) - ChunkStore::header_bytes;
        if (store.chunk_size(chunk) < sizeof(ScriptReference))
            continue;
        ScriptReference reference;
        std::memcpy(&reference, data, sizeof(reference));
        if (reference.state)
            luaL_unref(reference.state, LUA_REGISTRYINDEX, reference.reference);
        // Released once: a second release of the same store finds nothing to give back.
        reference.state = nullptr;
        std::memcpy(data, &reference, sizeof(reference));
    }
}

void check_config_value(lua_State *state, i32 index)
{
    if (index < 0 && index > LUA_REGISTRYINDEX)
        index = lua_gettop(state) + index + 1;
    check_config(state, index, 0);
}

void to_config_value(lua_State *state, i32 index, ConfigValue &out)
{
    if (index < 0 && index > LUA_REGISTRYINDEX)
        index = lua_gettop(state) + index + 1;
    check_config(state, index, 0);
    to_config(state, index, out, 0);
}

} // namespace tallow
