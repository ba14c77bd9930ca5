// Script table `Matrix4x4`: poses as temporaries, four rows of four floats (x axis, y axis,
// z axis, translation); `element(m, r, c)` counts rows and columns from 1.
//
//   local m = Matrix4x4.from_quaternion_position(Quaternion.identity(), Vector3(1, 2, 3))
//   local p = Matrix4x4.transform(m, Vector3.zero())        -- (1, 2, 3)
//   Matrix4x4.set_translation(m, Vector3.zero())            -- writes m itself
//
// Every result is a new temporary; only the set_* functions write into the matrix they
// are given. Arguments are checked: a value that is not a live Matrix4x4 (or Vector3,
// Quaternion) where one is expected, or a row, column or axis outside 1..4, is a Lua
// error naming the function and the argument.

#include "foundation/math/rotation.h"
#include "script/math/math_api_internal.h"
#include "script/runtime/value_text.h"

#include <lua.hpp>

namespace tallow::math_api {

namespace {

f32 (*rows_of(f32 *payload))[4] { return reinterpret_cast<f32(*)[4]>(payload); }

Matrix4x4 from_elements_at(const LuaStack &stack, i32 first)
{
    Matrix4x4 m = matrix4x4_identity;
    for (i32 row = 0; row < 4; ++row)
        for (i32 c = 0; c < 3; ++c)
            m.m[row][c] = stack.get_float(first + row * 3 + c);
    return m;
}

int construct(lua_State *L)
{
    LuaStack stack(L); // argument 1 is the table itself
    push(stack, from_elements_at(stack, 2));
    return 1;
}

int from_elements(lua_State *L)
{
    LuaStack stack(L);
    push(stack, from_elements_at(stack, 1));
    return 1;
}

int to_elements(lua_State *L)
{
    LuaStack stack(L);
    Matrix4x4 m = matrix4x4_arg(stack, 1);
    for (i32 row = 0; row < 4; ++row)
        for (i32 c = 0; c < 3; ++c)
            stack.push_float(m.m[row][c]);
    return 12;
}

int element(lua_State *L)
{
    LuaStack stack(L);
    Matrix4x4 m = matrix4x4_arg(stack, 1);
    u32 row = index_arg(stack, 2, 4);
    u32 column = index_arg(stack, 3, 4);
    stack.push_float(m.m[row][column]);
    return 1;
}

int set_element(lua_State *L)
{
    LuaStack stack(L);
    f32(*m)[4] = rows_of(stack.get_matrix4x4_mutable(1));
    u32 row = index_arg(stack, 2, 4);
    u32 column = index_arg(stack, 3, 4);
    m[row][column] = stack.get_float(4);
    return 0;
}

void write_row(f32 (*m)[4], u32 row, Vector3 v)
{
    m[row][0] = v.x;
    m[row][1] = v.y;
    m[row][2] = v.z;
}

int set_axis(lua_State *L)
{
    LuaStack stack(L);
    f32(*m)[4] = rows_of(stack.get_matrix4x4_mutable(1));
    u32 row = index_arg(stack, 2, 4);
    write_row(m, row, vector3_arg(stack, 3));
    return 0;
}

template <u32 row> int set_row(lua_State *L)
{
    LuaStack stack(L);
    f32(*m)[4] = rows_of(stack.get_matrix4x4_mutable(1));
    write_row(m, row, vector3_arg(stack, 2));
    return 0;
}

int set_rotation(lua_State *L)
{
    LuaStack stack(L);
    f32(*m)[4] = rows_of(stack.get_matrix4x4_mutable(1));
    Matrix4x4 r = matrix4x4_from_quaternion(quaternion_arg(stack, 2));
    for (u32 row = 0; row < 3; ++row)
        for (u32 c = 0; c < 4; ++c)
            m[row][c] = r.m[row][c];
    return 0;
}

int equal(lua_State *L)
{
    LuaStack stack(L);
    stack.push_bool(matrix4x4_arg(stack, 1) == matrix4x4_arg(stack, 2));
    return 1;
}

int rotation(lua_State *L)
{
    LuaStack stack(L);
    push(stack, matrix_to_quaternion(matrix4x4_arg(stack, 1)));
    return 1;
}

int zero(lua_State *L)
{
    push(LuaStack(L), Matrix4x4{});
    return 1;
}

int identity(lua_State *L)
{
    push(LuaStack(L), matrix4x4_identity);
    return 1;
}

int from_translation(lua_State *L)
{
    LuaStack stack(L);
    Matrix4x4 m = matrix4x4_identity;
    set_translation(m, vector3_arg(stack, 1));
    push(stack, m);
    return 1;
}

int from_quaternion(lua_State *L)
{
    LuaStack stack(L);
    push(stack, matrix4x4_from_quaternion(quaternion_arg(stack, 1)));
    return 1;
}

int from_quaternion_position(lua_State *L)
{
    LuaStack stack(L);
    Quaternion q = quaternion_arg(stack, 1);
    push(stack, matrix4x4_from_quaternion(q, vector3_arg(stack, 2)));
    return 1;
}

int from_axes(lua_State *L)
{
    LuaStack stack(L);
    Matrix4x4 m = matrix4x4_identity;
    for (i32 row = 0; row < 4; ++row)
        tallow::set_axis(m, row, vector3_arg(stack, row + 1));
    push(stack, m);
    return 1;
}

int multiply(lua_State *L)
{
    LuaStack stack(L);
    push(stack, matrix4x4_arg(stack, 1) * matrix4x4_arg(stack, 2));
    return 1;
}

int inverse(lua_State *L)
{
    LuaStack stack(L);
    Matrix4x4 r;
    // A singular matrix has no inverse: nil, not the half-eliminated matrix.
    if (matrix4x4_inverse(matrix4x4_arg(stack, 1), r))
        push(stack, r);
    else
        stack.push_nil();
    return 1;
}

int axis_of(lua_State *L)
{
    LuaStack stack(L);
    Matrix4x4 m = matrix4x4_arg(stack, 1);
    push(stack, axis(m, int(index_arg(stack, 2, 4))));
    return 1;
}

template <int row> int row_of(lua_State *L)
{
    LuaStack stack(L);
    push(stack, axis(matrix4x4_arg(stack, 1), row));
    return 1;
}

int transform(lua_State *L)
{
    LuaStack stack(L);
    Matrix4x4 m = matrix4x4_arg(stack, 1);
    push(stack, transform_point(m, vector3_arg(stack, 2)));
    return 1;
}

int transform_direction(lua_State *L)
{
    LuaStack stack(L);
    Matrix4x4 m = matrix4x4_arg(stack, 1);
    push(stack, transform_without_translation(m, vector3_arg(stack, 2)));
    return 1;
}

int copy(lua_State *L)
{
    LuaStack stack(L);
    push(stack, matrix4x4_arg(stack, 1));
    return 1;
}

int lerp(lua_State *L)
{
    LuaStack stack(L);
    Matrix4x4 a = matrix4x4_arg(stack, 1);
    Matrix4x4 b = matrix4x4_arg(stack, 2);
    f32 t = stack.get_float(3);
    Quaternion q = lerp_rotation(matrix_to_quaternion(a), matrix_to_quaternion(b), t);
    Vector3 p = translation(a) + (translation(b) - translation(a)) * t;
    push(stack, matrix4x4_from_quaternion(q, p));
    return 1;
}

int to_string(lua_State *L)
{
    LuaStack stack(L);
    TextBuffer text;
    append_matrix4x4_rows(text, stack.get_matrix4x4(1));
    stack.push_string(text.data, text.length);
    return 1;
}

} // namespace

void register_matrix4x4(LuaEnvironment &env)
{
    const char *t = "Matrix4x4";
    env.add_module_metamethod(t, "__call", construct);
    env.add_module_function(t, "to_elements", to_elements);
    env.add_module_function(t, "element", element);
    env.add_module_function(t, "set_element", set_element);
    env.add_module_function(t, "set_axis", set_axis);
    env.add_module_function(t, "set_translation", set_row<3>);
    env.add_module_function(t, "set_rotation", set_rotation);
    env.add_module_function(t, "set_x", set_row<0>);
    env.add_module_function(t, "set_right", set_row<0>);
    env.add_module_function(t, "set_y", set_row<1>);
    env.add_module_function(t, "set_forward", set_row<1>);
    env.add_module_function(t, "set_z", set_row<2>);
    env.add_module_function(t, "set_up", set_row<2>);
    env.add_module_function(t, "equal", equal);
    env.add_module_function(t, "rotation", rotation);
    env.add_module_function(t, "from_elements", from_elements);
    env.add_module_function(t, "zero", zero);
    env.add_module_function(t, "identity", identity);
    env.add_module_function(t, "from_translation", from_translation);
    env.add_module_function(t, "from_quaternion", from_quaternion);
    env.add_module_function(t, "from_quaternion_position", from_quaternion_position);
    env.add_module_function(t, "from_axes", from_axes);
    env.add_module_function(t, "multiply", multiply);
    env.add_module_function(t, "inverse", inverse);
    env.add_module_function(t, "axis", axis_of);
    env.add_module_function(t, "translation", row_of<3>);
    env.add_module_function(t, "x", row_of<0>);
    env.add_module_function(t, "right", row_of<0>);
    env.add_module_function(t, "up", row_of<2>);
    env.add_module_function(t, "z", row_of<2>);
    env.add_module_function(t, "transform", transform);
    env.add_module_function(t, "transform_without_translation", transform_direction);
    env.add_module_function(t, "copy", copy);
    env.add_module_function(t, "lerp", lerp);
    env.add_module_function(t, "to_string", to_string);
}

} // namespace tallow::math_api
