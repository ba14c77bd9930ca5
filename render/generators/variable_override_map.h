#pragma once
// A view's shader-variable overrides: for a variable id (NameId32) the address of the value
// that stands in for it, typically an element of a shading-environment array that a loop
// modifier binds for its current iteration.
//
//   VariableOverrideMap overrides(allocator);
//   overrides.set(NameId32("slice_depth").value(), values + 8);   // the loop's element
//   const void *value = overrides.find(NameId32("slice_depth").value()); // null: not bound
//   overrides.clear();   // every frame, before the generators run
//
// Addresses point into the frame's shading environment, so they hold only for the frame
// that bound them: ResourceGenerators::execute_for_layers clears the map when a view's run
// begins, and nothing reads an address left from an earlier frame. Render thread only.

#include "foundation/containers/sort_map.h"

namespace tallow {

class VariableOverrideMap {
  public:
    explicit VariableOverrideMap(Allocator &allocator) : _values(allocator) {}

    /// Binds `id` to `value`; false when memory runs out (logged).
    bool set(u32 id, const void *value) { return _values.insert(id, value); }
    /// The address bound to `id`, or null.
    const void *find(u32 id) const;
    void remove(u32 id) { (void)_values.erase(id); }
    void clear() { _values.clear(); }
    u32 count() const { return _values.size(); }

  private:
    SortMap<u32, const void *> _values;
};

} // namespace tallow
