#include "network/bit_packing.h"

#include "foundation/io/little_endian.h"

#include <cstring>

namespace tallow::network {

void BitWriter::write_bits(u32 value, u32 bit_count)
{
    if (_overflow || bit_count == 0)
        return;
    if (bit_count > 32) {
        _overflow = true;
        return;
    }
    // Every byte the value touches must fit, the trailing partial one included, so a
    // later flush can never be the write that overflows.
    const u32 total_bits = _bit_count + bit_count;
    if ((total_bits + 7) / 8 > _capacity - _cursor) {
        _overflow = true;
        return;
    }
    u64 bits = u64(_partial) | (u64(value) & ((u64(1) << bit_count) - 1)) << _bit_count;
    const u32 whole_bytes = total_bits / 8; // at most 4
    if (_capacity - _cursor >= 8) {
        // One 8-byte store; the bytes past the completed ones are scratch inside the
        // capacity, rewritten by later writes.
        store_u64_le(_start + _cursor, bits);
    } else {
        for (u32 i = 0; i < whole_bytes; ++i)
            _start[_cursor + i] = u8(bits >> (8 * i));
    }
    _cursor += whole_bytes;
    _partial = u32(bits >> (8 * whole_bytes));
    _bit_count = total_bits % 8;
}

void BitWriter::flush()
{
    if (_overflow || _bit_count == 0)
        return;
    // write_bits reserved this byte already.
    _start[_cursor++] = u8(_partial);
    _partial = 0;
    _bit_count = 0;
}

void BitWriter::write_u16(u16 value)
{
    const u8 bytes[2] = {u8(value), u8(value >> 8)};
    write_bytes(bytes, 2);
}

void BitWriter::write_u32(u32 value)
{
    u8 bytes[4];
    store_u32_le(bytes, value);
    write_bytes(bytes, 4);
}

void BitWriter::write_u64(u64 value)
{
    u8 bytes[8];
    store_u64_le(bytes, value);
    write_bytes(bytes, 8);
}

void BitWriter::write_bytes(const void *bytes, u32 size)
{
    flush();
    if (_overflow)
        return;
    if (size > _capacity - _cursor) {
        _overflow = true;
        return;
    }
    if (size)
        memcpy(_start + _cursor, bytes, size);
    _cursor += size;
}

u32 BitReader::read_bits(u32 bit_count)
{
    if (_overflow || bit_count == 0)
        return 0;
    if (bit_count > 32 || bit_count > remaining_bits()) {
        _overflow = true;
        return 0;
    }
    u64 bits = _partial;
    u32 have = _bit_count;
    if (_size - _cursor >= 8) {
        // One 8-byte load; only the bytes the value needs are consumed.
        bits |= load_u64_le(_start + _cursor) << have;
        const u32 taken = bit_count > have ? (bit_count - have + 7) / 8 : 0;
        _cursor += taken;
        have += 8 * taken;
    } else {
        while (have < bit_count) {
            bits |= u64(_start[_cursor++]) << have;
            have += 8;
        }
    }
    const u32 value = u32(bits & ((u64(1) << bit_count) - 1));
    _bit_count = have - bit_count;
    _partial = u32(bits >> bit_count) & ((1u << _bit_count) - 1);
    return value;
}

bool BitReader::take_bytes(u32 size)
{
    align();
    if (_overflow)
        return false;
    if (size > _size - _cursor) {
        _overflow = true;
        return false;
    }
    return true;
}

u8 BitReader::read_u8()
{
    if (!take_bytes(1))
        return 0;
    return _start[_cursor++];
}

u16 BitReader::read_u16()
{
    if (!take_bytes(2))
        return 0;
    const u16 value = u16(_start[_cursor] | _start[_cursor + 1] << 8);
    _cursor += 2;
    return value;
}

u32 BitReader::read_u32()
{
    if (!take_bytes(4))
        return 0;
    const u32 value = load_u32_le(_start + _cursor);
    _cursor += 4;
    return value;
}

u64 BitReader::read_u64()
{
    if (!take_bytes(8))
        return 0;
    const u64 value = load_u64_le(_start + _cursor);
    _cursor += 8;
    return value;
}

bool BitReader::read_bytes(void *out, u32 size)
{
    if (!take_bytes(size))
        return false;
    if (size)
        memcpy(out, _start + _cursor, size);
    _cursor += size;
    return true;
}

bool BitReader::skip_bytes(u32 size)
{
    if (!take_bytes(size))
        return false;
    _cursor += size;
    return true;
}

} // namespace tallow::network
