#pragma once
// A small script table built with the registration helpers, used to exercise argument
// checks and temporaries from test scripts.

#include "script/runtime/lua_environment.h"

#include <lua.hpp>

#include <cmath>

namespace tallow::test {

inline int probe_vec(lua_State *L)
{
    LuaStack s(L);
    s.push_vector3(s.get_float(1), s.get_float(2), s.get_float(3));
    return 1;
}
inline int probe_quat(lua_State *L)
{
    LuaStack s(L);
    s.push_quaternion(s.get_float(1), s.get_float(2), s.get_float(3), s.get_float(4));
    return 1;
}
inline int probe_matrix(lua_State *L)
{
    LuaStack s(L);
    f32 m[16] = {};
    for (int i = 0; i < 16; ++i)
        m[i] = f32(i) * s.opt_float(1, 1.0f);
    s.push_matrix4x4(m);
    return 1;
}
inline int probe_length(lua_State *L)
{
    LuaStack s(L);
    const f32 *v = s.get_vector3(1);
    s.push_float(std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]));
    return 1;
}
inline int probe_add(lua_State *L)
{
    LuaStack s(L);
    const f32 *a = s.get_vector3(1);
    const f32 *b = s.get_vector3(2);
    s.push_vector3(a[0] + b[0], a[1] + b[1], a[2] + b[2]);
    return 1;
}
inline int probe_components(lua_State *L)
{
    LuaStack s(L);
    const f32 *v = s.get_vector3(1);
    s.push_float(v[0]);
    s.push_float(v[1]);
    s.push_float(v[2]);
    return 3;
}
inline int probe_w(lua_State *L)
{
    LuaStack s(L);
    s.push_float(s.get_quaternion(1)[3]);
    return 1;
}
inline int probe_m15(lua_State *L)
{
    LuaStack s(L);
    s.push_float(s.get_matrix4x4(1)[15]);
    return 1;
}
inline int probe_slot(lua_State *L)
{
    LuaStack s(L);
    s.push_integer(s.get_integer(1, 1, 3));
    return 1;
}
inline int probe_unit(lua_State *L)
{
    LuaStack s(L);
    s.push_integer(s.get_unit_handle(1));
    return 1;
}
inline int probe_make_unit(lua_State *L)
{
    LuaStack s(L);
    s.push_unit_reference(UnitHandle(s.get_integer(1, 0, 0xFFFFFFFF)));
    return 1;
}
inline int probe_name(lua_State *L)
{
    LuaStack s(L);
    s.push_number(f64(s.get_id64(1).value() & 0xFFFF));
    return 1;
}
inline int probe_object(lua_State *L)
{
    LuaStack s(L);
    s.push_lightuserdata(s.get_pointer(1));
    return 1;
}
inline int probe_world(lua_State *L)
{
    LuaStack s(L);
    s.push_lightuserdata(s.get_object(1, "World"));
    return 1;
}
inline int probe_flag(lua_State *L)
{
    LuaStack s(L);
    s.push_bool(s.get_bool(1));
    return 1;
}
inline int probe_call(lua_State *L)
{
    // __call receives the table first.
    LuaStack s(L, 1);
    s.push_vector3(s.get_float(1), s.get_float(2), s.get_float(3));
    return 1;
}

/// Registers the table `Probe` (and a `World` table for object checks).
inline void register_probe(LuaEnvironment &env)
{
    static const struct {
        const char *name;
        int (*function)(lua_State *);
    } functions[] = {
        {"vec", probe_vec},       {"quat", probe_quat},   {"matrix", probe_matrix}, {"length", probe_length},
        {"add", probe_add},       {"xyz", probe_components}, {"w", probe_w},       {"m15", probe_m15},
        {"slot", probe_slot},     {"unit", probe_unit},   {"make_unit", probe_make_unit},
        {"name", probe_name},     {"object", probe_object}, {"world", probe_world}, {"flag", probe_flag},
    };
    for (const auto &f : functions)
        env.add_module_function("Probe", f.name, f.function);
    env.add_module_metamethod("Probe", "__call", probe_call);
    env.class_table("World");
    lua_pop(env.state(), 1);
}

} // namespace tallow::test
