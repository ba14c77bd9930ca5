// Script table `Vector3` and the metamethods every light userdata shares.
//
//   local v = Vector3(1, 2, 3)                  -- a temporary, valid until the next frame
//   local w = v + Vector3.up() * 2
//   print(v.x, v[2], Vector3.length(w), Vector3.to_string(w))
//   v.z = 0                                     -- writes the temporary itself
//
// Every result is a new temporary; only set_element, set_x, set_y and set_z (and the
// __newindex metamethod) write into the Vector3 they are given. Arguments are checked:
// a value that is not a live Vector3, or an index outside 1..3, is a Lua error naming the
// function and the argument.

#include "script/math/math_api_internal.h"
#include "script/script_api.h"
#include "script/runtime/value_text.h"

#include <lua.hpp>

#include <cmath>

namespace tallow::math_api {

namespace {

using Binary = Vector3 (*)(Vector3, Vector3);

template <Binary op> int binary(lua_State *L)
{
    LuaStack stack(L);
    push(stack, op(vector3_arg(stack, 1), vector3_arg(stack, 2)));
    return 1;
}

Vector3 add(Vector3 a, Vector3 b) { return a + b; }
Vector3 subtract(Vector3 a, Vector3 b) { return a - b; }
Vector3 multiply_elements(Vector3 a, Vector3 b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
Vector3 divide_elements(Vector3 a, Vector3 b) { return {a.x / b.x, a.y / b.y, a.z / b.z}; }
Vector3 cross_product(Vector3 a, Vector3 b) { return cross(a, b); }
Vector3 minimum(Vector3 a, Vector3 b)
{
    return {a.x < b.x ? a.x : b.x, a.y < b.y ? a.y : b.y, a.z < b.z ? a.z : b.z};
}
Vector3 maximum(Vector3 a, Vector3 b)
{
    return {a.x > b.x ? a.x : b.x, a.y > b.y ? a.y : b.y, a.z > b.z ? a.z : b.z};
}

template <i32 x, i32 y, i32 z> int constant(lua_State *L)
{
    LuaStack(L).push_vector3(f32(x), f32(y), f32(z));
    return 1;
}

int construct(lua_State *L)
{
    LuaStack stack(L); // argument 1 is the table itself
    stack.push_vector3(stack.get_float(2), stack.get_float(3), stack.get_float(4));
    return 1;
}

int multiply(lua_State *L)
{
    LuaStack stack(L);
    push(stack, vector3_arg(stack, 1) * stack.get_float(2));
    return 1;
}

int divide(lua_State *L)
{
    LuaStack stack(L);
    push(stack, vector3_arg(stack, 1) * (1.0f / stack.get_float(2)));
    return 1;
}

int equal(lua_State *L)
{
    LuaStack stack(L);
    stack.push_bool(vector3_arg(stack, 1) == vector3_arg(stack, 2));
    return 1;
}

int to_string(lua_State *L)
{
    LuaStack stack(L);
    TextBuffer text;
    append_vector3(text, stack.get_vector3(1), "(", ")");
    stack.push_string(text.data, text.length);
    return 1;
}

int base(lua_State *L)
{
    LuaStack stack(L);
    i64 i = stack.get_integer(1);
    stack.push_vector3(i == 1 ? 1.0f : 0.0f, i == 2 ? 1.0f : 0.0f, i == 3 ? 1.0f : 0.0f);
    return 1;
}

int element(lua_State *L)
{
    LuaStack stack(L);
    const f32 *v = stack.get_vector3(1);
    stack.push_float(v[index_arg(stack, 2, 3)]);
    return 1;
}

template <u32 i> int component(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(stack.get_vector3(1)[i]);
    return 1;
}

int set_element(lua_State *L)
{
    LuaStack stack(L);
    f32 *v = stack.get_vector3_mutable(1);
    u32 i = index_arg(stack, 2, 3);
    v[i] = stack.get_float(3);
    return 0;
}

template <u32 i> int set_component(lua_State *L)
{
    LuaStack stack(L);
    f32 *v = stack.get_vector3_mutable(1);
    v[i] = stack.get_float(2);
    return 0;
}

int length_of(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(length(vector3_arg(stack, 1)));
    return 1;
}

int normalize_of(lua_State *L)
{
    LuaStack stack(L);
    push(stack, normalize(vector3_arg(stack, 1)));
    return 1;
}

int dot_of(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(dot(vector3_arg(stack, 1), vector3_arg(stack, 2)));
    return 1;
}

int distance(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(length(vector3_arg(stack, 1) - vector3_arg(stack, 2)));
    return 1;
}

int distance_squared(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(length_squared(vector3_arg(stack, 1) - vector3_arg(stack, 2)));
    return 1;
}

int make_axes(lua_State *L)
{
    LuaStack stack(L);
    Vector3 v = vector3_arg(stack, 1); // used as given, not normalised
    Vector3 a = v.z > -0.5f && v.z < 0.5f ? normalize(cross({0, 0, 1}, v)) : normalize(cross(v, {1, 0, 0}));
    push(stack, a);
    push(stack, cross(v, a));
    return 2;
}

int lerp(lua_State *L)
{
    LuaStack stack(L);
    Vector3 a = vector3_arg(stack, 1);
    Vector3 b = vector3_arg(stack, 2);
    push(stack, a + (b - a) * stack.get_float(3));
    return 1;
}

int to_elements(lua_State *L)
{
    LuaStack stack(L);
    const f32 *v = stack.get_vector3(1);
    for (u32 i = 0; i < 3; ++i)
        stack.push_float(v[i]);
    return 3;
}

// --- Metamethods of every light userdata -------------------------------------------------

int meta_multiply(lua_State *L)
{
    LuaStack stack(L);
    if (stack.is_number(1)) {
        push(stack, vector3_arg(stack, 2) * stack.get_float(1));
        return 1;
    }
    Vector3 v = vector3_arg(stack, 1);
    // A second operand that is not a number counts as 0 (so v * w is the zero vector).
    push(stack, v * (stack.is_number(2) ? stack.get_float(2) : 0.0f));
    return 1;
}

int meta_negate(lua_State *L)
{
    LuaStack stack(L);
    push(stack, -vector3_arg(stack, 1));
    return 1;
}

/// The component a key selects: the first character "x", "y" or "z" of a string, or the
/// numbers 1, 2, 3; -1 for any other key.
i32 component_of_key(lua_State *L, i32 index)
{
    int t = lua_type(L, index);
    if (t == LUA_TSTRING) {
        const char *key = lua_tostring(L, index);
        switch (key[0]) {
        case 'x': return 0;
        case 'y': return 1;
        case 'z': return 2;
        default: return -1;
        }
    }
    if (t == LUA_TNUMBER) {
        lua_Number n = lua_tonumber(L, index);
        return n == 1 ? 0 : n == 2 ? 1 : n == 3 ? 2 : -1;
    }
    return -1;
}

/// The payload of a live Vector3 or Quaternion temporary at argument 1, or null.
f32 *math_value(const LuaStack &stack)
{
    if (stack.is_vector3(1))
        return stack.get_vector3_mutable(1);
    if (stack.is_quaternion(1))
        return stack.get_quaternion_mutable(1);
    return nullptr;
}

int meta_index(lua_State *L)
{
    LuaStack stack(L);
    // Only the math values are read through; any other light userdata (an engine object,
    // a unit reference, a null pointer) has no components and gives nil.
    f32 *v = math_value(stack);
    i32 i = component_of_key(L, 2);
    if (!v || i < 0)
        stack.push_nil();
    else
        stack.push_float(v[i]);
    return 1;
}

int meta_newindex(lua_State *L)
{
    LuaStack stack(L);
    f32 *v = math_value(stack);
    if (!v)
        stack.argument_error(1, "Vector3");
    i32 i = component_of_key(L, 2);
    f32 value = stack.get_float(3);
    if (i >= 0)
        v[i] = value;
    return 0;
}

} // namespace

void register_vector3(LuaEnvironment &env)
{
    const char *t = "Vector3";
    env.add_module_metamethod(t, "__call", construct);
    env.add_module_function(t, "add", binary<add>);
    env.add_module_function(t, "subtract", binary<subtract>);
    env.add_module_function(t, "multiply", multiply);
    env.add_module_function(t, "divide", divide);
    env.add_module_function(t, "multiply_elements", binary<multiply_elements>);
    env.add_module_function(t, "divide_elements", binary<divide_elements>);
    env.add_module_function(t, "equal", equal);
    env.add_module_function(t, "to_string", to_string);
    env.add_module_function(t, "zero", constant<0, 0, 0>);
    env.add_module_function(t, "base", base);
    env.add_module_function(t, "right", constant<1, 0, 0>);
    env.add_module_function(t, "forward", constant<0, 1, 0>);
    env.add_module_function(t, "up", constant<0, 0, 1>);
    env.add_module_function(t, "left", constant<-1, 0, 0>);
    env.add_module_function(t, "backward", constant<0, -1, 0>);
    env.add_module_function(t, "down", constant<0, 0, -1>);
    env.add_module_function(t, "x_axis", constant<1, 0, 0>);
    env.add_module_function(t, "y_axis", constant<0, 1, 0>);
    env.add_module_function(t, "z_axis", constant<0, 0, 1>);
    env.add_module_function(t, "element", element);
    env.add_module_function(t, "x", component<0>);
    env.add_module_function(t, "y", component<1>);
    env.add_module_function(t, "z", component<2>);
    env.add_module_function(t, "set_element", set_element);
    env.add_module_function(t, "set_x", set_component<0>);
    env.add_module_function(t, "set_y", set_component<1>);
    env.add_module_function(t, "set_z", set_component<2>);
    env.add_module_function(t, "length", length_of);
    env.add_module_function(t, "normalize", normalize_of);
    env.add_module_function(t, "dot", dot_of);
    env.add_module_function(t, "cross", binary<cross_product>);
    env.add_module_function(t, "distance", distance);
    env.add_module_function(t, "distance_squared", distance_squared);
    env.add_module_function(t, "make_axes", make_axes);
    env.add_module_function(t, "lerp", lerp);
    env.add_module_function(t, "min", binary<minimum>);
    env.add_module_function(t, "max", binary<maximum>);
    env.add_module_function(t, "to_elements", to_elements);

    const char *meta = "LightUserData";
    env.add_module_function(meta, "__add", binary<add>);
    env.add_module_function(meta, "__sub", binary<subtract>);
    env.add_module_function(meta, "__mul", meta_multiply);
    env.add_module_function(meta, "__div", divide);
    env.add_module_function(meta, "__unm", meta_negate);
    env.add_module_function(meta, "__index", meta_index);
    env.add_module_function(meta, "__newindex", meta_newindex);
    env.set_lightuserdata_metatable(meta);
}

} // namespace tallow::math_api

namespace tallow {

void register_math_api(LuaEnvironment &env)
{
    math_api::register_vector3(env);
    math_api::register_quaternion(env);
    math_api::register_matrix4x4(env);
    math_api::register_math(env);
}

} // namespace tallow
