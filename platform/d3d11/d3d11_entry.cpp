// The layer's entry points pick the backend: headless (the default) or OpenGL, offscreen or
// presenting into the window (d3d11_backend.h).
#include "platform/d3d11/d3d11_backend.h"
#include "platform/d3d11/gl_internal.h"
#include "platform/d3d11/headless_internal.h"

#include "foundation/log.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace tallow {
namespace d3d11 {
namespace {

struct Selection {
    std::mutex mutex;
    bool chosen = false;
    Backend requested = Backend::headless;
    bool fell_back = false;
};

Selection &selection()
{
    static Selection s;
    return s;
}

Backend requested_locked(Selection &s)
{
    if (!s.chosen) {
        s.chosen = true;
        const char *text = std::getenv("TALLOW_D3D11_BACKEND");
        if (text && *text && !backend_from_string(text, s.requested))
            log_message("d3d11", "TALLOW_D3D11_BACKEND '%s' is not headless, gl or gl-window; using headless", text);
    }
    return s.requested;
}

/// The backend for this entry-point call; a GL backend that cannot start falls back once.
Backend resolve()
{
    Selection &s = selection();
    std::lock_guard lock(s.mutex);
    Backend wanted = requested_locked(s);
    if (wanted == Backend::headless) return wanted;
    std::string reason;
    if (gl::initialise(&reason)) return wanted;
    if (!s.fell_back) log_message("d3d11", "no OpenGL 4.5 context (%s); using the headless backend", reason.c_str());
    s.fell_back = true;
    return Backend::headless;
}

} // namespace

const char *to_string(Backend backend)
{
    switch (backend) {
    case Backend::gl: return "gl";
    case Backend::gl_window: return "gl-window";
    default: return "headless";
    }
}

bool backend_from_string(const char *text, Backend &out_backend)
{
    if (!text) return false;
    for (Backend b : {Backend::headless, Backend::gl, Backend::gl_window})
        if (std::strcmp(text, to_string(b)) == 0) {
            out_backend = b;
            return true;
        }
    return false;
}

void set_backend(Backend backend)
{
    Selection &s = selection();
    std::lock_guard lock(s.mutex);
    s.chosen = true;
    s.requested = backend;
}

Backend requested_backend()
{
    Selection &s = selection();
    std::lock_guard lock(s.mutex);
    return requested_locked(s);
}

Backend active_backend()
{
    Backend wanted = requested_backend();
    return wanted == Backend::headless || gl_available() ? wanted : Backend::headless;
}

bool gl_available(std::string *out_reason) { return gl::initialise(out_reason); }

} // namespace d3d11

HRESULT CreateDXGIFactory(REFIID riid, void **out_factory)
{
    if (d3d11::resolve() != d3d11::Backend::headless) return d3d11::gl::create_factory(riid, out_factory);
    return d3d11::headless_create_factory(riid, out_factory);
}

HRESULT D3D11CreateDevice(IDXGIAdapter *adapter, D3D_DRIVER_TYPE driver_type, HMODULE software, UINT flags,
                          const D3D_FEATURE_LEVEL *levels, UINT level_count, UINT sdk_version,
                          ID3D11Device **out_device, D3D_FEATURE_LEVEL *out_level, ID3D11DeviceContext **out_context)
{
    if (d3d11::resolve() != d3d11::Backend::headless)
        return d3d11::gl::create_device(adapter, driver_type, flags, levels, level_count, out_device, out_level, out_context);
    return d3d11::headless_create_device(adapter, driver_type, software, flags, levels, level_count, sdk_version,
                                         out_device, out_level, out_context);
}

} // namespace tallow
