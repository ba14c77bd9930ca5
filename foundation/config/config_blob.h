#pragma once
// The flat config blob: a `ConfigValue` tree frozen into one contiguous, 4-aligned block
// that `ConstConfigValue` reads (the record layout is in const_config_value.h).
//
//   u32 size = 0;
//   void *blob = flatten_config(*settings, allocator, &size);
//   ConstConfigValue root = ConstConfigValue::root(blob, size);
//   ...
//   allocator.deallocate(blob);
//
// References inside a blob stay byte offsets from its start, in memory as on disk, so a
// blob loaded from a compiled resource is used as it is (no relocation pass). Check such
// a blob with `validate_const_config` before trusting it.

#include "foundation/memory/allocator.h"
#include "foundation/config/config_value.h"

namespace tallow {

/// Builds the blob of `value` in one block of exactly `*out_size` bytes from `allocator`
/// (alignment 4); the caller frees it. Kinds map as nil, bool, integer, float and string
/// unchanged, array to flat array, object to flat object, and byte data to nil. Equal
/// texts are stored once. An array holds one element kind, its first item's: integers in
/// an array whose items are all numbers with at least one float become floats, and any
/// other item of a different kind is stored as the empty value of the array's kind
/// (logged), so no element reads as another kind's bytes. Returns null (logged) when
/// memory runs out or the blob would pass 4 GiB.
void *flatten_config(const ConfigValue &value, Allocator &allocator, u32 *out_size);

/// True when every record and text reachable from the root lies inside the blob of
/// `size_bytes` bytes: kinds known, records 4-aligned and whole, texts zero-terminated,
/// and no more record visits than the blob has 4-byte words, so a cycle fails. A record
/// shared by two parents passes while within that bound (reads stay inside the blob
/// either way). Logs what is wrong and returns false otherwise.
bool validate_const_config(const void *blob, u64 size_bytes);

} // namespace tallow
