#pragma once
// Turns measured frame steps into the smooth step the game sees: every measurement is
// clamped to [0.0005, 0.2] seconds, the two shortest and two longest of the last eleven are
// dropped, and a tenth of the new estimate is blended into the running value.
//
//   FrameTimeFilter filter;
//   filter.update(measured_seconds);
//   f32 dt = filter.smoothed_step();

#include "foundation/types.h"

namespace tallow {

class FrameTimeFilter {
  public:
    static constexpr u32 window_size = 11;

    /// Takes one measured step in seconds. A NaN counts as the minimum step.
    void update(f32 step_seconds);
    /// The filtered step. The running value starts at the first clamped measurement, so the
    /// first frames need no ramp; before the first update it is the minimum step.
    f32 smoothed_step() const { return _smoothed; }
    /// The estimate of the last update before blending (for inspection).
    f32 last_estimate() const { return _last_estimate; }
    u32 sample_count() const { return _sample_count; }

    f32 maximum_step = 0.2f;     // upper clamp, seconds
    f32 minimum_step = 0.0005f;  // lower clamp, seconds
    f32 bias = 0.0f;             // added to the estimate with weight 1/30

  private:
    u32 _sample_count = 0;             // samples held, at most 11
    f32 _samples[window_size] = {};    // the last clamped steps, oldest first
    f32 _smoothed = 0.0005f;           // the output
    f32 _last_estimate = 0.0f;
    bool _started = false;             // the running value holds a measurement
};

} // namespace tallow
