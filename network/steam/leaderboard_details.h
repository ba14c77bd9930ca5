#pragma once
// The packed detail values of a leaderboard score: up to 64 fields in at most 256 bytes.
//
//   DetailField format[] = {{detail_uint, 3}, {detail_bool, 0}, {detail_string, 3}};
//   u8 bytes[max_detail_bytes] = {};
//   DetailWriter w(bytes, sizeof(bytes));
//   w.write_bits(5, 3); w.write_bits(1, 1); w.write_bits('a', 8); ...   // B1 62 60 00
//
// Bit order: each byte is filled from its most significant bit down; a value is written
// least significant part first (of the bits that still fit into the current byte, the
// value's lowest ones go into the highest free positions). Reading takes the same path
// back and assembles the chunks from the least significant end. Stored scores keep these
// bytes, so the order never changes.
//
// Field types: 0 boolean (1 bit), 1 number (32 bits of an IEEE single), 2 signed integer
// and 3 unsigned integer (`bits` 1..32 wide), 4 string (`bits` bytes, 1..256, the text's
// bytes and zeros after it). A format is refused when it has more than 64 fields, a width
// outside those ranges, an unknown type, or more than 256 bytes in all.

#include "foundation/types.h"

namespace tallow::network::steam {

constexpr u32 detail_bool = 0, detail_number = 1, detail_int = 2, detail_uint = 3, detail_string = 4;
constexpr u32 max_detail_fields = 64;
constexpr u32 max_detail_bytes = 256;

struct DetailField {
    u32 type;
    u32 bits; // width for integers, byte count for strings, unused otherwise
};
static_assert(sizeof(DetailField) == 8);

/// Bits the field takes; 0 for an invalid field.
u32 detail_field_bits(const DetailField &field);
/// Null when the format is valid, else why not.
const char *check_detail_format(const DetailField *fields, u32 count);

class DetailWriter {
  public:
    DetailWriter(u8 *out, u32 capacity) : _out(out), _capacity(capacity) {}
    /// Writes the low `bits` (0..32) bits of `value`; false when they do not fit.
    bool write_bits(u32 value, u32 bits);
    u32 size_bytes() const { return (_bit + 7) / 8; }

  private:
    u8 *_out;
    u32 _capacity;
    u32 _bit = 0;
};

class DetailReader {
  public:
    /// Reads never go past `size` bytes.
    DetailReader(const u8 *bytes, u32 size) : _bytes(bytes), _size(size) {}
    /// False (and 0) when fewer than `bits` bits remain.
    bool read_bits(u32 bits, u32 *out_value);

  private:
    const u8 *_bytes;
    u32 _size;
    u32 _bit = 0;
};

} // namespace tallow::network::steam
