// Loads the driver interface library with dlopen and resolves entries through its query export.
#include "render/d3d11/nv_stereo.h"

#include "foundation/log.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <string>

namespace tallow::render::d3d11 {
namespace {

using QueryInterface = void *(*)(u32 id);

enum Entry : u32 {
    stereo_is_enabled,
    stereo_create_handle,
    stereo_destroy_handle,
    stereo_is_activated,
    stereo_get_separation,
    stereo_get_convergence,
    stereo_get_eye_separation,
    entry_count
};

constexpr u32 entry_ids[entry_count] = {
    nvapi_id_stereo_is_enabled,     nvapi_id_stereo_create_handle_from_iunknown, nvapi_id_stereo_destroy_handle,
    nvapi_id_stereo_is_activated,   nvapi_id_stereo_get_separation,              nvapi_id_stereo_get_convergence,
    nvapi_id_stereo_get_eye_separation,
};

struct State {
    std::mutex mutex;
    std::string library_name = "nvapi.dll";
    void *library = nullptr;
    QueryInterface query = nullptr;
    void *resolved[entry_count] = {};
    bool tried[entry_count] = {};
    u32 load_attempts = 0;
};

State &state()
{
    static State instance;
    return instance;
}

void unload(State &s)
{
    s.query = nullptr;
    if (s.library) dlclose(s.library);
    s.library = nullptr;
}

/// The entry's function, resolved on its first call while the query function is there.
void *resolve(Entry entry)
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    if (!s.tried[entry] && s.query) {
        s.tried[entry] = true; // set even when the library does not know the id
        s.resolved[entry] = s.query(entry_ids[entry]);
    }
    return s.resolved[entry];
}

template <class Function, class... Args> i32 forward(Entry entry, Args... args)
{
    void *function = resolve(entry);
    if (!function) return nvapi_not_available;
    return reinterpret_cast<Function>(function)(args...);
}

} // namespace

i32 nvapi_initialize()
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    if (!s.library) {
        ++s.load_attempts;
        s.library = dlopen(s.library_name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!s.library) return nvapi_library_not_found;
    }
    s.query = reinterpret_cast<QueryInterface>(dlsym(s.library, "nvapi_QueryInterface"));
    if (!s.query) {
        log_message("render", "%s has no nvapi_QueryInterface; stereo is off", s.library_name.c_str());
        unload(s);
        return nvapi_error;
    }
    using Initialize = i32 (*)();
    auto initialize = reinterpret_cast<Initialize>(s.query(nvapi_id_initialize));
    if (!initialize) {
        log_message("render", "%s has no initialise entry; stereo is off", s.library_name.c_str());
        unload(s);
        return nvapi_error;
    }
    i32 status = initialize();
    if (status != nvapi_ok) {
        log_message("render", "%s did not start (status %d); stereo is off", s.library_name.c_str(), status);
        unload(s);
        return nvapi_error;
    }
    return nvapi_ok;
}

i32 NvAPI_Stereo_IsEnabled(u8 *out_enabled) { return forward<i32 (*)(u8 *)>(stereo_is_enabled, out_enabled); }

i32 NvAPI_Stereo_CreateHandleFromIUnknown(IUnknown *device, StereoHandle *out_handle)
{
    return forward<i32 (*)(IUnknown *, StereoHandle *)>(stereo_create_handle, device, out_handle);
}

i32 NvAPI_Stereo_DestroyHandle(StereoHandle handle)
{
    return forward<i32 (*)(StereoHandle)>(stereo_destroy_handle, handle);
}

i32 NvAPI_Stereo_IsActivated(StereoHandle handle, u8 *out_activated)
{
    return forward<i32 (*)(StereoHandle, u8 *)>(stereo_is_activated, handle, out_activated);
}

i32 NvAPI_Stereo_GetSeparation(StereoHandle handle, f32 *out_separation_percent)
{
    return forward<i32 (*)(StereoHandle, f32 *)>(stereo_get_separation, handle, out_separation_percent);
}

i32 NvAPI_Stereo_GetConvergence(StereoHandle handle, f32 *out_convergence)
{
    return forward<i32 (*)(StereoHandle, f32 *)>(stereo_get_convergence, handle, out_convergence);
}

i32 NvAPI_Stereo_GetEyeSeparation(StereoHandle handle, f32 *out_eye_separation)
{
    return forward<i32 (*)(StereoHandle, f32 *)>(stereo_get_eye_separation, handle, out_eye_separation);
}

void nvapi_set_library_name(const char *name)
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    s.library_name = name ? name : "";
}

void nvapi_shutdown()
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    unload(s);
    for (u32 i = 0; i < entry_count; ++i) {
        s.resolved[i] = nullptr;
        s.tried[i] = false;
    }
    s.load_attempts = 0;
}

bool nvapi_is_loaded()
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    return s.library != nullptr;
}

u32 nvapi_load_attempts()
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    return s.load_attempts;
}

} // namespace tallow::render::d3d11
