#include "foundation/strings/utf.h"

namespace tallow {

u32 utf8_encoded_size(u32 c)
{
    if (c < 0x80)
        return 1;
    if (c < 0x800)
        return 2;
    if (c < 0x10000)
        return 3;
    if (c < 0x110000)
        return 4;
    return 0;
}

char *utf8_encode(u32 c, char *out)
{
    switch (utf8_encoded_size(c)) {
    case 1: *out++ = char(c); break;
    case 2:
        *out++ = char(0xC0 | (c >> 6));
        *out++ = char(0x80 | (c & 0x3F));
        break;
    case 3:
        *out++ = char(0xE0 | (c >> 12));
        *out++ = char(0x80 | ((c >> 6) & 0x3F));
        *out++ = char(0x80 | (c & 0x3F));
        break;
    case 4:
        *out++ = char(0xF0 | (c >> 18));
        *out++ = char(0x80 | ((c >> 12) & 0x3F));
        *out++ = char(0x80 | ((c >> 6) & 0x3F));
        *out++ = char(0x80 | (c & 0x3F));
        break;
    default: break;
    }
    return out;
}

const char *utf8_decode(const char *text, u32 *out_code_point)
{
    u8 lead = u8(text[0]);
    u32 extra;
    u32 c;
    if (lead == 0) {
        *out_code_point = 0;
        return text;
    }
    if (lead < 0x80) {
        *out_code_point = lead;
        return text + 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        c = lead & 0x07;
    } else {
        *out_code_point = utf8_replacement;
        return text + 1;
    }
    // Each continuation byte is checked before the next is read, so the terminating
    // zero of a truncated sequence is never stepped over.
    for (u32 i = 1; i <= extra; ++i) {
        u8 b = u8(text[i]);
        if ((b & 0xC0) != 0x80) {
            *out_code_point = utf8_replacement;
            return text + 1;
        }
        c = (c << 6) | (b & 0x3F);
    }
    *out_code_point = c;
    return text + 1 + extra;
}

u64 utf16_to_utf8_size(const char16_t *wide)
{
    if (!wide)
        return 0;
    u64 n = 1;
    for (; *wide; ++wide)
        n += utf8_encoded_size(*wide);
    return n;
}

char *utf16_to_utf8(const char16_t *wide, char *out, u64 out_capacity)
{
    if (!wide)
        return nullptr;
    if (out_capacity == 0)
        return out;
    char *p = out;
    char *limit = out + out_capacity - 1; // room for the terminator
    for (; *wide; ++wide) {
        u32 n = utf8_encoded_size(*wide);
        if (u64(limit - p) < n)
            break;
        p = utf8_encode(*wide, p);
    }
    *p = 0;
    return out;
}

u64 utf8_to_utf16_size(const char *text)
{
    if (!text)
        return 0;
    u64 n = 1;
    u32 c;
    while (*text) {
        text = utf8_decode(text, &c);
        ++n;
    }
    return n;
}

char16_t *utf8_to_utf16(const char *text, char16_t *out, u64 out_capacity)
{
    if (!text)
        return nullptr;
    if (out_capacity == 0)
        return out;
    u64 i = 0;
    u32 c;
    while (*text && i + 1 < out_capacity) {
        text = utf8_decode(text, &c);
        out[i++] = char16_t(c & 0xFFFF);
    }
    out[i] = 0;
    return out;
}

} // namespace tallow
