#include "tests/support/writers/texture_writer.h"

#include <cstring>

namespace tallow {

u32 dds_fourcc(const char *four)
{
    return u32(u8(four[0])) | u32(u8(four[1])) << 8 | u32(u8(four[2])) << 16 | u32(u8(four[3])) << 24;
}

std::vector<u8> write_dds(const DdsDescription &d, const std::vector<u8> &texels)
{
    std::vector<u8> out(4 + 124, 0);
    auto put = [&](u32 offset, u32 value) { memcpy(out.data() + offset, &value, 4); };
    put(0, 0x20534444);          // "DDS "
    put(4 + 0, 124);             // header size
    put(4 + 4, 0x1007 | (d.mip_count > 1 ? 0x20000 : 0)); // caps, height, width, pixel format, mips
    put(4 + 8, d.height);
    put(4 + 12, d.width);
    put(4 + 24, d.mip_count);
    put(4 + 72, 32);             // pixel format size
    put(4 + 76, d.fourcc ? 0x4 : 0x41); // FourCC, or RGB with alpha
    put(4 + 80, d.fourcc);
    put(4 + 84, d.fourcc ? 0 : d.rgb_bit_count);
    for (u32 i = 0; i < 4; ++i)
        put(4 + 88 + 4 * i, d.fourcc ? 0 : d.masks[i]);
    put(4 + 104, 0x1000 | (d.mip_count > 1 ? 0x400008 : 0)); // texture, mipmaps
    put(4 + 108, d.cube ? 0xFE00 : 0); // cube map with all six faces
    out.resize(4 + 124 + texels.size());
    if (!texels.empty())
        memcpy(out.data() + 4 + 124, texels.data(), texels.size());
    return out;
}

} // namespace tallow
