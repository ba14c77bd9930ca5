#pragma once
// The per-light shader constants of the lighting steps, as plain functions so the deferred
// and tiled steps compute them one way.
//
//   LightShape shape{light_spot, 0.0f, 10.0f, 1.0f, 0.5f, 1.047f};
//   Vector3 scale = light_proxy_scale(shape);          // "light_proxy_scale"
//   Vector3 falloff = light_falloff(shape);            // "light_falloff"
//
// Ranges and angles that would divide by zero (falloff end at or before its start, spot
// angles that are equal) give the hard edge the limit describes: the divisor is held at a
// small positive step, so the constants stay finite.
//
// Render thread, reentrant.

#include "foundation/math/matrix4x4.h"

namespace tallow {

/// What the constants read of a light.
struct LightShape {
    u32 type = 0;              // 0 omni, 1 spot
    f32 falloff_start = 0;
    f32 falloff_end = 8;       // the range
    f32 falloff_exponent = 1;
    f32 spot_angle_start = 0;  // full cone angles, radians
    f32 spot_angle_end = 1;
};

/// "light_proxy_scale": (s, s, s) with s = range x 1.074 x 2 for omni lights (the proxy
/// sphere's facets stay outside the range); (w, range, w) with w = tan(end angle / 2) x
/// range x 2 for spot lights.
Vector3 light_proxy_scale(const LightShape &light);
/// "light_falloff": (start, 1 / (end - start), exponent).
Vector3 light_falloff(const LightShape &light);
/// "light_spot_falloff": (1 - cos(start / 2), 1 - 1 / (cos(end / 2) - cos(start / 2))); z is 0.
Vector3 light_spot_falloff(const LightShape &light);
/// "light_vector_to_shadow_map" of an omni light: (f, -f x 0.1, 0.1) with f = range /
/// (range - 0.1), which turns a distance along the cube face's axis into the face's depth.
Vector3 light_vector_to_shadow_map(f32 range);

/// A light's circle on screen for the tiled step: centre (x, y) in clip units and radius.
struct LightScreenSphere {
    f32 x = 0, y = 0, radius = 0;
};
/// Takes `position` into view space with `view` (y is the depth), scales across and up by
/// the projection's terms and divides by the depth; the radius is the distance to the
/// same projection of the position moved 8 units across and up. A light at or behind the
/// camera's plane (depth below 0.0001) is not mirrored into view: it gets the centre and
/// a radius that covers the whole screen, since its light may still reach what is seen.
LightScreenSphere light_screen_sphere(const Matrix4x4 &view, const Matrix4x4 &projection, Vector3 position);

} // namespace tallow
