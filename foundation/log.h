#pragma once
// The engine's one logging call: a category and a printf-style format, one line per
// message on stderr as "[category] text". Safe from any thread.
//
//   log_message("resource", "bundle %s truncated at %u bytes", name, size);
//
// Tests may install a capture hook to read what was logged.

#include <cstdarg>

namespace tallow {

/// Writes one line "[category] message" to stderr (and to the capture hook when set).
void log_message(const char *category, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_message_v(const char *category, const char *format, va_list args);

/// Like log_message, but only the first time `key` is given (a hash of what the message is
/// about: the referrer and the name it could not find), so a fault met every spawn or frame
/// is reported once. Past 4096 distinct keys every message is written. Safe from any thread.
void log_message_once(unsigned long long key, const char *category, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/// Receives every message after formatting; called under the log lock, so it must not log.
using LogCapture = void (*)(void *user, const char *category, const char *message);

/// Installs (or with null removes) the capture hook. `echo` keeps stderr output on.
void set_log_capture(LogCapture capture, void *user, bool echo = true);

} // namespace tallow
