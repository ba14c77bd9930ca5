#include "network/packet_format.h"

#include "network/bit_packing.h"

namespace tallow::network {

void write_packet_header(u8 *out, const PacketHeader &header)
{
    BitWriter writer(out, packet_header_bytes);
    writer.write_bits(header.sequence & 0x3FF, 10);
    writer.write_bits(header.ack & 0x3FF, 10);
    writer.write_bits(header.reliable_length & 0xFFF, 12);
    writer.write_u16(header.time_stamp);
}

bool read_packet_header(const u8 *bytes, u32 size, PacketHeader &out_header)
{
    if (size < packet_header_bytes)
        return false;
    BitReader reader(bytes, packet_header_bytes);
    out_header.sequence = reader.read_bits(10);
    out_header.ack = reader.read_bits(10);
    out_header.reliable_length = reader.read_bits(12);
    out_header.time_stamp = reader.read_u16();
    return !reader.has_overflowed();
}

u32 expand_sequence10(u32 wire, u32 reference)
{
    i32 delta = i32(wire & 0x3FF) - i32(reference & 0x3FF);
    if (delta < -512)
        delta += 1024;
    else if (delta > 512)
        delta -= 1024;
    return reference + u32(delta);
}

u32 expand_sequence16(u32 wire, u32 reference)
{
    i32 delta = i32(wire & 0xFFFF) - i32(reference & 0xFFFF);
    if (delta < -32768)
        delta += 65536;
    else if (delta >= 32769)
        delta -= 65536;
    return reference + u32(delta);
}

} // namespace tallow::network
