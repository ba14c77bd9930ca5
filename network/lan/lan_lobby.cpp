#include "network/lan/lan_lobby.h"

#include "foundation/log.h"
#include "foundation/strings/murmur_hash.h"

#include <cstring>

namespace tallow::network {

namespace {

const char *const log_category = "network";
constexpr u32 chunk_bytes = 1024;
constexpr u32 chunk_header_bytes = 7;   // [type][u32 total][u16 index]
constexpr u32 ack_bytes = 17;           // [type][u64 id][u64 hash]
constexpr u32 member_entry_bytes = 18;  // u64 id, u32 address, u32 port, u16 transport port
constexpr u32 max_logged_refusals = 8;
constexpr u32 max_found_lobbies = 64;

void put_u16(u8 *p, u16 v) { p[0] = u8(v); p[1] = u8(v >> 8); }
void put_u32(u8 *p, u32 v) { for (u32 i = 0; i < 4; ++i) p[i] = u8(v >> (8 * i)); }
void put_u64(u8 *p, u64 v) { for (u32 i = 0; i < 8; ++i) p[i] = u8(v >> (8 * i)); }
u16 get_u16(const u8 *p) { return u16(p[0] | p[1] << 8); }
u32 get_u32(const u8 *p) { u32 v = 0; for (u32 i = 0; i < 4; ++i) v |= u32(p[i]) << (8 * i); return v; }
u64 get_u64(const u8 *p) { u64 v = 0; for (u32 i = 0; i < 8; ++i) v |= u64(p[i]) << (8 * i); return v; }

} // namespace

const char *to_string(LanLobbyState state)
{
    switch (state) {
    case LanLobbyState::Creating: return "creating";
    case LanLobbyState::Joining: return "joining";
    case LanLobbyState::Joined: return "joined";
    case LanLobbyState::Failed: return "failed";
    }
    return "unknown";
}

LanLobby::LanLobby(LanTransport &transport, u64 own_id, u32 port, u32 max_members, Allocator &parent)
    : _allocator("lan_lobby", parent), _own_id(own_id), _transport(transport), _data(_allocator),
      _own_data(_allocator), _members(_allocator), _queries(_allocator)
{
    _max_members = max_members < 1 ? 1 : max_members > lan_max_lobby_members ? lan_max_lobby_members : max_members;
    if (max_members != _max_members)
        log_message(log_category, "LAN lobby: %u members asked for; it holds %u", max_members, _max_members);
    open_socket(port);
    if (!_socket.is_open()) {
        _state = LanLobbyState::Failed;
        return;
    }
    _state = LanLobbyState::Joined;
    add_member(own_id, {ipv4_loopback, _port}, u16(transport.port()));
}

LanLobby::LanLobby(LanTransport &transport, u64 own_id, u32 local_port, IpAddress lobby, Allocator &parent)
    : _allocator("lan_lobby", parent), _own_id(own_id), _transport(transport), _joined(lobby), _data(_allocator),
      _own_data(_allocator), _members(_allocator), _queries(_allocator)
{
    open_socket(local_port);
    if (!_socket.is_open()) {
        _state = LanLobbyState::Failed;
        return;
    }
    _state = LanLobbyState::Joining;
    u8 request[11];
    request[0] = 0;
    put_u64(request + 1, own_id);
    put_u16(request + 9, u16(transport.port()));
    send(request, sizeof(request), lobby);
}

LanLobby::~LanLobby()
{
    if (!_socket.is_open())
        return;
    if (is_owner()) {
        const u8 leaving = 3;
        for (u32 i = 1; i < _members.size(); ++i)
            send(&leaving, 1, _members[i].address);
    } else if (_state == LanLobbyState::Joined || _state == LanLobbyState::Joining) {
        u8 leave[9];
        leave[0] = 2;
        put_u64(leave + 1, _own_id);
        send(leave, sizeof(leave), owner_address());
    }
}

void LanLobby::open_socket(u32 port)
{
    if (!_socket.open(SocketKind::Datagram))
        return;
    _socket.set_blocking(false);
    if (!_socket.bind({0, port})) {
        log_message(log_category, "LAN lobby: port %u could not be bound", port);
        _socket.close();
        return;
    }
    _port = _socket.local_address().port;
}

void LanLobby::add_member(u64 id, IpAddress address, u16 transport_port)
{
    LanLobbyMember member(_allocator);
    member.id = id;
    member.address = address;
    member.transport_port = transport_port;
    _members.push_back(std::move(member));
    if (id != _own_id)
        _transport.add_peer(id, address.address, transport_port);
    flag_all();
}

void LanLobby::remove_member(u32 index)
{
    if (_members[index].id != _own_id)
        _transport.remove_peer(_members[index].id);
    _members.erase(index);
    _groups[MemberList].changed = true;
}

void LanLobby::drop_unreachable(f32 dt_s)
{
    for (u32 i = 1; i < _members.size();) {
        LanLobbyMember &member = _members[i];
        member.unacked_s = member.acked[MemberList] == _member_list_hash ? 0 : member.unacked_s + dt_s;
        if (member.unacked_s <= lan_member_unreachable_s) {
            ++i;
            continue;
        }
        log_message(log_category, "LAN lobby: member %llx did not answer for %g seconds; dropped",
                    static_cast<unsigned long long>(member.id), f64(lan_member_unreachable_s));
        remove_member(i);
    }
}

i32 LanLobby::find_member(u64 id) const
{
    for (u32 i = 0; i < _members.size(); ++i)
        if (_members[i].id == id)
            return i32(i);
    return -1;
}

i32 LanLobby::find_member_at(IpAddress address) const
{
    for (u32 i = 0; i < _members.size(); ++i)
        if (_members[i].id != _own_id && _members[i].address == address)
            return i32(i);
    return -1;
}

void LanLobby::flag_all()
{
    for (Resend &group : _groups)
        group.changed = true;
}

IpAddress LanLobby::owner_address() const { return _members.empty() ? _joined : _members[0].address; }

void LanLobby::send(const u8 *bytes, u32 size, IpAddress to)
{
    _socket.send_to(bytes, size, to);
    ++_stats.sent;
}

void LanLobby::send_ack(u8 type, u64 hash, IpAddress to)
{
    u8 ack[ack_bytes];
    ack[0] = type;
    put_u64(ack + 1, _own_id);
    put_u64(ack + 9, hash);
    send(ack, sizeof(ack), to);
}

void LanLobby::refuse(const char *what, IpAddress from)
{
    ++_stats.refused;
    if (_logged_refusals++ < max_logged_refusals) {
        char text[24];
        from.to_string(text, sizeof(text));
        log_message(log_category, "LAN lobby: dropped %s from %s", what, text);
    }
}

bool LanLobby::set_data(const char *key, const char *value)
{
    if (!_data.set(key, value))
        return false;
    _groups[LobbyData].changed = true;
    return true;
}

void LanLobby::set_game_server(u64 id)
{
    if (_game_server == id)
        return;
    _game_server = id;
    // The id travels in the member list: without this a new server would never reach
    // members that acknowledged the list already.
    _groups[MemberList].changed = true;
}

bool LanLobby::set_player_data(const char *key, const char *value)
{
    if (!_own_data.set(key, value))
        return false;
    _groups[MemberData].changed = true;
    return true;
}

const char *LanLobby::get_member_data(u32 index, const char *key) const
{
    if (index >= _members.size())
        return nullptr;
    return _members[index].id == _own_id ? _own_data.get(key) : _members[index].data.get(key);
}

bool LanLobby::due(Resend &group, f32 dt_s)
{
    group.timer_s -= dt_s;
    return group.changed || (!group.all_acked && group.timer_s <= 0);
}

void LanLobby::send_member_list()
{
    u8 *m = _message;
    m[0] = 6;
    put_u16(m + 1, u16(_members.size()));
    u32 at = 3;
    for (const LanLobbyMember &member : _members) {
        put_u64(m + at, member.id);
        put_u32(m + at + 8, member.address.address);
        put_u32(m + at + 12, member.address.port);
        put_u16(m + at + 16, member.transport_port);
        at += member_entry_bytes;
    }
    put_u64(m + at, _game_server);
    at += 8;
    const u64 hash = murmur_hash_64(m, at, 0);
    _member_list_hash = hash;
    bool sent = false;
    for (u32 i = 0; i < _members.size(); ++i) {
        if (_members[i].id == _own_id || _members[i].acked[MemberList] == hash)
            continue;
        send(m, at, _members[i].address);
        sent = true;
    }
    Resend &group = _groups[MemberList];
    group.timer_s = lan_resend_interval_s;
    group.changed = false;
    group.all_acked = !sent;
}

void LanLobby::send_block(u8 type, const KeyValueBlock &block, Group which)
{
    Resend &group = _groups[which];
    group.timer_s = lan_resend_interval_s;
    group.changed = false;
    group.all_acked = true;
    const u32 total = block.size();
    if (total == 0)
        return;
    const u64 hash = block.hash();
    const u32 chunk_count = (total + chunk_bytes - 1) / chunk_bytes;
    auto send_chunk = [&](u32 index, IpAddress to) {
        const u32 offset = index * chunk_bytes;
        const u32 size = total - offset < chunk_bytes ? total - offset : chunk_bytes;
        _message[0] = type;
        put_u32(_message + 1, total);
        put_u16(_message + 5, u16(index));
        memcpy(_message + chunk_header_bytes, block.data() + offset, size);
        send(_message, chunk_header_bytes + size, to);
        group.all_acked = false;
    };
    for (const LanLobbyMember &member : _members)
        if (member.id != _own_id && member.acked[which] != hash)
            for (u32 index = 0; index < chunk_count; ++index)
                send_chunk(index, member.address);
    if (which == LobbyData)
        // A browser's query costs a bounded number of chunks, whoever sent it.
        for (Query &query : _queries)
            for (u32 n = 0; n < chunk_count && query.acked != hash && query.chunks_left > 0; ++n) {
                send_chunk(query.next_chunk % chunk_count, query.address);
                query.next_chunk = (query.next_chunk + 1) % chunk_count;
                --query.chunks_left;
            }
}

void LanLobby::update(f32 dt_s)
{
    for (u32 i = 0; i < _queries.size();) {
        _queries[i].age_s += dt_s;
        if (_queries[i].age_s > lan_query_lifetime_s)
            _queries.erase(i);
        else
            ++i;
    }
    if (_socket.is_open() && _state == LanLobbyState::Joined) {
        if (is_owner()) {
            drop_unreachable(dt_s);
            if (due(_groups[MemberList], dt_s))
                send_member_list();
            if (due(_groups[LobbyData], dt_s))
                send_block(8, _data, LobbyData);
        }
        if (due(_groups[MemberData], dt_s))
            send_block(10, _own_data, MemberData);
    }
    for (u32 reads = 0; reads < lan_lobby_reads_per_update; ++reads) {
        IpAddress from;
        const i32 n = _socket.receive_from(_message, sizeof(_message), &from);
        if (n < 0)
            break;
        // Handling may build replies in _message; the datagram moves out of the way first.
        u8 datagram[lan_datagram_bytes];
        memcpy(datagram, _message, u32(n));
        handle_datagram(datagram, u32(n), from);
    }
}

void LanLobby::handle_datagram(const u8 *bytes, u32 size, IpAddress from)
{
    if (size == 0 || !bytes)
        return;
    switch (bytes[0]) {
    case 0: on_join_request(bytes, size, from); break;
    case 1: on_join_reply(bytes, size, from); break;
    case 2: on_leave(bytes, size, from); break;
    case 3: on_owner_leaving(from); break;
    case 4: on_query(from); break;
    case 6: on_member_list(bytes, size, from); break;
    case 8:
    case 10: on_chunk(bytes, size, from); break;
    case 7:
    case 9:
    case 11: on_ack(bytes, size, from); break;
    default: break; // 5 (an answer meant for browsers) and unknown types
    }
}

void LanLobby::on_join_request(const u8 *bytes, u32 size, IpAddress from)
{
    if (!is_owner())
        return refuse("a join request (not the owner)", from);
    if (size != 11)
        return refuse("a join request that is not 11 bytes", from);
    const u64 id = get_u64(bytes + 1);
    const u16 transport_port = get_u16(bytes + 9);
    u8 reply[2] = {1, 0};
    if (id == 0 || id == _own_id || transport_port == 0)
        return refuse("a join request with a bad id or no transport port", from);
    const i32 known = find_member(id);
    if (known >= 0) {
        // A repeated request (the reply was lost): answer again, list it once.
        if (_members[u32(known)].address != from)
            return refuse("a join request for another member's id", from);
        reply[1] = 1;
    } else if (_members.size() < _max_members) {
        add_member(id, from, transport_port);
        reply[1] = 1;
    }
    send(reply, sizeof(reply), from);
}

void LanLobby::on_join_reply(const u8 *bytes, u32 size, IpAddress from)
{
    if (_state != LanLobbyState::Joining || from != _joined)
        return refuse("a join reply", from);
    _state = size >= 2 && bytes[1] != 0 ? LanLobbyState::Joined : LanLobbyState::Failed;
    if (_state == LanLobbyState::Failed)
        log_message(log_category, "LAN lobby: the lobby refused the join (full)");
}

void LanLobby::on_leave(const u8 *bytes, u32 size, IpAddress from)
{
    if (!is_owner() || size < 9)
        return refuse("a leave message", from);
    const i32 index = find_member(get_u64(bytes + 1));
    if (index <= 0 || _members[u32(index)].address != from)
        return refuse("a leave message for a member not at that address", from);
    remove_member(u32(index));
}

void LanLobby::on_owner_leaving(IpAddress from)
{
    if (is_owner() || _members.empty() || from != _members[0].address)
        return refuse("an owner-leaving message", from);
    // Every member drops the owner, so all agree that the next member owns the lobby.
    remove_member(0);
    if (is_owner()) {
        for (LanLobbyMember &member : _members)
            member.acked[MemberList] = member.acked[LobbyData] = 0;
        _groups[LobbyData].changed = true;
    }
}

void LanLobby::on_query(IpAddress from)
{
    const u8 answer = 5;
    send(&answer, 1, from);
    Query *query = nullptr;
    for (Query &q : _queries)
        if (q.address == from)
            query = &q;
    if (!query) {
        if (_queries.size() >= lan_max_lobby_queries)
            _queries.erase(0);
        _queries.push_back({from, 0, 0, 0, 0});
        query = &_queries.back();
    }
    query->acked = 0;
    query->age_s = 0;
    query->chunks_left = lan_query_chunks;
    _groups[LobbyData].changed = true;
}

void LanLobby::on_member_list(const u8 *bytes, u32 size, IpAddress from)
{
    if (is_owner() || (_state != LanLobbyState::Joined && _state != LanLobbyState::Joining) ||
        from != owner_address())
        return refuse("a member list (not from the owner)", from);
    if (size < 3)
        return refuse("a short member list", from);
    const u32 count = get_u16(bytes + 1);
    if (count == 0 || count > lan_max_lobby_members || size < 11 + member_entry_bytes * count)
        return refuse("a member list whose count does not fit", from);
    const u8 *entries = bytes + 3;
    for (u32 i = 0; i < count; ++i) {
        const u64 id = get_u64(entries + i * member_entry_bytes);
        if (id == 0)
            return refuse("a member list with a zero id", from);
        for (u32 j = 0; j < i; ++j)
            if (get_u64(entries + j * member_entry_bytes) == id)
                return refuse("a member list with a repeated id", from);
    }
    Array<LanLobbyMember> members(_allocator);
    members.reserve(count);
    for (u32 i = 0; i < count; ++i) {
        const u8 *e = entries + i * member_entry_bytes;
        const u64 id = get_u64(e);
        const i32 old = find_member(id);
        if (old >= 0) {
            members.push_back(std::move(_members[u32(old)]));
            continue;
        }
        LanLobbyMember member(_allocator);
        member.id = id;
        member.address = i == 0 ? from : IpAddress{get_u32(e + 8), get_u32(e + 12) & 0xFFFF};
        member.transport_port = get_u16(e + 16);
        if (id != _own_id)
            _transport.add_peer(id, member.address.address, member.transport_port);
        members.push_back(std::move(member));
        _groups[MemberData].changed = true; // a new member has none of this lobby's data
    }
    for (const LanLobbyMember &old : _members) { // those left out are no longer members
        bool kept = old.id == _own_id;
        for (u32 i = 0; i < members.size() && !kept; ++i)
            kept = members[i].id == old.id;
        if (!kept)
            _transport.remove_peer(old.id);
    }
    _members = std::move(members);
    _game_server = get_u64(entries + count * member_entry_bytes);
    send_ack(7, murmur_hash_64(bytes, size, 0), from);
}

void LanLobby::on_chunk(const u8 *bytes, u32 size, IpAddress from)
{
    if (size < chunk_header_bytes)
        return refuse("a short data chunk", from);
    const u32 total = get_u32(bytes + 1);
    const u32 index = get_u16(bytes + 5);
    const u8 *chunk = bytes + chunk_header_bytes;
    const u32 chunk_size = size - chunk_header_bytes;
    if (bytes[0] == 8) {
        if (is_owner() || _members.empty() || from != _members[0].address)
            return refuse("lobby data (not from the owner)", from);
        if (!_data.store_chunk(total, index, chunk, chunk_size))
            return refuse("a lobby data chunk that does not fit its block", from);
        send_ack(9, _data.hash(), from);
        return;
    }
    const i32 member = find_member_at(from);
    if (member < 0)
        return refuse("member data (not from a member)", from);
    KeyValueBlock &data = _members[u32(member)].data;
    if (!data.store_chunk(total, index, chunk, chunk_size))
        return refuse("a member data chunk that does not fit its block", from);
    send_ack(11, data.hash(), from);
}

void LanLobby::on_ack(const u8 *bytes, u32 size, IpAddress from)
{
    if (size < ack_bytes)
        return refuse("a short acknowledgement", from);
    const u64 id = get_u64(bytes + 1);
    const u64 hash = get_u64(bytes + 9);
    const Group group = bytes[0] == 7 ? MemberList : bytes[0] == 9 ? LobbyData : MemberData;
    const i32 member = id ? find_member(id) : -1;
    if (member >= 0 && _members[u32(member)].id != _own_id && _members[u32(member)].address == from) {
        _members[u32(member)].acked[group] = hash;
        return;
    }
    if (group == LobbyData && id == 0) {
        for (Query &query : _queries) {
            if (query.address == from) {
                query.acked = hash;
                return;
            }
        }
    }
    refuse("an acknowledgement from no member at that address", from);
}

// Lobby browser ----------------------------------------------------------------------------

LanLobbyBrowser::LanLobbyBrowser(Allocator &parent, const LanBroadcastTargets &targets)
    : _allocator("lan_lobby_browser", parent), _targets(targets), _found(_allocator)
{
    if (_targets.count > LanBroadcastTargets::capacity)
        _targets.count = LanBroadcastTargets::capacity;
    if (_socket.open(SocketKind::Datagram)) {
        _socket.set_blocking(false);
        _socket.set_broadcast(true);
    }
}

void LanLobbyBrowser::refresh(u32 port)
{
    if (_refreshing)
        return;
    _found.clear();
    _refreshing = true;
    _time_left_s = refresh_seconds;
    const u8 query = 4;
    if (_targets.count == 0) {
        _socket.send_to(&query, 1, {ipv4_real_lan_broadcast, port});
        return;
    }
    for (u32 i = 0; i < _targets.count; ++i) {
        IpAddress to = _targets.targets[i];
        if (to.port == 0)
            to.port = port;
        _socket.send_to(&query, 1, to);
    }
}

void LanLobbyBrowser::update(f32 dt_s)
{
    if (!_refreshing)
        return;
    _time_left_s -= dt_s;
    if (_time_left_s <= 0) {
        _refreshing = false;
        return;
    }
    for (u32 reads = 0; reads < lan_lobby_reads_per_update; ++reads) {
        IpAddress from;
        const i32 n = _socket.receive_from(_buffer, sizeof(_buffer), &from);
        if (n < 0)
            break;
        handle_datagram(_buffer, u32(n), from);
    }
}

void LanLobbyBrowser::handle_datagram(const u8 *bytes, u32 size, IpAddress from)
{
    if (size == 0 || !bytes)
        return;
    if (bytes[0] == 5) {
        if (_found.size() >= max_found_lobbies)
            return;
        LanFoundLobby lobby(_allocator);
        lobby.address = from;
        _found.push_back(std::move(lobby));
        return;
    }
    if (bytes[0] != 8 || size < chunk_header_bytes)
        return;
    for (LanFoundLobby &lobby : _found) {
        if (lobby.address != from)
            continue;
        if (!lobby.data.store_chunk(get_u32(bytes + 1), get_u16(bytes + 5), bytes + chunk_header_bytes,
                                    size - chunk_header_bytes))
            return;
        u8 ack[ack_bytes];
        ack[0] = 9;
        put_u64(ack + 1, 0);
        put_u64(ack + 9, lobby.data.hash());
        _socket.send_to(ack, sizeof(ack), from);
        return;
    }
}

} // namespace tallow::network
