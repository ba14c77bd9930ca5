#pragma once
// The engine's texture format codes (0-14) and what they become on the Direct3D side:
// bits per pixel, the typeless resource format and the view formats for linear and sRGB
// reading. Render targets share the table. Codes 15 ("UNKNOWN") and above have no
// entry; `is_known_texture_format` says so and the creators refuse them.

#include "foundation/types.h"
#include "platform/d3d11/d3d11_shim.h"

namespace tallow::render::d3d11 {

constexpr u32 texture_format_count = 15;
constexpr u32 texture_format_depth_stencil = 3;
constexpr u32 texture_format_shadow_map = 10;
constexpr u32 texture_format_buffer_32f = 12;

bool is_known_texture_format(u32 code);
/// True for the block-compressed codes 4 to 8.
bool is_block_compressed(u32 code);
/// 8 for codes 4 and 7, 16 for 5, 6 and 8, 0 for the others.
u32 block_bytes(u32 code);
/// Bits per pixel; 0 for an unknown code.
u32 bits_per_pixel(u32 code);
/// The typeless resource format; DXGI_FORMAT_UNKNOWN for an unknown code.
DXGI_FORMAT typeless_format(u32 code);
/// The view format for linear (`srgb` false) or sRGB reading; UNKNOWN for an unknown code.
DXGI_FORMAT view_format(u32 code, bool srgb);
/// The depth-stencil view format of a typeless resource format (R24G8 and R16 turn into
/// their depth forms; others stay as they are).
DXGI_FORMAT depth_view_format(DXGI_FORMAT typeless);

/// One subresource's pitch: bytes per row (or per block row) and how many rows.
struct SubresourcePitch {
    u32 row_pitch;
    u32 rows;
};

/// Pitches of one mip of a `code` texture of `width` x `height` at `mip` (sizes halve per
/// mip and never fall below 1). Block-compressed codes count block rows.
SubresourcePitch subresource_pitch(u32 code, u32 width, u32 height, u32 mip);

/// Total bytes of `array_size` x `mip_levels` subresources, slice-major; 0 for an unknown
/// code. The sum is 64-bit so that absurd descriptions cannot wrap.
u64 subresource_total_bytes(u32 code, u32 width, u32 height, u32 array_size, u32 mip_levels);

} // namespace tallow::render::d3d11
