#include "application/fatal_error.h"

#include <SDL2/SDL.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace tallow {

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

void fatal_error(const char *format, ...)
{
    char message[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);

    char line[4096 + 32];
    int length = snprintf(line, sizeof(line), "Fatal Error! %s\n", message);
    if (length > 0)
        (void)!write(STDERR_FILENO, line, strnlen(line, sizeof(line)));
    if (has_display())
        SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_WARNING, "Fatal Error!", message, nullptr);
    // Other threads may still run: leave without running static destructors under them.
    _Exit(-1);
}

} // namespace tallow
