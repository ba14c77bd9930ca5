#pragma once
// The pieces of the flock view that pick a template for an agent: its speed band, with
// hysteresis so a walker near a threshold does not flicker between two animations, and the
// depth key that orders agents nearest first (agents behind the camera sort late).
//
//   band = flock_speed_band(band, length(agent.velocity) * 0.2f);
//   template_index = (agent_index % 5) + 5 * band;
//
// Pure functions; any thread.

#include "foundation/math/vector3.h"
#include "foundation/types.h"

namespace tallow {

constexpr u32 flock_speed_band_count = 3;
constexpr u32 flock_phase_count = 5;

/// The next band (0 to 2) from the current one and the scaled speed s = |velocity| x 0.2:
/// from 0, above 0.75 gives 2, else above 0.15 gives 1; from 1, below 0.05 gives 0 and above
/// 0.4 gives 2; from 2, below 0.1 gives 0 and below 0.3 gives 1; otherwise it stays. A band
/// out of range counts as 0; a NaN speed keeps the band.
u32 flock_speed_band(u32 band, f32 s);

/// |agent - camera|^2, or 2 x that + 100 when the agent lies behind the camera (its offset
/// against the view direction).
f32 flock_depth_key(const Vector3 &agent, const Vector3 &camera, const Vector3 &view_direction);

} // namespace tallow
