// The flock view's speed bands (a hysteresis table) and depth key.
#include "ai/flock_visualizer.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tallow {
namespace {

TEST(FlockVisualizer, SpeedBandHysteresisTable)
{
    struct Case {
        u32 band;
        f32 s;
        u32 expected;
    };
    const Case cases[] = {
        {0, 0.0f, 0},  {0, 0.15f, 0}, {0, 0.16f, 1}, {0, 0.75f, 1}, {0, 0.76f, 2},
        {1, 0.05f, 1}, {1, 0.04f, 0}, {1, 0.4f, 1},  {1, 0.41f, 2}, {1, 0.2f, 1},
        {2, 0.3f, 2},  {2, 0.29f, 1}, {2, 0.1f, 1},  {2, 0.09f, 0}, {2, 5.0f, 2},
        {7, 0.5f, 1},  {1, NAN, 1},   {2, NAN, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "band " << c.band << " s " << c.s);
        EXPECT_EQ(flock_speed_band(c.band, c.s), c.expected);
    }
}

TEST(FlockVisualizer, AgentsBehindTheCameraSortAfterNearerAgentsInFront)
{
    const Vector3 camera{0, 0, 0}, view{1, 0, 0};
    const f32 behind = flock_depth_key({-3, 0, 0}, camera, view); // 2 x 9 + 100
    EXPECT_FLOAT_EQ(behind, 118.0f);
    EXPECT_LT(flock_depth_key({10, 0, 0}, camera, view), behind);
    EXPECT_GT(flock_depth_key({11, 0, 0}, camera, view), behind);
}

} // namespace
} // namespace tallow
