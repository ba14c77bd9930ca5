// The datagram and reliability steps of a channel: queueing, sending, resending,
// receiving with reordering, and the control messages.
//
// Everything read from a datagram is checked before it is believed:
// - a datagram is at least its 6-byte header, at most 1200 bytes, and holds the
//   reliable bytes its header states;
// - an acknowledgement never passes the next sequence to send;
// - sequences taken in (header, [254], [255]) lie in the receive window [E, E+1024) of
//   the next expected sequence E; each is pending at most once (a bit per window slot),
//   so the heap and the receive ring hold one entry and one record per sequence, and
//   every loop over sequences is bounded by the window;
// - a [255] chunk is no longer than what remains of the datagram nor than a payload;
// - resend requests are answered within a budget per send period, since 3 bytes in
//   could otherwise draw a full datagram out.
#include "foundation/assert.h"
#include "foundation/io/little_endian.h"
#include "foundation/log.h"
#include "network/connection_internal.h"

#include <cstring>

namespace tallow::network {

namespace {

void call(const ReceiveHandler &handler, u64 peer, u32 sequence, const u8 *bytes, u32 size, f32 delay_s)
{
    if (handler.function)
        handler.function(const_cast<u8 *>(handler.context), peer, sequence, bytes, size, delay_s);
}

// Counts a refused datagram or message; the first of each kind is logged.
void count(u64 &counter, u64 peer, const char *what)
{
    if (counter++ == 0)
        log_message("network", "peer %llx: %s (further ones are counted, not logged)", (unsigned long long)peer,
                    what);
}

void put_u16(u8 *p, u32 value)
{
    p[0] = u8(value);
    p[1] = u8(value >> 8);
}

bool sequence_pending(const Channel &c, u32 sequence)
{
    const u32 slot = sequence & (receive_window - 1);
    return c.pending_bits[slot / 64] >> (slot % 64) & 1;
}

} // namespace

void ChannelOps::break_channel(const char *reason)
{
    if (channel.broken)
        return;
    channel.broken = 1;
    ++connection._stats.channels_broken;
    log_message("network", "channel to peer %llx broken: %s", (unsigned long long)channel.peer, reason);
}

void ChannelOps::reject(const char *what) { count(connection._stats.control_rejected, channel.peer, what); }

bool ChannelOps::queue(bool reliable, const void *bytes, u32 size)
{
    Channel &c = channel;
    bool full = c.unreliable_length + c.reliable_length + size + packet_header_bytes > max_datagram_bytes;
    if (reliable && c.reliable_length + size > max_reliable_payload_bytes)
        full = true;
    if (full) {
        send_packet();
        if (c.broken)
            return false;
    }
    u8 *buffer = reliable ? c.reliable : c.unreliable;
    u32 &length = reliable ? c.reliable_length : c.unreliable_length;
    TALLOW_ASSERT(length + size <= max_payload_bytes, "queued bytes past a datagram");
    if (size)
        memcpy(buffer + length, bytes, size);
    length += size;
    return true;
}

void ChannelOps::send_packet()
{
    Channel &c = channel;
    if (c.next_sequence - c.acknowledged >= max_unacknowledged_datagrams) {
        break_channel("512 datagrams in a row unacknowledged");
        return;
    }
    PacketHeader header;
    header.sequence = c.next_sequence;
    header.ack = c.expected;
    header.reliable_length = c.reliable_length;
    header.time_stamp = c.millisecond_clock;
    write_packet_header(c.packet, header);
    memcpy(c.packet + packet_header_bytes, c.reliable, c.reliable_length);
    memcpy(c.packet + packet_header_bytes + c.reliable_length, c.unreliable, c.unreliable_length);
    const u32 size = packet_header_bytes + c.reliable_length + c.unreliable_length;
    if (c.transport->send(c.peer, c.packet, size))
        ++connection._stats.datagrams_sent;
    else
        ++connection._stats.datagrams_send_failed;
    ++c.datagrams_sent;
    if (c.reliable_length > 0) {
        u8 head[resend_record_head];
        store_u32_le(head, c.next_sequence);
        store_u32_le(head + 4, c.reliable_length);
        if (!c.resend.write(head, sizeof(head), c.reliable, c.reliable_length)) {
            break_channel("more unacknowledged reliable bytes than the resend ring holds");
            return;
        }
    }
    c.status[c.next_sequence & 0x3FF] = u8(PacketStatus::Sent);
    ++c.status_count;
    ++c.next_sequence;
    c.reliable_length = 0;
    c.unreliable_length = 0;
    c.ack_needed = 0;
}

void ChannelOps::resend_all()
{
    Channel &c = channel;
    const u32 end = c.next_sequence;
    // What the walk would write first: a [255] chunk when the front record is the
    // acknowledged sequence, else a [254] range up to it.
    auto front = [&](u32 current, u64 position, u32 &out_peeked, u32 &out_length) {
        out_peeked = end;
        out_length = 0;
        if (position < c.resend.write_position()) {
            u8 head[resend_record_head];
            c.resend.read_at(position, head, sizeof(head));
            const u32 sequence = load_u32_le(head);
            if (sequence_before(sequence, end))
                out_peeked = sequence;
            out_length = load_u32_le(head + 4);
        }
        return out_peeked == current ? 5 + out_length : 5u;
    };
    u32 peeked = 0, length = 0;
    u32 space = max_payload_bytes - c.reliable_length - c.unreliable_length;
    // A chunk that can never fit beside the queued bytes would stall every resend behind
    // it: send the queued bytes first so the oldest chunk always goes out.
    if (sequence_before(c.acknowledged, end) && front(c.acknowledged, c.resend.read_position(), peeked, length) > space &&
        c.reliable_length + c.unreliable_length > 0) {
        send_packet();
        if (c.broken)
            return;
        space = max_payload_bytes;
    }
    u64 position = c.resend.read_position();
    u32 current = c.acknowledged;
    while (sequence_before(current, end)) {
        const u32 size = front(current, position, peeked, length);
        if (sequence_before(peeked, current)) {
            break_channel("resend ring out of order");
            return;
        }
        if (size > space)
            break;
        u8 *out = c.unreliable + c.unreliable_length;
        if (peeked == current) {
            out[0] = u8(ControlType::ReliableChunk);
            put_u16(out + 1, current);
            put_u16(out + 3, length);
            c.resend.read_at(position + resend_record_head, out + 5, length);
            position += resend_record_head + length;
            ++current;
        } else {
            out[0] = u8(ControlType::EmptyRange);
            put_u16(out + 1, current);
            put_u16(out + 3, peeked);
            current = peeked;
        }
        c.unreliable_length += size;
        space -= size;
    }
    for (u32 sequence = c.acknowledged; sequence_before(sequence, current); ++sequence)
        if (c.next_sequence - 1 - sequence < 1024)
            c.status[sequence & 0x3FF] = u8(PacketStatus::Resent);
    c.resend_timer = 0;
}

void ChannelOps::answer_resend_request(u16 wire_sequence)
{
    Channel &c = channel;
    const u32 sequence = expand_sequence16(wire_sequence, c.acknowledged);
    // Only sequences still in flight are answered; older requests crossed an ack.
    if (sequence_before(sequence, c.acknowledged) || !sequence_before(sequence, c.next_sequence))
        return;
    if (c.answers_this_period >= connection._settings.resend_answers_per_period) {
        count(connection._stats.resend_answers_refused, c.peer, "resend requests beyond the budget of a send period");
        return;
    }
    ++c.answers_this_period;
    u64 position = c.resend.read_position();
    u32 length = 0;
    bool found = false;
    while (position < c.resend.write_position()) {
        u8 head[resend_record_head];
        c.resend.read_at(position, head, sizeof(head));
        const u32 record_sequence = load_u32_le(head);
        length = load_u32_le(head + 4);
        if (record_sequence == sequence) {
            found = true;
            break;
        }
        if (sequence_before(sequence, record_sequence))
            break;
        position += resend_record_head + length;
    }
    const u32 size = found ? 5 + length : 5;
    if (c.reliable_length + c.unreliable_length + size + packet_header_bytes > max_datagram_bytes) {
        send_packet();
        if (c.broken)
            return;
    }
    u8 *out = c.unreliable + c.unreliable_length;
    if (found) {
        out[0] = u8(ControlType::ReliableChunk);
        put_u16(out + 1, sequence);
        put_u16(out + 3, length);
        c.resend.read_at(position + resend_record_head, out + 5, length);
    } else {
        out[0] = u8(ControlType::EmptyRange);
        put_u16(out + 1, sequence);
        put_u16(out + 3, sequence + 1);
    }
    c.unreliable_length += size;
    c.resend_timer = 0;
    c.status[sequence & 0x3FF] = u8(PacketStatus::Resent);
}

void ChannelOps::receive_packet(const u8 *bytes, u32 size, const ReceiveHandler &handler)
{
    Channel &c = channel;
    ConnectionStats &stats = connection._stats;
    PacketHeader header;
    if (size > max_datagram_bytes || !read_packet_header(bytes, size, header) ||
        header.reliable_length > size - packet_header_bytes) {
        count(stats.dropped_malformed, c.peer, "datagram shorter than its header and reliable bytes, or too long");
        return;
    }
    const u32 sequence = expand_sequence10(header.sequence, c.expected);
    const u32 ack = expand_sequence10(header.ack, c.acknowledged);
    if (sequence_before(c.next_sequence, ack)) {
        count(stats.dropped_bad_ack, c.peer, "datagram acknowledging sequences never sent");
        return;
    }
    c.confirmed = 1;
    c.heard_timer = 0;

    const u16 offset = u16(c.millisecond_clock - header.time_stamp);
    f32 delay_s = 0;
    if (c.first_datagram) {
        c.first_datagram = 0;
        c.lowest_offset = offset;
    } else {
        i16 above = i16(u16(offset - c.lowest_offset));
        if (above < 0) {
            c.lowest_offset = offset;
            above = 0;
        }
        delay_s = f32(above) * 0.001f;
    }

    const u32 reliable_length = header.reliable_length;
    const u8 *reliable = bytes + packet_header_bytes;
    const u8 *unreliable = reliable + reliable_length;
    const u32 unreliable_length = size - packet_header_bytes - reliable_length;
    if (reliable_length > 0 || unreliable_length > 0)
        c.ack_needed = 1;

    if (sequence_before(c.acknowledged, ack)) {
        c.acknowledged = ack;
        for (u32 s = c.status_low; sequence_before(s, ack); ++s)
            if (c.status[s & 0x3FF] == u8(PacketStatus::Sent))
                c.status[s & 0x3FF] = u8(PacketStatus::Acknowledged);
        c.status_low = ack;
        while (!c.resend.is_empty()) {
            u8 head[resend_record_head];
            c.resend.read_at(c.resend.read_position(), head, sizeof(head));
            if (!sequence_before(load_u32_le(head), ack))
                break;
            c.resend.set_read_position(c.resend.read_position() + resend_record_head + load_u32_le(head + 4));
        }
    }
    c.resend_floor = c.acknowledged;

    if (sequence == c.expected) {
        call(handler, c.peer, sequence, reliable, reliable_length, delay_s);
        ++c.expected;
        if (c.broken)
            return;
    } else if (sequence_before(c.expected, sequence) && !sequence_pending(c, sequence)) {
        if (reliable_length > 0 && !store_received(sequence, reliable, reliable_length))
            return;
        if (!push_pending(sequence, reliable_length > 0))
            return;
    }

    // Deliver what the new arrival let through. An entry is popped before the handler
    // runs: the handler may hand control messages back, which push new entries.
    while (!c.heap.empty() && !sequence_before(c.expected, c.heap[0].sequence)) {
        const PendingEntry entry = pop_pending();
        if (entry.has_bytes) {
            u32 taken = 0;
            if (!take_received(entry.sequence, connection._scratch, &taken)) {
                break_channel("reliable bytes of a pending sequence missing");
                return;
            }
            if (entry.sequence == c.expected) {
                call(handler, c.peer, entry.sequence, connection._scratch, taken, delay_s);
                if (c.broken)
                    return;
            }
        }
        if (entry.sequence == c.expected)
            ++c.expected;
    }

    if (c.expected != c.request_expected) {
        c.request_count = 0;
        c.request_expected = c.expected;
    }
    if (c.heap.size() > c.request_count + 5) {
        u8 request[3] = {u8(ControlType::ResendRequest)};
        put_u16(request + 1, c.expected);
        if (!queue(false, request, sizeof(request)))
            return;
        c.request_count = c.heap.size();
    }

    call(handler, c.peer, sequence, unreliable, unreliable_length, delay_s);
}

bool ChannelOps::handle_control(u32 type, BitReader &reader)
{
    Channel &c = channel;
    switch (type) {
    case u32(ControlType::Reserved):
        return true;
    case u32(ControlType::Ping): {
        const u8 pong = u8(ControlType::Pong);
        return queue(false, &pong, 1);
    }
    case u32(ControlType::Pong):
        c.silence_timer = 0;
        return true;
    case u32(ControlType::ResendRequest): {
        const u16 wire = reader.read_u16();
        if (reader.has_overflowed()) {
            reject("resend request cut short");
            return false;
        }
        answer_resend_request(wire);
        return !c.broken;
    }
    case u32(ControlType::EmptyRange): {
        const u16 first_wire = reader.read_u16();
        const u16 end_wire = reader.read_u16();
        if (reader.has_overflowed()) {
            reject("empty range cut short");
            return false;
        }
        const u32 first = expand_sequence16(first_wire, c.expected);
        const u32 end = expand_sequence16(end_wire, c.expected);
        if (sequence_before(end, first) || end - first > receive_window ||
            sequence_difference(end, c.expected) > i32(receive_window)) {
            reject("empty range reversed or beyond the receive window");
            return false;
        }
        for (u32 s = sequence_before(first, c.expected) ? c.expected : first; sequence_before(s, end); ++s)
            if (!sequence_pending(c, s) && !push_pending(s, false))
                return false;
        return true;
    }
    case u32(ControlType::ReliableChunk): {
        const u16 wire = reader.read_u16();
        const u32 length = reader.read_u16();
        if (reader.has_overflowed() || length > max_payload_bytes || length > reader.remaining_bytes()) {
            reject("reliable chunk longer than a payload or than its datagram");
            return false;
        }
        const u8 *data = reader.cursor();
        reader.skip_bytes(length);
        const u32 sequence = expand_sequence16(wire, c.expected);
        if (sequence_before(sequence, c.expected))
            return true;
        if (sequence_difference(sequence, c.expected) >= i32(receive_window)) {
            reject("reliable chunk beyond the receive window");
            return false;
        }
        if (sequence_pending(c, sequence))
            return true;
        return store_received(sequence, data, length) && push_pending(sequence, true);
    }
    default:
        return false;
    }
}

bool ChannelOps::is_pending(u32 sequence) const { return sequence_pending(channel, sequence); }

bool ChannelOps::push_pending(u32 sequence, bool has_bytes)
{
    Channel &c = channel;
    TALLOW_ASSERT(!sequence_pending(c, sequence), "sequence pending twice");
    if (!c.heap.push_back(PendingEntry{sequence, u8(has_bytes)})) {
        break_channel("no memory for the pending heap");
        return false;
    }
    const u32 slot = sequence & (receive_window - 1);
    c.pending_bits[slot / 64] |= u64(1) << (slot % 64);
    u32 i = c.heap.size() - 1;
    while (i > 0) {
        const u32 parent = (i - 1) / 2;
        if (!sequence_before(c.heap[i].sequence, c.heap[parent].sequence))
            break;
        std::swap(c.heap[i], c.heap[parent]);
        i = parent;
    }
    return true;
}

PendingEntry ChannelOps::pop_pending()
{
    Channel &c = channel;
    const PendingEntry top = c.heap[0];
    const u32 slot = top.sequence & (receive_window - 1);
    c.pending_bits[slot / 64] &= ~(u64(1) << (slot % 64));
    c.heap[0] = c.heap.back();
    c.heap.pop_back();
    const u32 size = c.heap.size();
    u32 i = 0;
    for (;;) {
        const u32 left = 2 * i + 1, right = left + 1;
        u32 smallest = i;
        if (left < size && sequence_before(c.heap[left].sequence, c.heap[smallest].sequence))
            smallest = left;
        if (right < size && sequence_before(c.heap[right].sequence, c.heap[smallest].sequence))
            smallest = right;
        if (smallest == i)
            break;
        std::swap(c.heap[i], c.heap[smallest]);
        i = smallest;
    }
    return top;
}

void ChannelOps::compact_received()
{
    ByteRing &ring = channel.received;
    u8 record[receive_record_head + max_datagram_bytes];
    u64 to = ring.read_position();
    for (u64 from = ring.read_position(); from < ring.write_position();) {
        ring.read_at(from, record, receive_record_head);
        const u32 size = receive_record_head + load_u32_le(record + 5);
        if (record[4]) {
            if (to != from) {
                ring.read_at(from, record, size);
                ring.write_at(to, record, size);
            }
            to += size;
        }
        from += size;
    }
    ring.truncate(to);
}

bool ChannelOps::store_received(u32 sequence, const u8 *bytes, u32 size)
{
    u8 head[receive_record_head];
    store_u32_le(head, sequence);
    head[4] = 1;
    store_u32_le(head + 5, size);
    // Records taken out of order stay behind the front one as dead records; when the new
    // record does not fit, the live ones are moved together first. The live records
    // belong to sequences the sender still holds unacknowledged, so an honest sender,
    // whose records are one byte shorter each, always fits a ring of its resend ring's
    // size plus one byte per datagram it may have in flight.
    if (channel.received.free_bytes() < sizeof(head) + size)
        compact_received();
    if (!channel.received.write(head, sizeof(head), bytes, size)) {
        break_channel("more reliable bytes ahead of order than the receive ring holds");
        return false;
    }
    return true;
}

bool ChannelOps::take_received(u32 sequence, u8 *out, u32 *out_size)
{
    ByteRing &ring = channel.received;
    u8 head[receive_record_head];
    while (!ring.is_empty()) {
        ring.read_at(ring.read_position(), head, sizeof(head));
        if (head[4])
            break;
        ring.set_read_position(ring.read_position() + receive_record_head + load_u32_le(head + 5));
    }
    for (u64 position = ring.read_position(); position < ring.write_position();) {
        ring.read_at(position, head, sizeof(head));
        const u32 length = load_u32_le(head + 5);
        if (head[4] && load_u32_le(head) == sequence) {
            if (length > max_datagram_bytes)
                return false;
            ring.read_at(position + receive_record_head, out, length);
            if (position == ring.read_position()) {
                ring.set_read_position(position + receive_record_head + length);
            } else {
                const u8 dead = 0;
                ring.write_at(position + 4, &dead, 1);
            }
            *out_size = length;
            return true;
        }
        position += receive_record_head + length;
    }
    return false;
}

} // namespace tallow::network
