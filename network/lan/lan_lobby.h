#pragma once
// LAN lobbies: one machine hosts (owns) the lobby, others join by address. The lobby keeps
// the member list (owner first), a block of lobby data set by the owner, a block of data
// per member, and the game server's peer id. Every change is pushed to the others and
// repeated each second until each receiver has acknowledged a hash of what it holds.
// Joining registers each member's transport address with the LanTransport, so the game's
// connection reaches members by peer id.
//
//   LanLobby *host = make_new<LanLobby>(a, transport, own_id, 47610, 4, a);      // hosting
//   LanLobby *join = make_new<LanLobby>(a, transport, own_id, 0, lobby_address, a); // joining
//   each frame: lobby->update(dt);            // NetworkManager::update does it
//   host->set_data("map", "yard");            // reaches every member
//   delete_with_allocator(a, join);           // leaves the lobby
//
// Datagrams (first byte the type, integers little-endian, at most 1200 bytes):
//   0 join request   [0][u64 id][u16 transport port]          joiner -> lobby address
//   1 join reply     [1][u8 accepted]                         owner -> joiner
//   2 leave          [2][u64 id]                              member -> owner
//   3 owner leaving  [3]                                      owner -> every member
//   4 query          [4]                                      browser -> lobby port
//   5 query answer   [5]                                      lobby -> browser
//   6 member list    [6][u16 n] n x (u64 id, u32 address, u32 port, u16 transport port)
//                    [u64 game server]                        owner -> members
//   7, 9, 11 acks    [t][u64 id][u64 hash] (member list, lobby data, member data)
//   8 lobby data     [8][u32 total][u16 chunk][bytes]         owner -> members, browsers
//   10 member data   [10][u32 total][u16 chunk][bytes]        member -> other members
// A block goes out as chunks of 1024 bytes (an empty block sends nothing). The owner's own
// entry carries 127.0.0.1; receivers put the list's source address in its place.
//
// Nothing received is trusted. Each message must have its full size; counts and chunks
// must fit the datagram and the block limit (64 KiB); and each must come from whom it may:
// a join reply from the lobby joined while joining, member lists, lobby data and the owner's
// departure from the owner's address, a leave from that member's address at the owner,
// member data and acks from the member's address. Anything else is dropped and counted. A
// repeated join request is answered again without listing the member twice; browsers'
// queries are remembered (at most 16, for 5 seconds), and each query draws at most
// `lan_query_chunks` chunks of lobby data however large the block. A join request must be
// exactly 11 bytes with a transport port. A member that has not acknowledged the member list
// `lan_member_unreachable_s` seconds after it changed is dropped as unreachable (it is sent
// every second until acknowledged). When the owner leaves, every member drops it and the
// next member in list order becomes the owner. Members that leave or are dropped are
// unlisted from the LanTransport too.
//
// Main thread only; the socket is non-blocking and read (at most 64 datagrams) in `update`.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "network/lan/key_value_block.h"
#include "network/lan/lan_transport.h"
#include "network/network_manager.h"

namespace tallow::network {

enum class LanLobbyState : u32 { Creating = 0, Joining = 1, Joined = 2, Failed = 3 };
const char *to_string(LanLobbyState state);

/// Members a lobby holds at most: the member list must fit one datagram (11 + 18 n bytes).
constexpr u32 lan_max_lobby_members = 66;
constexpr u32 lan_max_lobby_queries = 16;
constexpr f32 lan_query_lifetime_s = 5.0f;
constexpr f32 lan_resend_interval_s = 1.0f;
constexpr u32 lan_lobby_reads_per_update = 64;
/// Chunks of lobby data one browser's query draws at most (each up to 1024 bytes).
constexpr u32 lan_query_chunks = 4;
/// Seconds a member may leave the current member list unacknowledged before it is dropped.
constexpr f32 lan_member_unreachable_s = 5.0f;

struct LanLobbyMember {
    explicit LanLobbyMember(Allocator &allocator) : data(allocator) {}
    u64 id = 0;
    IpAddress address;      // its lobby socket
    u16 transport_port = 0;
    KeyValueBlock data;
    u64 acked[3] = {};      // member list, lobby data, member data hashes it acknowledged
    f32 unacked_s = 0;      // seconds it has left the current member list unacknowledged (owner)
};

struct LanLobbyStats {
    u64 sent = 0;      // datagrams sent
    u64 refused = 0;   // datagrams dropped: short, inconsistent, or from the wrong source
};

class LanLobby final : public ILobby {
  public:
    /// Hosts a lobby on `port` (0: any) for at most `max_members` (1 to 66) members; FAILED
    /// when the port cannot be bound.
    LanLobby(LanTransport &transport, u64 own_id, u32 port, u32 max_members, Allocator &parent);
    /// Joins the lobby at `lobby` from a socket on `local_port`; sends the request once.
    LanLobby(LanTransport &transport, u64 own_id, u32 local_port, IpAddress lobby, Allocator &parent);
    /// Leaves: the owner tells every member; a member tells the owner.
    ~LanLobby() override;
    LanLobby(const LanLobby &) = delete;
    LanLobby &operator=(const LanLobby &) = delete;

    void update(f32 dt_s) override; // See ILobby
    /// Handles one datagram as if read from the socket; for tests and fuzzing.
    void handle_datagram(const u8 *bytes, u32 size, IpAddress from);

    LanLobbyState state() const { return _state; }
    /// Sets a lobby data pair (the owner's data reaches everyone); true when it changed.
    bool set_data(const char *key, const char *value);
    const char *get_data(const char *key) const { return _data.get(key); }
    const KeyValueBlock &data() const { return _data; }
    void set_game_server(u64 id);
    u64 game_server() const { return _game_server; }
    /// The first member's id; 0 when there is none.
    u64 owner() const { return _members.empty() ? 0 : _members[0].id; }
    bool is_owner() const { return owner() == _own_id && _own_id != 0; }
    u32 member_count() const { return _members.size(); }
    /// Member `index`'s id; 0 past the count.
    u64 member(u32 index) const { return index < _members.size() ? _members[index].id : 0; }
    bool set_player_data(const char *key, const char *value);
    const char *get_player_data(const char *key) const { return _own_data.get(key); }
    /// Member `index`'s data for `key` (the own block for the own entry); null when absent.
    const char *get_member_data(u32 index, const char *key) const;
    u32 port() const { return _port; }
    u64 own_id() const { return _own_id; }
    const LanLobbyStats &stats() const { return _stats; }

  private:
    enum Group : u32 { MemberList = 0, LobbyData = 1, MemberData = 2 };
    struct Resend {
        f32 timer_s = 0;
        bool changed = true;
        bool all_acked = false;
    };
    struct Query {
        IpAddress address;
        u64 acked;
        f32 age_s;
        u32 chunks_left; // of lan_query_chunks
        u32 next_chunk;  // where the next send to it starts
    };

    void open_socket(u32 port);
    void add_member(u64 id, IpAddress address, u16 transport_port);
    void remove_member(u32 index);
    void drop_unreachable(f32 dt_s);
    i32 find_member(u64 id) const;
    i32 find_member_at(IpAddress address) const;
    void flag_all();
    void send(const u8 *bytes, u32 size, IpAddress to);
    void send_ack(u8 type, u64 hash, IpAddress to);
    bool due(Resend &group, f32 dt_s);
    void send_member_list();
    void send_block(u8 type, const KeyValueBlock &block, Group group);
    void refuse(const char *what, IpAddress from);
    IpAddress owner_address() const;

    void on_join_request(const u8 *bytes, u32 size, IpAddress from);
    void on_join_reply(const u8 *bytes, u32 size, IpAddress from);
    void on_leave(const u8 *bytes, u32 size, IpAddress from);
    void on_owner_leaving(IpAddress from);
    void on_query(IpAddress from);
    void on_member_list(const u8 *bytes, u32 size, IpAddress from);
    void on_chunk(const u8 *bytes, u32 size, IpAddress from);
    void on_ack(const u8 *bytes, u32 size, IpAddress from);

    TraceAllocator _allocator;
    u64 _own_id;
    LanTransport &_transport;
    Socket _socket;
    u32 _port = 0;
    u32 _max_members = lan_max_lobby_members;
    LanLobbyState _state = LanLobbyState::Failed;
    IpAddress _joined;          // the address a joining lobby sent its request to
    u64 _game_server = 0;
    KeyValueBlock _data;
    KeyValueBlock _own_data;
    Array<LanLobbyMember> _members;
    Array<Query> _queries;
    Resend _groups[3];
    u64 _member_list_hash = 0; // of the member list last sent
    LanLobbyStats _stats;
    u32 _logged_refusals = 0;
    u8 _message[lan_datagram_bytes];
};

/// Where the lobby browser sends its query. A target with port 0 takes the port `refresh`
/// is given. Without targets the browser queries the real local network's broadcast
/// address (ipv4_real_lan_broadcast); the setting "lan_broadcast_targets" lists them.
struct LanBroadcastTargets {
    static constexpr u32 capacity = 16;
    IpAddress targets[capacity];
    u32 count = 0;
};

struct LanFoundLobby {
    explicit LanFoundLobby(Allocator &allocator) : data(allocator) {}
    IpAddress address;
    KeyValueBlock data;
};

/// Finds lobbies: `refresh` sends a query to the broadcast targets and, for 3 seconds,
/// `update` lists the lobbies that answer and the data they send. Main thread only.
class LanLobbyBrowser {
  public:
    static constexpr f32 refresh_seconds = 3.0f;

    LanLobbyBrowser(Allocator &parent, const LanBroadcastTargets &targets);
    LanLobbyBrowser(const LanLobbyBrowser &) = delete;
    LanLobbyBrowser &operator=(const LanLobbyBrowser &) = delete;

    /// Starts a search on lobby port `port` unless one runs; the found list empties.
    void refresh(u32 port);
    void update(f32 dt_s);
    bool is_refreshing() const { return _refreshing; }
    u32 lobby_count() const { return _found.size(); }
    /// Null past the count.
    const LanFoundLobby *lobby(u32 index) const { return index < _found.size() ? &_found[index] : nullptr; }
    /// Handles one datagram as if read from the socket; for tests and fuzzing.
    void handle_datagram(const u8 *bytes, u32 size, IpAddress from);

  private:
    TraceAllocator _allocator;
    LanBroadcastTargets _targets;
    Array<LanFoundLobby> _found;
    bool _refreshing = false;
    f32 _time_left_s = 0;
    Socket _socket;
    u8 _buffer[lan_datagram_bytes];
};

} // namespace tallow::network
