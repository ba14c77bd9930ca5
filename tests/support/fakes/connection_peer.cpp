#include "tests/support/fakes/connection_peer.h"

#include "network/bit_packing.h"
#include "network/packet_format.h"

namespace tallow::test {

using namespace network;

ConnectionPeer::ConnectionPeer(MemoryNetwork &network, u64 id_value, u64 remote_value, Allocator &parent,
                               const ConnectionSettings &settings)
    : transport(network.create_endpoint(id_value)), connection(*transport, parent, settings), id(id_value),
      remote(remote_value)
{
}

u32 ConnectionPeer::send_reliable(u32 index, const std::vector<u8> &payload)
{
    std::vector<u8> message;
    append_reliable_message(message, index, payload);
    return connection.send(remote, 1, message.data(), u32(message.size()));
}

u32 ConnectionPeer::send_unreliable(const std::vector<u8> &payload)
{
    std::vector<u8> message;
    append_unreliable_message(message, payload);
    return connection.send(remote, 0, message.data(), u32(message.size()));
}

void ConnectionPeer::on_receive(void *context, u64 peer, u32 sequence, const u8 *bytes, u32 size, f32 delay_s)
{
    ConnectionPeer *self = *static_cast<ConnectionPeer **>(context);
    self->deliveries.push_back(Delivery{sequence, size, delay_s});
    self->walk(peer, bytes, size);
}

void ConnectionPeer::walk(u64 peer, const u8 *bytes, u32 size)
{
    BitReader reader(bytes, size);
    while (reader.remaining_bytes() > 0) {
        const u8 type = reader.read_u8();
        if (type == test_reliable_message_type) {
            const u32 index = reader.read_u32();
            const u32 length = reader.read_u16();
            if (reader.has_overflowed() || length > reader.remaining_bytes()) {
                ++malformed_messages;
                return;
            }
            ReceivedMessage message{index, {}};
            if (keep_payloads)
                message.payload.assign(reader.cursor(), reader.cursor() + length);
            reader.skip_bytes(length);
            reliable.push_back(std::move(message));
        } else if (type == test_unreliable_message_type) {
            const u32 length = reader.read_u16();
            if (reader.has_overflowed() || length > reader.remaining_bytes()) {
                ++malformed_messages;
                return;
            }
            unreliable.emplace_back(reader.cursor(), reader.cursor() + length);
            reader.skip_bytes(length);
        } else if (type >= first_control_type) {
            if (!connection.handle_control_message(peer, type, reader)) {
                ++walks_stopped;
                return;
            }
        } else {
            ++malformed_messages;
            return;
        }
    }
}

void ConnectionPeer::receive()
{
    ConnectionPeer *self = this;
    connection.receive(make_receive_handler(&ConnectionPeer::on_receive, self));
}

void ConnectionPeer::step(f32 dt_s)
{
    connection.update(dt_s);
    receive();
    connection.flush();
}

ConnectionPair::ConnectionPair(u64 seed, const MemoryLinkSettings &link, Allocator &parent,
                               const ConnectionSettings &settings)
    : network(default_allocator(), seed), a(network, id_a, id_b, parent, settings),
      b(network, id_b, id_a, parent, settings)
{
    network.set_link_settings(link);
}

void ConnectionPair::step(f32 dt_s)
{
    network.advance(dt_s);
    a.step(dt_s);
    b.step(dt_s);
}

void ConnectionPair::observe(void *user, u64 from, u64 to, const u8 *bytes, u32 size)
{
    static_cast<ConnectionPair *>(user)->sent.push_back(SentDatagram{from, to, std::vector<u8>(bytes, bytes + size)});
}

void ConnectionPair::record_datagrams(bool on) { network.set_observer(on ? &observe : nullptr, this); }

u32 count_control_messages(const std::vector<u8> &datagram, u8 type)
{
    PacketHeader header;
    if (!read_packet_header(datagram.data(), u32(datagram.size()), header) ||
        packet_header_bytes + header.reliable_length > datagram.size())
        return 0;
    u32 count = 0;
    BitReader reader(datagram.data() + packet_header_bytes + header.reliable_length,
                     u32(datagram.size() - packet_header_bytes - header.reliable_length));
    while (reader.remaining_bytes() > 0 && !reader.has_overflowed()) {
        const u8 t = reader.read_u8();
        if (t == type)
            ++count;
        switch (t) {
        case u8(ControlType::ResendRequest): reader.skip_bytes(2); break;
        case u8(ControlType::EmptyRange): reader.skip_bytes(4); break;
        case u8(ControlType::ReliableChunk): {
            reader.skip_bytes(2);
            reader.skip_bytes(reader.read_u16());
            break;
        }
        case test_unreliable_message_type: reader.skip_bytes(reader.read_u16()); break;
        case u8(ControlType::Ping):
        case u8(ControlType::Pong):
        case u8(ControlType::Reserved): break;
        default: return count;
        }
    }
    return count;
}

} // namespace tallow::test
