#pragma once
// Read-only config values inside a flat config blob.
//
//   ConstConfigValue settings = ConstConfigValue::root(blob, blob_size);
//   ConstConfigValue win32 = settings.member("win32");
//   i32 adapter = win32.member("renderer").member("adapter_index").to_integer();
//
// A handle is {blob, blob size, kind, payload}. The blob keeps the stored byte layout
// for ever: every reference in it is a byte offset from the blob's start, resolved when
// it is read, so the same bytes work on any machine. Blob records (4-byte aligned,
// little-endian u32/i32 fields):
//   root   at offset 0: kind, payload
//   array  element kind, count, count payloads (all elements share the kind)
//   object count, then count entries {key text offset, kind, payload}, keys ascending
//   text   zero-terminated UTF-8
// Kinds: 0 nil, 1 bool (payload's low byte), 2 integer (i32), 3 float (f32 bits),
// 4 string (text offset), 5 array (record offset), 6 object (record offset).
//
// Reads never fail: a missing key, an index out of range, a value of another kind and
// any reference that does not fit inside the blob read as nil (numbers 0, text ""). No
// read goes outside the blob, whatever its bytes. Handles are plain values; blobs are
// immutable, so any thread may read them.

#include "foundation/types.h"

namespace tallow {

enum class ConstConfigKind : u32 { Nil = 0, Bool = 1, Integer = 2, Float = 3, String = 4, Array = 5, Object = 6 };

/// "nil", "bool", "integer", "float", "string", "array", "object".
const char *to_string(ConstConfigKind kind);

class ConstConfigValue {
  public:
    /// Nil.
    ConstConfigValue() = default;
    /// The root value of a blob of `size_bytes` bytes (nil when shorter than 8).
    static ConstConfigValue root(const void *blob, u64 size_bytes);

    ConstConfigKind kind() const { return _kind; }
    bool is_nil() const { return _kind == ConstConfigKind::Nil; }
    /// The raw payload: a scalar's bits or a record offset.
    u32 payload() const { return _payload; }
    const void *blob() const { return _blob; }
    u64 blob_size() const { return _size; }

    /// Kind bool: the payload's low byte is not 0. Otherwise false.
    bool to_bool() const;
    /// Kind integer: its value. Otherwise 0.
    i32 to_integer() const;
    /// Kind float: its value; kind integer: converted (the config text stores 2.0 as 2).
    /// Otherwise 0.
    f32 to_float() const;
    /// Kind string: its text. Otherwise (or when the text is not inside the blob) "".
    const char *to_string() const;

    /// Members of an object or elements of an array; 0 for other kinds.
    i32 count() const;
    /// Object: the member of `key` (byte-wise compare, linear search); otherwise nil.
    ConstConfigValue member(const char *key) const;
    /// Object and 0 <= i < count: the i-th member, its key in `*out_key` when not null;
    /// otherwise nil (and the key "").
    ConstConfigValue member_at(i32 i, const char **out_key = nullptr) const;
    /// Array and 0 <= i < count: {the array's element kind, payload i}; otherwise nil.
    ConstConfigValue element(i32 i) const;

  private:
    ConstConfigValue(const u8 *blob, u64 size, u32 kind, u32 payload);
    bool read_u32(u64 offset, u32 &out) const;
    /// The record at the payload with `header` bytes and `count` items of `item` bytes
    /// fits in the blob: returns the count, or -1.
    i32 record_count(u64 count_offset, u64 header, u64 item) const;
    const char *text_at(u32 offset) const;

    const u8 *_blob = nullptr;
    u64 _size = 0;
    ConstConfigKind _kind = ConstConfigKind::Nil;
    u32 _payload = 0;
};

} // namespace tallow
