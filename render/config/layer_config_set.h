#pragma once
// The layer configurations of a render configuration ("layer_configs"): per configuration
// its ordered layers, each with the 64-bit key that puts its draws in order, the targets
// it draws into and the generator that runs for it; and the texture channel names
// ("texture_channels").
//
//   LayerConfigSet layers(allocator);
//   layers.load(render_config.member("layer_configs"), branch_values);
//   const LayerConfig *main = layers.find(NameId32("main").value());   // null when absent
//   context.bind_layer_config(main, &resources);
//
// Source of one configuration, an array of items (every key optional):
//   { name = "opaque" sort = "FRONT_BACK" render_targets = ["gbuffer0" "gbuffer1"]
//     depth_stencil_target = "depth" resource_generator = "lighting" max_resolve_count = 2 }
//   { type = "static_branch" render_caps = { deferred = true } pass = [ ...items ] fail = [ ... ] }
// A layer's key is (n + 1) << 55, n its position in its configuration after the branches
// are resolved. "sort" is "FRONT_BACK", "BACK_FRONT" or "NOTHING" (absent or unknown:
// NOTHING, the last logged).
//
// What is refused, each logged and the rest kept: a fifth configuration (shader passes keep
// sort bits for four), a layer past the 255th of a configuration (its key would reach the
// sign bit), render target names past the eighth. Configurations are kept sorted by name id
// and numbered 0, 1, ... in that order after every change.
//
// Built while the render thread is idle, read by it afterwards.

#include "foundation/config/const_config_value.h"
#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "render/commands/layer_config.h"
#include "render/config/render_branch.h"

namespace tallow {

class LayerConfigSet {
  public:
    explicit LayerConfigSet(Allocator &parent);
    ~LayerConfigSet();
    LayerConfigSet(const LayerConfigSet &) = delete;
    LayerConfigSet &operator=(const LayerConfigSet &) = delete;

    /// Empties the set, then reads every member of the "layer_configs" object `section`
    /// (its key the configuration's name). False when anything was refused (logged); what
    /// was accepted stays.
    bool load(ConstConfigValue section, const RenderBranchValues &values);
    /// Adds a configuration holding only `layer` (its key set for position 0). False (logged)
    /// when a configuration of that name exists or four exist already.
    bool add_layer(u32 config_name, const Layer &layer);
    /// Removes every configuration.
    void clear();

    /// The configuration named `name` (NameId32), or null.
    const LayerConfig *find(u32 name) const;
    u32 count() const { return _configs.size(); }
    /// Configuration `index` (its `index` field equals it).
    const LayerConfig &config(u32 index) const { return *_configs[index]; }

  private:
    LayerConfig *append_config(u32 name);
    void sort_and_number();
    bool parse_items(LayerConfig &config, ConstConfigValue items, const RenderBranchValues &values, u32 depth);
    bool parse_layer(LayerConfig &config, ConstConfigValue item);

    TraceAllocator _allocator;
    Array<LayerConfig *> _configs;
};

/// Reads "texture_channels" (an array of names) into their NameId32 values, replacing the
/// array's contents. Items that are not strings are skipped (logged); false then.
bool load_texture_channels(Array<u32> &out_channels, ConstConfigValue section);

} // namespace tallow
