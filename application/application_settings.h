#pragma once
// How the Application reads its settings: the settings file S (flattened, read-only) and the
// user settings U (editable). A U value replaces the S value of the same meaning only when it
// has the required type; a key of the wrong type counts as missing. Reading a U key adds it
// as a nil member when absent (U becomes an object), so after start-up the user keys exist.
//
//   bool vsync = setting_bool(renderer.member("vsync"), user, "vsync", false);
//
// The user's application-data folder ("%APPDATA%" in setting paths) is $XDG_CONFIG_HOME,
// or ~/.config without it. Main thread.

#include "foundation/config/const_config_value.h"
#include "foundation/strings/dynamic_string.h"
#include "foundation/types.h"

namespace tallow {

class ConfigValue;

/// U[`user_key`] when it is a bool, else `s` when it is a bool, else `fallback`. `user` or
/// `user_key` may be null (no U key).
bool setting_bool(ConstConfigValue s, ConfigValue *user, const char *user_key, bool fallback);
/// The same for integers.
i32 setting_integer(ConstConfigValue s, ConfigValue *user, const char *user_key, i32 fallback);
/// The same for floats; an integer is accepted on both sides.
f32 setting_float(ConstConfigValue s, ConfigValue *user, const char *user_key, f32 fallback);
/// Element `index` of the screen resolution: U "screen_resolution"[index] when a number
/// (truncated), else S[index] of the array `s` when an integer, else `fallback`.
i32 setting_resolution(ConstConfigValue s, ConfigValue *user, u32 index, i32 fallback);

/// The user's application-data folder; false when neither $XDG_CONFIG_HOME nor $HOME is
/// set. The folder is not created: writers create the directories of what they write.
bool application_data_folder(DynamicString &out_folder);
/// `path` with every "%APPDATA%" replaced by the application-data folder; false (logged)
/// when the path needs the folder and it is unknown.
bool expand_application_data(const char *path, DynamicString &out_path);
/// The save folder a "save_dir" setting names: "%APPDATA%" expanded, and a relative folder
/// placed under the user's data folder ($XDG_DATA_HOME, or ~/.local/share). False (logged)
/// when a needed folder is unknown.
bool save_directory_path(const char *setting, DynamicString &out_path);

} // namespace tallow
