#include "render/render_state_stream.h"

#include "foundation/log.h"

#include <utility>

namespace tallow {

namespace {
constexpr u32 header_bytes = sizeof(RenderStateRecordHeader);
constexpr u32 data_alignment = 16;

constexpr u64 align4(u64 n) { return (n + 3) & ~u64(3); }
} // namespace

RenderStateStream::RenderStateStream(Allocator &allocator, u32 initial_capacity) : _allocator(&allocator)
{
    if (initial_capacity)
        reserve(initial_capacity);
}

RenderStateStream::RenderStateStream(RenderStateStream &&other) noexcept
    : _allocator(other._allocator), _data(other._data), _capacity(other._capacity), _write(other._write)
{
    other._data = nullptr;
    other._capacity = other._write = 0;
}

RenderStateStream &RenderStateStream::operator=(RenderStateStream &&other) noexcept
{
    if (this != &other) {
        std::swap(_allocator, other._allocator);
        std::swap(_data, other._data);
        std::swap(_capacity, other._capacity);
        std::swap(_write, other._write);
    }
    return *this;
}

RenderStateStream::~RenderStateStream() { _allocator->deallocate(_data); }

bool RenderStateStream::reserve(u64 needed)
{
    if (needed <= _capacity)
        return true;
    if (needed > 0x7FFFFFFFu) {
        log_message("render", "state stream of %llu bytes refused (limit 2 GiB)", (unsigned long long)needed);
        return false;
    }
    u64 grown = u64(_capacity) * 2 + 10;
    u64 n = grown > needed ? grown : needed;
    if (n > 0x7FFFFFFFu)
        n = needed;
    u8 *fresh = static_cast<u8 *>(_allocator->allocate(n, data_alignment));
    if (!fresh) {
        log_message("render", "state stream could not grow to %llu bytes", (unsigned long long)n);
        return false;
    }
    if (_write)
        memcpy(fresh, _data, _write);
    _allocator->deallocate(_data);
    _data = fresh;
    _capacity = u32(n);
    return true;
}

void *RenderStateStream::append(u32 kind, u32 payload_bytes)
{
    // The payload starts at the first 4-aligned position after the 12-byte header; the
    // data itself is 16-aligned, so positions and addresses agree.
    u64 start = _write;
    u64 payload_at = align4(start + header_bytes);
    u64 size = payload_at - start + payload_bytes;
    if (!reserve(align4(start + size)))
        return nullptr;
    RenderStateRecordHeader header = {kind, u32(size), u32(payload_at - start)};
    memcpy(_data + start, &header, sizeof header);
    memset(_data + start + header_bytes, 0, size - header_bytes);
    u64 next = align4(start + size);
    memset(_data + start + size, 0, next - (start + size));
    _write = u32(next);
    return _data + payload_at;
}

bool RenderStateStream::write(u32 kind, const void *payload, u32 payload_bytes)
{
    void *to = append(kind, payload_bytes);
    if (!to)
        return false;
    if (payload_bytes)
        memcpy(to, payload, payload_bytes);
    return true;
}

bool RenderStateStream::read(u32 &cursor, Record &out_record) const
{
    u64 at = align4(cursor);
    if (at >= _write)
        return false;
    if (at + header_bytes > _write) {
        log_message("render", "state stream cut inside a record header at byte %llu of %u", (unsigned long long)at, _write);
        return false;
    }
    RenderStateRecordHeader header;
    memcpy(&header, _data + at, sizeof header);
    if (header.payload_offset < header_bytes || header.payload_offset > header.size || at + header.size > _write ||
        (at + header.payload_offset) % 4 != 0) {
        log_message("render", "damaged state record at byte %llu (size %u, payload offset %u, %u bytes written)",
                    (unsigned long long)at, header.size, header.payload_offset, _write);
        return false;
    }
    out_record.kind = header.kind;
    out_record.payload = _data + at + header.payload_offset;
    out_record.payload_bytes = header.size - header.payload_offset;
    cursor = u32(align4(at + header.size));
    return true;
}

} // namespace tallow
