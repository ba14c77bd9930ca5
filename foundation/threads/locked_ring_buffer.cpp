#include "foundation/threads/locked_ring_buffer.h"

#include "foundation/memory/allocator.h"
#include "foundation/log.h"

#include <cstring>

namespace tallow {

namespace {
// Header size value of a wrap marker: the rest of the block up to its end is unused and
// the next record starts at offset 0.
constexpr u32 wrap_marker = 0xFFFFFFFFu;
} // namespace

const char *to_string(RingResult result)
{
    switch (result) {
    case RingResult::Ok: return "ok";
    case RingResult::Empty: return "empty";
    case RingResult::Full: return "full";
    case RingResult::RecordTooLarge: return "record too large";
    case RingResult::BufferTooSmall: return "buffer too small";
    }
    return "unknown";
}

LockedRingBuffer::LockedRingBuffer(Allocator &allocator, u32 capacity_bytes) : _allocator(allocator)
{
    const u64 capacity = (u64(capacity_bytes) + 7) & ~u64(7);
    if (capacity == 0 || capacity > 0x7FFFFFF8u) {
        log_message("ring", "ring capacity %u bytes is out of range", capacity_bytes);
        return;
    }
    _block = static_cast<u8 *>(_allocator.allocate(capacity, 8));
    if (!_block) {
        log_message("ring", "out of memory for a ring of %u bytes", capacity_bytes);
        return;
    }
    _capacity = u32(capacity);
}

LockedRingBuffer::~LockedRingBuffer() { _allocator.deallocate(_block); }

bool LockedRingBuffer::is_empty()
{
    ScopedLock guard(_lock);
    return _used == 0;
}

RingResult LockedRingBuffer::try_push(const void *data, u32 size_bytes)
{
    if (_capacity == 0 || u64(size_bytes) + record_header_bytes > _capacity)
        return RingResult::RecordTooLarge;
    const u32 bytes = record_bytes(size_bytes);
    ScopedLock guard(_lock);
    if (_used == 0) {
        // An empty ring starts over at the front, which gives every record the most room.
        _read = _write = 0;
        _drained_event.reset();
        _data_event.set();
    } else if (_write > _read) {
        // Records fill [read, write): room at the tail, else at the front below read.
        const u32 tail = _capacity - _write;
        if (bytes > tail) {
            if (bytes > _read)
                return RingResult::Full;
            // The tail is a multiple of 8 and not 0 (write == capacity wraps at once), so
            // the marker always fits inside the block.
            const u32 marker = wrap_marker;
            memcpy(_block + _write, &marker, sizeof(marker));
            _used += tail;
            _write = 0;
        }
    } else {
        // Records fill [read, capacity) and [0, write): the gap between them is all there is.
        if (bytes > _read - _write)
            return RingResult::Full;
    }
    memcpy(_block + _write, &size_bytes, sizeof(size_bytes));
    if (size_bytes)
        memcpy(_block + _write + record_header_bytes, data, size_bytes);
    _write += bytes;
    _used += bytes;
    if (_write == _capacity)
        _write = 0;
    return RingResult::Ok;
}

RingResult LockedRingBuffer::push_wait(const void *data, u32 size_bytes)
{
    for (;;) {
        const RingResult result = try_push(data, size_bytes);
        if (result == RingResult::Full) {
            _drained_event.wait();
            continue;
        }
        if (result == RingResult::RecordTooLarge)
            log_message("ring", "record of %u bytes can never fit a ring of %u bytes; dropped", size_bytes, _capacity);
        return result;
    }
}

RingResult LockedRingBuffer::try_pop(void *out, u32 out_capacity, u32 *out_size)
{
    ScopedLock guard(_lock);
    if (_used == 0) {
        _data_event.reset();
        _drained_event.set();
        if (out_size)
            *out_size = 0;
        return RingResult::Empty;
    }
    u32 size;
    memcpy(&size, _block + _read, sizeof(size));
    if (size == wrap_marker) {
        _used -= _capacity - _read;
        _read = 0;
        memcpy(&size, _block, sizeof(size));
    }
    if (out_size)
        *out_size = size;
    if (size > out_capacity)
        return RingResult::BufferTooSmall;
    if (size)
        memcpy(out, _block + _read + record_header_bytes, size);
    const u32 bytes = record_bytes(size);
    _read += bytes;
    _used -= bytes;
    if (_read == _capacity)
        _read = 0;
    return RingResult::Ok;
}

void LockedRingBuffer::reset()
{
    ScopedLock guard(_lock);
    _read = _write = _used = 0;
    _data_event.reset();
    _drained_event.set();
}

} // namespace tallow
