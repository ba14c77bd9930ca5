#pragma once
// Three-component float vector: points, directions and extents.
// Coordinates: x right, y forward, z up.

#include "foundation/types.h"

#include <cmath>

namespace tallow {

struct Vector3 {
    f32 x = 0, y = 0, z = 0;
};

constexpr Vector3 operator+(Vector3 a, Vector3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
constexpr Vector3 operator-(Vector3 a, Vector3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
constexpr Vector3 operator-(Vector3 v) { return {-v.x, -v.y, -v.z}; }
constexpr Vector3 operator*(Vector3 v, f32 s) { return {v.x * s, v.y * s, v.z * s}; }
constexpr Vector3 operator*(f32 s, Vector3 v) { return v * s; }
constexpr bool operator==(Vector3 a, Vector3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

constexpr f32 dot(Vector3 a, Vector3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
constexpr Vector3 cross(Vector3 a, Vector3 b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
constexpr f32 length_squared(Vector3 v) { return dot(v, v); }
inline f32 length(Vector3 v) { return std::sqrt(dot(v, v)); }

/// Vectors shorter than this normalise to zero.
constexpr f32 normalize_min_length = 0.0001f;

/// v / |v|, or (0, 0, 0) when |v| is below `normalize_min_length`.
inline Vector3 normalize(Vector3 v)
{
    f32 n = length(v);
    if (!(n >= normalize_min_length))
        return {};
    return v * (1.0f / n);
}

} // namespace tallow
