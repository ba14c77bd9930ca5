#pragma once
// The fatal-error presenter of a program with a display: a message box captioned
// "Fatal Error!". The program registers it with `set_fatal_error_presenter` at start-up.

namespace tallow::platform {

/// Shows `message` in a message box when a display exists (not under SDL's dummy or
/// offscreen video drivers); does nothing otherwise. Blocks until the box is closed.
void show_fatal_message_box(const char *message);

} // namespace tallow::platform
