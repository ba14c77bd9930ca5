#pragma once
// Path helpers over UTF-8 text. Both `\` and `/` separate components on input; new
// paths are joined with `path_separator`, the separator of the host's file system
// (`\` on Windows, `/` elsewhere), so joined paths can be opened directly.
//
//   DynamicString settings(allocator);
//   path_join(data_directory, "settings.ini", settings);
//
// Outputs are written with the output string's own allocator; an output may be the
// same string as the input.

#include "foundation/containers/array.h"
#include "foundation/strings/dynamic_string.h"

namespace tallow {

#ifdef _WIN32
constexpr char path_separator = '\\';
#else
constexpr char path_separator = '/';
#endif

/// True for `\` and `/`.
constexpr bool is_path_separator(char c) { return c == '\\' || c == '/'; }

/// directory + separator + name; an empty directory gives the name and an empty name the
/// directory unchanged (no separator added), and a directory that already ends in a
/// separator gets no second one.
void path_join(const char *directory, const char *name, DynamicString &out);
/// Joins a name taken from data (where `\` and `/` both separate) to a host directory:
/// as path_join, with every separator of `name` written as `path_separator`.
void path_join_data_name(const char *directory, const char *name, DynamicString &out);
/// The part after the last separator (empty when the path ends in one); the whole path
/// when there is no separator.
void path_file_name(const char *path, DynamicString &out);
/// The part before the last separator; empty when there is none.
void path_directory(const char *path, DynamicString &out);
/// Replaces the array's contents with the components of `path` in order: a\b/c gives
/// a, b and c. Empty components between adjacent separators or behind a trailing one are
/// kept; a leading separator adds none. An empty path gives none.
void path_components(const char *path, Array<DynamicString> &out_components);

} // namespace tallow
