// One frame of the shipped sample as run.sh draws it: the whole Application over the compiled
// data on the Direct3D layer's OpenGL backend (Mesa's software rasteriser, offscreen), 30
// frames of 1/30 s, the back buffer read back through the layer and compared with
// golden/sample_frame.png (tolerance in tests/support/image/golden_image.h). When the sample's
// look changes on purpose, rewrite the golden image with
//
//   TALLOW_UPDATE_GOLDEN=1 ctest --test-dir build/test -R SampleFrame
//
// and look at it before committing it. A failing comparison writes golden/sample_frame.actual.png.
#include "tests/support/image/frame_capture.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace tallow::test {
namespace {

class SampleFrame : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setenv("XDG_CONFIG_HOME", home.path(), 1);
        setenv("XDG_DATA_HOME", home.path(), 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        run.data_dir = TALLOW_BUILT_DATA_DIR;
    }

    /// The captured frame; skips the test where no OpenGL 4.5 context can be made.
    bool capture(RgbaImage &image)
    {
        std::string error;
        if (capture_run(run, image, error))
            return true;
        if (error.rfind("no OpenGL", 0) == 0)
            skipped = error;
        else
            ADD_FAILURE() << error;
        return false;
    }

    TempDirectory home;
    RunCapture run;
    std::string skipped;
};

TEST_F(SampleFrame, MatchesTheGoldenImage)
{
    RgbaImage image;
    if (!capture(image)) {
        if (!skipped.empty())
            GTEST_SKIP() << skipped;
        return;
    }
    EXPECT_EQ(compare_with_golden(TALLOW_SAMPLE_GOLDEN_DIR, "sample_frame", image), "");
}

TEST_F(SampleFrame, FixedStepsReplayTheSameFrame)
{
    // The sample moves its crates and swings its weathervane with the frame step: only
    // fixed steps give the same picture twice.
    run.frames = 12;
    RgbaImage first, second;
    if (!capture(first) || !capture(second)) {
        if (!skipped.empty())
            GTEST_SKIP() << skipped;
        return;
    }
    ASSERT_EQ(first.width, second.width);
    ASSERT_EQ(first.height, second.height);
    EXPECT_TRUE(first.pixels == second.pixels);
}

} // namespace
} // namespace tallow::test
