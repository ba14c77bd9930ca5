#pragma once
// Writer of "strings" resources (layout in resource/strings_resource.h), shared by the
// data build tool and the tests.
//
//   const StringsEntry entries[] = {{"menu_start", "Start"}, {"menu_quit", "Quit"}};
//   Array<u8> bytes(allocator);
//   build_strings_resource(entries, 2, bytes);

#include "foundation/containers/array.h"
#include "foundation/types.h"

namespace tallow {

/// One localised text: the string id (hashed to its NameId32) and the UTF-8 text.
struct StringsEntry {
    const char *id;
    const char *text;
};

/// Appends the resource's bytes to `out`, records sorted by key. False (logged, nothing
/// appended) when two ids share a key.
bool build_strings_resource(const StringsEntry *entries, u32 count, Array<u8> &out);

} // namespace tallow
