#include "foundation/strings/dynamic_string.h"

#include "foundation/assert.h"
#include "foundation/strings/utf.h"

#include <cstring>

namespace tallow {

const char DynamicString::empty_text[1] = {0};

namespace {
constexpr u32 text_alignment = 4;

u64 measure(const char *text) { return text ? strlen(text) : 0; }
} // namespace

DynamicString::DynamicString(const char *text, Allocator &allocator) : _allocator(&allocator) { set(text); }

DynamicString::DynamicString(const char *text, u32 length, Allocator &allocator) : _allocator(&allocator)
{
    assign_range(text, length);
}

DynamicString::DynamicString(const DynamicString &other, Allocator &allocator) : _allocator(&allocator)
{
    set(other._text);
}

DynamicString::DynamicString(const DynamicString &other) : _allocator(other._allocator)
{
    if (_allocator)
        set(other._text);
    else
        _text = other._text;
}

DynamicString::DynamicString(DynamicString &&other) noexcept : _allocator(other._allocator), _text(other._text)
{
    if (other._allocator)
        other._text = const_cast<char *>(empty_text);
}

DynamicString::~DynamicString() { clear(); }

DynamicString DynamicString::borrowed(const char *text)
{
    DynamicString s;
    if (text)
        s._text = const_cast<char *>(text);
    return s;
}

DynamicString DynamicString::from_wide(const char16_t *wide, Allocator &allocator)
{
    DynamicString s(allocator);
    u64 size = utf16_to_utf8_size(wide);
    if (size <= 1)
        return s;
    char *fresh = static_cast<char *>(allocator.allocate(size, text_alignment));
    if (!fresh)
        return s;
    utf16_to_utf8(wide, fresh, size);
    s._text = fresh;
    return s;
}

DynamicString &DynamicString::operator=(DynamicString &&other) noexcept
{
    if (this == &other)
        return *this;
    // A borrowed string takes over an owning one's text and allocator: borrowing from a
    // string about to die would leave it pointing at freed memory.
    if (other._allocator && (!_allocator || _allocator == other._allocator)) {
        char *taken = other._text;
        other._text = const_cast<char *>(empty_text);
        clear();
        _allocator = other._allocator;
        _text = taken;
    } else {
        assign(other);
    }
    return *this;
}

bool DynamicString::owns_text() const { return _allocator && _text != empty_text; }

u32 DynamicString::length() const { return u32(strlen(_text)); }

bool DynamicString::equals(const char *text) const { return strcmp(_text, text ? text : empty_text) == 0; }

// Every change builds the new text before the old one is freed, so a source that lies
// inside this string (self-assignment, appending a string to itself) stays readable.
void DynamicString::take_buffer(char *fresh)
{
    if (owns_text())
        _allocator->deallocate(_text);
    _text = fresh ? fresh : const_cast<char *>(empty_text);
}

void DynamicString::set_range(const char *text, u64 length)
{
    if (!_allocator) {
        TALLOW_ASSERT(false, "copying into a borrowed string; give it an allocator");
        return;
    }
    if (length == 0) {
        take_buffer(nullptr);
        return;
    }
    char *fresh = static_cast<char *>(_allocator->allocate(length + 1, text_alignment));
    if (!fresh)
        return;
    memcpy(fresh, text, length);
    fresh[length] = 0;
    take_buffer(fresh);
}

void DynamicString::set(const char *text) { set_range(text, measure(text)); }

void DynamicString::assign(const DynamicString &other)
{
    if (this == &other)
        return;
    if (_allocator)
        set(other._text);
    else
        _text = other._text;
}

void DynamicString::assign_range(const char *text, u32 length)
{
    if (!text)
        length = 0;
    set_range(text, length);
}

void DynamicString::clear() { take_buffer(nullptr); }

void DynamicString::resize(u32 n)
{
    if (!_allocator) {
        TALLOW_ASSERT(false, "resizing a borrowed string");
        return;
    }
    if (n == 0) {
        clear();
        return;
    }
    char *fresh = static_cast<char *>(_allocator->allocate(u64(n) + 1, text_alignment));
    if (!fresh)
        return;
    u64 old = strlen(_text);
    u64 keep = old < n ? old : n;
    memcpy(fresh, _text, keep);
    memset(fresh + keep, 0, n + 1 - keep);
    take_buffer(fresh);
}

void DynamicString::append(const char *text)
{
    u64 a = strlen(_text);
    u64 b = measure(text);
    if (b == 0)
        return;
    if (!_allocator) {
        TALLOW_ASSERT(false, "appending to a borrowed string");
        return;
    }
    char *fresh = static_cast<char *>(_allocator->allocate(a + b + 1, text_alignment));
    if (!fresh)
        return;
    memcpy(fresh, _text, a);
    memcpy(fresh + a, text, b);
    fresh[a + b] = 0;
    take_buffer(fresh);
}

void DynamicString::append_char(char c)
{
    char text[2] = {c, 0};
    append(text);
}

void DynamicString::replace(u32 position, u32 count, const char *text)
{
    u64 old = strlen(_text);
    u64 pos = position < old ? position : old;
    u64 cut = count < old - pos ? count : old - pos;
    u64 add = measure(text);
    u64 length = old - cut + add;
    if (!_allocator) {
        TALLOW_ASSERT(false, "replacing in a borrowed string");
        return;
    }
    if (length == 0) {
        clear();
        return;
    }
    char *fresh = static_cast<char *>(_allocator->allocate(length + 1, text_alignment));
    if (!fresh)
        return;
    memcpy(fresh, _text, pos);
    memcpy(fresh + pos, text, add);
    memcpy(fresh + pos + add, _text + pos + cut, old - pos - cut);
    fresh[length] = 0;
    take_buffer(fresh);
}

bool starts_with(const char *text, const char *prefix)
{
    if (!prefix || !prefix[0])
        return true;
    if (!text)
        return false;
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

u32 string_find(const char *text, const char *pattern)
{
    if (!text)
        return string_not_found;
    if (!pattern || !pattern[0])
        return 0;
    const char *hit = strstr(text, pattern);
    if (!hit)
        return string_not_found;
    u64 index = u64(hit - text);
    return index < string_not_found ? u32(index) : string_not_found;
}

u32 path_replace(DynamicString &string, const char *pattern, const char *replacement)
{
    if (!pattern)
        return string_not_found;
    u32 index = string_find(string.c_str(), pattern);
    if (index == string_not_found)
        return index;
    string.replace(index, u32(strlen(pattern)), replacement);
    return index;
}

void split_at(const char *text, const char *separator, DynamicString &before, DynamicString &after)
{
    u32 index = separator ? string_find(text, separator) : string_not_found;
    if (index == string_not_found) {
        before.assign_cstr(text);
        return;
    }
    if (!before.allocator()) {
        TALLOW_ASSERT(false, "split_at needs an owning `before`");
        return;
    }
    // `text` may be the text of `before` or `after`: both pieces are copied out before
    // either string changes.
    const char *tail = text + index + strlen(separator);
    DynamicString head(text, index, *before.allocator());
    if (after.allocator()) {
        DynamicString copy(tail, *after.allocator());
        after = static_cast<DynamicString &&>(copy);
    } else {
        after = DynamicString::borrowed(tail);
    }
    before = static_cast<DynamicString &&>(head);
}

void split_string(const char *text, const char *separator, Array<DynamicString> &out_pieces)
{
    if (!text)
        return;
    u64 step = measure(separator);
    const char *p = text;
    while (*p) {
        const char *hit = step ? strstr(p, separator) : nullptr;
        const char *piece_end = hit ? hit : p + strlen(p);
        if (piece_end > p) {
            u64 n = u64(piece_end - p);
            // Texts longer than 4 GiB do not occur; cut rather than wrap.
            DynamicString piece(p, n < 0xFFFFFFFFull ? u32(n) : 0xFFFFFFFFu, out_pieces.allocator());
            out_pieces.push_back(static_cast<DynamicString &&>(piece));
        }
        if (!hit)
            break;
        p = hit + step;
    }
}

void to_lower(const char *text, DynamicString &out)
{
    u64 n = measure(text);
    if (!out.allocator()) {
        TALLOW_ASSERT(false, "to_lower needs an owning output string");
        return;
    }
    DynamicString lower(text, n < 0xFFFFFFFFull ? u32(n) : 0xFFFFFFFFu, *out.allocator());
    if (char *p = lower.data())
        for (; *p; ++p)
            if (*p >= 'A' && *p <= 'Z')
                *p = char(*p - 'A' + 'a');
    out = static_cast<DynamicString &&>(lower);
}

bool string_consists_of(const char *text, const char *allowed)
{
    if (!text)
        return true;
    const char *set = allowed ? allowed : "";
    for (const char *p = text; *p; ++p)
        if (!strchr(set, *p))
            return false;
    return true;
}

} // namespace tallow
