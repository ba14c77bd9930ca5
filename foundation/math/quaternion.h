#pragma once
// Rotation quaternion {x, y, z, w}; the identity is (0, 0, 0, 1). q and -q are the same
// rotation. `q * p` rotates by p first, then by q.

#include "foundation/types.h"
#include "foundation/math/vector3.h"

#include <cmath>

namespace tallow {

struct Quaternion {
    f32 x = 0, y = 0, z = 0, w = 1;
};

constexpr Quaternion quaternion_identity{0, 0, 0, 1};

constexpr bool operator==(Quaternion a, Quaternion b) { return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w; }

/// The product q × p.
constexpr Quaternion operator*(Quaternion q, Quaternion p)
{
    return {q.w * p.x + q.x * p.w + q.y * p.z - q.z * p.y, q.w * p.y - q.x * p.z + q.y * p.w + q.z * p.x,
            q.w * p.z + q.x * p.y - q.y * p.x + q.z * p.w, q.w * p.w - q.x * p.x - q.y * p.y - q.z * p.z};
}

constexpr f32 dot(Quaternion a, Quaternion b) { return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w; }
constexpr Quaternion conjugate(Quaternion q) { return {-q.x, -q.y, -q.z, q.w}; }

/// The rotation of `angle` radians about the unit `axis`.
inline Quaternion quaternion_from_axis_angle(Vector3 axis, f32 angle)
{
    f32 s = std::sin(angle * 0.5f);
    return {axis.x * s, axis.y * s, axis.z * s, std::cos(angle * 0.5f)};
}

/// q / |q|, or the identity when the norm is 0.
inline Quaternion normalize(Quaternion q)
{
    f32 n = std::sqrt(dot(q, q));
    if (n == 0)
        return quaternion_identity;
    f32 r = 1.0f / n;
    return {q.x * r, q.y * r, q.z * r, q.w * r};
}

/// v rotated by the unit quaternion q (q v q*).
constexpr Vector3 rotate(Quaternion q, Vector3 v)
{
    Vector3 u{q.x, q.y, q.z};
    Vector3 t = cross(u, v) * 2.0f;
    return v + t * q.w + cross(u, t);
}

} // namespace tallow
