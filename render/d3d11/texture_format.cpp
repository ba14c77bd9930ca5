#include "render/d3d11/texture_format.h"

namespace tallow::render::d3d11 {
namespace {

struct FormatEntry {
    u32 bits;
    DXGI_FORMAT typeless;
    DXGI_FORMAT linear;
    DXGI_FORMAT srgb;
};

const FormatEntry format_table[texture_format_count] = {
    {32, DXGI_FORMAT_R8G8B8A8_TYPELESS, DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_R8G8B8A8_UNORM_SRGB},
    {32, DXGI_FORMAT_R32_TYPELESS, DXGI_FORMAT_R32_FLOAT, DXGI_FORMAT_R32_FLOAT},
    {16, DXGI_FORMAT_R16_TYPELESS, DXGI_FORMAT_R16_UNORM, DXGI_FORMAT_R16_UNORM},
    {32, DXGI_FORMAT_R24G8_TYPELESS, DXGI_FORMAT_R24_UNORM_X8_TYPELESS, DXGI_FORMAT_R24_UNORM_X8_TYPELESS},
    {4, DXGI_FORMAT_BC1_TYPELESS, DXGI_FORMAT_BC1_UNORM, DXGI_FORMAT_BC1_UNORM_SRGB},
    {8, DXGI_FORMAT_BC2_TYPELESS, DXGI_FORMAT_BC2_UNORM, DXGI_FORMAT_BC2_UNORM_SRGB},
    {8, DXGI_FORMAT_BC3_TYPELESS, DXGI_FORMAT_BC3_UNORM, DXGI_FORMAT_BC3_UNORM_SRGB},
    {4, DXGI_FORMAT_BC4_TYPELESS, DXGI_FORMAT_BC4_UNORM, DXGI_FORMAT_BC4_UNORM},
    {4, DXGI_FORMAT_BC5_TYPELESS, DXGI_FORMAT_BC5_UNORM, DXGI_FORMAT_BC5_UNORM},
    {128, DXGI_FORMAT_R32G32B32A32_TYPELESS, DXGI_FORMAT_R32G32B32A32_FLOAT, DXGI_FORMAT_R32G32B32A32_FLOAT},
    {32, DXGI_FORMAT_R24G8_TYPELESS, DXGI_FORMAT_R24_UNORM_X8_TYPELESS, DXGI_FORMAT_R24_UNORM_X8_TYPELESS},
    {64, DXGI_FORMAT_R16G16B16A16_TYPELESS, DXGI_FORMAT_R16G16B16A16_FLOAT, DXGI_FORMAT_R16G16B16A16_FLOAT},
    {32, DXGI_FORMAT_R32_TYPELESS, DXGI_FORMAT_R32_FLOAT, DXGI_FORMAT_R32_FLOAT},
    {16, DXGI_FORMAT_R16_TYPELESS, DXGI_FORMAT_R16_FLOAT, DXGI_FORMAT_R16_FLOAT},
    {64, DXGI_FORMAT_R16G16B16A16_TYPELESS, DXGI_FORMAT_R16G16B16A16_FLOAT, DXGI_FORMAT_R16G16B16A16_FLOAT},
};

u32 mip_extent(u32 base, u32 mip)
{
    u32 extent = mip < 32 ? base >> mip : 0;
    return extent ? extent : 1;
}

} // namespace

bool is_known_texture_format(u32 code) { return code < texture_format_count; }

bool is_block_compressed(u32 code) { return code >= 4 && code <= 8; }

u32 block_bytes(u32 code)
{
    if (code == 4 || code == 7)
        return 8;
    if (code == 5 || code == 6 || code == 8)
        return 16;
    return 0;
}

u32 bits_per_pixel(u32 code) { return is_known_texture_format(code) ? format_table[code].bits : 0; }

DXGI_FORMAT typeless_format(u32 code)
{
    return is_known_texture_format(code) ? format_table[code].typeless : DXGI_FORMAT_UNKNOWN;
}

DXGI_FORMAT view_format(u32 code, bool srgb)
{
    if (!is_known_texture_format(code))
        return DXGI_FORMAT_UNKNOWN;
    return srgb ? format_table[code].srgb : format_table[code].linear;
}

DXGI_FORMAT depth_view_format(DXGI_FORMAT typeless)
{
    if (typeless == DXGI_FORMAT_R24G8_TYPELESS)
        return DXGI_FORMAT_D24_UNORM_S8_UINT;
    if (typeless == DXGI_FORMAT_R16_TYPELESS)
        return DXGI_FORMAT_D16_UNORM;
    return typeless;
}

SubresourcePitch subresource_pitch(u32 code, u32 width, u32 height, u32 mip)
{
    u32 w = mip_extent(width, mip);
    u32 h = mip_extent(height, mip);
    if (is_block_compressed(code)) {
        u32 blocks_wide = (w + 3) / 4;
        u32 blocks_high = (h + 3) / 4;
        return {(blocks_wide ? blocks_wide : 1) * block_bytes(code), blocks_high ? blocks_high : 1};
    }
    return {bits_per_pixel(code) / 8 * w, h};
}

u64 subresource_total_bytes(u32 code, u32 width, u32 height, u32 array_size, u32 mip_levels)
{
    if (!is_known_texture_format(code))
        return 0;
    u64 slice = 0;
    for (u32 mip = 0; mip < mip_levels; ++mip) {
        SubresourcePitch pitch = subresource_pitch(code, width, height, mip);
        slice += u64(pitch.row_pitch) * pitch.rows;
    }
    return slice * array_size;
}

} // namespace tallow::render::d3d11
