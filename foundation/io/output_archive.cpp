#include "foundation/io/output_archive.h"

#include "foundation/memory/memory_globals.h"

#include <cstring>

namespace tallow {

OutputArchive::OutputArchive(SharedReference<OutputBuffer> buffer)
    : _buffer(static_cast<SharedReference<OutputBuffer> &&>(buffer)), _objects(19, 8, default_allocator())
{
    _objects[0] = 0;
}

OutputArchive::~OutputArchive() = default;

bool OutputArchive::write(const void *source, u64 n)
{
    if (!_buffer)
        return false;
    const u8 *from = static_cast<const u8 *>(source);
    while (n > 0 && !_buffer->has_failed()) {
        if (_buffer->room() == 0) {
            _buffer->flush();
            if (_buffer->room() == 0)
                break; // a failed buffer has no window left to fill
        }
        u32 take = n < _buffer->room() ? u32(n) : _buffer->room();
        memcpy(_buffer->cursor(), from, take);
        _buffer->advance(take);
        from += take;
        n -= take;
    }
    return n == 0 && !_buffer->has_failed();
}

bool OutputArchive::flush()
{
    if (!_buffer)
        return false;
    _buffer->flush();
    return !_buffer->has_failed();
}

void OutputArchive::seek(u64 position)
{
    if (_buffer)
        _buffer->seek(position);
}

u32 OutputArchive::object_index(const void *object) const
{
    return _objects.get(u64(reinterpret_cast<uintptr_t>(object)), 0u);
}

void OutputArchive::set_object_index(const void *object, u32 index)
{
    u32 i = _objects.find_or_insert(u64(reinterpret_cast<uintptr_t>(object)));
    if (i != HashMap<u64, u32>::no_entry)
        _objects.value(i) = index;
}

} // namespace tallow
