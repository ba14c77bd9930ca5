// The audio layer on a manual output: samples pulled by the test, block by block.
#include "foundation/memory/memory_globals.h"
#include "platform/audio/audio_engine.h"
#include "platform/audio/audio_reverb.h"
#include "platform/audio/audio_spatial.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace tallow::audio {
namespace {

struct EngineFixture : ::testing::Test {
    void make(u32 channels, u32 rate = 48000)
    {
        engine = AudioEngine::create(default_allocator(), {AudioOutputKind::Manual, channels, rate});
        ASSERT_NE(engine, nullptr);
        ASSERT_EQ(engine->create_mastering_voice(master), AudioResult::Ok);
    }
    void TearDown() override { AudioEngine::destroy(default_allocator(), engine); }

    static WaveFormat pcm16(u16 channels, u32 rate)
    {
        WaveFormat f;
        f.channels = channels;
        f.samples_per_second = rate;
        f.block_align = u16(2 * channels);
        f.average_bytes_per_second = rate * f.block_align;
        return f;
    }
    std::vector<f32> render(u32 frames)
    {
        std::vector<f32> out(u64(frames) * engine->device_details().channels);
        engine->render(out.data(), frames);
        return out;
    }

    AudioEngine *engine = nullptr;
    VoiceId master;
};

TEST_F(EngineFixture, PcmThroughMatrixAndFilterGivesTheExpectedLevelPerChannel)
{
    // A constant stereo signal (0.5, -0.25) through a 2 x 4 matrix and a low-pass: a
    // low-pass passes a constant at unit gain, so each output settles at its matrix sum.
    make(4);
    VoiceSend send{master, true};
    VoiceId source;
    ASSERT_EQ(engine->create_source_voice(pcm16(2, 48000), 2.0f, &send, 1, source), AudioResult::Ok);
    std::vector<i16> samples;
    for (int i = 0; i < 48000; ++i) {
        samples.push_back(16384);
        samples.push_back(-8192);
    }
    AudioBuffer buffer;
    buffer.bytes = u32(samples.size() * 2);
    buffer.data = reinterpret_cast<const u8 *>(samples.data());
    ASSERT_EQ(engine->submit_buffer(source, buffer), AudioResult::Ok);
    // [d * K + s]: output 0 = L, 1 = R, 2 = 0.5 L + 0.5 R, 3 = silent.
    const f32 matrix[8] = {1, 0, 0, 1, 0.5f, 0.5f, 0, 0};
    ASSERT_EQ(engine->set_output_matrix(source, master, 2, 4, matrix), AudioResult::Ok);
    ASSERT_EQ(engine->set_output_filter(source, master, {0.3f, 1.0f}), AudioResult::Ok);
    ASSERT_EQ(engine->start(source), AudioResult::Ok);
    std::vector<f32> out = render(4800);
    const f32 expected[4] = {0.5f, -0.25f, 0.125f, 0.0f};
    for (u32 d = 0; d < 4; ++d)
        EXPECT_NEAR(out[4799 * 4 + d], expected[d], 1e-4f) << "output " << d;
    // The filter is a real low-pass: the first output frame is far from the step's level.
    EXPECT_LT(std::fabs(out[0]), 0.2f);
}

TEST_F(EngineFixture, LowPassAttenuatesHighFrequenciesAndFrequencyOneBypasses)
{
    make(1);
    VoiceSend send{master, true};
    VoiceId source;
    ASSERT_EQ(engine->create_source_voice(pcm16(1, 48000), 2.0f, &send, 1, source), AudioResult::Ok);
    std::vector<i16> tone(48000);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = i16(16000 * std::sin(2 * 3.14159265 * 8000.0 * double(i) / 48000.0));
    AudioBuffer buffer{0, u32(tone.size() * 2), reinterpret_cast<const u8 *>(tone.data()), AudioBuffer::loop_infinite,
                       nullptr};
    ASSERT_EQ(engine->submit_buffer(source, buffer), AudioResult::Ok);
    ASSERT_EQ(engine->start(source), AudioResult::Ok);
    auto peak = [&] {
        std::vector<f32> out = render(4800);
        f32 p = 0;
        for (u32 i = 2400; i < 4800; ++i)
            p = std::max(p, std::fabs(out[i]));
        return p;
    };
    // Default filter frequency 1: bypass. 8 kHz sampled at 48 kHz peaks at sin(60 degrees).
    EXPECT_NEAR(peak(), 0.866f * 16000.0f / 32768.0f, 0.005f);
    ASSERT_EQ(engine->set_output_filter(source, master, {2 * std::sin(3.14159265f * 500 / 48000), 1.0f}),
              AudioResult::Ok);
    EXPECT_LT(peak(), 0.05f * 16000.0f / 32768.0f); // 8 kHz through a 500 Hz low-pass
}

TEST_F(EngineFixture, VoiceStateFollowsQueueStartStopAndEnd)
{
    make(2);
    VoiceId source;
    ASSERT_EQ(engine->create_source_voice(pcm16(1, 48000), 2.0f, nullptr, 0, source), AudioResult::Ok);
    std::vector<i16> a(300, 1000), b(200, 1000);
    int ctx_a = 0, ctx_b = 0;
    EXPECT_EQ(engine->get_state(source).buffers_queued, 0u);
    EXPECT_EQ(engine->get_state(source).current_context, nullptr);
    ASSERT_EQ(engine->submit_buffer(source, {0, 600, reinterpret_cast<const u8 *>(a.data()), 0, &ctx_a}), AudioResult::Ok);
    ASSERT_EQ(engine->submit_buffer(source, {AudioBuffer::end_of_stream, 400, reinterpret_cast<const u8 *>(b.data()), 0,
                                             &ctx_b}),
              AudioResult::Ok);
    // Queued before the start, and nothing is consumed while stopped.
    render(256);
    EXPECT_EQ(engine->get_state(source).buffers_queued, 2u);
    EXPECT_EQ(engine->get_state(source).current_context, &ctx_a);
    ASSERT_EQ(engine->start(source), AudioResult::Ok);
    EXPECT_TRUE(engine->is_running(source));
    render(256);
    EXPECT_EQ(engine->get_state(source).frames_played, 256u);
    ASSERT_EQ(engine->stop(source), AudioResult::Ok);
    render(256);
    EXPECT_EQ(engine->get_state(source).frames_played, 256u);
    ASSERT_EQ(engine->start(source), AudioResult::Ok);
    render(100); // past the first buffer's end
    EXPECT_EQ(engine->get_state(source).buffers_queued, 1u);
    EXPECT_EQ(engine->get_state(source).current_context, &ctx_b);
    render(300);
    EXPECT_EQ(engine->get_state(source).buffers_queued, 0u);
    EXPECT_EQ(engine->get_state(source).current_context, nullptr);
    EXPECT_EQ(engine->get_state(source).frames_played, 500u);
    // Bad calls change nothing.
    const u8 odd[3] = {};
    EXPECT_EQ(engine->submit_buffer(source, {0, 3, odd, 0, nullptr}), AudioResult::InvalidCall);
    EXPECT_EQ(engine->submit_buffer(source, {0, 0, odd, 0, nullptr}), AudioResult::InvalidCall);
    engine->destroy_voice(source);
    EXPECT_EQ(engine->start(source), AudioResult::InvalidCall);
    EXPECT_EQ(engine->get_state(source).buffers_queued, 0u);
}

TEST_F(EngineFixture, UnsupportedFormatsAreRefused)
{
    make(2);
    struct Case {
        const char *name;
        WaveFormat format;
    };
    WaveFormat adpcm = pcm16(1, 48000);
    adpcm.format_tag = 2;
    WaveFormat nine = pcm16(1, 48000);
    nine.channels = 9;
    nine.block_align = 18;
    WaveFormat bad_align = pcm16(2, 48000);
    bad_align.block_align = 3;
    WaveFormat slow = pcm16(1, 10);
    const Case cases[] = {{"adpcm", adpcm}, {"nine channels", nine}, {"block align", bad_align}, {"10 Hz", slow}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        VoiceId v;
        EXPECT_EQ(engine->create_source_voice(c.format, 2.0f, nullptr, 0, v), AudioResult::UnsupportedFormat);
        EXPECT_TRUE(v.is_null());
    }
}

TEST_F(EngineFixture, ResamplingKeepsDurationAndLevel)
{
    // 44.1 kHz, 4410 frames (0.1 s) of a constant: 4800 frames at 48 kHz, at the same level.
    make(1);
    VoiceId source;
    ASSERT_EQ(engine->create_source_voice(pcm16(1, 44100), 2.0f, nullptr, 0, source), AudioResult::Ok);
    std::vector<i16> samples(4410, 8192);
    ASSERT_EQ(engine->submit_buffer(source, {0, 8820, reinterpret_cast<const u8 *>(samples.data()), 0, nullptr}),
              AudioResult::Ok);
    ASSERT_EQ(engine->start(source), AudioResult::Ok);
    std::vector<f32> out = render(5000);
    EXPECT_NEAR(out[100], 0.25f, 1e-5f);
    EXPECT_NEAR(out[4790], 0.25f, 1e-5f);
    EXPECT_NEAR(out[4810], 0.0f, 1e-5f);
    EXPECT_EQ(engine->get_state(source).buffers_queued, 0u);
}

TEST(AudioReverb, TailFallsSixtyDecibelsInItsDecayTime)
{
    // Energy of the impulse response in 50 ms windows: the window at the decay time is
    // about 60 dB below the window at the start of the tail.
    const u32 rate = 48000;
    Reverb reverb;
    ASSERT_TRUE(reverb.init(default_allocator(), 1, rate));
    I3dl2Reverb r = i3dl2_cave();
    r.decay_time = 1.0f;
    r.decay_hf_ratio = 1.0f;
    r.reflections_delay = 0.0f;
    r.reverb_delay = 0.0f;
    reverb.set_params(reverb_params_from_i3dl2(r));
    std::vector<f32> samples(rate * 3 / 2, 0.0f);
    samples[0] = 1.0f;
    f32 *channels[1] = {samples.data()};
    reverb.process(channels, u32(samples.size()));
    auto energy_db = [&](f32 at_seconds) {
        f64 e = 0;
        u32 from = u32(at_seconds * rate);
        for (u32 i = from; i < from + rate / 20; ++i)
            e += f64(samples[i]) * samples[i];
        return 10 * std::log10(e + 1e-30);
    };
    f64 early = energy_db(0.1f);
    f64 late = energy_db(1.1f);
    EXPECT_NEAR(early - late, 60.0, 8.0);
    EXPECT_GT(early - energy_db(0.6f), 20.0); // it falls steadily, not all at the end
    reverb.release(default_allocator());
}

TEST(AudioSpatial, LevelFallsWithDistanceAndPansWithDirection)
{
    Spatial spatial;
    ASSERT_TRUE(spatial.init(channel_mask_for(2), 343.5f));
    const CurvePoint volume[] = {{0, 1}, {1, 0}};
    SpatialListener listener; // front +z, top +y: right is +x
    SpatialEmitter e;
    e.curve_distance_scaler = 10.0f;
    e.volume = {volume, 2};
    f32 m[2];
    SpatialDsp dsp{m, 1, 2};
    auto levels = [&](Vector3 at) {
        e.position = at;
        EXPECT_TRUE(spatial.calculate(listener, e, spatial_matrix | spatial_reverb, dsp));
        return std::pair<f32, f32>{m[0], m[1]};
    };
    auto [l_near, r_near] = levels({0, 0, 2});
    auto [l_far, r_far] = levels({0, 0, 8});
    EXPECT_NEAR(l_near, r_near, 1e-5f); // straight ahead: centred
    EXPECT_GT(l_near * l_near + r_near * r_near, l_far * l_far + r_far * r_far);
    auto [l_out, r_out] = levels({0, 0, 10.5f});
    EXPECT_EQ(l_out + r_out, 0.0f); // beyond the scaler
    auto [l_right, r_right] = levels({3, 0, 0});
    EXPECT_GT(r_right, 0.9f * (1 - 0.3f));
    EXPECT_LT(l_right, 0.05f);
    auto [l_left, r_left] = levels({-3, 0, 1});
    EXPECT_GT(l_left, r_left);
    // More than 8 channels, or a count that is not the output's, is refused.
    SpatialDsp wrong{m, 1, 6};
    EXPECT_FALSE(spatial.calculate(listener, e, spatial_matrix, wrong));
}

} // namespace
} // namespace tallow::audio

namespace tallow::audio {
namespace {

TEST(AudioSdlOutput, TwoEnginesPlayOutThroughOneDeviceThread)
{
    // SDL's dummy driver pulls at the real rate from its own thread: the voices' buffers
    // are let go there while this thread asks for their state.
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    AudioEngine *a = AudioEngine::create(default_allocator(), {AudioOutputKind::Sdl, 2, 48000});
    if (!a)
        GTEST_SKIP() << "no SDL audio here";
    AudioEngine *b = AudioEngine::create(default_allocator(), {AudioOutputKind::Sdl, 2, 48000});
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->device_details().sample_rate, b->device_details().sample_rate);
    std::vector<i16> samples(2400, 1000); // 50 ms
    VoiceId sources[2];
    AudioEngine *engines[2] = {a, b};
    for (int i = 0; i < 2; ++i) {
        VoiceId master;
        ASSERT_EQ(engines[i]->create_mastering_voice(master), AudioResult::Ok);
        WaveFormat f;
        ASSERT_EQ(engines[i]->create_source_voice(f, 2.0f, nullptr, 0, sources[i]), AudioResult::Ok);
        ASSERT_EQ(engines[i]->submit_buffer(sources[i], {AudioBuffer::end_of_stream, 4800,
                                                         reinterpret_cast<const u8 *>(samples.data()), 0, &samples}),
                  AudioResult::Ok);
        ASSERT_EQ(engines[i]->start(sources[i]), AudioResult::Ok);
    }
    for (int wait = 0; wait < 400; ++wait) {
        if (!a->get_state(sources[0]).current_context && !b->get_state(sources[1]).current_context)
            break;
        SDL_Delay(5);
    }
    EXPECT_EQ(a->get_state(sources[0]).buffers_queued, 0u);
    EXPECT_EQ(b->get_state(sources[1]).buffers_queued, 0u);
    AudioEngine::destroy(default_allocator(), a);
    AudioEngine::destroy(default_allocator(), b);
}

} // namespace
} // namespace tallow::audio
