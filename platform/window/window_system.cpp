#include "platform/window/window_system.h"

#include "foundation/memory/allocator.h"
#include "foundation/log.h"
#include "platform/window/window_headless.h"
#include "platform/window/window_sdl.h"

namespace tallow::platform {

IWindowSystem *create_window_system(Allocator &allocator, WindowBackend backend)
{
    if (backend != WindowBackend::headless) {
        if (IWindowSystem *sdl = create_sdl_window_system(allocator))
            return sdl;
        if (backend == WindowBackend::sdl)
            return nullptr;
        log_message("window", "using the headless window system");
    }
    return make_new<HeadlessWindowSystem>(allocator, allocator);
}

void destroy_window_system(Allocator &allocator, IWindowSystem *window_system)
{
    delete_with_allocator(allocator, window_system);
}

} // namespace tallow::platform
