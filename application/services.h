#pragma once
// The places in the Application's start-up, frame and shutdown orders where the process-wide
// services plug in. Each service is a narrow interface made by a factory in
// `ServiceFactories`; a null factory means the service is not part of this build, and the
// Application skips its step with a log line ("start-up: physics: not available, skipped").
//
//   ServiceFactories services;
//   services.create_render = create_render_service;     // IRenderService *(Allocator &, Application &)
//   ApplicationParams params{&options, make_game, services};
//
// A factory returns null when its service fails to start; the Application then runs
// without it. Every service is destroyed through the allocator it was made with, in the
// shutdown order. All calls come from the main thread.

#include "foundation/strings/name_id.h"
#include "foundation/types.h"

namespace tallow {

class Allocator;
class Application;
class RenderInterface;
class Window;

/// The display settings the render device starts with, in this field order.
struct DeviceSettings {
    i32 adapter_index = 0;
    i32 fullscreen_output = 0;
    u32 reserved_one = 1;  // constant 1, meaning defined by the render device
    u32 reserved_zero = 0; // constant 0, meaning defined by the render device
    bool d3d_debug = false;
    bool vsync = false;
    u32 command_buffer_size_bytes = 40960;
};

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

/// The input manager. The Application forwards the window's key, button, wheel, motion and
/// cursor messages to these operations (registered at start-up, removed at shutdown).
class IInputService {
  public:
    virtual ~IInputService() = default;
    virtual void update(f32 dt_seconds) = 0;
    virtual void on_key_down(u32 virtual_key, u32 repeat_count, u32 has_high_word, u32 extended, u32 previous_state) = 0;
    virtual void on_key_up(u32 virtual_key, u32 has_high_word, u32 extended) = 0;
    virtual void on_button_down(u32 button) = 0;
    virtual void on_button_up(u32 button) = 0;
    virtual void on_wheel(f32 x, f32 y, f32 z) = 0;
    virtual void on_move(f32 dx, f32 dy, f32 dz) = 0;
    virtual void on_cursor(i32 x, i32 y) = 0;
};

/// The physics SDK handed to every World. Its factory ends the program with `fatal_error`
/// when the SDK cannot be created.
class IPhysicsService {
  public:
    virtual ~IPhysicsService() = default;
};

/// The network manager.
class INetworkService {
  public:
    virtual ~INetworkService() = default;
};

/// The save system; exists only when a save directory is configured. Its destructor stops
/// and joins the "save_system" thread.
class ISaveService {
  public:
    virtual ~ISaveService() = default;
    virtual void update() = 0;
};

/// LightFX lighting devices.
class ILightFxService {
  public:
    virtual ~ILightFxService() = default;
    /// Advances the colour fades by the unfiltered frame step.
    virtual void update(f32 raw_dt_seconds) = 0;
};

/// Factories of the services; null = not part of this build (the step is skipped openly).
struct ServiceFactories {
    IRenderService *(*create_render)(Allocator &allocator, Application &application) = nullptr;
    IInputService *(*create_input)(Allocator &allocator, Application &application) = nullptr;
    IPhysicsService *(*create_physics)(Allocator &allocator, Application &application) = nullptr;
    INetworkService *(*create_network)(Allocator &allocator, Application &application) = nullptr;
    /// `save_dir` is the resolved, existing save directory.
    ISaveService *(*create_save)(Allocator &allocator, Application &application, const char *save_dir) = nullptr;
    ILightFxService *(*create_lightfx)(Allocator &allocator, Application &application) = nullptr;
};

} // namespace tallow
