#pragma once
// Builds connection datagrams from readable values, for tests, fuzz seeds and
// benchmarks: header fields, reliable bytes, and unreliable messages (control messages
// and the test messages that ConnectionPeer understands).
//
//   std::vector<u8> datagram = DatagramWriter()
//       .sequence(2).ack(0)
//       .reliable_message(7, {1, 2, 3})     // [1][u32 index][u16 size][bytes]
//       .empty_range(10, 11)                // [254][u16 10][u16 11]
//       .build();
//
// By default the header states the true reliable length; `stated_reliable_length` lies.

#include "foundation/types.h"

#include <optional>
#include <vector>

namespace tallow::test {

/// Type bytes of the test messages ConnectionPeer parses (below the control types).
constexpr u8 test_reliable_message_type = 1;
constexpr u8 test_unreliable_message_type = 2;

/// Appends a test message [1][u32 index][u16 size][bytes] to `out`.
void append_reliable_message(std::vector<u8> &out, u32 index, const std::vector<u8> &payload);
/// Appends a test message [2][u16 size][bytes] to `out`.
void append_unreliable_message(std::vector<u8> &out, const std::vector<u8> &payload);

class DatagramWriter {
  public:
    DatagramWriter &sequence(u32 value) { _sequence = value; return *this; }
    DatagramWriter &ack(u32 value) { _ack = value; return *this; }
    DatagramWriter &time_stamp(u16 value) { _stamp = value; return *this; }
    DatagramWriter &stated_reliable_length(u32 value) { _stated = value; return *this; }

    /// Raw bytes into the reliable or the unreliable part.
    DatagramWriter &reliable_bytes(const std::vector<u8> &bytes);
    DatagramWriter &unreliable_bytes(const std::vector<u8> &bytes);
    /// A test message in the reliable part.
    DatagramWriter &reliable_message(u32 index, const std::vector<u8> &payload);
    /// A test message in the unreliable part.
    DatagramWriter &unreliable_message(const std::vector<u8> &payload);

    /// Control messages, in the unreliable part.
    DatagramWriter &ping();
    DatagramWriter &pong();
    DatagramWriter &resend_request(u32 sequence);
    DatagramWriter &empty_range(u32 first, u32 end);
    /// [255][seq][length][bytes]; `stated_length` overrides the length field.
    DatagramWriter &reliable_chunk(u32 sequence, const std::vector<u8> &bytes,
                                   std::optional<u32> stated_length = std::nullopt);
    DatagramWriter &control(u8 type);

    std::vector<u8> build() const;

  private:
    u32 _sequence = 0;
    u32 _ack = 0;
    u16 _stamp = 0;
    std::optional<u32> _stated;
    std::vector<u8> _reliable;
    std::vector<u8> _unreliable;
};

} // namespace tallow::test
