// AudioEngine: its voices (mastering, submix and source voices, their sends, buffer queues
// and parameters), the wave format helpers, and the engine's creation. The mixing of each
// block is in platform/audio/audio_mixer.cpp.
#include "platform/audio/audio_engine.h"

#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "platform/audio/audio_engine_internal.h"
#include "platform/audio/audio_mixer_internal.h"
#include "platform/audio/audio_reverb.h"

#include <cmath>
#include <cstring>
#include <mutex>

namespace tallow::audio {

namespace mixer {

bool MixerEngine::init()
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

MixerEngine::~MixerEngine()
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

AudioResult MixerEngine::create_mastering_voice(VoiceId &out)
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

AudioResult MixerEngine::create_submix_voice(u32 channels, bool reverb, VoiceId &out)
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

AudioResult MixerEngine::create_source_voice(const WaveFormat &format, f32 max_frequency_ratio,
                                             const VoiceSend *sends, u32 send_count, VoiceId &out)
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

void MixerEngine::destroy_voice(VoiceId id)
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

AudioResult MixerEngine::submit_buffer(VoiceId id, const AudioBuffer &buffer)
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

AudioResult MixerEngine::discontinuity(VoiceId id)
{
    std::lock_guard<std::mutex> lock(_lock);
    Voice *v = find_source(id);
    if (!v)
        return AudioResult::InvalidCall;
    v->ended = true;
    return AudioResult::Ok;
}

VoiceState MixerEngine::get_state(VoiceId id) const
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

AudioResult MixerEngine::set_frequency_ratio(VoiceId id, f32 ratio)
{
    std::lock_guard<std::mutex> lock(_lock);
    Voice *v = find_source(id);
    if (!v || !(ratio > 0))
        return AudioResult::InvalidCall;
    v->ratio = ratio > v->max_ratio ? v->max_ratio : (ratio < 1.0f / 1024.0f ? 1.0f / 1024.0f : ratio);
    v->step = f64(v->format.samples_per_second) * v->ratio / f64(_details.sample_rate);
    return AudioResult::Ok;
}

bool MixerEngine::is_running(VoiceId id) const
{
    std::lock_guard<std::mutex> lock(_lock);
    const Voice *v = find_source(id);
    return v && v->running;
}

AudioResult MixerEngine::set_output_matrix(VoiceId id, VoiceId destination, u32 k, u32 n, const f32 *levels)
{
    std::lock_guard<std::mutex> lock(_lock);
    Send *s = find_send(id, destination);
    if (!s || !levels || k != _slots[index_of(id)].voice->channels || n != _slots[s->destination].voice->channels)
        return AudioResult::InvalidCall;
    for (u32 i = 0; i < k * n; ++i)
        s->matrix[i] = std::isfinite(levels[i]) ? levels[i] : 0.0f;
    return AudioResult::Ok;
}

bool MixerEngine::get_output_matrix(VoiceId id, VoiceId destination, f32 *out, u32 capacity) const
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

AudioResult MixerEngine::set_output_filter(VoiceId id, VoiceId destination, const FilterParams &params)
{
    std::lock_guard<std::mutex> lock(_lock);
    Send *s = find_send(id, destination);
    if (!s || !s->use_filter || !(params.frequency >= 0) || !(params.one_over_q > 0))
        return AudioResult::InvalidCall;
    s->filter.frequency = params.frequency;
    s->filter.one_over_q = params.one_over_q > 1.5f ? 1.5f : params.one_over_q;
    return AudioResult::Ok;
}

bool MixerEngine::get_output_filter(VoiceId id, VoiceId destination, FilterParams &out) const
{
    std::lock_guard<std::mutex> lock(_lock);
    Send *s = const_cast<MixerEngine *>(this)->find_send(id, destination);
    if (!s)
        return false;
    out = s->filter;
    return true;
}

AudioResult MixerEngine::set_effect_parameters(VoiceId submix, const ReverbParams &params)
{
    std::lock_guard<std::mutex> lock(_lock);
    Voice *v = find(submix, nullptr);
    if (!v || v->kind != VoiceKind::Submix || !v->reverb)
        return AudioResult::InvalidCall;
    v->reverb->set_params(params);
    return AudioResult::Ok;
}

u32 MixerEngine::voice_count() const
{
    std::lock_guard<std::mutex> lock(_lock);
    u32 n = 0;
    for (u32 i = 0; i < max_voices; ++i)
        n += _slots[i].voice != nullptr;
    return n;
}

Voice *MixerEngine::find(VoiceId id, u32 *out_slot) const
{
    u32 i = index_of(id);
    if (id.is_null() || i >= max_voices || !_slots[i].voice || (_slots[i].generation << 10 | (i + 1)) != id.value)
        return nullptr;
    if (out_slot)
        *out_slot = i;
    return _slots[i].voice;
}

Voice *MixerEngine::find_source(VoiceId id) const
{
    Voice *v = find(id, nullptr);
    return v && v->kind == VoiceKind::Source ? v : nullptr;
}

Send *MixerEngine::find_send(VoiceId id, VoiceId destination)
{
    Voice *v = find(id, nullptr);
    if (!v)
        return nullptr;
    for (u32 i = 0; i < v->send_count; ++i)
        if (v->sends[i].destination_id == destination)
            return &v->sends[i];
    return nullptr;
}

AudioResult MixerEngine::new_voice(VoiceKind kind, u32 channels, u32 &out_slot)
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

void MixerEngine::free_voice(u32 slot)
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

void MixerEngine::default_matrix(f32 *m, u32 k, u32 n)
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

AudioResult MixerEngine::set_running(VoiceId id, bool running)
{
    std::lock_guard<std::mutex> lock(_lock);
    Voice *v = find_source(id);
    if (!v)
        return AudioResult::InvalidCall;
    v->running = running;
    return AudioResult::Ok;
}

} // namespace mixer

using mixer::MixerEngine;

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
