// Quantised field encodings, the change test, blending, and remote-call payloads.
#include "network/field_codec.h"
#include "tests/support/writers/network_config_writer.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

namespace tallow::test {
namespace {

using namespace network;

struct Encoded {
    u8 bytes[64] = {};
    u64 bits = 0;
};

Encoded encode(const FieldSpec &spec, const void *value)
{
    Encoded e;
    BitWriter writer(e.bytes, sizeof(e.bytes));
    write_field(writer, make_descriptor(spec), static_cast<const u8 *>(value));
    e.bits = writer.size_bits();
    return e;
}

template <typename T> T decode(const FieldSpec &spec, const Encoded &e)
{
    BitReader reader(e.bytes, sizeof(e.bytes));
    u8 out[16] = {};
    EXPECT_TRUE(read_field(reader, make_descriptor(spec), out));
    T value;
    memcpy(&value, out, sizeof(T));
    return value;
}

TEST(FieldCodec, FloatsQuantiseToTheirBitsAndRange)
{
    const FieldSpec height = float_field("h", 8, 0, 10);
    const f32 five = 5;
    const Encoded e = encode(height, &five);
    EXPECT_EQ(e.bits, 8u);
    EXPECT_EQ(e.bytes[0], 128);
    EXPECT_NEAR(decode<f32>(height, e), 5.0196f, 1e-4f);

    // Out of range, infinite and NaN values clamp to the range's ends (NaN to the minimum).
    struct Case {
        const char *name;
        f32 value;
        u8 wire;
    };
    const Case cases[] = {{"below", -3, 0},
                          {"above", 99, 255},
                          {"infinite", std::numeric_limits<f32>::infinity(), 255},
                          {"minus infinite", -std::numeric_limits<f32>::infinity(), 0},
                          {"nan", std::numeric_limits<f32>::quiet_NaN(), 0},
                          {"max", 10, 255}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encode(height, &c.value).bytes[0], c.wire);
    }
    const FieldSpec wide = float_field("w", 32, -1000, 1000);
    const f32 value = 123.456f;
    EXPECT_NEAR(decode<f32>(wide, encode(wide, &value)), value, 1e-3f);
}

TEST(FieldCodec, IntsCarryTheirOffsetFromTheMinimum)
{
    const FieldSpec damage = int_field("d", 6, -20);
    struct Case {
        i32 value;
        i32 read_back;
    };
    const Case cases[] = {{-20, -20}, {0, 0}, {43, 43}, {-21, -20}, {44, 43}, {1000000, 43}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        const Encoded e = encode(damage, &c.value);
        EXPECT_EQ(e.bits, 6u);
        EXPECT_EQ(decode<i32>(damage, e), c.read_back);
    }
    const FieldSpec full = int_field("f", 32, i32(0x80000000));
    const i32 extremes[] = {i32(0x80000000), -1, 0, 0x7FFFFFFF};
    for (i32 v : extremes)
        EXPECT_EQ(decode<i32>(full, encode(full, &v)), v);
}

TEST(FieldCodec, QuaternionsSendTheSmallestThree)
{
    const FieldSpec rotation = quaternion_field("r", 32);
    const f32 half = std::sqrt(0.5f);
    const f32 cases[][4] = {{0, 0, 0, 1}, {half, 0, 0, half}, {0.1f, -0.7f, 0.1f, 0.7f}, {0.5f, 0.5f, -0.5f, -0.5f},
                            {0, 0, 0, -1}};
    for (const auto &q : cases) {
        const Encoded e = encode(rotation, q);
        EXPECT_EQ(e.bits, 32u); // 2 + 3 x 10
        f32 back[4];
        BitReader reader(e.bytes, sizeof(e.bytes));
        u8 out[16];
        ASSERT_TRUE(read_field(reader, make_descriptor(rotation), out));
        memcpy(back, out, 16);
        // q and -q are the same rotation: compare up to sign.
        f32 dot = 0;
        for (u32 i = 0; i < 4; ++i)
            dot += back[i] * q[i];
        EXPECT_NEAR(std::fabs(dot), 1.0f, 2e-3f);
    }
    // Not normalised, not finite: still a defined encoding and a unit quaternion back.
    const f32 odd[][4] = {{3, 3, 3, 3}, {NAN, 0, 0, 1}, {INFINITY, 0, 0, 0}};
    for (const auto &q : odd) {
        const Encoded e = encode(rotation, q);
        BitReader reader(e.bytes, sizeof(e.bytes));
        f32 back[4];
        u8 out[16];
        ASSERT_TRUE(read_field(reader, make_descriptor(rotation), out));
        memcpy(back, out, 16);
        for (f32 c : back)
            EXPECT_TRUE(std::isfinite(c));
    }
}

TEST(FieldCodec, IdsSitOnTheNextByteAfterOddBits)
{
    const FieldDescriptor flag = make_descriptor(bool_field("b"));
    const FieldDescriptor id = make_descriptor(id_field("u"));
    u8 bytes[16] = {};
    BitWriter writer(bytes, sizeof(bytes));
    const u8 on = 1;
    const u64 unit = 0x0123456789ABCDEFull;
    write_field(writer, flag, &on);
    write_field(writer, id, reinterpret_cast<const u8 *>(&unit));
    EXPECT_EQ(writer.size_bytes(), 9u);
    BitReader reader(bytes, writer.size_bytes());
    u8 out[8];
    ASSERT_TRUE(read_field(reader, flag, out));
    EXPECT_EQ(out[0], 1);
    ASSERT_TRUE(read_field(reader, id, out));
    u64 back;
    memcpy(&back, out, 8);
    EXPECT_EQ(back, unit);
    // Cut short: the read fails.
    BitReader short_reader(bytes, 5);
    ASSERT_TRUE(read_field(short_reader, flag, out));
    EXPECT_FALSE(read_field(short_reader, id, out));
}

TEST(FieldCodec, ChangeTestAccumulatesSmallSteps)
{
    const FieldDescriptor height = make_descriptor(float_field("h", 8, 0, 10, 0.5f));
    f32 stored = 1;
    u32 changes = 0;
    for (u32 i = 1; i <= 10; ++i) {
        const f32 v = 1 + 0.2f * f32(i);
        changes += field_changed(height, reinterpret_cast<u8 *>(&stored), reinterpret_cast<const u8 *>(&v));
    }
    // Steps of 0.2 count once they add up to 0.5: at 1.6, 2.2, 2.8 (then 3.0 is 0.2 on).
    EXPECT_EQ(changes, 3u);
    EXPECT_FLOAT_EQ(stored, 2.8f);

    struct Case {
        const char *name;
        FieldSpec spec;
        std::vector<u8> stored, value;
        bool changed;
    };
    auto bytes_of = [](auto... values) {
        std::vector<u8> out;
        for (auto v : {values...}) {
            const size_t at = out.size();
            out.resize(at + sizeof(v));
            memcpy(out.data() + at, &v, sizeof(v));
        }
        return out;
    };
    const Case cases[] = {
        {"bool same value", bool_field("b"), {1}, {1}, true},
        {"bool tolerance over FLT_MAX", bool_field("b", INFINITY), {0}, {1}, false},
        {"int below tolerance", int_field("i", 8, 0, 3), bytes_of(10), bytes_of(12), false},
        {"int at tolerance", int_field("i", 8, 0, 3), bytes_of(10), bytes_of(7), true},
        {"quaternion q and -q", quaternion_field("q", 32, 0.01f), bytes_of(0.f, 0.f, 0.f, 1.f),
         bytes_of(0.f, 0.f, 0.f, -1.f), false},
        {"vector3 distance", vector3_field("v", 16, -10, 10, 1), bytes_of(0.f, 0.f, 0.f), bytes_of(0.6f, 0.8f, 0.f),
         true},
        {"tolerance 0 counts every set", float_field("f", 8, 0, 1), bytes_of(0.5f), bytes_of(0.5f), true},
        {"id difference", id_field("u", 2), bytes_of(u64(5)), bytes_of(u64(6)), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> stored_bytes = c.stored;
        EXPECT_EQ(field_changed(make_descriptor(c.spec), stored_bytes.data(), c.value.data()), c.changed);
        EXPECT_EQ(stored_bytes, c.changed ? c.value : c.stored);
    }
}

TEST(FieldCodec, BlendingReachesTheTargetAtItsTime)
{
    const FieldDescriptor height = make_descriptor(float_field("h", 8, 0, 10));
    f32 state = 0;
    const f32 target = 4;
    f64 now = 0;
    const f64 due = 0.1;
    bool done = false;
    f32 previous = state;
    while (!done) {
        now += 0.02;
        done = blend_field(height, reinterpret_cast<u8 *>(&state), reinterpret_cast<const u8 *>(&target), due, now,
                           0.02f);
        EXPECT_GE(state, previous);
        previous = state;
        ASSERT_LT(now, 1.0);
    }
    EXPECT_FLOAT_EQ(state, 4);
    EXPECT_NEAR(now, due, 1e-9);

    // Ints step at the target time only.
    const FieldDescriptor count = make_descriptor(int_field("c", 8, 0));
    i32 value = 1, goal = 9;
    EXPECT_FALSE(blend_field(count, reinterpret_cast<u8 *>(&value), reinterpret_cast<const u8 *>(&goal), 1, 0.5, 0.1f));
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(blend_field(count, reinterpret_cast<u8 *>(&value), reinterpret_cast<const u8 *>(&goal), 1, 1, 0.1f));
    EXPECT_EQ(value, 9);

    // Quaternions take the short way and stay normalised.
    const FieldDescriptor rotation = make_descriptor(quaternion_field("r", 32));
    f32 q[4] = {0, 0, 0, 1};
    const f32 flipped[4] = {0, 0, -0.7071068f, -0.7071068f};
    EXPECT_FALSE(blend_field(rotation, reinterpret_cast<u8 *>(q), reinterpret_cast<const u8 *>(flipped), 1, 0.5, 0.5f));
    EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0f, 1e-5f);
    EXPECT_GT(std::fabs(q[3]), 0.9f); // halfway along the short arc, on the target's side
    EXPECT_LT(q[2], 0);
}

TEST(RpcCodec, EveryArgumentTypeAtItsLimitsRoundTrips)
{
    RpcEntry entry{};
    entry.argument_count = 6;
    entry.arguments[0] = make_descriptor(bool_field("b"));
    entry.arguments[1] = make_descriptor(int_field("i", 32, i32(0x80000000)));
    entry.arguments[2] = make_descriptor(float_field("f", 16, -5, 5));
    entry.arguments[3] = make_descriptor(vector3_field("v", 32, -1000, 1000));
    entry.arguments[4] = make_descriptor(quaternion_field("q", 32));
    entry.arguments[5] = make_descriptor(string_argument());
    const std::string longest(1000, 'z');
    RpcValue values[6];
    values[0].type = FieldType::Bool;
    values[0].boolean = true;
    values[1].type = FieldType::Int;
    values[1].integer = 0x7FFFFFFF;
    values[2].type = FieldType::Float;
    values[2].number[0] = -5;
    values[3].type = FieldType::Vector3;
    values[3].number[0] = 1000;
    values[3].number[1] = -1000;
    values[3].number[2] = 0.5f;
    values[4].type = FieldType::Quaternion;
    values[4].number[3] = 1;
    values[5].type = FieldType::String;
    values[5].text = longest.data();
    values[5].length = u32(longest.size());
    u8 bytes[1200];
    BitWriter writer(bytes, sizeof(bytes));
    ASSERT_TRUE(write_rpc(writer, 3, entry, values, 6));
    BitReader reader(bytes, writer.size_bytes());
    EXPECT_EQ(reader.read_u8(), 3);
    RpcValue back[6];
    ASSERT_TRUE(read_rpc_arguments(reader, entry, back));
    EXPECT_EQ(reader.remaining_bytes(), 0u);
    EXPECT_TRUE(back[0].boolean);
    EXPECT_EQ(back[1].integer, 0x7FFFFFFF);
    EXPECT_FLOAT_EQ(back[2].number[0], -5);
    EXPECT_NEAR(back[3].number[0], 1000, 1e-3);
    EXPECT_NEAR(back[3].number[1], -1000, 1e-3);
    EXPECT_NEAR(back[4].number[3], 1, 1e-3);
    EXPECT_EQ(std::string(back[5].text, back[5].length), longest);

    // A string past the message's end is refused, and nothing is read from beyond it.
    BitReader cut(bytes, writer.size_bytes() - 1);
    cut.read_u8();
    EXPECT_FALSE(read_rpc_arguments(cut, entry, back));
}

TEST(RpcCodec, StringsThatCannotBeSentAreRefused)
{
    RpcEntry entry{};
    entry.argument_count = 2;
    entry.arguments[0] = make_descriptor(string_argument());
    entry.arguments[1] = make_descriptor(id_field("nothing"));
    u8 bytes[1200];
    std::string text(1199, 'a');
    RpcValue value;
    value.type = FieldType::String;
    value.text = text.data();
    value.length = u32(text.size());
    {
        BitWriter writer(bytes, sizeof(bytes));
        EXPECT_FALSE(write_rpc(writer, 0, entry, &value, 1)); // index + 2 bytes of length + 1199
        EXPECT_TRUE(writer.has_overflowed());
        EXPECT_EQ(writer.size_bytes(), 1u + 2u); // the bytes are not written
    }
    text.assign(2048, 'a');
    value.text = text.data();
    value.length = u32(text.size());
    {
        u8 big[4096];
        BitWriter writer(big, sizeof(big));
        EXPECT_FALSE(write_rpc(writer, 0, entry, &value, 1)); // its length needs 12 bits
    }
    // A 64-bit id argument carries nothing.
    value.length = 3;
    BitWriter writer(bytes, sizeof(bytes));
    ASSERT_TRUE(write_rpc(writer, 0, entry, &value, 1));
    EXPECT_EQ(writer.size_bytes(), 1u + 2u + 3u);
}

} // namespace
} // namespace tallow::test
