#pragma once
// Writes "wav" and "sound_environment" resources (layout in sound/sound_resource.h) from
// readable values; shared by the sound tests, the fuzz target's seeds, the benchmarks and
// the sound compiler (tools/sound/sound_compiler.h).
//
//   std::vector<u8> wav = write_pcm16_resource(1, 48000, samples, 0);
//   std::vector<u8> ogg = write_vorbis_resource(ogg_bytes, 2, 44100, NameId32("music").value());

#include "foundation/types.h"
#include "platform/audio/audio_engine.h"
#include "platform/audio/audio_reverb.h"

#include <vector>

namespace tallow::test {

/// The 64-byte head and `data` after it.
std::vector<u8> write_sound_resource(const audio::WaveFormat &format, const u8 *data, u32 size_bytes, u32 default_bus);
/// 16-bit PCM of `channels` interleaved channels.
std::vector<u8> write_pcm16_resource(u16 channels, u32 rate, const std::vector<i16> &samples, u32 default_bus);
/// 32-bit float PCM.
std::vector<u8> write_float_resource(u16 channels, u32 rate, const std::vector<f32> &samples, u32 default_bus);
/// Ogg Vorbis bytes under a format of tag 0x566F with the stream's channels and rate.
std::vector<u8> write_vorbis_resource(const std::vector<u8> &ogg, u16 channels, u32 rate, u32 default_bus);
/// The 52-byte I3DL2 block.
std::vector<u8> write_sound_environment(const audio::I3dl2Reverb &reverb);

} // namespace tallow::test
