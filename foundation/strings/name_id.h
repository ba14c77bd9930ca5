#pragma once
// Ids of names: resource types and names, script-side ids, record keys.
//
//   constexpr NameId64 unit_type("unit");        // 0xE0A48D0BE9A7453F
//   NameId32 node = NameId32(name, length);      // the upper 32 bits of the same hash
//
// NameId64 is MurmurHash64A of the name's bytes (no terminator) with seed 0; NameId32 is
// its upper word. The empty name hashes to 0, which also means "no name". Plain values,
// safe to copy between threads. Stored ids are read and written as little-endian u64 (low
// word first) field by field; the in-process layout is a plain u64.

#include "foundation/strings/murmur_hash.h"
#include "foundation/types.h"

namespace tallow {

namespace name_id_detail {
constexpr u32 text_length(const char *text)
{
    u32 n = 0;
    if (text)
        while (text[n])
            ++n;
    return n;
}
} // namespace name_id_detail

class NameId64 {
  public:
    /// The empty id (no name).
    constexpr NameId64() = default;
    /// Hashes a zero-terminated name; null hashes like the empty name (0).
    constexpr explicit NameId64(const char *text)
        : _value(text ? murmur_hash_64(text, name_id_detail::text_length(text), 0) : 0)
    {
    }
    /// Hashes `length` bytes of `text` (which need not be zero-terminated).
    constexpr NameId64(const char *text, u32 length) : _value(length ? murmur_hash_64(text, length, 0) : 0) {}
    /// Wraps an id read from data or from a script.
    static constexpr NameId64 from_value(u64 value)
    {
        NameId64 id;
        id._value = value;
        return id;
    }

    constexpr u64 value() const { return _value; }
    constexpr u32 low() const { return u32(_value); }
    constexpr u32 high() const { return u32(_value >> 32); }
    constexpr bool is_empty() const { return _value == 0; }

    constexpr bool operator==(const NameId64 &other) const { return _value == other._value; }
    constexpr bool operator!=(const NameId64 &other) const { return _value != other._value; }
    constexpr bool operator<(const NameId64 &other) const { return _value < other._value; }

  private:
    u64 _value = 0;
};

class NameId32 {
  public:
    constexpr NameId32() = default;
    /// The upper 32 bits of NameId64 of the same text.
    constexpr explicit NameId32(const char *text) : _value(NameId64(text).high()) {}
    constexpr NameId32(const char *text, u32 length) : _value(NameId64(text, length).high()) {}
    constexpr explicit NameId32(NameId64 id) : _value(id.high()) {}
    static constexpr NameId32 from_value(u32 value)
    {
        NameId32 id;
        id._value = value;
        return id;
    }

    constexpr u32 value() const { return _value; }
    constexpr bool is_empty() const { return _value == 0; }

    constexpr bool operator==(const NameId32 &other) const { return _value == other._value; }
    constexpr bool operator!=(const NameId32 &other) const { return _value != other._value; }
    constexpr bool operator<(const NameId32 &other) const { return _value < other._value; }

  private:
    u32 _value = 0;
};

/// The id as the argument of a "%016llx" in a log line.
constexpr unsigned long long hex(NameId64 id) { return (unsigned long long)id.value(); }

static_assert(NameId64("unit").value() == 0xE0A48D0BE9A7453Full);
static_assert(NameId64("").is_empty());

} // namespace tallow
