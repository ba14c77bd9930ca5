#include "foundation/io/memory_buffer.h"

#include "foundation/log.h"

#include <cstring>

namespace tallow {

MemoryInputBuffer::MemoryInputBuffer(const void *data, u64 size)
{
    // The window count is 32 bits; a larger block is read as its first 4 GiB - 1.
    u64 count = size > 0xFFFFFFFFull ? 0xFFFFFFFFull : size;
    _size = count;
    _begin = static_cast<const u8 *>(data);
    _cursor = _begin;
    _count = u32(count);
}

void MemoryInputBuffer::seek(u64 position)
{
    _cursor = _begin + (position < _count ? position : _count);
}

MemoryOutputBuffer::MemoryOutputBuffer(Allocator &allocator) : _allocator(allocator), _chunks(allocator)
{
    _begin = static_cast<u8 *>(allocator.allocate(window_bytes, 16));
    if (!_begin) {
        log_message("archive", "memory output buffer: no memory for its %u-byte window", window_bytes);
        _failed = true;
        return;
    }
    _cursor = _begin;
    _capacity = window_bytes;
}

MemoryOutputBuffer::~MemoryOutputBuffer()
{
    flush();
    _allocator.deallocate(_begin);
}

void MemoryOutputBuffer::insert_chunk(const u8 *data, u32 n)
{
    // Bytes that follow a backward seek are overwritten: whole chunks go, a longer
    // one loses its front.
    u32 overwrite = n;
    while (_chunk_index < _chunks.size() && overwrite >= _chunks[_chunk_index].size() && overwrite > 0) {
        overwrite -= _chunks[_chunk_index].size();
        _chunks.erase(_chunk_index);
    }
    if (overwrite > 0 && _chunk_index < _chunks.size()) {
        Array<u8> &chunk = _chunks[_chunk_index];
        u32 kept = chunk.size() - overwrite;
        memmove(chunk.data(), chunk.data() + overwrite, kept);
        chunk.resize(kept);
    }
    Array<u8> fresh(_allocator);
    fresh.set_capacity(n);
    if (fresh.capacity() < n || !_chunks.insert(_chunk_index, Array<u8>(_allocator))) {
        log_message("archive", "memory output buffer: no memory for %u bytes", n);
        _failed = true;
        return;
    }
    Array<u8> &chunk = _chunks[_chunk_index];
    chunk = static_cast<Array<u8> &&>(fresh);
    chunk.resize(n);
    memcpy(chunk.data(), data, n);
    ++_chunk_index;
}

void MemoryOutputBuffer::flush()
{
    u32 n = u32(_cursor - _begin);
    if (n == 0)
        return;
    if (!_failed)
        insert_chunk(_begin, n);
    _window_position += n;
    _cursor = _begin;
}

void MemoryOutputBuffer::seek(u64 position)
{
    flush();
    u64 start = 0;
    u32 i = 0;
    for (; i < _chunks.size(); ++i) {
        u64 end = start + _chunks[i].size();
        if (position < end)
            break;
        start = end;
    }
    if (i < _chunks.size() && position > start) {
        // The target falls inside chunk i: split it there.
        u32 front = u32(position - start);
        Array<u8> back(_allocator);
        back.resize(_chunks[i].size() - front);
        if (back.size() != _chunks[i].size() - front || !_chunks.insert(i + 1, Array<u8>(_allocator))) {
            log_message("archive", "memory output buffer: no memory to split a chunk");
            _failed = true;
            return;
        }
        memcpy(back.data(), _chunks[i].data() + front, back.size());
        _chunks[i + 1] = static_cast<Array<u8> &&>(back);
        _chunks[i].resize(front);
        ++i;
    }
    _chunk_index = i;
    _window_position = position;
    if (i == _chunks.size() && position > start) {
        // Past the end: the gap reads as zero bytes.
        u64 gap = position - start;
        _window_position = start;
        while (gap > 0 && !_failed) {
            u32 n = gap < _capacity ? u32(gap) : _capacity;
            memset(_begin, 0, n);
            _cursor = _begin + n;
            flush();
            gap -= n;
        }
        _window_position = position;
    }
}

u64 MemoryOutputBuffer::total_size()
{
    flush();
    u64 total = 0;
    for (const Array<u8> &chunk : _chunks)
        total += chunk.size();
    return total;
}

void MemoryOutputBuffer::copy_to(void *destination)
{
    flush();
    u8 *to = static_cast<u8 *>(destination);
    for (const Array<u8> &chunk : _chunks) {
        if (chunk.size())
            memcpy(to, chunk.data(), chunk.size());
        to += chunk.size();
    }
}

} // namespace tallow
