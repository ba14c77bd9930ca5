#pragma once
// Fixed-width little-endian fields in memory, decoded and encoded byte by byte (any
// alignment, any host byte order). File and wire formats read and write through these.
//
//   u32 count = load_u32_le(header);
//   store_u32_le(out, count);
//
// The caller has checked that the bytes are there (see ByteReader for a bounded cursor).

#include "foundation/types.h"

namespace tallow {

inline u32 load_u32_le(const u8 *p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }
inline u64 load_u64_le(const u8 *p) { return u64(load_u32_le(p)) | u64(load_u32_le(p + 4)) << 32; }

inline void store_u32_le(u8 *p, u32 v)
{
    p[0] = u8(v);
    p[1] = u8(v >> 8);
    p[2] = u8(v >> 16);
    p[3] = u8(v >> 24);
}
inline void store_u64_le(u8 *p, u64 v)
{
    store_u32_le(p, u32(v));
    store_u32_le(p + 4, u32(v >> 32));
}

} // namespace tallow
