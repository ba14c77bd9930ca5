#pragma once
// LightFX lighting devices as the Application and the scripts see them. Main thread only.

#include "foundation/types.h"

namespace tallow {

/// Every location of the 3 x 3 x 3 location cube.
constexpr u32 lightfx_all_locations = 0x7FFFFFF;

/// LightFX lighting devices.
class ILightFxService {
  public:
    virtual ~ILightFxService() = default;
    /// Advances the colour fades by the unfiltered frame step.
    virtual void update(f32 raw_dt_seconds) = 0;
    /// Colours the locations of the 27-bit mask (components 0..1): at once when
    /// `fade_seconds` <= 0, else fading there over that time. Works without devices too.
    virtual void set_color_in_cube(u32 location_mask, f32 r, f32 g, f32 b, f32 a, f32 fade_seconds) = 0;
};

} // namespace tallow
