// sound_bench: the mixer and the Vorbis stream against plain outside baselines.
//   - 64 mono 44.1 kHz voices mixed for 10 ms at 48 kHz stereo, each resampled, low-pass
//     filtered and sent through a level matrix, against a plain scalar loop doing the same
//     sums; also prints the mixer's multiple of real time on one core.
//   - the stereo test file decoded through the stream's 0.1 s blocks against stb_vorbis
//     decoding the whole file at once.
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "platform/audio/audio_engine.h"
#include "sound/vorbis_stream.h"
#include "tests/support/writers/sound_resource_writer.h"

#define STB_VORBIS_HEADER_ONLY 1
#define STB_VORBIS_NO_STDIO 1
#define STB_VORBIS_NO_PUSHDATA_API 1
#include <stb/stb_vorbis.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

using namespace tallow;
using namespace tallow::audio;

namespace {

constexpr u32 voice_count = 64;
constexpr u32 source_rate = 44100;
constexpr u32 engine_rate = 48000;
constexpr u32 block = 480; // 10 ms

std::vector<i16> noise(u32 frames, u32 seed)
{
    std::vector<i16> s(frames);
    for (u32 i = 0; i < frames; ++i) {
        seed = seed * 1664525u + 1013904223u;
        s[i] = i16(seed >> 17) - 16384;
    }
    return s;
}

f32 voice_frequency(u32 v) { return 0.2f + 0.6f * f32(v) / voice_count; }
f32 voice_level(u32 v, u32 d) { return d == 0 ? 0.01f * f32(v % 7) : 0.01f * f32(v % 5 + 1); }

void BM_Mixer(benchmark::State &state)
{
    AudioEngine *engine = AudioEngine::create(default_allocator(), {AudioOutputKind::Manual, 2, engine_rate});
    VoiceId master;
    (void)engine->create_mastering_voice(master);
    std::vector<std::vector<i16>> data;
    WaveFormat f;
    f.samples_per_second = source_rate;
    f.average_bytes_per_second = source_rate * 2;
    for (u32 v = 0; v < voice_count; ++v) {
        data.push_back(noise(source_rate, v + 1));
        VoiceSend send{master, true};
        VoiceId id;
        (void)engine->create_source_voice(f, 2.0f, &send, 1, id);
        (void)engine->submit_buffer(id, {0, source_rate * 2, reinterpret_cast<const u8 *>(data[v].data()),
                                         AudioBuffer::loop_infinite, nullptr});
        const f32 m[2] = {voice_level(v, 0), voice_level(v, 1)};
        (void)engine->set_output_matrix(id, master, 1, 2, m);
        (void)engine->set_output_filter(id, master, {voice_frequency(v), 1.0f});
        (void)engine->start(id);
    }
    std::vector<f32> out(block * 2);
    for (auto _ : state) {
        engine->render(out.data(), block);
        benchmark::DoNotOptimize(out.data());
    }
    AudioEngine::destroy(default_allocator(), engine);
}

// The same work written the plain way: per voice and per output frame, interpolate,
// filter and add to both outputs.
void BM_ScalarReference(benchmark::State &state)
{
    struct Voice {
        std::vector<i16> data;
        f64 position = 0;
        f32 low = 0, band = 0;
    };
    std::vector<Voice> voices(voice_count);
    for (u32 v = 0; v < voice_count; ++v)
        voices[v].data = noise(source_rate, v + 1);
    const f64 step = f64(source_rate) / engine_rate;
    std::vector<f32> out(block * 2);
    for (auto _ : state) {
        for (f32 &x : out)
            x = 0;
        for (u32 v = 0; v < voice_count; ++v) {
            Voice &voice = voices[v];
            const f32 fq = voice_frequency(v);
            const f32 l0 = voice_level(v, 0), l1 = voice_level(v, 1);
            const u32 n = u32(voice.data.size());
            for (u32 t = 0; t < block; ++t) {
                u32 i = u32(voice.position);
                f32 frac = f32(voice.position - i);
                f32 a = voice.data[i] * (1.0f / 32768.0f);
                f32 b = voice.data[i + 1 < n ? i + 1 : 0] * (1.0f / 32768.0f);
                f32 x = a + (b - a) * frac;
                voice.low += fq * voice.band;
                f32 high = x - voice.low - voice.band;
                voice.band += fq * high;
                out[t * 2] += l0 * voice.low;
                out[t * 2 + 1] += l1 * voice.low;
                voice.position += step;
                if (voice.position >= n)
                    voice.position -= n;
            }
        }
        benchmark::DoNotOptimize(out.data());
    }
}

std::vector<u8> stereo_ogg()
{
    std::ifstream in(TALLOW_SOUND_TEST_DATA "/tone_stereo_44k.ogg", std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void BM_VorbisStream(benchmark::State &state)
{
    std::vector<u8> ogg = stereo_ogg();
    std::vector<u8> wav = test::write_vorbis_resource(ogg, 2, 44100, 0);
    SoundData data;
    SoundResource r{wav.data(), wav.size()};
    if (!read_sound_data(r, data)) {
        state.SkipWithError("no test file");
        return;
    }
    u64 frames = 0;
    for (auto _ : state) {
        VorbisPingPongDecoder *d = VorbisPingPongDecoder::create(default_allocator(), default_allocator(), data, 0.1f,
                                                                 false);
        while (const u8 *b = d->fill()) {
            u32 size;
            memcpy(&size, b + 4, 4);
            frames += size / 4;
        }
        delete_with_allocator(default_allocator(), d);
    }
    benchmark::DoNotOptimize(frames);
}

void BM_StbWholeFile(benchmark::State &state)
{
    std::vector<u8> ogg = stereo_ogg();
    u64 frames = 0;
    for (auto _ : state) {
        int channels = 0, rate = 0;
        short *out = nullptr;
        frames += u64(stb_vorbis_decode_memory(ogg.data(), int(ogg.size()), &channels, &rate, &out));
        free(out);
    }
    benchmark::DoNotOptimize(frames);
}

} // namespace

BENCHMARK(BM_Mixer)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ScalarReference)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_VorbisStream)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_StbWholeFile)->Unit(benchmark::kMicrosecond)->UseRealTime();

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    const bench::RatioReporter &runs = program.run();
    const bench::TimeRatio ratios[] = {
        {"64 voices, 10 ms at 48 kHz", "BM_Mixer", "BM_ScalarReference"},
        {"0.5 s stereo Vorbis file", "BM_VorbisStream", "BM_StbWholeFile"},
    };
    bench::print_time_ratios(runs, "sound time / outside baseline time (below 1: ours is faster)", ratios);
    if (runs.has("BM_Mixer") && runs.seconds("BM_Mixer") > 0)
        printf("  mixer: %.0f x real time on one core (64 voices; goal at least 200 x)\n",
               0.010 / runs.seconds("BM_Mixer"));
    return 0;
}
