// Datagrams from outside fed to a connection with state of its own: steps from the
// input interleave hostile datagrams, the connection's own sends and the passing of
// time (see fuzz_connection.h). Whatever arrives, the connection must stay inside its
// buffers and keep its invariants.
#include "fuzz/fuzz_connection.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/fakes/connection_peer.h"

#include <cstdlib>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    constexpr u64 id_a = test::ConnectionPair::id_a;
    constexpr u64 id_b = test::ConnectionPair::id_b;
    network::MemoryNetwork net(default_allocator(), 1, 256);
    test::ConnectionPeer a(net, id_a, id_b, default_allocator());
    network::ITransport *b = net.create_endpoint(id_b);
    a.keep_payloads = false;
    size_t at = 0;
    while (at + 3 <= size) {
        const u8 op = data[at];
        u32 length = u32(data[at + 1] | data[at + 2] << 8);
        at += 3;
        if (length > size - at)
            length = u32(size - at);
        const u8 *bytes = data + at;
        at += length;
        switch (fuzz::ConnectionStep(op % 4)) {
        case fuzz::ConnectionStep::Datagram:
            if (length <= network::max_datagram_bytes) {
                net.inject(id_b, id_a, bytes, length);
                a.receive();
            }
            break;
        case fuzz::ConnectionStep::SendReliable:
        case fuzz::ConnectionStep::SendUnreliable:
            a.connection.send(id_b, op % 4 == 1, bytes, length);
            break;
        case fuzz::ConnectionStep::Time: {
            const f32 dt = length ? bytes[0] / 200.0f : 0.03f;
            net.advance(dt);
            a.step(dt);
            const u8 *out;
            u32 out_size;
            u64 from;
            while (b->receive(&out, &out_size, &from)) {
            }
            break;
        }
        }
        a.reliable.clear();
        a.unreliable.clear();
        a.deliveries.clear();
        if (!a.connection.validate())
            abort();
    }
    return 0;
}
