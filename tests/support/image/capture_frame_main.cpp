// Runs the engine over a data folder for a number of fixed frames and writes the last
// frame's back buffer as a PNG (the README's picture of the sample).
//
//   capture_frame OUTPUT.png DATA_DIR [FRAMES] [--reload-after N] [ENGINE OPTIONS...]
//
// --reload-after N applies the user settings after frame N, as the script function
// Application.apply_win32_user_settings does: the render configuration reloads.
//
// User settings and saves go to a fresh temporary folder, so a developer's own settings do
// not change the picture. Exit code 0 when the picture is written, 1 otherwise.
#include "tests/support/image/frame_capture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: capture_frame OUTPUT.png DATA_DIR [FRAMES] [--reload-after N] [ENGINE OPTIONS...]\n");
        return 1;
    }
    tallow::test::RunCapture run;
    run.data_dir = argv[2];
    int next = 3;
    if (argc > 3 && argv[3][0] >= '1' && argv[3][0] <= '9') {
        run.frames = unsigned(std::strtoul(argv[3], nullptr, 10));
        next = 4;
    }
    if (argc > next + 1 && std::strcmp(argv[next], "--reload-after") == 0) {
        run.reload_after = unsigned(std::strtoul(argv[next + 1], nullptr, 10));
        next += 2;
    }
    for (int i = next; i < argc; ++i)
        run.arguments.emplace_back(argv[i]);

    char home_template[] = "/tmp/tallow_capture_XXXXXX";
    const char *home = mkdtemp(home_template);
    if (!home) {
        std::fprintf(stderr, "capture_frame: no temporary folder for the user settings\n");
        return 1;
    }
    setenv("XDG_CONFIG_HOME", home, 1);
    setenv("XDG_DATA_HOME", home, 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("SDL_VIDEODRIVER", "dummy", 1);

    tallow::test::RgbaImage image;
    std::string error;
    const bool captured = tallow::test::capture_run(run, image, error);
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    if (!captured) {
        std::fprintf(stderr, "capture_frame: %s\n", error.c_str());
        return 1;
    }
    if (!tallow::test::write_png(argv[1], image)) {
        std::fprintf(stderr, "capture_frame: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("capture_frame: %ux%u frame %u written to %s\n", image.width, image.height, run.frames, argv[1]);
    return 0;
}
