#pragma once
// The engine's text type: a zero-terminated UTF-8 byte string, optionally owned.
//
//   DynamicString name("boot", allocator);   // owns a copy
//   name.append_char('_');
//   DynamicString view = DynamicString::borrowed("literal");   // wraps, never frees
//
// A string with an allocator owns its text (exactly length + 1 bytes from that
// allocator) and frees it when the text changes or the string dies. A string without
// an allocator borrows its text: assignment copies the pointer, nothing is freed, and
// the editing operations (append, resize, replace) are refused. An empty string points
// at one process-wide static empty text that is never allocated, freed or written.
// There is no length field: every operation measures the text.
//
// Strings are not shared between threads without the owner's lock. An allocation that
// fails leaves the string as it was.

#include "foundation/memory/allocator.h"
#include "foundation/containers/array.h"
#include "foundation/types.h"

namespace tallow {

/// Returned by text searches that find nothing.
constexpr u32 string_not_found = 0xFFFFFFFFu;

class DynamicString {
  public:
    /// An empty borrowed string (no allocator).
    DynamicString() = default;
    /// An empty owning string; later texts are copied with `allocator`.
    explicit DynamicString(Allocator &allocator) : _allocator(&allocator) {}
    /// Copies `text` (null counts as empty) with `allocator`.
    DynamicString(const char *text, Allocator &allocator);
    /// Copies the first `length` bytes of `text` with `allocator` (the copy ends there).
    DynamicString(const char *text, u32 length, Allocator &allocator);
    /// Copies `other`'s text with `allocator`.
    DynamicString(const DynamicString &other, Allocator &allocator);
    /// Copies with `other`'s allocator (a borrowed string stays borrowed).
    DynamicString(const DynamicString &other);
    /// Takes `other`'s text and allocator; `other` is left empty.
    DynamicString(DynamicString &&other) noexcept;
    ~DynamicString();

    /// A string that wraps `text` without copying it; `text` must outlive the string.
    static DynamicString borrowed(const char *text);
    /// Converts UTF-16 text to UTF-8, each unit on its own (see utf16_to_utf8).
    static DynamicString from_wide(const char16_t *wide, Allocator &allocator);

    DynamicString &operator=(const DynamicString &other)
    {
        assign(other);
        return *this;
    }
    /// Takes `other`'s text when both share an allocator or this string has none (it then
    /// takes the allocator too); otherwise copies as `assign`.
    DynamicString &operator=(DynamicString &&other) noexcept;
    /// Copies `text` with this string's allocator, or borrows it when there is none.
    DynamicString &operator=(const char *text)
    {
        if (_allocator)
            set(text);
        else
            _text = const_cast<char *>(text ? text : empty_text);
        return *this;
    }

    /// Takes `other`'s text: copied with this string's allocator, or borrowed when this
    /// string has none. Self-assignment and texts inside this string are safe.
    void assign(const DynamicString &other);
    /// Copies a zero-terminated text with this string's allocator (null: empty).
    void assign_cstr(const char *text) { set(text); }
    /// Copies exactly `length` bytes of `text` (no zero needed in them).
    void assign_range(const char *text, u32 length);
    /// Frees owned text and points at the shared empty text.
    void clear();
    /// Cuts or extends the text to `n` bytes; new bytes are zero, so the length may
    /// read shorter until they are written through `data()`.
    void resize(u32 n);
    void append(const DynamicString &other) { append(other.c_str()); }
    void append(const char *text);
    void append_char(char c);
    /// Replaces `count` bytes at `position` by `text`; both are clamped to the text.
    void replace(u32 position, u32 count, const char *text);

    const char *c_str() const { return _text; }
    /// Writable bytes; null for the shared empty text and for borrowed strings.
    char *data() { return owns_text() ? _text : nullptr; }
    u32 length() const;
    bool empty() const { return _text[0] == 0; }
    Allocator *allocator() const { return _allocator; }
    /// True when the text is an allocation of this string (not the shared empty text).
    bool owns_text() const;

    bool equals(const DynamicString &other) const { return equals(other.c_str()); }
    bool equals(const char *text) const;
    bool operator==(const DynamicString &other) const { return equals(other); }
    bool operator==(const char *text) const { return equals(text); }

  private:
    void set(const char *text);
    void set_range(const char *text, u64 length);
    void take_buffer(char *fresh);

    Allocator *_allocator = nullptr;
    char *_text = const_cast<char *>(empty_text);

    static const char empty_text[1];
};

/// Byte-wise inequality of two strings.
inline bool string_not_equal(const DynamicString &a, const DynamicString &b) { return !a.equals(b); }

/// True when `prefix` is empty or `text` begins with it.
bool starts_with(const char *text, const char *prefix);
/// Index of the first occurrence of `pattern` in `text`, or `string_not_found`.
/// An empty pattern is found at 0.
u32 string_find(const char *text, const char *pattern);
/// Replaces the first occurrence of `pattern` in `string` by `replacement` (an empty
/// pattern occurs at 0). Returns its index, or `string_not_found` leaving the string
/// unchanged.
u32 path_replace(DynamicString &string, const char *pattern, const char *replacement);
/// Cuts `text` at the first `separator`: `before` gets the part before it, `after` the
/// part behind it. When absent, `before` = the whole text and `after` is untouched.
/// `before` must own its text (have an allocator).
void split_at(const char *text, const char *separator, DynamicString &before, DynamicString &after);
/// Appends the non-empty pieces of `text` between occurrences of `separator` to
/// `out_pieces`, in order, made with the array's allocator. Adjacent separators and
/// separators at either end give no empty pieces; an empty separator gives the whole
/// text as one piece.
void split_string(const char *text, const char *separator, Array<DynamicString> &out_pieces);
/// Byte-wise ASCII lower-case copy of `text` into `out` (bytes >= 0x80 kept as they are).
void to_lower(const char *text, DynamicString &out);
/// True when every byte of `text` occurs in `allowed`; true for an empty text.
bool string_consists_of(const char *text, const char *allowed);

} // namespace tallow
