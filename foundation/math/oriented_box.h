#pragma once
// Oriented bounding box: a pose and the extents (min, max) in the pose's local frame.
//
//   OrientedBox box = oobb_empty(pose);
//   Matrix4x4 to_local;
//   if (matrix4x4_inverse(pose, to_local))
//       box = oobb_add_point(box, to_local, point);
//
// An empty box has min = +FLT_MAX and max = -FLT_MAX, so the first point added makes
// min = max = that point. Plain values; reentrant.

#include "foundation/math/matrix4x4.h"
#include "foundation/math/vector3.h"

namespace tallow {

struct OrientedBox {
    Matrix4x4 pose;
    Vector3 min; ///< local frame
    Vector3 max; ///< local frame
};

/// A box with `pose` that holds nothing yet.
OrientedBox oobb_empty(const Matrix4x4 &pose);
/// Corner `i` (0-7) in world space: bit 0 picks max.x over min.x, bit 1 max.y, bit 2 max.z.
Vector3 oobb_corner(const OrientedBox &box, u32 i);
/// `box` widened to hold `point`, which `to_local` (the inverse of the box's pose, from
/// the caller) brings into the box's frame.
OrientedBox oobb_add_point(const OrientedBox &box, const Matrix4x4 &to_local, Vector3 point);
/// `a` widened to hold the eight corners of `b`.
OrientedBox oobb_merge(const OrientedBox &a, const Matrix4x4 &a_to_local, const OrientedBox &b);

} // namespace tallow
