#include "foundation/strings/command_line.h"

#include "foundation/log.h"

#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace tallow {

void split_argument_block(const char *block, u64 size_bytes, Array<DynamicString> &out_arguments)
{
    u64 start = 0;
    while (start < size_bytes) {
        const void *zero = memchr(block + start, 0, size_bytes - start);
        u64 end = zero ? u64(static_cast<const char *>(zero) - block) : size_bytes;
        u64 n = end - start;
        out_arguments.push_back(DynamicString(block + start, n < 0xFFFFFFFFull ? u32(n) : 0xFFFFFFFFu, out_arguments.allocator()));
        start = end + 1;
    }
}

bool command_line_arguments(Array<DynamicString> &out_arguments)
{
    // The kernel keeps the arguments exactly as exec received them, zero-separated.
    FILE *f = fopen("/proc/self/cmdline", "rb");
    if (!f) {
        log_message("command_line", "cannot read /proc/self/cmdline; no arguments");
        return false;
    }
    Array<char> bytes(out_arguments.allocator());
    char chunk[4096];
    for (;;) {
        size_t n = fread(chunk, 1, sizeof chunk, f);
        if (n == 0)
            break;
        u32 at = bytes.size();
        bytes.resize(at + u32(n));
        if (bytes.size() != at + n) {
            fclose(f);
            log_message("command_line", "out of memory reading the command line (%u bytes)", at);
            return false;
        }
        memcpy(bytes.data() + at, chunk, n);
    }
    fclose(f);
    split_argument_block(bytes.data(), bytes.size(), out_arguments);
    return true;
}

bool open_url_in_browser(const char *url)
{
    if (!url || !(starts_with(url, "http://") || starts_with(url, "https://")))
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
        log_message("command_line", "cannot start a shell to open %s", url);
        return false;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return true;
}

} // namespace tallow
