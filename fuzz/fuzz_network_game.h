#pragma once
// Shared by fuzz_network_config, fuzz_network_game and their seed writer: the config the
// game target runs with, and the layout of the game target's input.
//
// fuzz_network_game input: steps of [u8 op][u16 length, little-endian][length bytes]:
//   op % 4 == 0  a delivery from the host, 1 from the third peer, 2 from an unlisted peer
//                (the bytes are the delivery; the sequence is the step's index)
//   op % 4 == 3  time passes: every game updates once over the in-memory network
// The game under test is the second of three joined games, holding objects of both types.
#include "foundation/types.h"
#include "tests/support/writers/network_config_writer.h"

#include <vector>

namespace tallow::fuzz {

inline test::NetworkConfigSpec network_fuzz_spec()
{
    test::NetworkConfigSpec spec;
    spec.rpcs.push_back({"chat", {test::string_argument(), test::int_field("n", 9, -3)}});
    spec.rpcs.push_back({"hit", {test::vector3_field("at", 12, -10, 10), test::quaternion_field("q", 23),
                                 test::bool_field("b"), test::float_field("f", 7, 0, 1), test::id_field("u")}});
    spec.types.push_back({"thing",
                          {test::bool_field("on"), test::int_field("count", 10, -100), test::float_field("x", 12, -50, 50),
                           test::vector3_field("at", 16, -100, 100), test::quaternion_field("turn", 32),
                           test::id_field("unit")}});
    spec.types.push_back({"glider",
                          {test::float_field("height", 16, 0, 100, 0, true), test::vector3_field("at", 16, -100, 100, 0, true),
                           test::quaternion_field("turn", 32, 0, true), test::int_field("mode", 4, 0)}});
    return spec;
}

inline void append_game_step(std::vector<u8> &out, u8 op, const std::vector<u8> &bytes)
{
    out.push_back(op);
    out.push_back(u8(bytes.size()));
    out.push_back(u8(bytes.size() >> 8));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

} // namespace tallow::fuzz
