#include "render/commands/sort_key.h"

#include "foundation/log.h"

namespace tallow {

bool make_layer_key(u32 layer_number, u64 *out_key)
{
    if (layer_number >= sort_key::max_layers) {
        log_message("render", "layer %u does not fit the sort key (at most %u layers per layer config)", layer_number,
                    sort_key::max_layers);
        return false;
    }
    *out_key = u64(layer_number + 1) << sort_key::layer_shift;
    return true;
}

bool make_pass_bits(u64 layer_key, u32 pass_index, bool high_pass, u64 *out_bits)
{
    const u64 field = high_pass ? sort_key::high_pass_mask : sort_key::pass_mask;
    if (pass_index >= sort_key::max_passes || (layer_key & field) != 0) {
        log_message("render", "shader pass %u does not fit the sort key (at most %u passes)", pass_index,
                    sort_key::max_passes);
        return false;
    }
    const u32 shift = high_pass ? sort_key::high_pass_shift : sort_key::pass_shift;
    *out_bits = layer_key | (u64(pass_index + 1) << shift);
    return true;
}

bool make_generator_key(u64 base, u32 counter, u64 *out_key)
{
    const u64 taken = sort_key::generator_counter_mask | sort_key::generator_sub_counter_mask;
    if (counter > sort_key::max_generator_counter || (base & taken) != 0) {
        log_message("render", "modifier counter %u does not fit the sort key (at most %u steps per generator run)",
                    counter, sort_key::max_generator_counter);
        return false;
    }
    *out_key = base | (u64(counter) << sort_key::generator_counter_shift);
    return true;
}

bool make_generator_sub_key(u64 step_key, u32 sub_counter, u64 *out_key)
{
    if (sub_counter > sort_key::max_generator_sub_counter || (step_key & sort_key::generator_sub_counter_mask) != 0) {
        log_message("render", "sub-counter %u of a generator step does not fit the sort key (at most %u)", sub_counter,
                    sort_key::max_generator_sub_counter);
        return false;
    }
    *out_key = step_key | (u64(sub_counter) << sort_key::generator_sub_counter_shift);
    return true;
}

bool make_segment_key(u64 key, u64 *out_key)
{
    if ((key & (sort_key::pass_mask | sort_key::high_pass_mask)) != 0) {
        log_message("render", "segment key 0x%016llx has pass bits; a draw inside the segment would run twice",
                    (unsigned long long)key);
        return false;
    }
    *out_key = key;
    return true;
}

u32 sort_depth_bits(f32 depth, SortMode mode)
{
    if (mode == SortMode::Nothing)
        return 0;
    // Truncation toward zero keeping the low 32 bits; a float-to-u32 cast of an out-of-range
    // value is undefined, so go through i64 (saturating beyond its range, NaN as 0).
    const f64 scaled = f64(depth) * 65536.0;
    i64 whole = 0;
    if (scaled >= 9.2e18)
        whole = INT64_MAX;
    else if (scaled <= -9.2e18)
        whole = INT64_MIN;
    else if (scaled == scaled)
        whole = i64(scaled);
    u32 d = u32(u64(whole) & 0xFFFFFFFFu);
    if (mode == SortMode::BackFront)
        d = ~d;
    return d;
}

i64 draw_sort_key(u64 pass_bits, SortMode mode, f32 depth, u64 caller_bits)
{
    u64 key = pass_bits;
    if (mode != SortMode::Nothing && (caller_bits & sort_key::depth_mask) == 0)
        key |= u64(sort_depth_bits(depth, mode)) << sort_key::depth_shift;
    return i64(key | caller_bits);
}

} // namespace tallow
