#pragma once
// The render device over our Direct3D 11 / DXGI layer: adapter and output choice, the
// device at the required feature level, one swap chain per game window with its back
// buffer, presents, full screen and display modes, the resource manager that turns update
// streams into Direct3D objects, and the frame's dispatch of sorted render commands, serial
// on the immediate context or recorded in ranges on deferred contexts over the thread pool.
//
//   D3DRenderDeviceParams params;
//   params.pool = &thread_pool;                      // null: always serial
//   D3DRenderDevice *device = make_new<D3DRenderDevice>(allocator, allocator, params);
//   device->initialize(settings);                    // render thread from here on
//   u32 id = device->create_swap_chain(window, 0, true);
//   device->dispatch(count, contexts);
//   device->present(id);
//
// Swap-chain ids are indices into the device's table; a destroyed chain's id is handed out
// again. Every interface the device receives is held in an owning pointer, so destroying
// the device leaves no live object of the layer. Render thread only, except construction
// and enumerate_display_modes (main thread, before the render thread starts).

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"
#include "platform/d3d11/d3d11_shim.h"
#include "platform/d3d11/dxgi_shim.h"
#include "render/d3d11/d3d_render_context.h"
#include "render/d3d11/owned_com_ptr.h"
#include "render/device/render_device.h"
#include "render/device/render_output.h"

#include <atomic>
#include <cstdint>

namespace tallow {
class ConfigValue;
class ThreadPool;
} // namespace tallow

namespace tallow::render::d3d11 {

class D3DRenderStateBuilder;
class D3DResourceManager;

/// The lowest feature level the engine runs on.
constexpr D3D_FEATURE_LEVEL required_feature_level = D3D_FEATURE_LEVEL_10_0;

/// "DX9_1" ... "DX11_0"; "" for other values.
const char *feature_level_name(D3D_FEATURE_LEVEL level);

/// Ranges of a parallel dispatch of `count` sorted entries: `size` entries each (the last
/// may be shorter), `count` of them.
struct DispatchSplit {
    u32 range_size;
    u32 range_count;
};
/// s = max(20, floor(n / 20)), r = ceil(n / s); no ranges for n = 0.
DispatchSplit split_dispatch(u32 entry_count);

struct D3DRenderDeviceParams {
    ThreadPool *pool = nullptr; ///< deferred dispatch runs its ranges here; null: serial only
    /// The render capabilities tree read by every dispatch ("use_deferred_contexts");
    /// null or absent reads as false.
    const ConfigValue *(*render_caps)(void *user) = nullptr;
    void *render_caps_user = nullptr;
};

class D3DRenderDevice final : public RenderDevice, public IRenderOutput {
  public:
    /// Makes the DXGI factory and tries the stereo driver; no device yet. Everything the
    /// device makes comes from a trace allocator "D3DRenderDevice" over `parent`.
    D3DRenderDevice(Allocator &parent, const D3DRenderDeviceParams &params);
    /// Destroys every swap chain still in use, the render contexts, the pooled deferred
    /// contexts, the resource manager and the device.
    ~D3DRenderDevice() override;

    /// Chooses adapter `settings.adapter_index` (counted over adapters whose description
    /// can be read) and its output, and creates the device at 11_0, 10_1, 10_0 or 9_3.
    /// False (logged) when the adapter does not exist or the device cannot be created;
    /// a device below `required_feature_level` is a fatal error naming that level.
    bool initialize(const DeviceSettings &settings) override;
    /// Presents the chain (sync interval 1 with vsync), restarts the immediate rings and
    /// clears the window's flagged targets.
    void present(u32 swap_chain) override;
    /// Sorts the contexts' commands and executes them (execute_sorted).
    void dispatch(u32 count, RenderContext *const *contexts) override;
    /// Executes entries already in key order: on the immediate context, or, when the
    /// render caps set "use_deferred_contexts" and a pool was given, in ranges recorded on
    /// deferred contexts and played back in order. Both give the same draws, buffer bytes
    /// and copies: a frame where a buffer updated in one range is updated or drawn in
    /// another, or a copy counter still running down across a range start, is executed
    /// serially.
    void execute_sorted(const RenderSortEntry *entries, u32 count);

    u32 create_swap_chain(Window &window, u32 flags, bool show) override; // See IRenderOutput
    void resize_swap_chain(Window &window, u32 width, u32 height) override; // See IRenderOutput
    void set_fullscreen(Window &window, bool fullscreen, u32 output_index) override; // See IRenderOutput
    void resize_target(Window &window, u32 width, u32 height) override; // See IRenderOutput
    void enumerate_display_modes(Array<DisplayOutput> &out_outputs) override; // See IRenderOutput

    /// The same on the layer's window record, for callers that hold no Window. 0xFFFFFFFF
    /// when the swap chain cannot be made (logged).
    u32 create_swap_chain(HWND window, bool fullscreen);
    void resize_swap_chain(HWND window, u32 width, u32 height);
    void set_fullscreen(HWND window, bool fullscreen, u32 output_index);
    void resize_target(HWND window, u32 width, u32 height);
    /// Releases the chain and its back buffer; the id becomes free. Unknown ids are ignored.
    void destroy_swap_chain(u32 id);

    /// The chain of the first entry of `window`, or null (no reference added).
    IDXGISwapChain *swap_chain(HWND window) const;
    IDXGISwapChain *swap_chain_at(u32 id) const;
    BackBufferWrapper *back_buffer(u32 id) const;
    /// The chosen adapter's output at `index`, or null (a reference the caller releases).
    IDXGIOutput *output(u32 index) const;

    bool read_stereo(StereoReading *out) const override; // See RenderDevice
    /// The driver's stereo handle for this device (0 without stereo).
    std::uintptr_t stereo_handle() const { return _stereo_handle; }

    /// Fills "feature_level" when present and empty, and "nv_stereo" when present.
    void write_device_settings(ConfigValue &settings) const;

    D3D_FEATURE_LEVEL feature_level() const { return _feature_level; }
    ID3D11Device *device() const { return _device.get(); }
    ID3D11DeviceContext *immediate_context() const { return _immediate.get(); }
    D3DResourceManager *resource_manager() const { return _manager; }
    D3DRenderContext *immediate_render_context() const { return _immediate_context; }
    const DXGI_ADAPTER_DESC &adapter_desc() const { return _adapter_desc; }
    /// Deferred contexts kept for the next parallel dispatch.
    u32 deferred_pool_size() const { return _range_pool.size(); }
    /// Dispatches with "use_deferred_contexts" set so far: recorded in ranges on deferred
    /// contexts, and executed serially instead (ranges that cannot be recorded apart, or no
    /// deferred context to be had). Any thread.
    u32 deferred_dispatch_count() const { return _deferred_dispatches.load(std::memory_order_relaxed); }
    u32 serial_fallback_count() const { return _serial_fallbacks.load(std::memory_order_relaxed); }
    TraceAllocator &device_allocator() { return _allocator; }

  protected:
    void execute_resource_updates(u32 count, RenderResourceContext *const *contexts) override; // See RenderDevice

  private:

    struct SwapChainEntry {
        HWND window = nullptr;
        const Window *owner = nullptr;        // when made for a Window
        IDXGISwapChain *swap_chain = nullptr; // owned
        BackBufferWrapper *back_buffer = nullptr;
        bool in_use = false;
    };
    /// The record of the window's first chain, or null.
    HWND window_record(const Window &window) const;
    bool use_deferred_contexts() const;
    /// False when the ranges cannot be had (the caller executes serially).
    bool dispatch_deferred(const RenderSortEntry *entries, u32 count);
    D3DRenderContext *take_range_context();
    void destroy_range_context(D3DRenderContext *context);
    void log_result(const char *call, HRESULT result) const;

    TraceAllocator _allocator;
    D3DRenderDeviceParams _params;
    OwnedComPtr<IDXGIFactory> _factory;
    OwnedComPtr<IDXGIAdapter> _adapter;
    OwnedComPtr<IDXGIOutput> _output;
    DXGI_ADAPTER_DESC _adapter_desc{};
    D3D_FEATURE_LEVEL _feature_level = D3D_FEATURE_LEVEL_9_1;
    bool _vsync = false;
    bool _stereo_available = false;
    std::uintptr_t _stereo_handle = 0;
    OwnedComPtr<ID3D11Device> _device;
    OwnedComPtr<ID3D11Debug> _debug;
    OwnedComPtr<ID3D11DeviceContext> _immediate;
    D3DRenderContext *_immediate_context = nullptr;
    u32 _sample_count = 1;
    u32 _sample_quality = 0;
    Array<SwapChainEntry> _swap_chains;
    D3DRenderStateBuilder *_states = nullptr;
    D3DResourceManager *_manager = nullptr;
    Array<D3DRenderContext *> _range_pool; // with their deferred contexts (owned), kept across frames
    Array<RenderSortEntry> _sorted;
    u32 _present_count = 0;
    std::atomic<u32> _deferred_dispatches{0};
    std::atomic<u32> _serial_fallbacks{0};
};

/// The engine's device factory (see render_service.h): a D3DRenderDevice over the
/// render capabilities global, with `out_output` set to it.
RenderDevice *create_d3d_render_device(Allocator &allocator, ThreadPool *pool, IRenderOutput *&out_output);

} // namespace tallow::render::d3d11
