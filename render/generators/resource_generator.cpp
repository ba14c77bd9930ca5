#include "render/generators/resource_generator.h"

#include "foundation/log.h"
#include "foundation/strings/name_id.h"
#include "render/commands/layer_config.h"
#include "render/commands/render_context.h"
#include "render/device/render_device.h"
#include "render/generators/branch_modifier.h"
#include "render/generators/compute_kernel.h"
#include "render/generators/fullscreen_pass.h"
#include "render/generators/loop_modifier.h"
#include "render/generators/variable_override_map.h"

#include <algorithm>
#include <cstring>

namespace tallow {

namespace {

// A generator's static branch tests only what it states: a "platform" string, a
// "render_settings" object and a "render_caps" object; a failed platform skips the rest.
bool static_branch_passes_for_generators(ConstConfigValue branch, const RenderBranchValues &values)
{
    ConstConfigValue platform = branch.member("platform");
    if (platform.kind() == ConstConfigKind::String &&
        strcmp(platform.to_string(), values.platform ? values.platform : "") != 0)
        return false;
    ConstConfigValue settings = branch.member("render_settings");
    if (settings.kind() == ConstConfigKind::Object && !config_matches(values.render_settings, settings))
        return false;
    ConstConfigValue caps = branch.member("render_caps");
    return caps.kind() != ConstConfigKind::Object || config_matches(values.render_caps, caps);
}

} // namespace

namespace resource_generator {

namespace {
const ModifierClass classes[] = {
    {"fullscreen_pass", ModifierType::FullscreenPass, &FullscreenPass::create},
    {"dynamic_branch", ModifierType::DynamicBranch, &BranchModifier::create},
    {"loop", ModifierType::Loop, &LoopModifier::create},
    {"compute_kernel", ModifierType::ComputeKernel, &ComputeKernel::create},
};
} // namespace

const ModifierClass *modifier_classes(u32 *out_count)
{
    *out_count = u32(sizeof classes / sizeof classes[0]);
    return classes;
}

} // namespace resource_generator

const char *to_string(ModifierType type)
{
    switch (type) {
    case ModifierType::DynamicBranch: return "dynamic_branch";
    case ModifierType::FullscreenPass: return "fullscreen_pass";
    case ModifierType::DeferredShading: return "deferred_shading";
    case ModifierType::CascadedShadowMapping: return "cascaded_shadow_mapping";
    case ModifierType::MeshRenderer: return "mesh_renderer";
    case ModifierType::Reserved: return "reserved";
    case ModifierType::Loop: return "loop";
    case ModifierType::ComputeKernel: return "compute_kernel";
    case ModifierType::NVStereoParams: return "nv_stereo_params";
    case ModifierType::TiledDeferredShading: return "tiled_deferred_shading";
    }
    return "unknown";
}

// --- ResourceGenerator -----------------------------------------------------------------------

ResourceGenerator::ResourceGenerator(Allocator &allocator) : _allocator(allocator), _modifiers(allocator) {}

ResourceGenerator::~ResourceGenerator() { destroy_modifiers(_modifiers, nullptr); }

bool ResourceGenerator::create_modifiers(ConstConfigValue generator_config, const GeneratorLoadParams &params)
{
    ConstConfigValue list = generator_config.member("modifiers");
    if (list.kind() != ConstConfigKind::Array) {
        log_message("render", "resource generator without a \"modifiers\" array; it draws nothing");
        return false;
    }
    return create_modifier_list(_modifiers, list, params, 0);
}

bool ResourceGenerator::create_modifier_list(Array<ModifierBase *> &list, ConstConfigValue array,
                                             const GeneratorLoadParams &params, u32 depth)
{
    if (array.is_nil())
        return true;
    if (array.kind() != ConstConfigKind::Array) {
        log_message("render", "resource generator: a modifier list is not an array; nothing built from it");
        return false;
    }
    bool ok = true;
    for (i32 i = 0; i < array.count(); ++i)
        ok = create_modifier(list, array.element(i), params, depth) && ok;
    return ok;
}

bool ResourceGenerator::create_modifier(Array<ModifierBase *> &list, ConstConfigValue config,
                                        const GeneratorLoadParams &params, u32 depth)
{
    if (depth >= max_static_branch_depth) {
        log_message("render", "resource generator: modifiers nest deeper than %u; the inner ones are refused",
                    max_static_branch_depth);
        return false;
    }
    ConstConfigValue type = config.member("type");
    if (type.kind() != ConstConfigKind::String) {
        log_message("render", "resource generator: a modifier has no \"type\" string; refused");
        return false;
    }
    const char *name = type.to_string();
    if (strcmp(name, "static_branch") == 0) {
        const bool passed = static_branch_passes_for_generators(config, params.values);
        return create_modifier_list(list, config.member(passed ? "pass_modifiers" : "fail_modifiers"), params,
                                    depth + 1);
    }
    u32 count = 0;
    const resource_generator::ModifierClass *classes = resource_generator::modifier_classes(&count);
    for (u32 i = 0; i < count; ++i) {
        if (strcmp(classes[i].type_name, name) != 0)
            continue;
        ModifierLoadParams load;
        load.generator = this;
        load.config = config;
        load.load = &params;
        load.depth = depth;
        ModifierBase *modifier = classes[i].create(load);
        if (!modifier)
            return false; // logged by the class
        if (!list.push_back(modifier)) {
            log_message("render", "resource generator: out of memory adding a \"%s\" modifier", name);
            destroy_modifier(modifier, params.resources);
            return false;
        }
        return true;
    }
    log_message("render", "resource generator: modifier type \"%s\" is not built; refused", name);
    return false;
}

void ResourceGenerator::destroy_modifier(ModifierBase *modifier, RenderResourceContext *context)
{
    if (!modifier)
        return;
    modifier->release(*this, context);
    delete_with_allocator(_allocator, modifier);
}

void ResourceGenerator::destroy_modifiers(Array<ModifierBase *> &list, RenderResourceContext *context)
{
    for (ModifierBase *modifier : list)
        destroy_modifier(modifier, context);
    list.clear();
}

void ResourceGenerator::execute(u64 layer_key, const GeneratorFrame &frame)
{
    if (!frame.device || !frame.contexts)
        return;
    RenderContext *context = frame.device->alloc_render_context();
    if (!context) {
        log_message("render", "resource generator: no render context to run into; skipped this frame");
        return;
    }
    context->bind_layer_config(frame.layer_config, frame.resources);
    if (!frame.contexts->push_back(context)) {
        frame.device->release_render_context(context);
        return;
    }
    u32 counter = 1;
    for (ModifierBase *modifier : _modifiers) {
        execute_modifier(*modifier, *context, layer_key, counter, frame);
        ++counter;
    }
}

void ResourceGenerator::execute_modifier(ModifierBase &modifier, RenderContext &context, u64 layer_key, u32 &counter,
                                         const GeneratorFrame &frame)
{
    ModifierExecution run;
    run.generator = this;
    run.context = &context;
    run.layer_key = layer_key;
    run.counter = &counter;
    run.frame = &frame;
    // The counter is checked here, quietly, so a long run reports once, not every frame.
    if (counter > sort_key::max_generator_counter || !make_generator_key(layer_key, counter, &run.key)) {
        if (!_reported_overflow) {
            log_message("render",
                        "resource generator runs more than %u steps in one layer; the steps past it are skipped "
                        "(fewer modifiers or loop iterations)",
                        sort_key::max_generator_counter);
            _reported_overflow = true;
        }
        if (!modifier.holds_children())
            return;
        run.key = layer_key;
    }
    modifier.execute(run);
}

void ResourceGenerator::run_children(const Array<ModifierBase *> &children, const ModifierExecution &run)
{
    for (ModifierBase *child : children) {
        execute_modifier(*child, *run.context, run.layer_key, *run.counter, *run.frame);
        ++*run.counter;
    }
}

// --- ResourceGenerators ----------------------------------------------------------------------

ResourceGenerators::ResourceGenerators(Allocator &parent)
    : _allocator("ResourceGenerator", parent), _generators(_allocator), _reported_missing(_allocator)
{
}

ResourceGenerators::~ResourceGenerators() { clear(nullptr); }

bool ResourceGenerators::load(ConstConfigValue section, const GeneratorLoadParams &params)
{
    clear(params.resources);
    if (section.is_nil())
        return true;
    if (section.kind() != ConstConfigKind::Object) {
        log_message("render", "render configuration: \"resource_generators\" is not an object; no generators");
        return false;
    }
    bool ok = true;
    for (i32 i = 0; i < section.count(); ++i) {
        const char *name = nullptr;
        ConstConfigValue value = section.member_at(i, &name);
        if (!name)
            continue;
        ResourceGenerator *generator = make_new<ResourceGenerator>(_allocator, _allocator);
        if (!generator) {
            log_message("render", "resource generator \"%s\": out of memory", name);
            ok = false;
            continue;
        }
        if (!generator->create_modifiers(value, params)) {
            log_message("render", "resource generator \"%s\": parts refused (see above)", name);
            ok = false;
        }
        if (!_generators.push_back(Entry{NameId32(name).value(), generator})) {
            generator->destroy_all(params.resources);
            delete_with_allocator(_allocator, generator);
            ok = false;
        }
    }
    std::stable_sort(_generators.begin(), _generators.end(),
                     [](const Entry &a, const Entry &b) { return a.name < b.name; });
    return ok;
}

void ResourceGenerators::clear(RenderResourceContext *context)
{
    for (Entry &entry : _generators) {
        entry.generator->destroy_all(context);
        delete_with_allocator(_allocator, entry.generator);
    }
    _generators.clear();
    _reported_missing.clear();
}

ResourceGenerator *ResourceGenerators::find(u32 name) const
{
    u32 low = 0, high = _generators.size();
    while (low < high) {
        const u32 middle = low + (high - low) / 2;
        if (_generators[middle].name < name)
            low = middle + 1;
        else if (name < _generators[middle].name)
            high = middle;
        else
            return _generators[middle].generator;
    }
    return nullptr;
}

void ResourceGenerators::execute_for_layers(const LayerConfig &config, const GeneratorFrame &frame)
{
    // Overrides point into the shading environment of the frame that bound them.
    if (frame.overrides)
        frame.overrides->clear();
    for (const Layer &layer : config.layers) {
        if (layer.resource_generator == 0)
            continue;
        ResourceGenerator *generator = find(layer.resource_generator);
        if (!generator) {
            if (std::find(_reported_missing.begin(), _reported_missing.end(), layer.resource_generator) ==
                _reported_missing.end()) {
                log_message("render", "layer 0x%08x names resource generator 0x%08x, which the render configuration "
                                      "does not have; nothing runs for it",
                            layer.name, layer.resource_generator);
                (void)_reported_missing.push_back(layer.resource_generator);
            }
            continue;
        }
        generator->execute(layer.key, frame);
    }
}

} // namespace tallow
