// The "animation" bytes: writer-to-reader round trips, first-frame decoding, sampling, and
// refusal of broken bytes.
#include "tests/animation/animation_fixture.h"

#include <cstring>

namespace tallow::test {
namespace {

constexpr f32 quantized_step = 0.0015f;

TEST(AnimationData, RoundTripKeepsHeadKeysAndFramesInBothFormats)
{
    for (u16 format : {animation_format_raw, animation_format_quantized}) {
        SCOPED_TRACE(format);
        AnimationSource s = slide(2, format, {{0.5f, 11}, {2, 12}});
        s.frames.push_back(s.frames[1]);
        s.frames[1].time = 1;
        s.length = 3;
        s.frames[2].time = 3;
        ReadAnimation a(s);
        ASSERT_TRUE(a.ok);
        EXPECT_EQ(a.view.track_count, 1u);
        EXPECT_EQ(a.view.length, 3.0f);
        EXPECT_EQ(a.view.format, format);
        ASSERT_EQ(a.view.key_count, 2u);
        EXPECT_EQ(a.view.key_time(0), 0.5f);
        EXPECT_EQ(a.view.key_id(1), 12u);
        ASSERT_EQ(a.view.frame_count, 2u);
        EXPECT_EQ(a.view.frame_time(0), 0.0f);
        EXPECT_EQ(a.view.frame_time(1), 1.0f);
        EXPECT_EQ(a.view.frame_time(2), 3.0f);
        Quaternion r;
        Vector3 t;
        decode_animation_record(format, a.view.frame_records(2), r, t);
        f32 tolerance = format == animation_format_raw ? 0 : quantized_step;
        EXPECT_NEAR(t.x, 2, tolerance);
        EXPECT_NEAR(r.z, std::sqrt(0.5f), tolerance);
        EXPECT_NEAR(r.w, std::sqrt(0.5f), tolerance);
    }
}

TEST(AnimationData, QuantizedTranslationSpansMinusTenToTen)
{
    const struct {
        u16 u;
        f32 value;
    } cases[] = {{0, -10}, {65535, 10}, {32768, 10.0f * (32768 * 2.0f / 65535 - 1)}};
    for (const auto &c : cases) {
        u8 record[10] = {};
        for (int i = 0; i < 3; ++i) {
            record[2 * i] = u8(c.u);
            record[2 * i + 1] = u8(c.u >> 8);
        }
        Quaternion r;
        Vector3 t;
        decode_animation_record(animation_format_quantized, record, r, t);
        EXPECT_NEAR(t.x, c.value, 1e-5f);
        EXPECT_NEAR(t.z, c.value, 1e-5f);
    }
}

TEST(AnimationData, SmallestThreeRebuildsTheLeftOutComponentAtEachIndex)
{
    // a = 0.3, b = -0.2, c = 0.1 (within a step) around the left-out index k.
    auto value = [](f32 v) { return u32(std::lround((v + 0.75f) / 0.00146484375f)); };
    for (u32 k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        u32 packed = k | value(0.3f) << 2 | value(-0.2f) << 12 | value(0.1f) << 22;
        u8 record[10] = {};
        memcpy(record + 6, &packed, 4);
        Quaternion r;
        Vector3 t;
        decode_animation_record(animation_format_quantized, record, r, t);
        f32 q[4] = {r.x, r.y, r.z, r.w};
        EXPECT_NEAR(q[(k + 1) % 4], 0.3f, quantized_step);
        EXPECT_NEAR(q[(k + 2) % 4], -0.2f, quantized_step);
        EXPECT_NEAR(q[(k + 3) % 4], 0.1f, quantized_step);
        EXPECT_NEAR(q[k], std::sqrt(1 - 0.09f - 0.04f - 0.01f), 2 * quantized_step);
    }
    // Three values of 0.75 square past 1: the rebuilt component is 0, not NaN.
    u32 packed = 2 | 1023u << 2 | 1023u << 12 | 1023u << 22;
    u8 record[10] = {};
    memcpy(record + 6, &packed, 4);
    Quaternion r;
    Vector3 t;
    decode_animation_record(animation_format_quantized, record, r, t);
    EXPECT_EQ(r.z, 0.0f);
}

TEST(AnimationData, SamplesKeyFramesExactlyAndInterpolatesBetween)
{
    for (u16 format : {animation_format_raw, animation_format_quantized}) {
        SCOPED_TRACE(format);
        ReadAnimation a(slide(2, format));
        ASSERT_TRUE(a.ok);
        f32 tolerance = format == animation_format_raw ? 1e-5f : 2 * quantized_step;
        Quaternion r;
        Vector3 t;
        const struct {
            f32 time, x, angle;
        } cases[] = {{0, 0, 0}, {0.5f, 0.5f, 0}, {1, 1, 0.78540f}, {2, 2, 1.5708f}, {5, 2, 1.5708f}, {-1, 0, 0}};
        for (const auto &c : cases) {
            SCOPED_TRACE(c.time);
            u32 hint = 0;
            sample_animation(a.view, c.time, &r, &t, &hint);
            EXPECT_NEAR(t.x, c.x, tolerance);
            // Normalised-linear: the angle is exact at the keys and half way along the arc.
            if (c.time != 0.5f) {
                EXPECT_NEAR(2 * std::atan2(r.z, r.w), c.angle, 2 * tolerance);
            }
            EXPECT_NEAR(dot(r, r), 1.0f, 1e-5f);
        }
    }
}

TEST(AnimationData, HintGivesTheSameSampleAsASearch)
{
    AnimationSource s = slide(4);
    s.frames = {};
    for (int i = 0; i <= 8; ++i)
        s.frames.push_back({f32(i) * 0.5f, {{{f32(i * i), 0, 0}, {0, 0, 0, 1}}}});
    ReadAnimation a(s);
    ASSERT_TRUE(a.ok);
    u32 hint = 0;
    for (f32 time : {0.1f, 0.7f, 0.75f, 3.9f, 1.2f, 4.0f, 0.0f}) {
        Quaternion r1, r2;
        Vector3 t1, t2;
        sample_animation(a.view, time, &r1, &t1, &hint);
        sample_animation(a.view, time, &r2, &t2, nullptr);
        EXPECT_EQ(t1.x, t2.x) << time;
    }
}

std::vector<u8> with_u32(std::vector<u8> bytes, u32 at, u32 value)
{
    memcpy(bytes.data() + at, &value, 4);
    return bytes;
}

TEST(AnimationData, BrokenBytesAreRefused)
{
    std::vector<u8> good = write_animation(slide(2, 6, {{1, 5}}));
    const f32 nan = std::nanf("");
    u32 nan_bits;
    memcpy(&nan_bits, &nan, 4);
    u32 key_time_at = 16, format_at = 24, first_frame_at = 26, frame_count_at = 26 + 28;
    struct Case {
        const char *name;
        std::vector<u8> bytes;
    };
    std::vector<u8> trailing = good;
    trailing.push_back(0);
    std::vector<u8> bad_format = good;
    bad_format[format_at] = 2;
    const Case cases[] = {
        {"tracks beyond the bytes", with_u32(good, 4, 3)},
        {"huge track count", with_u32(good, 4, 0xFFFFFFFF)},
        {"huge key count", with_u32(good, 12, 0x7FFFFFFF)},
        {"negative length", with_u32(good, 8, 0xBF800000)},
        {"NaN length", with_u32(good, 8, nan_bits)},
        {"key after the end", with_u32(good, key_time_at, 0x40400000)},
        {"unknown format", bad_format},
        {"NaN raw value", with_u32(good, first_frame_at, nan_bits)},
        {"more frames than bytes", with_u32(good, frame_count_at, 2)},
        {"frame count beyond limit", with_u32(good, frame_count_at, 0xFFFFFFFF)},
        {"frame at time 0", with_u32(good, frame_count_at + 4, 0)},
        {"bytes left over", trailing},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AnimationView v;
        const char *why = nullptr;
        EXPECT_FALSE(read_animation(c.bytes.data(), c.bytes.size(), v, &why));
        EXPECT_NE(why, nullptr);
    }
    // Every cut of a good resource is refused too.
    for (u32 n = 0; n < good.size(); ++n) {
        std::vector<u8> cut(good.begin(), good.begin() + n);
        AnimationView v;
        EXPECT_FALSE(read_animation(cut.data(), cut.size(), v)) << n;
    }
}

} // namespace
} // namespace tallow::test
