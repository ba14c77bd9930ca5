#pragma once
// The 64-bit sort key every filed command carries, and the one place its fields are
// composed. Keys sort as signed 64-bit integers, ascending.
//
//   u64 layer = 0;
//   if (!make_layer_key(2, &layer)) ...                 // (2 + 1) << 55
//   u64 pass = 0;
//   make_pass_bits(layer, 0, false, &pass);             // pass number 1 in bits 0 to 2
//   i64 key = draw_sort_key(pass, SortMode::BackFront, depth, 0);
//   u64 segment = 0;
//   make_segment_key(layer, &segment);                 // refused with pass bits
//   u64 step = 0;
//   make_generator_key(layer, 3, &step);                // a generator's third step
//
// Layout:
//   bits  0 to  2  pass number (position in the shader + 1; at most 7 passes)
//   bits  3 to 34  depth (a draw whose pass sorts by depth)
//   bits 36 to 45  a generator step's own sub-counter (one per light of a lighting step)
//   bits 46 to 51  the render pipeline generators' modifier counter
//   bits 52 to 54  pass number of shaders with the high-pass flag (instead of bits 0 to 2)
//   bits 55 to 63  layer number + 1 within its layer config (at most 255: bit 63 stays clear)
//
// Decision on where the generators' counter sits: in the high word, as (counter << 14) |
// the layer's high word, so a generator's steps sort after the layer's own set-up segment
// (counter 0) and before the next layer, and never mix with depth bits. Between the depth
// (bit 34) and the high pass field (bit 52) that leaves 6 bits for the counter (steps 1 to
// 63 of one generator run) and 10 bits below it for a step's sub-counter.
//
// A draw whose caller bits touch the depth field is filed without its depth, as if its
// pass sorted NOTHING, so an OR with a depth never corrupts the caller's bits.
//
// Composers refuse a field that does not fit its width (false, with a log line), so no
// field overflows into its neighbour.

#include "foundation/types.h"

namespace tallow {

/// How a pass orders its draws within a layer.
enum class SortMode : u32 {
    FrontBack = 0, // near first
    BackFront = 1, // far first
    Nothing = 2,   // no depth in the key
};

namespace sort_key {
constexpr u32 pass_shift = 0;
constexpr u32 pass_width = 3;
constexpr u32 depth_shift = 3;
constexpr u32 depth_width = 32;
constexpr u32 generator_sub_counter_shift = 36;
constexpr u32 generator_sub_counter_width = 10;
constexpr u32 generator_counter_shift = 46; // bit 14 of the high word
constexpr u32 generator_counter_width = 6;
constexpr u32 high_pass_shift = 52;
constexpr u32 layer_shift = 55;
constexpr u32 layer_width = 9;

constexpr u64 pass_mask = 0x7ull << pass_shift;
constexpr u64 depth_mask = 0xFFFFFFFFull << depth_shift;
constexpr u64 generator_sub_counter_mask = ((1ull << generator_sub_counter_width) - 1) << generator_sub_counter_shift;
constexpr u64 generator_counter_mask = ((1ull << generator_counter_width) - 1) << generator_counter_shift;
constexpr u64 high_pass_mask = 0x7ull << high_pass_shift;
constexpr u64 layer_mask = 0x1FFull << layer_shift;

constexpr u32 max_passes = 7;
constexpr u32 max_layers = 255; // layer number + 1 <= 255 keeps the sign bit clear
constexpr u32 max_generator_counter = (1u << generator_counter_width) - 1;
constexpr u32 max_generator_sub_counter = (1u << generator_sub_counter_width) - 1;
} // namespace sort_key

/// (layer_number + 1) << 55; false when the layer number is 255 or more.
[[nodiscard]] bool make_layer_key(u32 layer_number, u64 *out_key);

/// The pass bits of a shader pass under a layer key: the pass number (index + 1) in bits
/// 0 to 2, or 52 to 54 with `high_pass`. False when the pass index is 7 or more or the
/// layer key already has bits in the pass field.
[[nodiscard]] bool make_pass_bits(u64 layer_key, u32 pass_index, bool high_pass, u64 *out_bits);

/// The generators' key: `base` (a layer key) with the modifier counter in bits 46 to 51
/// (the high word's bits 14 to 19). False (logged) when the counter does not fit 6 bits or
/// `base` has bits in the counter or sub-counter field.
[[nodiscard]] bool make_generator_key(u64 base, u32 counter, u64 *out_key);

/// A generator step's sub-key: `step_key` (from make_generator_key) with `sub_counter` in
/// bits 36 to 45, so one step can order its own runs (one per light) inside its place.
/// False (logged) when the sub-counter does not fit 10 bits or the field is taken.
[[nodiscard]] bool make_generator_sub_key(u64 step_key, u32 sub_counter, u64 *out_key);

/// The key of a segment (RenderContext::begin_segment): `key` as it is. False (logged) when
/// it has bits in either pass field (0 to 2, 52 to 54). A draw written while a segment is
/// open is executed with the segment's commands under the segment's key too, and the
/// device draws a batch only under a key with a pass number; so a segment key carries
/// none, and such a draw runs once, under its own entries.
[[nodiscard]] bool make_segment_key(u64 key, u64 *out_key);

/// The 32 depth bits of a draw: depth x 65536 truncated toward zero, low 32 bits kept;
/// complemented for BackFront; 0 for Nothing.
u32 sort_depth_bits(f32 depth, SortMode mode);

/// The key of one pass of a draw: pass bits | depth bits << 3 (unless the mode is Nothing
/// or the caller bits touch the depth field) | caller bits.
i64 draw_sort_key(u64 pass_bits, SortMode mode, f32 depth, u64 caller_bits);

/// The pass number a device reads back from a key (1 to 7; 0 for a segment key).
inline u32 sort_key_pass(i64 key, bool high_pass)
{
    return u32((u64(key) >> (high_pass ? sort_key::high_pass_shift : sort_key::pass_shift)) & 0x7u);
}

} // namespace tallow
