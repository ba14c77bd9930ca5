#pragma once
// The Application's render service: a RenderInterface on the render device a factory
// makes, with the process-wide render settings and capabilities trees.
//
//   // main.cpp, once a device library is in the build:
//   setup.services.create_render = [](Allocator &a, Application &app) -> IRenderService * {
//       return create_render_service(a, app.thread_registry(), app.thread_pool(), &create_my_render_device);
//   };
//
// The service lives in its own library (tallow_render_service), above the render library
// and below the application. Main thread only.

#include "foundation/strings/name_id.h"
#include "foundation/types.h"
#include "render/device/device_settings.h"

namespace tallow {

class Allocator;
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
};

/// Makes the render device from `allocator` and sets `out_output` to its swap chains
/// (usually the device itself). Null when no device can start (logged by the factory).
using RenderDeviceFactory = RenderDevice *(*)(Allocator &allocator, ThreadPool *pool, IRenderOutput *&out_output);

/// A render service over the device `factory` makes, with its "renderer" thread started
/// in `registry` and joined to `pool` (may be null). Null (logged) when the device or the
/// thread cannot be had. Destroy it through `allocator`.
IRenderService *create_render_service(Allocator &allocator, ThreadRegistry *registry, ThreadPool *pool,
                                      RenderDeviceFactory factory);

} // namespace tallow
