#pragma once
// Our audio layer: an engine with a mastering voice, submix voices and source voices fed
// from queues of caller-owned buffers, mixed in software. Source voices resample to the
// engine rate (linear), send through a per-send low-pass filter and level matrix to a
// submix or the master; a submix may carry the reverb effect (platform/audio/audio_reverb.h).
//
//   AudioEngine *engine = AudioEngine::create(allocator, {AudioOutputKind::Manual, 2, 48000});
//   VoiceId master, source;
//   engine->create_mastering_voice(master);
//   VoiceSend sends[] = {{master, true}};
//   engine->create_source_voice(format, 2.0f, sends, 1, source);      // main thread
//   engine->submit_buffer(source, {AudioBuffer::end_of_stream, bytes, data, 0, context});
//   engine->start(source);
//   engine->render(out, 480);        // the mixer: a test, or the SDL output's thread
//   engine->destroy_voice(source);   // returns once the mixer is out of the voice
//   AudioEngine::destroy(allocator, engine);
//
// Threads: every call may come from any thread; one lock per engine is taken by each call
// and by the mixer for each block, so `destroy_voice` never returns while the mixer reads
// that voice and a buffer may be freed as soon as the voice has let it go (get_state no
// longer lists it). Submitted buffer bytes must stay untouched until then.
//
// Outputs: `Manual` engines are mixed only by `render` (tests pull samples from them
// deterministically); `Sdl` engines are summed into one process-wide SDL audio device
// that pulls them from its own thread. A backend output implements the pull: lock-free
// of the engine's data, it calls `render` for each block it needs.
//
// Failures return an `AudioResult` other than Ok and change nothing.

#include "foundation/types.h"

namespace tallow {
class Allocator;
}

namespace tallow::audio {

enum class AudioResult : u32 {
    Ok,
    InvalidCall,       // unknown or destroyed voice, wrong voice kind, bad argument
    UnsupportedFormat, // a format the mixer does not read
    QueueFull,         // max_queued_buffers already queued
    TooManyVoices,     // max_voices in use
    NoMemory,
    DeviceFailed,      // the output could not be opened
};
const char *to_string(AudioResult result);

/// The packed 18-byte wave format record, kept as fields. Tag 1: integer PCM of 8 or 16
/// bits; tag 3: 32-bit float; other tags are refused by source voices.
struct WaveFormat {
    u16 format_tag = 1;
    u16 channels = 1;
    u32 samples_per_second = 48000;
    u32 average_bytes_per_second = 96000;
    u16 block_align = 2;
    u16 bits_per_sample = 16;
    u16 extra_size = 0;
};
constexpr u16 wave_format_pcm = 1;
constexpr u16 wave_format_float = 3;
constexpr u32 wave_format_size_bytes = 18; // on disk, little-endian, packed

/// Reads the packed 18-byte record at `p` (field by field); writes it back.
WaveFormat read_wave_format(const u8 *p);
void write_wave_format(const WaveFormat &format, u8 *out);
/// Whether a source voice reads `format`: tag 1 with 8 or 16 bits, or tag 3 with 32;
/// 1 to 8 channels; 1000 to 200000 Hz; block align = channels x bytes per sample.
bool is_supported_format(const WaveFormat &format);

/// A voice: index + generation, 0 is none.
struct VoiceId {
    u32 value = 0;
    bool is_null() const { return value == 0; }
    friend bool operator==(VoiceId a, VoiceId b) { return a.value == b.value; }
};

/// One queued buffer of whole frames.
struct AudioBuffer {
    static constexpr u32 end_of_stream = 0x40;
    static constexpr u32 loop_infinite = 255;
    u32 flags = 0;        // end_of_stream: no more buffers follow (informational)
    u32 bytes = 0;        // a multiple of the block align
    const u8 *data = nullptr;
    u32 loop_count = 0;   // extra passes over the buffer; loop_infinite: for ever
    void *context = nullptr;
};

/// What a source voice holds now.
struct VoiceState {
    u32 buffers_queued = 0;         // including the one being played
    void *current_context = nullptr; // the head buffer's context, null when none
    u64 frames_played = 0;           // source frames consumed since creation
};

/// A send of a source or submix voice; with `use_filter` the send has a low-pass filter.
struct VoiceSend {
    VoiceId destination;
    bool use_filter = false;
};

/// A state-variable low-pass: `frequency` = 2 sin(pi fc / fs) in (0, 1], with 1 or more
/// meaning no filtering; `one_over_q` in (0, 1.5].
struct FilterParams {
    f32 frequency = 1.0f;
    f32 one_over_q = 1.0f;
};

enum class AudioOutputKind : u32 {
    Manual, // mixed only by render(); the deterministic sink of tests
    Sdl,    // the process-wide SDL audio device
};

struct EngineParams {
    AudioOutputKind output = AudioOutputKind::Manual;
    u32 channels = 2;       // Manual: the output channel count (1 to 8); Sdl: asked for
    u32 sample_rate = 48000; // Manual: the engine rate; Sdl: asked for
};

/// The output device as the engine sees it.
struct DeviceDetails {
    u32 channels = 0;
    u32 sample_rate = 0;
    u32 channel_mask = 0; // speaker bits: front left/right 0x3, centre 0x4, LFE 0x8, back 0x30, side 0x600
};
/// The speaker mask of a channel count (1: 0x4, 2: 0x3, 3: 0x7, 4: 0x33, 5: 0x37, 6: 0x3F,
/// 7: 0x13F, 8: 0x63F).
u32 channel_mask_for(u32 channels);

struct ReverbParams; // platform/audio/audio_reverb.h

class AudioEngine {
  public:
    static constexpr u32 max_voices = 512;
    static constexpr u32 max_queued_buffers = 64;
    static constexpr u32 max_channels = 8;
    static constexpr u32 block_frames = 256; // the mixer's step

    /// Null when the output cannot be opened (logged) or memory runs out.
    static AudioEngine *create(Allocator &allocator, const EngineParams &params);
    /// Stops the output (the SDL device stops pulling this engine) and frees every voice.
    static void destroy(Allocator &allocator, AudioEngine *engine);

    virtual ~AudioEngine() = default;

    virtual DeviceDetails device_details() const = 0;

    /// The one mastering voice, with the device's channels and rate.
    [[nodiscard]] virtual AudioResult create_mastering_voice(VoiceId &out_voice) = 0;
    /// A submix of `channels` inputs at the engine rate, sending to the master; with
    /// `reverb` it carries the reverb effect (enabled, same channel count in and out).
    [[nodiscard]] virtual AudioResult create_submix_voice(u32 channels, bool reverb, VoiceId &out_voice) = 0;
    /// A source voice reading `format`, resampling by at most `max_frequency_ratio`,
    /// sending to each of `sends` (the master or submixes). It starts stopped, with
    /// silent matrices except the default mapping (channel s to output s).
    [[nodiscard]] virtual AudioResult create_source_voice(const WaveFormat &format, f32 max_frequency_ratio,
                                                          const VoiceSend *sends, u32 send_count,
                                                          VoiceId &out_voice) = 0;
    /// Destroys any voice (the master last); waits for the mixer to leave it.
    virtual void destroy_voice(VoiceId voice) = 0;

    [[nodiscard]] virtual AudioResult submit_buffer(VoiceId source, const AudioBuffer &buffer) = 0;
    [[nodiscard]] virtual AudioResult start(VoiceId source) = 0;
    [[nodiscard]] virtual AudioResult stop(VoiceId source) = 0;
    /// Marks that no more buffers follow the queued ones (the voice then plays them out
    /// and goes quiet without a glitch).
    [[nodiscard]] virtual AudioResult discontinuity(VoiceId source) = 0;
    /// Zeroed state for an unknown voice.
    virtual VoiceState get_state(VoiceId source) const = 0;
    [[nodiscard]] virtual AudioResult set_frequency_ratio(VoiceId source, f32 ratio) = 0;
    virtual bool is_running(VoiceId source) const = 0;

    /// Levels from the voice's K channels to the destination's N inputs, at [d * K + s].
    [[nodiscard]] virtual AudioResult set_output_matrix(VoiceId voice, VoiceId destination, u32 source_channels,
                                                        u32 destination_channels, const f32 *levels) = 0;
    virtual bool get_output_matrix(VoiceId voice, VoiceId destination, f32 *out_levels, u32 capacity) const = 0;
    /// The send's filter; InvalidCall when the send was made without use_filter.
    [[nodiscard]] virtual AudioResult set_output_filter(VoiceId voice, VoiceId destination,
                                                        const FilterParams &params) = 0;
    virtual bool get_output_filter(VoiceId voice, VoiceId destination, FilterParams &out_params) const = 0;
    /// The submix's reverb parameters (InvalidCall without a reverb).
    [[nodiscard]] virtual AudioResult set_effect_parameters(VoiceId submix, const ReverbParams &params) = 0;

    /// Mixes `frames` frames of the master's channels, interleaved, into `out` (silence
    /// without a master). The output's thread, or a test with a Manual engine.
    virtual void render(f32 *out, u32 frames) = 0;
    /// Voices alive (any kind).
    virtual u32 voice_count() const = 0;
};

} // namespace tallow::audio
