#pragma once
// An in-memory datagram network for tests, fuzzing and tools: endpoints that send to
// each other through links that lose, delay, reorder and duplicate datagrams, all drawn
// from one seed, so a run with the same seed and the same calls is the same run. Time
// moves only when the owner calls `advance`.
//
//   MemoryNetwork network(allocator, 1234);
//   MemoryLinkSettings lossy;
//   lossy.loss = 0.1f;
//   lossy.reorder = 0.1f;
//   network.set_link_settings(lossy);
//   ITransport *a = network.create_endpoint(1);   // owned by the network
//   ITransport *b = network.create_endpoint(2);
//   a->send(2, bytes, size);                      // in flight for the link's delay
//   network.advance(0.03f);
//   b->receive(&data, &size, &from);              // due datagrams, earliest first
//
// Each endpoint knows every other endpoint (`has_peer`). Datagrams are copied into
// slots taken at creation; a send when every slot is in flight is lost and counted.
// `inject` delivers bytes from any id (known or not) at once, for hostile input. An
// observer may watch every datagram sent. Single-threaded; nothing leaves the process.

#include "foundation/containers/array.h"
#include "foundation/memory/allocator.h"
#include "network/packet_format.h"
#include "network/transport.h"

namespace tallow::network {

/// How a link treats each datagram; probabilities in [0, 1], times in seconds.
struct MemoryLinkSettings {
    f32 loss = 0;            // chance a datagram is dropped
    f32 duplicate = 0;       // chance a datagram arrives twice (the copy with its own delay)
    f32 reorder = 0;         // chance a datagram is held back by `reorder_delay_s` more
    f32 latency_s = 0;       // one-way delay of every datagram
    f32 jitter_s = 0;        // extra delay, uniform in [0, jitter_s]
    f32 reorder_delay_s = 0.05f;
};

/// Counts over the network's life.
struct MemoryNetworkStats {
    u64 sent = 0;       // send calls that were accepted
    u64 lost = 0;       // dropped by a link's loss
    u64 duplicated = 0; // extra copies made
    u64 reordered = 0;  // held back
    u64 delivered = 0;  // handed out by receive
    u64 overflowed = 0; // lost because every slot was in flight
    u64 oversized = 0;  // refused: larger than a datagram
};

class MemoryTransport;

class MemoryNetwork {
  public:
    /// Called for every datagram a send accepts, before loss is applied.
    using Observer = void (*)(void *user, u64 from, u64 to, const u8 *bytes, u32 size);

    /// `slot_count` datagrams may be in flight at once; memory comes from `allocator`
    /// now and for each endpoint made.
    MemoryNetwork(Allocator &allocator, u64 seed, u32 slot_count = 4096);
    ~MemoryNetwork();
    MemoryNetwork(const MemoryNetwork &) = delete;
    MemoryNetwork &operator=(const MemoryNetwork &) = delete;

    /// Makes the endpoint of `peer`; null when the id is taken or memory ran out.
    ITransport *create_endpoint(u64 peer);
    /// Settings for every link, or for the one direction from -> to.
    void set_link_settings(const MemoryLinkSettings &settings);
    void set_link_settings(u64 from, u64 to, const MemoryLinkSettings &settings);
    /// Moves the clock on; datagrams whose delay has passed become receivable.
    void advance(f32 dt_s);
    f64 now_s() const { return _now_s; }
    /// Delivers `bytes` to `to` as if sent by `from`, now and without loss.
    bool inject(u64 from, u64 to, const u8 *bytes, u32 size);
    void set_observer(Observer observer, void *user);
    /// Datagrams in flight (sent, not yet received).
    u32 in_flight() const { return _in_flight.size(); }
    const MemoryNetworkStats &stats() const { return _stats; }

  private:
    friend class MemoryTransport;
    struct Slot {
        u64 from;
        u64 to;
        f64 due_s;
        u64 order; // send order, breaking ties of due time
        u32 size;
        u8 bytes[max_datagram_bytes];
    };
    struct Link {
        u64 from;
        u64 to;
        MemoryLinkSettings settings;
    };

    bool send(u64 from, u64 to, const u8 *bytes, u32 size);
    bool enqueue(u64 from, u64 to, const u8 *bytes, u32 size, f64 due_s);
    bool take(u64 to, Slot &out);
    const MemoryLinkSettings &link(u64 from, u64 to) const;
    f32 random_unit();
    bool knows(u64 peer) const;

    Allocator &_allocator;
    u64 _random;
    f64 _now_s = 0;
    u64 _order = 0;
    Slot *_slots;
    u32 _slot_count;
    Array<u32> _free;      // slot indices not in flight
    Array<u32> _in_flight; // slot indices in flight
    Array<MemoryTransport *> _endpoints;
    Array<Link> _links;
    MemoryLinkSettings _default_settings;
    MemoryNetworkStats _stats;
    Observer _observer = nullptr;
    void *_observer_user = nullptr;
};

} // namespace tallow::network
