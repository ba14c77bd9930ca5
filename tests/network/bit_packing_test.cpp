#include "network/bit_packing.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tallow;
using namespace tallow::network;

namespace {

struct Field {
    u32 value;
    u32 bits;
};

TEST(BitPacking, FieldsPackLowestBitFirstIntoGoldenBytes)
{
    struct Case {
        const char *name;
        std::vector<Field> fields;
        std::vector<u8> bytes; // after flush
    };
    const Case cases[] = {
        {"one bit", {{1, 1}}, {0x01}},
        {"bits fill from the low end", {{1, 1}, {0, 1}, {1, 1}}, {0x05}},
        {"value split across bytes", {{0x3, 2}, {0x3FF, 10}}, {0xFF, 0x0F}},
        {"extra high bits of a value are ignored", {{0xFFFFFFFF, 4}}, {0x0F}},
        {"32-bit value after 3 bits", {{0x5, 3}, {0x89ABCDEF, 32}}, {0x7D, 0x6F, 0x5E, 0x4D, 0x04}},
        {"header-like run", {{1023, 10}, {5, 10}, {3, 12}}, {0xFF, 0x17, 0x30, 0x00}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        u8 buffer[16] = {};
        BitWriter writer(buffer, sizeof(buffer));
        for (const Field &f : c.fields)
            writer.write_bits(f.value, f.bits);
        writer.flush();
        ASSERT_FALSE(writer.has_overflowed());
        EXPECT_EQ(std::vector<u8>(buffer, buffer + writer.size_bytes()), c.bytes);

        BitReader reader(buffer, writer.size_bytes());
        for (const Field &f : c.fields) {
            const u32 mask = f.bits == 32 ? 0xFFFFFFFFu : (1u << f.bits) - 1;
            EXPECT_EQ(reader.read_bits(f.bits), f.value & mask);
        }
        EXPECT_FALSE(reader.has_overflowed());
    }
}

TEST(BitPacking, WholeValuesAreLittleEndianAtTheByteCursor)
{
    u8 buffer[32] = {};
    BitWriter writer(buffer, sizeof(buffer));
    writer.write_bits(0x5, 3);   // flushed before the u16: one byte 0x05
    writer.write_u16(0x1234);
    writer.write_u32(0xAABBCCDD);
    writer.write_bits(1, 1);
    writer.write_u64(0x0102030405060708ull);
    writer.write_u8(0x9F);
    ASSERT_FALSE(writer.has_overflowed());
    const std::vector<u8> expected = {0x05, 0x34, 0x12, 0xDD, 0xCC, 0xBB, 0xAA, 0x01, 0x08, 0x07,
                                      0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x9F};
    EXPECT_EQ(std::vector<u8>(buffer, buffer + writer.size_bytes()), expected);

    BitReader reader(buffer, writer.size_bytes());
    EXPECT_EQ(reader.read_bits(3), 0x5u);
    EXPECT_EQ(reader.read_u16(), 0x1234u); // drops the other 5 bits of byte 0
    EXPECT_EQ(reader.read_u32(), 0xAABBCCDDu);
    EXPECT_EQ(reader.read_bits(1), 1u);
    EXPECT_EQ(reader.read_u64(), 0x0102030405060708ull);
    EXPECT_EQ(reader.read_u8(), 0x9Fu);
    EXPECT_EQ(reader.remaining_bytes(), 0u);
    EXPECT_FALSE(reader.has_overflowed());
}

TEST(BitPacking, RandomFieldRunsRoundTrip)
{
    u32 x = 12345;
    auto next = [&] { return x = x * 1664525u + 1013904223u; };
    for (int run = 0; run < 200; ++run) {
        std::vector<Field> fields;
        u8 buffer[512];
        BitWriter writer(buffer, sizeof(buffer));
        for (int i = 0; i < 60; ++i) {
            const u32 bits = next() % 32 + 1;
            const u32 value = next() & (bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1);
            fields.push_back({value, bits});
            writer.write_bits(value, bits);
        }
        writer.flush();
        ASSERT_FALSE(writer.has_overflowed());
        BitReader reader(buffer, writer.size_bytes());
        for (const Field &f : fields)
            ASSERT_EQ(reader.read_bits(f.bits), f.value);
        EXPECT_LT(reader.remaining_bits(), 8u);
    }
}

TEST(BitPacking, WriteThatDoesNotFitSetsTheFlagAndWritesNothingAfter)
{
    struct Case {
        const char *name;
        u32 capacity;
        std::vector<Field> fields; // the last one does not fit
        u32 bytes_before;          // written before the refused field
    };
    const Case cases[] = {
        {"bits into a full buffer", 1, {{0xFF, 8}, {1, 1}}, 1},
        {"partial byte needs its own room", 2, {{0xFF, 8}, {0x7F, 7}, {0x3, 2}}, 1},
        {"32 bits into 3 bytes", 3, {{0, 32}}, 0},
        {"more than 32 bits", 8, {{0, 33}}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        u8 buffer[8] = {};
        BitWriter writer(buffer, c.capacity);
        for (const Field &f : c.fields)
            writer.write_bits(f.value, f.bits);
        EXPECT_TRUE(writer.has_overflowed());
        EXPECT_EQ(writer.size_bytes(), c.bytes_before);
        writer.flush();
        writer.write_u8(0xEE);
        writer.write_bytes("zz", 2);
        EXPECT_LE(writer.size_bytes(), c.capacity);
        for (u32 i = c.capacity; i < sizeof(buffer); ++i)
            EXPECT_EQ(buffer[i], 0) << "byte " << i << " past the capacity was written";
    }
    u8 small[3];
    BitWriter bytes(small, sizeof(small));
    bytes.write_u32(7);
    EXPECT_TRUE(bytes.has_overflowed());
    EXPECT_EQ(bytes.size_bytes(), 0u);
}

TEST(BitPacking, ReadPastTheEndSetsTheFlagAndReturnsZeroFromThenOn)
{
    const u8 data[3] = {0xFF, 0xFF, 0xFF};
    struct Case {
        const char *name;
        void (*read)(BitReader &);
    };
    const Case cases[] = {
        {"bits", [](BitReader &r) { r.read_bits(25); }},
        {"u32", [](BitReader &r) { r.read_u32(); }},
        {"u64", [](BitReader &r) { r.read_u64(); }},
        {"bytes", [](BitReader &r) { u8 out[4]; EXPECT_FALSE(r.read_bytes(out, 4)); }},
        {"skip", [](BitReader &r) { EXPECT_FALSE(r.skip_bytes(4)); }},
        {"u16 after one bit", [](BitReader &r) { r.read_bits(1); r.read_u8(); r.read_u16(); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BitReader reader(data, sizeof(data));
        c.read(reader);
        EXPECT_TRUE(reader.has_overflowed());
        EXPECT_EQ(reader.read_bits(1), 0u);
        EXPECT_EQ(reader.read_u8(), 0u);
        EXPECT_LE(reader.cursor(), data + sizeof(data));
    }
    BitReader empty(nullptr, 0);
    EXPECT_EQ(empty.read_u8(), 0u);
    EXPECT_TRUE(empty.has_overflowed());
}

} // namespace
