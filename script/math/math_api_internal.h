#pragma once
// What the math script tables (vector3_api.cpp, quaternion_api.cpp, matrix4x4_api.cpp,
// math_api.cpp) share: reading checked arguments into the engine's math types and
// pushing results as temporaries.

#include "foundation/math/matrix4x4.h"
#include "foundation/math/quaternion.h"
#include "foundation/math/vector3.h"
#include "script/runtime/lua_environment.h"

#include <cstring>

namespace tallow::math_api {

inline Vector3 vector3_arg(const LuaStack &stack, i32 arg)
{
    const f32 *p = stack.get_vector3(arg);
    return {p[0], p[1], p[2]};
}

inline Quaternion quaternion_arg(const LuaStack &stack, i32 arg)
{
    const f32 *p = stack.get_quaternion(arg);
    return {p[0], p[1], p[2], p[3]};
}

inline Matrix4x4 matrix4x4_arg(const LuaStack &stack, i32 arg)
{
    Matrix4x4 m;
    std::memcpy(&m, stack.get_matrix4x4(arg), sizeof(m));
    return m;
}

inline void push(const LuaStack &stack, Vector3 v) { stack.push_vector3(v.x, v.y, v.z); }
inline void push(const LuaStack &stack, Quaternion q) { stack.push_quaternion(q.x, q.y, q.z, q.w); }
inline void push(const LuaStack &stack, const Matrix4x4 &m) { stack.push_matrix4x4(&m.m[0][0]); }

/// A row or element index from 1 to `last`, raising a bad-argument error outside it.
inline u32 index_arg(const LuaStack &stack, i32 arg, u32 last) { return u32(stack.get_integer(arg, 1, last)) - 1; }

/// The rotation whose forward (y) axis points along `direction`, with `up` giving the roll.
Quaternion look_rotation(Vector3 direction, Vector3 up);
/// Rotation from q towards p (p's sign flipped when q . p < 0), normalised.
Quaternion lerp_rotation(Quaternion q, Quaternion p, f32 t);

void register_vector3(LuaEnvironment &env);
void register_quaternion(LuaEnvironment &env);
void register_matrix4x4(LuaEnvironment &env);
void register_math(LuaEnvironment &env);

} // namespace tallow::math_api
