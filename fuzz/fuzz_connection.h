#pragma once
// The input of fuzz_connection: a run of steps, each [u8 op][u16 length][length bytes]:
//   op % 4 == 0  a datagram from peer b arrives at the connection under test (a), which
//                reads it at once and walks its messages (control messages included);
//   op % 4 == 1  a sends the bytes to b, reliably;
//   op % 4 == 2  a sends the bytes to b, unreliably;
//   op % 4 == 3  time passes: the first byte / 200 seconds, then a updates, receives
//                and flushes.
// make_network_seeds writes honest sessions in this form.
#include "foundation/types.h"

#include <vector>

namespace tallow::fuzz {

enum class ConnectionStep : u8 { Datagram = 0, SendReliable = 1, SendUnreliable = 2, Time = 3 };

inline void append_connection_step(std::vector<u8> &out, ConnectionStep step, const u8 *bytes, u32 size)
{
    out.push_back(u8(step));
    out.push_back(u8(size));
    out.push_back(u8(size >> 8));
    out.insert(out.end(), bytes, bytes + size);
}

} // namespace tallow::fuzz
