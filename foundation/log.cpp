#include "foundation/log.h"
#include "foundation/assert.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace tallow {

namespace {
std::mutex log_lock;
LogCapture log_capture = nullptr;
void *log_capture_user = nullptr;
bool log_echo = true;
} // namespace

void log_message_v(const char *category, const char *format, va_list args)
{
    char text[2048];
    vsnprintf(text, sizeof text, format, args);
    std::lock_guard<std::mutex> guard(log_lock);
    if (log_echo || !log_capture)
        fprintf(stderr, "[%s] %s\n", category ? category : "", text);
    if (log_capture)
        log_capture(log_capture_user, category ? category : "", text);
}

void log_message(const char *category, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    log_message_v(category, format, args);
    va_end(args);
}

void log_message_once(unsigned long long key, const char *category, const char *format, ...)
{
    // Open addressing over a fixed table; 0 marks a free slot, so key 0 is stored as 1.
    static unsigned long long seen[4096];
    key = key ? key : 1;
    {
        std::lock_guard<std::mutex> guard(log_lock);
        unsigned long long slot = (key * 0x9E3779B97F4A7C15ull) >> 52;
        for (unsigned probes = 0; probes < 4096; ++probes, slot = (slot + 1) & 4095) {
            if (seen[slot] == key)
                return;
            if (seen[slot] == 0) {
                seen[slot] = key;
                break;
            }
        }
    }
    va_list args;
    va_start(args, format);
    log_message_v(category, format, args);
    va_end(args);
}

void set_log_capture(LogCapture capture, void *user, bool echo)
{
    std::lock_guard<std::mutex> guard(log_lock);
    log_capture = capture;
    log_capture_user = user;
    log_echo = echo;
}

void assert_failed(const char *condition, const char *message, const char *file, int line)
{
    fprintf(stderr, "[assert] %s:%d: %s %s\n", file, line, condition, message ? message : "");
    fflush(stderr);
    abort();
}

} // namespace tallow
