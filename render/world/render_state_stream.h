#pragma once
// A growable byte stream of state records: the create, update and destroy streams of a
// RenderStateQueue and the change records of the world's reflection batches.
//
//   RenderStateStream stream(allocator, 1024);
//   SceneGraphChangeHeader header = {...};
//   stream.write(0, header);                       // one record: kind 0, 16-byte payload
//   ...                                            // (render thread, after the hand-over)
//   RenderStateStream::Record record;
//   for (u32 at = stream.first_record(); stream.read(at, record);)
//       apply(record.kind, record.payload, record.payload_bytes);
//
// The bytes are a CommandBuffer's: each record is a CommandHeader {kind, size, payload
// offset}, padding to 4 and the payload; the next record starts at the record's start +
// size, rounded up to 4. Payloads are only 4-aligned: read multi-word fields with memcpy.
//
// One writer at a time; a stream is handed to its reader whole (through a message), so
// no locking. Growth (2 x capacity + 10, or the needed size when larger) may move the
// bytes: keep offsets, never payload pointers, across an append. Reading checks every
// header against what was written (CommandCursor), so a damaged stream ends the walk with
// a log line.

#include "render/commands/command_buffer.h"

#include <cstring>
#include <type_traits>

namespace tallow {

class RenderStateStream {
  public:
    struct Record {
        u32 kind;
        const u8 *payload; // 4-aligned; valid until the stream is written to again
        u32 payload_bytes;
    };

    /// Bytes come from `allocator`, which must outlive the stream. `initial_capacity` may
    /// be 0 (the first write allocates).
    explicit RenderStateStream(Allocator &allocator, u32 initial_capacity = 0)
        : _buffer(allocator, initial_capacity), _allocator(&allocator)
    {
    }

    /// Appends a record of `kind` with room for `payload_bytes` and returns its payload
    /// (4-aligned, zeroed), valid until the next append. Null when the stream cannot grow
    /// (logged); the stream then holds what it held before.
    void *append(u32 kind, u32 payload_bytes);
    /// Appends a record holding a copy of `payload`; false when the stream cannot grow.
    bool write(u32 kind, const void *payload, u32 payload_bytes) { return _buffer.write(kind, payload, payload_bytes); }
    template <typename T> bool write(u32 kind, const T &payload)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        return write(kind, &payload, sizeof(T));
    }

    /// Bulk writing (CommandBuffer's): room for records totalling `bytes` (each
    /// record_bytes(payload) long, placed with place_record), valid until the next write;
    /// null when the stream cannot grow (logged). commit makes them part of the stream.
    /// Placed payloads are not cleared: the writer fills every byte.
    static constexpr u32 record_bytes(u32 payload_bytes) { return CommandBuffer::record_bytes(payload_bytes); }
    static u8 *place_record(u8 *at, u32 kind, u32 payload_bytes)
    {
        return CommandBuffer::place_record(at, kind, payload_bytes);
    }
    u8 *reserve(u32 bytes) { return _buffer.reserve(bytes); }
    void commit(u32 bytes) { _buffer.commit(bytes); }

    /// Where the first record starts: pass it to `read`.
    u32 first_record() const { return _buffer.start_offset(); }
    /// Reads the record at `cursor` into `out_record` and moves `cursor` to the next one.
    /// False at the end of what was written, or when the header there is damaged (logged).
    bool read(u32 &cursor, Record &out_record) const;

    /// Forgets every record and keeps the capacity.
    void reset() { _buffer.reset(); }
    bool empty() const { return _buffer.is_empty(); }
    /// Bytes written so far (headers, padding and payloads).
    u32 size_bytes() const { return _buffer.write_offset() - _buffer.start_offset(); }
    u32 capacity() const { return _buffer.size_bytes(); }
    /// The first record's bytes, for copying a stream or checking its exact layout.
    const u8 *data() const { return _buffer.data() + _buffer.start_offset(); }
    Allocator &allocator() const { return *_allocator; }

  private:
    CommandBuffer _buffer;
    Allocator *_allocator;
};

} // namespace tallow
