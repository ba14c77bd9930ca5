#pragma once
// The connection's wire format: the 6-byte datagram header, sequence expansion and the
// control message types. Shared by the connection, its tests and its fuzz target.
//
// A datagram is at most 1200 bytes:
//
//   bits 0-9    sequence         low 10 bits of the datagram's sequence number
//   bits 10-19  ack              low 10 bits of the sender's next expected sequence
//   bits 20-31  reliable length  reliable bytes after the header (0..4095 on the wire)
//   bits 32-47  time stamp       the sender's 16-bit millisecond clock
//   bytes 6 .. 6+length-1        reliable bytes of this sequence
//   the rest                     unreliable bytes, control messages among them
//
// packed least significant bit first, so the header is the little-endian 48-bit value
// seq | ack << 10 | length << 20 | stamp << 32 (seq 1023, ack 5, length 3, stamp 0x1234
// is FF 17 30 00 34 12).
//
// Control messages travel in the unreliable bytes, u16 fields little-endian:
//   [251] ping, [252] pong, [253][u16 seq] resend request,
//   [254][u16 first][u16 end] sequences first..end-1 carried no reliable bytes,
//   [255][u16 seq][u16 length][bytes] the reliable bytes of seq, sent again.
// Type 250 is reserved and ignored. The layer above parses the unreliable bytes as a
// run of messages and hands every message of type 250 or above to the connection.
//
// Sequence numbers are 32-bit counters; the wire carries 10 bits (header) or 16 bits
// (control messages), which the receiver expands against a reference it keeps. Every
// "above/below" test between sequences uses the signed difference, so counters wrap.

#include "foundation/types.h"

namespace tallow::network {

constexpr u32 max_datagram_bytes = 1200;
constexpr u32 packet_header_bytes = 6;
/// Reliable plus unreliable bytes one datagram carries.
constexpr u32 max_payload_bytes = max_datagram_bytes - packet_header_bytes; // 1194
/// Reliable bytes one datagram may carry: a [255] chunk (5 bytes of fields) must be able
/// to carry all of them again in a later datagram's payload.
constexpr u32 max_reliable_payload_bytes = max_payload_bytes - 5; // 1189

enum class ControlType : u8 {
    Reserved = 250,
    Ping = 251,
    Pong = 252,
    ResendRequest = 253,
    EmptyRange = 254,
    ReliableChunk = 255,
};
/// The lowest type byte that is a control message.
constexpr u8 first_control_type = 250;

struct PacketHeader {
    u32 sequence = 0;        // low 10 bits on the wire
    u32 ack = 0;             // low 10 bits on the wire
    u32 reliable_length = 0; // 12 bits
    u16 time_stamp = 0;      // milliseconds
};

/// Writes the 6 header bytes; only the wire bits of each field are used.
void write_packet_header(u8 *out, const PacketHeader &header);
/// Reads the header fields (sequence and ack as their 10 wire bits); false when `size`
/// is below 6. The caller still checks the reliable length against the size.
bool read_packet_header(const u8 *bytes, u32 size, PacketHeader &out_header);

/// Expands a 10-bit wire sequence against `reference`: the result lies within 512 of it.
u32 expand_sequence10(u32 wire, u32 reference);
/// Expands a 16-bit wire sequence against `reference`: within 32768 of it.
u32 expand_sequence16(u32 wire, u32 reference);

/// a - b read as signed: negative when a is before b, with wrapping counters.
inline i32 sequence_difference(u32 a, u32 b) { return i32(a - b); }
inline bool sequence_before(u32 a, u32 b) { return sequence_difference(a, b) < 0; }

} // namespace tallow::network
