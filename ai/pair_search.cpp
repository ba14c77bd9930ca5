#include "ai/pair_search.h"

#include "foundation/memory/temp_allocator.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace tallow {

namespace {

struct Entry {
    f32 a, b, c; // the sweep axis, then the next two
    u32 index;
};

} // namespace

bool find_intersecting_units(const Array<PairSearchPoint> &points, f32 radius, u32 axis, Array<PairSearchPair> &out)
{
    if (axis > 2)
        axis = 0;
    TempAllocator temp;
    Array<Entry> entries(temp);
    entries.reserve(points.size() + 1);
    if (entries.capacity() < points.size() + 1)
        return false;
    for (const PairSearchPoint &p : points) {
        if (!std::isfinite(p.position[0]) || !std::isfinite(p.position[1]) || !std::isfinite(p.position[2]))
            continue;
        entries.push_back({p.position[axis], p.position[(axis + 1) % 3], p.position[(axis + 2) % 3], p.index});
    }
    const u32 count = entries.size();
    std::stable_sort(entries.begin(), entries.end(), [](const Entry &x, const Entry &y) { return x.a < y.a; });
    entries.push_back({FLT_MAX, 0, 0, 0}); // ends every sweep: all other entries are finite
    const f32 window = 2.0f * radius;
    for (u32 i = 0; i < count; ++i) {
        const Entry &e = entries[i];
        for (u32 j = i + 1; j < count && entries[j].a - e.a < window; ++j) {
            const f32 db = entries[j].b - e.b, dc = entries[j].c - e.c;
            if (-window < db && db < window && -window < dc && dc < window)
                if (!out.push_back({e.index, entries[j].index}))
                    return false;
        }
    }
    return true;
}

} // namespace tallow
