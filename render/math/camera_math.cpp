#include "render/math/camera_math.h"

#include <cmath>

namespace tallow {

namespace {
constexpr f32 tiny = 1e-6f;

f32 at_least_tiny(f32 extent)
{
    if (std::fabs(extent) >= tiny && std::isfinite(extent))
        return extent;
    return extent < 0 ? -tiny : tiny;
}
} // namespace

Matrix4x4 rigid_inverse(const Matrix4x4 &m)
{
    Matrix4x4 r = matrix4x4_identity;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r.m[i][j] = m.m[j][i];
    for (int j = 0; j < 3; ++j)
        r.m[3][j] = -(m.m[3][0] * m.m[j][0] + m.m[3][1] * m.m[j][1] + m.m[3][2] * m.m[j][2]);
    return r;
}

Matrix4x4 perspective_projection(f32 vertical_fov, f32 aspect, f32 near_range, f32 far_range)
{
    if (!(aspect > 0) || !std::isfinite(aspect))
        aspect = 1.0f;
    const f32 pi = 3.14159265f;
    if (!(vertical_fov > tiny))
        vertical_fov = tiny;
    if (!(vertical_fov < pi - tiny))
        vertical_fov = pi - 1e-3f;
    if (!(far_range > near_range))
        far_range = near_range + tiny;
    const f32 s = 1.0f / std::tan(vertical_fov * 0.5f);
    const f32 q = far_range / at_least_tiny(far_range - near_range);
    Matrix4x4 r{};
    r.m[0][0] = s / aspect;
    r.m[2][1] = s;
    r.m[1][2] = q;
    r.m[1][3] = 1.0f;
    r.m[3][2] = -q * near_range;
    return r;
}

Matrix4x4 orthographic_projection(f32 left, f32 right, f32 bottom, f32 top, f32 aspect, f32 near_range,
                                  f32 far_range)
{
    if (!(aspect > 0) || !std::isfinite(aspect))
        aspect = 1.0f;
    const f32 width = at_least_tiny(right - left);
    const f32 height = at_least_tiny(top - bottom);
    const f32 depth = at_least_tiny(far_range - near_range);
    Matrix4x4 r{};
    r.m[0][0] = 2.0f / width / aspect;
    r.m[2][1] = 2.0f / height;
    r.m[1][2] = 1.0f / depth;
    r.m[3][0] = -(right + left) / width;
    r.m[3][1] = -(top + bottom) / height;
    r.m[3][2] = -near_range / depth;
    r.m[3][3] = 1.0f;
    return r;
}

FrustumPlanes frustum_planes(const Matrix4x4 &m)
{
    // Column c of the row-vector matrix is what clip coordinate c is made of; a plane is a
    // sum or difference of columns, its constant term (the fourth row) moved to the right.
    auto column = [&](int c, int r) { return m.m[r][c]; };
    auto combine = [&](int c0, f32 s0, int c1, f32 s1) {
        FrustumPlane p;
        f32 v[4];
        for (int r = 0; r < 4; ++r)
            v[r] = s0 * column(c0, r) + (c1 >= 0 ? s1 * column(c1, r) : 0.0f);
        p.a = v[0];
        p.b = v[1];
        p.c = v[2];
        p.d = -v[3];
        return p;
    };
    FrustumPlanes out;
    out.planes[frustum_near] = combine(2, 1, -1, 0);
    out.planes[frustum_far] = combine(3, 1, 2, -1);
    out.planes[frustum_left] = combine(0, 1, 3, 1);
    out.planes[frustum_right] = combine(3, 1, 0, -1);
    out.planes[frustum_bottom] = combine(1, 1, 3, 1);
    out.planes[frustum_top] = combine(3, 1, 1, -1);
    for (FrustumPlane &p : out.planes) {
        const f32 length = std::sqrt(p.a * p.a + p.b * p.b + p.c * p.c);
        if (!(length > 0) || !std::isfinite(length))
            continue;
        const f32 inv = 1.0f / length;
        p.a *= inv;
        p.b *= inv;
        p.c *= inv;
        p.d *= inv;
    }
    return out;
}

bool box_in_frustum(const FrustumPlanes &planes, const Matrix4x4 &world, const f32 box_min[3], const f32 box_max[3])
{
    // The box's centre and half extents along its own (world-placed) axes; a plane rejects
    // the box when the centre lies further outside than the box reaches towards it.
    f32 centre_local[3], half[3];
    for (int i = 0; i < 3; ++i) {
        centre_local[i] = (box_min[i] + box_max[i]) * 0.5f;
        half[i] = std::fabs(box_max[i] - box_min[i]) * 0.5f;
    }
    const Vector3 centre = transform_point(world, {centre_local[0], centre_local[1], centre_local[2]});
    const Vector3 ax[3] = {axis(world, 0), axis(world, 1), axis(world, 2)};
    for (const FrustumPlane &p : planes.planes) {
        const f32 distance = p.a * centre.x + p.b * centre.y + p.c * centre.z - p.d;
        f32 reach = 0;
        for (int i = 0; i < 3; ++i)
            reach += half[i] * std::fabs(p.a * ax[i].x + p.b * ax[i].y + p.c * ax[i].z);
        if (distance + reach < 0)
            return false;
    }
    return true;
}

void transform_point4(const Matrix4x4 &m, const f32 p[3], f32 out[4])
{
    for (int c = 0; c < 4; ++c)
        out[c] = p[0] * m.m[0][c] + p[1] * m.m[1][c] + p[2] * m.m[2][c] + m.m[3][c];
}

} // namespace tallow
