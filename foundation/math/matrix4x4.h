#pragma once
// 4x4 float matrix with row vectors: rows 0-2 are the x, y and z axes and row 3 the
// translation, stored row by row (16 f32). A point p transforms to
// p.x × row0 + p.y × row1 + p.z × row2 + row3, so world = local × parent world.
//
//   Matrix4x4 world = local * parent_world;
//   Vector3 p = transform_point(world, {1, 0, 0});

#include "foundation/math/quaternion.h"
#include "foundation/types.h"
#include "foundation/math/vector3.h"

namespace tallow {

struct Matrix4x4 {
    f32 m[4][4]; ///< m[row][column]
};
static_assert(sizeof(Matrix4x4) == 64);

constexpr Matrix4x4 matrix4x4_identity{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};

/// a × b: transforming by the result transforms by a first, then by b.
constexpr Matrix4x4 operator*(const Matrix4x4 &a, const Matrix4x4 &b)
{
    Matrix4x4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j] + a.m[i][3] * b.m[3][j];
    return r;
}

constexpr bool operator==(const Matrix4x4 &a, const Matrix4x4 &b)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (a.m[i][j] != b.m[i][j])
                return false;
    return true;
}

/// Row `i` (0 x axis, 1 y axis, 2 z axis, 3 translation) as a Vector3.
constexpr Vector3 axis(const Matrix4x4 &m, int i) { return {m.m[i][0], m.m[i][1], m.m[i][2]}; }
constexpr Vector3 translation(const Matrix4x4 &m) { return axis(m, 3); }
constexpr void set_axis(Matrix4x4 &m, int i, Vector3 v)
{
    m.m[i][0] = v.x;
    m.m[i][1] = v.y;
    m.m[i][2] = v.z;
}
constexpr void set_translation(Matrix4x4 &m, Vector3 v) { set_axis(m, 3, v); }

/// The point `p` transformed by `m` (rotation and translation).
constexpr Vector3 transform_point(const Matrix4x4 &m, Vector3 p)
{
    return axis(m, 0) * p.x + axis(m, 1) * p.y + axis(m, 2) * p.z + axis(m, 3);
}
/// `v` turned by the matrix's axes only.
constexpr Vector3 transform_without_translation(const Matrix4x4 &m, Vector3 v)
{
    return axis(m, 0) * v.x + axis(m, 1) * v.y + axis(m, 2) * v.z;
}

/// The rotation matrix of the unit quaternion q (its rows are the rotated axes) with
/// translation `position`.
constexpr Matrix4x4 matrix4x4_from_quaternion(Quaternion q, Vector3 position = {})
{
    Matrix4x4 r = matrix4x4_identity;
    set_axis(r, 0, rotate(q, {1, 0, 0}));
    set_axis(r, 1, rotate(q, {0, 1, 0}));
    set_axis(r, 2, rotate(q, {0, 0, 1}));
    set_translation(r, position);
    return r;
}

/// Inverts `in` into `out` (which may be `in`) by Gauss-Jordan elimination with partial
/// pivoting. Returns false for a singular input (a zero, infinite or not-a-number pivot):
/// the elimination stops there and `out` holds the identity with the row operations made
/// so far, which is not an inverse. Reentrant; allocates nothing.
[[nodiscard]] bool matrix4x4_inverse(const Matrix4x4 &in, Matrix4x4 &out);

} // namespace tallow
