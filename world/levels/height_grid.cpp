#include "world/levels/height_grid.h"

#include "foundation/log.h"
#include "world/services/world_services.h"

#include <cfloat>
#include <cstring>

namespace tallow {

namespace {

bool read_header(const u8 *grid, u64 bytes, HeightGridHeader &out)
{
    if (!grid || bytes < height_grid_header_bytes)
        return false;
    memcpy(&out, grid, sizeof out);
    return out.n >= 2 && out.n <= height_grid_max_points && out.heights_offset == height_grid_header_bytes &&
           height_grid_bytes(out.n) <= bytes;
}

} // namespace

bool height_grid_init(u8 *grid, u64 bytes, f32 centre_x, f32 centre_y, f32 size, u32 n)
{
    if (n < 2 || n > height_grid_max_points || !grid || height_grid_bytes(n) > bytes) {
        log_message("world", "height grid of %u points a side refused (2 to %u, in %llu bytes)", n,
                    height_grid_max_points, (unsigned long long)bytes);
        return false;
    }
    HeightGridHeader h{centre_x - size * 0.5f, centre_y - size * 0.5f, f32(size / f32(n - 1)), n,
                       height_grid_header_bytes};
    memcpy(grid, &h, sizeof h);
    f32 *heights = height_grid_heights(grid);
    for (u32 i = 0; i < n * n; ++i)
        heights[i] = height_grid_nothing;
    return true;
}

bool height_grid_build(u8 *grid, u64 bytes, const IPhysicsWorld &physics, f32 start_height)
{
    HeightGridHeader h;
    if (!read_header(grid, bytes, h))
        return false;
    f32 *heights = height_grid_heights(grid);
    for (u32 i = 0; i < h.n; ++i)
        for (u32 j = 0; j < h.n; ++j) {
            Vector3 origin{h.origin_x + f32(j) * h.spacing, h.origin_y + f32(i) * h.spacing, start_height};
            Vector3 hit;
            heights[h.n * i + j] = physics.raycast(origin, {0, 0, -1}, FLT_MAX, hit) ? hit.z : height_grid_nothing;
        }
    return true;
}

f32 *height_grid_heights(u8 *grid) { return reinterpret_cast<f32 *>(grid + height_grid_header_bytes); }

} // namespace tallow
