#include "platform/audio/audio_spatial.h"

#include <cmath>

namespace tallow::audio {

namespace {

constexpr f32 pi = 3.14159265358979f;
constexpr f32 degrees = pi / 180.0f;

// Speaker azimuths by mask bit, clockwise from the front; the LFE bit (3) has none.
constexpr f32 speaker_azimuths[11] = {-30 * degrees, 30 * degrees,   0,           0,
                                      -135 * degrees, 135 * degrees, -15 * degrees, 15 * degrees,
                                      180 * degrees, -90 * degrees,  90 * degrees};
constexpr u32 lfe_bit = 3;

f32 wrap(f32 a)
{
    while (a < 0)
        a += 2 * pi;
    while (a >= 2 * pi)
        a -= 2 * pi;
    return a;
}

} // namespace

f32 evaluate_curve(const Curve &curve, f32 distance, f32 fallback)
{
    if (!curve.points || curve.count == 0)
        return fallback;
    const CurvePoint *p = curve.points;
    if (distance <= p[0].distance)
        return p[0].value;
    for (u32 i = 1; i < curve.count; ++i)
        if (distance <= p[i].distance) {
            f32 span = p[i].distance - p[i - 1].distance;
            f32 t = span > 0 ? (distance - p[i - 1].distance) / span : 1.0f;
            return p[i - 1].value + (p[i].value - p[i - 1].value) * t;
        }
    return p[curve.count - 1].value;
}

bool Spatial::init(u32 channel_mask, f32 speed_of_sound)
{
    _mask = channel_mask;
    _channels = 0;
    _lfe = -1;
    _speed_of_sound = speed_of_sound;
    for (u32 bit = 0; bit < 11 && _channels < 8; ++bit) {
        if (!(channel_mask & (1u << bit)))
            continue;
        if (bit == lfe_bit)
            _lfe = i32(_channels);
        _azimuths[_channels++] = speaker_azimuths[bit];
    }
    return _channels > 0;
}

bool Spatial::calculate(const SpatialListener &listener, const SpatialEmitter &emitter, u32 flags,
                        SpatialDsp &dsp) const
{
    u32 k = dsp.src_channels;
    u32 n = dsp.dst_channels;
    if (n != _channels || k == 0 || k > 8 || n == 0 || n > 8)
        return false;
    if ((flags & spatial_matrix) && !dsp.matrix)
        return false;

    Vector3 offset = emitter.position - listener.position;
    f32 distance = length(offset);
    if (!std::isfinite(distance))
        distance = 0;
    f32 scaler = emitter.curve_distance_scaler > 0 ? emitter.curve_distance_scaler : 1.0f;
    f32 nd = distance / scaler;
    dsp.distance = distance;

    if (flags & spatial_matrix) {
        f32 volume = evaluate_curve(emitter.volume, nd, nd <= 1.0f ? 1.0f : 1.0f / nd);
        f32 lfe = evaluate_curve(emitter.lfe, nd, volume);
        f32 gains[8] = {};
        u32 speakers = _channels - (_lfe >= 0 ? 1u : 0u);
        Vector3 front = normalize(listener.front);
        Vector3 right = normalize(cross(listener.top, listener.front));
        f32 along = dot(offset, front);
        f32 across = dot(offset, right);
        if (speakers == 1 || distance < 1e-6f || (along == 0 && across == 0)) {
            // No direction: the same power from every speaker.
            f32 g = 1.0f / std::sqrt(f32(speakers));
            for (u32 d = 0; d < _channels; ++d)
                gains[d] = i32(d) == _lfe ? 0.0f : g;
        } else if (speakers == 2 && _lfe < 0) {
            // A pair: the sideways share of the direction pans between them (sounds
            // behind are heard like sounds in front).
            f32 pan = across / std::sqrt(along * along + across * across); // -1 left .. 1 right
            f32 angle = (pan + 1.0f) * pi / 4;
            u32 left = _azimuths[0] < _azimuths[1] ? 0 : 1;
            gains[left] = std::cos(angle);
            gains[1 - left] = std::sin(angle);
        } else {
            f32 azimuth = wrap(std::atan2(across, along));
            // The nearest speakers on either side, going round the circle.
            i32 before = -1, after = -1;
            f32 before_gap = 4 * pi, after_gap = 4 * pi;
            for (u32 d = 0; d < _channels; ++d) {
                if (i32(d) == _lfe)
                    continue;
                f32 ahead = wrap(_azimuths[d] - azimuth);  // how far clockwise the speaker is
                f32 behind = wrap(azimuth - _azimuths[d]); // how far anticlockwise
                if (ahead < after_gap) {
                    after_gap = ahead;
                    after = i32(d);
                }
                if (behind < before_gap) {
                    before_gap = behind;
                    before = i32(d);
                }
            }
            f32 span = before_gap + after_gap;
            f32 t = span > 0 ? before_gap / span : 0.0f;
            if (before == after) {
                gains[before] = 1.0f;
            } else {
                gains[before] = std::cos(t * pi / 2);
                gains[after] = std::sin(t * pi / 2);
            }
        }
        for (u32 d = 0; d < n; ++d) {
            f32 level = i32(d) == _lfe ? lfe : gains[d] * volume;
            for (u32 s = 0; s < k; ++s)
                dsp.matrix[d * k + s] = level;
        }
    }
    if (flags & spatial_lpf_direct) {
        f32 fallback = 1.0f - 0.25f * (nd > 1.0f ? 1.0f : nd);
        dsp.lpf_direct_coefficient = evaluate_curve(emitter.lpf_direct, nd, fallback);
    }
    if (flags & spatial_lpf_reverb)
        dsp.lpf_reverb_coefficient = evaluate_curve(emitter.lpf_reverb, nd, 0.75f);
    if (flags & spatial_reverb)
        dsp.reverb_level = evaluate_curve(emitter.reverb, nd, 1.0f);
    return true;
}

} // namespace tallow::audio
