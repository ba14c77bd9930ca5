#include "resource/resource_hold.h"

#include "resource/resource_manager.h"

namespace tallow {

bool ResourceHold::hold(ResourceManager &manager, NameId64 type_id, NameId64 name_id)
{
    const void *fresh = type_id.is_empty() ? nullptr : manager.acquire(type_id, name_id);
    release(manager);
    if (fresh) {
        type = type_id;
        name = name_id;
        data = fresh;
    }
    return fresh != nullptr;
}

bool ResourceHold::hold_data(ResourceManager &manager, NameId64 type_id, NameId64 name_id, const void *expected)
{
    if (!expected || manager.get(type_id, name_id) != expected) {
        release(manager);
        return false;
    }
    return hold(manager, type_id, name_id);
}

void ResourceHold::release(ResourceManager &manager)
{
    if (data)
        manager.release(type, name, data);
    *this = ResourceHold{};
}

} // namespace tallow
