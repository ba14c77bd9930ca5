#pragma once
// Writes "texture" resource bytes (a DDS image, render/textures/texture_resource.h): the
// magic, the 124-byte header with the fields the reader uses, then the texels as given.
// Shared by the render tests, the texture compiler and the fuzz seeds.
//
//   DdsDescription d;  d.width = 4; d.height = 4; d.mip_count = 3;   // RGBA8 (masks) by default
//   std::vector<u8> bytes = write_dds(d, texels);

#include "foundation/types.h"

#include <vector>

namespace tallow {

struct DdsDescription {
    u32 width = 1;
    u32 height = 1;
    u32 mip_count = 1;   // written as is (0 counts as 1 for the reader)
    u32 fourcc = 0;      // 0: an RGB pixel format with the masks below
    u32 rgb_bit_count = 32;
    u32 masks[4] = {0xFF0000, 0xFF00, 0xFF, 0xFF000000u}; // red, green, blue, alpha
    bool cube = false;
};

/// FourCC code of four characters ("DXT1").
u32 dds_fourcc(const char *four);
/// The whole resource: magic, header, then `texels`.
std::vector<u8> write_dds(const DdsDescription &description, const std::vector<u8> &texels);

} // namespace tallow
