#pragma once
// Reads config text, the format of the settings files, into a `ConfigValue`.
//
//   ConfigValue *settings = create_config_root(allocator);
//   parse_config_text(text, text + size, *settings);
//
// Config text is JSON-like, with an object without braces at the root:
//
//   // comments run to the line end, /* or to their close */
//   boot_package = "resource_packages/boot"
//   win32 = { renderer = { vsync = true, adapter_index = 0 } }
//   "key with spaces" = [ 1, 2.5, -3e2, null ]
//   shader = """long string: no escapes, line breaks kept"""
//
// - Spaces, tabs, line feeds, carriage returns and commas separate tokens anywhere.
// - A bare key is every byte up to a space, tab, line feed or "="; a quoted key is a
//   string. One byte (the "=") follows the key.
// - Strings take the escapes \" \\ \/ \b \f \n \r \t and \uXXXX (UTF-8 encoded, \u0000
//   adds nothing); any other escape is dropped with its backslash.
// - A value is chosen by its first byte: t is true, f false, n nil (4, 5 and 4 bytes are
//   consumed whatever they are). Numbers with no fraction or exponent, and numbers whose
//   fraction and exponent are zero (42.0), are integers; others are floats. A leading 0
//   ends the integer part ("007" is 0 followed by "07"). Fraction digits past the ninth
//   are read and ignored.
// - A repeated key replaces the earlier value. Any other byte where a value is expected
//   gives nil and is skipped.
//
// The parser is lenient and never fails: it takes what it can and stops at the end of
// the range whatever it is in (an open string, comment, array or object ends there).
// Nesting deeper than 200 arrays and objects is cut off (logged) so hostile text cannot
// exhaust the stack. Scratch memory comes from the calling thread's scratch pool.

#include "foundation/config/config_value.h"

namespace tallow {

/// Makes `root` an empty object and parses the members in [begin, end) into it.
void parse_config_text(const char *begin, const char *end, ConfigValue &root);

} // namespace tallow
