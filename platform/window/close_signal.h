#pragma once
// SIGINT and SIGTERM as a close request: the first such signal is remembered and the window
// layer delivers it as WM_CLOSE at the next message pump, so Ctrl-C ends the program through
// its orderly shutdown. A second signal, before or after the pump took the request, ends the
// process at once with the signal's default action (so Ctrl-C twice stops a stuck script).

namespace tallow::platform {

/// Installs the handlers for SIGINT and SIGTERM. Main thread, before other threads start.
void install_close_signal_handlers();
/// Restores the default actions.
void uninstall_close_signal_handlers();
/// Returns true once per received close signal (consumes it). Safe from any thread.
bool take_close_signal();

} // namespace tallow::platform
