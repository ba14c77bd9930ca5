#pragma once
// The program's arguments as UTF-8 strings, read from the process itself so the entry
// point needs no argc/argv.
//
//   Array<DynamicString> arguments(allocator);
//   if (!command_line_arguments(arguments)) ...   // arguments[0] is the program path
//
// Arguments of any length are taken whole (there is no fixed conversion buffer).

#include "foundation/containers/array.h"
#include "foundation/strings/dynamic_string.h"

namespace tallow {

/// Appends the process's arguments, program path first, copied with the array's
/// allocator. False (logged) when the command line cannot be read. Main thread.
[[nodiscard]] bool command_line_arguments(Array<DynamicString> &out_arguments);

/// Appends the arguments held in `block`, the platform's form of a command line: each
/// argument followed by a zero byte. A last argument without its zero byte ends at
/// `size_bytes`; nothing outside the block is read.
void split_argument_block(const char *block, u64 size_bytes, Array<DynamicString> &out_arguments);

} // namespace tallow
