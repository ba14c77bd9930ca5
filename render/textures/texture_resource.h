#pragma once
// The "texture" resource: a DDS image read into a TextureImage, a Texture record whose
// data words point at every level's texels (faces outer, mips inner).
//
//   TextureImage *image = read_texture_image(bytes, size, allocator);   // null: refused (logged)
//   context.create_resource(image);          // the device reads the levels when it runs
//   ...
//   context.release_resource(image);  destroy_texture_image(image);
//
// Layout read: u32 magic (ignored), the 124-byte header, then the texels of every level.
// Header fields used (offsets in the header): height 8, width 12, mip count 24 (0 counts
// as 1), pixel-format FourCC 80, RGB bit count 84, red/green/blue/alpha masks 88/92/96/100,
// caps2 108 (0x200: a cube map with six faces).
//
// Formats (engine codes, texture_format.h of the device):
//   "DXT1" 4, "DXT3" 5, "DXT5" 6, "ATI1" 7, "ATI2" 8 (4x4 blocks of 8 or 16 bytes);
//   32 bits with masks 0xFF0000, 0xFF00, 0xFF and alpha 0xFF000000 or 0: 0 (bytes B, G, R, A);
//   FourCC value 113: 14 (four half floats); FourCC value 116: 9 (four floats).
//
// Refused (logged, null): fewer bytes than the header, a width, height or mip count of 0 or
// past what a device takes (16384 texels, 15 levels), a pixel format outside the table (an
// unknown format has no level size), and texel data shorter than the levels the header
// names. Sizes are computed in 64 bits. Bytes after the last level are ignored.

#include "foundation/types.h"
#include "render/resources/render_target.h"

namespace tallow {

class RenderResourceContext;
struct ResourceTypeCallbacks;

constexpr u32 dds_magic = 0x20534444; // "DDS "
constexpr u32 dds_header_bytes = 124;
constexpr u32 dds_cube_flag = 0x200;
constexpr u32 max_texture_size = 16384;
constexpr u32 max_texture_mips = 15;

/// The engine format of a DDS pixel format; false when the table has none.
bool texture_format_from_dds(u32 fourcc, u32 rgb_bit_count, u32 red_mask, u32 green_mask, u32 blue_mask,
                             u32 alpha_mask, u32 *out_format);
/// True for the block-compressed formats (4 to 8).
bool is_block_compressed_format(u32 format);
/// Bytes of one w x h level of `format`; 0 for a format without a size (past 14).
u64 texture_level_bytes(u32 format, u32 width, u32 height);

/// A texture resource: the record with the texels it points at, in one block.
class TextureImage : public Texture {
  public:
    explicit TextureImage(Allocator &allocator) : Texture(allocator) {}
    ~TextureImage() override;
    u8 *texels = nullptr; // every level, in data-word order
    u64 texel_bytes = 0;
};

/// Reads a DDS image; null (logged) when refused.
TextureImage *read_texture_image(const u8 *bytes, u64 size_bytes, Allocator &allocator);
void destroy_texture_image(TextureImage *image);

/// Where loaded textures get and give back their device objects: a resource context that
/// `submit` hands to the render thread and waits for. Both null: textures stay without a
/// device object (their handle invalid).
struct TextureDeviceHooks {
    void *context = nullptr;
    RenderResourceContext *(*acquire)(void *context) = nullptr;
    void (*submit)(void *context, RenderResourceContext *resources) = nullptr;
};

/// The "texture" type: load reads the image on the loader thread; bring_in creates its
/// device texture through `hooks`, bring_out releases it. `hooks` must outlive the type's
/// resources (may be null).
ResourceTypeCallbacks texture_resource_callbacks(const TextureDeviceHooks *hooks);

} // namespace tallow
