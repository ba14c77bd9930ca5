#include "network/memory_transport.h"

#include "foundation/log.h"

#include <cstring>

namespace tallow::network {

class MemoryTransport final : public ITransport {
  public:
    MemoryTransport(MemoryNetwork &network, u64 peer) : _network(network), _peer(peer) {}

    bool has_peer(u64 peer) override { return peer != _peer && _network.knows(peer); } // See ITransport
    bool send(u64 peer, const u8 *bytes, u32 size) override                            // See ITransport
    {
        return _network.send(_peer, peer, bytes, size);
    }
    bool receive(const u8 **out_bytes, u32 *out_size, u64 *out_peer) override // See ITransport
    {
        if (!_network.take(_peer, _received))
            return false;
        *out_bytes = _received.bytes;
        *out_size = _received.size;
        *out_peer = _received.from;
        return true;
    }

    u64 peer() const { return _peer; }

  private:
    MemoryNetwork &_network;
    u64 _peer;
    MemoryNetwork::Slot _received; // the datagram handed out last
};

MemoryNetwork::MemoryNetwork(Allocator &allocator, u64 seed, u32 slot_count)
    : _allocator(allocator), _random(seed), _slots(nullptr), _slot_count(0), _free(allocator), _in_flight(allocator),
      _endpoints(allocator), _links(allocator)
{
    _slots = static_cast<Slot *>(allocator.allocate(u64(slot_count) * sizeof(Slot), alignof(Slot)));
    _free.reserve(slot_count);
    _in_flight.reserve(slot_count);
    if (!_slots || _free.capacity() < slot_count || _in_flight.capacity() < slot_count) {
        log_message("network", "memory network: no memory for %u datagram slots", slot_count);
        return;
    }
    _slot_count = slot_count;
    for (u32 i = slot_count; i > 0; --i)
        _free.push_back(i - 1);
}

MemoryNetwork::~MemoryNetwork()
{
    for (MemoryTransport *endpoint : _endpoints)
        delete_with_allocator(_allocator, endpoint);
    _allocator.deallocate(_slots);
}

ITransport *MemoryNetwork::create_endpoint(u64 peer)
{
    if (knows(peer))
        return nullptr;
    MemoryTransport *endpoint = make_new<MemoryTransport>(_allocator, *this, peer);
    if (!endpoint || !_endpoints.push_back(endpoint)) {
        delete_with_allocator(_allocator, endpoint);
        return nullptr;
    }
    return endpoint;
}

void MemoryNetwork::set_link_settings(const MemoryLinkSettings &settings)
{
    _default_settings = settings;
    _links.clear();
}

void MemoryNetwork::set_link_settings(u64 from, u64 to, const MemoryLinkSettings &settings)
{
    for (Link &link : _links)
        if (link.from == from && link.to == to) {
            link.settings = settings;
            return;
        }
    _links.push_back(Link{from, to, settings});
}

const MemoryLinkSettings &MemoryNetwork::link(u64 from, u64 to) const
{
    for (const Link &link : _links)
        if (link.from == from && link.to == to)
            return link.settings;
    return _default_settings;
}

void MemoryNetwork::advance(f32 dt_s)
{
    if (dt_s > 0)
        _now_s += dt_s;
}

void MemoryNetwork::set_observer(Observer observer, void *user)
{
    _observer = observer;
    _observer_user = user;
}

bool MemoryNetwork::knows(u64 peer) const
{
    for (const MemoryTransport *endpoint : _endpoints)
        if (endpoint->peer() == peer)
            return true;
    return false;
}

f32 MemoryNetwork::random_unit()
{
    // splitmix64: every draw depends only on the seed and the number of draws before.
    u64 z = (_random += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return f32(z >> 40) * (1.0f / 16777216.0f);
}

bool MemoryNetwork::enqueue(u64 from, u64 to, const u8 *bytes, u32 size, f64 due_s)
{
    if (_free.empty()) {
        ++_stats.overflowed;
        return false;
    }
    const u32 index = _free.back();
    _free.pop_back();
    Slot &slot = _slots[index];
    slot.from = from;
    slot.to = to;
    slot.due_s = due_s;
    slot.order = _order++;
    slot.size = size;
    if (size)
        memcpy(slot.bytes, bytes, size);
    _in_flight.push_back(index);
    return true;
}

bool MemoryNetwork::send(u64 from, u64 to, const u8 *bytes, u32 size)
{
    if (size > max_datagram_bytes) {
        ++_stats.oversized;
        return false;
    }
    if (!knows(to))
        return false;
    ++_stats.sent;
    if (_observer)
        _observer(_observer_user, from, to, bytes, size);
    const MemoryLinkSettings &settings = link(from, to);
    // Every draw is made whatever the settings, so changing one probability does not
    // shift the others' random sequence.
    const bool lost = random_unit() < settings.loss;
    const bool duplicated = random_unit() < settings.duplicate;
    const bool reordered = random_unit() < settings.reorder;
    const f32 jitter = random_unit() * settings.jitter_s;
    const f32 copy_jitter = random_unit() * settings.jitter_s;
    if (lost) {
        ++_stats.lost;
        return true;
    }
    f64 due = _now_s + settings.latency_s + jitter;
    if (reordered) {
        ++_stats.reordered;
        due += settings.reorder_delay_s;
    }
    enqueue(from, to, bytes, size, due);
    if (duplicated) {
        ++_stats.duplicated;
        enqueue(from, to, bytes, size, _now_s + settings.latency_s + copy_jitter);
    }
    return true;
}

bool MemoryNetwork::inject(u64 from, u64 to, const u8 *bytes, u32 size)
{
    if (size > max_datagram_bytes || !knows(to))
        return false;
    return enqueue(from, to, bytes, size, _now_s);
}

bool MemoryNetwork::take(u64 to, Slot &out)
{
    u32 best = _in_flight.size();
    for (u32 i = 0; i < _in_flight.size(); ++i) {
        const Slot &slot = _slots[_in_flight[i]];
        if (slot.to != to || slot.due_s > _now_s)
            continue;
        if (best == _in_flight.size()) {
            best = i;
            continue;
        }
        const Slot &chosen = _slots[_in_flight[best]];
        if (slot.due_s < chosen.due_s || (slot.due_s == chosen.due_s && slot.order < chosen.order))
            best = i;
    }
    if (best == _in_flight.size())
        return false;
    const u32 index = _in_flight[best];
    const Slot &slot = _slots[index];
    out.from = slot.from;
    out.to = slot.to;
    out.size = slot.size;
    memcpy(out.bytes, slot.bytes, slot.size);
    _in_flight[best] = _in_flight.back();
    _in_flight.pop_back();
    _free.push_back(index);
    ++_stats.delivered;
    return true;
}

} // namespace tallow::network
