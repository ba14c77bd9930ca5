#pragma once
// A fixed-size byte ring of variable-size records under a lock, with two events, used as
// a blocking queue between threads (the render message queue, command threads).
//
//   LockedRingBuffer queue(allocator, 10240);
//   writer:  queue.push_wait(&message, sizeof(message));
//   reader:  u32 size;
//            while (queue.try_pop(buffer, sizeof(buffer), &size) == RingResult::Ok) handle(buffer, size);
//            pool.wait_event(queue.data_event());
//
// Records come out whole and in the order they went in. Each record takes
// record_bytes(payload size) of the ring; a record never straddles the end of the block.
// Events: pushing into an empty ring resets the drained event and sets the data event; a
// pop that finds the ring empty resets the data event and sets the drained event. So a
// blocked writer (push_wait) continues only once a reader has emptied the ring completely.
//
// All operations are safe from any thread; the ring must outlive every waiter.

#include "foundation/threads/event.h"
#include "foundation/threads/thread.h"
#include "foundation/types.h"

namespace tallow {

class Allocator;

enum class RingResult : u8 {
    Ok,
    Empty,           // try_pop: nothing to pop
    Full,            // try_push: no room now
    RecordTooLarge,  // the record can never fit this ring (or the ring has no block)
    BufferTooSmall,  // try_pop: the next record is larger than the given buffer; it stays
};
const char *to_string(RingResult result);

class LockedRingBuffer {
  public:
    /// A ring of `capacity_bytes` (rounded up to a multiple of 8) from `allocator`. When the
    /// block cannot be had (logged), every push reports RecordTooLarge.
    LockedRingBuffer(Allocator &allocator, u32 capacity_bytes);
    ~LockedRingBuffer();
    LockedRingBuffer(const LockedRingBuffer &) = delete;
    LockedRingBuffer &operator=(const LockedRingBuffer &) = delete;

    /// Ring bytes one record of `payload_bytes` takes (its header and padding included).
    static constexpr u32 record_bytes(u32 payload_bytes) { return (record_header_bytes + payload_bytes + 7u) & ~7u; }
    /// Capacity that holds `records` records of `payload_bytes` each at once.
    static constexpr u32 capacity_for(u32 records, u32 payload_bytes) { return records * record_bytes(payload_bytes); }

    /// Appends a record of `size_bytes` (0 allowed). Ok, Full, or RecordTooLarge.
    [[nodiscard]] RingResult try_push(const void *data, u32 size_bytes);
    /// Appends a record, waiting on the drained event while the ring is full. Ok, or
    /// RecordTooLarge (logged) for a record larger than the whole ring.
    RingResult push_wait(const void *data, u32 size_bytes);
    /// Copies the oldest record into `out` (up to `out_capacity` bytes) and removes it;
    /// `out_size` gets its size. Empty, or BufferTooSmall (the record stays, `out_size`
    /// gets the size needed).
    [[nodiscard]] RingResult try_pop(void *out, u32 out_capacity, u32 *out_size);
    /// Drops every record, resets the data event and sets the drained event.
    void reset();

    /// Set while the ring holds records (manual reset; tag 1).
    Event &data_event() { return _data_event; }
    /// Set once a reader found the ring empty (manual reset, initially set; tag 0).
    Event &drained_event() { return _drained_event; }

    u32 capacity() const { return _capacity; }
    /// Largest payload a record may have.
    u32 max_record_bytes() const { return _capacity >= record_header_bytes ? _capacity - record_header_bytes : 0; }
    bool is_empty();

  private:
    static constexpr u32 record_header_bytes = 8; // u32 payload size, u32 spare; keeps payloads 8-aligned

    Allocator &_allocator;
    u8 *_block = nullptr;
    u32 _capacity = 0;  // bytes, a multiple of 8
    Mutex _lock;        // guards the positions below
    u32 _read = 0;      // offset of the oldest record
    u32 _write = 0;     // offset where the next record goes
    u32 _used = 0;      // bytes between read and write, wrap padding included
    Event _drained_event{0, true, true};
    Event _data_event{1, true, false};
};

} // namespace tallow
