#pragma once
// Reliable and unreliable channels to each peer over an unreliable datagram transport.
// Every datagram carries reliable bytes, which reach the peer's receive handler exactly
// once and in send order, and unreliable bytes, handed over as they arrive (control
// messages among them). The wire layout is in network/packet_format.h.
//
//   IConnection *connection = make_connection(transport);
//   u32 sequence = connection->send(peer, 1, bytes, size);   // queued, reliable
//   each network update, on the main thread:
//       connection->update(dt);
//       connection->receive(handler);   // handler called for every delivery
//       connection->flush();            // at most one datagram per peer every 0.03 s
//   connection->status(peer, sequence); // 1 sent, 2 acknowledged, 3 resent or lost ...
//   delete_with_default_allocator(connection);
//
// The receive handler is called with (context, peer, sequence, bytes, size, delay) for
// a datagram's reliable bytes (in order, once each; also zero bytes for an in-order
// datagram that carried none) and for its unreliable bytes. The layer above walks the
// unreliable bytes as messages and hands each of type 250 or above to
// `handle_control_message`, stopping the walk when that returns false. The handler may
// send and hand control messages back; it must not call `receive` itself.
//
// Each peer gets a channel on first use when the transport knows it. A channel paces
// its datagrams (one per 0.03 s), pings after a second without a pong, resends after
// 0.2 s without acknowledgement and breaks after 60 s without a pong, or when more
// reliable bytes are unacknowledged than its resend ring holds (8192 bytes, records
// included), when the receive ring overflows (which a peer that keeps within its own
// resend ring never causes), or when 512 datagrams in a row go
// unacknowledged (beyond that the 10-bit acknowledgement could no longer be read). A
// broken channel sends and receives nothing more and is never repaired.
//
// Resends start with the oldest unacknowledged chunk. When that chunk does not fit in the
// datagram beside the bytes already queued for it, the queued bytes go out first in a
// datagram of their own and the chunk follows in the next one; it is never dropped or
// skipped, since a chunk that could never fit would stall every resend behind it.
//
// Channels are capped (`ConnectionSettings::max_channels`), since a transport may hand
// over datagrams from any id: a channel that this side never sent on and that received no
// acceptable datagram within `unconfirmed_channel_s` is dropped, and a new channel past the
// cap takes the place of such a one, or of one this side never sent on that has been silent
// for two seconds; otherwise a datagram from a new peer is dropped and a send to one refused.
//
// Every datagram is untrusted: short or inconsistent datagrams, acknowledgements of
// sequences never sent, control messages whose fields fall outside the receive window,
// and resend requests beyond a small budget per send period are dropped and counted in
// `ConnectionStats`; the first of each kind is logged under "network".
//
// Main thread only; no locks. Channel buffers, rings and the packet buffer are taken
// when a channel is made; afterwards only the pending heap grows, up to 1024 entries.

#include "foundation/memory/allocator.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/containers/array.h"
#include "foundation/types.h"
#include "network/bit_packing.h"
#include "network/packet_format.h"
#include "network/transport.h"

#include <type_traits>

namespace tallow::network {

/// What `IConnection::status` reports of a sent sequence.
enum class PacketStatus : u32 {
    NotSent = 0,      // not sent yet
    Sent = 1,         // sent, not acknowledged
    Acknowledged = 2, // the peer has it
    Resent = 3,       // carried again by a later datagram, or given up as lost
    Expired = 4,      // 1025 or more behind the newest, or the channel is missing or broken
};
const char *to_string(PacketStatus status);

/// Called for each delivery with a pointer to the handler's own copy of its context.
using ReceiveFunction = void (*)(void *context, u64 peer, u32 sequence, const u8 *bytes, u32 size, f32 delay_s);

/// A receive function with up to 32 bytes of context, copied by value.
struct ReceiveHandler {
    static constexpr u32 context_bytes = 32;
    ReceiveFunction function = nullptr;
    alignas(8) u8 context[context_bytes] = {};
};

/// Makes a handler whose context is a copy of `context` (trivially copyable, at most 32
/// bytes); the function receives a pointer to that copy.
template <typename T> ReceiveHandler make_receive_handler(ReceiveFunction function, const T &context)
{
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= ReceiveHandler::context_bytes &&
                  alignof(T) <= 8);
    ReceiveHandler handler;
    handler.function = function;
    new (handler.context) T(context);
    return handler;
}

class IConnection {
  public:
    virtual ~IConnection() = default;
    /// Queues `size` bytes for `peer` (reliable 1, unreliable 0) and returns the sequence
    /// of the datagram that will carry them. Returns 0 when the channel is missing or
    /// broken, and for a send that can never fit a datagram (over 1189 reliable or 1194
    /// unreliable bytes); 0 is also a valid first sequence, so such callers check
    /// `is_broken` or `status`.
    virtual u32 send(u64 peer, u32 reliable, const void *bytes, u32 size) = 0;
    /// The status of a sent sequence (see PacketStatus).
    virtual PacketStatus status(u64 peer, u32 sequence) = 0;
    /// True when the peer has acknowledged `sequence`; false for a missing or broken channel.
    virtual bool acked(u64 peer, u32 sequence) = 0;
    /// Advances every working channel's timers and millisecond clock by `dt_s` seconds.
    virtual void update(f32 dt_s) = 0;
    /// Reads every datagram the transport holds and delivers through `handler`.
    virtual void receive(const ReceiveHandler &handler) = 0;
    /// Sends each working channel's datagram when its send period has passed and it has
    /// data or an acknowledgement due; pings, resends and declares silence as broken.
    virtual void flush() = 0;
    /// Handles one control message from `peer`; `reader` sits after the type byte and is
    /// moved past the message. False when the walk over the remaining messages must stop:
    /// the message was malformed or refused, or the channel is missing or broken.
    virtual bool handle_control_message(u64 peer, u32 type, BitReader &reader) = 0;
    /// True when `peer` has a channel and it is broken.
    virtual bool is_broken(u64 peer) = 0;
    /// Seconds since an acceptable datagram last came from `peer` (or since its channel was
    /// made); 0 when it has no channel. A working peer is heard at least every second or so
    /// (pings go out after a second of silence), so a few seconds mean it is likely gone,
    /// long before its channel breaks.
    virtual f32 silence_s(u64 peer) = 0;
};

/// Counts of what a connection sent, received and refused (all since creation).
struct ConnectionStats {
    u64 datagrams_sent = 0;          // handed to the transport
    u64 datagrams_send_failed = 0;   // the transport refused them
    u64 datagrams_received = 0;      // read from the transport
    u64 dropped_unknown_peer = 0;    // from a peer the transport does not know
    u64 dropped_broken_channel = 0;  // for a broken channel
    u64 dropped_malformed = 0;       // shorter than the header, longer than 1200 bytes, or
                                     // a reliable length past the end
    u64 dropped_bad_ack = 0;         // acknowledging a sequence never sent
    u64 control_rejected = 0;        // control messages with fields out of range
    u64 resend_answers_refused = 0;  // resend requests beyond the per-period budget
    u64 sends_refused = 0;           // sends too large for any datagram
    u64 channels_broken = 0;
    u64 channels_dropped = 0;        // unconfirmed or silent channels let go
    u64 dropped_channel_limit = 0;   // datagrams from, and sends to, a new peer past the cap
};

/// Limits a connection is built with; the defaults are the wire protocol's.
struct ConnectionSettings {
    u32 resend_ring_bytes = 8192;  // unacknowledged reliable bytes (8-byte records included)
    // Reliable bytes held ahead of order (9-byte records included): what the peer's resend
    // ring holds plus one byte for each of the 512 datagrams it may have unacknowledged.
    u32 receive_ring_bytes = 8192 + 512;
    u32 resend_answers_per_period = 4; // resend requests answered per send period
    u32 max_channels = 128;           // about 20 KB each
    f32 unconfirmed_channel_s = 5.0f; // life of a channel nobody confirmed (see above)
};

struct Channel;

class Connection final : public IConnection {
  public:
    /// Takes its memory from a TraceAllocator "connection" over `parent`; `transport`
    /// (not owned) and `parent` must outlive the connection.
    Connection(ITransport &transport, Allocator &parent, const ConnectionSettings &settings = {});
    ~Connection() override;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    u32 send(u64 peer, u32 reliable, const void *bytes, u32 size) override; // See IConnection
    PacketStatus status(u64 peer, u32 sequence) override;                  // See IConnection
    bool acked(u64 peer, u32 sequence) override;                           // See IConnection
    void update(f32 dt_s) override;                                        // See IConnection
    void receive(const ReceiveHandler &handler) override;                  // See IConnection
    void flush() override;                                                 // See IConnection
    bool handle_control_message(u64 peer, u32 type, BitReader &reader) override; // See IConnection
    bool is_broken(u64 peer) override;                                     // See IConnection
    f32 silence_s(u64 peer) override;                                      // See IConnection

    /// The most reliable bytes one more send to `peer` may carry without overflowing its
    /// resend ring, counting the record the send may start (0 for a missing or broken
    /// channel). A sender that keeps every reliable send within it uses its whole ring and
    /// never breaks the channel by overflow, at its end or the peer's.
    u32 reliable_space(u64 peer);
    const ConnectionStats &stats() const { return _stats; }
    u32 channel_count() const { return _channels.size(); }
    TraceAllocator &allocator() { return _allocator; }
    /// Checks every channel's invariants (window, heap, rings); for tests and debug builds.
    bool validate() const;

  private:
    friend struct ChannelOps;
    enum class Use { Query, Send, Receive };
    Channel *find_channel(u64 peer, Use use = Use::Query);
    Channel *make_channel(u64 peer, Use use);
    void drop_channel(u32 index);

    TraceAllocator _allocator;
    ITransport &_transport;
    ConnectionSettings _settings;
    Array<Channel *> _channels;
    ConnectionStats _stats;
    u8 _packet[max_datagram_bytes];  // outgoing datagrams are assembled here
    u8 _scratch[max_datagram_bytes]; // reliable bytes taken out of the receive ring
};

/// A Connection over `transport` through the default allocator; free it with
/// delete_with_default_allocator. Null when the allocator fails.
IConnection *make_connection(ITransport &transport);

} // namespace tallow::network
