#pragma once
// Hands a web address to the user's browser (the desktop's opener, xdg-open).
//
//   platform::open_url_in_browser("https://example.org/help");   // any thread
//
// Only "http://" and "https://" addresses are opened; anything else is refused, so a
// script cannot start local programs or open local files this way.

namespace tallow::platform {

/// Opens `url` in the user's browser when it begins with "http://" or "https://";
/// anything else (or null) is ignored. Starts `xdg-open` (found on PATH) with the URL as
/// its only argument, never through a shell, and reaps it on a small thread of its own.
/// Returns whether the opener was started; does not wait for it. Logs when it cannot start.
bool open_url_in_browser(const char *url);

} // namespace tallow::platform
