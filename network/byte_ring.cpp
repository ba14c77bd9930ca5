#include "network/byte_ring.h"

#include "foundation/assert.h"

#include <cstring>

namespace tallow::network {

ByteRing::ByteRing(Allocator &allocator, u32 capacity_bytes)
    : _allocator(allocator), _data(static_cast<u8 *>(allocator.allocate(capacity_bytes, 8))), _capacity(capacity_bytes)
{
    if (!_data)
        _capacity = 0;
}

ByteRing::~ByteRing() { _allocator.deallocate(_data); }

bool ByteRing::holds(u64 position, u32 size) const
{
    return position >= _read && position <= _write && size <= _write - position;
}

void ByteRing::copy_in(u64 position, const void *bytes, u32 size)
{
    const u32 offset = u32(position % _capacity);
    const u32 first = size < _capacity - offset ? size : _capacity - offset;
    memcpy(_data + offset, bytes, first);
    memcpy(_data, static_cast<const u8 *>(bytes) + first, size - first);
}

bool ByteRing::write(const void *head, u32 head_size, const void *body, u32 body_size)
{
    const u64 size = u64(head_size) + body_size;
    if (_overflow || !_data || size > _capacity - used()) {
        _overflow = true;
        return false;
    }
    if (head_size)
        copy_in(_write, head, head_size);
    if (body_size)
        copy_in(_write + head_size, body, body_size);
    _write += size;
    return true;
}

void ByteRing::read_at(u64 position, void *out, u32 size) const
{
    TALLOW_ASSERT(holds(position, size), "ring read outside the stored bytes");
    if (!holds(position, size) || size == 0)
        return;
    const u32 offset = u32(position % _capacity);
    const u32 first = size < _capacity - offset ? size : _capacity - offset;
    memcpy(out, _data + offset, first);
    memcpy(static_cast<u8 *>(out) + first, _data, size - first);
}

void ByteRing::write_at(u64 position, const void *bytes, u32 size)
{
    TALLOW_ASSERT(holds(position, size), "ring write outside the stored bytes");
    if (!holds(position, size) || size == 0)
        return;
    copy_in(position, bytes, size);
}

void ByteRing::set_read_position(u64 position)
{
    TALLOW_ASSERT(position >= _read && position <= _write, "ring read position outside the stored bytes");
    if (position < _read || position > _write)
        return;
    _read = position;
}

void ByteRing::truncate(u64 position)
{
    TALLOW_ASSERT(position >= _read && position <= _write, "ring truncated outside the stored bytes");
    if (position < _read || position > _write)
        return;
    _write = position;
}

} // namespace tallow::network
