#pragma once
// What render contexts read of a layer configuration: its index among the configurations
// (which chooses the pass sort bits), and per layer its key, render targets, depth-stencil
// target and resolve count. The render configuration loader fills it.
//
//   LayerConfig config(allocator);
//   config.index = 0;
//   Layer &layer = ...; make_layer_key(0, &layer.key);
//   context.bind_layer_config(&config, &resource_set);
//
// Plain data; not thread-safe.

#include "foundation/containers/array.h"
#include "render/commands/render_records.h"
#include "render/commands/sort_key.h"

namespace tallow {

/// At most four layer configurations exist; shader passes keep sort bits for each.
constexpr u32 max_layer_configs = 4;

struct Layer {
    u32 name = 0;                                   // NameId32
    SortMode sort_mode = SortMode::Nothing;
    u64 key = 0;                                    // (layer number + 1) << 55
    u32 render_targets[max_render_target_slots] = {}; // NameId32 per slot; 0 ends the list
    u32 depth_stencil = 0;                          // NameId32, 0 for none
    u32 resource_generator = 0;                     // NameId32, 0 for none
    i32 max_resolve_count = -1;
};

struct LayerConfig {
    explicit LayerConfig(Allocator &allocator) : layers(allocator) {}
    u32 name = 0;  // NameId32
    u32 index = 0; // 0 to max_layer_configs - 1
    Array<Layer> layers;
};

} // namespace tallow
