// Per-light constants: the worked values, the limits that used to divide by zero, and lights
// behind the camera.
#include "render/generators/light_constants.h"
#include "render/math/camera_math.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tallow;

TEST(LightConstants, WorkedValues)
{
    struct Case {
        const char *name;
        LightShape light;
        Vector3 proxy_scale, falloff;
    };
    const f32 w = std::tan(0.5235988f) * 20; // tan 30 degrees x 20
    const Case cases[] = {
        {"omni of range 10", {0, 2, 10, 1.5f, 0, 0}, {21.48f, 21.48f, 21.48f}, {2, 0.125f, 1.5f}},
        {"spot of range 10 and 60 degrees", {1, 0, 10, 1, 0.5f, 1.0471976f}, {w, 10, w}, {0, 0.1f, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Vector3 s = light_proxy_scale(c.light), f = light_falloff(c.light);
        EXPECT_NEAR(s.x, c.proxy_scale.x, 1e-3f);
        EXPECT_NEAR(s.y, c.proxy_scale.y, 1e-3f);
        EXPECT_NEAR(s.z, c.proxy_scale.z, 1e-3f);
        EXPECT_NEAR(f.x, c.falloff.x, 1e-6f);
        EXPECT_NEAR(f.y, c.falloff.y, 1e-6f);
        EXPECT_NEAR(f.z, c.falloff.z, 1e-6f);
    }
    EXPECT_NEAR(w, 11.547f, 1e-3f);
    const Vector3 v = light_vector_to_shadow_map(10);
    EXPECT_NEAR(v.x, 1.010101f, 1e-5f);
    EXPECT_NEAR(v.y, -0.1010101f, 1e-6f);
    EXPECT_FLOAT_EQ(v.z, 0.1f);
    const LightShape spot{1, 0, 10, 1, 0.5f, 1.0f};
    const Vector3 sf = light_spot_falloff(spot);
    EXPECT_NEAR(sf.x, 1 - std::cos(0.25f), 1e-6f);
    EXPECT_NEAR(sf.y, 1 - 1 / (std::cos(0.5f) - std::cos(0.25f)), 1e-3f);
}

TEST(LightConstants, EqualFalloffsAndAnglesStayFinite)
{
    const LightShape cases[] = {{0, 5, 5, 1, 0, 0}, {0, 6, 5, 1, 0, 0}, {1, 0, 10, 1, 0.8f, 0.8f}, {0, 0, 0.1f, 1, 0, 0}};
    for (const LightShape &light : cases) {
        const Vector3 values[] = {light_falloff(light), light_spot_falloff(light),
                                  light_vector_to_shadow_map(light.falloff_end)};
        for (const Vector3 &v : values) {
            EXPECT_TRUE(std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z));
        }
        EXPECT_GT(light_falloff(light).y, 0.0f);
    }
}

TEST(LightConstants, ScreenSpheresOfLightsInFrontAndBehind)
{
    Matrix4x4 pose = matrix4x4_identity; // camera at the origin looking along +y, z up
    const Matrix4x4 view = rigid_inverse(pose);
    const Matrix4x4 projection = perspective_projection(1.5707963f, 1.0f, 0.1f, 100.0f);
    // 10 ahead, 5 right, 2 up: across 0.5, up 0.2 (90 degrees: scale 1); offset 8 gives 0.8 each way.
    const LightScreenSphere ahead = light_screen_sphere(view, projection, {5, 10, 2});
    EXPECT_NEAR(ahead.x, 0.5f, 1e-5f);
    EXPECT_NEAR(ahead.y, 0.2f, 1e-5f);
    EXPECT_NEAR(ahead.radius, std::sqrt(2.0f) * 0.8f, 1e-5f);
    // Behind the camera the old formula mirrored it to (-0.5, -0.2); it now covers the screen.
    const LightScreenSphere behind = light_screen_sphere(view, projection, {5, -10, 2});
    EXPECT_GT(behind.radius, 100.0f);
    const LightScreenSphere level = light_screen_sphere(view, projection, {5, 0, 2});
    EXPECT_GT(level.radius, 100.0f);
}
