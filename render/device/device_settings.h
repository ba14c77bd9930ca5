#pragma once
// The display settings a render device starts with (`RenderDevice::initialize`), read from
// the settings file by the Application and handed down through the render service.

#include "foundation/types.h"

namespace tallow {

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

} // namespace tallow
