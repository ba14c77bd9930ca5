#include "tests/support/writers/datagram_writer.h"

#include "network/packet_format.h"

namespace tallow::test {

namespace {
void put_u16(std::vector<u8> &out, u32 value)
{
    out.push_back(u8(value));
    out.push_back(u8(value >> 8));
}
} // namespace

void append_reliable_message(std::vector<u8> &out, u32 index, const std::vector<u8> &payload)
{
    out.push_back(test_reliable_message_type);
    for (int i = 0; i < 4; ++i)
        out.push_back(u8(index >> (8 * i)));
    put_u16(out, u32(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
}

void append_unreliable_message(std::vector<u8> &out, const std::vector<u8> &payload)
{
    out.push_back(test_unreliable_message_type);
    put_u16(out, u32(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
}

DatagramWriter &DatagramWriter::reliable_bytes(const std::vector<u8> &bytes)
{
    _reliable.insert(_reliable.end(), bytes.begin(), bytes.end());
    return *this;
}

DatagramWriter &DatagramWriter::unreliable_bytes(const std::vector<u8> &bytes)
{
    _unreliable.insert(_unreliable.end(), bytes.begin(), bytes.end());
    return *this;
}

DatagramWriter &DatagramWriter::reliable_message(u32 index, const std::vector<u8> &payload)
{
    append_reliable_message(_reliable, index, payload);
    return *this;
}

DatagramWriter &DatagramWriter::unreliable_message(const std::vector<u8> &payload)
{
    append_unreliable_message(_unreliable, payload);
    return *this;
}

DatagramWriter &DatagramWriter::control(u8 type)
{
    _unreliable.push_back(type);
    return *this;
}

DatagramWriter &DatagramWriter::ping() { return control(u8(network::ControlType::Ping)); }
DatagramWriter &DatagramWriter::pong() { return control(u8(network::ControlType::Pong)); }

DatagramWriter &DatagramWriter::resend_request(u32 sequence)
{
    control(u8(network::ControlType::ResendRequest));
    put_u16(_unreliable, sequence);
    return *this;
}

DatagramWriter &DatagramWriter::empty_range(u32 first, u32 end)
{
    control(u8(network::ControlType::EmptyRange));
    put_u16(_unreliable, first);
    put_u16(_unreliable, end);
    return *this;
}

DatagramWriter &DatagramWriter::reliable_chunk(u32 sequence, const std::vector<u8> &bytes,
                                               std::optional<u32> stated_length)
{
    control(u8(network::ControlType::ReliableChunk));
    put_u16(_unreliable, sequence);
    put_u16(_unreliable, stated_length ? *stated_length : u32(bytes.size()));
    _unreliable.insert(_unreliable.end(), bytes.begin(), bytes.end());
    return *this;
}

std::vector<u8> DatagramWriter::build() const
{
    std::vector<u8> out(network::packet_header_bytes);
    network::PacketHeader header;
    header.sequence = _sequence;
    header.ack = _ack;
    header.reliable_length = _stated ? *_stated : u32(_reliable.size());
    header.time_stamp = _stamp;
    network::write_packet_header(out.data(), header);
    out.insert(out.end(), _reliable.begin(), _reliable.end());
    out.insert(out.end(), _unreliable.begin(), _unreliable.end());
    return out;
}

} // namespace tallow::test
