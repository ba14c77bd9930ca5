#pragma once
// The one orderly stop with a message: the message goes to stderr and, where the program
// registered a presenter (the platform layer's message box captioned "Fatal Error!" when a
// display exists), to the person too; then the process ends with exit code -1 (seen as 255
// by the shell). Safe from any thread; does not return.
//
//   fatal_error("Requires a graphics card that supports at least feature level: %s", level);

namespace tallow {

/// Shows a fatal message to the person running the program; must not return control to the
/// failing code for long (it is called right before the process ends).
using FatalErrorPresenter = void (*)(const char *message);

/// Registers the presenter (null: stderr only). Set once at start-up, before other threads run.
void set_fatal_error_presenter(FatalErrorPresenter presenter);

/// Formats the message printf-style (at most 4095 bytes are kept) and ends the process.
[[noreturn]] void fatal_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace tallow
