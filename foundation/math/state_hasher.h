#pragma once
// A running 64-bit hash of simulation state, for checking that two runs reached the same
// state (the same world stepped on one worker and on many, or twice over). Each subsystem
// adds its state in a fixed order of its own; the hash tells only equal or not.
//
//   StateHasher h;
//   h.add(u32(units.size()));
//   for (const Unit *u : units) h.add(u->scene_graph().world_pose(0));
//   if (h.value() != other_run) ...
//
// Floats are hashed by their bits, except that -0 counts as 0 and every NaN as one NaN:
// what compares equal, or is equally not a number, hashes the same. Plain FNV-1a over bytes;
// no thread safety (one hasher per thread).

#include "foundation/math/matrix4x4.h"
#include "foundation/math/quaternion.h"
#include "foundation/math/vector3.h"
#include "foundation/types.h"

#include <cmath>
#include <cstring>

namespace tallow {

class StateHasher {
  public:
    void add_bytes(const void *data, u64 size)
    {
        const u8 *p = static_cast<const u8 *>(data);
        for (u64 i = 0; i < size; ++i)
            _hash = (_hash ^ p[i]) * 0x100000001B3ull;
    }
    void add(u32 v) { add_bytes(&v, sizeof v); }
    void add(u64 v) { add_bytes(&v, sizeof v); }
    void add(f32 v)
    {
        if (v == 0.0f)
            v = 0.0f;
        else if (std::isnan(v))
            v = NAN;
        u32 bits;
        memcpy(&bits, &v, sizeof bits);
        add(bits);
    }
    void add(const f32 *v, u64 count)
    {
        for (u64 i = 0; i < count; ++i)
            add(v[i]);
    }
    void add(const Vector3 &v) { add(&v.x, 3); }
    void add(const Quaternion &q) { add(&q.x, 4); }
    void add(const Matrix4x4 &m) { add(&m.m[0][0], 16); }

    u64 value() const { return _hash; }

  private:
    u64 _hash = 0xCBF29CE484222325ull;
};

} // namespace tallow
