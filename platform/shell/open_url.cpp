#include "platform/shell/open_url.h"

#include "foundation/log.h"

#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char **environ;

namespace tallow::platform {

bool open_url_in_browser(const char *url)
{
    if (!url || !(strncmp(url, "http://", 7) == 0 || strncmp(url, "https://", 8) == 0))
        return false;
    // The opener is started directly with the URL as its one argument: no shell ever reads
    // the text. (A URL starting with "http" cannot be taken for an option.)
    char opener[] = "xdg-open";
    char *argv[] = {opener, const_cast<char *>(url), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, opener, nullptr, nullptr, argv, environ) != 0) {
        log_message("platform", "cannot start xdg-open to open %s", url);
        return false;
    }
    // The opener may take a while (it can wait for the browser); the caller does not. A
    // small thread reaps it so no zombie is left.
    std::thread([pid] {
        int status = 0;
        waitpid(pid, &status, 0);
    }).detach();
    return true;
}

} // namespace tallow::platform
