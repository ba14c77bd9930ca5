#include "ai/flock_visualizer.h"

namespace tallow {

u32 flock_speed_band(u32 band, f32 s)
{
    switch (band) {
    default:
    case 0:
        return s > 0.75f ? 2 : s > 0.15f ? 1 : 0;
    case 1:
        return s < 0.05f ? 0 : s > 0.4f ? 2 : 1;
    case 2:
        return s < 0.1f ? 0 : s < 0.3f ? 1 : 2;
    }
}

f32 flock_depth_key(const Vector3 &agent, const Vector3 &camera, const Vector3 &view_direction)
{
    const Vector3 offset = agent - camera;
    const f32 d2 = length_squared(offset);
    return dot(view_direction, offset) < 0.0f ? 2.0f * d2 + 100.0f : d2;
}

} // namespace tallow
