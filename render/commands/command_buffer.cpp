#include "render/commands/command_buffer.h"

#include "foundation/log.h"

#include <cstring>

namespace tallow {

namespace {
constexpr u32 align4(u32 v) { return (v + 3u) & ~3u; }
} // namespace

CommandBuffer::CommandBuffer(Allocator &allocator, u32 initial_size_bytes) : _bytes(allocator)
{
    _bytes.resize(initial_size_bytes);
    // Records must start 4-aligned in memory; our allocators give more, but keep the rule.
    _start_offset = u32((4u - (reinterpret_cast<uintptr_t>(_bytes.data()) & 3u)) & 3u);
    _write_offset = _start_offset;
}

bool CommandBuffer::ensure(u32 end)
{
    if (end <= _bytes.size())
        return true;
    const u32 old_size = _bytes.size();
    _bytes.resize(end);
    if (_bytes.size() != end) {
        log_message("render", "command buffer cannot grow to %u bytes; record dropped", end);
        return false;
    }
    // New bytes are value-initialised by the array; the alignment of the store is the
    // allocator's, so the start offset holds.
    (void)old_size;
    return true;
}

void *CommandBuffer::append(u32 type, u32 payload_size, u32 *out_record)
{
    const u32 record = _write_offset;
    const u32 payload_offset = u32(sizeof(CommandHeader)); // records start 4-aligned: no padding
    const u64 size = u64(payload_offset) + payload_size;
    const u64 end = u64(record) + size;
    if (end > 0x7FFFFFF0ull || !ensure(u32(end))) {
        if (end > 0x7FFFFFF0ull)
            log_message("render", "command record of %u bytes does not fit a command buffer", payload_size);
        return nullptr;
    }
    const CommandHeader header{type, u32(size), payload_offset};
    memcpy(_bytes.data() + record, &header, sizeof header);
    _write_offset = align4(u32(end));
    if (_write_offset > _bytes.size()) {
        // The padding after the last record must exist too, or the next record's offset
        // would point past the store.
        if (!ensure(_write_offset)) {
            _write_offset = record;
            return nullptr;
        }
    }
    if (out_record)
        *out_record = record;
    return _bytes.data() + record + payload_offset;
}

bool CommandBuffer::write(u32 type, const void *payload, u32 size, u32 *out_record)
{
    void *p = append(type, size, out_record);
    if (!p)
        return false;
    if (size)
        memcpy(p, payload, size);
    return true;
}

u8 *CommandBuffer::place_record(u8 *at, u32 type, u32 payload_size)
{
    const CommandHeader header{type, u32(sizeof(CommandHeader)) + payload_size, u32(sizeof(CommandHeader))};
    memcpy(at, &header, sizeof header);
    return at + sizeof header;
}

u8 *CommandBuffer::reserve(u32 bytes)
{
    TALLOW_ASSERT(bytes % 4 == 0, "command buffer room must be whole records");
    const u64 end = u64(_write_offset) + bytes;
    if (end > 0x7FFFFFF0ull) {
        log_message("render", "%u bytes of command records do not fit a command buffer", bytes);
        return nullptr;
    }
    if (!ensure(u32(end)))
        return nullptr;
    return _bytes.data() + _write_offset;
}

void CommandBuffer::commit(u32 bytes)
{
    TALLOW_ASSERT(u64(_write_offset) + bytes <= _bytes.size(), "committing more than was reserved");
    _write_offset += bytes;
}

void CommandBuffer::reset() { _write_offset = _start_offset; }

bool CommandCursor::next(CommandView *out)
{
    if (_failed || _offset >= _end)
        return false;
    CommandHeader header;
    if (_end - _offset < sizeof header) {
        _failed = true;
        return false;
    }
    memcpy(&header, _data + _offset, sizeof header);
    if (header.size < sizeof header || header.size > _end - _offset || header.payload_offset < sizeof header ||
        header.payload_offset > header.size) {
        _failed = true;
        return false;
    }
    out->type = header.type;
    out->offset = _offset;
    out->size = header.size;
    out->payload = _data + _offset + header.payload_offset;
    out->payload_size = header.size - header.payload_offset;
    const u64 next = (u64(_offset) + header.size + 3u) & ~u64(3);
    _offset = next > _end ? _end : u32(next);
    return true;
}

} // namespace tallow
