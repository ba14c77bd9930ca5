#pragma once
// Close pairs among points: sorted along one axis and swept with a window of twice the
// distance, a pair is two points whose coordinates differ by strictly less than 2 x radius on
// all three axes.
//
//   Array<PairSearchPoint> points(temp);          // position and the caller's index
//   Array<PairSearchPair> pairs(temp);
//   find_intersecting_units(points, 1.0f, 0, pairs);
//
// Points with a coordinate that is not finite are left out (the sweep's end marker could not
// stop before them). Any thread; no shared state.

#include "foundation/containers/array.h"
#include "foundation/types.h"

namespace tallow {

struct PairSearchPoint {
    f32 position[3];
    u32 index;
};

struct PairSearchPair {
    u32 first; // the index of the point earlier along the sweep axis
    u32 second;
};

/// Appends the pairs to `out`, in sweep order. `axis` 0, 1 or 2 (others count as 0).
/// False when temporary memory runs out (`out` then holds the pairs found so far).
bool find_intersecting_units(const Array<PairSearchPoint> &points, f32 radius, u32 axis, Array<PairSearchPair> &out);

} // namespace tallow
