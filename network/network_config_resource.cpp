#include "network/network_config_resource.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "resource/resource_manager.h"

#include <new>

namespace tallow::network {

namespace {

struct LoadedConfig {
    NetworkGameConfig config;
    u32 size;
    // The bytes follow, 16-byte aligned.
};
constexpr u64 bytes_offset = (sizeof(LoadedConfig) + 15) & ~u64(15);

void *load_config(const ResourceLoadParams &params)
{
    if (params.size_bytes > 0x7FFFFFFF) {
        log_message("network", "network_game_config %016llx: %llu bytes is too large", hex(params.name),
                    static_cast<unsigned long long>(params.size_bytes));
        return nullptr;
    }
    void *block = params.allocator.allocate(bytes_offset + params.size_bytes, 16);
    if (!block)
        return nullptr;
    LoadedConfig *loaded = new (block) LoadedConfig();
    u8 *bytes = static_cast<u8 *>(block) + bytes_offset;
    loaded->size = u32(params.size_bytes);
    if (!params.archive.read(bytes, params.size_bytes) || !loaded->config.open(bytes, loaded->size)) {
        log_message("network", "network_game_config %016llx did not load", hex(params.name));
        params.allocator.deallocate(block);
        return nullptr;
    }
    return loaded;
}

} // namespace

void register_network_resource_types(ResourceManager &manager)
{
    ResourceTypeCallbacks callbacks;
    callbacks.load = load_config;
    manager.register_type(network_game_config_type, callbacks);
}

const NetworkGameConfig *find_network_config(ResourceManager &manager, NameId64 name)
{
    const auto *loaded = static_cast<const LoadedConfig *>(manager.get(network_game_config_type, name));
    return loaded ? &loaded->config : nullptr;
}

} // namespace tallow::network
