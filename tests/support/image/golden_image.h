#pragma once
// Golden-image comparison for tests that draw through the Direct3D layer's OpenGL backend:
// RGBA8 images compared with stored PNGs in a folder of golden images.
//
// Tolerance: a pixel matches when every channel is within 2 of the stored one; an image
// matches when at most 0.1% of its pixels (and never more than 4) miss, which absorbs edge
// rounding of another rasteriser build while catching any real change. A failing comparison
// writes the actual image beside the expected one as NAME.actual.png. With the environment
// variable TALLOW_UPDATE_GOLDEN=1 the comparison stores the actual image as the new golden.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow::test {

struct RgbaImage {
    u32 width = 0;
    u32 height = 0;
    std::vector<u8> pixels; // rows top to bottom, 4 bytes per pixel
};

bool write_png(const std::string &path, const RgbaImage &image);
bool read_png(const std::string &path, RgbaImage &out_image);

/// Empty when `actual` matches DIRECTORY/NAME.png; otherwise what differs.
std::string compare_with_golden(const std::string &directory, const char *name, const RgbaImage &actual);

} // namespace tallow::test
