#include "sound/sound_device.h"

#include "foundation/log.h"
#include "platform/audio/audio_reverb.h"

#include <cmath>
#include <cstring>

namespace tallow {

using namespace audio;

namespace {

constexpr f32 pi = 3.14159265358979f;
constexpr f32 speed_of_sound = 343.5f;
constexpr CurvePoint volume_points[] = {{0.0f, 1.0f}, {1.0f, 0.0f}};
constexpr CurvePoint lfe_points[] = {{0.0f, 1.0f}, {0.25f, 0.0f}, {1.0f, 0.0f}};
constexpr CurvePoint reverb_points[] = {{0.0f, 0.5f}, {0.75f, 1.0f}, {1.0f, 0.0f}};

Vector3 flipped_row(const Matrix4x4 &m, int row) { return {m.m[row][0], m.m[row][1], -m.m[row][2]}; }

f32 filter_frequency(f32 coefficient) { return 2.0f * std::sin(pi / 6.0f * coefficient); }

} // namespace

SoundSource::SoundSource(SoundDevice &device, const WaveFormat &format, VoiceId voice, bool stream_ended)
    : _device(device), _format(format), _voice(voice), _stream_ended(stream_ended)
{
}

void SoundSource::start() { (void)_device.engine()->start(_voice); }

bool SoundSource::submit(const u8 *block)
{
    u32 offset, size;
    memcpy(&offset, block, 4);
    memcpy(&size, block + 4, 4);
    AudioBuffer buffer;
    buffer.bytes = size;
    buffer.data = block + offset;
    buffer.context = this;
    AudioResult r = _device.engine()->submit_buffer(_voice, buffer);
    if (r != AudioResult::Ok)
        log_message("sound", "source %u: a stream block is refused (%s)", id, to_string(r));
    return r == AudioResult::Ok;
}

void SoundSource::end_stream()
{
    _stream_ended = true;
    (void)_device.engine()->discontinuity(_voice);
}

u32 SoundSource::queued_buffers() const { return _device.engine()->get_state(_voice).buffers_queued; }

bool SoundSource::is_playing() const
{
    if (!_stream_ended)
        return true;
    return _device.engine()->get_state(_voice).current_context != nullptr;
}

void SoundSource::update_3d(const Matrix4x4 &listener)
{
    AudioEngine &engine = *_device.engine();
    const f32 g = volume * bus_volume;
    const u32 k = _format.channels;
    const u32 n = _device.output_channels();
    f32 matrix[Spatial::max_matrix] = {};
    f32 reverb[AudioEngine::max_channels];
    if (!positional) {
        if (k == 1) {
            for (u32 d = 0; d < n; ++d)
                matrix[d] = g;
        } else if (k == 2) {
            matrix[0 * 2 + 0] = g;
            if (n >= 2)
                matrix[1 * 2 + 1] = g;
            auto pair = [&](u32 left, u32 right) {
                matrix[left * 2 + 0] = 0.8f * g;
                matrix[right * 2 + 1] = 0.8f * g;
            };
            if (n == 4)
                pair(2, 3);
            else if (n == 5)
                pair(3, 4);
            else if (n == 6 || n == 7)
                pair(4, 5);
            else if (n >= 8) {
                pair(4, 5);
                pair(6, 7);
            }
        }
        for (u32 s = 0; s < k; ++s)
            reverb[s] = g;
        (void)engine.set_output_matrix(_voice, _device.master(), k, n, matrix);
        (void)engine.set_output_matrix(_voice, _device.reverb(), k, 1, reverb);
        return;
    }
    SpatialListener l;
    l.front = flipped_row(listener, 1);
    l.top = flipped_row(listener, 2);
    l.position = flipped_row(listener, 3);
    SpatialEmitter e;
    e.position = flipped_row(pose, 3);
    e.channel_count = 1;
    e.curve_distance_scaler = range > 0 ? range : 1e-6f;
    e.volume = {volume_points, 2};
    e.lfe = {lfe_points, 3};
    e.reverb = {reverb_points, 3};
    // The matrix holds every source channel for every output (at most 8 x 8), not a fixed
    // 16: a 6-channel positional sound on 6 outputs needs 36.
    SpatialDsp dsp;
    dsp.matrix = matrix;
    dsp.src_channels = k;
    dsp.dst_channels = n;
    if (!_device.spatial().calculate(l, e, spatial_matrix | spatial_lpf_direct | spatial_lpf_reverb | spatial_reverb, dsp))
        return;
    for (u32 i = 0; i < k * n; ++i)
        matrix[i] *= g;
    for (u32 s = 0; s < k; ++s)
        reverb[s] = dsp.reverb_level * g;
    (void)engine.set_output_matrix(_voice, _device.master(), k, n, matrix);
    (void)engine.set_output_matrix(_voice, _device.reverb(), k, 1, reverb);
    (void)engine.set_output_filter(_voice, _device.master(), {filter_frequency(dsp.lpf_direct_coefficient), 1.0f});
    (void)engine.set_output_filter(_voice, _device.reverb(), {filter_frequency(dsp.lpf_reverb_coefficient), 1.0f});
}

SoundDevice::SoundDevice(Allocator &parent, const SoundSettings &settings)
    : _allocator("sound_world", parent), _settings(settings)
{
}

SoundDevice::~SoundDevice() { shutdown(); }

bool SoundDevice::init()
{
    EngineParams params{_settings.output, _settings.channels, _settings.sample_rate};
    _engine = AudioEngine::create(_allocator, params);
    if (!_engine)
        return false;
    AudioResult r = _engine->create_mastering_voice(_master);
    if (r != AudioResult::Ok) {
        log_message("sound", "no mastering voice (%s); no sound", to_string(r));
        return false;
    }
    DeviceDetails details = _engine->device_details();
    _output_channels = details.channels;
    r = _engine->create_submix_voice(1, true, _reverb);
    if (r != AudioResult::Ok) {
        log_message("sound", "no reverb submix (%s); no sound", to_string(r));
        return false;
    }
    u8 cave[i3dl2_reverb_size_bytes];
    write_i3dl2_reverb(i3dl2_cave(), cave);
    set_reverb(cave);
    if (!_spatial.init(details.channel_mask, speed_of_sound)) {
        log_message("sound", "no 3D levels for %u output channels; no sound", details.channels);
        return false;
    }
    return true;
}

void SoundDevice::shutdown()
{
    if (!_engine)
        return;
    if (!_reverb.is_null())
        _engine->destroy_voice(_reverb);
    if (!_master.is_null())
        _engine->destroy_voice(_master);
    _reverb = {};
    _master = {};
    AudioEngine::destroy(_allocator, _engine);
    _engine = nullptr;
}

void SoundDevice::set_reverb(const u8 *block)
{
    if (!_engine || _reverb.is_null() || !block)
        return;
    ReverbParams params = reverb_params_from_i3dl2(read_i3dl2_reverb(block));
    params.gain_trim = _settings.reverb_gain_trim;
    (void)_engine->set_effect_parameters(_reverb, params);
}

SoundSource *SoundDevice::create_source(const WaveFormat &format, bool stream_ended)
{
    if (!_engine || _master.is_null())
        return nullptr;
    VoiceSend sends[2] = {{_master, true}, {_reverb, true}};
    VoiceId voice;
    AudioResult r = _engine->create_source_voice(format, 2.0f, sends, _reverb.is_null() ? 1 : 2, voice);
    if (r != AudioResult::Ok) {
        log_message("sound", "no voice for a sound of %u channels at %u Hz (%s); not played", format.channels,
                    format.samples_per_second, to_string(r));
        return nullptr;
    }
    SoundSource *source = make_new<SoundSource>(_allocator, *this, format, voice, stream_ended);
    if (!source)
        _engine->destroy_voice(voice);
    return source;
}

SoundSource *SoundDevice::create_sample_source(const SoundData &data, bool looping)
{
    SoundSource *source = create_source(data.format, true);
    if (!source)
        return nullptr;
    AudioBuffer buffer;
    buffer.flags = AudioBuffer::end_of_stream;
    buffer.bytes = data.size_bytes;
    buffer.data = data.data;
    buffer.loop_count = looping ? AudioBuffer::loop_infinite : 0;
    buffer.context = source;
    AudioResult r = _engine->submit_buffer(source->voice(), buffer);
    if (r != AudioResult::Ok) {
        log_message("sound", "a sound's data is refused (%s); not played", to_string(r));
        destroy_source(source);
        return nullptr;
    }
    return source;
}

SoundSource *SoundDevice::create_stream_source(const WaveFormat &format) { return create_source(format, false); }

void SoundDevice::destroy_source(SoundSource *source)
{
    if (!source)
        return;
    _engine->destroy_voice(source->voice());
    delete_with_allocator(_allocator, source);
}

} // namespace tallow
