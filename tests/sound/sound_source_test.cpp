// Output levels a source gets from its pose, range, volume and bus volume.
#include "tests/sound/sound_fixture.h"

#include <cmath>

namespace tallow::test {
namespace {

std::vector<u8> pcm(u16 channels, u32 frames = 4800, i16 value = 8000)
{
    return write_pcm16_resource(channels, 48000, std::vector<i16>(u64(frames) * channels, value), 0);
}

TEST_F(SoundWorldFixture, NonPositionalMatrixFollowsTheChannelRules)
{
    struct Case {
        u32 outputs;
        std::vector<u32> stereo_pairs; // output pairs that get 0.8 g
    };
    const Case cases[] = {{1, {}}, {2, {}}, {4, {2, 3}}, {5, {3, 4}}, {6, {4, 5}}, {7, {4, 5}}, {8, {4, 5, 6, 7}}};
    const std::vector<u8> mono = pcm(1), stereo = pcm(2), three = pcm(3);
    for (const Case &c : cases) {
        SCOPED_TRACE("outputs " + std::to_string(c.outputs));
        make(c.outputs);
        world->set_bus_volume(7, 0.5f);
        SoundResource m = as_resource(mono), s = as_resource(stereo), t = as_resource(three);
        u32 mono_id = world->play(&m, true, 7);
        u32 stereo_id = world->play(&s, true, 7);
        u32 three_id = world->play(&t, true, 7);
        for (u32 id : {mono_id, stereo_id, three_id})
            world->set_source_volume(id, 0.5f);
        world->update();
        const f32 g = 0.25f;
        for (f32 v : matrix_of(mono_id))
            EXPECT_EQ(v, g);
        std::vector<f32> expected(2 * c.outputs, 0.0f);
        expected[0] = g;
        if (c.outputs >= 2)
            expected[1 * 2 + 1] = g;
        for (size_t i = 0; i < c.stereo_pairs.size(); i += 2) {
            expected[c.stereo_pairs[i] * 2 + 0] = 0.8f * g;
            expected[c.stereo_pairs[i + 1] * 2 + 1] = 0.8f * g;
        }
        EXPECT_EQ(matrix_of(stereo_id), expected);
        for (f32 v : matrix_of(three_id))
            EXPECT_EQ(v, 0.0f);
        for (u32 ch = 0; ch < 2; ++ch)
            EXPECT_EQ(reverb_send(stereo_id, ch), g);
        EXPECT_EQ(reverb_send(three_id, 2), g);
        world.reset();
    }
}

TEST_F(SoundWorldFixture, PositionalLevelsFallWithDistanceAndPanWithDirection)
{
    make(2);
    const std::vector<u8> mono = pcm(1);
    SoundResource r = as_resource(mono);
    u32 id = world->play(&r, true, 0);
    world->set_source_range(id, 10.0f);
    auto levels = [&](f32 x, f32 y, f32 z) {
        world->set_source_pose(id, pose_at(x, y, z));
        world->update();
        return matrix_of(id);
    };
    std::vector<f32> ahead_near = levels(0, 2, 0), ahead_far = levels(0, 8, 0);
    EXPECT_NEAR(ahead_near[0], ahead_near[1], 1e-5f);
    EXPECT_GT(ahead_near[0], ahead_far[0]);
    std::vector<f32> beyond = levels(0, 10.5f, 0);
    EXPECT_EQ(beyond[0] + beyond[1], 0.0f);
    // Engine +x is the listener's right (x right, y forward, z up, identity listener).
    std::vector<f32> right = levels(3, 0, 0);
    EXPECT_GT(right[1], 0.5f);
    EXPECT_LT(right[0], 0.01f);
    // Above the listener counts as no side at all: the flip of z keeps up as up.
    std::vector<f32> above = levels(0, 0, 3);
    EXPECT_NEAR(above[0], above[1], 1e-5f);
}

TEST_F(SoundWorldFixture, PositionalReverbSendAndFilterFollowTheCurves)
{
    make(2);
    const std::vector<u8> mono = pcm(1);
    SoundResource r = as_resource(mono);
    u32 id = world->play(&r, true, 0);
    world->set_source_range(id, 10.0f);
    world->set_source_volume(id, 0.5f);
    world->set_source_pose(id, pose_at(0, 7.5f, 0)); // the reverb curve's peak (0.75, 1)
    world->update();
    EXPECT_NEAR(reverb_send(id), 1.0f * 0.5f, 1e-5f);
    world->set_source_pose(id, pose_at(0, 0, 0)); // (0, 0.5)
    world->update();
    EXPECT_NEAR(reverb_send(id), 0.5f * 0.5f, 1e-5f);
    audio::FilterParams direct, reverb;
    SoundSource *s = world->source(id);
    ASSERT_TRUE(world->device()->engine()->get_output_filter(s->voice(), world->device()->master(), direct));
    ASSERT_TRUE(world->device()->engine()->get_output_filter(s->voice(), world->device()->reverb(), reverb));
    // At the listener the direct coefficient is 1: F = 2 sin(pi / 6) = 1, no filtering.
    EXPECT_NEAR(direct.frequency, 1.0f, 1e-5f);
    EXPECT_NEAR(reverb.frequency, 2.0f * std::sin(3.14159265f / 6.0f * 0.75f), 1e-5f);
    EXPECT_EQ(direct.one_over_q, 1.0f);
}

TEST_F(SoundWorldFixture, PositionalSourceOfSixChannelsOnSixOutputsGetsEveryCoefficient)
{
    // 36 coefficients: more than a fixed 16-entry matrix holds.
    make(6);
    const std::vector<u8> six = pcm(6);
    SoundResource r = as_resource(six);
    u32 id = world->play(&r, true, 0);
    ASSERT_NE(id, 0u);
    world->set_source_pose(id, pose_at(2, 2, 0));
    world->update();
    std::vector<f32> m = matrix_of(id);
    ASSERT_EQ(m.size(), 36u);
    for (u32 d = 0; d < 6; ++d)
        for (u32 s = 1; s < 6; ++s)
            EXPECT_EQ(m[d * 6 + s], m[d * 6]) << "every channel gets the mono levels";
    f32 sum = 0;
    for (f32 v : m)
        sum += v;
    EXPECT_GT(sum, 0.0f);
}

TEST_F(SoundWorldFixture, PcmReachesTheOutputAtVolumeTimesBusVolume)
{
    // End to end on the manual output: a constant mono sample, non-positional, volume 0.5
    // on a bus at 0.5 plays at 0.25 of its level on both outputs (plus the reverb, which
    // the environment below silences).
    make(2);
    audio::I3dl2Reverb silent = audio::i3dl2_cave();
    silent.room = -10000;
    const std::vector<u8> env = write_sound_environment(silent);
    SoundResource e = as_resource(env);
    world->set_environment(&e);
    const std::vector<u8> mono = pcm(1, 48000, 16384);
    SoundResource r = as_resource(mono);
    world->set_bus_volume(3, 0.5f);
    u32 id = world->play(&r, false, 3);
    world->set_source_volume(id, 0.5f);
    world->update();
    std::vector<f32> out = render(480);
    EXPECT_NEAR(out[2 * 400 + 0], 0.125f, 1e-3f);
    EXPECT_NEAR(out[2 * 400 + 1], 0.125f, 1e-3f);
}

} // namespace
} // namespace tallow::test
