#include "tests/support/image/golden_image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

namespace tallow::test {

bool write_png(const std::string &path, const RgbaImage &image)
{
    return stbi_write_png(path.c_str(), static_cast<int>(image.width), static_cast<int>(image.height), 4,
                          image.pixels.data(), static_cast<int>(image.width * 4)) != 0;
}

bool read_png(const std::string &path, RgbaImage &out_image)
{
    int w = 0, h = 0, channels = 0;
    stbi_uc *data = stbi_load(path.c_str(), &w, &h, &channels, 4);
    if (!data) return false;
    out_image.width = static_cast<u32>(w);
    out_image.height = static_cast<u32>(h);
    out_image.pixels.assign(data, data + static_cast<size_t>(w) * h * 4);
    stbi_image_free(data);
    return true;
}

std::string compare_with_golden(const std::string &directory, const char *name, const RgbaImage &actual)
{
    const std::string base = directory + "/" + name;
    const std::string expected_path = base + ".png";
    const std::string actual_path = base + ".actual.png";
    const char *update = std::getenv("TALLOW_UPDATE_GOLDEN");
    if (update && std::strcmp(update, "1") == 0) {
        std::remove(actual_path.c_str());
        return write_png(expected_path, actual) ? "" : "cannot write " + expected_path;
    }
    RgbaImage expected;
    std::string problem;
    if (!read_png(expected_path, expected)) {
        problem = "no golden image " + expected_path;
    } else if (expected.width != actual.width || expected.height != actual.height) {
        problem = "size " + std::to_string(actual.width) + "x" + std::to_string(actual.height) + " against " +
                  std::to_string(expected.width) + "x" + std::to_string(expected.height);
    } else {
        const u32 pixels = actual.width * actual.height;
        u32 misses = 0, worst = 0;
        for (u32 p = 0; p < pixels; ++p) {
            bool miss = false;
            for (u32 c = 0; c < 4; ++c) {
                int d = std::abs(int(actual.pixels[p * 4 + c]) - int(expected.pixels[p * 4 + c]));
                if (d > 2) miss = true;
                if (static_cast<u32>(d) > worst) worst = static_cast<u32>(d);
            }
            misses += miss;
        }
        u32 allowed = pixels / 1000;
        if (allowed > 4) allowed = 4;
        if (misses > allowed)
            problem = std::to_string(misses) + " pixels differ (at most " + std::to_string(allowed) +
                      " may), largest channel difference " + std::to_string(worst);
    }
    if (problem.empty()) {
        std::remove(actual_path.c_str());
        return "";
    }
    write_png(actual_path, actual);
    return problem + "; actual image written to " + actual_path;
}

} // namespace tallow::test
