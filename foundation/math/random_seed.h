#pragma once
// Seeds for random number generators, different for every process and call.

#include "foundation/types.h"

namespace tallow {

/// MurmurHash64A of the "PATH" environment text (empty when unset) xor that of a
/// 256-byte block holding the wall-clock time, process id, thread id and performance
/// counter (the rest zero). Reentrant.
u64 random_seed64();
/// `random_seed64` folded by `fold_seed`.
u32 random_seed();
/// A 64-bit seed folded to 32 bits: high 32 bits xor low 32 bits.
constexpr u32 fold_seed(u64 seed) { return u32(seed >> 32) ^ u32(seed); }

} // namespace tallow
