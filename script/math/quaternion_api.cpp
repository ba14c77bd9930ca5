// Script table `Quaternion`: rotations as temporaries (x, y, z, w; identity (0, 0, 0, 1)).
//
//   local q = Quaternion(Vector3.up(), math.pi / 2)     -- a quarter turn about z
//   local p = Quaternion.multiply(q, q)                  -- rotating by p rotates by q twice
//   local v = Quaternion.rotate(p, Vector3.right())      -- (-1, 0, 0)
//
// Every result is a new temporary; arguments are checked (a value that is not a live
// Quaternion or Vector3 where one is expected is a Lua error naming the argument).

#include "foundation/math/rotation.h"
#include "script/math/math_api_internal.h"
#include "script/runtime/value_text.h"

#include <lua.hpp>

#include <cmath>

namespace tallow::math_api {

Quaternion look_rotation(Vector3 direction, Vector3 up)
{
    Vector3 forward = normalize(direction);
    Vector3 up_axis = normalize(up - forward * dot(up, forward));
    Matrix4x4 m = matrix4x4_identity;
    set_axis(m, 0, cross(forward, up_axis));
    set_axis(m, 1, forward);
    set_axis(m, 2, up_axis);
    return matrix_to_quaternion(m);
}

Quaternion lerp_rotation(Quaternion q, Quaternion p, f32 t)
{
    if (dot(q, p) < 0)
        p = {-p.x, -p.y, -p.z, -p.w};
    return normalize(Quaternion{q.x + (p.x - q.x) * t, q.y + (p.y - q.y) * t, q.z + (p.z - q.z) * t,
                                q.w + (p.w - q.w) * t});
}

namespace {

f32 angle_of(Quaternion q) { return 2.0f * std::atan2(std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z), q.w); }

int construct(lua_State *L)
{
    LuaStack stack(L); // argument 1 is the table itself
    push(stack, quaternion_from_axis_angle(vector3_arg(stack, 2), stack.get_float(3)));
    return 1;
}

int axis_angle(lua_State *L)
{
    LuaStack stack(L);
    push(stack, quaternion_from_axis_angle(vector3_arg(stack, 1), stack.get_float(2)));
    return 1;
}

int equal(lua_State *L)
{
    LuaStack stack(L);
    stack.push_bool(quaternion_arg(stack, 1) == quaternion_arg(stack, 2));
    return 1;
}

int dot_of(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(dot(quaternion_arg(stack, 1), quaternion_arg(stack, 2)));
    return 1;
}

int norm(lua_State *L)
{
    LuaStack stack(L);
    Quaternion q = quaternion_arg(stack, 1);
    stack.push_float(std::sqrt(dot(q, q)));
    return 1;
}

int angle(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(angle_of(quaternion_arg(stack, 1)));
    return 1;
}

int to_elements(lua_State *L)
{
    LuaStack stack(L);
    const f32 *q = stack.get_quaternion(1);
    for (u32 i = 0; i < 4; ++i)
        stack.push_float(q[i]);
    return 4;
}

int from_elements(lua_State *L)
{
    LuaStack stack(L);
    stack.push_quaternion(stack.get_float(1), stack.get_float(2), stack.get_float(3), stack.get_float(4));
    return 1;
}

int identity(lua_State *L)
{
    push(LuaStack(L), quaternion_identity);
    return 1;
}

int from_matrix4x4(lua_State *L)
{
    LuaStack stack(L);
    push(stack, matrix_to_quaternion(matrix4x4_arg(stack, 1)));
    return 1;
}

int look(lua_State *L)
{
    LuaStack stack(L);
    push(stack, look_rotation(vector3_arg(stack, 1), vector3_arg(stack, 2)));
    return 1;
}

int multiply(lua_State *L)
{
    LuaStack stack(L);
    push(stack, quaternion_arg(stack, 1) * quaternion_arg(stack, 2));
    return 1;
}

int normalize_of(lua_State *L)
{
    LuaStack stack(L);
    push(stack, normalize(quaternion_arg(stack, 1)));
    return 1;
}

int inverse(lua_State *L)
{
    LuaStack stack(L);
    Quaternion q = quaternion_arg(stack, 1);
    f32 r = 1.0f / dot(q, q);
    push(stack, Quaternion{-q.x * r, -q.y * r, -q.z * r, q.w * r});
    return 1;
}

int conjugate_of(lua_State *L)
{
    LuaStack stack(L);
    push(stack, conjugate(quaternion_arg(stack, 1)));
    return 1;
}

int lerp(lua_State *L)
{
    LuaStack stack(L);
    Quaternion q = quaternion_arg(stack, 1);
    Quaternion p = quaternion_arg(stack, 2);
    push(stack, lerp_rotation(q, p, stack.get_float(3)));
    return 1;
}

int decompose(lua_State *L)
{
    LuaStack stack(L);
    Quaternion q = quaternion_arg(stack, 1);
    push(stack, normalize(Vector3{q.x, q.y, q.z}));
    stack.push_float(angle_of(q));
    return 2;
}

int rotate_vector(lua_State *L)
{
    LuaStack stack(L);
    Quaternion q = quaternion_arg(stack, 1);
    push(stack, rotate(q, vector3_arg(stack, 2)));
    return 1;
}

template <i32 x, i32 y, i32 z> int rotated_axis(lua_State *L)
{
    LuaStack stack(L);
    push(stack, rotate(quaternion_arg(stack, 1), {f32(x), f32(y), f32(z)}));
    return 1;
}

int matrix4x4(lua_State *L)
{
    LuaStack stack(L);
    push(stack, matrix4x4_from_quaternion(quaternion_arg(stack, 1)));
    return 1;
}

int to_string(lua_State *L)
{
    LuaStack stack(L);
    TextBuffer text;
    append_quaternion(text, stack.get_quaternion(1), "(", ")");
    stack.push_string(text.data, text.length);
    return 1;
}

} // namespace

void register_quaternion(LuaEnvironment &env)
{
    const char *t = "Quaternion";
    env.add_module_metamethod(t, "__call", construct);
    env.add_module_function(t, "equal", equal);
    env.add_module_function(t, "dot", dot_of);
    env.add_module_function(t, "norm", norm);
    env.add_module_function(t, "angle", angle);
    env.add_module_function(t, "to_elements", to_elements);
    env.add_module_function(t, "from_elements", from_elements);
    env.add_module_function(t, "identity", identity);
    env.add_module_function(t, "axis_angle", axis_angle);
    env.add_module_function(t, "from_matrix4x4", from_matrix4x4);
    env.add_module_function(t, "look", look);
    env.add_module_function(t, "multiply", multiply);
    env.add_module_function(t, "normalize", normalize_of);
    env.add_module_function(t, "inverse", inverse);
    env.add_module_function(t, "conjugate", conjugate_of);
    env.add_module_function(t, "lerp", lerp);
    env.add_module_function(t, "decompose", decompose);
    env.add_module_function(t, "rotate", rotate_vector);
    env.add_module_function(t, "forward", rotated_axis<0, 1, 0>);
    env.add_module_function(t, "up", rotated_axis<0, 0, 1>);
    env.add_module_function(t, "right", rotated_axis<1, 0, 0>);
    env.add_module_function(t, "matrix4x4", matrix4x4);
    env.add_module_function(t, "to_string", to_string);
}

} // namespace tallow::math_api
