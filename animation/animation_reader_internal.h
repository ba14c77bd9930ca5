#pragma once
// The bounded reader the animation resource loaders share: every count is checked against the
// bytes left before anything is allocated for it, numbers must be finite, and the first
// reason a read failed is kept in `why` for the log line. Internal to animation/.

#include "foundation/containers/array.h"
#include "foundation/strings/dynamic_string.h"
#include "foundation/types.h"
#include "resource/byte_reader.h"

#include <cmath>
#include <cstring>

namespace tallow {

class AnimationReader {
  public:
    AnimationReader(const u8 *bytes, u64 size) : in(bytes, size) {}

    bool fail(const char *reason)
    {
        if (!why)
            why = reason;
        return false;
    }
    bool u32_(u32 &v) { return in.read_u32(v) || fail("cut short"); }
    bool u64_(u64 &v) { return in.read_u64(v) || fail("cut short"); }
    bool f32_(f32 &v)
    {
        u32 bits = 0;
        if (!u32_(bits))
            return false;
        memcpy(&v, &bits, 4);
        return std::isfinite(v) || fail("a number that is not finite");
    }
    /// A count of elements of at least `element_bytes` each that the bytes left can hold.
    bool count(u32 &n, u64 element_bytes)
    {
        return u32_(n) && (in.has(u64(n) * element_bytes) || fail("a count beyond the bytes left"));
    }
    template <typename T, typename F> bool list(Array<T> &out, u64 element_bytes, F read_one)
    {
        u32 n = 0;
        if (!count(n, element_bytes))
            return false;
        out.resize(n);
        if (out.size() != n)
            return fail("out of memory");
        for (u32 i = 0; i < n; ++i)
            if (!read_one(out[i]))
                return false;
        return true;
    }

    bool string(DynamicString &out)
    {
        u32 n = 0;
        if (!count(n, 1))
            return false;
        out.assign_range(reinterpret_cast<const char *>(in.current()), n);
        return in.skip(n);
    }
    bool floats(Array<f32> &out, u32 per_key)
    {
        u32 keys = 0;
        if (!count(keys, 4 * per_key))
            return false;
        out.resize(keys * per_key);
        if (out.size() != keys * per_key)
            return fail("out of memory");
        for (f32 &v : out) {
            u32 bits = 0;
            (void)in.read_u32(bits);
            memcpy(&v, &bits, 4);
            if (!std::isfinite(v))
                return fail("a number that is not finite");
        }
        return true;
    }
    bool finish() { return in.left() == 0 || fail("bytes left over after the last field"); }

    ByteReader in;
    const char *why = nullptr;
};

} // namespace tallow
