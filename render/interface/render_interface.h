#pragma once
// The game side's one door to the renderer: it owns the render device and the "renderer"
// thread, and turns every request into a typed message that the thread runs in posting
// order. Frame fences bring the game side back in step.
//
//   RenderInterfaceParams params;                 // allocator, threads, device, window calls
//   RenderInterface render(params);               // starts "renderer"
//   render.initialize_device(settings);           // waits until the device started
//   u32 swap_chain = render.create_window_swap_chain(window, true);
//   RenderWorld *rw; WorldRenderLink *link;
//   render.create_render_world(rw, link);  render.add_world(world, rw, link);
//   each frame (main thread):
//       render.wait_fence(fence);                 // the previous frame is done
//       render.update_world(world, t, dt);        // this frame's state buffer goes across
//       render.render_world(world, camera, viewport, environment, swap_chain, aspect);
//       render.present_frame(swap_chain);
//       fence = render.add_fence();
//   render.remove_world(world);                   // last update, then the world goes
//
// Threads: the game side calls from the main thread; release_resource_context,
// flush_resources, wait_resource_manager and the posting itself are safe from any thread
// (the resource loader flushes contexts). Waits pump the windows only on the main thread.
// Only "renderer" touches the device, the render worlds and the render variable tables.
//
// Failures: a request for a world that was never added is logged and dropped; a fence
// index that is not taken is logged and not waited for.

#include "platform/window/window.h"
#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/threads/event.h"
#include "foundation/threads/locked_ring_buffer.h"
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_registry.h"
#include "render/interface/render_messages.h"
#include "render/device/render_output.h"
#include "render/generators/resource_generator.h"
#include "render/generators/variable_override_map.h"
#include "render/resources/render_resource_set.h"

#include <atomic>

namespace tallow {

class LayerConfigSet;
class RenderDevice;
class RenderInterface;
class ShaderManager;
class ViewportTemplate;
class ViewportTemplates;
class ThreadPool;

/// What the interface needs of the application's windows; the application fills it (the
/// render library does not link the window code). Every call runs on the main thread.
struct RenderWindowCalls {
    void (*pump)(Window &window) = nullptr;     // handle the window's queued messages
    void (*show)(Window &window) = nullptr;     // show it and give it the focus
    void (*set_event_listener)(Window &window, IWindowEventListener *listener) = nullptr;
};

struct RenderInterfaceParams {
    Allocator *allocator = nullptr;          // thread-safe parent of "RenderInterface"
    ThreadRegistry *thread_registry = nullptr;
    ThreadPool *thread_pool = nullptr;       // "renderer" joins it; null: plain waits, serial updates
    RenderDevice *device = nullptr;          // made from `allocator`; the interface destroys it
    IRenderOutput *output = nullptr;         // the device's swap chains (usually the device)
    ConfigValue *render_settings = nullptr;  // "RenderSettings" for render variables (null: none)
    ConfigValue *render_caps = nullptr;      // "RenderCaps"
    RenderWindowCalls window_calls;
    u32 queue_bytes = 10240;                 // the message ring
};

/// Posts a resize of a window's swap chain to the render thread.
class WindowEventRouter final : public IWindowEventListener {
  public:
    explicit WindowEventRouter(RenderInterface *render) : _render(render) {}
    void on_resize(Window &window, i32 width, i32 height) override; // See IWindowEventListener
    void detach() { _render = nullptr; }

  private:
    RenderInterface *_render;
};

class RenderInterface {
  public:
    /// Starts "renderer". Check is_running(): false when the thread or the queue could not
    /// be made (logged); the interface then drops every message.
    explicit RenderInterface(const RenderInterfaceParams &params);
    /// Finishes every posted message, stops and joins "renderer", then destroys the
    /// device and everything the interface made. Worlds still added are removed first.
    ~RenderInterface();
    RenderInterface(const RenderInterface &) = delete;
    RenderInterface &operator=(const RenderInterface &) = delete;

    bool is_running() const { return _thread.is_valid(); }

    // --- Device and windows (main thread) ----------------------------------------------
    /// Starts the device on the render thread and waits for it; false when it failed.
    bool initialize_device(const DeviceSettings &settings);
    /// Shows the window when asked, makes its swap chain and waits for the index.
    u32 create_window_swap_chain(Window &window, bool show);
    /// Posts a present of the swap chain.
    void present_frame(u32 swap_chain);
    /// Full screen on `output_index`, or windowed.
    void set_fullscreen(Window &window, bool fullscreen, u32 output_index);
    void resize_target(Window &window, u32 width, u32 height);
    void resize_swap_chain(Window &window, u32 width, u32 height);
    const Array<DisplayOutput> &display_outputs() const { return _display_outputs; }
    /// The current swap chain's back-buffer size; waits until the render thread is idle.
    void back_buffer_size(u32 &out_width, u32 &out_height);

    // --- Fences ------------------------------------------------------------------------
    /// Posts a fence after everything posted so far; returns its slot (reused once waited).
    /// Any thread.
    u32 add_fence();
    /// Waits until the render thread passed the fence, then frees the slot. On the main
    /// thread with windows open it pumps them every millisecond meanwhile. A slot that is
    /// not taken is logged and returns at once.
    void wait_fence(u32 fence);
    /// Waits until the render thread has taken every message. Any thread.
    void wait_until_idle();

    // --- Worlds (main thread) ----------------------------------------------------------
    /// Makes a render world and the game side's link with its first state buffer; nothing
    /// is posted. False when memory runs out (logged).
    bool create_render_world(RenderWorld *&out_render_world, WorldRenderLink *&out_link);
    /// Files `world` (the game-side World, as a key) with its render world and link, and
    /// lets the render thread set the world up.
    void add_world(const void *world, RenderWorld *render_world, WorldRenderLink *link);
    /// Hands the world's filled state buffer to the render thread and gives the link a
    /// fresh one.
    void update_world(const void *world, f32 time, f32 delta_time);
    /// Posts the drawing of a world with a camera, viewport and shading environment (their
    /// render handles) into a swap chain.
    void render_world(const void *world, u32 camera, u32 viewport, u32 shading_environment, u32 swap_chain,
                      f32 aspect_ratio);
    /// Sends the world's last changes, then removes it; the render thread frees the render
    /// world and the link.
    void remove_world(const void *world);
    u32 world_count();
    /// Frees a render world and link from create_render_world that were never added.
    void discard_render_world(RenderWorld *render_world, WorldRenderLink *link);
    /// The render world filed for `world`, or null. Read it on the render thread, or on
    /// the game side after wait_until_idle (tests).
    RenderWorld *render_world_of(const void *world);

    /// The render configuration's objects that worlds draw with (null: none, and worlds are
    /// not drawn). Every render world, present and future, gets the shader manager. Main
    /// thread, while the render thread is idle (waits for it).
    void set_render_configuration(const LayerConfigSet *layers, const ViewportTemplates *viewports,
                                  ShaderManager *shaders, const Array<u32> *texture_channels);
    /// The loaded render configuration's viewport template named `name` (NameId32), or null
    /// (no such template, or no configuration). Main thread; valid until the configuration
    /// is unloaded or reloaded.
    const ViewportTemplate *viewport_template(u32 name) const;

    // --- Resource contexts (any thread) --------------------------------------------------
    /// Hands `count` contexts to the render thread for execution.
    void release_resource_context(u32 count, RenderResourceContext *const *contexts);
    /// Executes one context and waits for it, then frees it.
    void flush_resources(RenderResourceContext *context);
    /// Waits for a context handed over (pumping on the main thread), then frees it.
    void wait_resource_manager(RenderResourceContext *context);

    // --- Render variables ----------------------------------------------------------------
    /// Sets a variable of "RenderSettings" (settings true) or "RenderCaps" from text.
    void set_render_setting(bool settings, const char *name, const char *value_text);
    /// Sets a variable from a typed value.
    void set_render_caps(bool settings, const char *name, const RenderVariableValue &value);
    /// Copies a variable into `out_value` after the render thread is idle; false (nil) when
    /// the table lacks it.
    bool render_config_value(bool settings, const char *name, ConfigValue &out_value);

    // --- For the render thread and tests --------------------------------------------------
    RenderDevice &device() { return *_device; }
    RenderResourceSet &global_resources() { return _global_resources; }
    /// The render configuration's resource generators; built and cleared while the render
    /// thread is idle (RenderConfiguration), run on the render thread.
    ResourceGenerators &resource_generators() { return _generators; }
    Allocator &allocator() { return _allocator; }
    /// "RenderObjectManager": every render world's objects, records and state buffers.
    TraceAllocator &object_allocator() { return _object_allocator; }
    /// Posts a raw message record (type, size, payload); blocks while the ring is full.
    void post(const void *message, u32 size_bytes);

  private:
    struct WorldEntry {
        const void *world;
        RenderWorld *render_world;
        WorldRenderLink *link;
    };

    static void render_thread_entry(void *interface);
    void render_thread_loop();
    void dispatch_message(const u8 *message, u32 size_bytes);
    void on_initialize_device(const InitializeDeviceMessage &message);
    void on_create_swap_chain(const CreateSwapChainMessage &message);
    void on_add_world(const AddWorldMessage &message);
    void on_remove_world(const RemoveWorldMessage &message);
    void on_render_world(const RenderWorldMessage &message);
    void on_update_world(const UpdateWorldMessage &message);
    void on_release_resource_context(const ExecuteResourceContextsMessage &message);
    void set_render_variable(const SetRenderVariableMessage &message);
    void free_render_variable(const SetRenderVariableMessage &message);
    void wait_pumping(Event *event, RenderResourceContext *context);
    WorldEntry *find_world(const void *world);
    template <typename T> void post_message(RenderMessageType type, T &message)
    {
        message.header = {u32(type), u32(sizeof(T))};
        post(&message, sizeof(T));
    }

    TraceAllocator _allocator;                    // "RenderInterface"
    TraceAllocator _object_allocator;             // "RenderObjectManager": every world's render objects
    ThreadRegistry *_registry;
    ThreadPool *_pool;
    RenderDevice *_device;
    IRenderOutput *_output;
    ConfigValue *_render_settings;
    ConfigValue *_render_caps;
    RenderWindowCalls _window_calls;
    u32 _main_thread;
    Mutex _lock;                                  // guards _worlds
    LockedRingBuffer _queue;
    u8 *_receive = nullptr;                       // the render thread's copy of one message
    WindowEventRouter _router;
    Array<Window *> _windows;                     // main thread
    Array<DisplayOutput> _display_outputs;
    std::atomic<bool> _quit{false};
    Array<WorldEntry> _worlds;
    Mutex _fence_lock;                            // guards _fences
    Array<Event *> _fences;                       // null: a free slot
    Array<Event *> _spare_fences;                 // events of fences waited for, for reuse
    RenderResourceSet _global_resources;
    u32 _render_thread_id = 0;
    ThreadHandle _thread;
    const LayerConfigSet *_layers = nullptr;      // the render configuration's, when loaded
    const ViewportTemplates *_viewports = nullptr;
    ShaderManager *_shaders = nullptr;
    const Array<u32> *_texture_channels = nullptr;
    ResourceGenerators _generators;
    VariableOverrideMap _generator_overrides;     // render thread
    u32 _frame_index = 0;                         // render thread
    u32 _generator_frames = 0;                    // frames in which a generator ran (render thread)
};

} // namespace tallow
