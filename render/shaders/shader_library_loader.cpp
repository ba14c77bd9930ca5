#include "render/shaders/shader_library_loader.h"

#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "render/config/layer_config_set.h"
#include "render/shaders/shader_manager.h"

#include <cstring>

namespace tallow {

namespace {
constexpr NameId64 shader_library_type("shader_library");
constexpr NameId64 shader_library_group_type("shader_library_group");
} // namespace

void resolve_passes(ShaderLibrary &library, const LayerConfigSet *layers)
{
    for (const ShaderRecord &shader : library.shaders) {
        for (u32 p = 0; p < shader.passes.count; ++p) {
            ShaderPassRecord &pass = library.passes[shader.passes.first + p];
            const u64 number = shader.high_pass ? u64(p + 1) << sort_key::high_pass_shift : u64(p + 1);
            for (u32 c = 0; c < max_layer_configs; ++c) {
                pass.keys.sort_bits[c] = 0;
                pass.keys.sort_mode[c] = SortMode::Nothing;
            }
            const u32 config_count = layers ? layers->count() : 0;
            for (u32 c = 0; c < config_count && c < max_layer_configs; ++c) {
                const LayerConfig &config = layers->config(c);
                if (pass.layer == 0) {
                    pass.keys.sort_bits[c] = number;
                    continue;
                }
                for (const Layer &layer : config.layers) {
                    if (layer.name == pass.layer) {
                        pass.keys.sort_bits[c] = number | layer.key;
                        pass.keys.sort_mode[c] = layer.sort_mode;
                        break;
                    }
                }
            }
        }
    }
}

ShaderLibraryLoader::ShaderLibraryLoader(Allocator &parent, const ResourceLookup &resources, ShaderManager &shaders)
    : _allocator("ShaderLibraryLoader", parent), _resources(resources), _shaders(shaders), _groups(_allocator)
{
}

ShaderLibraryLoader::~ShaderLibraryLoader()
{
    for (Group *g : _groups)
        delete_with_allocator(_allocator, g);
}

u32 ShaderLibraryLoader::lower_bound(const char *name) const
{
    u32 lo = 0, hi = _groups.size();
    while (lo < hi) {
        const u32 mid = (lo + hi) / 2;
        if (strcmp(_groups[mid]->name.c_str(), name) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

bool ShaderLibraryLoader::has_group(const char *name) const
{
    const u32 at = lower_bound(name);
    return at < _groups.size() && strcmp(_groups[at]->name.c_str(), name) == 0;
}

bool ShaderLibraryLoader::load_group(const char *name, const LayerConfigSet *layers)
{
    const auto *group = static_cast<const ShaderLibraryGroup *>(_resources.find(shader_library_group_type, NameId64(name)));
    if (!group) {
        log_message("render", "shader library group '%s' is not loaded", name);
        return false;
    }
    bool ok = true;
    for (u64 id : group->libraries) {
        auto *library = static_cast<ShaderLibrary *>(_resources.find(shader_library_type, NameId64::from_value(id)));
        if (!library) {
            log_message("render", "shader library %016llx of group '%s' is not loaded", (unsigned long long)id, name);
            ok = false;
            continue;
        }
        resolve_passes(*library, layers);
        ok = _shaders.add_shader_library(*library) && ok;
        _shaders.update_templates(*library);
    }
    const u32 at = lower_bound(name);
    if (at < _groups.size() && strcmp(_groups[at]->name.c_str(), name) == 0) {
        _groups[at]->group = group;
        return ok;
    }
    Group *entry = make_new<Group>(_allocator, Group{DynamicString(name, _allocator), group});
    if (!entry || !_groups.insert(at, entry)) {
        if (entry)
            delete_with_allocator(_allocator, entry);
        return false;
    }
    return ok;
}

bool ShaderLibraryLoader::unload_group(const char *name)
{
    const u32 at = lower_bound(name);
    if (at >= _groups.size() || strcmp(_groups[at]->name.c_str(), name) != 0) {
        log_message("render", "shader library group '%s' is not in; nothing unloaded", name);
        return false;
    }
    for (u64 id : _groups[at]->group->libraries) {
        auto *library = static_cast<ShaderLibrary *>(_resources.find(shader_library_type, NameId64::from_value(id)));
        if (!library)
            continue;
        _shaders.remove_templates(*library);
        _shaders.remove_shader_library(*library);
    }
    delete_with_allocator(_allocator, _groups[at]);
    _groups.erase(at);
    return true;
}

} // namespace tallow
