#pragma once
// A bounded little-endian cursor over bytes in memory, for the resource formats that are
// read whole (the loose-file database, the "package" and "mouse_cursor" resources).
//
//   ByteReader in(data, size);
//   u32 count = 0;
//   if (!in.read_u32(count) || !in.has(u64(count) * 16)) return fail();
//
// Every read checks what is left; a failed read leaves the cursor where it was and makes
// `ok` false for good, so a parser can read a whole record and test once.

#include "foundation/io/little_endian.h"
#include "foundation/types.h"

#include <cstring>

namespace tallow {

class ByteReader {
  public:
    ByteReader(const void *data, u64 size) : _data(static_cast<const u8 *>(data)), _size(data ? size : 0) {}

    u64 left() const { return _size - _position; }
    u64 position() const { return _position; }
    bool ok() const { return _ok; }
    /// True when `n` more bytes are there to read.
    bool has(u64 n) const { return n <= left(); }

    bool read_bytes(void *out, u64 n)
    {
        if (!_ok || !has(n)) {
            _ok = false;
            return false;
        }
        if (n)
            memcpy(out, _data + _position, n);
        _position += n;
        return true;
    }
    bool read_u32(u32 &out)
    {
        u8 b[4];
        if (!read_bytes(b, 4))
            return false;
        out = load_u32_le(b);
        return true;
    }
    bool read_u64(u64 &out)
    {
        u8 b[8];
        if (!read_bytes(b, 8))
            return false;
        out = load_u64_le(b);
        return true;
    }
    bool skip(u64 n)
    {
        if (!_ok || !has(n)) {
            _ok = false;
            return false;
        }
        _position += n;
        return true;
    }
    const u8 *current() const { return _data + _position; }

  private:
    const u8 *_data;
    u64 _size;
    u64 _position = 0;
    bool _ok = true;
};

} // namespace tallow
