#include "platform/window/fatal_message_box.h"

#include <SDL2/SDL.h>

#include <cstdlib>
#include <cstring>

namespace tallow::platform {

namespace {

bool has_display()
{
    const char *driver = getenv("SDL_VIDEODRIVER");
    if (driver && (strcmp(driver, "dummy") == 0 || strcmp(driver, "offscreen") == 0))
        return false;
    const char *x11 = getenv("DISPLAY");
    const char *wayland = getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

} // namespace

void show_fatal_message_box(const char *message)
{
    if (has_display())
        SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_WARNING, "Fatal Error!", message, nullptr);
}

} // namespace tallow::platform
