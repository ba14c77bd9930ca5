#pragma once
// Texts of engine values as scripts see them: numbers as 32-bit floats in general
// notation with six significant digits ("1.5", "1e+06"), vectors, quaternions and
// matrices. Shared by the math tables' `to_string` functions and the global `tostring`.
//
//   TextBuffer text;
//   append_vector3(text, v, "(", ")");    // "(1, 2, 3)"
//   lua_pushlstring(L, text.data, text.length);
//
// Plain functions on a caller's buffer; reentrant, no allocation.

#include "foundation/types.h"

namespace tallow {

/// A fixed buffer the text functions append to; text past the end is cut (the buffer is
/// sized for the longest engine value text).
struct TextBuffer {
    char data[512];
    u32 length = 0;
};

void append_text(TextBuffer &out, const char *text);
/// The number as a 32-bit float in general notation, six significant digits.
void append_float(TextBuffer &out, f32 value);
/// `count` floats separated by ", ".
void append_floats(TextBuffer &out, const f32 *values, u32 count);
/// open + "x, y, z" + close.
void append_vector3(TextBuffer &out, const f32 *v, const char *open, const char *close);
/// open + "x, y, z, w" + close.
void append_quaternion(TextBuffer &out, const f32 *q, const char *open, const char *close);
/// The `Matrix4x4.to_string` text: "x = [a, b, c]\n" for the rows x, y, z and t.
void append_matrix4x4_rows(TextBuffer &out, const f32 *m16);
/// The `tostring` text: "Matrix4x4(" then "    a, b, c" per row, rows ended by ",\n"
/// (the last by "\n"), then ")".
void append_matrix4x4_value(TextBuffer &out, const f32 *m16);

} // namespace tallow
