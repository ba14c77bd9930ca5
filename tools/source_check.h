#pragma once
// Strictness shared by the source compilers (unit, level, flow): the config text parser is
// lenient by design (it skips what it cannot read and keeps a misspelled key as a key), so
// the tools check what it gave them against what they understand, and point at the line.
//
//   if (const char *key = unknown_key(node, {"name", "parent", "position"}))
//       return fail(where + ": unknown key '" + key + "'");
//   ...
//   u32 line = source_line_of(text, size, error);   // the line the message's 'name' is on
//
// Tool code: single-threaded, allocates freely.

#include "foundation/types.h"

#include <initializer_list>
#include <string>

namespace tallow {

class ConfigValue;

/// The first member of `object` whose key is not in `known`; null when all are known (or
/// `object` is not an object).
const char *unknown_key(const ConfigValue &object, std::initializer_list<const char *> known);

/// Finds a value the parser could not read (it becomes nil) anywhere below `root`; true with
/// `out_key` set to the member key it sits under (the innermost one).
bool find_unreadable_value(const ConfigValue &root, std::string &out_key);

/// Finds a bare word in value position that config text cannot read as a value (not a
/// number, true, false or null): the parser would skip it, or read it as something else.
/// True with the word and its 1-based line.
bool find_unreadable_word(const char *text, u64 size, std::string &out_word, u32 &out_line);

/// The 1-based line of the first string literal equal to `value` in config text; 0 when none.
/// Comments are skipped.
u32 find_string_line(const char *text, u64 size, const std::string &value);
/// The 1-based line of the first string literal equal to `value` that is the value (or an
/// item of the value) of a member named `key`; any member when `key` is empty; 0 when none.
u32 find_value_line(const char *text, u64 size, const std::string &key, const std::string &value);
/// The 1-based line of the first member key `key` (bare or quoted, followed by "="); 0 when none.
u32 find_key_line(const char *text, u64 size, const std::string &key);

/// The line a compiler's message points at: its first quoted name ('name'), looked up as a
/// string literal first, then as a key; 0 when the message names nothing found in the text.
u32 source_line_of(const char *text, u64 size, const std::string &message);

/// "<line>: <message>" when the message's name is found in the text, else the message as it
/// is; the build then prints "<file>:<line>: <message>".
std::string with_source_line(const char *text, u64 size, const std::string &message);

/// Parses a compiler's source text, refusing what the lenient parser would skip: null with
/// `out_error` ("<line>: '<word>' is not a value config text reads", or "<line>: the value
/// of '<key>' cannot be read") when it holds such a word or value; otherwise the parsed root,
/// which the caller frees with destroy_config_root.
ConfigValue *parse_source_text(const char *text, u64 size, std::string &out_error);

} // namespace tallow
