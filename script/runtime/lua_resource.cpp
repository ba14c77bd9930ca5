#include "script/runtime/lua_resource.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"

#include <cstring>

namespace tallow {

namespace {

void *load_lua_resource(const ResourceLoadParams &params)
{
    u64 size = params.size_bytes;
    u32 length = 0;
    if (size < 4 || !params.archive.read(length) || u64(length) > size - 4) {
        log_message("Lua", "\"lua\" resource %016llx: bad length %u for %llu bytes",
                    hex(params.name), length, (unsigned long long)size);
        return nullptr;
    }
    auto *resource = static_cast<LuaScriptResource *>(
        params.allocator.allocate(sizeof(LuaScriptResource) + 4 + u64(length), alignof(LuaScriptResource)));
    if (!resource)
        return nullptr;
    resource->size = 4 + u64(length);
    std::memcpy(resource->bytes, &length, 4);
    if (!params.archive.read(resource->bytes + 4, length)) {
        params.allocator.deallocate(resource);
        return nullptr;
    }
    return resource;
}

} // namespace

ResourceTypeCallbacks lua_resource_type_callbacks()
{
    ResourceTypeCallbacks callbacks;
    callbacks.load = load_lua_resource;
    return callbacks;
}

bool ResourceScriptSource::find_script(const char *name, const u8 *&out_data, u64 &out_size)
{
    auto *resource = static_cast<const LuaScriptResource *>(_manager.get(lua_script_type, NameId64(name)));
    if (!resource)
        return false;
    out_data = resource->bytes;
    out_size = resource->size;
    return true;
}

} // namespace tallow
