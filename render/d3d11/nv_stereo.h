#pragma once
// Stereo access through the graphics driver's interface library. The program does not link
// it: `nvapi_initialize` loads it by name at start-up and, when that works, each entry below
// resolves its function once through the library's one export "nvapi_QueryInterface" (a
// 32-bit interface id in, a function out). Without the library every entry returns
// `nvapi_not_available` and the device runs without stereo.
//
//   if (nvapi_initialize() == nvapi_ok) {                       // main thread, once
//       u8 enabled = 0;
//       if (NvAPI_Stereo_IsEnabled(&enabled) == nvapi_ok && enabled)
//           NvAPI_Stereo_CreateHandleFromIUnknown(device, &stereo_handle);
//   }
//   f32 separation = 0;
//   NvAPI_Stereo_GetSeparation(stereo_handle, &separation);   // renderer thread, per frame
//   NvAPI_Stereo_DestroyHandle(stereo_handle);                // device destructor
//
// `nvapi_initialize` runs on the main thread before the renderer starts; the entries may then
// be called from any thread (each resolves its id once, under a lock).

#include "foundation/types.h"

#include <cstdint>

namespace tallow {
class IUnknown;
}

namespace tallow::render::d3d11 {

/// Status of every entry: 0 is success.
constexpr i32 nvapi_ok = 0;
constexpr i32 nvapi_error = -1;           // the library is there but did not start
constexpr i32 nvapi_library_not_found = -2;
constexpr i32 nvapi_not_available = -3;   // no library, or it lacks the entry

/// The driver's stereo handle for one device; pointer-sized, 0 = none.
using StereoHandle = std::uintptr_t;

/// Interface ids of the entries.
constexpr u32 nvapi_id_initialize = 0x0150E828;
constexpr u32 nvapi_id_stereo_is_enabled = 0x348FF8E1;
constexpr u32 nvapi_id_stereo_create_handle_from_iunknown = 0xAC7E37F4;
constexpr u32 nvapi_id_stereo_destroy_handle = 0x3A153134;
constexpr u32 nvapi_id_stereo_is_activated = 0x1FB0BC30;
constexpr u32 nvapi_id_stereo_get_separation = 0x451F2134;
constexpr u32 nvapi_id_stereo_get_convergence = 0x4AB00934;
constexpr u32 nvapi_id_stereo_get_eye_separation = 0xCE653127;

/// Loads the library (once loaded, it stays) and starts it: nvapi_ok, nvapi_library_not_found
/// when it cannot be loaded, nvapi_error when it lacks "nvapi_QueryInterface" or its
/// initialise entry, or that entry fails (the library is then unloaded).
i32 nvapi_initialize();

/// Stereo entries, each with the driver entry's own arguments; nvapi_not_available when the
/// library or the entry is missing.
i32 NvAPI_Stereo_IsEnabled(u8 *out_enabled);
i32 NvAPI_Stereo_CreateHandleFromIUnknown(IUnknown *device, StereoHandle *out_handle);
i32 NvAPI_Stereo_DestroyHandle(StereoHandle handle);
i32 NvAPI_Stereo_IsActivated(StereoHandle handle, u8 *out_activated);
i32 NvAPI_Stereo_GetSeparation(StereoHandle handle, f32 *out_separation_percent);
i32 NvAPI_Stereo_GetConvergence(StereoHandle handle, f32 *out_convergence);
i32 NvAPI_Stereo_GetEyeSeparation(StereoHandle handle, f32 *out_eye_separation);

/// The name `nvapi_initialize` loads ("nvapi.dll" unless changed; tests point it at a fake).
/// Call before nvapi_initialize; the text is copied.
void nvapi_set_library_name(const char *name);
/// Unloads the library and forgets every resolved entry, so the next nvapi_initialize
/// starts over. Main thread, with no entry running.
void nvapi_shutdown();
/// True while the library is loaded.
bool nvapi_is_loaded();
/// Times a load of the library was attempted since the start (or the last nvapi_shutdown).
u32 nvapi_load_attempts();

} // namespace tallow::render::d3d11
