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
// Record layout (positions relative to the stream's first byte, all u32 little-endian as
// the machine writes them): kind, size (header + padding + payload), payload offset
// (12 + padding), 0 to 3 bytes of padding so the payload starts 4-aligned, the payload.
// The next record starts at the previous one's start + size, rounded up to 4. Payloads
// are only 4-aligned: read multi-word fields out with memcpy.
//
// One writer at a time; a stream is handed to its reader whole (through a message), so
// no locking. Growth (2 x capacity + 10, or the needed size when larger) may move the
// bytes: keep offsets, never payload pointers, across an append. Reading checks every
// header against what was written, so a damaged stream ends the walk with a log line.

#include "foundation/memory/allocator.h"
#include "foundation/types.h"

#include <cstring>
#include <type_traits>

namespace tallow {

struct RenderStateRecordHeader {
    u32 kind;           // 0 create (or the update kind of a class-addressed record), 1 destroy
    u32 size;           // bytes from this header to the end of the payload
    u32 payload_offset; // 12 + padding
};
static_assert(sizeof(RenderStateRecordHeader) == 12);

class RenderStateStream {
  public:
    struct Record {
        u32 kind;
        const u8 *payload; // 4-aligned; valid until the stream is written to again
        u32 payload_bytes;
    };

    /// Bytes come from `allocator`, which must outlive the stream. `initial_capacity` may
    /// be 0 (the first write allocates).
    explicit RenderStateStream(Allocator &allocator, u32 initial_capacity = 0);
    RenderStateStream(RenderStateStream &&other) noexcept;
    RenderStateStream &operator=(RenderStateStream &&other) noexcept;
    RenderStateStream(const RenderStateStream &) = delete;
    RenderStateStream &operator=(const RenderStateStream &) = delete;
    ~RenderStateStream();

    /// Appends a record of `kind` with room for `payload_bytes` and returns its payload
    /// (4-aligned, zeroed), valid until the next append. Null when the stream cannot grow
    /// (logged); the stream then holds what it held before.
    void *append(u32 kind, u32 payload_bytes);
    /// Appends a record holding a copy of `payload`; false when the stream cannot grow.
    bool write(u32 kind, const void *payload, u32 payload_bytes);
    template <typename T> bool write(u32 kind, const T &payload)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        return write(kind, &payload, sizeof(T));
    }

    /// Where the first record starts: pass it to `read`.
    u32 first_record() const { return 0; }
    /// Reads the record at `cursor` into `out_record` and moves `cursor` to the next one.
    /// False at the end of what was written, or when the header there is damaged (logged).
    bool read(u32 &cursor, Record &out_record) const;

    /// Forgets every record and keeps the capacity.
    void reset() { _write = 0; }
    bool empty() const { return _write == 0; }
    /// Bytes written so far (headers, padding and payloads).
    u32 size_bytes() const { return _write; }
    u32 capacity() const { return _capacity; }
    /// The written bytes, for copying a stream or checking its exact layout.
    const u8 *data() const { return _data; }
    Allocator &allocator() const { return *_allocator; }

  private:
    bool reserve(u64 needed);

    Allocator *_allocator;
    u8 *_data = nullptr; // 16-aligned, so positions and addresses agree on 4-alignment
    u32 _capacity = 0;
    u32 _write = 0; // next record's start, a multiple of 4
};

} // namespace tallow
