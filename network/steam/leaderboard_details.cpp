// Packed leaderboard detail values (see leaderboard_details.h).
#include "network/steam/leaderboard_details.h"

namespace tallow::network::steam {

u32 detail_field_bits(const DetailField &field)
{
    switch (field.type) {
    case detail_bool: return 1;
    case detail_number: return 32;
    case detail_int:
    case detail_uint: return field.bits >= 1 && field.bits <= 32 ? field.bits : 0;
    case detail_string: return field.bits >= 1 && field.bits <= max_detail_bytes ? field.bits * 8 : 0;
    default: return 0;
    }
}

const char *check_detail_format(const DetailField *fields, u32 count)
{
    if (count > max_detail_fields)
        return "more than 64 fields";
    u32 total = 0;
    for (u32 i = 0; i < count; ++i) {
        const u32 bits = detail_field_bits(fields[i]);
        if (bits == 0)
            return fields[i].type > detail_string ? "unknown field type"
                   : fields[i].type == detail_string ? "string length outside 0..255"
                                                     : "integer width outside 1..32";
        total += bits;
        if (total > max_detail_bytes * 8)
            return "more than 256 bytes of details";
    }
    return nullptr;
}

bool DetailWriter::write_bits(u32 value, u32 bits)
{
    if (bits > 32 || _bit + bits > _capacity * 8)
        return false;
    u64 rest = value;
    while (bits > 0) {
        const u32 free = 8 - (_bit & 7);
        const u32 take = bits < free ? bits : free;
        const u32 chunk = u32(rest & ((1u << take) - 1));
        u8 &byte = _out[_bit >> 3];
        if ((_bit & 7) == 0)
            byte = 0;
        byte |= u8(chunk << (free - take));
        rest >>= take;
        bits -= take;
        _bit += take;
    }
    return true;
}

bool DetailReader::read_bits(u32 bits, u32 *out_value)
{
    *out_value = 0;
    if (bits > 32 || u64(_bit) + bits > u64(_size) * 8)
        return false;
    u64 value = 0;
    u32 shift = 0;
    while (bits > 0) {
        const u32 free = 8 - (_bit & 7);
        const u32 take = bits < free ? bits : free;
        const u32 chunk = (u32(_bytes[_bit >> 3]) >> (free - take)) & ((1u << take) - 1);
        value |= u64(chunk) << shift;
        shift += take;
        bits -= take;
        _bit += take;
    }
    *out_value = u32(value);
    return true;
}

} // namespace tallow::network::steam
