// Shadow-map geometry: known points through every cube face, the spot matrix and the
// cascade fit. Sign and handedness mistakes draw nothing wrong in a headless run, so these
// pin them against independent answers.
#include "render/math/shadow_math.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tallow;

namespace {

struct Projected {
    f32 x, y, depth; // clip coordinates divided by w
};

Projected project(const Matrix4x4 &m, Vector3 p)
{
    f32 in[3] = {p.x, p.y, p.z}, out[4];
    transform_point4(m, in, out);
    return {out[0] / out[3], out[1] / out[3], out[2] / out[3]};
}

// The cube lookup rule of the graphics APIs, written out on its own: the major axis picks
// the face, sc and tc give the texel (u = (sc / |ma| + 1) / 2, v = (tc / |ma| + 1) / 2,
// v growing downwards).
void cube_lookup(Vector3 r, u32 *out_face, f32 *out_u, f32 *out_v)
{
    const f32 ax = std::fabs(r.x), ay = std::fabs(r.y), az = std::fabs(r.z);
    f32 sc, tc, ma;
    if (ax >= ay && ax >= az) {
        *out_face = r.x > 0 ? 0 : 1;
        sc = r.x > 0 ? -r.z : r.z;
        tc = -r.y;
        ma = ax;
    } else if (ay >= az) {
        *out_face = r.y > 0 ? 2 : 3;
        sc = r.x;
        tc = r.y > 0 ? r.z : -r.z;
        ma = ay;
    } else {
        *out_face = r.z > 0 ? 4 : 5;
        sc = r.z > 0 ? r.x : -r.x;
        tc = -r.y;
        ma = az;
    }
    *out_u = (sc / ma + 1) * 0.5f;
    *out_v = (tc / ma + 1) * 0.5f;
}

struct Random {
    u64 state;
    f32 next(f32 lo, f32 hi)
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return lo + (hi - lo) * f32(state >> 40) / f32(1ull << 24);
    }
};

} // namespace

TEST(CubeFaces, KnownPointsLandWhereTheCubeLookupReadsThem)
{
    const Vector3 light{3, -2, 5};
    const f32 range = 10;
    for (u32 face = 0; face < cube_face_count; ++face) {
        SCOPED_TRACE(testing::Message() << "face " << face);
        const CubeFaceAxes a = cube_face_axes(face);
        const Vector3 right_check = cross(a.up, a.direction);
        EXPECT_EQ(right_check, a.right) << "right = up x direction";
        const Matrix4x4 m = cube_face_view_projection(face, light, range);

        // A point 5 ahead, 1 right and 2 up: screen (0.2, 0.4).
        const Projected p = project(m, light + a.direction * 5 + a.right * 1 + a.up * 2);
        EXPECT_NEAR(p.x, 0.2f, 1e-5f);
        EXPECT_NEAR(p.y, 0.4f, 1e-5f);
        EXPECT_NEAR(project(m, light + a.direction * shadow_near_range).depth, 0.0f, 1e-4f);
        EXPECT_NEAR(project(m, light + a.direction * range).depth, 1.0f, 1e-4f);

        // Points the face draws are found on the same face and texel by a cube lookup.
        for (f32 s : {-0.9f, -0.3f, 0.0f, 0.55f})
            for (f32 t : {-0.7f, 0.1f, 0.8f}) {
                const Vector3 offset = a.direction * 4 + a.right * (4 * s) + a.up * (4 * t);
                const Projected q = project(m, light + offset);
                u32 lookup_face;
                f32 u, v;
                cube_lookup(offset, &lookup_face, &u, &v);
                EXPECT_EQ(lookup_face, face);
                EXPECT_NEAR(u, (q.x + 1) * 0.5f, 1e-5f);
                EXPECT_NEAR(v, (1 - q.y) * 0.5f, 1e-5f);
            }
    }
}

TEST(SpotShadow, ConeAxisMapsToTheCentreAndTheConeEdgeToTheBorder)
{
    // A spot light at (3, 4, 5) turned so that its axis (y) points along (0, 0.6, -0.8).
    Matrix4x4 world = matrix4x4_identity;
    set_axis(world, 0, {1, 0, 0});
    set_axis(world, 1, {0, 0.6f, -0.8f});
    set_axis(world, 2, {0, 0.8f, 0.6f});
    set_translation(world, {3, 4, 5});
    const f32 angle = 1.0471976f; // 60 degrees, full cone
    const f32 range = 10;
    const Matrix4x4 m = spot_shadow_matrix(world, angle, range);
    const Vector3 origin{3, 4, 5}, axis_dir{0, 0.6f, -0.8f}, up{0, 0.8f, 0.6f}, right{1, 0, 0};
    for (f32 distance : {0.5f, 3.0f, 9.9f}) {
        const Projected p = project(m, origin + axis_dir * distance);
        EXPECT_NEAR(p.x, 0.5f, 1e-5f);
        EXPECT_NEAR(p.y, 0.5f, 1e-5f);
    }
    EXPECT_NEAR(project(m, origin + axis_dir * range).depth, 1.0f, 1e-4f);
    EXPECT_NEAR(project(m, origin + axis_dir * shadow_near_range).depth, 0.0f, 1e-4f);
    const f32 edge = std::tan(angle * 0.5f) * 4;
    const Projected r = project(m, origin + axis_dir * 4 + right * edge);
    EXPECT_NEAR(r.x, 1.0f, 1e-5f) << "right edge of the cone: right edge of the texture";
    const Projected u = project(m, origin + axis_dir * 4 + up * edge);
    EXPECT_NEAR(u.y, 0.0f, 1e-5f) << "upper edge of the cone: top row of the texture";
    // Scale in the light's transform changes nothing.
    Matrix4x4 scaled = world;
    set_axis(scaled, 1, axis_dir * 3);
    const Projected s = project(spot_shadow_matrix(scaled, angle, range), origin + axis_dir * 4 + right * edge);
    EXPECT_NEAR(s.x, 1.0f, 1e-5f);
}

TEST(CascadeSlice, CornersLandInTheSliceViewportAndThePositionSnapsToTexels)
{
    Random random{12345};
    const f32 viewports[][4] = {{0, 0, 1, 1}, {0.5f, 0, 0.5f, 0.5f}, {0, 0.5f, 0.5f, 0.5f}};
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        CascadeCamera camera;
        const f32 yaw = random.next(-3.1f, 3.1f), pitch = random.next(-1.2f, 1.2f);
        const Vector3 forward{std::cos(pitch) * std::sin(yaw), std::cos(pitch) * std::cos(yaw), std::sin(pitch)};
        const Vector3 right = normalize(cross(forward, Vector3{0, 0, 1}));
        const Vector3 up = cross(right, forward);
        set_axis(camera.pose, 0, right);
        set_axis(camera.pose, 1, forward);
        set_axis(camera.pose, 2, up);
        set_translation(camera.pose, {random.next(-500, 500), random.next(-500, 500), random.next(0, 100)});
        camera.perspective = trial % 4 != 3;
        camera.vertical_fov = random.next(0.5f, 1.6f);
        camera.aspect = random.next(0.75f, 2.0f);
        camera.ortho_left = -20, camera.ortho_right = 20, camera.ortho_bottom = -12, camera.ortho_top = 12;

        CascadeSliceInput slice;
        slice.depth_start = random.next(0.1f, 40);
        slice.depth_end = slice.depth_start + random.next(1, 80);
        slice.light_direction = {random.next(-1, 1), random.next(-1, 1), random.next(-1, -0.05f)};
        slice.target_width = 2048;
        slice.target_height = 1024;
        const f32 *vp = viewports[trial % 3];
        for (int i = 0; i < 4; ++i)
            slice.viewport[i] = vp[i];

        CascadeSliceFit fit;
        ASSERT_TRUE(fit_cascade_slice(camera, slice, &fit));
        const Vector3 p = translation(fit.light_pose);
        const f32 tx = 2 * fit.radius / slice.target_width, tz = 2 * fit.radius / slice.target_height;
        const f32 along_right = dot(p, axis(fit.light_pose, 0)) / tx, along_up = dot(p, axis(fit.light_pose, 2)) / tz;
        EXPECT_NEAR(along_right, std::round(along_right), 0.02f + std::fabs(along_right) * 1e-5f);
        EXPECT_NEAR(along_up, std::round(along_up), 0.02f + std::fabs(along_up) * 1e-5f);

        // One texel of slack: the snap moves the box by less than a texel.
        const f32 slack_x = vp[2] / slice.target_width * 1.01f, slack_y = vp[3] / slice.target_height * 1.01f;
        for (const Vector3 &corner : fit.corners) {
            const Projected t = project(fit.world_to_shadow_map, corner);
            EXPECT_GE(t.x, vp[0] - slack_x);
            EXPECT_LE(t.x, vp[0] + vp[2] + slack_x);
            EXPECT_GE(t.y, vp[1] - slack_y);
            EXPECT_LE(t.y, vp[1] + vp[3] + slack_y);
            EXPECT_GE(t.depth, 0.0f);
            EXPECT_LE(t.depth, 1.0f + 1e-5f);
        }
    }
}

TEST(CascadeSlice, QuarterViewportAndDegenerateDirections)
{
    CascadeCamera camera;
    CascadeSliceInput slice;
    slice.viewport[0] = 0.5f, slice.viewport[1] = 0, slice.viewport[2] = 0.5f, slice.viewport[3] = 0.5f;
    CascadeSliceFit fit;
    ASSERT_TRUE(fit_cascade_slice(camera, slice, &fit));
    // The light box's centre line maps into the middle of the quarter.
    const Projected c = project(fit.world_to_shadow_map, translation(fit.light_pose) + axis(fit.light_pose, 1) * 5);
    EXPECT_NEAR(c.x, 0.75f, 1e-4f);
    EXPECT_NEAR(c.y, 0.25f, 1e-4f);

    slice.light_direction = {0, 0, 0};
    EXPECT_FALSE(fit_cascade_slice(camera, slice, &fit)) << "no direction, no light";
    slice.light_direction = {0, 0, 0.00001f};
    EXPECT_FALSE(fit_cascade_slice(camera, slice, &fit));

    for (f32 sign : {1.0f, -1.0f}) {
        slice.light_direction = {sign * 2, 0, 0};
        ASSERT_TRUE(fit_cascade_slice(camera, slice, &fit));
        const Vector3 up = axis(fit.light_pose, 2), right = axis(fit.light_pose, 0);
        EXPECT_NEAR(length(up), 1.0f, 1e-5f) << "a light along X still has an up axis";
        EXPECT_NEAR(length(right), 1.0f, 1e-5f);
        EXPECT_NEAR(dot(up, Vector3{sign, 0, 0}), 0.0f, 1e-5f);
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                ASSERT_TRUE(std::isfinite(fit.world_to_shadow_map.m[i][j]));
    }
}
