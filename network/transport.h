#pragma once
// The datagram transport a connection sends through: unreliable, unordered datagrams to
// and from peers named by 64-bit ids. A network backend supplies one (the LAN backend
// over UDP sockets; MemoryNetwork in tests, with seeded loss, delay, reordering and
// duplication).
//
//   u8 hello[] = {1, 2, 3};
//   if (transport.has_peer(peer))
//       transport.send(peer, hello, sizeof(hello));
//   const u8 *bytes; u32 size; u64 from;
//   while (transport.receive(&bytes, &size, &from))
//       handle(from, bytes, size);     // bytes valid until the next receive call
//
// A new backend implements all three operations, on the main thread only. Nothing
// received is trusted: sizes and senders are whatever arrived.

#include "foundation/types.h"

namespace tallow::network {

class ITransport {
  public:
    virtual ~ITransport() = default;
    /// True when the transport can reach `peer` (and accepts datagrams from it).
    virtual bool has_peer(u64 peer) = 0;
    /// Sends one datagram; false when it could not be handed on (the datagram is then
    /// lost, as any datagram may be).
    virtual bool send(u64 peer, const u8 *bytes, u32 size) = 0;
    /// One waiting datagram per call; false when none waits. The bytes stay valid until
    /// the next call.
    virtual bool receive(const u8 **out_bytes, u32 *out_size, u64 *out_peer) = 0;
};

} // namespace tallow::network
