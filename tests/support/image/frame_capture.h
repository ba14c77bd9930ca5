#pragma once
// Pictures of whole engine runs: the Application over a data folder, drawn by the Direct3D
// layer's OpenGL backend offscreen, its main window's back buffer read back as a Direct3D
// program reads a texture (a staging copy, CopyResource, Map for reading).
//
//   test::RunCapture run;
//   run.data_dir = TALLOW_BUILT_DATA_DIR;        // compiled data, as run.sh uses it
//   run.frames = 30;                             // frames of 1/30 s each
//   test::RgbaImage image;
//   std::string error;
//   if (!test::capture_run(run, image, error)) ...
//   test::write_png("frame.png", image);
//
// Frames run with a fixed step (Application::set_fixed_frame_step), so the same data gives
// the same picture on every run. The caller chooses the environment (user settings folder,
// audio driver); the run uses the same services as the engine program.

#include "tests/support/image/golden_image.h"

#include <string>
#include <vector>

namespace tallow {
class Application;
}

namespace tallow::test {

struct RunCapture {
    std::string data_dir;                 // "-data-dir"
    std::vector<std::string> arguments;   // further engine options ("-rect", "0", ...)
    unsigned frames = 30;                 // frames run before the capture
    float step_seconds = 1.0f / 30.0f;    // the fixed frame step
    unsigned reload_after = 0;            // frames after which the user settings are applied
                                          // (the render configuration reloads); 0: never
};

/// Reads the back buffer of `app`'s main window once its render thread is idle: rows top to
/// bottom, RGBA, alpha made opaque (a presented image has no alpha). False with the reason
/// when the Application renders through no Direct3D device or the read fails.
bool capture_back_buffer(Application &app, RgbaImage &out_image, std::string &out_error);

/// Starts the Application as the engine program does, on the OpenGL backend offscreen, runs
/// `frames` frames of `step_seconds` each and captures the back buffer, then shuts the
/// Application down. False with the reason when no OpenGL 4.5 context can be made here
/// (`out_error` starts with "no OpenGL": callers may skip), the start-up fails, the game quits
/// before the last frame or the read fails.
bool capture_run(const RunCapture &run, RgbaImage &out_image, std::string &out_error);

} // namespace tallow::test
