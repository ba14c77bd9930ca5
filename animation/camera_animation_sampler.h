#pragma once
// Sampling a "camera_animation" resource (animation/animation_resources.h): camera i has
// position track tracks16[i] (time, x, y, z), rotation track tracks20[i] (time, x, y, z, w)
// and scalar track tracks8[i] (time, value).
//
//   CameraAnimationSample s;
//   if (sample_camera_animation(*resource, camera, t, s)) use(s.position, s.rotation, s.value);
//
// Each track finds its key i with time(i) <= t < time(i + 1) and blends by
// u = (t - time(i)) / (time(i + 1) - time(i)); before the first key it gives the first
// value, after the last key the last, and with no keys position 0, the identity rotation
// and value 0. Where the two position keys around t lie 1.0 or more apart the camera cuts:
// every track gives its key i unchanged. Rotations blend component-wise, the later key
// negated first when the two keys' dot product is negative, then normalised (a zero length
// gives the identity). Keys out of time order (the reader does not sort) still give one of
// the track's segments and a u in [0, 1); a NaN time gives the first keys.

#include "animation/animation_resources.h"
#include "foundation/math/quaternion.h"
#include "foundation/math/vector3.h"

namespace tallow {

struct CameraAnimationSample {
    Vector3 position{0, 0, 0};
    Quaternion rotation = quaternion_identity;
    f32 value = 0;
};

/// The cameras every track list reaches (the valid camera indices are below it).
u32 camera_animation_camera_count(const CameraAnimationResource &resource);

/// False (out untouched) when `camera` is not below camera_animation_camera_count.
bool sample_camera_animation(const CameraAnimationResource &resource, u32 camera, f32 t,
                             CameraAnimationSample &out);

} // namespace tallow
