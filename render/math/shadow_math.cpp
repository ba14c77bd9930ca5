#include "render/math/shadow_math.h"

#include <algorithm>
#include <cmath>

namespace tallow {

namespace {
constexpr f32 half_pi = 1.57079633f;
constexpr f32 light_back_distance = 250.0f;

// Pose rows x, y, z and translation.
Matrix4x4 pose_of(Vector3 x, Vector3 y, Vector3 z, Vector3 position)
{
    Matrix4x4 m = matrix4x4_identity;
    set_axis(m, 0, x);
    set_axis(m, 1, y);
    set_axis(m, 2, z);
    set_translation(m, position);
    return m;
}
} // namespace

CubeFaceAxes cube_face_axes(u32 face)
{
    static const CubeFaceAxes faces[cube_face_count] = {
        {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}},  {{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}},
        {{0, 1, 0}, {1, 0, 0}, {0, 0, -1}},  {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}},
        {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},   {{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}},
    };
    return faces[face < cube_face_count ? face : cube_face_count - 1];
}

Matrix4x4 cube_face_pose(u32 face, Vector3 position)
{
    const CubeFaceAxes a = cube_face_axes(face);
    return pose_of(a.right, a.direction, a.up, position);
}

Matrix4x4 cube_face_view_projection(u32 face, Vector3 position, f32 range)
{
    // The pose is orthonormal (a mirror, not a rotation), so its transpose is still its inverse.
    return rigid_inverse(cube_face_pose(face, position)) *
           perspective_projection(half_pi, 1.0f, shadow_near_range, range);
}

Matrix4x4 viewport_texture_mapping(f32 x, f32 y, f32 width, f32 height)
{
    Matrix4x4 t = matrix4x4_identity;
    t.m[0][0] = width * 0.5f;
    t.m[1][1] = -height * 0.5f;
    t.m[3][0] = x + width * 0.5f;
    t.m[3][1] = y + height * 0.5f;
    return t;
}

Matrix4x4 spot_shadow_pose(const Matrix4x4 &light_world)
{
    const Vector3 forward = normalize(axis(light_world, 1));
    Vector3 up = normalize(axis(light_world, 2) - forward * dot(axis(light_world, 2), forward));
    if (length_squared(up) == 0) // a transform without a usable z axis: any perpendicular will do
        up = normalize(std::fabs(forward.x) < 0.9f ? cross(cross(forward, Vector3{1, 0, 0}), forward)
                                                   : cross(cross(forward, Vector3{0, 0, 1}), forward));
    const Vector3 right = cross(forward, up);
    return pose_of(right, forward, up, translation(light_world));
}

Matrix4x4 spot_shadow_view_projection(const Matrix4x4 &light_world, f32 spot_angle_end, f32 range)
{
    return rigid_inverse(spot_shadow_pose(light_world)) *
           perspective_projection(spot_angle_end, 1.0f, shadow_near_range, range);
}

Matrix4x4 spot_shadow_matrix(const Matrix4x4 &light_world, f32 spot_angle_end, f32 range)
{
    return spot_shadow_view_projection(light_world, spot_angle_end, range) * viewport_texture_mapping(0, 0, 1, 1);
}

bool fit_cascade_slice(const CascadeCamera &camera, const CascadeSliceInput &slice, CascadeSliceFit *out)
{
    // d. The view volume's corners between the two depths, in view space (y is depth).
    Vector3 view_corners[8];
    for (u32 i = 0; i < 8; ++i) {
        const f32 depth = (i & 4) ? slice.depth_end : slice.depth_start;
        f32 x0, x1, z0, z1;
        if (camera.perspective) {
            const f32 half_z = std::tan(camera.vertical_fov * 0.5f) * depth;
            const f32 half_x = half_z * camera.aspect;
            x0 = -half_x, x1 = half_x, z0 = -half_z, z1 = half_z;
        } else {
            x0 = camera.ortho_left * camera.aspect, x1 = camera.ortho_right * camera.aspect;
            z0 = camera.ortho_bottom, z1 = camera.ortho_top;
        }
        view_corners[i] = {(i & 1) ? x1 : x0, depth, (i & 2) ? z1 : z0};
    }
    Vector3 view_min = view_corners[0], view_max = view_corners[0];
    for (u32 i = 0; i < 8; ++i) {
        const Vector3 v = view_corners[i];
        view_min = {std::min(view_min.x, v.x), std::min(view_min.y, v.y), std::min(view_min.z, v.z)};
        view_max = {std::max(view_max.x, v.x), std::max(view_max.y, v.y), std::max(view_max.z, v.z)};
        out->corners[i] = transform_point(camera.pose, v);
    }
    // r bounds the corners around the view-space box's centre, not around the middle of the
    // world-space box (a turned camera moves that by up to a few percent of r, and corners
    // then fell outside the map): the centre is the view box's, taken to world space.
    const f32 r = length(view_max - view_min) * 0.5f;
    const Vector3 m = transform_point(camera.pose, (view_min + view_max) * 0.5f);
    out->radius = r;
    out->centre = m;

    const Vector3 d = normalize(slice.light_direction);
    if (length_squared(d) == 0)
        return false;

    // e, f. Back along the light; up is X made orthogonal to d, or Z when d runs along X
    // (X would leave no up axis at all).
    Vector3 p = m - d * light_back_distance;
    Vector3 up = normalize(Vector3{1 - d.x * d.x, -d.x * d.y, -d.x * d.z});
    if (length_squared(up) == 0)
        up = normalize(Vector3{-d.z * d.x, -d.z * d.y, 1 - d.z * d.z});
    const Vector3 right = cross(d, up);

    // g. The move along the camera's forward axis keeps only its part along the light: its
    // part across the light would slide the box off the slice (corners of the view volume
    // fell up to a tenth of the map outside it), leaving shadows in view unrendered.
    const Vector3 camera_forward = normalize(axis(camera.pose, 1));
    const Vector3 shift = camera_forward * (r - length(translation(camera.pose) - m));
    p = p + d * dot(shift, d);

    // h. Whole texels along right and up.
    const f32 tx = 2 * r / (slice.target_width > 0 ? slice.target_width : 1.0f);
    const f32 tz = 2 * r / (slice.target_height > 0 ? slice.target_height : 1.0f);
    if (tx > 0 && tz > 0)
        p = p - right * std::fmod(dot(p, right), tx) - up * std::fmod(dot(p, up), tz);

    // i. Far enough for every corner.
    f32 reach = 0;
    for (const Vector3 &c : out->corners)
        reach = std::max(reach, dot(c, d) - dot(m, d));
    const f32 far_range = reach + length(p - m);
    out->far_range = far_range;

    out->light_pose = pose_of(right, d, up, p);
    out->view_projection =
        rigid_inverse(out->light_pose) * orthographic_projection(-r, r, -r, r, 1.0f, shadow_near_range, far_range);
    // j. Into the slice's rectangle of its target.
    out->world_to_shadow_map =
        out->view_projection *
        viewport_texture_mapping(slice.viewport[0], slice.viewport[1], slice.viewport[2], slice.viewport[3]);
    return true;
}

} // namespace tallow
