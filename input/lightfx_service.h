#pragma once
// LightFX lighting devices as the Application sees them. Main thread only.

#include "foundation/types.h"

namespace tallow {

/// LightFX lighting devices.
class ILightFxService {
  public:
    virtual ~ILightFxService() = default;
    /// Advances the colour fades by the unfiltered frame step.
    virtual void update(f32 raw_dt_seconds) = 0;
};

} // namespace tallow
