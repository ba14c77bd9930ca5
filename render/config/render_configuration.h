#pragma once
// The render configuration: one "render_config" resource (a flat config blob) that ties the
// renderer's objects together, and the renderer settings of the settings file.
//
//   register_render_resource_types(resource_manager, configuration);  // before packages load
//   RenderConfiguration configuration(allocator, render_interface, resource_manager);
//   configuration.load(NameId64("renderer"), settings, renderer_record);
//   ...                                             // worlds, viewports, materials
//   configuration.apply_display_settings(settings, renderer_record, window, window_calls);
//   configuration.unload();                         // before the resources go
//
// Keys of the "render_config" resource, in loading order:
//   render_settings = { ... }        copied into "RenderSettings"
//   win_caps = { ... }               copied into "RenderCaps"
//   texture_channels = [ "diffuse_map" ... ]
//   global_resources = [ ...items ]  (global_resources.h)
//   layer_configs = { main = [ ...layers ] }   (layer_config_set.h)
//   shader_libraries = [ "shaders/core" ]      shader library groups brought in
//   resource_generators = { ... }    (render/generators/resource_generator.h)
//   viewports = { default = { ... } }          (viewport.h)
//
// Settings file keys read: "render_config" (the resource name), and under "win32" ->
// "renderer": "aspect_ratio", "adapter_index", "fullscreen_output", "fullscreen",
// "screen_resolution", "render_settings" and "win_caps" (objects whose values override the
// configuration's for the variables it has; others are logged and ignored).
//
// The variable tables change only on the main thread while the render thread is idle (the
// interface is waited on first), so no message changes them behind a reader. The device's
// own values ("feature_level" when absent, "nv_stereo") are written here as the device
// stand-in reports them, without a call into the device from the main thread. Every device
// object goes through resource contexts that the render thread executes. A reload releases
// what the previous load made (resource generators, global resources, viewport templates,
// shader library groups, layer configurations) before reading the new one, so nothing is
// kept twice. Every rendered world runs the generators of the "default" viewport's layer
// configuration (RenderInterface::set_generator_layers).

#include "foundation/config/config_value.h"
#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/strings/name_id.h"
#include "render/config/global_resources.h"
#include "render/config/layer_config_set.h"
#include "render/materials/material_resource.h"
#include "render/textures/texture_resource.h"
#include "render/viewports/viewport.h"

namespace tallow {

class RenderInterface;
class ResourceManager;
class ShaderManager;
class ShaderLibraryLoader;
class Window;
struct RenderWindowCalls;

/// Resolution, output and mode a display change applies.
struct DisplaySettings {
    u32 output = 0;
    bool fullscreen = false;
    u32 width = 1280;
    u32 height = 720;
};

/// What a display change does to windows (the SDL2 or headless window layer).
struct DisplayCalls {
    void *context = nullptr;
    /// The desktop rectangle of output `index` (x, y, width, height); false when unknown.
    bool (*desktop_bounds)(void *context, u32 index, i32 out_rect[4]) = nullptr;
    /// Sets the client size, centred on `area` (x, y, width, height), then pumps messages.
    void (*set_client_size)(void *context, Window &window, u32 width, u32 height, const i32 area[4]) = nullptr;
    void (*pump)(void *context, Window &window) = nullptr;
};

/// Fills the renderer settings record from the settings file's "renderer" object: each of
/// "aspect_ratio" (float; an integer is taken as float; default -1.0), "adapter_index" (0),
/// "fullscreen_output" (0) and "fullscreen" (false) when the record lacks it;
/// "screen_resolution" when the record's is not an array (the width 1280 unless the first
/// entry is an integer, the height 720 unless the second is); then makes the record's
/// "render_settings" an object and adds every variable of `render_settings` it lacks.
void apply_renderer_settings(ConfigValue &record, ConstConfigValue renderer, const ConfigValue &render_settings);
/// The settings file's "win32" -> "renderer" object (nil when absent).
ConstConfigValue renderer_settings_object(ConstConfigValue settings);

/// The display settings after a configuration load: each value from "RenderSettings" when
/// it has it (numbers may be floats), else from the settings file's "renderer" object.
DisplaySettings read_display_settings(const ConfigValue &render_settings, ConstConfigValue renderer);

class RenderConfiguration {
  public:
    RenderConfiguration(Allocator &parent, RenderInterface &render, ResourceManager &resources);
    ~RenderConfiguration();
    RenderConfiguration(const RenderConfiguration &) = delete;
    RenderConfiguration &operator=(const RenderConfiguration &) = delete;

    /// Loads (or reloads) the "render_config" resource `name` (its package must be loaded)
    /// with the settings file `settings` into the renderer. `record` is the application's
    /// renderer settings record (the user settings object). False (logged) when the resource is not loaded; a
    /// configuration with refused parts loads the rest and returns false (logged).
    bool load(NameId64 name, ConstConfigValue settings, ConfigValue &record);
    /// Releases everything load made. Nothing happens when nothing is loaded.
    void unload();
    bool is_loaded() const { return _root_blob != nullptr; }

    /// Reloads the configuration the settings name, then applies output, full screen and
    /// resolution to `window`: full screen posts resize-target then set-fullscreen(true);
    /// windowed sets the client size centred on the output's desktop, pumps, then posts
    /// set-fullscreen(false). Waits for a fence afterwards.
    bool apply_display_settings(ConstConfigValue settings, ConfigValue &record, Window &window,
                                const DisplayCalls &calls);

    ShaderManager &shaders() { return *_shaders; }
    const LayerConfigSet &layers() const { return _layers; }
    const ViewportTemplates &viewports() const { return _viewports; }
    const Array<u32> &texture_channels() const { return _texture_channels; }
    const TextureDeviceHooks *texture_hooks() const { return &_texture_hooks; }
    const MaterialResolveContext *material_context() const { return &_material_context; }
    u32 shader_group_count() const;
    NameId64 name() const { return _name; }

  private:
    void release_loaded(RenderResourceContext *context);

    TraceAllocator _allocator; // "RenderConfiguration"
    RenderInterface &_render;
    ResourceManager &_resources;
    ResourceLookup _lookup;
    ShaderManager *_shaders;
    ShaderLibraryLoader *_loader;
    LayerConfigSet _layers;
    ViewportTemplates _viewports;
    Array<u32> _texture_channels;
    Array<DynamicString> _groups;   // the shader library groups brought in
    TextureDeviceHooks _texture_hooks;
    MaterialResolveContext _material_context;
    const void *_root_blob = nullptr; // the loaded resource's blob (owned by the resource)
    u64 _root_size = 0;
    NameId64 _name;
};

/// The loaded "render_config" resource: the blob, checked.
struct RenderConfigResource {
    const void *blob;
    u64 size_bytes;
};

/// Registers "render_config", "texture", "material", "shader_library" and
/// "shader_library_group" (types already registered keep their callbacks). Textures get
/// device objects and materials texture slots through `configuration` (may be null).
void register_render_resource_types(ResourceManager &manager, const RenderConfiguration *configuration);

} // namespace tallow
