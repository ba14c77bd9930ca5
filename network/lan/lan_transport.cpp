#include "network/lan/lan_transport.h"

#include "foundation/log.h"

#include <chrono>
#include <cstring>

namespace tallow::network {

namespace {
const char *const log_category = "network";
}

LanTransport::LanTransport(u32 port, Allocator &parent, NetworkClock clock)
    : _allocator("lan_transport", parent), _port(port), _peers(_allocator), _held(_allocator), _clock(clock)
{
    _held.reserve(lan_held_datagrams);
    if (!_socket.open(SocketKind::Datagram))
        return;
    _socket.set_blocking(false);
    _bound = _socket.bind({0, port});
    if (!_bound) {
        log_message(log_category, "LAN transport: port %u could not be bound; this machine receives nothing", port);
        return;
    }
    _socket.set_broadcast(true);
    _port = _socket.local_address().port;
}

bool LanTransport::has_peer(u64 peer)
{
    for (const LanPeer &p : _peers)
        if (p.id == peer)
            return true;
    return false;
}

bool LanTransport::send(u64 peer, const u8 *bytes, u32 size)
{
    for (const LanPeer &p : _peers) {
        if (p.id == peer) {
            _socket.send_to(bytes, size, p.address);
            return true;
        }
    }
    return false;
}

i32 LanTransport::find_peer(IpAddress address) const
{
    for (u32 i = 0; i < _peers.size(); ++i)
        if (_peers[i].address == address)
            return i32(i);
    return -1;
}

f64 LanTransport::now_s() const
{
    if (_clock.now_s)
        return _clock.now_s(_clock.user);
    using namespace std::chrono;
    return duration<f64>(steady_clock::now().time_since_epoch()).count();
}

void LanTransport::hold(IpAddress from, const u8 *bytes, u32 size)
{
    if (_held.size() >= lan_held_datagrams) {
        _held.erase(0);
        ++_stats.dropped;
    }
    Held held;
    held.from = from;
    held.time_s = now_s();
    held.size = size;
    memcpy(held.bytes, bytes, size);
    _held.push_back(held);
    ++_stats.held;
}

bool LanTransport::receive(const u8 **out_bytes, u32 *out_size, u64 *out_peer)
{
    if (!_bound)
        return false;
    // Held datagrams first, in arrival order: a sender listed since they came gets them.
    const f64 now = now_s();
    for (u32 i = 0; i < _held.size();) {
        if (now - _held[i].time_s > lan_held_datagram_s) {
            _held.erase(i);
            ++_stats.dropped;
            continue;
        }
        const i32 peer = find_peer(_held[i].from);
        if (peer < 0) {
            ++i;
            continue;
        }
        memcpy(_buffer, _held[i].bytes, _held[i].size);
        *out_bytes = _buffer;
        *out_size = _held[i].size;
        *out_peer = _peers[u32(peer)].id;
        _held.erase(i);
        return true;
    }
    for (u32 reads = 0; reads < lan_reads_per_receive; ++reads) {
        IpAddress from;
        const i32 n = _socket.receive_from(_buffer, sizeof(_buffer), &from);
        if (n < 0)
            return false;
        if (n == 0)
            continue;
        const i32 peer = find_peer(from);
        if (peer < 0) {
            hold(from, _buffer, u32(n));
            continue;
        }
        *out_bytes = _buffer;
        *out_size = u32(n);
        *out_peer = _peers[u32(peer)].id;
        return true;
    }
    return false;
}

void LanTransport::add_peer(u64 id, u32 address, u32 port)
{
    const IpAddress where{address, port & 0xFFFF};
    for (LanPeer &p : _peers) {
        if (p.id == id) {
            p.address = where;
            return;
        }
    }
    _peers.push_back({id, where});
}

void LanTransport::remove_peer(u64 id)
{
    for (u32 i = 0; i < _peers.size(); ++i)
        if (_peers[i].id == id) {
            _peers.erase(i);
            return;
        }
}

} // namespace tallow::network
