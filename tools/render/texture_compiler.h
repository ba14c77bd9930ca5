#pragma once
// The texture compiler: turns an image source into "texture" resource bytes (a DDS image,
// render/textures/texture_resource.h).
//
// Sources, by file name:
//   "<name>.png"  read through stb_image (8 bits per channel; grey, grey-alpha, RGB and
//                 RGBA are taken, every one becomes 32-bit B, G, R, A), with a full mip
//                 chain down to 1 x 1: each level is the 2 x 2 box average of the one
//                 above (a lone odd row or column is averaged with itself);
//   "<name>.dds"  taken as it is once the texture reader accepts it (formats and sizes as
//                 the engine reads them), so a compressed texture made elsewhere comes
//                 through unchanged.
// Images larger than 16384 texels a side are refused.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

/// Compiles a source; false with `error` set when it cannot be read or is refused.
bool compile_texture_source(const std::string &file_name, const std::vector<u8> &source, std::vector<u8> &out,
                            std::string &error);

/// Box-filtered mip chain of an RGBA8 image, converted to B, G, R, A: every level in order.
std::vector<u8> build_bgra_mip_chain(const u8 *rgba, u32 width, u32 height, u32 *out_mip_count);

} // namespace tallow
