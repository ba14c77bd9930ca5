#include "tools/render/texture_compiler.h"

#include "foundation/memory/memory_globals.h"
#include "render/textures/texture_resource.h"
#include "tests/support/writers/texture_writer.h"

#include <cstring>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_FAILURE_USERMSG
#include <stb/stb_image.h>

namespace tallow {

std::vector<u8> build_bgra_mip_chain(const u8 *rgba, u32 width, u32 height, u32 *out_mip_count)
{
    std::vector<u8> level(rgba, rgba + u64(width) * height * 4), out;
    u32 w = width, h = height, mips = 0;
    for (;;) {
        for (u64 i = 0; i < u64(w) * h; ++i) {
            const u8 *p = &level[i * 4];
            const u8 bgra[4] = {p[2], p[1], p[0], p[3]};
            const size_t at = out.size();
            out.resize(at + 4);
            memcpy(out.data() + at, bgra, 4);
        }
        ++mips;
        if (w == 1 && h == 1)
            break;
        const u32 nw = w > 1 ? w / 2 : 1, nh = h > 1 ? h / 2 : 1;
        std::vector<u8> next(u64(nw) * nh * 4);
        for (u32 y = 0; y < nh; ++y)
            for (u32 x = 0; x < nw; ++x) {
                const u32 x0 = w > 1 ? 2 * x : 0, x1 = w > 1 ? 2 * x + 1 : 0;
                const u32 y0 = h > 1 ? 2 * y : 0, y1 = h > 1 ? 2 * y + 1 : 0;
                for (u32 c = 0; c < 4; ++c) {
                    u32 sum = level[(u64(y0) * w + x0) * 4 + c] + level[(u64(y0) * w + x1) * 4 + c] +
                              level[(u64(y1) * w + x0) * 4 + c] + level[(u64(y1) * w + x1) * 4 + c];
                    next[(u64(y) * nw + x) * 4 + c] = u8((sum + 2) / 4);
                }
            }
        level.swap(next);
        w = nw;
        h = nh;
    }
    *out_mip_count = mips;
    return out;
}

bool compile_texture_source(const std::string &file_name, const std::vector<u8> &source, std::vector<u8> &out,
                            std::string &error)
{
    auto ends_with = [&](const char *suffix) {
        const size_t n = strlen(suffix);
        return file_name.size() >= n && file_name.compare(file_name.size() - n, n, suffix) == 0;
    };
    if (ends_with(".dds")) {
        TextureImage *image = read_texture_image(source.data(), source.size(), default_allocator());
        if (!image) {
            error = "not a DDS image the engine reads (see the log above)";
            return false;
        }
        destroy_texture_image(image);
        out = source;
        return true;
    }
    if (!ends_with(".png")) {
        error = "a texture source is a .png or .dds file";
        return false;
    }
    if (source.size() > 0x7FFFFFFF) {
        error = "the image file is too large";
        return false;
    }
    int w = 0, h = 0, channels = 0;
    if (!stbi_info_from_memory(source.data(), int(source.size()), &w, &h, &channels)) {
        error = std::string("cannot read the PNG image: ") + stbi_failure_reason();
        return false;
    }
    if (w <= 0 || h <= 0 || u32(w) > max_texture_size || u32(h) > max_texture_size) {
        error = "the image is " + std::to_string(w) + " x " + std::to_string(h) + ", past 16384 texels a side";
        return false;
    }
    stbi_uc *pixels = stbi_load_from_memory(source.data(), int(source.size()), &w, &h, &channels, 4);
    if (!pixels) {
        error = std::string("cannot read the PNG image: ") + stbi_failure_reason();
        return false;
    }
    DdsDescription d;
    d.width = u32(w);
    d.height = u32(h);
    std::vector<u8> texels = build_bgra_mip_chain(pixels, d.width, d.height, &d.mip_count);
    stbi_image_free(pixels);
    out = write_dds(d, texels);
    return true;
}

} // namespace tallow
