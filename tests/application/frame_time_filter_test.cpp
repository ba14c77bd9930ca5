#include "application/frame_time_filter.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tallow;

namespace {

struct Case {
    const char *name;
    std::vector<f32> steps;
    f32 estimate;      // the last update's estimate
    f32 smoothed_min;  // bounds of the smoothed step afterwards
    f32 smoothed_max;
};

TEST(FrameTimeFilter, Cases)
{
    std::vector<f32> eleven_then_spike(11, 0.016f);
    eleven_then_spike.push_back(0.5f);
    std::vector<f32> steady(40, 0.016f);
    std::vector<f32> tiny(15, 0.00001f);
    std::vector<f32> huge(15, 7.0f);
    std::vector<f32> outliers = {0.016f, 0.016f, 0.001f, 0.016f, 0.2f, 0.016f, 0.016f, 0.016f, 0.0005f, 0.2f, 0.016f};

    const Case cases[] = {
        {"first frame 3 s after start-up", {3.0f}, 0.2f, 0.0f, 0.2f},
        {"fewer than eleven: estimate is the clamped step", {0.016f, 0.033f}, 0.033f, 0.0005f, 0.2f},
        {"below the minimum is clamped", {0.0f}, 0.0005f, 0.0005f, 0.0005f},
        {"negative is clamped", {-1.0f}, 0.0005f, 0.0005f, 0.0005f},
        {"NaN counts as the minimum", {__builtin_nanf("")}, 0.0005f, 0.0005f, 0.0005f},
        {"spike after eleven steady steps", eleven_then_spike, 0.016f, 0.0159f, 0.0161f},
        {"steady steps converge", steady, 0.016f, 0.0159f, 0.0161f},
        {"tiny steps stay at the minimum", tiny, 0.0005f, 0.0005f, 0.0005f},
        {"huge steps stay at the maximum", huge, 0.2f, 0.1999f, 0.2f},
        {"two short and two long of eleven are dropped", outliers, 0.016f, 0.0f, 0.2f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FrameTimeFilter filter;
        for (f32 s : c.steps)
            filter.update(s);
        EXPECT_FLOAT_EQ(filter.last_estimate(), c.estimate);
        EXPECT_GE(filter.smoothed_step(), c.smoothed_min);
        EXPECT_LE(filter.smoothed_step(), c.smoothed_max);
        EXPECT_LE(filter.sample_count(), FrameTimeFilter::window_size);
    }
}

TEST(FrameTimeFilter, BlendsATenthOfTheEstimate)
{
    FrameTimeFilter filter;
    filter.update(0.02f);
    EXPECT_FLOAT_EQ(filter.smoothed_step(), 0.02f); // starts at the first measurement
    filter.update(0.04f);
    EXPECT_FLOAT_EQ(filter.smoothed_step(), 0.04f * 0.1f + 0.02f * 0.9f);
    filter.bias = 0.3f;
    filter.update(0.04f);
    EXPECT_FLOAT_EQ(filter.last_estimate(), 0.04f + 0.3f * 0.033333335f);
}

TEST(FrameTimeFilter, WindowKeepsTheLastEleven)
{
    // Eleven long steps then eleven short ones: once the long ones have left the window,
    // the estimate is the short step.
    FrameTimeFilter filter;
    for (int i = 0; i < 11; ++i)
        filter.update(0.1f);
    for (int i = 0; i < 8; ++i)
        filter.update(0.01f);
    // Three long left in the window: one of them is inside the middle seven.
    EXPECT_NEAR(filter.last_estimate(), (6 * 0.01f + 0.1f) / 7, 1e-6);
    filter.update(0.01f);
    EXPECT_NEAR(filter.last_estimate(), 0.01f, 1e-6);
    EXPECT_EQ(filter.sample_count(), 11u);
}

} // namespace
