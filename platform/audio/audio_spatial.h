#pragma once
// 3D level calculation: from a listener and an emitter, the level matrix, low-pass
// coefficients and reverb level a positioned sound gets on each speaker.
//
//   Spatial spatial;
//   spatial.init(channel_mask_for(2), 343.5f);
//   SpatialDsp dsp{matrix, 1, 2};
//   spatial.calculate(listener, emitter, spatial_matrix | spatial_lpf_direct | spatial_reverb, dsp);
//
// Coordinates are left-handed: right = top x front. Distances are divided by the
// emitter's curve distance scaler and looked up in its piecewise-linear curves (the last
// point's value holds beyond it). Direction pans with constant power between the two
// speakers around the sound's azimuth; the LFE channel takes the LFE curve. At the
// listener's own position a sound spreads evenly. Emitters of several channels get the
// same levels on every channel. Doppler and cones are not computed. Pure functions: any
// thread.

#include "foundation/math/vector3.h"
#include "foundation/types.h"

namespace tallow::audio {

struct CurvePoint {
    f32 distance; // normalised, 0 to 1 and beyond
    f32 value;
};
struct Curve {
    const CurvePoint *points = nullptr;
    u32 count = 0;
};
f32 evaluate_curve(const Curve &curve, f32 distance, f32 fallback);

struct SpatialListener {
    Vector3 front{0, 0, 1};
    Vector3 top{0, 1, 0};
    Vector3 position{0, 0, 0};
};

struct SpatialEmitter {
    Vector3 position{0, 0, 0};
    u32 channel_count = 1;
    f32 curve_distance_scaler = 1.0f;
    Curve volume;       // none: 1 / distance from 1 on
    Curve lfe;          // none: as the volume
    Curve lpf_direct;   // none: 1 at the listener falling to 0.75 at the scaler
    Curve lpf_reverb;   // none: 0.75
    Curve reverb;       // none: 1
};

constexpr u32 spatial_matrix = 0x1;
constexpr u32 spatial_lpf_direct = 0x4;
constexpr u32 spatial_lpf_reverb = 0x8;
constexpr u32 spatial_reverb = 0x10;

/// What `calculate` fills. `matrix` holds src_channels x dst_channels levels at [d * K + s].
struct SpatialDsp {
    f32 *matrix = nullptr;
    u32 src_channels = 1;
    u32 dst_channels = 2;
    f32 lpf_direct_coefficient = 1.0f;
    f32 lpf_reverb_coefficient = 1.0f;
    f32 reverb_level = 0.0f;
    f32 distance = 0.0f;
};

class Spatial {
  public:
    static constexpr u32 max_matrix = 64; // 8 x 8

    /// `channel_mask` of the output (channel_mask_for); false for an empty mask.
    bool init(u32 channel_mask, f32 speed_of_sound);
    /// Fills what `flags` asks for; false (nothing written) when the dsp's channel counts
    /// do not match the output or exceed 8, or the matrix is null with spatial_matrix.
    bool calculate(const SpatialListener &listener, const SpatialEmitter &emitter, u32 flags, SpatialDsp &dsp) const;
    u32 channel_count() const { return _channels; }

  private:
    u32 _mask = 0;
    u32 _channels = 0;
    i32 _lfe = -1;            // output index of the LFE channel
    f32 _azimuths[8] = {};    // radians, clockwise from the front, per output
    f32 _speed_of_sound = 343.5f;
};

} // namespace tallow::audio
