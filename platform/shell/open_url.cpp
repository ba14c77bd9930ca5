#include "platform/shell/open_url.h"

#include "foundation/log.h"

#include <cstring>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace tallow::platform {

bool open_url_in_browser(const char *url)
{
    if (!url || !(strncmp(url, "http://", 7) == 0 || strncmp(url, "https://", 8) == 0))
        return false;
    // A short-lived shell starts the opener in the background and exits at once, so the
    // caller never waits for the browser and no child is left unreaped. The URL travels
    // as an argument, never as shell text.
    char shell[] = "/bin/sh";
    char dash_c[] = "-c";
    char script[] = "xdg-open \"$1\" >/dev/null 2>&1 &";
    char name[] = "open_url";
    char *argv[] = {shell, dash_c, script, name, const_cast<char *>(url), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, shell, nullptr, nullptr, argv, environ) != 0) {
        log_message("platform", "cannot start a shell to open %s", url);
        return false;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return true;
}

} // namespace tallow::platform
