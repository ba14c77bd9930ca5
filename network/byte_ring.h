#pragma once
// A fixed ring of bytes with 64-bit read and write positions (offset = position modulo
// the capacity; copies wrap at the end), holding the connection's resend and receive
// records. Memory is taken once at creation; nothing allocates afterwards.
//
//   ByteRing ring(allocator, 8192);
//   if (!ring.is_valid()) ...          // the allocator failed
//   const u8 head[8] = {...};
//   ring.write(head, 8, payload, 100); // all or nothing; a miss sets the overflow flag
//   u8 out[8];
//   ring.read_at(ring.read_position(), out, 8);
//   ring.set_read_position(ring.read_position() + 108);
//
// Positions the caller passes must lie between the read and the write position, with
// the bytes it asks for before the write position (asserted; out of range copies
// nothing). Single-threaded.

#include "foundation/memory/allocator.h"
#include "foundation/types.h"

namespace tallow::network {

class ByteRing {
  public:
    ByteRing(Allocator &allocator, u32 capacity_bytes);
    ~ByteRing();
    ByteRing(const ByteRing &) = delete;
    ByteRing &operator=(const ByteRing &) = delete;

    /// False when the memory could not be had; such a ring refuses every write.
    bool is_valid() const { return _data != nullptr; }
    u32 capacity() const { return _capacity; }
    u64 read_position() const { return _read; }
    u64 write_position() const { return _write; }
    u64 used() const { return _write - _read; }
    bool is_empty() const { return _write == _read; }
    bool has_overflowed() const { return _overflow; }
    u64 free_bytes() const { return _capacity - used(); }

    /// Appends `head` then `body` as one record; when both do not fit, sets the overflow
    /// flag and writes nothing. Returns false then.
    bool write(const void *head, u32 head_size, const void *body = nullptr, u32 body_size = 0);
    /// Copies `size` bytes stored at `position` out.
    void read_at(u64 position, void *out, u32 size) const;
    /// Overwrites `size` stored bytes at `position` in place.
    void write_at(u64 position, const void *bytes, u32 size);
    /// Moves the read position on (to at most the write position); bytes behind it are free.
    void set_read_position(u64 position);
    /// Moves the write position back to `position` (between the read and the write
    /// position): the bytes from there on are dropped.
    void truncate(u64 position);

  private:
    bool holds(u64 position, u32 size) const;
    void copy_in(u64 position, const void *bytes, u32 size);

    Allocator &_allocator;
    u8 *_data;
    u32 _capacity;
    u64 _read = 0;
    u64 _write = 0;
    bool _overflow = false;
};

} // namespace tallow::network
