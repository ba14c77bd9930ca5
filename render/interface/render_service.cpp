#include "render/interface/render_service.h"

#include "platform/window/window.h"
#include "foundation/io/render_settings_store.h"
#include "foundation/log.h"
#include "render/device/render_device.h"
#include "render/interface/render_interface.h"

namespace tallow {

namespace {

class RenderService final : public IRenderService {
  public:
    /// Takes over `render` (made from `allocator`) and, when `owns_config_globals`, the trees.
    RenderService(Allocator &allocator, RenderInterface *render, bool owns_config_globals)
        : _allocator(allocator), _render(render), _owns_config_globals(owns_config_globals)
    {
    }
    ~RenderService() override
    {
        // The interface stops "renderer" first: only it writes the trees.
        delete_with_allocator(_allocator, _render);
        if (_owns_config_globals)
            destroy_config_globals();
    }

    // See IRenderService
    bool initialize_device(const DeviceSettings &settings) override { return _render->initialize_device(settings); }
    bool load_render_config(NameId64 name) override
    {
        // Render configurations (layers, shader libraries, global resources) are read by a
        // later part of the renderer; until then the device draws nothing.
        log_message("render", "render configuration %016llx: loading it is not built yet; skipped",
                    (unsigned long long)name.value());
        return false;
    }
    void unload_render_config() override {}
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
};

} // namespace

IRenderService *create_render_service(Allocator &allocator, ThreadRegistry *registry, ThreadPool *pool,
                                      RenderDeviceFactory factory)
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
                                 ? make_new<RenderService>(allocator, allocator, render, owns_config_globals)
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
