#include "platform/input/lightfx_library.h"

#include <dlfcn.h>

namespace tallow::platform {

const char *const lightfx_entry_names[12] = {
    "LFX_Initialize",   "LFX_Release",       "LFX_Reset",        "LFX_Update",
    "LFX_GetNumDevices", "LFX_GetDeviceDescription", "LFX_GetNumLights", "LFX_SetLightColor",
    "LFX_GetLightColor", "LFX_GetLightDescription",  "LFX_GetLightLocation", "LFX_Light",
};

const char *to_string(LightFxLoad result)
{
    switch (result) {
    case LightFxLoad::loaded: return "loaded";
    case LightFxLoad::not_found: return "not found";
    case LightFxLoad::missing_entries: return "missing entries";
    }
    return "?";
}

LightFxLoad load_lightfx_library(const char *name, LightFxLibrary &out)
{
    out = {};
    void *handle = name && *name ? dlopen(name, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (!handle)
        return LightFxLoad::not_found;
    void *entries[12];
    for (u32 i = 0; i < 12; ++i) {
        entries[i] = dlsym(handle, lightfx_entry_names[i]);
        if (!entries[i]) {
            dlclose(handle);
            return LightFxLoad::missing_entries;
        }
    }
    out.handle = handle;
    out.initialize = reinterpret_cast<decltype(out.initialize)>(entries[0]);
    out.release = reinterpret_cast<decltype(out.release)>(entries[1]);
    out.reset = reinterpret_cast<decltype(out.reset)>(entries[2]);
    out.update = reinterpret_cast<decltype(out.update)>(entries[3]);
    out.get_num_devices = reinterpret_cast<decltype(out.get_num_devices)>(entries[4]);
    out.get_device_description = reinterpret_cast<decltype(out.get_device_description)>(entries[5]);
    out.get_num_lights = reinterpret_cast<decltype(out.get_num_lights)>(entries[6]);
    out.set_light_color = reinterpret_cast<decltype(out.set_light_color)>(entries[7]);
    out.get_light_color = reinterpret_cast<decltype(out.get_light_color)>(entries[8]);
    out.get_light_description = reinterpret_cast<decltype(out.get_light_description)>(entries[9]);
    out.get_light_location = reinterpret_cast<decltype(out.get_light_location)>(entries[10]);
    out.light = reinterpret_cast<decltype(out.light)>(entries[11]);
    return LightFxLoad::loaded;
}

void free_lightfx_library(LightFxLibrary &library)
{
    if (library.handle) dlclose(library.handle);
    library = {};
}

} // namespace tallow::platform
