#pragma once
// What the render interface asks of a device beyond RenderDevice: a swap chain per window,
// full screen and target sizes, and the display modes of the outputs.
//
//   class MyDevice final : public RenderDevice, public IRenderOutput { ... };
//   u32 swap_chain = output.create_swap_chain(window, 0, true);   // render thread
//   device.present(swap_chain);
//
// A device implements every function below; each runs on the render thread only, except
// enumerate_display_modes, which the RenderInterface constructor calls before the render
// thread starts. Window is the application's window; the device reads its native handle.

#include "foundation/containers/array.h"
#include "foundation/strings/dynamic_string.h"
#include "foundation/types.h"

namespace tallow {

class Window;

struct DisplayMode {
    u32 width;
    u32 height;
    u32 refresh_numerator;
    u32 refresh_denominator;
};

/// One output (monitor) of an adapter with its display modes.
struct DisplayOutput {
    explicit DisplayOutput(Allocator &allocator) : name(allocator), modes(allocator) {}
    DynamicString name; // UTF-8
    Array<DisplayMode> modes;
};

class IRenderOutput {
  public:
    virtual ~IRenderOutput() = default;

    /// Makes a swap chain with its back buffer for `window` and files the window's targets
    /// (RenderDevice::add_window_targets); returns the swap-chain index that present and
    /// render-world messages use. `flags` is 0; `show` as given by the game side.
    virtual u32 create_swap_chain(Window &window, u32 flags, bool show) = 0;
    /// Resizes the buffers of the window's swap chain.
    virtual void resize_swap_chain(Window &window, u32 width, u32 height) = 0;
    /// Switches the window's swap chain to full screen on `output_index`, or back.
    virtual void set_fullscreen(Window &window, bool fullscreen, u32 output_index) = 0;
    /// Resizes the output target of the window's swap chain.
    virtual void resize_target(Window &window, u32 width, u32 height) = 0;
    /// Appends one record per output of every adapter.
    virtual void enumerate_display_modes(Array<DisplayOutput> &out_outputs) = 0;
};

} // namespace tallow
