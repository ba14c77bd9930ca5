#include "script/runtime/value_text.h"

#include <cstdio>
#include <cstring>

namespace tallow {

void append_text(TextBuffer &out, const char *text)
{
    u32 room = u32(sizeof(out.data)) - 1 - out.length;
    u32 n = u32(std::strlen(text));
    if (n > room)
        n = room;
    std::memcpy(out.data + out.length, text, n);
    out.length += n;
    out.data[out.length] = '\0';
}

void append_float(TextBuffer &out, f32 value)
{
    // What a standard stream prints for a float with its default precision.
    char number[32];
    std::snprintf(number, sizeof(number), "%g", double(value));
    append_text(out, number);
}

void append_floats(TextBuffer &out, const f32 *values, u32 count)
{
    for (u32 i = 0; i < count; ++i) {
        if (i > 0)
            append_text(out, ", ");
        append_float(out, values[i]);
    }
}

void append_vector3(TextBuffer &out, const f32 *v, const char *open, const char *close)
{
    append_text(out, open);
    append_floats(out, v, 3);
    append_text(out, close);
}

void append_quaternion(TextBuffer &out, const f32 *q, const char *open, const char *close)
{
    append_text(out, open);
    append_floats(out, q, 4);
    append_text(out, close);
}

void append_matrix4x4_rows(TextBuffer &out, const f32 *m16)
{
    const char *const heads[] = {"x = [", "y = [", "z = [", "t = ["};
    for (u32 row = 0; row < 4; ++row) {
        append_text(out, heads[row]);
        append_floats(out, m16 + row * 4, 3);
        append_text(out, "]\n");
    }
}

void append_matrix4x4_value(TextBuffer &out, const f32 *m16)
{
    append_text(out, "Matrix4x4(");
    for (u32 row = 0; row < 4; ++row) {
        append_text(out, "    ");
        append_floats(out, m16 + row * 4, 3);
        append_text(out, row < 3 ? ",\n" : "\n");
    }
    append_text(out, ")");
}

} // namespace tallow
