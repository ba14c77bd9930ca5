#pragma once
// The read side of flat config values as the config fuzz targets exercise it.
#include "foundation/config/const_config_value.h"

namespace tallow::fuzz {

/// Reads `value` and, down to `max_depth` levels, its first `max_depth` members and elements,
/// the way readers do (text, number, key). A damaged blob may share records between many
/// parents, so every value visited spends one of `budget`; the walk stops at zero.
inline void walk_config(ConstConfigValue value, int max_depth, u32 &budget, int depth = 0)
{
    if (budget == 0)
        return;
    --budget;
    if (depth > max_depth)
        return;
    (void)value.to_string();
    (void)value.to_float();
    for (i32 i = 0; i < value.count() && i < max_depth; ++i) {
        const char *key = nullptr;
        walk_config(value.member_at(i, &key), max_depth, budget, depth + 1);
        walk_config(value.element(i), max_depth, budget, depth + 1);
    }
}

} // namespace tallow::fuzz
