// The software mixer behind AudioEngine. Each block (at most block_frames frames):
//   1. every running source voice pulls the source frames its resampler needs from its
//      buffer queue (converted to float), then interpolates them to the engine rate into
//      planar channels;
//   2. each send filters those channels (when its filter is on) and adds them through its
//      level matrix into the destination's accumulator;
//   3. submixes run their effect in place and add into the master through their matrix;
//   4. the master's accumulator is interleaved into the output.
// Voices are visited in slot order, so a given sequence of calls mixes the same samples.
#include "platform/audio/audio_mixer_internal.h"

#include "platform/audio/audio_reverb.h"

#include <cstring>
#include <mutex>

namespace tallow::audio::mixer {

namespace {

void convert(const u8 *__restrict src, f32 *__restrict dst, u32 samples, const WaveFormat &format)
{
    if (format.format_tag == wave_format_float) {
        memcpy(dst, src, u64(samples) * 4);
    } else if (format.bits_per_sample == 16) {
        // Buffers may start at any byte: read the samples through a type that allows it.
        typedef i16 UnalignedI16 __attribute__((aligned(1), may_alias));
        const UnalignedI16 *p = reinterpret_cast<const UnalignedI16 *>(src);
        for (u32 i = 0; i < samples; ++i)
            dst[i] = f32(p[i]) * (1.0f / 32768.0f);
    } else {
        for (u32 i = 0; i < samples; ++i)
            dst[i] = (f32(src[i]) - 128.0f) * (1.0f / 128.0f);
    }
}

// Flush denormals to zero while mixing: decaying filter and reverb states otherwise slow
// the mixer to a crawl.
class DenormalGuard {
  public:
#if defined(__SSE__)
    DenormalGuard() : _saved(_mm_getcsr()) { _mm_setcsr(_saved | 0x8040); }
    ~DenormalGuard() { _mm_setcsr(_saved); }

  private:
    unsigned _saved;
#endif
};

} // namespace

void MixerEngine::render(f32 *out, u32 frames)
{
    DenormalGuard guard;
    std::lock_guard<std::mutex> lock(_lock);
    u32 n = _details.channels;
    while (frames > 0) {
        u32 b = frames < block_frames ? frames : block_frames;
        if (!_master) {
            memset(out, 0, sizeof(f32) * b * n);
        } else {
            mix_block(b);
            const f32 *accum = _slots[_master - 1].voice->accum;
            u32 t = 0;
#if defined(TALLOW_AUDIO_SSE2)
            if (n == 2) {
                for (; t + 4 <= b; t += 4) {
                    const __m128 l = _mm_loadu_ps(accum + t), r = _mm_loadu_ps(accum + block_frames + t);
                    _mm_storeu_ps(out + t * 2, _mm_unpacklo_ps(l, r));
                    _mm_storeu_ps(out + t * 2 + 4, _mm_unpackhi_ps(l, r));
                }
            }
#endif
            for (; t < b; ++t)
                for (u32 d = 0; d < n; ++d)
                    out[t * n + d] = accum[d * block_frames + t];
        }
        out += b * n;
        frames -= b;
    }
}

void MixerEngine::pull(Voice &v, f32 *dst, u32 frames)
{
    const u32 k = v.channels;
    const u32 align = v.format.block_align;
    while (frames > 0 && v.queued > 0) {
        QueuedBuffer &q = v.queue[v.head];
        u32 n = q.frames - v.position;
        if (n > frames)
            n = frames;
        convert(q.buffer.data + u64(v.position) * align, dst, n * k, v.format);
        dst += n * k;
        frames -= n;
        v.position += n;
        v.frames_played += n;
        if (v.position == q.frames) {
            v.position = 0;
            if (q.loops_left == AudioBuffer::loop_infinite)
                continue;
            if (q.loops_left > 0) {
                --q.loops_left;
                continue;
            }
            v.head = (v.head + 1) % max_queued_buffers;
            --v.queued;
        }
    }
    if (frames)
        memset(dst, 0, sizeof(f32) * frames * k);
}

void MixerEngine::resample(Voice &v, f32 *out, u32 b)
{
    const u32 k = v.channels;
    f32 *st = _staging;
    if (v.step == 1.0 && v.frac == 0.0 && v.carry == 0) {
        // The engine's own rate: no interpolation.
        pull(v, st, b);
        for (u32 t = 0; t < b; ++t)
            for (u32 c = 0; c < k; ++c)
                out[c * block_frames + t] = st[t * k + c];
        return;
    }
    f64 p_last = v.frac + f64(b - 1) * v.step;
    f64 p_next = v.frac + f64(b) * v.step;
    u32 base = u32(p_next);
    // One frame past the last one read, plus one of margin for the float positions.
    u32 needed = u32(p_last) + 3;
    if (needed < base + 1)
        needed = base + 1;
    memcpy(st, v.carried, sizeof(f32) * v.carry * k);
    if (needed > v.carry)
        pull(v, st + v.carry * k, needed - v.carry);
    else
        needed = v.carry;
    const f32 frac = f32(v.frac);
    const f32 step = f32(v.step);
    if (k == 1) {
        const f32 *__restrict in = st;
        f32 *__restrict to = out;
        u32 t = 0;
#if defined(TALLOW_AUDIO_SSE2)
        // Four frames at a time: the same positions and sums as the loop below, with
        // each frame's two neighbours read as one 8-byte pair.
        const __m128 vfrac = _mm_set1_ps(frac), vstep = _mm_set1_ps(step), four = _mm_set1_ps(4.0f);
        __m128 tv = _mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f);
#pragma GCC unroll 2
        for (; t + 4 <= b; t += 4) {
            const __m128 p = _mm_add_ps(vfrac, _mm_mul_ps(tv, vstep));
            const __m128i i = _mm_cvttps_epi32(p);
            const __m128 f = _mm_sub_ps(p, _mm_cvtepi32_ps(i));
            // Two indices per 64-bit move; unsigned, so no sign extension to address with.
            const u64 i01 = u64(_mm_cvtsi128_si64(i));
            const u64 i23 = u64(_mm_cvtsi128_si64(_mm_unpackhi_epi64(i, i)));
            const u32 at[4] = {u32(i01), u32(i01 >> 32), u32(i23), u32(i23 >> 32)};
            const __m128 p0 = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + at[0])));
            const __m128 p1 = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + at[1])));
            const __m128 p2 = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + at[2])));
            const __m128 p3 = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + at[3])));
            const __m128 lo = _mm_movelh_ps(p0, p1); // a0 b0 a1 b1
            const __m128 hi = _mm_movelh_ps(p2, p3); // a2 b2 a3 b3
            const __m128 a = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
            const __m128 n = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
            _mm_storeu_ps(to + t, _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(n, a), f)));
            tv = _mm_add_ps(tv, four);
        }
#endif
        for (; t < b; ++t) {
            f32 p = frac + f32(i32(t)) * step;
            i32 i = i32(p);
            f32 f = p - f32(i);
            f32 a = in[i];
            to[t] = a + (in[i + 1] - a) * f;
        }
    } else {
        u32 t = 0;
#if defined(TALLOW_AUDIO_SSE2)
        if (k == 2) {
            // Stereo four frames at a time: each frame's two neighbours are one 16-byte
            // read, sorted into left and right before and after.
            const __m128 vfrac = _mm_set1_ps(frac), vstep = _mm_set1_ps(step), four = _mm_set1_ps(4.0f);
            __m128 tv = _mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f);
            f32 *__restrict left = out;
            f32 *__restrict right = out + block_frames;
            for (; t + 4 <= b; t += 4) {
                const __m128 p = _mm_add_ps(vfrac, _mm_mul_ps(tv, vstep));
                const __m128i i = _mm_cvttps_epi32(p);
                const __m128 f = _mm_sub_ps(p, _mm_cvtepi32_ps(i));
                const u64 i01 = u64(_mm_cvtsi128_si64(i));
                const u64 i23 = u64(_mm_cvtsi128_si64(_mm_unpackhi_epi64(i, i)));
                const __m128 x0 = _mm_loadu_ps(st + 2 * u32(i01)); // l r l' r'
                const __m128 x1 = _mm_loadu_ps(st + 2 * u32(i01 >> 32));
                const __m128 x2 = _mm_loadu_ps(st + 2 * u32(i23));
                const __m128 x3 = _mm_loadu_ps(st + 2 * u32(i23 >> 32));
                const __m128 l01 = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(2, 0, 2, 0)); // l0 l0' l1 l1'
                const __m128 l23 = _mm_shuffle_ps(x2, x3, _MM_SHUFFLE(2, 0, 2, 0));
                const __m128 r01 = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(3, 1, 3, 1));
                const __m128 r23 = _mm_shuffle_ps(x2, x3, _MM_SHUFFLE(3, 1, 3, 1));
                const __m128 la = _mm_shuffle_ps(l01, l23, _MM_SHUFFLE(2, 0, 2, 0));
                const __m128 lb = _mm_shuffle_ps(l01, l23, _MM_SHUFFLE(3, 1, 3, 1));
                const __m128 ra = _mm_shuffle_ps(r01, r23, _MM_SHUFFLE(2, 0, 2, 0));
                const __m128 rb = _mm_shuffle_ps(r01, r23, _MM_SHUFFLE(3, 1, 3, 1));
                _mm_storeu_ps(left + t, _mm_add_ps(la, _mm_mul_ps(_mm_sub_ps(lb, la), f)));
                _mm_storeu_ps(right + t, _mm_add_ps(ra, _mm_mul_ps(_mm_sub_ps(rb, ra), f)));
                tv = _mm_add_ps(tv, four);
            }
        }
#endif
        for (; t < b; ++t) {
            f32 p = frac + f32(t) * step;
            u32 i = u32(p);
            f32 f = p - f32(i);
            const f32 *a = st + i * k;
            for (u32 c = 0; c < k; ++c)
                out[c * block_frames + t] = a[c] + (a[c + k] - a[c]) * f;
        }
    }
    v.carry = needed - base;
    if (v.carry > carry_frames)
        v.carry = carry_frames; // cannot happen with the margin above; keeps the copy bounded
    memcpy(v.carried, st + base * k, sizeof(f32) * v.carry * k);
    v.frac = p_next - f64(base);
}

bool MixerEngine::is_silent(const Voice &v)
{
    for (u32 i = 0; i < v.carry * v.channels; ++i)
        if (v.carried[i] != 0.0f)
            return false;
    return true;
}

void MixerEngine::filter(Send &s, u32 c, const f32 *in, f32 *out, u32 b)
{
    const f32 f = s.filter.frequency;
    const f32 q = s.filter.one_over_q;
    f32 low = s.low[c], band = s.band[c];
    for (u32 t = 0; t < b; ++t) {
        low += f * band;
        f32 high = in[t] - low - q * band;
        band += f * high;
        out[t] = low;
    }
    s.low[c] = low;
    s.band[c] = band;
}

void MixerEngine::add_matrix(Send &s, const f32 *src, u32 k, u32 b)
{
    Voice &dest = *_slots[s.destination].voice;
    for (u32 d = 0; d < dest.channels; ++d) {
        f32 *acc = dest.accum + d * block_frames;
        for (u32 c = 0; c < k; ++c) {
            const f32 g = s.matrix[d * k + c];
            if (g == 0.0f)
                continue;
            const f32 *x = src + c * block_frames;
            for (u32 t = 0; t < b; ++t)
                acc[t] += g * x[t];
        }
    }
}

void MixerEngine::add_through(Send &s, const f32 *in, u32 k, u32 b)
{
    const f32 *src = in;
    if (s.use_filter && s.filter.frequency < 1.0f) {
        f32 *filtered = _planar;
        for (u32 c = 0; c < k; ++c)
            filter(s, c, in + c * block_frames, filtered + c * block_frames, b);
        src = filtered;
    }
    add_matrix(s, src, k, b);
}

f32 MixerEngine::lane_sum(const LaneVector &v)
{
    return ((v[0] + v[4]) + (v[1] + v[5])) + ((v[2] + v[6]) + (v[3] + v[7]));
}

#if defined(TALLOW_AUDIO_SSE2)
template <typename Target>
u32 MixerEngine::run_filter_lanes_by_four(const f32 *const *in, LaneVector &low_lanes, LaneVector &band_lanes,
                                          const LaneVector &f_lanes, const LaneVector &q_lanes,
                                          const Target *targets, u32 target_count, u32 b)
{
    alignas(32) f32 state[4][lanes];
    memcpy(state[0], &low_lanes, sizeof(LaneVector));
    memcpy(state[1], &band_lanes, sizeof(LaneVector));
    memcpy(state[2], &f_lanes, sizeof(LaneVector));
    memcpy(state[3], &q_lanes, sizeof(LaneVector));
    __m128 low0 = _mm_load_ps(state[0]), low1 = _mm_load_ps(state[0] + 4);
    __m128 band0 = _mm_load_ps(state[1]), band1 = _mm_load_ps(state[1] + 4);
    const __m128 f0 = _mm_load_ps(state[2]), f1 = _mm_load_ps(state[2] + 4);
    const __m128 q0 = _mm_load_ps(state[3]), q1 = _mm_load_ps(state[3] + 4);
    constexpr u32 max_targets = 12;
    alignas(32) f32 gains[max_targets][lanes];
    for (u32 j = 0; j < target_count; ++j)
        memcpy(gains[j], &targets[j].gains, sizeof(LaneVector));
    u32 t = 0;
    for (; t + 4 <= b; t += 4) {
        // x[h][i]: frame t + i of lanes 4h .. 4h + 3.
        __m128 x[2][4];
        for (u32 h = 0; h < 2; ++h) {
            __m128 r0 = _mm_loadu_ps(in[4 * h] + t), r1 = _mm_loadu_ps(in[4 * h + 1] + t);
            __m128 r2 = _mm_loadu_ps(in[4 * h + 2] + t), r3 = _mm_loadu_ps(in[4 * h + 3] + t);
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            x[h][0] = r0;
            x[h][1] = r1;
            x[h][2] = r2;
            x[h][3] = r3;
        }
        __m128 lows[2][4];
        for (u32 i = 0; i < 4; ++i) {
            low0 = _mm_add_ps(low0, _mm_mul_ps(f0, band0));
            low1 = _mm_add_ps(low1, _mm_mul_ps(f1, band1));
            const __m128 high0 = _mm_sub_ps(_mm_sub_ps(x[0][i], low0), _mm_mul_ps(q0, band0));
            const __m128 high1 = _mm_sub_ps(_mm_sub_ps(x[1][i], low1), _mm_mul_ps(q1, band1));
            band0 = _mm_add_ps(band0, _mm_mul_ps(f0, high0));
            band1 = _mm_add_ps(band1, _mm_mul_ps(f1, high1));
            lows[0][i] = low0;
            lows[1][i] = low1;
        }
        for (u32 j = 0; j < target_count; ++j) {
            const __m128 g0 = _mm_load_ps(gains[j]), g1 = _mm_load_ps(gains[j] + 4);
            // s_i[l] = v[l] + v[l + 4] for frame t + i, then the four frames transposed:
            // row l holds lane pair l of each frame.
            __m128 s0 = _mm_add_ps(_mm_mul_ps(g0, lows[0][0]), _mm_mul_ps(g1, lows[1][0]));
            __m128 s1 = _mm_add_ps(_mm_mul_ps(g0, lows[0][1]), _mm_mul_ps(g1, lows[1][1]));
            __m128 s2 = _mm_add_ps(_mm_mul_ps(g0, lows[0][2]), _mm_mul_ps(g1, lows[1][2]));
            __m128 s3 = _mm_add_ps(_mm_mul_ps(g0, lows[0][3]), _mm_mul_ps(g1, lows[1][3]));
            _MM_TRANSPOSE4_PS(s0, s1, s2, s3);
            const __m128 sum = _mm_add_ps(_mm_add_ps(s0, s1), _mm_add_ps(s2, s3));
            f32 *acc = targets[j].acc + t;
            _mm_storeu_ps(acc, _mm_add_ps(_mm_loadu_ps(acc), sum));
        }
    }
    _mm_store_ps(state[0], low0);
    _mm_store_ps(state[0] + 4, low1);
    _mm_store_ps(state[1], band0);
    _mm_store_ps(state[1] + 4, band1);
    memcpy(&low_lanes, state[0], sizeof(LaneVector));
    memcpy(&band_lanes, state[1], sizeof(LaneVector));
    return t;
}
#endif

void MixerEngine::run_filter_lanes(const FilterJob *jobs, u32 count, u32 b)
{
    LaneVector low{}, band{}, f{}, q{};
    for (u32 l = 0; l < count; ++l) {
        const Send &s = *jobs[l].send;
        low[l] = s.low[jobs[l].channel];
        band[l] = s.band[jobs[l].channel];
        f[l] = s.filter.frequency;
        q[l] = s.filter.one_over_q;
    }
    const f32 *in[lanes];
    for (u32 l = 0; l < lanes; ++l)
        in[l] = jobs[l < count ? l : 0].in;
    // Each output channel the lanes reach, with every lane's level for it: the lanes'
    // samples are then summed into it in the same pass.
    struct Target {
        f32 *acc;
        LaneVector gains;
    };
    constexpr u32 max_targets = 12;
    Target targets[max_targets];
    u32 target_count = 0;
    bool overflow = false;
    for (u32 l = 0; l < count && !overflow; ++l) {
        const Send &s = *jobs[l].send;
        Voice &dest = *_slots[s.destination].voice;
        const u32 k = jobs[l].source_channels;
        for (u32 d = 0; d < dest.channels; ++d) {
            const f32 g = s.matrix[d * k + jobs[l].channel];
            if (g == 0.0f)
                continue;
            f32 *acc = dest.accum + d * block_frames;
            u32 j = 0;
            while (j < target_count && targets[j].acc != acc)
                ++j;
            if (j == target_count) {
                if (target_count == max_targets) {
                    overflow = true;
                    break;
                }
                targets[target_count++] = {acc, LaneVector{}};
            }
            targets[j].gains[l] = g;
        }
    }
    u32 t = 0;
#if defined(TALLOW_AUDIO_SSE2)
    if (!overflow)
        t = run_filter_lanes_by_four(in, low, band, f, q, targets, target_count, b);
#endif
    LaneVector *out = reinterpret_cast<LaneVector *>(_lane_out);
    for (; t < b; ++t) {
        LaneVector x;
        for (u32 l = 0; l < lanes; ++l)
            x[l] = in[l][t];
        low += f * band;
        LaneVector high = x - low - q * band;
        band += f * high;
        if (overflow) {
            out[t] = low;
            continue;
        }
        for (u32 j = 0; j < target_count; ++j)
            targets[j].acc[t] += lane_sum(targets[j].gains * low);
    }
    for (u32 l = 0; l < count; ++l) {
        Send &s = *jobs[l].send;
        s.low[jobs[l].channel] = low[l];
        s.band[jobs[l].channel] = band[l];
        if (!overflow)
            continue;
        // Many destinations at once (several submixes of many channels): add each
        // lane on its own.
        Voice &dest = *_slots[s.destination].voice;
        const u32 k = jobs[l].source_channels;
        for (u32 d = 0; d < dest.channels; ++d) {
            const f32 g = s.matrix[d * k + jobs[l].channel];
            if (g == 0.0f)
                continue;
            f32 *acc = dest.accum + d * block_frames;
            for (u32 t = 0; t < b; ++t)
                acc[t] += g * _lane_out[t * lanes + l];
        }
    }
}

void MixerEngine::flush_filter_jobs(u32 b)
{
    for (u32 i = 0; i < _job_count; i += lanes)
        run_filter_lanes(_jobs + i, _job_count - i < lanes ? _job_count - i : lanes, b);
    _job_count = 0;
}

void MixerEngine::mix_block(u32 b)
{
    for (u32 i = 0; i < _slot_end; ++i) {
        Voice *v = _slots[i].voice;
        if (v && v->kind != VoiceKind::Source)
            memset(v->accum, 0, sizeof(f32) * block_frames * v->channels);
    }
    u32 grouped = 0;
    for (u32 i = 0; i < _slot_end; ++i) {
        Voice *v = _slots[i].voice;
        if (!v || v->kind != VoiceKind::Source || !v->running)
            continue;
        if (v->queued == 0 && is_silent(*v))
            continue; // played out: nothing but silence left
        f32 *resampled = _group + grouped * max_channels * block_frames;
        resample(*v, resampled, b);
        bool kept = false;
        for (u32 s = 0; s < v->send_count; ++s) {
            Send &send = v->sends[s];
            if (!send.use_filter || send.filter.frequency >= 1.0f) {
                add_matrix(send, resampled, v->channels, b);
                continue;
            }
            for (u32 c = 0; c < v->channels; ++c)
                _jobs[_job_count++] = {&send, c, v->channels, resampled + c * block_frames};
            kept = true;
        }
        if (kept && ++grouped == group_voices) {
            flush_filter_jobs(b);
            grouped = 0;
        }
    }
    flush_filter_jobs(b);
    for (u32 i = 0; i < _slot_end; ++i) {
        Voice *v = _slots[i].voice;
        if (!v || v->kind != VoiceKind::Submix)
            continue;
        if (v->reverb) {
            f32 *channels[max_channels];
            for (u32 c = 0; c < v->channels; ++c)
                channels[c] = v->accum + c * block_frames;
            v->reverb->process(channels, b);
        }
        for (u32 s = 0; s < v->send_count; ++s)
            add_through(v->sends[s], v->accum, v->channels, b);
    }
}

} // namespace tallow::audio::mixer
