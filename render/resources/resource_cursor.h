#pragma once
// The bounded reader of a compiled render resource's bytes (shader libraries, materials):
// every read checks what is left, and a failed read logs once ("<kind> refused at byte N of
// M: why") and makes every later read fail, so one check after a record is enough.

#include "foundation/log.h"
#include "foundation/types.h"

#include <cstring>

namespace tallow {

struct ResourceCursor {
    /// `kind` names the resource in the log line; `bytes` may be null only with size 0.
    ResourceCursor(const u8 *bytes, u64 size_bytes, const char *kind)
        : p(bytes), left(bytes ? size_bytes : 0), size(bytes ? size_bytes : 0), kind(kind)
    {
    }

    bool fail(const char *what)
    {
        if (!failed)
            log_message("render", "%s refused at byte %llu of %llu: %s", kind, (unsigned long long)(size - left),
                        (unsigned long long)size, what);
        failed = true;
        left = 0;
        return false;
    }
    /// Copies `n` bytes out; on failure `out` is zeroed.
    bool read(void *out, u64 n)
    {
        if (failed || left < n) {
            memset(out, 0, n);
            return fail("truncated");
        }
        memcpy(out, p, n); // the engine runs little-endian only
        p += n;
        left -= n;
        return true;
    }
    bool u8v(u8 &out) { return read(&out, 1); }
    bool u32v(u32 &out) { return read(&out, 4); }
    bool u64v(u64 &out) { return read(&out, 8); }
    /// A table count whose items take at least `item_bytes` each.
    bool count(u32 &out, u64 item_bytes, const char *what)
    {
        if (!u32v(out))
            return false;
        if (u64(out) * item_bytes > left)
            return fail(what);
        return true;
    }
    /// Points `out` at the next `n` bytes, in place.
    bool bytes(u32 n, const u8 *&out)
    {
        out = nullptr;
        if (failed || left < n)
            return fail("truncated");
        out = p;
        p += n;
        left -= n;
        return true;
    }

    const u8 *p;
    u64 left;
    u64 size;
    const char *kind;
    bool failed = false;
};

} // namespace tallow
