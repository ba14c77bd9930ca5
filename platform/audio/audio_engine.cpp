// The software mixer behind AudioEngine. Each block (at most block_frames frames):
//   1. every running source voice pulls the source frames its resampler needs from its
//      buffer queue (converted to float), then interpolates them to the engine rate into
//      planar channels;
//   2. each send filters those channels (when its filter is on) and adds them through its
//      level matrix into the destination's accumulator;
//   3. submixes run their effect in place and add into the master through their matrix;
//   4. the master's accumulator is interleaved into the output.
// Voices are visited in slot order, so a given sequence of calls mixes the same samples.
#include "platform/audio/audio_engine.h"

#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "platform/audio/audio_engine_internal.h"
#include "platform/audio/audio_reverb.h"

#include <cmath>
#include <cstring>
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

namespace {

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

class MixerEngine final : public AudioEngine {
  public:
    MixerEngine(Allocator &allocator, const DeviceDetails &details) : _allocator(allocator), _details(details) {}

    bool init()
    {
        _slots = static_cast<Slot *>(_allocator.allocate(sizeof(Slot) * max_voices, alignof(Slot)));
        _staging = static_cast<f32 *>(_allocator.allocate(sizeof(f32) * staging_frames * max_channels, 16));
        _planar = static_cast<f32 *>(_allocator.allocate(sizeof(f32) * block_frames * max_channels * 2, 16));
        _group = static_cast<f32 *>(_allocator.allocate(sizeof(f32) * block_frames * max_channels * group_voices, 32));
        _lane_out = static_cast<f32 *>(_allocator.allocate(sizeof(f32) * block_frames * lanes, 32));
        if (!_slots || !_staging || !_planar || !_group || !_lane_out)
            return false;
        for (u32 i = 0; i < max_voices; ++i)
            new (&_slots[i]) Slot();
        return true;
    }

    ~MixerEngine() override
    {
        detach_output(this);
        if (_slots) {
            // Sources and submixes first: the master is their destination.
            for (int pass = 0; pass < 2; ++pass)
                for (u32 i = 0; i < max_voices; ++i)
                    if (_slots[i].voice && (pass == 1 || _slots[i].voice->kind != VoiceKind::Master))
                        free_voice(i);
        }
        _allocator.deallocate(_slots);
        _allocator.deallocate(_staging);
        _allocator.deallocate(_planar);
        _allocator.deallocate(_group);
        _allocator.deallocate(_lane_out);
    }

    DeviceDetails device_details() const override { return _details; }

    AudioResult create_mastering_voice(VoiceId &out) override
    {
        std::lock_guard<std::mutex> lock(_lock);
        if (_master)
            return AudioResult::InvalidCall;
        u32 slot;
        AudioResult r = new_voice(VoiceKind::Master, _details.channels, slot);
        if (r != AudioResult::Ok)
            return r;
        _master = slot + 1;
        out = id_of(slot);
        return AudioResult::Ok;
    }

    AudioResult create_submix_voice(u32 channels, bool reverb, VoiceId &out) override
    {
        std::lock_guard<std::mutex> lock(_lock);
        if (!_master || channels == 0 || channels > max_channels)
            return AudioResult::InvalidCall;
        u32 slot;
        AudioResult r = new_voice(VoiceKind::Submix, channels, slot);
        if (r != AudioResult::Ok)
            return r;
        Voice &v = *_slots[slot].voice;
        if (reverb) {
            v.reverb = make_new<Reverb>(_allocator);
            if (!v.reverb || !v.reverb->init(_allocator, channels, _details.sample_rate)) {
                free_voice(slot);
                return AudioResult::NoMemory;
            }
        }
        // The default mapping to the master: channel c to output c; a mono submix feeds the
        // front pair (our choice, so a mono reverb is heard on both sides).
        Send &s = v.sends[v.send_count++];
        s.destination = _master - 1;
        s.destination_id = id_of(_master - 1);
        default_matrix(s.matrix, channels, _details.channels);
        out = id_of(slot);
        return AudioResult::Ok;
    }

    AudioResult create_source_voice(const WaveFormat &format, f32 max_frequency_ratio, const VoiceSend *sends,
                                    u32 send_count, VoiceId &out) override
    {
        std::lock_guard<std::mutex> lock(_lock);
        if (!is_supported_format(format))
            return AudioResult::UnsupportedFormat;
        if (!(max_frequency_ratio >= 1.0f / 1024.0f) || !(max_frequency_ratio <= 1024.0f) || send_count > max_sends)
            return AudioResult::InvalidCall;
        if (f64(format.samples_per_second) * max_frequency_ratio > f64(_details.sample_rate) * max_step)
            return AudioResult::UnsupportedFormat;
        u32 dests[max_sends];
        for (u32 i = 0; i < send_count; ++i) {
            Voice *d = find(sends[i].destination, &dests[i]);
            if (!d || d->kind == VoiceKind::Source)
                return AudioResult::InvalidCall;
        }
        if (send_count == 0 && !_master)
            return AudioResult::InvalidCall;
        u32 slot;
        AudioResult r = new_voice(VoiceKind::Source, format.channels, slot);
        if (r != AudioResult::Ok)
            return r;
        Voice &v = *_slots[slot].voice;
        v.format = format;
        v.max_ratio = max_frequency_ratio;
        v.ratio = 1.0f;
        v.step = f64(format.samples_per_second) / f64(_details.sample_rate);
        if (send_count == 0) {
            v.sends[0].destination = _master - 1;
            v.sends[0].destination_id = id_of(_master - 1);
            default_matrix(v.sends[0].matrix, v.channels, _details.channels);
            v.send_count = 1;
        }
        for (u32 i = 0; i < send_count; ++i) {
            Send &s = v.sends[v.send_count++];
            s.destination = dests[i];
            s.destination_id = sends[i].destination;
            s.use_filter = sends[i].use_filter;
            default_matrix(s.matrix, v.channels, _slots[dests[i]].voice->channels);
        }
        out = id_of(slot);
        return AudioResult::Ok;
    }

    void destroy_voice(VoiceId id) override
    {
        std::lock_guard<std::mutex> lock(_lock);
        u32 slot;
        Voice *v = find(id, &slot);
        if (!v)
            return;
        if (v->kind == VoiceKind::Master) {
            for (u32 i = 0; i < max_voices; ++i)
                if (_slots[i].voice && _slots[i].voice->kind != VoiceKind::Master) {
                    log_message("audio", "the mastering voice is destroyed before its inputs; refused");
                    return;
                }
            _master = 0;
        }
        if (v->kind == VoiceKind::Submix) {
            // Sources that still send here lose that send.
            for (u32 i = 0; i < max_voices; ++i) {
                Voice *o = _slots[i].voice;
                if (!o)
                    continue;
                for (u32 k = 0; k < o->send_count;)
                    if (o->sends[k].destination == slot)
                        o->sends[k] = o->sends[--o->send_count];
                    else
                        ++k;
            }
        }
        free_voice(slot);
    }

    AudioResult submit_buffer(VoiceId id, const AudioBuffer &buffer) override
    {
        std::lock_guard<std::mutex> lock(_lock);
        Voice *v = find_source(id);
        if (!v || !buffer.data || buffer.bytes == 0 || buffer.bytes % v->format.block_align != 0)
            return AudioResult::InvalidCall;
        if (v->queued == max_queued_buffers)
            return AudioResult::QueueFull;
        QueuedBuffer &q = v->queue[(v->head + v->queued) % max_queued_buffers];
        q.buffer = buffer;
        q.frames = buffer.bytes / v->format.block_align;
        q.loops_left = buffer.loop_count;
        if (v->queued == 0)
            v->position = 0;
        ++v->queued;
        v->ended = false;
        return AudioResult::Ok;
    }

    AudioResult start(VoiceId id) override { return set_running(id, true); }
    AudioResult stop(VoiceId id) override { return set_running(id, false); }

    AudioResult discontinuity(VoiceId id) override
    {
        std::lock_guard<std::mutex> lock(_lock);
        Voice *v = find_source(id);
        if (!v)
            return AudioResult::InvalidCall;
        v->ended = true;
        return AudioResult::Ok;
    }

    VoiceState get_state(VoiceId id) const override
    {
        std::lock_guard<std::mutex> lock(_lock);
        VoiceState state;
        const Voice *v = find_source(id);
        if (!v)
            return state;
        state.buffers_queued = v->queued;
        state.current_context = v->queued ? v->queue[v->head].buffer.context : nullptr;
        state.frames_played = v->frames_played;
        return state;
    }

    AudioResult set_frequency_ratio(VoiceId id, f32 ratio) override
    {
        std::lock_guard<std::mutex> lock(_lock);
        Voice *v = find_source(id);
        if (!v || !(ratio > 0))
            return AudioResult::InvalidCall;
        v->ratio = ratio > v->max_ratio ? v->max_ratio : (ratio < 1.0f / 1024.0f ? 1.0f / 1024.0f : ratio);
        v->step = f64(v->format.samples_per_second) * v->ratio / f64(_details.sample_rate);
        return AudioResult::Ok;
    }

    bool is_running(VoiceId id) const override
    {
        std::lock_guard<std::mutex> lock(_lock);
        const Voice *v = find_source(id);
        return v && v->running;
    }

    AudioResult set_output_matrix(VoiceId id, VoiceId destination, u32 k, u32 n, const f32 *levels) override
    {
        std::lock_guard<std::mutex> lock(_lock);
        Send *s = find_send(id, destination);
        if (!s || !levels || k != _slots[index_of(id)].voice->channels || n != _slots[s->destination].voice->channels)
            return AudioResult::InvalidCall;
        for (u32 i = 0; i < k * n; ++i)
            s->matrix[i] = std::isfinite(levels[i]) ? levels[i] : 0.0f;
        return AudioResult::Ok;
    }

    bool get_output_matrix(VoiceId id, VoiceId destination, f32 *out, u32 capacity) const override
    {
        std::lock_guard<std::mutex> lock(_lock);
        Send *s = const_cast<MixerEngine *>(this)->find_send(id, destination);
        if (!s)
            return false;
        u32 count = _slots[index_of(id)].voice->channels * _slots[s->destination].voice->channels;
        if (count > capacity)
            return false;
        memcpy(out, s->matrix, count * sizeof(f32));
        return true;
    }

    AudioResult set_output_filter(VoiceId id, VoiceId destination, const FilterParams &params) override
    {
        std::lock_guard<std::mutex> lock(_lock);
        Send *s = find_send(id, destination);
        if (!s || !s->use_filter || !(params.frequency >= 0) || !(params.one_over_q > 0))
            return AudioResult::InvalidCall;
        s->filter.frequency = params.frequency;
        s->filter.one_over_q = params.one_over_q > 1.5f ? 1.5f : params.one_over_q;
        return AudioResult::Ok;
    }

    bool get_output_filter(VoiceId id, VoiceId destination, FilterParams &out) const override
    {
        std::lock_guard<std::mutex> lock(_lock);
        Send *s = const_cast<MixerEngine *>(this)->find_send(id, destination);
        if (!s)
            return false;
        out = s->filter;
        return true;
    }

    AudioResult set_effect_parameters(VoiceId submix, const ReverbParams &params) override
    {
        std::lock_guard<std::mutex> lock(_lock);
        Voice *v = find(submix, nullptr);
        if (!v || v->kind != VoiceKind::Submix || !v->reverb)
            return AudioResult::InvalidCall;
        v->reverb->set_params(params);
        return AudioResult::Ok;
    }

    u32 voice_count() const override
    {
        std::lock_guard<std::mutex> lock(_lock);
        u32 n = 0;
        for (u32 i = 0; i < max_voices; ++i)
            n += _slots[i].voice != nullptr;
        return n;
    }

    void render(f32 *out, u32 frames) override
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

  private:
    VoiceId id_of(u32 slot) const { return VoiceId{(_slots[slot].generation << 10) | (slot + 1)}; }
    static u32 index_of(VoiceId id) { return (id.value & 1023u) - 1; }

    Voice *find(VoiceId id, u32 *out_slot) const
    {
        u32 i = index_of(id);
        if (id.is_null() || i >= max_voices || !_slots[i].voice || (_slots[i].generation << 10 | (i + 1)) != id.value)
            return nullptr;
        if (out_slot)
            *out_slot = i;
        return _slots[i].voice;
    }
    Voice *find_source(VoiceId id) const
    {
        Voice *v = find(id, nullptr);
        return v && v->kind == VoiceKind::Source ? v : nullptr;
    }
    Send *find_send(VoiceId id, VoiceId destination)
    {
        Voice *v = find(id, nullptr);
        if (!v)
            return nullptr;
        for (u32 i = 0; i < v->send_count; ++i)
            if (v->sends[i].destination_id == destination)
                return &v->sends[i];
        return nullptr;
    }

    AudioResult new_voice(VoiceKind kind, u32 channels, u32 &out_slot)
    {
        for (u32 i = 0; i < max_voices; ++i) {
            if (_slots[i].voice)
                continue;
            Voice *v = make_new<Voice>(_allocator);
            if (!v)
                return AudioResult::NoMemory;
            v->kind = kind;
            v->channels = channels;
            if (kind != VoiceKind::Source) {
                v->accum = static_cast<f32 *>(_allocator.allocate(sizeof(f32) * block_frames * channels, 16));
                if (!v->accum) {
                    delete_with_allocator(_allocator, v);
                    return AudioResult::NoMemory;
                }
            }
            _slots[i].voice = v;
            if (_slot_end < i + 1)
                _slot_end = i + 1;
            out_slot = i;
            return AudioResult::Ok;
        }
        return AudioResult::TooManyVoices;
    }

    void free_voice(u32 slot)
    {
        Voice *v = _slots[slot].voice;
        if (v->reverb) {
            v->reverb->release(_allocator);
            delete_with_allocator(_allocator, v->reverb);
        }
        _allocator.deallocate(v->accum);
        delete_with_allocator(_allocator, v);
        _slots[slot].voice = nullptr;
        while (_slot_end > 0 && !_slots[_slot_end - 1].voice)
            --_slot_end;
        _slots[slot].generation = (_slots[slot].generation + 1) & 0x3FFFFFu;
        if (_slots[slot].generation == 0)
            _slots[slot].generation = 1;
    }

    static void default_matrix(f32 *m, u32 k, u32 n)
    {
        memset(m, 0, sizeof(f32) * k * n);
        if (k == 1) {
            // Mono feeds the front pair (or the one output).
            m[0] = 1.0f;
            if (n >= 2)
                m[1] = 1.0f;
            return;
        }
        for (u32 s = 0; s < k && s < n; ++s)
            m[s * k + s] = 1.0f;
    }

    AudioResult set_running(VoiceId id, bool running)
    {
        std::lock_guard<std::mutex> lock(_lock);
        Voice *v = find_source(id);
        if (!v)
            return AudioResult::InvalidCall;
        v->running = running;
        return AudioResult::Ok;
    }

    /// Converts up to `frames` source frames from the queue to `dst`; silence after the
    /// queue runs dry. Buffers are let go once their last frame is read.
    static void pull(Voice &v, f32 *dst, u32 frames)
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

    /// Resamples the voice's next `b` engine frames into `out` (planar, block_frames apart).
    void resample(Voice &v, f32 *out, u32 b)
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

    static bool is_silent(const Voice &v)
    {
        for (u32 i = 0; i < v.carry * v.channels; ++i)
            if (v.carried[i] != 0.0f)
                return false;
        return true;
    }

    static void filter(Send &s, u32 c, const f32 *in, f32 *out, u32 b)
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

    /// Adds `k` planar channels through the send's matrix into its destination.
    void add_matrix(Send &s, const f32 *src, u32 k, u32 b)
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

    /// A submix's send: filtered on its own (submixes are few).
    void add_through(Send &s, const f32 *in, u32 k, u32 b)
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

    static f32 lane_sum(const LaneVector &v)
    {
        return ((v[0] + v[4]) + (v[1] + v[5])) + ((v[2] + v[6]) + (v[3] + v[7]));
    }

    void run_filter_lanes(const FilterJob *jobs, u32 count, u32 b)
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

#if defined(TALLOW_AUDIO_SSE2)
    /// The main loop of run_filter_lanes four frames at a time, as two halves of four
    /// lanes: the inputs are transposed into lanes four frames at once, and each target's
    /// four sums are transposed back and added to its accumulator as one vector. Sums run
    /// in the order of lane_sum, so the samples match the one-frame loop. Returns the
    /// frames done (a multiple of four); `low` and `band` hold the lanes' state after them.
    template <typename Target>
    static u32 run_filter_lanes_by_four(const f32 *const *in, LaneVector &low_lanes, LaneVector &band_lanes,
                                        const LaneVector &f_lanes, const LaneVector &q_lanes, const Target *targets,
                                        u32 target_count, u32 b)
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

    void flush_filter_jobs(u32 b)
    {
        for (u32 i = 0; i < _job_count; i += lanes)
            run_filter_lanes(_jobs + i, _job_count - i < lanes ? _job_count - i : lanes, b);
        _job_count = 0;
    }

    void mix_block(u32 b)
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

} // namespace

const char *to_string(AudioResult result)
{
    switch (result) {
    case AudioResult::Ok:
        return "ok";
    case AudioResult::InvalidCall:
        return "invalid call";
    case AudioResult::UnsupportedFormat:
        return "unsupported format";
    case AudioResult::QueueFull:
        return "buffer queue full";
    case AudioResult::TooManyVoices:
        return "too many voices";
    case AudioResult::NoMemory:
        return "out of memory";
    case AudioResult::DeviceFailed:
        return "audio device failed";
    }
    return "unknown";
}

WaveFormat read_wave_format(const u8 *p)
{
    WaveFormat f;
    memcpy(&f.format_tag, p + 0, 2);
    memcpy(&f.channels, p + 2, 2);
    memcpy(&f.samples_per_second, p + 4, 4);
    memcpy(&f.average_bytes_per_second, p + 8, 4);
    memcpy(&f.block_align, p + 12, 2);
    memcpy(&f.bits_per_sample, p + 14, 2);
    memcpy(&f.extra_size, p + 16, 2);
    return f;
}

void write_wave_format(const WaveFormat &f, u8 *out)
{
    memcpy(out + 0, &f.format_tag, 2);
    memcpy(out + 2, &f.channels, 2);
    memcpy(out + 4, &f.samples_per_second, 4);
    memcpy(out + 8, &f.average_bytes_per_second, 4);
    memcpy(out + 12, &f.block_align, 2);
    memcpy(out + 14, &f.bits_per_sample, 2);
    memcpy(out + 16, &f.extra_size, 2);
}

bool is_supported_format(const WaveFormat &f)
{
    u32 bytes;
    if (f.format_tag == wave_format_pcm && (f.bits_per_sample == 8 || f.bits_per_sample == 16))
        bytes = f.bits_per_sample / 8;
    else if (f.format_tag == wave_format_float && f.bits_per_sample == 32)
        bytes = 4;
    else
        return false;
    return f.channels >= 1 && f.channels <= AudioEngine::max_channels && f.samples_per_second >= 1000 &&
           f.samples_per_second <= 200000 && f.block_align == f.channels * bytes;
}

u32 channel_mask_for(u32 channels)
{
    static const u32 masks[9] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F};
    return channels <= 8 ? masks[channels] : 0;
}

AudioEngine *AudioEngine::create(Allocator &allocator, const EngineParams &params)
{
    DeviceDetails details;
    if (params.output == AudioOutputKind::Sdl) {
        if (!open_sdl_output(params, details))
            return nullptr;
    } else {
        if (params.channels == 0 || params.channels > max_channels || params.sample_rate < 8000 ||
            params.sample_rate > 192000) {
            log_message("audio", "a manual output of %u channels at %u Hz is not possible", params.channels,
                        params.sample_rate);
            return nullptr;
        }
        details.channels = params.channels;
        details.sample_rate = params.sample_rate;
    }
    details.channel_mask = channel_mask_for(details.channels);
    MixerEngine *engine = make_new<MixerEngine>(allocator, allocator, details);
    bool made = engine && engine->init();
    if (!made)
        log_message("audio", "no memory for an audio engine");
    if (made && params.output == AudioOutputKind::Sdl)
        made = attach_output(engine);
    if (!made) {
        destroy(allocator, engine);
        if (params.output == AudioOutputKind::Sdl)
            close_sdl_output();
        return nullptr;
    }
    return engine;
}

void AudioEngine::destroy(Allocator &allocator, AudioEngine *engine)
{
    if (!engine)
        return;
    delete_with_allocator(allocator, engine);
}

} // namespace tallow::audio
