#pragma once
// The LAN backend's transport: one non-blocking UDP socket bound to every local address on
// a port, and the list of peers (64-bit id -> IPv4 address and port) it may talk to.
//
//   LanTransport transport(0, allocator);           // port 0: the system picks one
//   if (!transport.is_bound()) ...                  // nothing will be received
//   transport.add_peer(id, ipv4_loopback, port);    // the lobby does this for members
//   transport.send(id, bytes, size);
//   while (transport.receive(&bytes, &size, &from)) ...
//
// A datagram is handed out only when its source (address and port) is exactly a listed
// peer's. A datagram from anyone else is held back for a moment, since its sender may be
// listed soon (a member's first packets can beat the lobby's member list): at most
// `lan_held_datagrams` are held, each for `lan_held_datagram_s` seconds, the oldest making
// room for a new one, and reading goes on past them, so a stray datagram never stops the
// transport. The lobby removes the peers of members that leave, so the list holds the
// lobby's members only. Main thread only.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "platform/net/socket.h"
#include "network/network_game.h"
#include "network/transport.h"

namespace tallow::network {

using platform::IpAddress;
using platform::ipv4;
using platform::ipv4_loopback;
using platform::ipv4_real_lan_broadcast;
using platform::Socket;
using platform::SocketKind;

constexpr u32 lan_datagram_bytes = 1200;
constexpr u32 lan_held_datagrams = 8;
constexpr f64 lan_held_datagram_s = 1.0;
/// Datagrams read from the socket by one `receive` call at most.
constexpr u32 lan_reads_per_receive = 64;

struct LanPeer {
    u64 id;
    IpAddress address;
};

struct LanTransportStats {
    u64 held = 0;    // datagrams from unlisted sources held back
    u64 dropped = 0; // held datagrams that expired or made room
};

class LanTransport final : public ITransport {
  public:
    /// Opens and binds the socket on `port` (0: any free port). A failed bind is logged
    /// and leaves the transport unbound: `is_bound` is false and nothing is received.
    LanTransport(u32 port, Allocator &parent, NetworkClock clock = {});
    ~LanTransport() override = default;
    LanTransport(const LanTransport &) = delete;
    LanTransport &operator=(const LanTransport &) = delete;

    bool has_peer(u64 peer) override; // See ITransport
    bool send(u64 peer, const u8 *bytes, u32 size) override;
    bool receive(const u8 **out_bytes, u32 *out_size, u64 *out_peer) override;

    /// Lists the peer, or moves a listed one to the new address.
    void add_peer(u64 id, u32 address, u32 port);
    /// Unlists the peer (nothing when it is not listed).
    void remove_peer(u64 id);
    bool is_bound() const { return _bound; }
    /// The bound port (the system's choice when made with port 0).
    u32 port() const { return _port; }
    const Array<LanPeer> &peers() const { return _peers; }
    const LanTransportStats &stats() const { return _stats; }

  private:
    struct Held {
        IpAddress from;
        f64 time_s;
        u32 size;
        u8 bytes[lan_datagram_bytes];
    };

    i32 find_peer(IpAddress address) const;
    f64 now_s() const;
    void hold(IpAddress from, const u8 *bytes, u32 size);

    TraceAllocator _allocator;
    u32 _port = 0;
    Socket _socket;
    Array<LanPeer> _peers;
    Array<Held> _held;
    NetworkClock _clock;
    LanTransportStats _stats;
    bool _bound = false;
    u8 _buffer[lan_datagram_bytes];
};

} // namespace tallow::network
