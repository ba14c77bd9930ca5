#pragma once
// The reverb effect a submix voice carries: a pre-delay, one early reflection tap, four
// damped feedback combs and two all-passes per channel (channels processed alike).
//
//   I3dl2Reverb cave = i3dl2_cave();
//   engine->set_effect_parameters(submix, reverb_params_from_i3dl2(cave));
//
// Parameters come from the I3DL2 set of a "sound_environment" resource: gains in
// millibels become linear (10^(mB / 2000)), DecayTime sets each comb's feedback so the
// tail falls 60 dB in that time, DecayHFRatio below 1 damps the high end, the two delays
// place the reflections and the tail, Diffusion sets the all-pass gains and Density the
// spread of the comb lengths. Not thread-safe on its own: the engine's lock guards it.

#include "foundation/types.h"

namespace tallow {
class Allocator;
}

namespace tallow::audio {

/// The 13-field I3DL2 reverb block, 52 bytes little-endian in this order.
struct I3dl2Reverb {
    f32 wet_dry_mix = 100.0f;      // percent
    i32 room = -1000;              // mB
    i32 room_hf = -100;            // mB
    f32 room_rolloff_factor = 0.0f;
    f32 decay_time = 1.49f;        // s, 0.1 to 20
    f32 decay_hf_ratio = 0.83f;    // 0.1 to 2
    i32 reflections = -2602;       // mB
    f32 reflections_delay = 0.007f; // s, 0 to 0.3
    i32 reverb = 200;              // mB
    f32 reverb_delay = 0.011f;     // s, 0 to 0.1
    f32 diffusion = 100.0f;        // percent
    f32 density = 100.0f;          // percent
    f32 hf_reference = 5000.0f;    // Hz
};
constexpr u32 i3dl2_reverb_size_bytes = 52;
/// Reads the 52-byte block field by field (no checks: see reverb_params_from_i3dl2).
I3dl2Reverb read_i3dl2_reverb(const u8 *p);
void write_i3dl2_reverb(const I3dl2Reverb &reverb, u8 *out);
/// The I3DL2 "cave" preset.
I3dl2Reverb i3dl2_cave();

/// What the effect runs on, every value clamped to its range.
struct ReverbParams {
    f32 wet_gain = 1.0f;          // linear, applied to the whole output (room x wet mix)
    f32 reflections_gain = 0.0f;  // linear
    f32 reverb_gain = 1.0f;       // linear
    f32 decay_time = 1.0f;        // s
    f32 hf_damping = 0.0f;        // 0 (none) to 0.9
    f32 reflections_delay = 0.0f; // s
    f32 reverb_delay = 0.0f;      // s
    f32 diffusion = 0.7f;         // all-pass gain, 0 to 0.7
    f32 density = 1.0f;           // 0 to 1: spread of the comb lengths
    f32 gain_trim = 0.5f;         // an overall trim: every sound sends to the reverb
};
/// Converts and clamps; NaN fields take the preset's values.
ReverbParams reverb_params_from_i3dl2(const I3dl2Reverb &reverb);

class Reverb {
  public:
    static constexpr u32 max_channels = 8;

    /// Sizes the delay lines for `sample_rate`; false without memory.
    bool init(Allocator &allocator, u32 channels, u32 sample_rate);
    void release(Allocator &allocator);
    void set_params(const ReverbParams &params);
    /// In place over `frames` frames of planar channel buffers.
    void process(f32 *const *channels, u32 frames);
    void clear();

  private:
    struct Line {
        f32 *data = nullptr;
        u32 length = 0; // used length
        u32 capacity = 0;
        u32 at = 0;
        f32 gain = 0;   // feedback (combs) or all-pass gain
        f32 store = 0;  // the comb's damping state
    };
    static constexpr u32 comb_count = 4;
    static constexpr u32 allpass_count = 2;
    struct Channel {
        Line pre;        // pre-delay, read at two taps
        Line combs[comb_count];
        Line allpasses[allpass_count];
    };
    void configure();

    Channel _channels[max_channels];
    u32 _channel_count = 0;
    u32 _sample_rate = 48000;
    ReverbParams _params;
    u32 _reflections_tap = 0; // frames
    u32 _reverb_tap = 0;
};

} // namespace tallow::audio
