#pragma once
// Which backend answers the layer's entry points (CreateDXGIFactory, D3D11CreateDevice).
//
//   headless   draws nothing (the default; unit tests use it and turn on its journal of
//              every call, see d3d11_headless.h)
//   gl         OpenGL 4.5 core through EGL without a display server: swap chains present
//              into an offscreen back buffer that callers read back with a staging copy
//   gl_window  the same device; Present also shows the back buffer in the swap chain's
//              SDL2 window
//
// The choice is process-wide and read by later entry-point calls. Without a call to
// set_backend, the environment variable TALLOW_D3D11_BACKEND ("headless", "gl",
// "gl-window") sets it. When no OpenGL context can be made, the first GL entry-point call
// logs one line saying why and the layer falls back to the headless backend.
//
// Engine code never needs this header: it calls d3d11_shim.h and dxgi_shim.h only.

#include "foundation/types.h"

#include <string>

namespace tallow::d3d11 {

enum class Backend : u32 { headless, gl, gl_window };
const char *to_string(Backend backend);
/// "headless", "gl" or "gl-window"; false for anything else.
bool backend_from_string(const char *text, Backend &out_backend);

void set_backend(Backend backend);
/// The backend asked for (by set_backend or the environment).
Backend requested_backend();
/// The backend entry points use now: the requested one, or headless after a fallback.
Backend active_backend();

/// Whether an OpenGL 4.5 core context can be made here (made once, then remembered);
/// `out_reason` receives why not.
bool gl_available(std::string *out_reason = nullptr);

} // namespace tallow::d3d11
