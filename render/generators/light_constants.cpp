#include "render/generators/light_constants.h"

#include <cmath>

namespace tallow {

namespace {
constexpr f32 smallest_step = 1e-4f;
constexpr f32 screen_offset = 8.0f;

f32 positive_step(f32 v) { return v > smallest_step ? v : smallest_step; }
} // namespace

Vector3 light_proxy_scale(const LightShape &light)
{
    const f32 range = light.falloff_end;
    if (light.type == 1) {
        const f32 w = std::tan(light.spot_angle_end * 0.5f) * range * 2;
        return {w, range, w};
    }
    const f32 s = range * 1.074f * 2;
    return {s, s, s};
}

Vector3 light_falloff(const LightShape &light)
{
    return {light.falloff_start, 1.0f / positive_step(light.falloff_end - light.falloff_start),
            light.falloff_exponent};
}

Vector3 light_spot_falloff(const LightShape &light)
{
    const f32 cos_start = std::cos(light.spot_angle_start * 0.5f);
    const f32 cos_end = std::cos(light.spot_angle_end * 0.5f);
    // The end angle is the wider one, so cos_end < cos_start; equal angles get a hard edge.
    const f32 span = cos_end - cos_start;
    const f32 divisor = span <= -smallest_step ? span : -smallest_step;
    return {1.0f - cos_start, 1.0f - 1.0f / divisor, 0.0f};
}

Vector3 light_vector_to_shadow_map(f32 range)
{
    const f32 f = range / positive_step(range - 0.1f);
    return {f, -f * 0.1f, 0.1f};
}

LightScreenSphere light_screen_sphere(const Matrix4x4 &view, const Matrix4x4 &projection, Vector3 position)
{
    const Vector3 v = transform_point(view, position);
    if (!(v.y > smallest_step))
        return {0, 0, 1e9f};
    const f32 sx = projection.m[0][0], sy = projection.m[2][1];
    const f32 inv = 1.0f / v.y;
    LightScreenSphere out;
    out.x = v.x * sx * inv;
    out.y = v.z * sy * inv;
    const f32 ox = (v.x + screen_offset) * sx * inv, oy = (v.z + screen_offset) * sy * inv;
    out.radius = std::sqrt((ox - out.x) * (ox - out.x) + (oy - out.y) * (oy - out.y));
    return out;
}

} // namespace tallow
