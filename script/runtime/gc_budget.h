#pragma once
// The per-frame garbage-collection budget of a Lua state.
//
// The collector's own automatic work is stopped; once per frame (before the script's
// `update`) the game gives it a time budget of ratio x 1/60 s, where ratio grows with how far
// the heap has grown beyond the smallest recent estimate of live memory:
//
//   ratio = max(recent heap KB) / min(recent live estimate KB) - 1.1
//   ratio > 1.0   -> one full collection, then 1/60 s of stepping
//   ratio < 0.025 -> 0.025 (at least 1/2400 s of stepping)
//
// At least one step is made per call and at most 5000. The live estimate is the heap size
// measured right after the last completed collection cycle (LuaJIT offers no query for the
// collector's own estimate); before the first cycle it is the current heap size.
// `LuaEnvironment::collect_garbage` runs the budget; main thread, game environment only.

#include "foundation/types.h"

namespace tallow {

/// Heap statistics of the current and the previous period (a period ends at every full
/// collection and every completed cycle). Sizes in KB.
struct GcStatistics {
    i32 max_count = 0;               // largest heap size seen in this period
    i32 prev_max = 0;                // max_count of the previous period
    i32 min_estimate = 2147483647;   // smallest live-size estimate seen in this period
    i32 prev_min = 2147483647;       // min_estimate of the previous period
    i32 live_estimate = -1;          // heap size after the last completed cycle; -1 = none yet
    u32 full_collections = 0;        // full collections forced by the budget so far
    u32 completed_cycles = 0;        // cycles completed by budget steps so far

    /// Ends a period.
    void reset()
    {
        prev_max = max_count;
        max_count = 0;
        prev_min = min_estimate;
        min_estimate = 2147483647;
    }
};

constexpr f32 gc_growth_allowance = 1.1f;
constexpr f32 gc_ratio_ceiling = 1.0f;
constexpr f32 gc_ratio_floor = 0.025f;
constexpr f32 gc_frame_seconds = 0.016666668f;
constexpr u32 gc_max_steps = 5000;

struct GcDecision {
    bool full_collection = false;
    f32 ratio = 0.0f; // budget = ratio x gc_frame_seconds
};

/// Folds one frame's heap count and live estimate (KB) into the statistics and decides
/// the frame's work. Resets the statistics when a full collection is due.
GcDecision gc_budget_decide(GcStatistics &statistics, i32 count_kb, i32 estimate_kb);

} // namespace tallow
