#include "animation/camera_animation_sampler.h"

#include <algorithm>

namespace tallow {

namespace {

/// Where t falls on a track whose keys are `stride` floats with the time first.
struct Segment {
    u32 key = 0;         // the key at or before t (the first or last when t lies outside)
    bool inside = false; // t lies between key and key + 1
    f32 u = 0;
};

Segment find_segment(const Array<f32> &keys, u32 stride, f32 t)
{
    Segment s;
    u32 n = keys.size() / stride;
    if (n == 0 || !(t > keys[0]))
        return s;
    if (t >= keys[(n - 1) * stride]) {
        s.key = n - 1;
        return s;
    }
    // time(lo) < t < time(hi) holds at the start and is kept, whatever the key order.
    u32 lo = 0, hi = n - 1;
    while (hi - lo > 1) {
        u32 mid = lo + (hi - lo) / 2;
        if (keys[mid * stride] <= t)
            lo = mid;
        else
            hi = mid;
    }
    f32 t0 = keys[lo * stride], t1 = keys[hi * stride];
    s.key = lo;
    s.inside = true;
    s.u = std::clamp((t - t0) / (t1 - t0), 0.0f, 1.0f);
    return s;
}

const f32 *key_values(const Array<f32> &keys, u32 stride, u32 key) { return &keys[key * stride + 1]; }

} // namespace

u32 camera_animation_camera_count(const CameraAnimationResource &resource)
{
    return std::min({resource.tracks16.size(), resource.tracks20.size(), resource.tracks8.size()});
}

bool sample_camera_animation(const CameraAnimationResource &resource, u32 camera, f32 t,
                             CameraAnimationSample &out)
{
    if (camera >= camera_animation_camera_count(resource))
        return false;
    const Array<f32> &positions = resource.tracks16[camera];
    const Array<f32> &rotations = resource.tracks20[camera];
    const Array<f32> &scalars = resource.tracks8[camera];
    CameraAnimationSample sample;

    bool cut = false;
    Segment s = find_segment(positions, 4, t);
    if (positions.size() >= 4) {
        const f32 *a = key_values(positions, 4, s.key);
        Vector3 p0{a[0], a[1], a[2]};
        sample.position = p0;
        if (s.inside) {
            const f32 *b = key_values(positions, 4, s.key + 1);
            Vector3 p1{b[0], b[1], b[2]};
            cut = length(p1 - p0) >= 1.0f;
            if (!cut)
                sample.position = p0 + (p1 - p0) * s.u;
        }
    }

    s = find_segment(rotations, 5, t);
    if (rotations.size() >= 5) {
        const f32 *a = key_values(rotations, 5, s.key);
        Quaternion q0{a[0], a[1], a[2], a[3]};
        sample.rotation = q0;
        if (s.inside && !cut) {
            const f32 *b = key_values(rotations, 5, s.key + 1);
            Quaternion q1{b[0], b[1], b[2], b[3]};
            if (dot(q0, q1) < 0)
                q1 = {-q1.x, -q1.y, -q1.z, -q1.w};
            f32 u = s.u;
            sample.rotation = normalize(Quaternion{q0.x + (q1.x - q0.x) * u, q0.y + (q1.y - q0.y) * u,
                                                   q0.z + (q1.z - q0.z) * u, q0.w + (q1.w - q0.w) * u});
        }
    }

    s = find_segment(scalars, 2, t);
    if (scalars.size() >= 2) {
        f32 v0 = key_values(scalars, 2, s.key)[0];
        sample.value = v0;
        if (s.inside && !cut)
            sample.value = v0 + (key_values(scalars, 2, s.key + 1)[0] - v0) * s.u;
    }
    out = sample;
    return true;
}

} // namespace tallow
