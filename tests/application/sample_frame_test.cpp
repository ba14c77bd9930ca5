// One frame of the shipped sample as run.sh draws it: the whole Application over the compiled
// data on the Direct3D layer's OpenGL backend (Mesa's software rasteriser, offscreen), 120
// frames of 1/30 s, the back buffer read back through the layer and compared with
// golden/sample_frame.png (tolerance in tests/support/image/golden_image.h). When the sample's
// look changes on purpose, rewrite the golden image with
//
//   TALLOW_UPDATE_GOLDEN=1 ctest --test-dir build/test -R SampleFrame
//
// once SampleOnOpenGl.CratesAreDrawnWhereThePhysicsHoldsThem passes (the frame means what the
// world holds), and look at it before committing it. A failing comparison writes
// golden/sample_frame.actual.png.
//
// What the image must show (4 s in, the scripted player's push done): every crate on the
// floor, none in the sky; the two dropped crates stacked at the back left; the crate the
// character pushed standing inside the orange zone on the right, the score reading 1; the
// flock's crates left of the middle.
#include "platform/d3d11/d3d11_backend.h"
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
        run.frames = 120; // the README's picture (the readme_picture target) is the same frame
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

/// Runs the capture program (a process of its own, as a run of the engine is: the scripts'
/// random sequence starts afresh and no saved game is left for the next) for `frames`
/// frames with the further `options`, and reads its picture.
void capture_in_process(const std::string &folder, const std::string &name, u32 frames, const std::string &options,
                        RgbaImage &out_image)
{
    const std::string png = folder + "/" + name + ".png";
    const std::string command = std::string("'") + TALLOW_CAPTURE_FRAME + "' '" + png + "' '" + TALLOW_BUILT_DATA_DIR +
                                "' " + std::to_string(frames) + " " + options + " > /dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ASSERT_TRUE(read_png(png, out_image)) << png;
}

TEST_F(SampleFrame, FixedStepsReplayTheSameFrame)
{
    // The sample moves its crates and swings its weathervane with the frame step: only
    // fixed steps give the same picture twice.
    std::string reason;
    if (!d3d11::gl_available(&reason))
        GTEST_SKIP() << "no OpenGL 4.5 here: " << reason;
    RgbaImage first, second;
    capture_in_process(home.path(), "frame0", 12, "", first);
    capture_in_process(home.path(), "frame1", 12, "", second);
    ASSERT_EQ(first.width, second.width);
    ASSERT_EQ(first.height, second.height);
    EXPECT_TRUE(first.pixels == second.pixels);
}

TEST_F(SampleFrame, AReloadOfTheRenderConfigurationKeepsEveryObjectDrawing)
{
    // Frame 200 shows meshes (crates, door, lamp post), the screen GUI's text, the debug
    // lines and the door's sparks, all made long before the reload after frame 190 (what
    // Application.apply_win32_user_settings does). Drawn after the reload, the frame must
    // be the frame of a run without one: nothing made before it may stop drawing.
    std::string reason;
    if (!d3d11::gl_available(&reason))
        GTEST_SKIP() << "no OpenGL 4.5 here: " << reason;
    RgbaImage plain, reloaded;
    capture_in_process(home.path(), "plain", 200, "", plain);
    capture_in_process(home.path(), "reloaded", 200, "--reload-after 190", reloaded);
    ASSERT_EQ(plain.width, reloaded.width);
    ASSERT_EQ(plain.height, reloaded.height);
    // The golden images' tolerance: a channel within 2, at most 0.1% of the pixels missing.
    size_t missing = 0;
    for (size_t i = 0; i < plain.pixels.size(); i += 4)
        for (size_t c = 0; c < 3; ++c)
            if (std::abs(int(plain.pixels[i + c]) - int(reloaded.pixels[i + c])) > 2) {
                ++missing;
                break;
            }
    EXPECT_LE(missing, size_t(plain.width) * plain.height / 1000) << missing << " pixels differ after the reload";
}

} // namespace
} // namespace tallow::test
