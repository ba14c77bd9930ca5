// Writes seeds for fuzz_network_config and fuzz_network_game:
//   make_network_game_seeds <config corpus dir> <game corpus dir>
// Configs come from the shared writer; deliveries are honest messages of every type
// built from readable values.
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_network_game.h"
#include "fuzz/fuzz_support.h"
#include "network/bit_packing.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace tallow;

namespace {

std::vector<u8> message(std::initializer_list<u8> head, u64 value, bool with_value)
{
    std::vector<u8> out(head);
    if (with_value)
        for (u32 i = 0; i < 8; ++i)
            out.push_back(u8(value >> (8 * i)));
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: make_network_game_seeds <config corpus dir> <game corpus dir>\n");
        return 1;
    }
    memory_globals_init();
    const std::string configs = argv[1], games = argv[2];
    {
        const std::vector<u8> bytes = test::write_network_config(fuzz::network_fuzz_spec());
        fuzz::write_seed(configs + "/full", bytes.data(), bytes.size());
        const std::vector<u8> empty = test::write_network_config({});
        fuzz::write_seed(configs + "/empty", empty.data(), empty.size());
    }
    const u64 host = 0xA000000000000001ull; // GameCluster's first peer
    std::vector<u8> steps;
    // A peer list from the host (the same three peers), a leave request, a timeout report.
    std::vector<u8> list = {1, 3};
    for (u32 i = 0; i < 3; ++i) {
        const std::vector<u8> id = message({}, host + i, true);
        list.insert(list.end(), id.begin(), id.end());
        list.push_back(u8(i));
    }
    fuzz::append_game_step(steps, 0, list);
    fuzz::append_game_step(steps, 1, {4});
    fuzz::append_game_step(steps, 1, message({9}, host, true));
    // A creation, an update of every field, a migration and a destruction from the third peer.
    u8 bytes[256];
    network::BitWriter create(bytes, sizeof(bytes));
    create.write_u8(5);
    create.write_bits(0, 8);
    create.write_bits((2u << 10) + 77, 16);
    const std::vector<u8> state(45, 0); // the size of "thing"
    create.write_bytes(state.data(), u32(state.size()));
    fuzz::append_game_step(steps, 1, std::vector<u8>(bytes, bytes + create.size_bytes()));
    network::BitWriter update(bytes, sizeof(bytes));
    update.write_u8(7);
    update.write_bits((2u << 10) + 77, 16);
    update.write_bits(0x3F, 6);
    for (u32 i = 0; i < 12; ++i)
        update.write_bits(0xA5A5A5A5u, 24);
    update.flush();
    fuzz::append_game_step(steps, 1, std::vector<u8>(bytes, bytes + update.size_bytes()));
    fuzz::append_game_step(steps, 3, {2});
    network::BitWriter migrate(bytes, sizeof(bytes));
    migrate.write_u8(8);
    migrate.write_bits((2u << 10) + 77, 16);
    migrate.write_u64(host);
    fuzz::append_game_step(steps, 1, std::vector<u8>(bytes, bytes + migrate.size_bytes()));
    fuzz::append_game_step(steps, 0, {6, 77, 8});
    // A remote call and a game message followed by a closing.
    fuzz::append_game_step(steps, 0, {0, 0, 0x05, 0, 'h', 'e', 'l', 'l', 'o', 3});
    fuzz::append_game_step(steps, 2, {3});
    fuzz::write_seed(games + "/session", steps.data(), steps.size());
    return 0;
}
