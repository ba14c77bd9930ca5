#pragma once
// Conversions between UTF-8 (the engine's only internal encoding) and UTF-16 (the
// encoding of the platform's wide-character interfaces).
//
//   char buffer[4];
//   char *end = utf8_encode(0x20AC, buffer);   // E2 82 AC, end = buffer + 3
//
// UTF-16 units are converted one by one: a surrogate pair becomes two 3-byte
// sequences, and code points above 0xFFFF go to UTF-16 as their low 16 bits. The
// conversions write at most the capacity they are given and always zero-terminate
// (when the capacity is at least one), cutting only between whole sequences.
// All functions are reentrant.

#include "foundation/types.h"

namespace tallow {

/// Code point produced for a byte that starts no valid sequence.
constexpr u32 utf8_replacement = 0xFFFD;

/// Writes `code_point` as 1 to 4 bytes and returns the end; a value above 0x10FFFF
/// writes nothing and returns `out`.
char *utf8_encode(u32 code_point, char *out);

/// Bytes `utf8_encode` writes for `code_point` (0 above 0x10FFFF).
u32 utf8_encoded_size(u32 code_point);

/// Decodes the sequence at `text` and returns where the next one starts. At the
/// terminating zero it returns `text` with code point 0. A lead byte that starts no
/// sequence (10xxxxxx, 11111xxx) or a sequence cut short by a byte that is no
/// continuation (the zero included) gives `utf8_replacement` and advances one byte, so
/// a loop `while (*p) p = utf8_decode(p, &c);` always ends inside the text.
const char *utf8_decode(const char *text, u32 *out_code_point);

/// Bytes needed for `utf16_to_utf8` of `wide`, the terminator included (0 for null).
u64 utf16_to_utf8_size(const char16_t *wide);

/// Converts zero-terminated UTF-16 into `out` (`out_capacity` bytes). Returns `out`,
/// or null when `wide` is null.
char *utf16_to_utf8(const char16_t *wide, char *out, u64 out_capacity);

/// Converts zero-terminated UTF-8 into `out` (`out_capacity` units), each code point
/// stored as its low 16 bits. Returns `out`, or null when `text` is null.
char16_t *utf8_to_utf16(const char *text, char16_t *out, u64 out_capacity);

/// Units needed for `utf8_to_utf16` of `text`, the terminator included (0 for null).
u64 utf8_to_utf16_size(const char *text);

} // namespace tallow
