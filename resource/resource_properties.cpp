#include "resource/resource_properties.h"

namespace tallow {

void PropertyChoice::set_active(const u64 *property_ids, u32 property_count, const u64 *preference,
                                u32 preference_count)
{
    _active.clear();
    _available = 0;
    if (property_count > max_resource_properties)
        property_count = max_resource_properties;
    // Walked from the least preferred end so that the active list's position i carries
    // weight 2^i.
    for (u32 p = preference_count; p-- > 0;) {
        for (u32 k = 0; k < property_count; ++k) {
            if (property_ids[k] != 0 && property_ids[k] == preference[p]) {
                u32 bit = 1u << k;
                if (_available & bit)
                    _active.remove_value(bit); // listed twice: its most preferred place counts
                _available |= bit;
                _active.push_back(bit);
                break;
            }
        }
    }
}

i64 PropertyChoice::score(u32 mask) const
{
    if (mask & ~_available)
        return variant_unqualified;
    // i64: with 32 active properties the sum reaches 2^32 - 1, which an i32 cannot hold.
    i64 total = 0;
    for (u32 i = 0; i < _active.size(); ++i)
        if (mask & _active[i])
            total += i64(1) << i;
    return total;
}

u32 PropertyChoice::choose(const u32 *masks, u32 count) const
{
    u32 best = variant_none;
    i64 best_score = variant_unqualified;
    for (u32 i = 0; i < count; ++i) {
        i64 s = score(masks[i]);
        if (s > best_score) {
            best = i;
            best_score = s;
        }
    }
    return best;
}

void hex64(u64 value, char *out)
{
    static const char digits[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i) {
        out[i] = digits[value & 0xF];
        value >>= 4;
    }
    out[16] = 0;
}

} // namespace tallow
