#include "platform/audio/audio_reverb.h"

#include "foundation/memory/allocator.h"

#include <cmath>
#include <cstring>

namespace tallow::audio {

namespace {

template <typename T> T load(const u8 *p)
{
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

f32 clamp(f32 v, f32 lo, f32 hi, f32 fallback)
{
    if (std::isnan(v))
        return fallback;
    return v < lo ? lo : (v > hi ? hi : v);
}

f32 millibels(i32 mb)
{
    f32 v = f32(mb < -10000 ? -10000 : (mb > 2000 ? 2000 : mb));
    return std::pow(10.0f, v / 2000.0f);
}

// Comb lengths in seconds at full density; mutually prime-ish so the echoes do not pile up.
constexpr f32 comb_seconds[4] = {0.0297f, 0.0371f, 0.0411f, 0.0437f};
constexpr f32 allpass_seconds[2] = {0.0050f, 0.0017f};
constexpr f32 max_pre_delay_seconds = 0.3f + 0.1f;

} // namespace

I3dl2Reverb read_i3dl2_reverb(const u8 *p)
{
    I3dl2Reverb r;
    r.wet_dry_mix = load<f32>(p + 0);
    r.room = load<i32>(p + 4);
    r.room_hf = load<i32>(p + 8);
    r.room_rolloff_factor = load<f32>(p + 12);
    r.decay_time = load<f32>(p + 16);
    r.decay_hf_ratio = load<f32>(p + 20);
    r.reflections = load<i32>(p + 24);
    r.reflections_delay = load<f32>(p + 28);
    r.reverb = load<i32>(p + 32);
    r.reverb_delay = load<f32>(p + 36);
    r.diffusion = load<f32>(p + 40);
    r.density = load<f32>(p + 44);
    r.hf_reference = load<f32>(p + 48);
    return r;
}

void write_i3dl2_reverb(const I3dl2Reverb &r, u8 *out)
{
    memcpy(out + 0, &r.wet_dry_mix, 4);
    memcpy(out + 4, &r.room, 4);
    memcpy(out + 8, &r.room_hf, 4);
    memcpy(out + 12, &r.room_rolloff_factor, 4);
    memcpy(out + 16, &r.decay_time, 4);
    memcpy(out + 20, &r.decay_hf_ratio, 4);
    memcpy(out + 24, &r.reflections, 4);
    memcpy(out + 28, &r.reflections_delay, 4);
    memcpy(out + 32, &r.reverb, 4);
    memcpy(out + 36, &r.reverb_delay, 4);
    memcpy(out + 40, &r.diffusion, 4);
    memcpy(out + 44, &r.density, 4);
    memcpy(out + 48, &r.hf_reference, 4);
}

I3dl2Reverb i3dl2_cave()
{
    I3dl2Reverb r;
    r.wet_dry_mix = 100.0f;
    r.room = -1000;
    r.room_hf = 0;
    r.room_rolloff_factor = 0.0f;
    r.decay_time = 2.91f;
    r.decay_hf_ratio = 1.3f;
    r.reflections = -602;
    r.reflections_delay = 0.015f;
    r.reverb = -302;
    r.reverb_delay = 0.022f;
    r.diffusion = 100.0f;
    r.density = 100.0f;
    r.hf_reference = 5000.0f;
    return r;
}

ReverbParams reverb_params_from_i3dl2(const I3dl2Reverb &r)
{
    ReverbParams p;
    f32 wet = clamp(r.wet_dry_mix, 0.0f, 100.0f, 100.0f) / 100.0f;
    p.wet_gain = wet * millibels(r.room);
    p.reflections_gain = millibels(r.reflections);
    p.reverb_gain = millibels(r.reverb);
    p.decay_time = clamp(r.decay_time, 0.1f, 20.0f, 1.49f);
    // A ratio below 1 shortens the high end's decay: damp the comb feedback; above 1 the
    // effect has nothing to lengthen it with and stays undamped.
    f32 ratio = clamp(r.decay_hf_ratio, 0.1f, 2.0f, 1.0f);
    f32 hf_reference = clamp(r.hf_reference, 20.0f, 20000.0f, 5000.0f);
    f32 damping = ratio < 1.0f ? (1.0f - ratio) * (hf_reference < 10000.0f ? 1.0f : 0.5f) : 0.0f;
    p.hf_damping = clamp(damping, 0.0f, 0.9f, 0.0f);
    p.reflections_delay = clamp(r.reflections_delay, 0.0f, 0.3f, 0.0f);
    p.reverb_delay = clamp(r.reverb_delay, 0.0f, 0.1f, 0.0f);
    p.diffusion = clamp(r.diffusion, 0.0f, 100.0f, 100.0f) / 100.0f * 0.7f;
    p.density = clamp(r.density, 0.0f, 100.0f, 100.0f) / 100.0f;
    return p;
}

bool Reverb::init(Allocator &allocator, u32 channels, u32 sample_rate)
{
    _channel_count = channels > max_channels ? max_channels : channels;
    _sample_rate = sample_rate;
    auto make = [&](Line &line, f32 seconds) {
        line.capacity = u32(seconds * f32(sample_rate)) + 2;
        line.data = static_cast<f32 *>(allocator.allocate(u64(line.capacity) * sizeof(f32), alignof(f32)));
        if (line.data)
            memset(line.data, 0, u64(line.capacity) * sizeof(f32));
        line.length = line.capacity;
        return line.data != nullptr;
    };
    for (u32 c = 0; c < _channel_count; ++c) {
        Channel &ch = _channels[c];
        // A small offset per channel decorrelates the channels' tails.
        f32 spread = f32(c) * 0.0011f;
        bool ok = make(ch.pre, max_pre_delay_seconds);
        for (u32 i = 0; i < comb_count; ++i)
            ok = ok && make(ch.combs[i], comb_seconds[i] + spread);
        for (u32 i = 0; i < allpass_count; ++i)
            ok = ok && make(ch.allpasses[i], allpass_seconds[i] + spread);
        if (!ok) {
            release(allocator);
            return false;
        }
    }
    configure();
    return true;
}

void Reverb::release(Allocator &allocator)
{
    for (Channel &ch : _channels) {
        allocator.deallocate(ch.pre.data);
        for (Line &l : ch.combs)
            allocator.deallocate(l.data);
        for (Line &l : ch.allpasses)
            allocator.deallocate(l.data);
        ch = Channel{};
    }
    _channel_count = 0;
}

void Reverb::set_params(const ReverbParams &params)
{
    _params = params;
    configure();
}

void Reverb::configure()
{
    f32 rate = f32(_sample_rate);
    _reflections_tap = u32(_params.reflections_delay * rate);
    _reverb_tap = u32((_params.reflections_delay + _params.reverb_delay) * rate);
    for (u32 c = 0; c < _channel_count; ++c) {
        Channel &ch = _channels[c];
        for (u32 i = 0; i < comb_count; ++i) {
            Line &l = ch.combs[i];
            // Lower density shortens the longer combs towards the first one.
            f32 scale = 0.6f + 0.4f * _params.density;
            u32 length = u32(f32(l.capacity - 2) * (i == 0 ? 1.0f : scale));
            l.length = length < 16 ? 16 : (length > l.capacity ? l.capacity : length);
            l.at %= l.length;
            // Each pass through a comb of d seconds loses 60 dB * d / T60.
            l.gain = std::pow(10.0f, -3.0f * f32(l.length) / (rate * _params.decay_time));
        }
        for (Line &l : ch.allpasses)
            l.gain = _params.diffusion;
    }
}

void Reverb::clear()
{
    for (u32 c = 0; c < _channel_count; ++c) {
        Channel &ch = _channels[c];
        memset(ch.pre.data, 0, u64(ch.pre.capacity) * sizeof(f32));
        for (Line &l : ch.combs) {
            memset(l.data, 0, u64(l.capacity) * sizeof(f32));
            l.store = 0;
        }
        for (Line &l : ch.allpasses)
            memset(l.data, 0, u64(l.capacity) * sizeof(f32));
    }
}

void Reverb::process(f32 *const *channels, u32 frames)
{
    const f32 damping = _params.hf_damping;
    const f32 late_gain = _params.reverb_gain * 0.25f;
    const f32 out_gain = _params.wet_gain * _params.gain_trim;
    for (u32 c = 0; c < _channel_count; ++c) {
        Channel &ch = _channels[c];
        f32 *samples = channels[c];
        Line &pre = ch.pre;
        for (u32 t = 0; t < frames; ++t) {
            pre.data[pre.at] = samples[t];
            u32 early_at = pre.at >= _reflections_tap ? pre.at - _reflections_tap : pre.at + pre.length - _reflections_tap;
            u32 late_at = pre.at >= _reverb_tap ? pre.at - _reverb_tap : pre.at + pre.length - _reverb_tap;
            pre.at = pre.at + 1 == pre.length ? 0 : pre.at + 1;
            f32 early = pre.data[early_at];
            f32 late_in = pre.data[late_at];
            f32 sum = 0;
            for (Line &l : ch.combs) {
                f32 y = l.data[l.at];
                l.store = y * (1.0f - damping) + l.store * damping;
                l.data[l.at] = late_in + l.store * l.gain;
                l.at = l.at + 1 == l.length ? 0 : l.at + 1;
                sum += y;
            }
            f32 x = sum * late_gain;
            for (Line &l : ch.allpasses) {
                f32 delayed = l.data[l.at];
                f32 v = x + delayed * l.gain;
                l.data[l.at] = v;
                x = delayed - v * l.gain;
                l.at = l.at + 1 == l.length ? 0 : l.at + 1;
            }
            samples[t] = (x + early * _params.reflections_gain) * out_gain;
        }
    }
}

} // namespace tallow::audio
