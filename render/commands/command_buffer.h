#pragma once
// A growable byte stream of 4-aligned records {CommandHeader, payload}, addressed by
// offset, and the bounded cursor that reads one back. Render contexts and resource contexts
// write their streams into one; the device reads them.
//
//   CommandBuffer buffer(allocator, 10240);
//   u32 record = 0;
//   if (void *payload = buffer.append(u32(RenderCommand::Clear), sizeof(CommandClear), &record))
//       memcpy(payload, &clear, sizeof clear);
//
//   CommandCursor cursor(buffer.data(), buffer.start_offset(), buffer.write_offset());
//   CommandView command;
//   while (cursor.next(&command)) { ... command.payload, command.payload_size ... }
//   if (cursor.failed()) ... // a record that does not fit the stream: stop reading
//
// Growth may move the bytes, so writers keep offsets, never pointers, across appends.
// Not thread-safe: one writer at a time, and the reader only after the writer is done.

#include "foundation/containers/array.h"
#include "render/commands/render_records.h"

namespace tallow {

class CommandBuffer {
  public:
    /// The buffer starts `initial_size_bytes` long (zeroed), drawing from `allocator`.
    CommandBuffer(Allocator &allocator, u32 initial_size_bytes);

    /// Appends a record of `type` with room for `payload_size` bytes and returns the
    /// payload (valid until the next append), with the record's offset in `out_record`.
    /// Null when the buffer cannot grow (logged); nothing is written then.
    void *append(u32 type, u32 payload_size, u32 *out_record = nullptr);
    /// Appends a record whose payload is `size` bytes copied from `payload`.
    bool write(u32 type, const void *payload, u32 size, u32 *out_record = nullptr);

    // Bulk writing: a writer that knows the size of many records asks for room once,
    // places the records in it and commits them together.
    //
    //   u8 *at = buffer.reserve(CommandBuffer::record_bytes(16) * n);
    //   for (...) { u8 *payload = CommandBuffer::place_record(at, type, 16); ...; at += record_bytes(16); }
    //   buffer.commit(CommandBuffer::record_bytes(16) * n);

    /// Bytes one record with `payload_size` bytes of payload takes, padding included.
    static constexpr u32 record_bytes(u32 payload_size) { return (u32(sizeof(CommandHeader)) + payload_size + 3u) & ~3u; }
    /// Writes the header of a record of `type` with `payload_size` bytes of payload at
    /// `at` (4-aligned, inside reserved room) and returns the payload, which is not cleared.
    static u8 *place_record(u8 *at, u32 type, u32 payload_size);
    /// Room for `bytes` (a multiple of 4) at the write offset, valid until the next append
    /// or reserve; null when the buffer cannot grow (logged). Nothing is written until
    /// commit.
    u8 *reserve(u32 bytes);
    /// Takes `bytes` of the room reserve gave as written records.
    void commit(u32 bytes);

    /// Bytes at `offset` (valid until the next append).
    u8 *at(u32 offset) { return _bytes.data() + offset; }
    const u8 *at(u32 offset) const { return _bytes.data() + offset; }
    const u8 *data() const { return _bytes.data(); }

    u32 write_offset() const { return _write_offset; }
    u32 start_offset() const { return _start_offset; }
    /// Usable length of the byte store (what it can hold without growing).
    u32 size_bytes() const { return _bytes.size(); }
    bool is_empty() const { return _write_offset == _start_offset; }

    /// Puts the write offset back to the start; the store keeps its size.
    void reset();

  private:
    bool ensure(u32 end);

    Array<u8> _bytes;
    u32 _write_offset = 0;
    u32 _start_offset = 0;
};

/// One record as the cursor found it.
struct CommandView {
    u32 type;
    u32 offset;        // of the record in the stream
    u32 size;          // header + payload
    const u8 *payload;
    u32 payload_size;
};

/// Reads records from `begin` to `end` of a stream. A record whose header or payload does
/// not fit, or whose size or payload offset is impossible, stops the cursor and sets
/// failed(); it never reads outside [data + begin, data + end).
class CommandCursor {
  public:
    CommandCursor(const u8 *data, u32 begin, u32 end) : _data(data), _offset(begin), _end(end) {}

    /// Fills `out` with the next record; false at the end or on a bad record.
    bool next(CommandView *out);
    bool failed() const { return _failed; }

  private:
    const u8 *_data;
    u32 _offset;
    u32 _end;
    bool _failed = false;
};

/// Reads a payload struct (or nothing, false, when the payload is shorter).
template <typename T> bool read_payload(const CommandView &view, T *out, u32 at = 0)
{
    if (at > view.payload_size || view.payload_size - at < sizeof(T))
        return false;
    memcpy(out, view.payload + at, sizeof(T));
    return true;
}

} // namespace tallow
