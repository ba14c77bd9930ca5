#pragma once
// The steps fuzz_lan_lobby reads from its input, shared with its seed writer: each step is
// [u8 receiver][u8 source][u16 length][bytes]. The receiver picks the owner's lobby, the
// member's lobby or the lobby browser (receiver % 3); the source picks who the datagram
// seems to come from (source % 4): the owner's lobby socket, the member's, or one of two
// strangers. All of them are loopback addresses.
#include "foundation/types.h"

#include <vector>

namespace tallow::fuzz {

enum class LanReceiver : u8 { Owner = 0, Member = 1, Browser = 2 };
enum class LanSource : u8 { Owner = 0, Member = 1, Stranger = 2, OtherStranger = 3 };

inline void append_lan_step(std::vector<u8> &out, LanReceiver to, LanSource from, const std::vector<u8> &bytes)
{
    out.push_back(u8(to));
    out.push_back(u8(from));
    out.push_back(u8(bytes.size()));
    out.push_back(u8(bytes.size() >> 8));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

} // namespace tallow::fuzz
