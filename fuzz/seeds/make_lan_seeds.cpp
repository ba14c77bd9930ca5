// Writes fuzz_lan_lobby seeds from honest lobby traffic: make_lan_seeds <dir>.
#include "fuzz/fuzz_lan_lobby.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/writers/lan_datagram_writer.h"

#include <string>

using namespace tallow;
using namespace tallow::fuzz;

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_lan_seeds <dir>\n");
        return 2;
    }
    const std::string dir = argv[1];
    const std::vector<u8> block = test::lan_block({{"name", "the yard"}, {"mode", "duel"}});
    std::vector<u8> big = test::lan_block({{"blob", std::string(1100, 'x')}});
    std::vector<u8> first(big.begin(), big.begin() + 1024), second(big.begin() + 1024, big.end());
    std::vector<std::vector<u8>> seeds(4);
    append_lan_step(seeds[0], LanReceiver::Owner, LanSource::Stranger, test::lan_join_request(0xC3, 6000));
    append_lan_step(seeds[0], LanReceiver::Owner, LanSource::Member, test::lan_ack(7, 0xB2, 1));
    append_lan_step(seeds[0], LanReceiver::Owner, LanSource::Member, test::lan_leave(0xB2));
    append_lan_step(seeds[0], LanReceiver::Owner, LanSource::Stranger, test::lan_query());
    append_lan_step(seeds[0], LanReceiver::Owner, LanSource::Stranger, test::lan_ack(9, 0, 5));
    append_lan_step(seeds[1], LanReceiver::Member, LanSource::Owner, test::lan_chunk(8, u32(block.size()), 0, block));
    append_lan_step(seeds[1], LanReceiver::Member, LanSource::Owner, test::lan_chunk(8, u32(big.size()), 0, first));
    append_lan_step(seeds[1], LanReceiver::Member, LanSource::Owner, test::lan_chunk(8, u32(big.size()), 1, second));
    append_lan_step(seeds[1], LanReceiver::Member, LanSource::Owner, test::lan_chunk(10, u32(block.size()), 0, block));
    append_lan_step(seeds[2], LanReceiver::Member, LanSource::Owner,
                    test::lan_member_list({{0xA1, 0x7F000001, 1, 2}, {0xB2, 0x7F000001, 3, 4}, {0xC3, 0x7F000001, 5, 6}}, 0xA1));
    append_lan_step(seeds[2], LanReceiver::Member, LanSource::Owner, test::lan_owner_leaving());
    append_lan_step(seeds[2], LanReceiver::Owner, LanSource::Member, test::lan_join_reply(false));
    append_lan_step(seeds[3], LanReceiver::Browser, LanSource::Owner, test::lan_chunk(8, u32(block.size()), 0, block));
    append_lan_step(seeds[3], LanReceiver::Browser, LanSource::Stranger, {5});
    for (size_t i = 0; i < seeds.size(); ++i)
        write_seed(dir + "/lan_" + std::to_string(i), seeds[i].data(), seeds[i].size());
    return 0;
}
