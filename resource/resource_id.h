#pragma once
// The key of a resource: its type id and name id, both NameId64 of the names
// ("unit", "levels/intro"). Stored in files as two little-endian u64, type first.

#include "foundation/strings/name_id.h"

namespace tallow {

struct ResourceId {
    NameId64 type;
    NameId64 name;

    bool operator==(const ResourceId &other) const { return type == other.type && name == other.name; }
};

} // namespace tallow
