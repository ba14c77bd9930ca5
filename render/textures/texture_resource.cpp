#include "render/textures/texture_resource.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "render/resources/render_resource_context.h"
#include "resource/resource_manager.h"

#include <cstring>

namespace tallow {

namespace {

constexpr u32 fourcc(char a, char b, char c, char d)
{
    return u32(u8(a)) | u32(u8(b)) << 8 | u32(u8(c)) << 16 | u32(u8(d)) << 24;
}

// Bits per texel of the formats that are not block compressed, by format code.
constexpr u32 bits_per_pixel[15] = {32, 32, 16, 32, 4, 8, 8, 4, 4, 128, 32, 64, 32, 16, 64};

u32 read_u32_at(const u8 *p)
{
    u32 v;
    memcpy(&v, p, 4); // the engine runs little-endian only
    return v;
}

TextureImage *refuse(const char *what, u64 a = 0, u64 b = 0)
{
    char text[160];
    snprintf(text, sizeof text, what, (unsigned long long)a, (unsigned long long)b);
    log_message("render", "texture refused: %s", text);
    return nullptr;
}

} // namespace

bool texture_format_from_dds(u32 code, u32 rgb_bit_count, u32 red_mask, u32 green_mask, u32 blue_mask,
                             u32 alpha_mask, u32 *out_format)
{
    u32 format = texture_format_unknown;
    if (code == fourcc('D', 'X', 'T', '1'))
        format = 4;
    else if (code == fourcc('D', 'X', 'T', '3'))
        format = 5;
    else if (code == fourcc('D', 'X', 'T', '5'))
        format = 6;
    else if (code == fourcc('A', 'T', 'I', '1'))
        format = 7;
    else if (code == fourcc('A', 'T', 'I', '2'))
        format = 8;
    else if (code == 113)
        format = 14;
    else if (code == 116)
        format = 9;
    else if (code == 0 && rgb_bit_count == 32 && red_mask == 0xFF0000 && green_mask == 0xFF00 && blue_mask == 0xFF &&
             (alpha_mask == 0xFF000000u || alpha_mask == 0))
        format = 0;
    *out_format = format;
    return format != texture_format_unknown;
}

bool is_block_compressed_format(u32 format) { return format >= 4 && format <= 8; }

u64 texture_level_bytes(u32 format, u32 width, u32 height)
{
    u64 w = width ? width : 1, h = height ? height : 1;
    if (is_block_compressed_format(format)) {
        u64 block = (format == 4 || format == 7) ? 8 : 16;
        return block * ((w + 3) / 4) * ((h + 3) / 4);
    }
    if (format >= sizeof bits_per_pixel / sizeof bits_per_pixel[0])
        return 0;
    return (u64(bits_per_pixel[format]) * w * h + 7) / 8;
}

TextureImage::~TextureImage()
{
    if (texels)
        allocator->deallocate(texels);
}

TextureImage *read_texture_image(const u8 *bytes, u64 size_bytes, Allocator &allocator)
{
    if (!bytes || size_bytes < 4 + dds_header_bytes)
        return refuse("%llu bytes, fewer than the %llu of the header", size_bytes, 4 + dds_header_bytes);
    const u8 *h = bytes + 4;
    const u32 height = read_u32_at(h + 8), width = read_u32_at(h + 12);
    u32 mips = read_u32_at(h + 24);
    if (mips == 0)
        mips = 1;
    const bool cube = (read_u32_at(h + 108) & dds_cube_flag) != 0;
    if (width == 0 || height == 0 || width > max_texture_size || height > max_texture_size)
        return refuse("a size of %llu x %llu", width, height);
    if (mips > max_texture_mips)
        return refuse("%llu mip levels", mips);
    u32 format = 0;
    if (!texture_format_from_dds(read_u32_at(h + 80), read_u32_at(h + 84), read_u32_at(h + 88), read_u32_at(h + 92),
                                 read_u32_at(h + 96), read_u32_at(h + 100), &format))
        return refuse("the pixel format (FourCC %llu, %llu bits) is not one the engine reads", read_u32_at(h + 80),
                      read_u32_at(h + 84));
    const u32 faces = cube ? 6 : 1;
    u64 total = 0;
    for (u32 m = 0; m < mips; ++m)
        total += texture_level_bytes(format, width >> m, height >> m);
    total *= faces;
    const u64 available = size_bytes - 4 - dds_header_bytes;
    if (total > available)
        return refuse("the levels need %llu bytes of texels, the resource holds %llu", total, available);

    TextureImage *image = make_new<TextureImage>(allocator, allocator);
    if (!image)
        return refuse("out of memory");
    image->description = {format, cube ? 2u : 0u, width, height, faces, mips};
    image->texels = static_cast<u8 *>(allocator.allocate(total ? total : 1, 16));
    image->data.reserve(faces * mips);
    if (!image->texels || image->data.capacity() < faces * mips) {
        delete_with_allocator(allocator, image);
        return refuse("out of memory");
    }
    image->texel_bytes = total;
    memcpy(image->texels, h + dds_header_bytes, total);
    u64 offset = 0;
    for (u32 f = 0; f < faces; ++f)
        for (u32 m = 0; m < mips; ++m) {
            image->data.push_back(image->texels + offset);
            offset += texture_level_bytes(format, width >> m, height >> m);
        }
    return image;
}

void destroy_texture_image(TextureImage *image)
{
    if (image)
        delete_with_allocator(*image->allocator, image);
}

namespace {

void *load_texture(const ResourceLoadParams &params)
{
    Array<u8> bytes(params.allocator);
    if (!params.archive.read_whole_bytes(bytes)) {
        log_message("render", "texture %016llx: cannot read its bytes", (unsigned long long)params.name.value());
        return nullptr;
    }
    TextureImage *image = read_texture_image(bytes.data(), bytes.size(), params.allocator);
    if (!image)
        log_message("render", "texture %016llx not loaded", (unsigned long long)params.name.value());
    return image;
}

void unload_texture(const ResourceUnloadParams &params) { destroy_texture_image(static_cast<TextureImage *>(params.data)); }

void bring_in_texture(void *userdata, void *data)
{
    auto *hooks = static_cast<const TextureDeviceHooks *>(userdata);
    if (!hooks || !hooks->acquire || !data)
        return;
    if (RenderResourceContext *context = hooks->acquire(hooks->context)) {
        context->create_resource(static_cast<TextureImage *>(data));
        hooks->submit(hooks->context, context);
    }
}

void bring_out_texture(void *userdata, void *data)
{
    auto *hooks = static_cast<const TextureDeviceHooks *>(userdata);
    auto *image = static_cast<TextureImage *>(data);
    if (!hooks || !hooks->acquire || !image || image->handle == invalid_render_handle)
        return;
    if (RenderResourceContext *context = hooks->acquire(hooks->context)) {
        context->release_resource(image);
        hooks->submit(hooks->context, context);
    }
}

} // namespace

ResourceTypeCallbacks texture_resource_callbacks(const TextureDeviceHooks *hooks)
{
    ResourceTypeCallbacks callbacks;
    callbacks.userdata = const_cast<TextureDeviceHooks *>(hooks);
    callbacks.load = load_texture;
    callbacks.unload = unload_texture;
    callbacks.bring_in = bring_in_texture;
    callbacks.bring_out = bring_out_texture;
    return callbacks;
}

} // namespace tallow
