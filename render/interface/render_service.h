#pragma once
// The Application's render service: a RenderInterface on the render device a factory
// makes, with the process-wide render settings and capabilities trees.
//
//   // main.cpp, once a device library is in the build:
//   setup.services.create_render = [](Allocator &a, Application &app) -> IRenderService * {
//       RenderConfigSources sources{app.resource_manager(), app.settings(), app.user_settings()};
//       return create_render_service(a, app.thread_registry(), app.thread_pool(), &create_my_render_device,
//                                    &sources);
//   };
//
// With sources, the service registers the render resource types ("render_config",
// "texture", "material", "shader_library", "shader_library_group") with the resource
// manager and loads render configurations (render/config/render_configuration.h) with the
// settings file; the user settings object is the renderer settings record it fills.
//
// The service lives in its own library (tallow_render_service), above the render library
// and below the application. Main thread only.

#include "foundation/config/const_config_value.h"
#include "foundation/strings/name_id.h"
#include "foundation/types.h"
#include "render/device/device_settings.h"

namespace tallow {

class Allocator;
class ConfigValue;
class RenderConfiguration;
class ResourceManager;
class IRenderOutput;
class RenderDevice;
class RenderInterface;
class ThreadPool;
class ThreadRegistry;
class Window;

/// The render side: device, render configuration, swap chains and frame fences. Its
/// destructor stops and joins the "renderer" thread.
class IRenderService {
  public:
    virtual ~IRenderService() = default;
    virtual bool initialize_device(const DeviceSettings &settings) = 0;
    /// Loads the "render_config" resource of that name (its package is already loaded).
    virtual bool load_render_config(NameId64 name) = 0;
    virtual void unload_render_config() = 0;
    /// Reloads the render configuration and applies output, full screen and resolution to
    /// `window`. False when the service has no render configuration.
    virtual bool apply_display_settings(Window &window)
    {
        (void)window;
        return false;
    }
    /// Returns the swap chain id, or -1 on failure.
    virtual i32 create_window_swap_chain(Window &window, bool fullscreen) = 0;
    /// Blocks until the fence has passed; pumps the window meanwhile.
    virtual void wait_fence(i32 fence_id) = 0;
    virtual void present_frame(i32 swap_chain_id) = 0;
    /// Returns the id of a new fence after everything queued so far.
    virtual i32 add_fence() = 0;
    /// The render interface behind the service (worlds, display outputs, back buffer);
    /// null when the service has none.
    virtual RenderInterface *render_interface() { return nullptr; }
    /// The loaded render configuration's objects (layers, viewports, shaders), or null.
    virtual RenderConfiguration *render_configuration() { return nullptr; }
};

/// Makes the render device from `allocator` and sets `out_output` to its swap chains
/// (usually the device itself). Null when no device can start (logged by the factory).
using RenderDeviceFactory = RenderDevice *(*)(Allocator &allocator, ThreadPool *pool, IRenderOutput *&out_output);

/// Where render configurations come from: the resource manager that loads them and the
/// settings they are combined with. Everything must outlive the service.
struct RenderConfigSources {
    ResourceManager *resources = nullptr;
    ConstConfigValue settings;     // the settings file
    ConfigValue *record = nullptr; // the renderer settings record (the user settings)
};

/// A render service over the device `factory` makes, with its "renderer" thread started
/// in `registry` and joined to `pool` (may be null). Null (logged) when the device or the
/// thread cannot be had. Destroy it through `allocator`. Without `sources` (or its resource
/// manager) render configurations are not loaded (logged when asked).
IRenderService *create_render_service(Allocator &allocator, ThreadRegistry *registry, ThreadPool *pool,
                                      RenderDeviceFactory factory, const RenderConfigSources *sources = nullptr);

} // namespace tallow
