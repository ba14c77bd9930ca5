#pragma once
// The render side's matrix convention and the camera math built on it.
//
//   Matrix4x4 proj = perspective_projection(1.22f, 16.0f / 9.0f, 0.1f, 1000.0f);
//   Matrix4x4 view = rigid_inverse(camera_pose);
//   FrustumPlanes planes = frustum_planes(view * proj);
//   bool seen = box_in_frustum(planes, world, box_min, box_max);
//
// Convention (shared by every render object, the shader auto variables and the culling
// kernel):
// - Matrices are 4x4 f32 stored row by row; points are row vectors, p' = p x M, so the
//   translation is the fourth row and `a * b` applies a first, then b
//   (foundation/math/matrix4x4.h).
// - World space has z up. A camera looks along its pose's y axis (forward, depth), with
//   x to the right and z up; projections send y to clip depth and z to screen y.
// - Clip space keeps depth in [0, w] (0 at the near plane, w at the far plane) and x, y
//   in [-w, w].
// - A frustum plane (a, b, c, d) holds the points with a x + b y + c z >= d.
//
// Plain functions, reentrant, allocate nothing.

#include "foundation/math/matrix4x4.h"

namespace tallow {

/// A plane (a, b, c, d): inside when a x + b y + c z >= d.
struct FrustumPlane {
    f32 a, b, c, d;
};

/// Near, far, left, right, bottom, top.
struct FrustumPlanes {
    FrustumPlane planes[6];
};
enum FrustumPlaneIndex : u32 { frustum_near = 0, frustum_far, frustum_left, frustum_right, frustum_bottom, frustum_top };

/// The rigid inverse of `m`: its rotation transposed and its translation turned back and
/// negated. Only right for matrices without scale or shear.
Matrix4x4 rigid_inverse(const Matrix4x4 &m);

/// Perspective projection: s = 1 / tan(fov / 2), q = far / (far - near); m[0][0] = s /
/// aspect, m[2][1] = s, m[1][2] = q, m[1][3] = 1, m[3][2] = -q near. A zero or negative
/// aspect, a field of view outside (0, pi) and far <= near are replaced by the nearest sound
/// value (aspect 1, a tiny or almost-pi fov, far = near + a tiny step), so the matrix is
/// always finite.
Matrix4x4 perspective_projection(f32 vertical_fov, f32 aspect, f32 near_range, f32 far_range);
/// Orthographic projection of the rectangle (left, right, bottom, top) at `aspect`, depth
/// from near to far. Zero-sized extents are widened to a tiny step (never a division by 0).
Matrix4x4 orthographic_projection(f32 left, f32 right, f32 bottom, f32 top, f32 aspect, f32 near_range,
                                  f32 far_range);

/// The six planes of the view-projection `m`, normalised (a zero-length plane stays as it
/// is: it holds every point or none).
FrustumPlanes frustum_planes(const Matrix4x4 &m);

/// True when the box (`box_min`, `box_max` in the space `world` places) is not wholly
/// outside any plane. Conservative: a box near a frustum corner may pass.
bool box_in_frustum(const FrustumPlanes &planes, const Matrix4x4 &world, const f32 box_min[3], const f32 box_max[3]);

/// The point `p` times `m` with its w (row vector, w = 1 in).
void transform_point4(const Matrix4x4 &m, const f32 p[3], f32 out[4]);

} // namespace tallow
