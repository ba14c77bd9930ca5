#include "render/config/layer_config_set.h"

#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "foundation/strings/name_id.h"

#include <algorithm>
#include <cstring>

namespace tallow {

namespace {

u32 name_of(ConstConfigValue v)
{
    return v.kind() == ConstConfigKind::String ? NameId32(v.to_string()).value() : 0;
}

SortMode sort_mode_of(ConstConfigValue v, const char *layer)
{
    if (v.is_nil())
        return SortMode::Nothing;
    const char *text = v.to_string();
    if (strcmp(text, "FRONT_BACK") == 0)
        return SortMode::FrontBack;
    if (strcmp(text, "BACK_FRONT") == 0)
        return SortMode::BackFront;
    if (strcmp(text, "NOTHING") != 0)
        log_message("render", "layer '%s': unknown sort \"%s\"; NOTHING used", layer, text);
    return SortMode::Nothing;
}

} // namespace

LayerConfigSet::LayerConfigSet(Allocator &parent) : _allocator("LayerConfigSet", parent), _configs(_allocator) {}

LayerConfigSet::~LayerConfigSet() { clear(); }

void LayerConfigSet::clear()
{
    for (LayerConfig *c : _configs)
        delete_with_allocator(_allocator, c);
    _configs.clear();
}

LayerConfig *LayerConfigSet::append_config(u32 name)
{
    if (_configs.size() >= max_layer_configs) {
        log_message("render", "layer config %08x refused: at most %u layer configs (shader passes keep sort bits for %u)",
                    name, max_layer_configs, max_layer_configs);
        return nullptr;
    }
    for (LayerConfig *c : _configs) {
        if (c->name == name) {
            log_message("render", "layer config %08x refused: the name is taken", name);
            return nullptr;
        }
    }
    LayerConfig *config = make_new<LayerConfig>(_allocator, _allocator);
    if (!config)
        return nullptr;
    config->name = name;
    if (!_configs.push_back(config)) {
        delete_with_allocator(_allocator, config);
        return nullptr;
    }
    return config;
}

void LayerConfigSet::sort_and_number()
{
    std::sort(_configs.begin(), _configs.end(), [](const LayerConfig *a, const LayerConfig *b) { return a->name < b->name; });
    for (u32 i = 0; i < _configs.size(); ++i)
        _configs[i]->index = i;
}

bool LayerConfigSet::load(ConstConfigValue section, const RenderBranchValues &values)
{
    clear();
    bool ok = true;
    const i32 n = section.count();
    if (section.kind() != ConstConfigKind::Object && !section.is_nil()) {
        log_message("render", "\"layer_configs\" is not an object; no layer configs");
        return false;
    }
    for (i32 i = 0; i < n; ++i) {
        const char *key = "";
        ConstConfigValue items = section.member_at(i, &key);
        LayerConfig *config = append_config(NameId32(key).value());
        if (!config) {
            ok = false;
            continue;
        }
        ok = parse_items(*config, items, values, 0) && ok;
    }
    sort_and_number();
    return ok;
}

bool LayerConfigSet::parse_items(LayerConfig &config, ConstConfigValue items, const RenderBranchValues &values, u32 depth)
{
    if (depth >= max_static_branch_depth) {
        log_message("render", "layer config %08x: static branches nested deeper than %u refused", config.name,
                    max_static_branch_depth);
        return false;
    }
    if (items.is_nil())
        return true;
    if (items.kind() != ConstConfigKind::Array) {
        log_message("render", "layer config %08x: layer items must be an array", config.name);
        return false;
    }
    bool ok = true;
    const i32 n = items.count();
    for (i32 i = 0; i < n; ++i) {
        ConstConfigValue item = items.element(i);
        if (strcmp(item.member("type").to_string(), "static_branch") == 0) {
            const bool pass = static_branch_passes(item, values);
            ok = parse_items(config, item.member(pass ? "pass" : "fail"), values, depth + 1) && ok;
            continue;
        }
        ok = parse_layer(config, item) && ok;
    }
    return ok;
}

bool LayerConfigSet::parse_layer(LayerConfig &config, ConstConfigValue item)
{
    const char *name = item.member("name").to_string();
    Layer layer;
    if (!make_layer_key(config.layers.size(), &layer.key)) {
        log_message("render", "layer '%s' of config %08x refused: a config holds at most 255 layers", name, config.name);
        return false;
    }
    bool ok = true;
    layer.name = name_of(item.member("name"));
    layer.sort_mode = sort_mode_of(item.member("sort"), name);
    ConstConfigValue targets = item.member("render_targets");
    const i32 target_count = targets.count();
    for (i32 t = 0; t < target_count; ++t) {
        if (u32(t) >= max_render_target_slots) {
            log_message("render", "layer '%s': render targets past the eighth refused", name);
            ok = false;
            break;
        }
        layer.render_targets[t] = name_of(targets.element(t));
    }
    layer.depth_stencil = name_of(item.member("depth_stencil_target"));
    layer.resource_generator = name_of(item.member("resource_generator"));
    ConstConfigValue resolve = item.member("max_resolve_count");
    layer.max_resolve_count = resolve.kind() == ConstConfigKind::Integer ? resolve.to_integer() : -1;
    if (!config.layers.push_back(layer))
        return false;
    return ok;
}

bool LayerConfigSet::add_layer(u32 config_name, const Layer &layer)
{
    LayerConfig *config = append_config(config_name);
    if (!config)
        return false;
    Layer first = layer;
    (void)make_layer_key(0, &first.key);
    config->layers.push_back(first);
    sort_and_number();
    return true;
}

const LayerConfig *LayerConfigSet::find(u32 name) const
{
    for (const LayerConfig *c : _configs)
        if (c->name == name)
            return c;
    return nullptr;
}

bool load_texture_channels(Array<u32> &out_channels, ConstConfigValue section)
{
    out_channels.clear();
    bool ok = true;
    const i32 n = section.count();
    for (i32 i = 0; i < n; ++i) {
        ConstConfigValue v = section.element(i);
        if (v.kind() != ConstConfigKind::String) {
            log_message("render", "texture channel %d is not a name; skipped", i);
            ok = false;
            continue;
        }
        out_channels.push_back(NameId32(v.to_string()).value());
    }
    return ok;
}

} // namespace tallow
