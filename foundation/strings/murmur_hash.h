#pragma once
// The two hash functions every name id and string key is made from: MurmurHash2
// (32-bit) and MurmurHash64A (64-bit), exactly as published. The data tools compute
// the same ids, so no other variant may be used here.
//
//   u64 id = murmur_hash_64("unit", 4, 0);   // 0xE0A48D0BE9A7453F
//
// Both are pure functions of their bytes, safe from any thread, and usable in
// constant expressions through the `const char *` overloads.

#include "foundation/types.h"

#include <bit>
#include <type_traits>
#include <cstring>

namespace tallow {

static_assert(std::endian::native == std::endian::little, "hash blocks are read as little-endian words");

namespace murmur_detail {
constexpr u64 load_u64(const char *p)
{
    if (std::is_constant_evaluated()) {
        u64 v = 0;
        for (int i = 0; i < 8; ++i)
            v |= u64(u8(p[i])) << (8 * i);
        return v;
    }
    u64 v;
    memcpy(&v, p, sizeof v);
    return v;
}
constexpr u32 load_u32(const char *p)
{
    if (std::is_constant_evaluated())
        return u32(u8(p[0])) | u32(u8(p[1])) << 8 | u32(u8(p[2])) << 16 | u32(u8(p[3])) << 24;
    u32 v;
    memcpy(&v, p, sizeof v);
    return v;
}
} // namespace murmur_detail

/// MurmurHash2: m = 0x5BD1E995, r = 24, h = seed ^ length, little-endian 4-byte blocks.
constexpr u32 murmur_hash_32(const char *key, u32 length, u32 seed)
{
    constexpr u32 m = 0x5BD1E995u;
    constexpr int r = 24;
    u32 h = seed ^ length;
    const char *p = key;
    u32 n = length;
    while (n >= 4) {
        u32 k = murmur_detail::load_u32(p);
        k *= m;
        k ^= k >> r;
        k *= m;
        h *= m;
        h ^= k;
        p += 4;
        n -= 4;
    }
    switch (n) {
    case 3: h ^= u32(u8(p[2])) << 16; [[fallthrough]];
    case 2: h ^= u32(u8(p[1])) << 8; [[fallthrough]];
    case 1:
        h ^= u32(u8(p[0]));
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

/// MurmurHash64A: m = 0xC6A4A7935BD1E995, r = 47, h = seed ^ (length * m),
/// little-endian 8-byte blocks. Ids use seed 0; the empty input hashes to 0.
constexpr u64 murmur_hash_64(const char *key, u32 length, u64 seed)
{
    constexpr u64 m = 0xC6A4A7935BD1E995ull;
    constexpr int r = 47;
    u64 h = seed ^ (u64(length) * m);
    const char *p = key;
    const char *blocks_end = key + (length & ~7u);
    while (p != blocks_end) {
        u64 k = murmur_detail::load_u64(p);
        k *= m;
        k ^= k >> r;
        k *= m;
        h ^= k;
        h *= m;
        p += 8;
    }
    switch (length & 7) {
    case 7: h ^= u64(u8(p[6])) << 48; [[fallthrough]];
    case 6: h ^= u64(u8(p[5])) << 40; [[fallthrough]];
    case 5: h ^= u64(u8(p[4])) << 32; [[fallthrough]];
    case 4: h ^= u64(u8(p[3])) << 24; [[fallthrough]];
    case 3: h ^= u64(u8(p[2])) << 16; [[fallthrough]];
    case 2: h ^= u64(u8(p[1])) << 8; [[fallthrough]];
    case 1:
        h ^= u64(u8(p[0]));
        h *= m;
    }
    h ^= h >> r;
    h *= m;
    h ^= h >> r;
    return h;
}

inline u32 murmur_hash_32(const void *key, u32 length, u32 seed)
{
    return murmur_hash_32(static_cast<const char *>(key), length, seed);
}
inline u64 murmur_hash_64(const void *key, u32 length, u64 seed)
{
    return murmur_hash_64(static_cast<const char *>(key), length, seed);
}

} // namespace tallow
