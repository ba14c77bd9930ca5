#pragma once
// The one orderly stop with a message: the message goes to stderr and, where a display
// exists, into a message box captioned "Fatal Error!"; then the process ends with exit
// code -1 (seen as 255 by the shell). Safe from any thread; does not return.
//
//   fatal_error("Requires a graphics card that supports at least feature level: %s", level);

namespace tallow {

/// Formats the message printf-style (at most 4095 bytes are kept) and ends the process.
[[noreturn]] void fatal_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace tallow
