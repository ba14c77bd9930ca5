// Vorbis streams on the committed files: blocks, looping, the end, and the samples that
// reach the output.
#include "sound/vorbis_stream.h"
#include "tests/sound/sound_fixture.h"
#include "tests/support/fakes/recording_allocator.h"

#define STB_VORBIS_HEADER_ONLY 1
#define STB_VORBIS_NO_STDIO 1
#define STB_VORBIS_NO_PUSHDATA_API 1
#include <stb/stb_vorbis.h>

#include <cstdlib>
#include <cstring>

namespace tallow::test {
namespace {

struct Block {
    u32 offset, size;
    audio::WaveFormat format;
};
Block head_of(const u8 *b)
{
    Block h;
    memcpy(&h.offset, b, 4);
    memcpy(&h.size, b + 4, 4);
    h.format = audio::read_wave_format(b + 44);
    return h;
}

struct VorbisFixture : ::testing::Test {
    void SetUp() override
    {
        ogg = read_test_file("tone_mono_8k.ogg");
        ASSERT_FALSE(ogg.empty());
        wav = write_vorbis_resource(ogg, 1, 8000, 0);
        SoundResource r = as_resource(wav);
        ASSERT_TRUE(read_sound_data(r, data));
        ASSERT_TRUE(data.is_vorbis());
    }
    std::vector<u8> ogg, wav;
    SoundData data;
};

TEST_F(VorbisFixture, NonLoopingStreamGivesItsBlocksThenNull)
{
    VorbisPingPongDecoder *d = VorbisPingPongDecoder::create(default_allocator(), default_allocator(), data, 0.1f, false);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->samples_per_block(), 800u);
    std::vector<u32> frames;
    const u8 *previous = nullptr;
    while (const u8 *block = d->fill()) {
        Block h = head_of(block);
        EXPECT_EQ(h.offset, 64u);
        EXPECT_EQ(h.format.format_tag, 1);
        EXPECT_EQ(h.format.channels, 1);
        EXPECT_EQ(h.format.samples_per_second, 8000u);
        EXPECT_EQ(h.format.block_align, 2);
        EXPECT_EQ(h.format.bits_per_sample, 16);
        EXPECT_NE(block, previous); // the buffers alternate
        previous = block;
        frames.push_back(h.size / 2);
        ASSERT_LT(frames.size(), 10u);
    }
    EXPECT_EQ(frames, (std::vector<u32>{800, 800, 400}));
    EXPECT_EQ(d->fill(), nullptr); // and stays ended
    delete_with_allocator(default_allocator(), d);
}

TEST_F(VorbisFixture, LoopingStreamWrapsWithoutAnEmptyBlock)
{
    VorbisPingPongDecoder *d = VorbisPingPongDecoder::create(default_allocator(), default_allocator(), data, 0.1f, true);
    ASSERT_NE(d, nullptr);
    std::vector<u32> frames;
    for (int i = 0; i < 7; ++i) {
        const u8 *block = d->fill();
        ASSERT_NE(block, nullptr);
        frames.push_back(head_of(block).size / 2);
    }
    EXPECT_EQ(frames, (std::vector<u32>{800, 800, 400, 800, 800, 400, 800}));
    delete_with_allocator(default_allocator(), d);
}

TEST_F(VorbisFixture, DataThatIsNotVorbisGivesNoDecoder)
{
    std::vector<u8> junk(600, 0x55);
    SoundData bad = data;
    bad.data = junk.data();
    bad.size_bytes = u32(junk.size());
    EXPECT_EQ(VorbisPingPongDecoder::create(default_allocator(), default_allocator(), bad, 0.1f, true), nullptr);
    bad.size_bytes = 20; // a truncated file
    bad.data = ogg.data();
    EXPECT_EQ(VorbisPingPongDecoder::create(default_allocator(), default_allocator(), bad, 0.1f, true), nullptr);
}

TEST_F(SoundWorldFixture, StreamReachesTheOutputSampleForSampleAndEnds)
{
    // The engine at the stream's own rate and one output: the mixed samples are the
    // decoded ones, so no block was refilled while the voice still held it.
    make(1, 8000);
    const std::vector<u8> ogg = read_test_file("tone_mono_8k.ogg");
    const std::vector<u8> wav = write_vorbis_resource(ogg, 1, 8000, 0);
    int channels = 0, rate = 0;
    short *decoded = nullptr;
    int total = stb_vorbis_decode_memory(ogg.data(), int(ogg.size()), &channels, &rate, &decoded);
    ASSERT_EQ(total, 2000);
    audio::I3dl2Reverb silent = audio::i3dl2_cave();
    silent.room = -10000;
    silent.wet_dry_mix = 0;
    const std::vector<u8> env = write_sound_environment(silent);
    SoundResource e = as_resource(env), r = as_resource(wav);
    world->set_environment(&e);
    u32 id = world->play(&r, false, 0);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(world->stream_count(), 1u);
    std::vector<f32> out;
    for (int frame = 0; frame < 20 && world->source(id); ++frame) {
        world->update();
        if (SoundSource *s = world->source(id)) {
            EXPECT_LE(s->queued_buffers(), 2u);
        }
        std::vector<f32> block = render(400); // 50 ms per update
        out.insert(out.end(), block.begin(), block.end());
    }
    EXPECT_EQ(world->source(id), nullptr) << "the stream ends after its last block";
    world->update();
    EXPECT_EQ(world->stream_count(), 0u) << "its decoder goes with the next update";
    ASSERT_GE(out.size(), 2000u);
    // Playback starts at the first render after the first update.
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(out[i], f32(decoded[i]) / 32768.0f) << "frame " << i;
    for (size_t i = 2000; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0.0f);
    free(decoded);
}

TEST_F(SoundWorldFixture, LoopingStreamKeepsPlaying)
{
    make(1, 8000);
    const std::vector<u8> wav = write_vorbis_resource(read_test_file("tone_mono_8k.ogg"), 1, 8000, 0);
    SoundResource r = as_resource(wav);
    u32 id = world->play(&r, true, 0);
    for (int frame = 0; frame < 40; ++frame) {
        world->update();
        render(400);
    }
    ASSERT_NE(world->source(id), nullptr);
    EXPECT_GT(world->device()->engine()->get_state(world->source(id)->voice()).frames_played, 15000u);
}

TEST_F(SoundWorldFixture, StreamingAllocatesNothing)
{
    // Everything a stream needs is made when it starts: updates, refills, wraps and mixing
    // of a looping stereo stream take nothing from the world's allocator afterwards.
    RecordingAllocator counting;
    make(2, 48000, &counting);
    const std::vector<u8> wav = write_vorbis_resource(read_test_file("tone_stereo_44k.ogg"), 2, 44100, 0);
    SoundResource r = as_resource(wav);
    u32 id = world->play(&r, true, 0);
    ASSERT_NE(id, 0u);
    world->update();
    render(4800);
    u64 before = counting.allocate_calls();
    for (int frame = 0; frame < 30; ++frame) { // 1.5 s: three passes over the file
        world->update();
        render(2400);
    }
    EXPECT_EQ(counting.allocate_calls(), before);
    EXPECT_NE(world->source(id), nullptr);
    world.reset(); // before the counting allocator: everything comes back to it
    EXPECT_EQ(counting.live_count(), 0u);
}

} // namespace
} // namespace tallow::test
