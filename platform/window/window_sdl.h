#pragma once
// The SDL2 window backend (see IWindowSystem). Headless runs use SDL's "dummy" or "offscreen"
// video driver (SDL_VIDEODRIVER). Window handles are SDL window ids. SDL has no child windows:
// a window with a parent is created top-level, and that is logged.

#include "platform/window/window_system.h"

namespace tallow::platform {

/// Starts SDL's video subsystem; null when it cannot start (logged).
IWindowSystem *create_sdl_window_system(Allocator &allocator);

/// The virtual-key code of an SDL scancode and key symbol (0 when the key has none), and
/// whether the key counts as extended (bit 24 of the key messages' lparam).
u32 sdl_virtual_key(int scancode, int keycode, bool &out_extended);

} // namespace tallow::platform
