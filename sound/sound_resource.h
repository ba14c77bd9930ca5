#pragma once
// The "wav" and "sound_environment" resources.
//
// "wav": a 64-byte head, then the sound data (little-endian):
//
//   offset  width  field
//   0       u32    offset of the sound data from the start of the resource (64 or more)
//   4       u32    size of the sound data in bytes
//   8       u32    default bus id (NameId32 of the bus name; 0: none)
//   12      32     zero (reserved)
//   44      18     wave format of the data (platform/audio/audio_engine.h: tag u16 first)
//   62      2      zero (padding)
//
// Format tag 0x566F marks Ogg Vorbis data (decoded as a stream; the format's channels and
// rate are the stream's); tags 1 (8 or 16-bit PCM) and 3 (32-bit float) are played from
// memory. "sound_environment": the 52-byte I3DL2 reverb block (platform/audio/audio_reverb.h).
//
//   register_sound_resource_types(manager);          // once, at start-up (main thread)
//   auto *wav = static_cast<const SoundResource *>(manager.get(wav_type, name));
//   SoundData data;
//   if (wav && read_sound_data(*wav, data)) ...
//
// Loading checks each resource (the data lies inside it, the format is one the mixer
// plays, Vorbis data is under 2 GiB); a resource that fails does not load, logged.
// Tests, the fuzz target and the sound compiler write resources with
// tests/support/writers/sound_resource_writer.h.

#include "foundation/strings/name_id.h"
#include "foundation/types.h"
#include "platform/audio/audio_engine.h"

namespace tallow {

class ResourceManager;

constexpr NameId64 wav_type("wav");
constexpr NameId64 sound_environment_type("sound_environment");
constexpr u32 sound_head_size_bytes = 64;
constexpr u32 sound_format_offset = 44;
constexpr u16 wave_format_vorbis = 0x566F;

/// A loaded resource's bytes, whole (for "wav" the head and the data).
struct SoundResource {
    const u8 *bytes = nullptr;
    u64 size_bytes = 0;
};

/// The head of a "wav" resource, read and checked.
struct SoundData {
    const u8 *data = nullptr; // the sound data, inside the resource
    u32 size_bytes = 0;
    u32 default_bus = 0;
    audio::WaveFormat format;
    bool is_vorbis() const { return format.format_tag == wave_format_vorbis; }
};

/// False (with `out_reason` set) when the head does not fit, the data lies outside the
/// resource, the format is not played, PCM data is not whole frames or Vorbis data is 2 GiB
/// or more. Any thread.
bool read_sound_data(const SoundResource &resource, SoundData &out, const char **out_reason = nullptr);

/// Registers "wav" and "sound_environment" with their load checks.
void register_sound_resource_types(ResourceManager &manager);

} // namespace tallow
