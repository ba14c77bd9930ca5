#include "render/generators/variable_override_map.h"

namespace tallow {

const void *VariableOverrideMap::find(u32 id) const
{
    const u32 i = _values.find_index(id);
    return i == _values.size() ? nullptr : _values.value(i);
}

} // namespace tallow
