#include "foundation/fatal_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace tallow {

namespace {

FatalErrorPresenter g_presenter = nullptr;

} // namespace

void set_fatal_error_presenter(FatalErrorPresenter presenter)
{
    g_presenter = presenter;
}

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
    if (g_presenter)
        g_presenter(message);
    // Other threads may still run: leave without running static destructors under them.
    _Exit(-1);
}

} // namespace tallow
