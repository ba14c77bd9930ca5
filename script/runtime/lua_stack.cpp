#include "script/runtime/lua_stack.h"

#include "script/runtime/lua_environment.h"

#include <lua.hpp>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace tallow {

namespace {

enum TempWhich : u32 { TempVector3, TempQuaternion, TempMatrix4x4 };

bool is_live_temp(LuaEnvironment &env, u32 which, const void *p)
{
    switch (which) {
    case TempVector3: return env.vector3_temps().is_live(p);
    case TempQuaternion: return env.quaternion_temps().is_live(p);
    default: return env.matrix4x4_temps().is_live(p);
    }
}

const char *kind_name(lua_State *L, i32 idx)
{
    int t = lua_type(L, idx);
    if (t == LUA_TLIGHTUSERDATA) {
        void *p = lua_touserdata(L, idx);
        if (!p)
            return "null pointer";
        if (reinterpret_cast<uintptr_t>(p) & 1)
            return "Unit";
        LuaEnvironment &env = LuaEnvironment::from_state(L);
        if (env.vector3_temps().is_live(p))
            return "Vector3";
        if (env.quaternion_temps().is_live(p))
            return "Quaternion";
        if (env.matrix4x4_temps().is_live(p))
            return "Matrix4x4";
        if (env.vector3_temps().contains(p) || env.quaternion_temps().contains(p) ||
            env.matrix4x4_temps().contains(p))
            return "a stale temporary (temporaries live until the end of the frame)";
        return "light userdata";
    }
    if (t == LUA_TNONE)
        return "no value";
    return lua_typename(L, t);
}

[[noreturn]] void raise_with_where(lua_State *L)
{
    // Message on top; prefix the calling script's position.
    luaL_where(L, 1);
    lua_insert(L, -2);
    lua_concat(L, 2);
    lua_error(L);
    __builtin_unreachable();
}

} // namespace

const char *current_function_name(lua_State *L)
{
    lua_Debug ar;
    if (!lua_getstack(L, 0, &ar))
        return "?";
    if (!lua_getinfo(L, "nf", &ar))
        return "?";
    const char *result = ar.name ? ar.name : "?";
    // Functions registered through add_module_function carry "Table.function" as upvalue 1.
    if (lua_iscfunction(L, -1) && lua_getupvalue(L, -1, 1)) {
        if (lua_type(L, -1) == LUA_TSTRING)
            result = lua_tostring(L, -1); // kept alive by the running closure
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
    return result;
}

i32 LuaStack::count() const { return lua_gettop(_state) - _base; }

LuaEnvironment &LuaStack::environment() const { return LuaEnvironment::from_state(_state); }

void *LuaStack::upvalue() const { return lua_touserdata(_state, lua_upvalueindex(2)); }

bool LuaStack::is_none_or_nil(i32 arg) const { return lua_isnoneornil(_state, index(arg)); }
bool LuaStack::is_string(i32 arg) const { return lua_type(_state, index(arg)) == LUA_TSTRING; }
bool LuaStack::is_number(i32 arg) const { return lua_type(_state, index(arg)) == LUA_TNUMBER; }
bool LuaStack::is_table(i32 arg) const { return lua_type(_state, index(arg)) == LUA_TTABLE; }

bool LuaStack::is_vector3(i32 arg) const
{
    return lua_type(_state, index(arg)) == LUA_TLIGHTUSERDATA &&
           environment().vector3_temps().is_live(lua_touserdata(_state, index(arg)));
}
bool LuaStack::is_quaternion(i32 arg) const
{
    return lua_type(_state, index(arg)) == LUA_TLIGHTUSERDATA &&
           environment().quaternion_temps().is_live(lua_touserdata(_state, index(arg)));
}
bool LuaStack::is_matrix4x4(i32 arg) const
{
    return lua_type(_state, index(arg)) == LUA_TLIGHTUSERDATA &&
           environment().matrix4x4_temps().is_live(lua_touserdata(_state, index(arg)));
}

bool LuaStack::is_unit_reference(i32 arg) const
{
    if (lua_type(_state, index(arg)) != LUA_TLIGHTUSERDATA)
        return false;
    u64 v = reinterpret_cast<uintptr_t>(lua_touserdata(_state, index(arg)));
    return (v & 1) && v <= 0xFFFFFFFFu && ((v >> 1) & 0x7FFF) < unit_slot_count;
}

f64 LuaStack::get_number(i32 arg) const
{
    i32 i = index(arg);
    if (lua_type(_state, i) != LUA_TNUMBER)
        argument_error(arg, "number");
    return lua_tonumber(_state, i);
}

f32 LuaStack::get_float(i32 arg) const { return f32(get_number(arg)); }

i64 LuaStack::get_integer(i32 arg, i64 min, i64 max) const
{
    f64 v = get_number(arg);
    if (!std::isfinite(v))
        argument_message(arg, "integer expected, got %g", v);
    f64 t = std::trunc(v);
    if (t < f64(min) || t > f64(max))
        argument_message(arg, "%.17g out of range [%lld, %lld]", v, (long long)min, (long long)max);
    return i64(t);
}

bool LuaStack::get_bool(i32 arg) const
{
    i32 i = index(arg);
    int t = lua_type(_state, i);
    if (t != LUA_TBOOLEAN && t != LUA_TNIL && t != LUA_TNONE)
        argument_error(arg, "boolean");
    return lua_toboolean(_state, i) != 0;
}

const char *LuaStack::get_string(i32 arg, u64 *out_length) const
{
    i32 i = index(arg);
    int t = lua_type(_state, i);
    if (t != LUA_TSTRING && t != LUA_TNUMBER)
        argument_error(arg, "string");
    size_t length = 0;
    const char *s = lua_tolstring(_state, i, &length);
    if (out_length)
        *out_length = length;
    return s;
}

NameId64 LuaStack::get_id64(i32 arg) const
{
    u64 length = 0;
    const char *s = get_string(arg, &length);
    if (length > 0xFFFFFFFFu)
        argument_message(arg, "name too long");
    return NameId64(s, u32(length));
}

NameId32 LuaStack::get_id32(i32 arg) const { return NameId32(get_id64(arg)); }

f32 *LuaStack::temp_payload(i32 arg, u32 which, const char *expected) const
{
    i32 i = index(arg);
    if (lua_type(_state, i) == LUA_TLIGHTUSERDATA) {
        u8 *p = static_cast<u8 *>(lua_touserdata(_state, i));
        if (is_live_temp(environment(), which, p))
            return reinterpret_cast<f32 *>(p + sizeof(u32));
    }
    argument_error(arg, expected);
}

const f32 *LuaStack::get_vector3(i32 arg) const { return temp_payload(arg, TempVector3, "Vector3"); }
f32 *LuaStack::get_vector3_mutable(i32 arg) const { return temp_payload(arg, TempVector3, "Vector3"); }
const f32 *LuaStack::get_quaternion(i32 arg) const { return temp_payload(arg, TempQuaternion, "Quaternion"); }
f32 *LuaStack::get_quaternion_mutable(i32 arg) const { return temp_payload(arg, TempQuaternion, "Quaternion"); }
const f32 *LuaStack::get_matrix4x4(i32 arg) const { return temp_payload(arg, TempMatrix4x4, "Matrix4x4"); }
f32 *LuaStack::get_matrix4x4_mutable(i32 arg) const { return temp_payload(arg, TempMatrix4x4, "Matrix4x4"); }

UnitHandle LuaStack::get_unit_handle(i32 arg) const
{
    if (!is_unit_reference(arg))
        argument_error(arg, "Unit");
    u64 v = reinterpret_cast<uintptr_t>(lua_touserdata(_state, index(arg)));
    return UnitHandle(((v >> 16) << 16) | ((v >> 1) & 0x7FFF));
}

void *LuaStack::get_pointer(i32 arg) const
{
    i32 i = index(arg);
    if (lua_type(_state, i) == LUA_TLIGHTUSERDATA) {
        void *p = lua_touserdata(_state, i);
        if (p && !(reinterpret_cast<uintptr_t>(p) & 1))
            return p;
    }
    argument_error(arg, "engine object");
}

void *LuaStack::get_object(i32 arg, const char *type_name) const
{
    i32 i = index(arg);
    if (lua_type(_state, i) == LUA_TUSERDATA && lua_getmetatable(_state, i)) {
        lua_getfield(_state, LUA_REGISTRYINDEX, type_name);
        bool same = lua_rawequal(_state, -1, -2);
        lua_pop(_state, 2);
        if (same) {
            void *object = *static_cast<void **>(lua_touserdata(_state, i));
            if (!object)
                argument_message(arg, "%s has been released", type_name);
            return object;
        }
    }
    argument_error(arg, type_name);
}

void LuaStack::push_nil() const { lua_pushnil(_state); }
void LuaStack::push_float(f32 value) const { lua_pushnumber(_state, value); }
void LuaStack::push_number(f64 value) const { lua_pushnumber(_state, value); }
void LuaStack::push_integer(i64 value) const { lua_pushnumber(_state, lua_Number(value)); }
void LuaStack::push_bool(bool value) const { lua_pushboolean(_state, value); }
void LuaStack::push_string(const char *text) const { lua_pushstring(_state, text); }
void LuaStack::push_string(const char *text, u64 length) const { lua_pushlstring(_state, text, length); }
void LuaStack::push_lightuserdata(void *pointer) const { lua_pushlightuserdata(_state, pointer); }

void LuaStack::push_object(void *object, const char *type_name) const
{
    void *block = lua_newuserdata(_state, sizeof(void *));
    std::memcpy(block, &object, sizeof(object));
    push_class_table(type_name);
    lua_setmetatable(_state, -2);
}

void LuaStack::push_class_table(const char *type_name) const
{
    // The registry is shared by the main state and its coroutines.
    lua_getfield(_state, LUA_REGISTRYINDEX, type_name);
    if (lua_istable(_state, -1))
        return;
    lua_pop(_state, 1);
    LuaEnvironment &env = environment();
    env.class_table(type_name);
    lua_xmove(env.state(), _state, 1);
}
void LuaStack::push_unit_reference(UnitHandle handle) const
{
    lua_pushlightuserdata(_state, reinterpret_cast<void *>(uintptr_t(unit_reference_value(handle))));
}
void LuaStack::push_registry_reference(i32 reference) const { lua_rawgeti(_state, LUA_REGISTRYINDEX, reference); }
void LuaStack::push_copy(i32 arg) const { lua_pushvalue(_state, index(arg)); }
void LuaStack::pop(i32 n) const { lua_settop(_state, -n - 1); }

void LuaStack::push_vector3(f32 x, f32 y, f32 z) const
{
    Vector3Temp *t = environment().make_vector3(x, y, z);
    if (!t)
        error("too many temporary Vector3 values this frame (limit %u)", temp_max_entries);
    lua_pushlightuserdata(_state, t);
}

void LuaStack::push_quaternion(f32 x, f32 y, f32 z, f32 w) const
{
    QuaternionTemp *t = environment().make_quaternion(x, y, z, w);
    if (!t)
        error("too many temporary Quaternion values this frame (limit %u)", temp_max_entries);
    lua_pushlightuserdata(_state, t);
}

void LuaStack::push_matrix4x4(const f32 *m16) const
{
    Matrix4x4Temp *t = environment().make_matrix4x4(m16);
    if (!t)
        error("too many temporary Matrix4x4 values this frame (limit %u)", temp_max_entries);
    lua_pushlightuserdata(_state, t);
}

void LuaStack::argument_error(i32 arg, const char *expected) const
{
    lua_pushfstring(_state, "bad argument #%d to '%s' (%s expected, got %s)", arg, current_function_name(_state),
                    expected, kind_name(_state, index(arg)));
    raise_with_where(_state);
}

void LuaStack::argument_message(i32 arg, const char *format, ...) const
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    lua_pushfstring(_state, "bad argument #%d to '%s' (%s)", arg, current_function_name(_state), text);
    raise_with_where(_state);
}

void LuaStack::error(const char *format, ...) const
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    lua_pushfstring(_state, "%s: %s", current_function_name(_state), text);
    raise_with_where(_state);
}

} // namespace tallow
