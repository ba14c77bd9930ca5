#pragma once
// The lighting library (case, keyboard and speaker lights), loaded by name when it is
// installed. Absent by default: nothing is sent anywhere then.
//
//   LightFxLibrary lib;
//   if (load_lightfx_library("liblightfx_64.so", lib)) { lib.initialize(); ...; free_lightfx_library(lib); }
//
// The twelve entry points are looked up by their names (`lightfx_entry_names`); a library
// missing any of them is not used. Result codes: 0 success, 3 "no devices"; the rest are
// the library's. Main thread only.

#include "foundation/types.h"

namespace tallow::platform {

constexpr u32 lightfx_success = 0;
constexpr u32 lightfx_no_devices = 3;

/// A light's place in the location cube, each coordinate 0..100 per cent.
struct LightFxPosition {
    u8 x, y, z;
};

struct LightFxColor {
    u8 red, green, blue, brightness;
};

struct LightFxLibrary {
    void *handle = nullptr;
    u32 (*initialize)() = nullptr;
    u32 (*release)() = nullptr;
    u32 (*reset)() = nullptr;
    u32 (*update)() = nullptr;
    u32 (*get_num_devices)(u32 *out_count) = nullptr;
    u32 (*get_device_description)(u32 device, char *out_text, u32 text_size, u8 *out_type) = nullptr;
    u32 (*get_num_lights)(u32 device, u32 *out_count) = nullptr;
    u32 (*set_light_color)(u32 device, u32 light, const LightFxColor *color) = nullptr;
    u32 (*get_light_color)(u32 device, u32 light, LightFxColor *out_color) = nullptr;
    u32 (*get_light_description)(u32 device, u32 light, char *out_text, u32 text_size) = nullptr;
    u32 (*get_light_location)(u32 device, u32 light, LightFxPosition *out_position) = nullptr;
    /// Sets every light at the locations of the 27-bit mask to a packed colour
    /// (brightness, red, green, blue from the top byte down).
    u32 (*light)(u32 location_mask, u32 color) = nullptr;
};

/// The entry names, in the order of the members above.
extern const char *const lightfx_entry_names[12];

enum class LightFxLoad : u8 {
    loaded,
    not_found,       // no library of that name
    missing_entries, // found but incomplete; already unloaded
};
const char *to_string(LightFxLoad result);

/// Loads the library and resolves all twelve entries into `out`.
[[nodiscard]] LightFxLoad load_lightfx_library(const char *name, LightFxLibrary &out);
/// Unloads the library and clears `library`.
void free_lightfx_library(LightFxLibrary &library);

} // namespace tallow::platform
