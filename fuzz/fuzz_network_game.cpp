// Game messages from outside fed to a joined network game holding objects (see
// fuzz_network_game.h for the input's steps). Whatever arrives and whoever sends it, the
// game must stay inside its buffers and keep its invariants.
#include "fuzz/fuzz_network_game.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/fakes/network_game_peer.h"

#include <cstdlib>

using namespace tallow;
using namespace tallow::network;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    test::GameCluster cluster(1, {}, test::write_network_config(fuzz::network_fuzz_spec()), 3);
    cluster.host(0);
    cluster.run(0.3f);
    for (u32 p = 0; p < 3; ++p)
        for (u32 t = 0; t < 2; ++t) {
            const GameObjectType *type = cluster.config.object_type(t);
            cluster[p].game()->create_object(t, cluster.config.data_at(*type));
        }
    cluster.run(0.3f);
    cluster[1].rpc_mode = true;
    NetworkGame &game = *cluster[1].game();
    size_t at = 0;
    u32 index = 0;
    while (at + 3 <= size) {
        const u8 op = data[at];
        u32 length = u32(data[at + 1] | data[at + 2] << 8);
        at += 3;
        if (length > size - at)
            length = u32(size - at);
        const u8 *bytes = data + at;
        at += length;
        ++index;
        switch (op % 4) {
        case 0:
        case 1:
        case 2: {
            const u64 sender = op % 4 == 0 ? cluster[0].id : op % 4 == 1 ? cluster[2].id : 0x5555;
            game.receive_delivery(sender, 1000 + index, bytes, length, length ? bytes[0] / 1000.0f : 0);
            break;
        }
        default:
            cluster.step(length ? bytes[0] / 200.0f : 0.01f);
            break;
        }
        if (!game.validate())
            abort();
        cluster[1].events.clear();
        cluster[1].calls.clear();
    }
    return 0;
}
