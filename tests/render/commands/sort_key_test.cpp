// Sort keys: the layout every filed command is ordered by.
#include "render/commands/sort_key.h"

#include <gtest/gtest.h>

namespace tallow {
namespace {

TEST(SortKey, DrawKeysFollowTheirSortMode)
{
    u64 layer = 0;
    ASSERT_TRUE(make_layer_key(0, &layer));
    u64 pass = 0;
    ASSERT_TRUE(make_pass_bits(layer, 1, false, &pass)); // pass number 2
    const u64 d1 = 65536;                                 // depth 1.0 scaled
    struct Case {
        const char *name;
        SortMode mode;
        f32 depth;
        u64 caller_bits;
        u64 expected;
    };
    const Case cases[] = {
        {"nothing ignores depth", SortMode::Nothing, 123.5f, 0, pass},
        {"front to back keeps the depth", SortMode::FrontBack, 1.0f, 0, pass | (d1 << 3)},
        {"back to front complements it", SortMode::BackFront, 1.0f, 0, pass | (u64(~u32(d1)) << 3)},
        {"fractions truncate toward zero", SortMode::FrontBack, 1.99999f / 65536.0f, 0, pass | (1ull << 3)},
        {"beyond 2^32/65536 keeps the low 32 bits", SortMode::FrontBack, 65536.0f + 1.0f, 0, pass | (d1 << 3)},
        {"negative depth wraps like a two's complement", SortMode::FrontBack, -1.0f,
         0, pass | (u64(u32(-65536)) << 3)},
        {"caller bits are ORed", SortMode::Nothing, 0.0f, 1ull << 40, pass | (1ull << 40)},
        {"caller bits in the depth field win over the depth", SortMode::FrontBack, 1.0f, 5ull << 14,
         pass | (5ull << 14)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(u64(draw_sort_key(pass, c.mode, c.depth, c.caller_bits)), c.expected);
        EXPECT_EQ(sort_key_pass(draw_sort_key(pass, c.mode, c.depth, c.caller_bits), false), 2u);
    }
    EXPECT_EQ(sort_depth_bits(std::numeric_limits<f32>::quiet_NaN(), SortMode::FrontBack), 0u);
    EXPECT_EQ(sort_depth_bits(1e30f, SortMode::FrontBack), 0xFFFFFFFFu); // saturates, no UB
}

TEST(SortKey, BackToFrontPutsFarDrawsFirst)
{
    u64 pass = 0;
    ASSERT_TRUE(make_pass_bits(1ull << 55, 0, false, &pass));
    EXPECT_LT(draw_sort_key(pass, SortMode::BackFront, 50.0f, 0), draw_sort_key(pass, SortMode::BackFront, 10.0f, 0));
    EXPECT_LT(draw_sort_key(pass, SortMode::FrontBack, 10.0f, 0), draw_sort_key(pass, SortMode::FrontBack, 50.0f, 0));
}

TEST(SortKey, FieldsThatOverflowAreRefused)
{
    u64 key = 0;
    EXPECT_TRUE(make_layer_key(254, &key));
    EXPECT_EQ(key, 255ull << 55);
    EXPECT_GT(i64(key), 0) << "the last layer keeps the sign bit clear";
    EXPECT_FALSE(make_layer_key(255, &key));

    EXPECT_TRUE(make_pass_bits(1ull << 55, 6, false, &key));
    EXPECT_EQ(key, (1ull << 55) | 7u);
    EXPECT_FALSE(make_pass_bits(1ull << 55, 7, false, &key));
    EXPECT_TRUE(make_pass_bits(1ull << 55, 2, true, &key));
    EXPECT_EQ(key, (1ull << 55) | (3ull << 52));
    EXPECT_EQ(sort_key_pass(i64(key), true), 3u);
    EXPECT_FALSE(make_pass_bits((1ull << 55) | 1u, 0, false, &key)) << "pass field already taken";

    // The generators' counter is (counter << 14) in the high word.
    EXPECT_TRUE(make_generator_key(2ull << 55, sort_key::max_generator_counter, &key));
    EXPECT_EQ(key, (2ull << 55) | (u64(sort_key::max_generator_counter << 14) << 32));
    EXPECT_EQ(sort_key::max_generator_counter, 63u) << "counter 64 would reach the high pass bits";
    EXPECT_FALSE(make_generator_key(2ull << 55, sort_key::max_generator_counter + 1, &key));
    EXPECT_FALSE(make_generator_key((2ull << 55) | (1ull << 46), 1, &key)) << "counter field already taken";
    EXPECT_FALSE(make_generator_key((2ull << 55) | (1ull << 36), 1, &key)) << "sub-counter field already taken";

    u64 step = 0;
    ASSERT_TRUE(make_generator_key(2ull << 55, 5, &step));
    EXPECT_TRUE(make_generator_sub_key(step, sort_key::max_generator_sub_counter, &key));
    EXPECT_EQ(key, step | (u64(sort_key::max_generator_sub_counter) << 36));
    EXPECT_EQ(u32(key >> 46) & 63u, 5u) << "the largest sub-counter leaves the step counter alone";
    EXPECT_FALSE(make_generator_sub_key(step, sort_key::max_generator_sub_counter + 1, &key));
    EXPECT_FALSE(make_generator_sub_key(key, 1, &key)) << "sub-counter field already taken";
}

TEST(SortKey, FieldMasksDoNotOverlap)
{
    using namespace sort_key;
    const u64 masks[] = {pass_mask,      depth_mask,     generator_sub_counter_mask, generator_counter_mask,
                         high_pass_mask, layer_mask};
    for (u32 i = 0; i < 6; ++i)
        for (u32 j = i + 1; j < 6; ++j)
            EXPECT_EQ(masks[i] & masks[j], 0u) << i << " and " << j;
}

} // namespace
} // namespace tallow
