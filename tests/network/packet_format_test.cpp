#include "network/packet_format.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tallow;
using namespace tallow::network;

namespace {

TEST(PacketFormat, HeaderBytesAreGolden)
{
    struct Case {
        const char *name;
        PacketHeader header;
        std::vector<u8> bytes;
    };
    const Case cases[] = {
        {"zero", {0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}},
        {"seq 1023 ack 5 length 3 stamp 0x1234", {1023, 5, 3, 0x1234}, {0xFF, 0x17, 0x30, 0x00, 0x34, 0x12}},
        {"sequence bit 8 and 9 in byte 1", {0x300, 0, 0, 0}, {0x00, 0x03, 0, 0, 0, 0}},
        {"ack bits 6-9 in byte 2", {0, 0x3C0, 0, 0}, {0, 0, 0x0F, 0, 0, 0}},
        {"largest reliable length", {0, 0, 4095, 0xFFFF}, {0, 0, 0xF0, 0xFF, 0xFF, 0xFF}},
        {"only the low 10 bits of 32-bit counters", {1024 + 7, 2048 + 9, 0, 1}, {0x07, 0x24, 0x00, 0x00, 0x01, 0x00}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        u8 out[packet_header_bytes] = {};
        write_packet_header(out, c.header);
        EXPECT_EQ(std::vector<u8>(out, out + packet_header_bytes), c.bytes);
        PacketHeader back;
        ASSERT_TRUE(read_packet_header(out, packet_header_bytes, back));
        EXPECT_EQ(back.sequence, c.header.sequence & 0x3FF);
        EXPECT_EQ(back.ack, c.header.ack & 0x3FF);
        EXPECT_EQ(back.reliable_length, c.header.reliable_length);
        EXPECT_EQ(back.time_stamp, c.header.time_stamp);
    }
    PacketHeader header;
    const u8 short_bytes[5] = {};
    EXPECT_FALSE(read_packet_header(short_bytes, 5, header));
}

TEST(PacketFormat, SequencesExpandAgainstTheirReference)
{
    struct Case {
        const char *name;
        u32 bits;
        u32 wire;
        u32 reference;
        u32 expanded;
    };
    const Case cases[] = {
        {"same", 10, 5, 5, 5},
        {"1023 then 0 after it expands to 1024", 10, 0, 1024, 1024},
        {"1023 against 1023", 10, 1023, 1023, 1023},
        {"wire 0 against 1023 is the next", 10, 0, 1023, 1024},
        {"delta +512 stays ahead", 10, 512, 0, 512},
        {"delta +513 is behind", 10, 513, 0, u32(-511)},
        {"delta -512 stays behind", 10, 0, 512, 0},
        {"delta -513 wraps ahead", 10, 0, 513, 1024},
        {"far counters", 10, 3, 0x12345678, 0x12345403 + 0x400},
        {"behind across zero", 10, 1000, 2, u32(-24)},
        {"16-bit same", 16, 7, 7, 7},
        {"16-bit delta +32768 stays ahead", 16, 32768, 0, 32768},
        {"16-bit delta +32769 is behind", 16, 32769, 0, u32(-32767)},
        {"16-bit delta -32768 stays behind", 16, 0, 32768, 0},
        {"16-bit delta -32769 wraps ahead", 16, 0, 32769, 65536},
        {"16-bit across 65536", 16, 2, 65534, 65538},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const u32 got = c.bits == 10 ? expand_sequence10(c.wire, c.reference) : expand_sequence16(c.wire, c.reference);
        EXPECT_EQ(got, c.expanded);
    }
}

TEST(PacketFormat, SequenceOrderSurvivesWrap)
{
    EXPECT_TRUE(sequence_before(0xFFFFFFF0u, 5));
    EXPECT_FALSE(sequence_before(5, 0xFFFFFFF0u));
    EXPECT_EQ(sequence_difference(2, 0xFFFFFFFEu), 4);
}

} // namespace
