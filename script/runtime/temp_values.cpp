#include "script/runtime/temp_values.h"

#include "foundation/memory/allocator.h"

#include <cstring>

namespace tallow {

TempArrayBase::TempArrayBase(Allocator &allocator, u32 tag, u32 entry_size)
    : _allocator(allocator), _tag(tag), _entry_size(entry_size), _block_bytes(u64(entry_size) * temp_block_entries)
{
}

TempArrayBase::~TempArrayBase()
{
    for (u32 i = 0; i < _block_count; ++i)
        _allocator.deallocate(_blocks[i]);
}

bool TempArrayBase::reserve() { return _block_count > 0 || add_block(); }

bool TempArrayBase::add_block()
{
    if (_block_count == temp_max_blocks)
        return false;
    void *p = _allocator.allocate(_block_bytes, 4);
    if (!p)
        return false;
    // Zeroed so that slots exposed by set_count never hold indeterminate bytes.
    std::memset(p, 0, _block_bytes);
    _blocks[_block_count++] = static_cast<u8 *>(p);
    return true;
}

void *TempArrayBase::append()
{
    if (_count == temp_max_entries)
        return nullptr;
    if (_first + _count == capacity() && !add_block()) {
        if (_count > 0 || _first == 0)
            return nullptr;
        _first = 0; // an empty run may start over in the blocks there are
    }
    u8 *e = entry(_first + _count++);
    std::memcpy(e, &_tag, sizeof(_tag));
    return e;
}

bool TempArrayBase::set_count(u32 n)
{
    if (n > temp_max_entries)
        return false;
    if (n == 0) {
        // The next run starts after this one while another as long still fits.
        const u32 next = _first + _count;
        _first = u64(next) + _count <= capacity() && next < capacity() ? next : 0;
        _count = 0;
        return true;
    }
    u32 first = _first;
    if (u64(first) + n > temp_max_entries) {
        if (_count > 0)
            return false;
        first = 0;
    }
    while (capacity() < first + n)
        if (!add_block())
            return false;
    _first = first;
    for (; _count < n; ++_count)
        std::memcpy(entry(_first + _count), &_tag, sizeof(_tag));
    _count = n;
    return true;
}

bool TempArrayBase::contains(const void *p) const
{
    const u8 *b = static_cast<const u8 *>(p);
    for (u32 i = 0; i < _block_count; ++i)
        if (b >= _blocks[i] && b < _blocks[i] + _block_bytes)
            return u64(b - _blocks[i]) % _entry_size == 0;
    return false;
}

bool TempArrayBase::is_live_slow(const u8 *p) const
{
    for (u32 i = 1; i < _block_count; ++i) {
        if (p >= _blocks[i] && p < _blocks[i] + _block_bytes) {
            u64 offset = u64(p - _blocks[i]);
            return offset % _entry_size == 0 && u32(i * temp_block_entries + offset / _entry_size) - _first < _count;
        }
    }
    return false;
}

} // namespace tallow
