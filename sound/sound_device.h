#pragma once
// One world's connection to the audio layer: an engine, its mastering voice, a one-channel
// submix carrying the reverb, and the 3D level calculation; and the `SoundSource`s that
// play through it.
//
//   SoundDevice device(allocator, settings);
//   if (!device.init()) { device.shutdown(); ... }              // plays nothing then
//   SoundSource *s = device.create_sample_source(data, true);    // null: cannot play it
//   s->update_3d(listener_pose);                                 // levels before the start
//   s->start();
//   device.destroy_source(s);
//   device.shutdown();
//
// Main thread only; the mixer runs on the output's thread (or in `engine()->render` for a
// manual output) and touches a source's buffers only between submit and the voice letting
// them go. A source made here always has a voice: creation fails instead (unsupported
// format, no voice slot, no memory), and the caller plays nothing.

#include "foundation/math/matrix4x4.h"
#include "foundation/memory/trace_allocator.h"
#include "platform/audio/audio_engine.h"
#include "platform/audio/audio_spatial.h"
#include "sound/sound_resource.h"

namespace tallow {

class SoundDevice;

/// How a world's sound starts.
struct SoundSettings {
    audio::AudioOutputKind output = audio::AudioOutputKind::Sdl; // Manual: tests pull samples
    u32 channels = 2;          // the manual output's channels; asked of SDL
    u32 sample_rate = 48000;   // the manual output's rate; asked of SDL
    f32 reverb_gain_trim = 0.5f; // every sound sends to the reverb: keep its tail modest
};

class SoundSource {
  public:
    static constexpr f32 default_range = 50.0f;

    SoundSource(SoundDevice &device, const audio::WaveFormat &format, audio::VoiceId voice, bool stream_ended);

    void start();
    /// Queues one data block (the "wav" head layout: offset at 0, size at 4). False when
    /// the voice refuses it (logged).
    bool submit(const u8 *block);
    void end_stream();
    u32 queued_buffers() const;
    /// True while the stream has not ended; after that while the voice holds a buffer.
    bool is_playing() const;
    bool has_stream_ended() const { return _stream_ended; }
    /// Sets the levels and filters of both sends from the listener and this source.
    void update_3d(const Matrix4x4 &listener);

    audio::VoiceId voice() const { return _voice; }
    const audio::WaveFormat &format() const { return _format; }
    u32 id = 0;
    Matrix4x4 pose = matrix4x4_identity;
    f32 range = default_range;
    f32 volume = 1.0f;
    f32 bus_volume = 1.0f;
    bool positional = false; // set for good by a pose or a link
    u32 bus = 0;

  private:
    SoundDevice &_device;
    audio::WaveFormat _format;
    audio::VoiceId _voice;
    bool _stream_ended;
};

class SoundDevice {
  public:
    SoundDevice(Allocator &parent, const SoundSettings &settings);
    ~SoundDevice();
    SoundDevice(const SoundDevice &) = delete;
    SoundDevice &operator=(const SoundDevice &) = delete;

    /// Engine, master, reverb submix (with the cave preset), 3D levels. False (logged) when
    /// one of them cannot be made; `shutdown` then frees what was made.
    bool init();
    /// Frees whatever `init` made, in reverse; safe after a partial init and twice.
    void shutdown();
    /// Sets the reverb from a 52-byte I3DL2 block.
    void set_reverb(const u8 *i3dl2_block);

    /// A source playing the whole of `data` (PCM) once or looping; null when it cannot.
    SoundSource *create_sample_source(const SoundData &data, bool looping);
    /// A source for stream blocks of `format`; null when it cannot.
    SoundSource *create_stream_source(const audio::WaveFormat &format);
    void destroy_source(SoundSource *source);

    audio::AudioEngine *engine() { return _engine; }
    const audio::Spatial &spatial() const { return _spatial; }
    audio::VoiceId master() const { return _master; }
    audio::VoiceId reverb() const { return _reverb; }
    u32 output_channels() const { return _output_channels; }
    TraceAllocator &allocator() { return _allocator; }

  private:
    SoundSource *create_source(const audio::WaveFormat &format, bool stream_ended);

    TraceAllocator _allocator;
    SoundSettings _settings;
    audio::AudioEngine *_engine = nullptr;
    audio::VoiceId _master;
    audio::VoiceId _reverb;
    audio::Spatial _spatial;
    u32 _output_channels = 0;
};

} // namespace tallow
