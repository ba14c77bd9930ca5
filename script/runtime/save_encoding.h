#pragma once
// The binary encoding of one script value, as save files and cloud files hold it.
//
//   OutputArchive archive(make_shared_reference<MemoryOutputBuffer>(allocator, allocator));
//   lua_getglobal(L, "progress");
//   if (!write_script_value(L, archive)) { /* nothing usable was written: do not save */ }
//   ...
//   if (read_script_value(bytes, size, L)) { /* the value is on top of the stack */ }
//
// Layout (little-endian). Every tagged value starts at a multiple of 4 counted from the
// start of the encoding; the writer pads with 1 to 3 zero bytes.
//   u32 tag 0  table:   per pair the value, then the key (each tagged); then u32 1, the
//                       end code, directly after the last key (no padding before it)
//   u32 tag 2  number:  f32 (narrowed to single precision)
//   u32 tag 3  string:  u32 length n, then n bytes
//   u32 tag 4  boolean: u32 1 or 0
//   u32 tag 5  Vector3: f32 x, y, z
// Examples: {} is 00000000 01000000; true is 04000000 01000000; 1.5 is 02000000 0000C03F.
//
// Only tables, numbers, strings, booleans and live Vector3 temporaries have an encoding;
// keys must be numbers or strings. The writer refuses the whole value (returns false and
// logs what it met) when anything inside has no encoding, a table contains itself, or
// tables nest deeper than `max_script_value_depth`: a save is never written with a pair
// silently dropped or a key standing where its value should be.
//
// The reader takes untrusted bytes: every field is checked against the end of the block,
// nesting is capped, and an unknown tag, a key that is not a number or string, or a
// truncated block fails the decode with nothing pushed. Decoded Vector3 values are
// temporaries of the state's environment, valid until its next reset. Both run on the
// state's thread, inside a binding or a protected call (Lua may raise out of memory).
#include "foundation/types.h"

struct lua_State;

namespace tallow {

class OutputArchive;

/// Deepest nesting of tables either direction accepts.
constexpr u32 max_script_value_depth = 100;

/// Writes the value on top of the stack to `archive`; the stack is unchanged. False (logged)
/// when the value cannot be encoded or the archive failed; the archive may then hold a
/// partial encoding, which the caller discards.
[[nodiscard]] bool write_script_value(lua_State *L, OutputArchive &archive);

/// Decodes one value from the `size` bytes at `data` (archive position 0 of the encoding)
/// and pushes it. False (logged, nothing pushed) when the bytes are not a valid encoding.
[[nodiscard]] bool read_script_value(const void *data, u64 size, lua_State *L);

} // namespace tallow
