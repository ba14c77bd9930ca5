#pragma once
// Test peers for the connection: a Connection on an in-memory endpoint with a receive
// handler that walks every delivery as messages (the test messages of
// datagram_writer.h, and control messages handed back to the connection), and a pair of
// them on one seeded lossy network.
//
//   ConnectionPair pair(42, lossy);
//   pair.a.send_reliable(0, {1, 2, 3});
//   for (int i = 0; i < 100; ++i)
//       pair.step(0.01f);                  // advance, then each peer updates, receives, flushes
//   EXPECT_EQ(pair.b.reliable.size(), 1u);

#include "foundation/memory/memory_globals.h"
#include "network/connection.h"
#include "network/memory_transport.h"
#include "tests/support/writers/datagram_writer.h"

#include <vector>

namespace tallow::test {

struct ReceivedMessage {
    u32 index;
    std::vector<u8> payload;
};

/// One handler call: which sequence, how many bytes, the delay it reported.
struct Delivery {
    u32 sequence;
    u32 size;
    f32 delay_s;
};

class ConnectionPeer {
  public:
    ConnectionPeer(network::MemoryNetwork &network, u64 id, u64 remote, Allocator &parent,
                   const network::ConnectionSettings &settings = {});

    /// Sends a test message [1][index][size][payload] reliably; returns the sequence.
    u32 send_reliable(u32 index, const std::vector<u8> &payload);
    /// Sends a test message [2][size][payload] unreliably; returns the sequence.
    u32 send_unreliable(const std::vector<u8> &payload);
    /// update, receive (through the message walk), flush.
    void step(f32 dt_s);
    /// Only receive (through the message walk).
    void receive();

    network::ITransport *transport; // the endpoint, owned by the network
    network::Connection connection;
    u64 id;
    u64 remote;

    bool keep_payloads = true;            // false: messages are counted, payloads dropped
    std::vector<ReceivedMessage> reliable; // test reliable messages, in delivery order
    std::vector<std::vector<u8>> unreliable;
    std::vector<Delivery> deliveries;      // every handler call
    u64 walks_stopped = 0;                 // handle_control_message said stop
    u64 malformed_messages = 0;            // a test message cut short or an unknown type

  private:
    static void on_receive(void *context, u64 peer, u32 sequence, const u8 *bytes, u32 size, f32 delay_s);
    void walk(u64 peer, const u8 *bytes, u32 size);
};

/// A datagram the network saw sent.
struct SentDatagram {
    u64 from;
    u64 to;
    std::vector<u8> bytes;
};

class ConnectionPair {
  public:
    static constexpr u64 id_a = 0x1000000000000001ull;
    static constexpr u64 id_b = 0x2000000000000002ull;

    ConnectionPair(u64 seed, const network::MemoryLinkSettings &link = {}, Allocator &parent = default_allocator(),
                   const network::ConnectionSettings &settings = {});

    /// Advances the network clock by `dt_s`, then steps a and b.
    void step(f32 dt_s);
    /// Starts (or stops) recording every datagram sent into `sent`.
    void record_datagrams(bool on);

    network::MemoryNetwork network;
    ConnectionPeer a;
    ConnectionPeer b;
    std::vector<SentDatagram> sent;

  private:
    static void observe(void *user, u64 from, u64 to, const u8 *bytes, u32 size);
};

/// The number of messages of `type` in a datagram's unreliable part (control messages
/// and test unreliable messages; the walk stops at anything else).
u32 count_control_messages(const std::vector<u8> &datagram, u8 type);

} // namespace tallow::test
