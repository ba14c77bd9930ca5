#include "script/runtime/lua_environment.h"

#include "foundation/containers/array.h"
#include "foundation/io/little_endian.h"
#include "foundation/log.h"
#include "script/runtime/registration.h"

#include <lua.hpp>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace tallow {

namespace {

constexpr const char *lua_category = "Lua";

/// Most values one call passes; the rest of a longer list is dropped rather than overflow the stack.
constexpr u32 max_flow_arguments = 1000;

/// Pushes the values of known types as call arguments; returns how many were pushed.
i32 push_flow_arguments(LuaEnvironment &env, lua_State *L, u32 count, const FlowValueType *types,
                        const void *const *values)
{
    lua_checkstack(L, i32(std::min<u32>(count, max_flow_arguments)) + 1);
    i32 pushed = 0;
    for (u32 i = 0; i < count && u32(pushed) < max_flow_arguments; ++i) {
        if (u32(types[i]) > u32(FlowValueType::Quaternion))
            continue;
        env.push_flow_value(types[i], values[i]);
        ++pushed;
    }
    return pushed;
}

int panic_handler(lua_State *L)
{
    // The library ends the process after this returns; leave a trace of why.
    const char *message = lua_tostring(L, -1);
    log_message(lua_category, "unprotected Lua error, the program ends: %s", message ? message : "(no message)");
    return 0;
}

/// The message handler of every protected call: records the traceback where the error was
/// raised and leaves the error value as it is, so scripts that catch it see what they threw.
/// An error re-raised on its way out of nested calls (a failing `require` inside a call)
/// keeps the traceback of the place that raised it first.
int traceback_handler(lua_State *L)
{
    auto *refs = static_cast<const i32 *>(lua_touserdata(L, lua_upvalueindex(1)));
    i32 error_reference = refs[0], traceback_reference = refs[1];
    lua_settop(L, 1);
    lua_rawgeti(L, LUA_REGISTRYINDEX, error_reference);
    bool same = lua_rawequal(L, 1, 2) != 0;
    lua_settop(L, 1);
    if (same)
        return 1;
    lua_pushvalue(L, 1);
    lua_rawseti(L, LUA_REGISTRYINDEX, error_reference);
    luaL_traceback(L, L, nullptr, 1);
    lua_rawseti(L, LUA_REGISTRYINDEX, traceback_reference);
    return 1;
}

/// obj[key] with metamethods, run inside a protected call (a script's __index may raise).
int protected_get(lua_State *L)
{
    lua_gettable(L, 1);
    return 1;
}

/// Pushes obj[key] for the object at `object_index`; nil when the lookup raises.
void safe_get(LuaEnvironment &env, i32 getter_reference, i32 object_index, const char *key)
{
    lua_State *L = env.state();
    if (object_index < 0 && object_index > LUA_REGISTRYINDEX) // relative, not a pseudo-index
        object_index = lua_gettop(L) + object_index + 1;
    int t = lua_type(L, object_index);
    if (t != LUA_TTABLE && t != LUA_TUSERDATA) {
        lua_pushnil(L);
        return;
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, getter_reference);
    lua_pushvalue(L, object_index);
    lua_pushstring(L, key);
    if (env.pcall(2, 1).error) {
        log_message(lua_category, "lookup of '%s' failed: %s", key, lua_tostring(L, -1));
        env.log_traceback();
        lua_pop(L, 1);
        lua_pushnil(L);
    }
}

/// Calls global `name` (argument 1) with the remaining arguments; inside a protected call
/// so that a _G with a raising __index is reported, not fatal.
int call_global(lua_State *L)
{
    // The name is already an interned string on the stack; look it up as it is.
    lua_pushvalue(L, 1);
    lua_gettable(L, LUA_GLOBALSINDEX);
    lua_replace(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

/// Hands the results of a call the environment ran on its main state to `L` (a coroutine
/// calling require or dofile), or raises its error there.
int hand_over(lua_State *L, const CallResult &r)
{
    const i32 count = r.error ? 1 : lua_gettop(r.state) - r.base;
    if (r.state != L) {
        if (!lua_checkstack(L, count + LUA_MINSTACK)) {
            lua_settop(r.state, r.base);
            return luaL_error(L, "out of Lua stack");
        }
        lua_xmove(r.state, L, count);
        lua_settop(r.state, r.base);
    }
    if (r.error)
        return lua_error(L);
    return count;
}

int script_require(lua_State *L)
{
    const char *name = luaL_checkstring(L, 1);
    auto *env = static_cast<LuaEnvironment *>(lua_touserdata(L, lua_upvalueindex(1)));
    return hand_over(L, env->require(name));
}

int script_dofile(lua_State *L)
{
    const char *name = luaL_checkstring(L, 1);
    auto *env = static_cast<LuaEnvironment *>(lua_touserdata(L, lua_upvalueindex(1)));
    return hand_over(L, env->load_file(name));
}

int script_print(lua_State *L)
{
    int n = lua_gettop(L);
    luaL_checkstack(L, 2 * n + 3, "too many arguments to print");
    lua_getglobal(L, "tostring"); // once per call, at index n + 1
    int pieces = 0;
    for (int i = 1; i <= n; ++i) {
        lua_pushvalue(L, n + 1);
        lua_pushvalue(L, i);
        lua_call(L, 1, 1);
        if (!lua_isstring(L, -1) || lua_type(L, -1) != LUA_TSTRING)
            return luaL_error(L, "'tostring' must return a string to 'print'");
        ++pieces;
        if (i < n) {
            lua_pushliteral(L, "\t");
            ++pieces;
        }
    }
    if (pieces == 0)
        lua_pushliteral(L, "");
    else
        lua_concat(L, pieces);
    log_message(lua_category, "%s", lua_tostring(L, -1));
    return 0;
}

void open_library(lua_State *L, lua_CFunction open, const char *name)
{
    lua_pushcfunction(L, open);
    lua_pushstring(L, name);
    lua_call(L, 1, 0);
}

} // namespace

void *LuaEnvironment::allocate_hook(void *user, void *block, size_t old_size, size_t new_size)
{
    auto *env = static_cast<LuaEnvironment *>(user);
    if (new_size == 0) {
        if (block) {
            env->_allocator.deallocate(block);
            env->_allocated_bytes.fetch_sub(old_size, std::memory_order_relaxed);
        }
        return nullptr;
    }
    if (block && old_size == new_size)
        return block;
    // 16: the state keeps doubles and pointers in its blocks (the old 4 is a 32-bit value).
    void *p = env->_allocator.allocate(new_size, 16);
    if (!p) {
        // Lua relies on a shrink never failing.
        return block && new_size < old_size ? block : nullptr;
    }
    if (block) {
        std::memcpy(p, block, std::min(old_size, new_size));
        env->_allocator.deallocate(block);
        env->_allocated_bytes.fetch_sub(old_size, std::memory_order_relaxed);
    }
    env->_allocated_bytes.fetch_add(new_size, std::memory_order_relaxed);
    return p;
}

LuaEnvironment::LuaEnvironment(IScriptSource *source, Allocator &parent)
    : _allocator("lua", parent), _source(source), _vector3_temps(_allocator, vector3_tag),
      _matrix4x4_temps(_allocator, matrix4x4_tag), _quaternion_temps(_allocator, quaternion_tag)
{
    if (!_vector3_temps.reserve() || !_matrix4x4_temps.reserve() || !_quaternion_temps.reserve()) {
        log_message(lua_category, "out of memory reserving the temporary math values");
        return;
    }
    lua_State *L = lua_newstate(allocate_hook, this);
    if (!L) {
        log_message(lua_category, "could not create a Lua state");
        return;
    }
    lua_gc(L, LUA_GCSETSTEPMUL, 20);
    lua_gc(L, LUA_GCSETPAUSE, 200);
    lua_atpanic(L, panic_handler);

    lua_pushlightuserdata(L, this);
    int reference = luaL_ref(L, LUA_REGISTRYINDEX);
    TALLOW_ASSERT(reference == 1, "the environment must be registry reference 1");
    (void)reference;

    // Made once: a closure pushed per call would be garbage every frame.
    lua_pushcfunction(L, call_global);
    _call_reference = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_pushcfunction(L, protected_get);
    _getter_reference = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_pushlightuserdata(L, this);
    lua_pushcclosure(L, &LuaEnvironment::require_body, 1);
    _require_reference = luaL_ref(L, LUA_REGISTRYINDEX);
    // Slots hold false, never nil: a nil would open a hole that luaL_ref hands out again.
    lua_pushboolean(L, 0);
    _error_references[0] = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_pushboolean(L, 0);
    _error_references[1] = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_pushlightuserdata(L, _error_references);
    lua_pushcclosure(L, traceback_handler, 1);
    _handler_reference = luaL_ref(L, LUA_REGISTRYINDEX);

    open_library(L, luaopen_base, "");
    open_library(L, luaopen_package, LUA_LOADLIBNAME);
    open_library(L, luaopen_table, LUA_TABLIBNAME);
    open_library(L, luaopen_io, LUA_IOLIBNAME);
    open_library(L, luaopen_os, LUA_OSLIBNAME);
    open_library(L, luaopen_string, LUA_STRLIBNAME);
    open_library(L, luaopen_math, LUA_MATHLIBNAME);
    open_library(L, luaopen_debug, LUA_DBLIBNAME);
    open_library(L, luaopen_jit, LUA_JITLIBNAME);
    lua_settop(L, 0);

    lua_pushlightuserdata(L, this);
    lua_pushcclosure(L, script_require, 1);
    lua_setglobal(L, "require");
    lua_pushlightuserdata(L, this);
    lua_pushcclosure(L, script_dofile, 1);
    lua_setglobal(L, "dofile");
    lua_pushcfunction(L, script_print);
    lua_setglobal(L, "print");
    lua_pushnil(L);
    lua_setglobal(L, "loadfile");
    lua_pushnil(L);
    lua_setglobal(L, "load");
    _state = L;
}

LuaEnvironment::~LuaEnvironment()
{
    if (_state)
        lua_close(_state);
    _state = nullptr;
}

LuaEnvironment &LuaEnvironment::from_state(lua_State *L)
{
    void *user = nullptr;
    lua_getallocf(L, &user);
    return *static_cast<LuaEnvironment *>(user);
}

CallResult LuaEnvironment::load_file(const char *name)
{
    bool found = false;
    return load_file(name, found);
}

CallResult LuaEnvironment::load_file(const char *name, bool &found)
{
    lua_State *L = _state;
    const u8 *data = nullptr;
    u64 size = 0;
    found = _source && _source->find_script(name, data, size);
    if (!found) {
        lua_pushfstring(L, "script not found: %s", name);
        return {L, lua_gettop(L) - 1, true};
    }
    u32 length = size < 4 ? 0 : load_u32_le(data); // the resource's length word is little-endian
    if (size < 4 || u64(length) > size - 4) {
        lua_pushfstring(L, "script resource truncated: %s", name);
        return {L, lua_gettop(L) - 1, true};
    }
    char chunk_name[256];
    std::snprintf(chunk_name, sizeof(chunk_name), "@%s.lua", name);
    if (luaL_loadbuffer(L, reinterpret_cast<const char *>(data + 4), length, chunk_name) != 0)
        return {L, lua_gettop(L) - 1, true};
    return pcall(0, LUA_MULTRET);
}

CallResult LuaEnvironment::require(const char *name)
{
    // The bookkeeping touches `package`, which scripts can reach (and give metatables that
    // raise): all of it runs inside the protected call.
    lua_State *L = _state;
    lua_rawgeti(L, LUA_REGISTRYINDEX, _require_reference);
    lua_pushstring(L, name);
    return pcall(1, 1);
}

int LuaEnvironment::require_body(lua_State *L)
{
    // Argument 1: the name; upvalue 1: the environment. Returns package.loaded[name].
    auto *env = static_cast<LuaEnvironment *>(lua_touserdata(L, lua_upvalueindex(1)));
    const char *name = lua_tostring(L, 1);
    lua_getfield(L, LUA_GLOBALSINDEX, "package");
    if (!lua_istable(L, -1)) {
        lua_pop(L, 1);
        lua_newtable(L);
        lua_pushvalue(L, -1);
        lua_setfield(L, LUA_GLOBALSINDEX, "package");
    }
    i32 package = lua_gettop(L);
    lua_getfield(L, package, "loaded");
    if (!lua_istable(L, -1)) {
        lua_pop(L, 1);
        lua_newtable(L);
        lua_pushvalue(L, -1);
        lua_setfield(L, package, "loaded");
    }
    i32 loaded = lua_gettop(L);
    lua_getfield(L, loaded, name);
    if (!lua_isnil(L, -1))
        return 1;
    lua_pop(L, 1);

    // Marked before running, so a file that requires itself (directly or through others)
    // sees true and does not recurse.
    lua_pushboolean(L, 1);
    lua_setfield(L, loaded, name);
    bool exists = false;
    CallResult r = env->load_file(name, exists);
    if (r.error) {
        if (!exists) {
            // Nothing ran: a later require, once the script is loaded, must run it.
            lua_pushnil(L);
            lua_setfield(L, loaded, name);
        }
        return lua_error(L); // the message is on top
    }
    if (lua_gettop(L) > r.base && lua_toboolean(L, r.base + 1)) {
        lua_pushvalue(L, r.base + 1);
        lua_setfield(L, loaded, name);
    }
    lua_settop(L, loaded);
    lua_getfield(L, package, "load_order");
    if (!lua_istable(L, -1)) {
        lua_pop(L, 1);
        lua_newtable(L);
        lua_pushvalue(L, -1);
        lua_setfield(L, package, "load_order");
    }
    lua_pushstring(L, name);
    lua_rawseti(L, -2, i32(lua_objlen(L, -2)) + 1);
    lua_pop(L, 1);
    // The value require returns is the one later requires return too.
    lua_getfield(L, loaded, name);
    return 1;
}

void LuaEnvironment::reload_all()
{
    // Raw reads only: outside a protected call no script metamethod may run.
    lua_State *L = _state;
    i32 top = lua_gettop(L);
    lua_pushliteral(L, "package");
    lua_rawget(L, LUA_GLOBALSINDEX);
    if (!lua_istable(L, -1)) {
        lua_settop(L, top);
        return;
    }
    lua_pushliteral(L, "load_order");
    lua_rawget(L, -2);
    if (!lua_istable(L, -1)) {
        lua_settop(L, top);
        return;
    }
    i32 order = lua_gettop(L);
    // Files first required during the reload append themselves; they have just run.
    i32 n = i32(lua_objlen(L, order));
    for (i32 i = 1; i <= n; ++i) {
        lua_rawgeti(L, order, i);
        if (lua_type(L, -1) != LUA_TSTRING) {
            lua_settop(L, order);
            continue;
        }
        const char *name = lua_tostring(L, -1);
        CallResult r = load_file(name);
        if (r.error) {
            log_message(lua_category, "reload of %s failed: %s", name, lua_tostring(L, -1));
            log_traceback();
        }
        lua_settop(L, order);
    }
    lua_settop(L, top);
}

CallResult LuaEnvironment::pcall(i32 argument_count, i32 result_count)
{
    lua_State *L = _state;
    i32 base = lua_gettop(L) - argument_count - 1;
    if (_pcall_depth == 0) {
        // A new outermost call: an error value equal to an old one gets a fresh traceback.
        lua_pushboolean(L, 0);
        lua_rawseti(L, LUA_REGISTRYINDEX, _error_references[0]);
        lua_pushboolean(L, 0);
        lua_rawseti(L, LUA_REGISTRYINDEX, _error_references[1]);
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, _handler_reference);
    lua_insert(L, base + 1);
    ++_pcall_depth;
    int status = lua_pcall(L, argument_count, result_count, base + 1);
    --_pcall_depth;
    lua_remove(L, base + 1);
    return {L, base, status != 0};
}

void LuaEnvironment::log_traceback()
{
    lua_State *L = _state;
    if (lua_gettop(L) == 0)
        return;
    lua_rawgeti(L, LUA_REGISTRYINDEX, _error_references[0]);
    bool same = lua_rawequal(L, -1, -2) != 0;
    lua_pop(L, 1);
    if (!same)
        return;
    lua_rawgeti(L, LUA_REGISTRYINDEX, _error_references[1]);
    // The registry keeps the text alive while it is logged.
    const char *text = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : nullptr;
    lua_pop(L, 1);
    if (!text)
        return;
    // Frames of the engine's own C functions that Lua cannot name ("[C]: at 0x...") say
    // nothing to a script's author; a traceback left with no frame is not logged.
    bool header = false;
    const char *heading = text;
    i32 heading_length = 0;
    while (*text) {
        const char *end = std::strchr(text, '\n');
        i32 length = end ? i32(end - text) : i32(std::strlen(text));
        if (*text != '\t') {
            heading = text;
            heading_length = length;
        } else if (std::strncmp(text, "\t[C]: at ", 9) != 0) {
            if (!header)
                log_message(lua_category, "%.*s", heading_length, heading);
            header = true;
            log_message(lua_category, "  %.*s", length - 1, text + 1);
        }
        text += length;
        if (*text)
            ++text;
    }
}

CallResult LuaEnvironment::call_function(const char *name, const LuaStack *args)
{
    reset_temps();
    lua_State *L = _state;
    i32 base = args ? std::min(args->base(), lua_gettop(L)) : lua_gettop(L);
    lua_rawgeti(L, LUA_REGISTRYINDEX, _call_reference);
    lua_insert(L, base + 1);
    lua_pushstring(L, name);
    lua_insert(L, base + 2);
    return pcall(lua_gettop(L) - base - 1, LUA_MULTRET);
}

void LuaEnvironment::report_error(const char *format)
{
    const char *message = lua_tostring(_state, -1);
    log_message(lua_category, format, message ? message : "(error object is not a string)");
    log_traceback();
    if (_error_handler)
        _error_handler(_error_handler_user);
}

void LuaEnvironment::callback(i32 reference, const char *method, const ScriptEvent &event)
{
    if (reference == no_script_reference)
        return;
    lua_State *L = _state;
    i32 top = lua_gettop(L);
    lua_rawgeti(L, LUA_REGISTRYINDEX, reference);
    safe_get(*this, _getter_reference, -1, method);
    if (lua_isnil(L, -1)) {
        log_message(lua_category, "Callback function not found: %s", method);
        lua_settop(L, top);
        return;
    }
    lua_insert(L, -2); // function, self
    if (event.tag == unit_event_tag)
        LuaStack(L).push_unit_reference(event.unit);
    if (pcall(lua_gettop(L) - top - 1, 0).error) {
        report_error("Lua event callback error: %s");
        lua_settop(L, top);
        return;
    }
    lua_settop(L, top);
}

bool LuaEnvironment::call_method(const char *table, const char *function)
{
    lua_State *L = _state;
    i32 top = lua_gettop(L);
    if (table) {
        safe_get(*this, _getter_reference, LUA_GLOBALSINDEX, table);
        if (lua_isnil(L, -1)) {
            log_message(lua_category, "Global table not found: %s", table);
            lua_settop(L, top);
            return false;
        }
        safe_get(*this, _getter_reference, -1, function);
        lua_remove(L, -2);
    } else {
        safe_get(*this, _getter_reference, LUA_GLOBALSINDEX, function);
    }
    if (lua_isnil(L, -1)) {
        log_message(lua_category, "Method not found: %s", function);
        lua_settop(L, top);
        return false;
    }
    return true;
}

void LuaEnvironment::push_flow_value(FlowValueType type, const void *value)
{
    lua_State *L = _state;
    f32 f[4] = {};
    switch (type) {
    case FlowValueType::None: lua_pushnil(L); break;
    case FlowValueType::Unit: {
        u32 handle;
        std::memcpy(&handle, value, sizeof(handle));
        LuaStack(L).push_unit_reference(handle);
        break;
    }
    case FlowValueType::Pointer:
    case FlowValueType::Object: lua_pushlightuserdata(L, const_cast<void *>(value)); break;
    case FlowValueType::Vector3: {
        std::memcpy(f, value, 3 * sizeof(f32));
        Vector3Temp *t = make_vector3(f[0], f[1], f[2]);
        if (t)
            lua_pushlightuserdata(L, t);
        else
            lua_pushnil(L);
        break;
    }
    case FlowValueType::Float:
        std::memcpy(f, value, sizeof(f32));
        lua_pushnumber(L, f[0]);
        break;
    case FlowValueType::Bool: {
        u32 b;
        std::memcpy(&b, value, sizeof(b));
        lua_pushboolean(L, b != 0);
        break;
    }
    case FlowValueType::String:
        if (value)
            lua_pushstring(L, static_cast<const char *>(value));
        else
            lua_pushnil(L);
        break;
    case FlowValueType::Id64: {
        u64 id;
        std::memcpy(&id, value, sizeof(id));
        lua_pushstring(L, id_text(NameId64::from_value(id)));
        break;
    }
    case FlowValueType::Quaternion: {
        std::memcpy(f, value, 4 * sizeof(f32));
        QuaternionTemp *t = make_quaternion(f[0], f[1], f[2], f[3]);
        if (t)
            lua_pushlightuserdata(L, t);
        else
            lua_pushnil(L);
        break;
    }
    }
}

void LuaEnvironment::call_method_with_args(const char *table, const char *function, u32 count,
                                           const FlowValueType *types, const void *const *values)
{
    lua_State *L = _state;
    i32 top = lua_gettop(L);
    if (!call_method(table, function))
        return;
    i32 pushed = push_flow_arguments(*this, L, count, types, values);
    if (pcall(pushed, 0).error)
        report_error("Lua event callback error: %s");
    lua_settop(L, top);
}

void LuaEnvironment::call_method_with_table(const char *table, const char *function, u32 count,
                                            const FlowValueType *types, const void *const *values,
                                            const char *const *names)
{
    lua_State *L = _state;
    i32 top = lua_gettop(L);
    if (!call_method(table, function))
        return;
    lua_createtable(L, 0, i32(std::min<u32>(count, max_flow_arguments)));
    for (u32 i = 0; i < count; ++i) {
        if (u32(types[i]) > u32(FlowValueType::Quaternion) || !names[i])
            continue;
        push_flow_value(types[i], values[i]);
        lua_setfield(L, -2, names[i]);
    }
    if (pcall(1, 0).error)
        report_error("Lua event callback error: %s");
    lua_settop(L, top);
}

void LuaEnvironment::do_string(const char *code, u32 count, const FlowValueType *types, const void *const *values)
{
    lua_State *L = _state;
    i32 top = lua_gettop(L);
    if (luaL_loadstring(L, code) != 0) {
        report_error("Lua do_string compile error: %s");
        lua_settop(L, top);
        return;
    }
    i32 pushed = push_flow_arguments(*this, L, count, types, values);
    if (pcall(pushed, 0).error)
        report_error("Lua do_string run error: %s");
    lua_settop(L, top);
}

Vector3Temp *LuaEnvironment::make_vector3(f32 x, f32 y, f32 z)
{
    Vector3Temp *t = _vector3_temps.append();
    if (t) {
        t->v[0] = x;
        t->v[1] = y;
        t->v[2] = z;
    }
    return t;
}

QuaternionTemp *LuaEnvironment::make_quaternion(f32 x, f32 y, f32 z, f32 w)
{
    QuaternionTemp *t = _quaternion_temps.append();
    if (t) {
        t->v[0] = x;
        t->v[1] = y;
        t->v[2] = z;
        t->v[3] = w;
    }
    return t;
}

Matrix4x4Temp *LuaEnvironment::make_matrix4x4(const f32 *m16)
{
    Matrix4x4Temp *t = _matrix4x4_temps.append();
    if (t)
        std::memcpy(t->m, m16, sizeof(t->m));
    return t;
}

void LuaEnvironment::reset_temps()
{
    (void)_vector3_temps.set_count(0);
    (void)_quaternion_temps.set_count(0);
    (void)_matrix4x4_temps.set_count(0);
}

} // namespace tallow
