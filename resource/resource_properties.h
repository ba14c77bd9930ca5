#pragma once
// Variant choice shared by bundles and the loose-file database.
//
//   PropertyChoice choice(allocator);
//   choice.set_active(source_property_ids, count, preference_order, preference_count);
//   u32 best = choice.choose(masks, variant_count);   // variant_none when none qualifies
//
// A source (bundle or database) names up to 32 properties; a variant's mask has bit k set
// when it was made for the property at index k. The game's preference order lists property
// ids, most preferred first. A variant qualifies when every bit of its mask names a
// property in the preference order; its score is the sum of 2^i over the active list
// (least preferred first, i = 0, 1, ...), so one more preferred property outweighs all
// less preferred ones together. Ties keep the earlier variant. Set and read by the thread
// that reads the source (the loader thread for the loose-file database).

#include "foundation/containers/array.h"
#include "foundation/types.h"

namespace tallow {

/// Returned by `PropertyChoice::choose` when no variant qualifies.
constexpr u32 variant_none = 0xFFFFFFFFu;
/// Score of a variant that does not qualify; every qualifying score is 0 or more.
constexpr i64 variant_unqualified = INT64_MIN;
/// Properties a source can name: masks are 32 bits wide.
constexpr u32 max_resource_properties = 32;

class PropertyChoice {
  public:
    explicit PropertyChoice(Allocator &allocator) : _active(allocator) {}

    /// Rebuilds the active list from the source's property ids (index = bit) and the
    /// preference order (most preferred first). Ids the source lacks are skipped; ids at
    /// index 32 or above cannot be named by a mask and are skipped too.
    void set_active(const u64 *property_ids, u32 property_count, const u64 *preference, u32 preference_count);

    /// Score of a variant mask: `variant_unqualified` or a value in [0, 2^32).
    i64 score(u32 mask) const;
    /// Index of the chosen mask among `count`, or `variant_none`.
    u32 choose(const u32 *masks, u32 count) const;

    u32 available_mask() const { return _available; }
    const Array<u32> &active() const { return _active; }

  private:
    Array<u32> _active; // property bits, least preferred first
    u32 _available = 0;
};

/// Writes `value` as 16 lowercase hexadecimal digits, most significant first, and a
/// terminating zero: `out` must hold 17 bytes. Bundle files are named this way.
void hex64(u64 value, char *out);

} // namespace tallow
