// Writes fuzz_connection seeds from honest sessions: make_network_seeds <dir>. Two
// connections talk over a lossy in-memory link; what b sends a and what a is asked to
// send become the steps of fuzz_connection.h.
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_connection.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/fakes/connection_peer.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace tallow;

namespace {

struct Recorder {
    std::vector<u8> steps;
};

void observe(void *user, u64 from, u64, const u8 *bytes, u32 size)
{
    if (from == test::ConnectionPair::id_b)
        fuzz::append_connection_step(static_cast<Recorder *>(user)->steps, fuzz::ConnectionStep::Datagram, bytes, size);
}

std::vector<u8> session(u64 seed, f32 loss, u32 steps)
{
    network::MemoryLinkSettings link;
    link.loss = loss;
    link.reorder = loss;
    link.duplicate = loss;
    link.latency_s = 0.02f;
    test::ConnectionPair pair(seed, link);
    Recorder recorder;
    pair.network.set_observer(&observe, &recorder);
    const u8 tick = 6; // 0.03 s
    for (u32 i = 0; i < steps; ++i) {
        std::vector<u8> message;
        test::append_reliable_message(message, i, std::vector<u8>(1 + i % 40, u8(i)));
        pair.b.connection.send(pair.id_a, 1, message.data(), u32(message.size()));
        if (i % 3 == 0) {
            const u8 hello[] = {test::test_unreliable_message_type, 1, 0, u8(i)};
            fuzz::append_connection_step(recorder.steps, fuzz::ConnectionStep::SendUnreliable, hello, sizeof(hello));
            pair.a.connection.send(pair.id_b, 0, hello, sizeof(hello));
        }
        if (i % 4 == 0) {
            fuzz::append_connection_step(recorder.steps, fuzz::ConnectionStep::SendReliable, message.data(),
                                         u32(message.size()));
            pair.a.connection.send(pair.id_b, 1, message.data(), u32(message.size()));
        }
        fuzz::append_connection_step(recorder.steps, fuzz::ConnectionStep::Time, &tick, 1);
        pair.step(0.03f);
    }
    return recorder.steps;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_network_seeds <dir>\n");
        return 2;
    }
    memory_globals_init();
    const std::string dir = argv[1];
    const std::vector<u8> clean = session(1, 0, 60);
    fuzz::write_seed(dir + "/clean.steps", clean.data(), clean.size());
    const std::vector<u8> lossy = session(2, 0.2f, 120);
    fuzz::write_seed(dir + "/lossy.steps", lossy.data(), lossy.size());
    memory_globals_shutdown();
    return 0;
}
