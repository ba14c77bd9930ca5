#include "tests/support/writers/animation_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tallow::test {

namespace {

void put_u16(std::vector<u8> &out, u16 v)
{
    out.push_back(u8(v));
    out.push_back(u8(v >> 8));
}
void put_u32(std::vector<u8> &out, u32 v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(u8(v >> (8 * i)));
}
void put_u64(std::vector<u8> &out, u64 v)
{
    put_u32(out, u32(v));
    put_u32(out, u32(v >> 32));
}
void put_f32(std::vector<u8> &out, f32 v)
{
    u32 bits;
    memcpy(&bits, &v, 4);
    put_u32(out, bits);
}
void put_string(std::vector<u8> &out, const std::string &s)
{
    put_u32(out, u32(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

void put_record(std::vector<u8> &out, u16 format, const TrackPose &p)
{
    if (format == 1) {
        u8 t[6];
        quantize_translation(p.translation, t);
        out.insert(out.end(), t, t + 6);
        put_u32(out, quantize_rotation(p.rotation));
        return;
    }
    put_f32(out, p.translation.x);
    put_f32(out, p.translation.y);
    put_f32(out, p.translation.z);
    put_f32(out, p.rotation.x);
    put_f32(out, p.rotation.y);
    put_f32(out, p.rotation.z);
    put_f32(out, p.rotation.w);
}

} // namespace

void quantize_translation(Vector3 t, u8 out[6])
{
    const f32 v[3] = {t.x, t.y, t.z};
    for (int i = 0; i < 3; ++i) {
        f32 u = std::round((std::clamp(v[i], -10.0f, 10.0f) + 10.0f) / 20.0f * 65535.0f);
        u16 q = u16(u);
        out[2 * i] = u8(q);
        out[2 * i + 1] = u8(q >> 8);
    }
}

u32 quantize_rotation(Quaternion q)
{
    f32 c[4] = {q.x, q.y, q.z, q.w};
    u32 k = 0;
    for (u32 i = 1; i < 4; ++i)
        if (std::fabs(c[i]) > std::fabs(c[k]))
            k = i;
    f32 sign = c[k] < 0 ? -1.0f : 1.0f; // the left-out component is rebuilt positive
    u32 packed = k;
    for (u32 i = 0; i < 3; ++i) {
        f32 v = std::round((c[(k + 1 + i) & 3] * sign + 0.75f) / 0.00146484375f);
        packed |= u32(std::clamp(v, 0.0f, 1023.0f)) << (2 + 10 * i);
    }
    return packed;
}

std::vector<u8> write_animation(const AnimationSource &s)
{
    std::vector<u8> out;
    u32 tracks = s.frames.empty() ? 0 : u32(s.frames[0].tracks.size());
    put_u32(out, 0);
    put_u32(out, s.track_count_override != 0xFFFFFFFFu ? s.track_count_override : tracks);
    put_f32(out, s.length);
    put_u32(out, u32(s.keys.size()));
    for (const AnimationKey &k : s.keys) {
        put_f32(out, k.time);
        put_u32(out, k.id);
    }
    put_u16(out, s.format);
    for (u32 f = 0; f < s.frames.size(); ++f) {
        if (f == 1)
            put_u32(out, u32(s.frames.size() - 1));
        if (f > 0)
            put_f32(out, s.frames[f].time);
        for (const TrackPose &p : s.frames[f].tracks)
            put_record(out, s.format, p);
    }
    if (s.frames.size() <= 1)
        put_u32(out, 0);
    return out;
}

Expression &Expression::push_float(f32 v)
{
    u32 bits;
    memcpy(&bits, &v, 4);
    return word(2u << 24).word(bits);
}

Expression &Expression::word(u32 w)
{
    put_u32(_bytes, w);
    return *this;
}

u32 StateSource::add_expression(const Expression &e)
{
    u32 offset = u32(code.size());
    code.insert(code.end(), e.bytes().begin(), e.bytes().end());
    return offset;
}

std::vector<u8> write_state_machine(const StateMachineSource &sm)
{
    std::vector<u8> out;
    put_u32(out, u32(sm.layers.size()));
    for (const LayerSource &layer : sm.layers) {
        put_u32(out, u32(layer.states.size()));
        for (const StateSource &s : layer.states) {
            put_u64(out, s.name);
            put_u32(out, s.type);
            put_u32(out, u32(s.animations.size()));
            for (u64 a : s.animations)
                put_u64(out, a);
            put_u32(out, u32(s.random_thresholds.size()));
            for (f32 t : s.random_thresholds)
                put_f32(out, t);
            out.push_back(s.loop);
            put_u32(out, s.blend_mode);
            put_u32(out, u32(s.transitions.size()));
            for (const auto &t : s.transitions) {
                put_u32(out, t.event);
                put_u32(out, t.target);
                put_f32(out, t.blend_time);
                put_u32(out, t.mode);
                put_u32(out, t.key);
            }
            put_u32(out, u32(s.events.size()));
            for (const auto &e : s.events) {
                put_f32(out, e.time);
                put_u32(out, e.id);
                put_u32(out, e.kind);
            }
            put_u32(out, u32(s.code.size()));
            out.insert(out.end(), s.code.begin(), s.code.end());
            put_u32(out, u32(s.weight_expressions.size()));
            for (u32 w : s.weight_expressions)
                put_u32(out, w);
            put_u32(out, s.speed_expression);
            put_u32(out, s.root_mode);
            put_u32(out, s.bone_weight_set);
        }
        put_u32(out, layer.initial_state);
    }
    put_u32(out, u32(sm.variable_names.size()));
    for (u32 n : sm.variable_names)
        put_u32(out, n);
    put_u32(out, u32(sm.variable_defaults.size()));
    for (f32 d : sm.variable_defaults)
        put_f32(out, d);
    put_u32(out, u32(sm.bone_weight_sets.size()));
    for (const auto &set : sm.bone_weight_sets) {
        put_u32(out, u32(set.size()));
        for (f32 w : set)
            put_f32(out, w);
    }
    return out;
}

std::vector<u8> write_bones(const std::vector<std::string> &names)
{
    std::vector<u8> out;
    put_u32(out, u32(names.size()));
    for (const std::string &n : names)
        put_string(out, n);
    return out;
}

std::vector<u8> write_camera_animation(const CameraAnimationSource &s)
{
    std::vector<u8> out;
    put_u32(out, u32(s.names.size()));
    for (const std::string &n : s.names)
        put_string(out, n);
    auto tracks = [&](const std::vector<std::vector<f32>> &list, u32 per_key) {
        put_u32(out, u32(list.size()));
        for (const auto &track : list) {
            put_u32(out, u32(track.size() / per_key));
            for (u32 i = 0; i < track.size() / per_key * per_key; ++i)
                put_f32(out, track[i]);
        }
    };
    tracks(s.tracks16, 4);
    tracks(s.tracks20, 5);
    tracks(s.tracks8, 2);
    for (const auto *table : {&s.table_a, &s.table_b}) {
        put_u32(out, u32(table->size()));
        for (const auto &[id, name] : *table) {
            put_u32(out, id);
            put_string(out, name);
        }
    }
    return out;
}

} // namespace tallow::test
