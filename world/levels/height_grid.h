#pragma once
// Height grids: n x n ground heights under a square, sampled by downward rays. A particle
// effect keeps one in its own state memory; the game side fills it.
//
//   u8 memory[height_grid_bytes(17)];
//   height_grid_init(memory, sizeof memory, centre_x, centre_y, size, 17);
//   height_grid_build(memory, sizeof memory, world.physics(), start_height);
//   f32 h = height_grid_heights(memory)[17 * i + j];   // point (origin + j, origin + i) x spacing
//
// Layout: a 20-byte header {f32 origin x, f32 origin y, f32 spacing, u32 n, u32 offset of the
// heights from the header (20)}, then n x n f32 heights row by row (row i at y = origin y +
// i x spacing). The header holds no pointer, so the grid may be copied or sent as bytes.
// "Nothing below" is the lowest finite f32. Grids of fewer than 2 or more than
// height_grid_max_points points a side are refused (a side of 1 would divide by zero).

#include "foundation/types.h"

namespace tallow {

class IPhysicsWorld;

constexpr f32 height_grid_nothing = -3.4028235e38f;
constexpr u32 height_grid_header_bytes = 20;
constexpr u32 height_grid_max_points = 256;

struct HeightGridHeader {
    f32 origin_x;
    f32 origin_y;
    f32 spacing;
    u32 n;
    u32 heights_offset;
};
static_assert(sizeof(HeightGridHeader) == height_grid_header_bytes);

constexpr u64 height_grid_bytes(u32 n) { return height_grid_header_bytes + u64(n) * n * 4; }

/// Sets the grid up over the square of side `size` centred on (centre x, centre y), every
/// height "nothing". False (logged) when n is out of range or `bytes` is too small.
bool height_grid_init(u8 *grid, u64 bytes, f32 centre_x, f32 centre_y, f32 size, u32 n);
/// Casts one ray straight down from `start_height` per point; a miss stores "nothing".
/// False when the grid's header does not fit `bytes`.
bool height_grid_build(u8 *grid, u64 bytes, const IPhysicsWorld &physics, f32 start_height);
/// The heights behind a valid header.
f32 *height_grid_heights(u8 *grid);

} // namespace tallow
