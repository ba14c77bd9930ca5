#pragma once
// Least-significant-bit-first bit packing over caller-owned memory, for datagrams, game
// messages, replicated fields and call arguments.
//
//   u8 bytes[1200];
//   BitWriter writer(bytes, sizeof(bytes));
//   writer.write_bits(sequence, 10);   // value bits go out lowest first
//   writer.write_bits(length, 12);
//   writer.write_u16(stamp);           // whole values flush the partial byte first
//   if (writer.has_overflowed()) ...   // nothing past the capacity was written
//   send(bytes, writer.size_bytes());
//
//   BitReader reader(bytes, size);
//   u32 sequence = reader.read_bits(10);
//   ...
//   if (reader.has_overflowed()) drop the message;
//
// The writer keeps a partial byte filled from its lowest free bit; a byte is appended
// once it holds 8 bits, and `flush` appends a partial byte with its high bits zero. The
// reader hands out bits from the lowest remaining bit of the current byte. A value of n
// bits is read back with its first bits as its least significant ones.
//
// Whole u8/u16/u32/u64 values and byte runs sit at the byte cursor, little-endian: the
// writer flushes its partial byte first and the reader drops the rest of its current byte.
//
// The writer may use the bytes of its capacity past its cursor as scratch (they are
// rewritten by later writes); it never touches memory past its capacity.
//
// An operation that does not fit sets the overflow flag and does nothing; every later
// operation on a flagged writer or reader does nothing too (reads return 0). Neither
// class owns its memory or allocates; both are for one thread at a time.

#include "foundation/types.h"

namespace tallow::network {

class BitWriter {
  public:
    /// Writes into `buffer` (at most `capacity_bytes`), which must outlive the writer.
    BitWriter(u8 *buffer, u32 capacity_bytes) : _start(buffer), _capacity(capacity_bytes) {}

    /// Appends the low `bit_count` bits of `value` (1 to 32; 0 writes nothing). Room is
    /// needed for every byte the bits touch, the partial one included.
    void write_bits(u32 value, u32 bit_count);
    /// Appends the partial byte, if any, with its unused high bits zero.
    void flush();

    /// Byte-aligned little-endian values (after an implicit flush).
    void write_u8(u8 value) { write_bytes(&value, 1); }
    void write_u16(u16 value);
    void write_u32(u32 value);
    void write_u64(u64 value);
    /// Copies `size` bytes at the byte cursor (after an implicit flush).
    void write_bytes(const void *bytes, u32 size);

    /// Whole bytes written so far (a partial byte counts once flushed).
    u32 size_bytes() const { return _cursor; }
    /// Bits written so far, the partial byte's included.
    u64 size_bits() const { return u64(_cursor) * 8 + _bit_count; }
    u32 capacity_bytes() const { return _capacity; }
    bool has_overflowed() const { return _overflow; }
    const u8 *data() const { return _start; }

  private:
    u8 *_start;
    u32 _cursor = 0;   // bytes appended
    u32 _capacity;     // bytes available at _start
    u32 _partial = 0;  // bits not yet appended, in the low _bit_count bits
    u32 _bit_count = 0; // 0..7
    bool _overflow = false;
};

class BitReader {
  public:
    /// Reads `size_bytes` bytes at `data`, which must outlive the reader.
    BitReader(const u8 *data, u32 size_bytes) : _start(data), _size(size_bytes) {}

    /// The next `bit_count` bits (1 to 32) as a value; 0 when they are not there (the
    /// overflow flag is then set and nothing is consumed).
    u32 read_bits(u32 bit_count);
    /// Drops the unread bits of the current byte.
    void align()
    {
        _partial = 0;
        _bit_count = 0;
    }

    /// Byte-aligned little-endian values (after an implicit align); 0 on overflow.
    u8 read_u8();
    u16 read_u16();
    u32 read_u32();
    u64 read_u64();
    /// Copies `size` bytes from the byte cursor into `out` (after an implicit align);
    /// false, with the flag set and `out` untouched, when they are not there.
    bool read_bytes(void *out, u32 size);
    /// Moves the byte cursor `size` bytes on (after an implicit align).
    bool skip_bytes(u32 size);

    /// The byte cursor: the first byte no read has fetched.
    const u8 *cursor() const { return _start + _cursor; }
    /// Bytes after the byte cursor (the current byte's unread bits not counted).
    u32 remaining_bytes() const { return _size - _cursor; }
    /// Unread bits, the current byte's included.
    u64 remaining_bits() const { return u64(_size - _cursor) * 8 + _bit_count; }
    bool has_overflowed() const { return _overflow; }

  private:
    bool take_bytes(u32 size); // aligns, checks and claims `size` bytes at the cursor

    const u8 *_start;
    u32 _cursor = 0;    // bytes fetched
    u32 _size;
    u32 _partial = 0;   // unread bits of the current byte, lowest first
    u32 _bit_count = 0; // 0..7
    bool _overflow = false;
};

} // namespace tallow::network
