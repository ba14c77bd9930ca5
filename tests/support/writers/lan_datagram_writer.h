#pragma once
// LAN lobby datagrams built from readable values (layouts in network/lan/lan_lobby.h),
// shared by the lobby tests and the lobby fuzz target's seeds.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow::test {

struct LanMemberEntry {
    u64 id;
    u32 address;
    u32 port;
    u16 transport_port;
};

std::vector<u8> lan_join_request(u64 id, u16 transport_port);
std::vector<u8> lan_join_reply(bool accepted);
std::vector<u8> lan_leave(u64 id);
std::vector<u8> lan_owner_leaving();
std::vector<u8> lan_query();
/// [6][u16 count][entries][u64 server]; `count` may claim more entries than are written.
std::vector<u8> lan_member_list(const std::vector<LanMemberEntry> &entries, u64 game_server, i32 count = -1);
/// [7|9|11][u64 id][u64 hash].
std::vector<u8> lan_ack(u8 type, u64 id, u64 hash);
/// [8|10][u32 total][u16 index][bytes].
std::vector<u8> lan_chunk(u8 type, u32 total, u16 index, const std::vector<u8> &bytes);
/// A key/value block: key NUL value NUL, pair after pair.
std::vector<u8> lan_block(const std::vector<std::pair<std::string, std::string>> &pairs);

} // namespace tallow::test
