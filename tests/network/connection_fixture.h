#pragma once
// A connection under test (peer a) facing a scripted peer b whose datagrams the test
// writes by hand and whose endpoint the test reads raw.

#include "tests/support/fakes/connection_peer.h"

#include <gtest/gtest.h>

#include <vector>

namespace tallow::test {

class ScriptedPeer {
  public:
    static constexpr u64 id_a = ConnectionPair::id_a;
    static constexpr u64 id_b = ConnectionPair::id_b;

    network::MemoryNetwork network{default_allocator(), 7};
    ConnectionPeer a{network, id_a, id_b, default_allocator()};
    network::ITransport *b = network.create_endpoint(id_b);
    f64 time_s = 0;

    /// Delivers a hand-written datagram to a (read at a's next receive).
    void inject(const std::vector<u8> &datagram, u64 from = id_b)
    {
        ASSERT_TRUE(network.inject(from, id_a, datagram.data(), u32(datagram.size())));
    }
    /// Advances time and steps a (update, receive, flush).
    void tick(f32 dt_s = 0.03f)
    {
        network.advance(dt_s);
        time_s += dt_s;
        a.step(dt_s);
    }
    /// Every datagram a has sent since the last call.
    std::vector<std::vector<u8>> sent_by_a()
    {
        std::vector<std::vector<u8>> out;
        const u8 *bytes;
        u32 size;
        u64 from;
        while (b->receive(&bytes, &size, &from))
            out.emplace_back(bytes, bytes + size);
        return out;
    }
    network::PacketHeader header_of(const std::vector<u8> &datagram)
    {
        network::PacketHeader header;
        EXPECT_TRUE(network::read_packet_header(datagram.data(), u32(datagram.size()), header));
        return header;
    }
    /// The unreliable part of a datagram a sent.
    std::vector<u8> unreliable_of(const std::vector<u8> &datagram)
    {
        const network::PacketHeader header = header_of(datagram);
        return std::vector<u8>(datagram.begin() + network::packet_header_bytes + header.reliable_length, datagram.end());
    }
    /// b acknowledges everything below `ack` in a datagram of sequence `sequence`.
    void acknowledge(u32 ack, u32 sequence = 0) { inject(DatagramWriter().sequence(sequence).ack(ack).build()); }
};

class ScriptedPeerTest : public testing::Test, public ScriptedPeer {};

/// Payload of test message `index`: 1 to `max_size` deterministic bytes.
inline std::vector<u8> message_payload(u32 index, u32 max_size = 300)
{
    std::vector<u8> payload(1 + (index * 7919u) % max_size);
    for (u32 i = 0; i < payload.size(); ++i)
        payload[i] = u8(index * 31u + i);
    return payload;
}

} // namespace tallow::test
