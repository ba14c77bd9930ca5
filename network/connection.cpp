// Channels, timers and the IConnection operations; the datagram and reliability steps
// are in connection_reliability.cpp.
#include "network/connection.h"

#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "network/connection_internal.h"

#include <cmath>

namespace tallow::network {

const char *to_string(PacketStatus status)
{
    switch (status) {
    case PacketStatus::NotSent: return "not sent";
    case PacketStatus::Sent: return "sent";
    case PacketStatus::Acknowledged: return "acknowledged";
    case PacketStatus::Resent: return "resent";
    case PacketStatus::Expired: return "expired";
    }
    return "unknown";
}

Channel::Channel(u64 peer_id, ITransport &transport_ref, u8 *packet_buffer, Allocator &allocator,
                 const ConnectionSettings &settings)
    : peer(peer_id), transport(&transport_ref), packet(packet_buffer), resend(allocator, settings.resend_ring_bytes),
      received(allocator, settings.receive_ring_bytes), heap(allocator)
{
}

Connection::Connection(ITransport &transport, Allocator &parent, const ConnectionSettings &settings)
    : _allocator("connection", parent), _transport(transport), _settings(settings), _channels(_allocator)
{
}

Connection::~Connection()
{
    for (Channel *channel : _channels)
        delete_with_allocator(_allocator, channel);
}

Channel *Connection::find_channel(u64 peer, Use use)
{
    for (Channel *channel : _channels)
        if (channel->peer == peer) {
            if (use == Use::Send)
                channel->sent_to = 1;
            return channel;
        }
    if (!_transport.has_peer(peer))
        return nullptr;
    return make_channel(peer, use);
}

Channel *Connection::make_channel(u64 peer, Use use)
{
    if (_channels.size() >= _settings.max_channels) {
        // Room is made from channels nobody here relies on: the oldest unconfirmed one,
        // else the longest silent one this side never sent on.
        i32 victim = -1;
        for (u32 i = 0; i < _channels.size(); ++i) {
            const Channel &c = *_channels[i];
            if (!c.confirmed && !c.sent_to && (victim < 0 || c.age > _channels[u32(victim)]->age))
                victim = i32(i);
        }
        if (victim < 0)
            for (u32 i = 0; i < _channels.size(); ++i) {
                const Channel &c = *_channels[i];
                if (!c.sent_to && c.heard_timer > 2.0f &&
                    (victim < 0 || c.heard_timer > _channels[u32(victim)]->heard_timer))
                    victim = i32(i);
            }
        if (victim < 0) {
            if (_stats.dropped_channel_limit++ == 0)
                log_message("network", "%u channels in use; %s peer %llx refused (further ones are counted)",
                            _settings.max_channels, use == Use::Receive ? "datagram from" : "channel to",
                            (unsigned long long)peer);
            return nullptr;
        }
        drop_channel(u32(victim));
    }
    Channel *channel = make_new<Channel>(_allocator, peer, _transport, _packet, _allocator, _settings);
    if (channel)
        channel->heap.reserve(64);
    if (!channel || !channel->resend.is_valid() || !channel->received.is_valid() || channel->heap.capacity() < 64 ||
        !_channels.push_back(channel)) {
        log_message("network", "no memory for a channel to peer %llx; datagrams to and from it are dropped",
                    (unsigned long long)peer);
        delete_with_allocator(_allocator, channel);
        return nullptr;
    }
    channel->sent_to = use == Use::Send;
    return channel;
}

void Connection::drop_channel(u32 index)
{
    if (_stats.channels_dropped++ == 0)
        log_message("network", "channel to peer %llx dropped: never confirmed, or silent and unused here "
                               "(further ones are counted)",
                    (unsigned long long)_channels[index]->peer);
    delete_with_allocator(_allocator, _channels[index]);
    _channels.erase(index);
}

u32 Connection::send(u64 peer, u32 reliable, const void *bytes, u32 size)
{
    Channel *channel = find_channel(peer, Use::Send);
    if (!channel || channel->broken)
        return 0;
    const u32 limit = reliable ? max_reliable_payload_bytes : max_payload_bytes;
    if (size > limit || (size && !bytes)) {
        ++_stats.sends_refused;
        log_message("network", "send of %u %s bytes to peer %llx refused: a datagram carries at most %u", size,
                    reliable ? "reliable" : "unreliable", (unsigned long long)peer, limit);
        return 0;
    }
    ChannelOps ops{*this, *channel};
    if (!ops.queue(reliable != 0, bytes, size))
        return 0;
    return channel->next_sequence;
}

PacketStatus Connection::status(u64 peer, u32 sequence)
{
    Channel *channel = find_channel(peer);
    if (!channel || channel->broken)
        return PacketStatus::Expired;
    if (!sequence_before(sequence, channel->status_count))
        return PacketStatus::NotSent;
    if (channel->status_count - sequence >= 1025)
        return PacketStatus::Expired;
    return PacketStatus(channel->status[sequence & 0x3FF]);
}

bool Connection::acked(u64 peer, u32 sequence)
{
    Channel *channel = find_channel(peer);
    if (!channel || channel->broken)
        return false;
    return sequence_difference(channel->acknowledged, sequence) > 0;
}

void Connection::update(f32 dt_s)
{
    // A negative, NaN or huge step would wrap the clock arithmetic; an hour covers any
    // real frame.
    if (!(dt_s >= 0.0f))
        dt_s = 0.0f;
    if (dt_s > 3600.0f)
        dt_s = 3600.0f;
    for (u32 i = _channels.size(); i-- > 0;) {
        Channel &c = *_channels[i];
        c.age += dt_s;
        c.heard_timer += dt_s;
        if (!c.confirmed && !c.sent_to && c.age > _settings.unconfirmed_channel_s) {
            drop_channel(i);
            continue;
        }
        if (c.broken)
            continue;
        if (!c.resend.is_empty() || c.datagrams_sent - c.resend_floor >= resend_unacknowledged_datagrams)
            c.resend_timer += dt_s;
        c.send_timer += dt_s;
        c.ping_timer += dt_s;
        c.silence_timer += dt_s;
        const f32 milliseconds = dt_s * 1000.0f + c.millisecond_fraction;
        const f32 whole = std::floor(milliseconds);
        c.millisecond_clock = u16(c.millisecond_clock + u32(whole));
        c.millisecond_fraction = milliseconds - whole;
    }
}

void Connection::receive(const ReceiveHandler &handler)
{
    const ReceiveHandler local = handler; // the function works on its own copy of the context
    const u8 *bytes = nullptr;
    u32 size = 0;
    u64 peer = 0;
    while (_transport.receive(&bytes, &size, &peer)) {
        ++_stats.datagrams_received;
        Channel *channel = find_channel(peer, Use::Receive);
        if (!channel) {
            if (_transport.has_peer(peer)) // refused at the channel cap, counted there
                continue;
            if (_stats.dropped_unknown_peer++ == 0)
                log_message("network", "datagram from unknown peer %llx dropped", (unsigned long long)peer);
            continue;
        }
        if (channel->broken) {
            ++_stats.dropped_broken_channel;
            continue;
        }
        ChannelOps{*this, *channel}.receive_packet(bytes, size, local);
    }
}

void Connection::flush()
{
    for (Channel *channel : _channels) {
        Channel &c = *channel;
        if (c.broken || c.send_timer < send_period_s)
            continue;
        ChannelOps ops{*this, c};
        c.send_timer = 0;
        c.answers_this_period = 0;
        if (c.silence_timer > broken_silence_s) {
            ops.break_channel("no pong for 60 seconds");
            continue;
        }
        if (c.silence_timer > ping_silence_s && c.ping_timer > ping_period_s) {
            const u8 ping = u8(ControlType::Ping);
            if (!ops.queue(false, &ping, 1))
                continue;
            c.ping_timer = 0;
        }
        const bool in_flight =
            !c.resend.is_empty() || c.datagrams_sent - c.resend_floor >= resend_unacknowledged_datagrams;
        if (in_flight && c.resend_timer > c.resend_interval) {
            ops.resend_all();
            if (c.broken)
                continue;
        }
        if (c.reliable_length == 0 && c.unreliable_length == 0 && !c.ack_needed)
            continue;
        ops.send_packet();
    }
}

bool Connection::handle_control_message(u64 peer, u32 type, BitReader &reader)
{
    Channel *channel = find_channel(peer);
    if (!channel || channel->broken)
        return false;
    return ChannelOps{*this, *channel}.handle_control(type, reader);
}

u32 Connection::reliable_space(u64 peer)
{
    Channel *channel = find_channel(peer);
    if (!channel || channel->broken)
        return 0;
    u64 free = channel->resend.free_bytes();
    const u64 queued = channel->reliable_length ? channel->reliable_length + resend_record_head : 0;
    free = free > queued + resend_record_head ? free - queued - resend_record_head : 0;
    return u32(free < max_reliable_payload_bytes ? free : max_reliable_payload_bytes);
}

bool Connection::is_broken(u64 peer)
{
    Channel *channel = find_channel(peer);
    return channel && channel->broken;
}

f32 Connection::silence_s(u64 peer)
{
    for (const Channel *channel : _channels)
        if (channel->peer == peer)
            return channel->heard_timer;
    return 0;
}

bool Connection::validate() const
{
    for (const Channel *channel : _channels) {
        const Channel &c = *channel;
        if (c.reliable_length > max_reliable_payload_bytes || c.unreliable_length > max_payload_bytes ||
            c.reliable_length + c.unreliable_length > max_payload_bytes)
            return false;
        if (sequence_before(c.next_sequence, c.acknowledged) || c.status_count != c.next_sequence)
            return false;
        if (!c.broken && c.next_sequence - c.acknowledged > max_unacknowledged_datagrams)
            return false;
        if (c.heap.size() > receive_window)
            return false;
        u32 bits = 0;
        for (u64 word : c.pending_bits)
            bits += u32(__builtin_popcountll(word));
        if (bits != c.heap.size())
            return false;
        for (u32 i = 0; i < c.heap.size(); ++i) {
            const u32 sequence = c.heap[i].sequence;
            if (!(c.pending_bits[(sequence & 0x3FF) / 64] >> (sequence & 63) & 1))
                return false;
            if (sequence_difference(sequence, c.expected) >= i32(receive_window))
                return false;
            if (i > 0 && sequence_before(sequence, c.heap[(i - 1) / 2].sequence))
                return false;
        }
    }
    return true;
}

IConnection *make_connection(ITransport &transport)
{
    return make_new<Connection>(default_allocator(), transport, default_allocator());
}

} // namespace tallow::network
