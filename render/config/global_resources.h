#pragma once
// The render targets and textures a render configuration keeps for its whole life
// ("global_resources"), read into a RenderResourceSet.
//
//   RenderResourceSet globals(allocator);
//   load_global_resources(globals, config.member("global_resources"), nullptr, branch_values, &lookup);
//   globals.create_all(*resource_context);    // templates get one instance per window
//
// Items (every key optional; strings compared exactly):
//   { type = "render_target" name = "hdr" format = "HDR_ACCUMULATION" width = 1280 height = 720
//     width_align = 64 height_align = 64 size_from_render_setting = "screen_resolution"
//     mip_levels = 1 image_type = "image_2d" hint_needs_clearing = true }
//   { type = "render_target" name = "half" depends_on = "hdr" w_scale = 0.5 h_scale = 0.5 }
//   { type = "texture" name = "noise" resource = "textures/noise" }    // a loaded "texture"
//   { type = "texture" name = "lut" format = "R8G8B8A8" width = 16 height = 16 }
//   { type = "static_branch" platform = "win" render_settings = {...} render_caps = {...}
//     pass = [ ...items ] fail = [ ...items ] }
// Sizes absent stay `no_size` (0xFFFFFFFF, "sized by the device"), and alignments never
// round that value. An alignment of 0 counts as 1. A dependent target takes w_scale and
// h_scale (default 1.0) of its source's size, and its width_align and height_align; its
// format "UNKNOWN" (the default) means the source's.
//
// Refused items (logged; the rest are read): a negative size, alignment or mip count, a
// size_from_render_setting pair with a negative or missing number (the item keeps its own
// size), a "depends_on" that names no render target of this set or the parent set, an
// unknown format name, a "texture" whose resource is not loaded, a name used twice, an
// unknown "type", static branches nested deeper than 16.
//
// Built while the render thread is idle.

#include "foundation/config/const_config_value.h"
#include "foundation/strings/name_id.h"
#include "render/config/render_branch.h"

namespace tallow {

class RenderResourceSet;
class ResourceManager;

/// How the configuration fetches loaded resources ("texture" items with "resource").
struct ResourceLookup {
    void *context = nullptr;
    void *(*get)(void *context, NameId64 type, NameId64 name) = nullptr;
    /// Optional: a holder's reference on the loaded object (ResourceManager::acquire) and
    /// its release. A lookup without them holds nothing: its objects outlive their users.
    void *(*acquire)(void *context, NameId64 type, NameId64 name) = nullptr;
    void (*release)(void *context, NameId64 type, NameId64 name, const void *data) = nullptr;

    /// The loaded object, or null (also when no lookup is set).
    void *find(NameId64 type, NameId64 name) const { return get ? get(context, type, name) : nullptr; }
    /// Holds the loaded object and returns it; without `acquire`, the same as find.
    void *hold(NameId64 type, NameId64 name) const { return acquire ? acquire(context, type, name) : find(type, name); }
    /// Lets go of what `hold` returned.
    void let_go(NameId64 type, NameId64 name, const void *data) const
    {
        if (release && data)
            release(context, type, name, data);
    }
};

/// A lookup over the resource manager's loaded data.
ResourceLookup resource_lookup(ResourceManager &manager);

/// Format codes by name: "R8G8B8A8" 0, "R32F" 1, "DEPTH_STENCIL" 3, "R32G32B32A32F" 9,
/// "SHADOW_MAP" 10, "HDR_ACCUMULATION" 11, "BUFFER_32F" 12, "R16F" 13, "UNKNOWN" 15.
/// False for any other name.
bool texture_format_from_name(const char *name, u32 *out_format);

/// Reads every item of `section` (an array) into `set`. Dependent targets look their source
/// up in `set`, then in `parent` (may be null). A "texture" with "resource" is fetched
/// through `resources` (may be null: such items are refused) as a Texture record owned by
/// its resource. False when anything was refused.
bool load_global_resources(RenderResourceSet &set, ConstConfigValue section, const RenderResourceSet *parent,
                           const RenderBranchValues &values, const ResourceLookup *resources);

} // namespace tallow
