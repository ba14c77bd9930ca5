#include "render/interface/render_service.h"

#include "platform/window/window.h"
#include "foundation/io/render_settings_store.h"
#include "foundation/log.h"
#include "render/config/render_configuration.h"
#include "render/device/render_device.h"
#include "render/interface/render_interface.h"

namespace tallow {

namespace {

class RenderService final : public IRenderService {
  public:
    /// Takes over `render` (made from `allocator`) and, when `owns_config_globals`, the trees.
    RenderService(Allocator &allocator, RenderInterface *render, bool owns_config_globals,
                  const RenderConfigSources *sources)
        : _allocator(allocator), _render(render), _owns_config_globals(owns_config_globals)
    {
        if (sources && sources->resources && owns_config_globals) {
            _sources = *sources;
            _config = make_new<RenderConfiguration>(allocator, allocator, *render, *sources->resources);
            register_render_resource_types(*sources->resources, _config);
        }
    }
    ~RenderService() override
    {
        // The configuration's device objects go before the interface stops.
        delete_with_allocator(_allocator, _config);
        // The interface stops "renderer" first: only it writes the trees.
        delete_with_allocator(_allocator, _render);
        if (_owns_config_globals)
            destroy_config_globals();
    }

    // See IRenderService
    bool initialize_device(const DeviceSettings &settings) override { return _render->initialize_device(settings); }
    bool load_render_config(NameId64 name) override
    {
        if (!_config) {
            log_message("render", "render configuration %016llx: no resource manager or settings; not loaded",
                        (unsigned long long)name.value());
            return false;
        }
        ConfigValue scratch(_allocator);
        return _config->load(name, _sources.settings, _sources.record ? *_sources.record : scratch);
    }
    void unload_render_config() override
    {
        if (_config)
            _config->unload();
    }
    bool apply_display_settings(Window &window) override
    {
        if (!_config)
            return false;
        DisplayCalls calls;
        calls.context = this;
        calls.set_client_size = [](void *, Window &w, u32 width, u32 height, const i32 area[4]) {
            platform::Rect rect;
            if (area)
                rect = platform::Rect{area[0], area[1], area[0] + area[2], area[1] + area[3]};
            w.set_client_size(i32(width), i32(height), area ? &rect : nullptr);
        };
        calls.pump = [](void *, Window &w) { w.pump_messages(); };
        _display_window = &window;
        calls.desktop_bounds = [](void *context, u32 index, i32 out_rect[4]) {
            platform::Rect r;
            Window *w = static_cast<RenderService *>(context)->_display_window;
            if (!w || !w->system().display_bounds(index, r))
                return false;
            out_rect[0] = r.left, out_rect[1] = r.top, out_rect[2] = r.width(), out_rect[3] = r.height();
            return true;
        };
        ConfigValue scratch(_allocator);
        bool ok = _config->apply_display_settings(_sources.settings, _sources.record ? *_sources.record : scratch,
                                                  window, calls);
        _display_window = nullptr;
        return ok;
    }
    RenderConfiguration *render_configuration() override { return _config; }
    i32 create_window_swap_chain(Window &window, bool fullscreen) override
    {
        u32 index = _render->create_window_swap_chain(window, fullscreen);
        return index == 0xFFFFFFFF ? -1 : i32(index);
    }
    void wait_fence(i32 fence_id) override
    {
        if (fence_id >= 0)
            _render->wait_fence(u32(fence_id));
    }
    void present_frame(i32 swap_chain_id) override
    {
        if (swap_chain_id >= 0)
            _render->present_frame(u32(swap_chain_id));
    }
    i32 add_fence() override
    {
        u32 fence = _render->add_fence();
        return fence == 0xFFFFFFFF ? -1 : i32(fence);
    }
    RenderInterface *render_interface() override { return _render; }

  private:
    Allocator &_allocator;
    RenderInterface *_render;
    bool _owns_config_globals;
    RenderConfigSources _sources;
    RenderConfiguration *_config = nullptr;
    Window *_display_window = nullptr; // during apply_display_settings
};

} // namespace

IRenderService *create_render_service(Allocator &allocator, ThreadRegistry *registry, ThreadPool *pool,
                                      RenderDeviceFactory factory, const RenderConfigSources *sources)
{
    if (!factory || !registry) {
        log_message("render", "no render device in this build");
        return nullptr;
    }
    IRenderOutput *output = nullptr;
    RenderDevice *device = factory(allocator, pool, output);
    if (!device) {
        log_message("render", "the render device cannot be created");
        return nullptr;
    }
    bool owns_config_globals = create_config_globals(allocator);
    RenderInterfaceParams params;
    params.allocator = &allocator;
    params.thread_registry = registry;
    params.thread_pool = pool;
    params.device = device;
    params.output = output;
    if (owns_config_globals) {
        params.render_settings = &render_settings();
        params.render_caps = &render_caps();
    }
    params.window_calls.pump = [](Window &window) { window.pump_messages(); };
    params.window_calls.show = [](Window &window) { window.focus(); };
    params.window_calls.set_event_listener = [](Window &window, IWindowEventListener *listener) {
        window.set_event_listener(listener);
    };
    // The interface owns the device from here on, also when it fails to start.
    RenderInterface *render = make_new<RenderInterface>(allocator, params);
    if (!render)
        delete_with_allocator(allocator, device);
    RenderService *service = render && render->is_running()
                                 ? make_new<RenderService>(allocator, allocator, render, owns_config_globals, sources)
                                 : nullptr;
    if (!service) {
        log_message("render", "the render interface cannot be started");
        delete_with_allocator(allocator, render);
        if (owns_config_globals)
            destroy_config_globals();
    }
    return service;
}

} // namespace tallow
