#pragma once
// The software mixer behind AudioEngine, between its voice calls
// (platform/audio/audio_engine.cpp) and its block mixing (platform/audio/audio_mixer.cpp).
// Every call takes the engine's lock; render runs on the output's thread (or the caller's,
// for a manual output).

#include "foundation/memory/allocator.h"
#include "platform/audio/audio_engine.h"

#include <mutex>

// The mixer's inner loops have SSE2 forms on x86-64 (every such processor has it) and
// plain forms elsewhere; both give the same samples.
#if defined(__SSE2__) && defined(__x86_64__)
#define TALLOW_AUDIO_SSE2 1
#include <emmintrin.h>
#elif defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace tallow::audio {

class Reverb;

namespace mixer {

constexpr u32 max_sends = 4;
constexpr u32 max_step = 16;  // source frames per output frame, at most
constexpr u32 carry_frames = 4; // frames a resampler keeps between blocks, at most
constexpr u32 staging_frames = AudioEngine::block_frames * max_step + carry_frames + 4;

enum class VoiceKind : u8 { Free, Master, Submix, Source };

struct Send {
    u32 destination = 0; // slot index
    VoiceId destination_id;
    bool use_filter = false;
    FilterParams filter;
    f32 low[AudioEngine::max_channels] = {};
    f32 band[AudioEngine::max_channels] = {};
    f32 matrix[AudioEngine::max_channels * AudioEngine::max_channels] = {};
};

struct QueuedBuffer {
    AudioBuffer buffer;
    u32 frames = 0;
    u32 loops_left = 0;
};

struct Voice {
    VoiceKind kind = VoiceKind::Free;
    u32 channels = 0;
    Send sends[max_sends];
    u32 send_count = 0;
    // Sources.
    WaveFormat format;
    bool running = false;
    bool ended = false; // a discontinuity was marked
    f32 max_ratio = 2.0f;
    f32 ratio = 1.0f;
    f64 step = 1.0;     // source frames per engine frame
    f64 frac = 0.0;     // position between staging frames 0 and 1
    u32 carry = 0;      // frames kept from the last block
    f32 carried[carry_frames * AudioEngine::max_channels] = {};
    QueuedBuffer queue[AudioEngine::max_queued_buffers];
    u32 head = 0;
    u32 queued = 0;
    u32 position = 0;   // frames consumed of the head buffer
    u64 frames_played = 0;
    // Submixes and the master: the block's input, planar.
    f32 *accum = nullptr;
    Reverb *reverb = nullptr;
};

struct Slot {
    u32 generation = 1;
    Voice *voice = nullptr;
};

class MixerEngine final : public AudioEngine {
  public:
    MixerEngine(Allocator &allocator, const DeviceDetails &details) : _allocator(allocator), _details(details) {}

    bool init();
    ~MixerEngine() override;
    DeviceDetails device_details() const override { return _details; }

    AudioResult create_mastering_voice(VoiceId &out) override;
    AudioResult create_submix_voice(u32 channels, bool reverb, VoiceId &out) override;
    AudioResult create_source_voice(const WaveFormat &format, f32 max_frequency_ratio, const VoiceSend *sends,
                                    u32 send_count, VoiceId &out) override;
    void destroy_voice(VoiceId id) override;
    AudioResult submit_buffer(VoiceId id, const AudioBuffer &buffer) override;
    AudioResult start(VoiceId id) override { return set_running(id, true); }
    AudioResult stop(VoiceId id) override { return set_running(id, false); }

    AudioResult discontinuity(VoiceId id) override;
    VoiceState get_state(VoiceId id) const override;
    AudioResult set_frequency_ratio(VoiceId id, f32 ratio) override;
    bool is_running(VoiceId id) const override;
    AudioResult set_output_matrix(VoiceId id, VoiceId destination, u32 k, u32 n, const f32 *levels) override;
    bool get_output_matrix(VoiceId id, VoiceId destination, f32 *out, u32 capacity) const override;
    AudioResult set_output_filter(VoiceId id, VoiceId destination, const FilterParams &params) override;
    bool get_output_filter(VoiceId id, VoiceId destination, FilterParams &out) const override;
    AudioResult set_effect_parameters(VoiceId submix, const ReverbParams &params) override;
    u32 voice_count() const override;
    void render(f32 *out, u32 frames) override;

  private:
    VoiceId id_of(u32 slot) const { return VoiceId{(_slots[slot].generation << 10) | (slot + 1)}; }
    static u32 index_of(VoiceId id) { return (id.value & 1023u) - 1; }

    Voice *find(VoiceId id, u32 *out_slot) const;
    Voice *find_source(VoiceId id) const;
    Send *find_send(VoiceId id, VoiceId destination);
    AudioResult new_voice(VoiceKind kind, u32 channels, u32 &out_slot);
    void free_voice(u32 slot);
    static void default_matrix(f32 *m, u32 k, u32 n);
    AudioResult set_running(VoiceId id, bool running);

    /// Converts up to `frames` source frames from the queue to `dst`; silence after the
    /// queue runs dry. Buffers are let go once their last frame is read.
    static void pull(Voice &v, f32 *dst, u32 frames);

    /// Resamples the voice's next `b` engine frames into `out` (planar, block_frames apart).
    void resample(Voice &v, f32 *out, u32 b);
    static bool is_silent(const Voice &v);
    static void filter(Send &s, u32 c, const f32 *in, f32 *out, u32 b);

    /// Adds `k` planar channels through the send's matrix into its destination.
    void add_matrix(Send &s, const f32 *src, u32 k, u32 b);

    /// A submix's send: filtered on its own (submixes are few).
    void add_through(Send &s, const f32 *in, u32 k, u32 b);

    // Filtering is a recursion through each sample, so one filter runs at the speed of
    // its chain of multiply-adds. The filters of up to `lanes` (voice, send, channel)
    // jobs therefore run side by side, one lane each, across the voices of a group.
    static constexpr u32 lanes = 8;
    static constexpr u32 group_voices = 8;
    struct FilterJob {
        Send *send;
        u32 channel;
        u32 source_channels;
        const f32 *in;
    };
    typedef f32 LaneVector __attribute__((vector_size(lanes * sizeof(f32))));
    static f32 lane_sum(const LaneVector &v);
    void run_filter_lanes(const FilterJob *jobs, u32 count, u32 b);

#if defined(TALLOW_AUDIO_SSE2)
    /// The main loop of run_filter_lanes four frames at a time, as two halves of four
    /// lanes: the inputs are transposed into lanes four frames at once, and each target's
    /// four sums are transposed back and added to its accumulator as one vector. Sums run
    /// in the order of lane_sum, so the samples match the one-frame loop. Returns the
    /// frames done (a multiple of four); `low` and `band` hold the lanes' state after them.
    template <typename Target>
    static u32 run_filter_lanes_by_four(const f32 *const *in, LaneVector &low_lanes, LaneVector &band_lanes,
                                        const LaneVector &f_lanes, const LaneVector &q_lanes, const Target *targets,
                                        u32 target_count, u32 b);
#endif

    void flush_filter_jobs(u32 b);
    void mix_block(u32 b);

    Allocator &_allocator;
    DeviceDetails _details;
    mutable std::mutex _lock;
    Slot *_slots = nullptr;
    u32 _master = 0; // slot + 1
    u32 _slot_end = 0; // one past the last slot with a voice: the mixer looks no further
    f32 *_staging = nullptr; // interleaved source frames of one voice's block
    f32 *_planar = nullptr;  // a submix's filtered block
    f32 *_group = nullptr;   // the resampled blocks of a group's voices
    f32 *_lane_out = nullptr; // filtered lanes, [t * lanes + lane]
    FilterJob _jobs[group_voices * max_channels * max_sends];
    u32 _job_count = 0;
};

} // namespace mixer

} // namespace tallow::audio
