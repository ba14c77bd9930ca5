#pragma once
// A holder's reference on the data of one loaded resource (see resource_manager.h).
//
//   ResourceHold held;
//   if (held.hold(manager, NameId64("material"), name))   // main thread
//       read(static_cast<const MaterialResource *>(held.data));
//   ...
//   held.release(manager);                                 // when the holder lets go
//
// Main thread only, as the manager is.

#include "resource/resource_id.h"

namespace tallow {

class ResourceManager;

/// What a holder keeps of one resource it reads: the data it holds, and the ids it gives
/// back with. Copyable as a value; whoever copies it must see that one copy releases.
struct ResourceHold {
    NameId64 type;
    NameId64 name;
    const void *data = nullptr;

    /// Holds the current data of (type, name), then lets go of what this held before (so
    /// holding the same resource again never frees it in between). False (holding nothing)
    /// when there is no data to hold.
    bool hold(ResourceManager &manager, NameId64 type, NameId64 name);
    /// Holds `data` when it is the current data of (type, name); false (holding nothing)
    /// otherwise (data from somewhere else, or not loaded).
    bool hold_data(ResourceManager &manager, NameId64 type, NameId64 name, const void *data);
    /// Lets go of what this holds (nothing when it holds nothing).
    void release(ResourceManager &manager);
    bool is_held() const { return data != nullptr; }
};

} // namespace tallow
