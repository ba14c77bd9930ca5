#pragma once
// Brings shader library groups in: fetches each "shader_library" of a
// "shader_library_group", resolves the passes of its shaders against the layer
// configurations into sort bits, and hands the library and its templates to the
// ShaderManager.
//
//   ShaderLibraryLoader loader(allocator, resource_lookup(resource_manager), shader_manager);
//   loader.load_group("core", &layer_configs);   // the render configuration names its groups
//   ...
//   loader.unload_group("core");                 // before the resources are unloaded
//
// Pass resolution, per shader pass p (0-based) and layer configuration c:
//   number = p + 1, shifted to bits 52 to 54 when the shader has the high-pass flag;
//   layer name 0: bits[c] = number, mode[c] = NOTHING;
//   layer found in c: bits[c] = number | the layer's key, mode[c] = the layer's sort mode;
//   not found: bits[c] = 0 and mode[c] = NOTHING, so the pass does not draw in c.
// Configurations past the fourth never reach a pass (LayerConfigSet refuses them).
//
// Main thread, while the render thread is idle (render configuration load and unload).

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/strings/dynamic_string.h"
#include "render/config/global_resources.h"
#include "render/shaders/shader_library.h"

namespace tallow {

class LayerConfigSet;
class ShaderManager;

/// Sets every pass's sort bits and modes of `library` for the configurations of `layers`
/// (null: none, every pass then has bits 0 and mode NOTHING everywhere).
void resolve_passes(ShaderLibrary &library, const LayerConfigSet *layers);

class ShaderLibraryLoader {
  public:
    ShaderLibraryLoader(Allocator &parent, const ResourceLookup &resources, ShaderManager &shaders);
    ~ShaderLibraryLoader();
    ShaderLibraryLoader(const ShaderLibraryLoader &) = delete;
    ShaderLibraryLoader &operator=(const ShaderLibraryLoader &) = delete;

    /// Brings the group `name` in. A group or library that is not loaded is skipped with a
    /// log line (false). Bringing a group in again re-resolves and re-adds its libraries
    /// and keeps one table entry.
    bool load_group(const char *name, const LayerConfigSet *layers);
    /// Takes the group's libraries and templates out of the ShaderManager and forgets the
    /// group. False (logged, nothing changed) for a group that is not in.
    bool unload_group(const char *name);

    u32 group_count() const { return _groups.size(); }
    bool has_group(const char *name) const;

  private:
    struct Group {
        DynamicString name;
        const ShaderLibraryGroup *group;
    };
    u32 lower_bound(const char *name) const;

    TraceAllocator _allocator;
    ResourceLookup _resources;
    ShaderManager &_shaders;
    Array<Group *> _groups; // sorted by name, byte-wise
};

} // namespace tallow
