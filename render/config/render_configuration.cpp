#include "render/config/render_configuration.h"

#include "foundation/config/config_blob.h"
#include "foundation/io/input_archive.h"
#include "foundation/io/render_settings_store.h"
#include "foundation/log.h"
#include "render/device/render_device.h"
#include "render/interface/render_interface.h"
#include "render/shaders/shader_library.h"
#include "render/shaders/shader_library_loader.h"
#include "render/world/render_shading_environment.h"
#include "render/shaders/shader_manager.h"
#include "resource/resource_manager.h"

#include <cstdio>

namespace tallow {

namespace {

const NameId64 render_config_type("render_config");

// The value the Direct3D stand-in reports as its feature level (11_0).
constexpr i32 device_feature_level = 0xb000;

bool is_number(ConstConfigValue v) { return v.kind() == ConstConfigKind::Integer || v.kind() == ConstConfigKind::Float; }
bool is_number(const ConfigValue &v) { return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float; }

f32 number_of(ConstConfigValue v) { return v.kind() == ConstConfigKind::Float ? v.to_float() : f32(v.to_integer()); }

// Sets `table`'s variable `key` from `value`, keeping the variable's kind where a number
// meets a number; a variable the table lacks is logged and left out.
void set_variable(ConfigValue &table, const char *table_name, const char *key, ConstConfigValue value)
{
    ConfigValue *target = table.kind() == ConfigKind::Object ? table.find(key) : nullptr;
    if (!target) {
        log_message("render", "%s has no variable \"%s\"; the setting is ignored", table_name, key);
        return;
    }
    if (target->kind() == ConfigKind::Float && value.kind() == ConstConfigKind::Integer)
        target->set_float(f32(value.to_integer()));
    else
        target->assign_const(value);
}

void override_variables(ConfigValue &table, const char *table_name, ConstConfigValue overrides)
{
    if (overrides.kind() != ConstConfigKind::Object)
        return;
    for (i32 i = 0; i < overrides.count(); ++i) {
        const char *key = nullptr;
        ConstConfigValue value = overrides.member_at(i, &key);
        if (key)
            set_variable(table, table_name, key, value);
    }
}

u32 number_member(ConstConfigValue object, const char *key, u32 fallback)
{
    ConstConfigValue v = object.member(key);
    if (!is_number(v))
        return fallback;
    f32 f = number_of(v);
    return f > 0 ? u32(f) : 0;
}

void *load_render_config(const ResourceLoadParams &params)
{
    Array<u8> bytes(params.allocator);
    if (!params.archive.read_whole_bytes(bytes) || !validate_const_config(bytes.data(), bytes.size())) {
        log_message("render", "render configuration %016llx not loaded: not a valid config blob",
                    (unsigned long long)params.name.value());
        return nullptr;
    }
    // One block: the record, then the blob (4-aligned).
    const u64 head = (sizeof(RenderConfigResource) + 15) & ~u64(15);
    u8 *block = static_cast<u8 *>(params.allocator.allocate(head + bytes.size(), 16));
    if (!block)
        return nullptr;
    memcpy(block + head, bytes.data(), bytes.size());
    auto *resource = reinterpret_cast<RenderConfigResource *>(block);
    resource->blob = block + head;
    resource->size_bytes = bytes.size();
    return resource;
}

/// The configuration's name for messages: the settings' "render_config" text when it names
/// `name`, else the id in hex (written into `buffer`).
const char *config_name(ConstConfigValue settings, NameId64 name, char (&buffer)[20])
{
    ConstConfigValue text = settings.member("render_config");
    if (text.kind() == ConstConfigKind::String && NameId64(text.to_string()) == name)
        return text.to_string();
    snprintf(buffer, sizeof buffer, "%016llx", (unsigned long long)name.value());
    return buffer;
}

RenderResourceContext *acquire_context(void *render) { return static_cast<RenderInterface *>(render)->device().alloc_resource_context(); }
void submit_context(void *render, RenderResourceContext *context) { static_cast<RenderInterface *>(render)->flush_resources(context); }

} // namespace

ConstConfigValue renderer_settings_object(ConstConfigValue settings)
{
    ConstConfigValue renderer = settings.member("win32").member("renderer");
    return renderer.kind() == ConstConfigKind::Object ? renderer : ConstConfigValue();
}

void apply_renderer_settings(ConfigValue &record, ConstConfigValue renderer, const ConfigValue &render_settings)
{
    if (record.kind() != ConfigKind::Object)
        record.set_object();
    if (!record.has("aspect_ratio")) {
        ConstConfigValue v = renderer.member("aspect_ratio");
        record.member("aspect_ratio").set_float(is_number(v) ? number_of(v) : -1.0f);
    }
    if (!record.has("adapter_index"))
        record.member("adapter_index").set_integer(i32(number_member(renderer, "adapter_index", 0)));
    if (!record.has("fullscreen_output"))
        record.member("fullscreen_output").set_integer(i32(number_member(renderer, "fullscreen_output", 0)));
    if (!record.has("fullscreen")) {
        ConstConfigValue v = renderer.member("fullscreen");
        record.member("fullscreen").set_bool(v.kind() == ConstConfigKind::Bool && v.to_bool());
    }
    ConfigValue &resolution = record.member("screen_resolution");
    if (resolution.kind() != ConfigKind::Array) {
        ConstConfigValue v = renderer.member("screen_resolution");
        i32 width = 1280, height = 720;
        if (v.kind() == ConstConfigKind::Array && v.count() >= 1 && v.element(0).kind() == ConstConfigKind::Integer) {
            width = v.element(0).to_integer();
            if (v.count() >= 2 && v.element(1).kind() == ConstConfigKind::Integer)
                height = v.element(1).to_integer();
        }
        resolution.set_array();
        resolution.push_back().set_integer(width);
        resolution.push_back().set_integer(height);
    }
    ConfigValue &settings = record.member("render_settings");
    if (settings.kind() != ConfigKind::Object)
        settings.set_object();
    if (render_settings.kind() == ConfigKind::Object)
        for (auto &member : render_settings.members())
            if (!settings.has(member.key.c_str()))
                settings.member(member.key.c_str()).copy(member.value);
}

DisplaySettings read_display_settings(const ConfigValue &render_settings, ConstConfigValue renderer)
{
    DisplaySettings d;
    const ConfigValue *rs = render_settings.kind() == ConfigKind::Object ? &render_settings : nullptr;
    const ConfigValue *v = rs ? rs->find("fullscreen_output") : nullptr;
    if (v && is_number(*v))
        d.output = v->to_float() > 0 ? u32(v->to_float()) : 0;
    else
        d.output = number_member(renderer, "fullscreen_output", 0);
    v = rs ? rs->find("fullscreen") : nullptr;
    if (v && v->kind() == ConfigKind::Bool)
        d.fullscreen = v->to_bool();
    else
        d.fullscreen = renderer.member("fullscreen").kind() == ConstConfigKind::Bool && renderer.member("fullscreen").to_bool();
    v = rs ? rs->find("screen_resolution") : nullptr;
    if (v && v->kind() == ConfigKind::Array) {
        auto entry = [&](u32 i, u32 fallback) {
            return v->count() > i && is_number(v->items()[i]) && v->items()[i].to_float() > 0 ? u32(v->items()[i].to_float())
                                                                                           : fallback;
        };
        d.width = entry(0, 1280);
        d.height = entry(1, 720);
    } else {
        ConstConfigValue r = renderer.member("screen_resolution");
        if (r.kind() == ConstConfigKind::Array) {
            auto entry = [&](i32 i, u32 fallback) {
                return r.count() > i && r.element(i).kind() == ConstConfigKind::Integer && r.element(i).to_integer() > 0
                           ? u32(r.element(i).to_integer())
                           : fallback;
            };
            d.width = entry(0, 1280);
            d.height = entry(1, 720);
        }
    }
    return d;
}

RenderConfiguration::RenderConfiguration(Allocator &parent, RenderInterface &render, ResourceManager &resources)
    : _allocator("RenderConfiguration", parent), _render(render), _resources(resources),
      _lookup(resource_lookup(resources)), _shaders(make_new<ShaderManager>(_allocator, render.device(), _allocator)),
      _loader(_shaders ? make_new<ShaderLibraryLoader>(_allocator, _allocator, _lookup, *_shaders) : nullptr),
      _layers(_allocator), _viewports(_allocator), _texture_channels(_allocator), _groups(_allocator)
{
    _texture_hooks = {&render, acquire_context, submit_context};
    _material_context.texture_channels = &_texture_channels;
    _render.set_render_configuration(&_layers, &_viewports, _shaders, &_texture_channels);
}

RenderConfiguration::~RenderConfiguration()
{
    _render.set_render_configuration(nullptr, nullptr, nullptr, nullptr);
    unload();
    delete_with_allocator(_allocator, _loader);
    delete_with_allocator(_allocator, _shaders);
}

u32 RenderConfiguration::shader_group_count() const { return _loader ? _loader->group_count() : 0; }

void RenderConfiguration::release_loaded(RenderResourceContext *context)
{
    _render.resource_generators().clear(context);
    RenderResourceSet &globals = _render.global_resources();
    if (context) {
        globals.destroy_all(*context);
        for (u32 i = 0; i < _viewports.count(); ++i) {
            auto *t = const_cast<ViewportTemplate *>(_viewports.find(_viewports.name_at(i)));
            t->resources.destroy_all(*context);
        }
    }
    globals.release();
    _viewports.release();
    for (const DynamicString &group : _groups)
        if (_loader)
            _loader->unload_group(group.c_str());
    _groups.resize(0);
    _layers.clear();
}

bool RenderConfiguration::load(NameId64 name, ConstConfigValue settings, ConfigValue &record)
{
    if (!_shaders || !_loader)
        return false;
    // 1. The render thread stays idle from here on: it reads none of what changes below.
    _render.wait_until_idle();
    char id_text[20];
    const char *shown = config_name(settings, name, id_text);
    auto *resource = static_cast<const RenderConfigResource *>(_resources.get(render_config_type, name));
    if (!resource) {
        log_message("render", "render configuration \"%s\" is not loaded", shown);
        return false;
    }
    const ConstConfigValue root = ConstConfigValue::root(resource->blob, resource->size_bytes);
    const ConstConfigValue renderer = renderer_settings_object(settings);
    bool ok = true;

    // 2 and 3. "RenderSettings": the configuration's, then the settings file's and the
    // record's values for the variables it has (applied here while the renderer is idle).
    ConfigValue &render_settings = tallow::render_settings();
    set_render_settings_value(root.member("render_settings"));
    if (render_settings.kind() != ConfigKind::Object)
        render_settings.set_object();
    override_variables(render_settings, "RenderSettings", renderer.member("render_settings"));
    apply_renderer_settings(record, renderer, render_settings);
    if (const ConfigValue *own = record.find("render_settings"))
        for (auto &member : own->members())
            if (render_settings.has(member.key.c_str()))
                render_settings.member(member.key.c_str()).copy(member.value);

    // 4. "RenderCaps": the configuration's, the device's own values, the settings file's.
    ConfigValue &caps = tallow::render_caps();
    set_render_caps_value(root.member("win_caps"));
    if (caps.kind() != ConfigKind::Object)
        caps.set_object();
    if (!caps.has("feature_level"))
        caps.member("feature_level").set_integer(device_feature_level);
    caps.member("nv_stereo").set_bool(false);
    override_variables(caps, "RenderCaps", renderer.member("win_caps"));
    _shaders->set_render_caps(&caps);
    _shaders->set_render_settings(&render_settings);

    // 5. Texture channels.
    ok = load_texture_channels(_texture_channels, root.member("texture_channels")) && ok;

    // 6. What the previous load made goes into the first context; the new globals into the second.
    RenderResourceContext *old_resources = _render.device().alloc_resource_context();
    RenderResourceContext *new_resources = _render.device().alloc_resource_context();
    release_loaded(old_resources);
    RenderBranchValues values;
    values.render_settings = &render_settings;
    values.render_caps = &caps;
    RenderResourceSet &globals = _render.global_resources();
    ok = load_global_resources(globals, root.member("global_resources"), nullptr, values, &_lookup) && ok;
    if (new_resources)
        globals.create_all(*new_resources);

    // 7. Layers, shader library groups, generators.
    ok = _layers.load(root.member("layer_configs"), values) && ok;
    ConstConfigValue libraries = root.member("shader_libraries");
    for (i32 i = 0; i < libraries.count(); ++i) {
        ConstConfigValue library = libraries.element(i);
        if (library.kind() != ConstConfigKind::String) {
            log_message("render", "render configuration: a \"shader_libraries\" entry is not a name");
            ok = false;
            continue;
        }
        if (!_loader->load_group(library.to_string(), &_layers)) {
            ok = false;
            continue;
        }
        _groups.push_back(DynamicString(library.to_string(), _allocator));
    }
    GeneratorLoadParams generator_params;
    generator_params.shaders = _shaders;
    generator_params.resources = new_resources;
    generator_params.values = values;
    ok = _render.resource_generators().load(root.member("resource_generators"), generator_params) && ok;

    // 8. Viewport templates and the debug layer.
    ok = _viewports.load(root.member("viewports"), &globals, values, &_lookup) && ok;
    if (new_resources)
        for (u32 i = 0; i < _viewports.count(); ++i)
            const_cast<ViewportTemplate *>(_viewports.find(_viewports.name_at(i)))->resources.create_all(*new_resources);
    Layer debug;
    debug.name = NameId32("transparent").value();
    debug.sort_mode = SortMode(1);
    debug.render_targets[0] = NameId32("back_buffer").value();
    ok = _layers.add_layer(NameId32(debug_viewport_name).value(), debug) && ok;

    // 9. The render thread runs both contexts; each is waited for.
    if (old_resources)
        _render.flush_resources(old_resources);
    if (new_resources)
        _render.flush_resources(new_resources);

    _root_blob = resource->blob;
    _root_size = resource->size_bytes;
    _name = name;
    log_message("render",
                "render configuration \"%s\": %u texture channels, %u global resources, %u layer configurations, "
                "%u shader library groups, %u resource generators, %u viewport templates%s",
                shown, _texture_channels.size(), globals.entries().size(), _layers.count(),
                _loader->group_count(), _render.resource_generators().count(), _viewports.count(),
                ok ? "" : " (parts refused, see above)");
    return ok;
}

void RenderConfiguration::unload()
{
    if (!_root_blob)
        return;
    _render.wait_until_idle();
    RenderResourceContext *context = _render.device().alloc_resource_context();
    release_loaded(context);
    if (context)
        _render.flush_resources(context);
    _texture_channels.resize(0);
    _root_blob = nullptr;
    _root_size = 0;
    _name = NameId64();
}

bool RenderConfiguration::apply_display_settings(ConstConfigValue settings, ConfigValue &record, Window &window,
                                                 const DisplayCalls &calls)
{
    // 1. Reload the configuration the settings name.
    _render.wait_until_idle();
    ConstConfigValue name = settings.member("render_config");
    bool ok = name.kind() == ConstConfigKind::String && load(NameId64(name.to_string()), settings, record);
    _render.wait_until_idle();
    // 2. What to apply.
    const DisplaySettings d = read_display_settings(tallow::render_settings(), renderer_settings_object(settings));
    // 3. Full screen, or windowed centred on the output's desktop.
    if (d.fullscreen) {
        _render.resize_target(window, d.width, d.height);
        _render.set_fullscreen(window, true, d.output);
    } else {
        i32 area[4] = {0, 0, 0, 0};
        const bool has_area = calls.desktop_bounds && calls.desktop_bounds(calls.context, d.output, area);
        if (calls.set_client_size)
            calls.set_client_size(calls.context, window, d.width, d.height, has_area ? area : nullptr);
        if (calls.pump)
            calls.pump(calls.context, window);
        _render.set_fullscreen(window, false, d.output);
    }
    // 4. Wait until the change is done.
    _render.wait_fence(_render.add_fence());
    if (calls.pump)
        calls.pump(calls.context, window);
    return ok;
}

void register_render_resource_types(ResourceManager &manager, const RenderConfiguration *configuration)
{
    auto add = [&](const char *type, const ResourceTypeCallbacks &callbacks) {
        if (!manager.is_type_registered(NameId64(type)))
            (void)manager.register_type(NameId64(type), callbacks);
    };
    ResourceTypeCallbacks config;
    config.load = load_render_config;
    add("render_config", config);
    add("texture", texture_resource_callbacks(configuration ? configuration->texture_hooks() : nullptr));
    add("material", material_resource_callbacks(configuration ? configuration->material_context() : nullptr));
    add("shader_library", shader_library_callbacks());
    add("shader_library_group", shader_library_group_callbacks());
    add("shading_environment", shading_environment_callbacks());
}

} // namespace tallow
