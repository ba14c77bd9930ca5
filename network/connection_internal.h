#pragma once
// The per-peer channel state of a Connection and the reliability steps that work on it.
// Included only by the connection's own sources and tests.

#include "network/byte_ring.h"
#include "network/connection.h"

namespace tallow::network {

/// Sequences at or beyond this distance ahead of the next expected one are refused:
/// the pending set is indexed by sequence & 0x3FF.
constexpr u32 receive_window = 1024;
/// Unacknowledged datagrams a channel may have before the 10-bit acknowledgement field
/// could no longer be expanded; reaching it breaks the channel.
constexpr u32 max_unacknowledged_datagrams = 512;
/// Datagrams in flight that start resends even without reliable bytes in flight.
constexpr u32 resend_unacknowledged_datagrams = 129;
constexpr f32 send_period_s = 0.03f;
constexpr f32 resend_interval_s = 0.2f;
constexpr f32 ping_silence_s = 1.0f;
constexpr f32 ping_period_s = 0.5f;
constexpr f32 broken_silence_s = 60.0f;

/// Resend record head: [u32 sequence][u32 length]; receive record head adds [u8 live].
constexpr u32 resend_record_head = 8;
constexpr u32 receive_record_head = 9;

struct PendingEntry {
    u32 sequence;
    u8 has_bytes; // 1 when the receive ring holds the sequence's reliable bytes
};

struct Channel {
    Channel(u64 peer_id, ITransport &transport_ref, u8 *packet_buffer, Allocator &allocator,
            const ConnectionSettings &settings);

    u64 peer;
    ITransport *transport; // not owned
    u8 *packet;            // the connection's shared packet buffer
    u32 next_sequence = 0; // the sequence of the next datagram sent
    u8 unreliable[max_datagram_bytes];
    u8 reliable[max_datagram_bytes];
    u32 unreliable_length = 0;
    u32 reliable_length = 0;

    ByteRing resend;         // [u32 sequence][u32 length][bytes] per datagram with reliable bytes
    u32 resend_floor = 0;    // records below it are acknowledged and dropped
    u32 datagrams_sent = 0;
    f32 resend_timer = 0;

    ByteRing received;       // [u32 sequence][u8 live][u32 length][bytes], ahead of order
    u32 acknowledged = 0;    // the peer has every sequence below it
    u32 expected = 0;        // next expected receive sequence
    Array<PendingEntry> heap; // min-heap on sequence: arrived ahead or announced
    u64 pending_bits[receive_window / 64] = {}; // sequence & 0x3FF of each heap entry

    u8 ack_needed = 0;
    f32 resend_interval = resend_interval_s;
    f32 send_timer = 0;

    u8 status[1024] = {};
    u32 status_count = 0; // sequences sent
    u32 status_low = 0;   // entries below it have been settled by acknowledgements

    u8 broken = 0;
    u32 request_count = 0;    // heap size when the last resend request went out
    u32 request_expected = 0; // expected sequence seen at the last request check
    u32 answers_this_period = 0;

    f32 ping_timer = 0;
    f32 silence_timer = 0;    // seconds since the last pong (or the channel's creation)
    f32 millisecond_fraction = 0;
    u16 millisecond_clock = 0;
    u16 lowest_offset = 0;
    u8 first_datagram = 1;
    u8 confirmed = 0;     // an acceptable datagram came from the peer
    u8 sent_to = 0;       // this side sent on the channel
    f32 age = 0;          // seconds since the channel was made
    f32 heard_timer = 0;  // seconds since the last acceptable datagram
};

/// The reliability steps, given the connection's shared state.
struct ChannelOps {
    Connection &connection;
    Channel &channel;

    void break_channel(const char *reason);
    /// Appends to a buffer, sending the pending datagram first when the total would pass
    /// `max_datagram_bytes`. Returns false when the channel broke on the way.
    bool queue(bool reliable, const void *bytes, u32 size);
    void send_packet();
    void resend_all();
    void answer_resend_request(u16 wire_sequence);
    void receive_packet(const u8 *bytes, u32 size, const ReceiveHandler &handler);
    bool handle_control(u32 type, BitReader &reader);

    bool is_pending(u32 sequence) const;
    bool push_pending(u32 sequence, bool has_bytes);
    PendingEntry pop_pending();
    bool store_received(u32 sequence, const u8 *bytes, u32 size);
    /// Drops the dead records of the receive ring, moving the live ones together.
    void compact_received();
    bool take_received(u32 sequence, u8 *out, u32 *out_size);
    void reject(const char *what);
};

} // namespace tallow::network
