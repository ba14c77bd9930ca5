#pragma once
// The "strings" resource: localised texts found by string id.
//
// Compiled layout (little-endian): u32 count, then count records {u32 key, u32 offset}
// sorted by key (the NameId32 of the string id, each key once), then the texts; a
// record's offset leads from the start of the resource to its NUL-terminated UTF-8 text.
//
//   manager.register_type(strings_type, strings_resource_callbacks());  // by register_resource_types
//   auto *strings = static_cast<const StringsResource *>(manager.get(strings_type, name));
//   const char *text = strings ? strings_lookup(*strings, NameId32("menu_start")) : nullptr;
//
// The bytes are untrusted: the load callback checks the count, the order of the keys and
// that every offset leads to a text ended inside the resource; a resource that fails a
// check does not load (logged). Lookups read only what the load checked; reentrant.

#include "resource/resource_manager.h"

namespace tallow {

constexpr NameId64 strings_type("strings");
/// A loaded "strings" resource: this header, then the resource's bytes.
struct StringsResource {
    u32 count; // records
    u32 reserved;
    u64 size; // bytes that follow
    const u8 *bytes() const { return reinterpret_cast<const u8 *>(this + 1); }
};
static_assert(sizeof(StringsResource) == 16);

/// True when `size` bytes at `data` hold a well-formed "strings" resource. When not,
/// `out_reason` names the first fault.
bool validate_strings_resource(const u8 *data, u64 size, const char **out_reason);
/// The text of `key`, or null when the resource does not hold it. Binary search.
const char *strings_lookup(const StringsResource &strings, NameId32 key);

/// The callbacks of "strings" (the data is a StringsResource in one block; no unload
/// callback: the manager gives the block back to its allocator).
ResourceTypeCallbacks strings_resource_callbacks();

} // namespace tallow
