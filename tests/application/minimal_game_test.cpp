// The minimal game folder the README points new games at (examples/minimal): the data build
// compiles it, the engine runs it to its own quit, and its frame shows what its world holds:
// the sky, the lit floor, the box resting on the floor (not where it was spawned), the text.
#include "platform/d3d11/d3d11_backend.h"
#include "tests/support/image/golden_image.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace tallow::test {
namespace {

struct Outcome {
    int exit_code = -1;
    std::string output;
};

Outcome run(const std::string &command)
{
    Outcome r;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return r;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe))
        r.output += buffer;
    const int status = pclose(pipe);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(MinimalGame, BuildsRunsAndDrawsItsWorld)
{
    TempDirectory home;
    const std::string data = std::string(home.path()) + "/data";
    const Outcome built = run(std::string("'") + TALLOW_BUILD_DATA_PROGRAM + "' '" + TALLOW_MINIMAL_GAME_DIR + "' '" +
                          data + "'");
    ASSERT_EQ(built.exit_code, 0) << built.output;

    const std::string environment = std::string("XDG_CONFIG_HOME='") + home.path() + "/config' XDG_DATA_HOME='" +
                                    home.path() + "/share' SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy " +
                                    "TALLOW_D3D11_BACKEND=headless ";
    const Outcome ran = run(environment + "timeout -s KILL 60 '" + TALLOW_PROGRAM + "' -data-dir '" + data + "'");
    EXPECT_EQ(ran.exit_code, 0) << ran.output;
    EXPECT_NE(ran.output.find("minimal: started"), std::string::npos) << ran.output;
    float x = 0, y = 0, z = -1;
    const size_t at = ran.output.find("minimal: the box rests at Vector3(");
    ASSERT_NE(at, std::string::npos) << ran.output;
    ASSERT_EQ(sscanf(ran.output.c_str() + at, "minimal: the box rests at Vector3(%f, %f, %f)", &x, &y, &z), 3);
    EXPECT_NEAR(z, 0.5f, 0.1f) << "on the floor, its half height up";
    EXPECT_NEAR(x, 0.0f, 0.2f);
    EXPECT_NEAR(y, 0.0f, 0.2f);
    EXPECT_EQ(ran.output.find("[Lua] update:"), std::string::npos) << ran.output;

    std::string reason;
    if (!d3d11::gl_available(&reason))
        GTEST_SKIP() << "no OpenGL 4.5 here for the picture: " << reason;
    const std::string png = std::string(home.path()) + "/frame.png";
    const Outcome captured = run(std::string("'") + TALLOW_CAPTURE_FRAME + "' '" + png + "' '" + data + "' 60");
    ASSERT_EQ(captured.exit_code, 0) << captured.output;
    RgbaImage image;
    ASSERT_TRUE(read_png(png, image));
    ASSERT_EQ(image.width, 1280u);
    auto pixel = [&](u32 px, u32 py) { return image.pixels.data() + 4 * (size_t(py) * image.width + px); };
    auto count = [&](u32 x0, u32 y0, u32 x1, u32 y1, bool (*is)(const u8 *)) {
        u32 n = 0;
        for (u32 py = y0; py < y1; ++py)
            for (u32 px = x0; px < x1; ++px)
                n += is(pixel(px, py));
        return n;
    };
    auto sky = [](const u8 *p) { return p[2] > p[0] + 40 && p[2] > 150; };
    auto floor = [](const u8 *p) { return p[1] > p[0] + 10 && p[1] > p[2] + 10; };
    auto box = [](const u8 *p) { return p[0] > 90 && p[0] > p[1] + 30 && p[1] > p[2]; };
    auto text = [](const u8 *p) { return p[0] > 200 && p[1] > 200 && p[2] > 200; };
    EXPECT_GT(count(0, 0, 1280, 100, sky), 100000u) << "the sky above";
    EXPECT_GT(count(0, 500, 1280, 660, floor), 150000u) << "the floor below, lit";
    // The camera is 8 m behind the box, 3 m up, looking down by 0.3 rad: at rest the box
    // covers the middle of the frame; where it was spawned (3 m up) it would be far higher.
    EXPECT_GT(count(560, 300, 720, 420, box), 6000u) << "the box on the floor";
    EXPECT_EQ(count(0, 0, 1280, 250, box), 0u) << "nothing of the box where it was spawned";
    EXPECT_GT(count(0, 670, 300, 720, text), 100u) << "the line of text";
}

} // namespace
} // namespace tallow::test
