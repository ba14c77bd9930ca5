#pragma once
// Settings files in config text: read whole and parsed, written as text through a temporary
// file that then replaces the old one, so a crash while writing never loses the old file.

#include "foundation/types.h"

namespace tallow {

class ConfigValue;

/// Reads `path` (taken as it is, relative to the working directory when not absolute)
/// whole and parses it into `out_value`. False (logged) when it cannot be read or parsed.
[[nodiscard]] bool read_config_file(const char *path, ConfigValue &out_value);
/// Writes `value` as config text to "<path>.tmp", then renames that over `path`.
/// False (logged) on any failure; the old file is then untouched.
[[nodiscard]] bool write_config_file(const char *path, const ConfigValue &value);

} // namespace tallow
