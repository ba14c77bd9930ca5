#pragma once
// High-resolution time measurement over the performance counter.
//
//   u64 stamp = performance_counter();
//   ...
//   f64 dt = time_seconds(&stamp);   // seconds since the stamp; the stamp moves to now
//
// Reentrant; `time_seconds_pinned` changes only the calling thread's CPU affinity,
// and only for the duration of the reading.

#include "foundation/types.h"

namespace tallow {

/// The counter's current value in ticks (monotonic).
u64 performance_counter();
/// Ticks per second.
u64 performance_frequency();
/// Seconds from `*stamp` to now; stores now in `*stamp`.
f64 time_seconds(u64 *stamp);
/// As `time_seconds`, with the calling thread pinned to the process-wide timer affinity
/// mask (when it is not 0) while the counter is read; the thread's previous affinity is
/// restored afterwards.
f64 time_seconds_pinned(u64 *stamp);
/// Sets the process-wide timer affinity mask (bit n = CPU n; 0 = no pinning). Set once
/// at start-up from the settings, before threads read the timer.
void set_timer_affinity_mask(u64 mask);
u64 timer_affinity_mask();

} // namespace tallow
