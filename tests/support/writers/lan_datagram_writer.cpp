#include "tests/support/writers/lan_datagram_writer.h"

namespace tallow::test {

namespace {
void put(std::vector<u8> &out, u64 value, u32 bytes)
{
    for (u32 i = 0; i < bytes; ++i)
        out.push_back(u8(value >> (8 * i)));
}
} // namespace

std::vector<u8> lan_join_request(u64 id, u16 transport_port)
{
    std::vector<u8> out{0};
    put(out, id, 8);
    put(out, transport_port, 2);
    return out;
}

std::vector<u8> lan_join_reply(bool accepted) { return {1, u8(accepted ? 1 : 0)}; }

std::vector<u8> lan_leave(u64 id)
{
    std::vector<u8> out{2};
    put(out, id, 8);
    return out;
}

std::vector<u8> lan_owner_leaving() { return {3}; }
std::vector<u8> lan_query() { return {4}; }

std::vector<u8> lan_member_list(const std::vector<LanMemberEntry> &entries, u64 game_server, i32 count)
{
    std::vector<u8> out{6};
    put(out, count < 0 ? entries.size() : u32(count), 2);
    for (const LanMemberEntry &e : entries) {
        put(out, e.id, 8);
        put(out, e.address, 4);
        put(out, e.port, 4);
        put(out, e.transport_port, 2);
    }
    put(out, game_server, 8);
    return out;
}

std::vector<u8> lan_ack(u8 type, u64 id, u64 hash)
{
    std::vector<u8> out{type};
    put(out, id, 8);
    put(out, hash, 8);
    return out;
}

std::vector<u8> lan_chunk(u8 type, u32 total, u16 index, const std::vector<u8> &bytes)
{
    std::vector<u8> out{type};
    put(out, total, 4);
    put(out, index, 2);
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

std::vector<u8> lan_block(const std::vector<std::pair<std::string, std::string>> &pairs)
{
    std::vector<u8> out;
    for (const auto &[key, value] : pairs) {
        out.insert(out.end(), key.begin(), key.end());
        out.push_back(0);
        out.insert(out.end(), value.begin(), value.end());
        out.push_back(0);
    }
    return out;
}

} // namespace tallow::test
