#include "animation/animation_data.h"

#include "foundation/io/little_endian.h"
#include "resource/byte_reader.h"

#include <cmath>
#include <cstring>

namespace tallow {

namespace {

f32 load_f32(const u8 *p)
{
    u32 bits = load_u32_le(p);
    f32 v;
    memcpy(&v, &bits, 4);
    return v;
}

u16 load_u16(const u8 *p) { return u16(p[0] | p[1] << 8); }

bool fail(const char **out_reason, const char *reason)
{
    if (out_reason)
        *out_reason = reason;
    return false;
}

bool records_are_finite(u16 format, const u8 *records, u32 count)
{
    if (format != animation_format_raw)
        return true; // quantised values decode to finite numbers by construction
    for (u32 i = 0; i < count * 7; ++i)
        if (!std::isfinite(load_f32(records + 4 * i)))
            return false;
    return true;
}

} // namespace

f32 AnimationView::key_time(u32 i) const { return load_f32(keys + i * animation_key_bytes); }
u32 AnimationView::key_id(u32 i) const { return load_u32_le(keys + i * animation_key_bytes + 4); }
f32 AnimationView::frame_time(u32 i) const { return i == 0 ? 0.0f : load_f32(frames + u64(i - 1) * frame_stride); }
const u8 *AnimationView::frame_records(u32 i) const
{
    return i == 0 ? first_frame : frames + u64(i - 1) * frame_stride + 4;
}

bool read_animation(const void *bytes, u64 size, AnimationView &out, const char **out_reason)
{
    if (!bytes || size > 0xFFFFFFFFu)
        return fail(out_reason, "no bytes, or 4 GiB or more");
    ByteReader in(bytes, size);
    AnimationView v;
    v.bytes = static_cast<const u8 *>(bytes);
    v.size_bytes = u32(size);
    u32 reserved = 0, length_bits = 0;
    if (!in.read_u32(reserved) || !in.read_u32(v.track_count) || !in.read_u32(length_bits) ||
        !in.read_u32(v.key_count))
        return fail(out_reason, "shorter than its 16-byte head");
    memcpy(&v.length, &length_bits, 4);
    if (!std::isfinite(v.length) || v.length < 0)
        return fail(out_reason, "a length that is negative or not finite");
    if (v.track_count > max_animation_tracks)
        return fail(out_reason, "more tracks than an animation may have");
    if (v.key_count > max_animation_keys || !in.has(u64(v.key_count) * animation_key_bytes))
        return fail(out_reason, "more keys than the bytes hold");
    v.keys = in.current();
    (void)in.skip(u64(v.key_count) * animation_key_bytes);
    for (u32 i = 0; i < v.key_count; ++i) {
        f32 t = v.key_time(i);
        if (!(t >= 0 && t <= v.length))
            return fail(out_reason, "a key time outside the animation");
        if (i > 0 && t < v.key_time(i - 1))
            return fail(out_reason, "keys not in time order");
    }
    u8 format_bytes[2];
    if (!in.read_bytes(format_bytes, 2))
        return fail(out_reason, "no track format");
    v.format = load_u16(format_bytes);
    if (v.format == animation_format_quantized)
        v.record_bytes = animation_quantized_record_bytes;
    else if (v.format == animation_format_raw)
        v.record_bytes = animation_raw_record_bytes;
    else
        return fail(out_reason, "a track format other than 1 or 6");
    u64 frame_bytes = u64(v.track_count) * v.record_bytes;
    if (!in.has(frame_bytes))
        return fail(out_reason, "a first frame cut short");
    v.first_frame = in.current();
    (void)in.skip(frame_bytes);
    if (!records_are_finite(v.format, v.first_frame, v.track_count))
        return fail(out_reason, "a raw track value that is not finite");
    if (!in.read_u32(v.frame_count))
        return fail(out_reason, "no key frame count");
    v.frame_stride = u32(4 + frame_bytes); // fits: frame_bytes <= 65535 x 28
    if (v.frame_count > max_animation_frames || u64(v.frame_count) * v.frame_stride != in.left())
        return fail(out_reason, "key frames that do not fill the rest of the bytes exactly");
    v.frames = in.current();
    for (u32 i = 1; i <= v.frame_count; ++i) {
        f32 t = v.frame_time(i);
        if (!(t > v.frame_time(i - 1) && t <= v.length))
            return fail(out_reason, "key frame times not ascending within the animation");
        if (!records_are_finite(v.format, v.frame_records(i), v.track_count))
            return fail(out_reason, "a raw track value that is not finite");
    }
    out = v;
    return true;
}

void decode_animation_record(u16 format, const u8 *record, Quaternion &out_rotation, Vector3 &out_translation)
{
    if (format == animation_format_raw) {
        out_translation = {load_f32(record), load_f32(record + 4), load_f32(record + 8)};
        out_rotation = {load_f32(record + 12), load_f32(record + 16), load_f32(record + 20), load_f32(record + 24)};
        return;
    }
    constexpr f32 t_scale = 1.0f / 65535.0f * 20.0f;
    out_translation = {load_u16(record) * t_scale - 10.0f, load_u16(record + 2) * t_scale - 10.0f,
                       load_u16(record + 4) * t_scale - 10.0f};
    u32 packed = load_u32_le(record + 6);
    u32 k = packed & 3;
    f32 abc[3];
    for (u32 i = 0; i < 3; ++i)
        abc[i] = f32((packed >> (2 + 10 * i)) & 0x3FF) * 0.00146484375f - 0.75f;
    f32 q[4];
    f32 rest = 1.0f - abc[0] * abc[0] - abc[1] * abc[1] - abc[2] * abc[2];
    // Three values of up to 0.75 can square to more than 1; a negative root would be NaN.
    q[k] = rest > 0 ? std::sqrt(rest) : 0.0f;
    for (u32 i = 0; i < 3; ++i)
        q[(k + 1 + i) & 3] = abc[i];
    out_rotation = {q[0], q[1], q[2], q[3]};
}

void sample_animation(const AnimationView &view, f32 t, Quaternion *out_rotations, Vector3 *out_translations,
                      u32 *hint)
{
    if (!(t > 0))
        t = 0;
    if (t > view.length)
        t = view.length;
    // The last key frame at or before t: from the hint forward (play moves forward), else a
    // binary search.
    u32 frame = hint && *hint <= view.frame_count && view.frame_time(*hint) <= t ? *hint : 0;
    if (frame + 1 <= view.frame_count && view.frame_time(frame + 1) <= t) {
        if (frame + 2 <= view.frame_count && view.frame_time(frame + 2) <= t) {
            u32 lo = frame + 2, hi = view.frame_count; // answer in [lo, hi]
            while (lo < hi) {
                u32 mid = lo + (hi - lo + 1) / 2;
                if (view.frame_time(mid) <= t)
                    lo = mid;
                else
                    hi = mid - 1;
            }
            frame = lo;
        } else {
            frame += 1;
        }
    }
    if (hint)
        *hint = frame;
    const u8 *a = view.frame_records(frame);
    if (frame == view.frame_count) {
        for (u32 k = 0; k < view.track_count; ++k)
            decode_animation_record(view.format, a + k * view.record_bytes, out_rotations[k], out_translations[k]);
        return;
    }
    const u8 *b = view.frame_records(frame + 1);
    f32 t0 = view.frame_time(frame), t1 = view.frame_time(frame + 1);
    f32 s = (t - t0) / (t1 - t0);
    for (u32 k = 0; k < view.track_count; ++k) {
        Quaternion ra, rb;
        Vector3 ta, tb;
        decode_animation_record(view.format, a + k * view.record_bytes, ra, ta);
        decode_animation_record(view.format, b + k * view.record_bytes, rb, tb);
        if (dot(ra, rb) < 0)
            rb = {-rb.x, -rb.y, -rb.z, -rb.w};
        out_translations[k] = {ta.x + (tb.x - ta.x) * s, ta.y + (tb.y - ta.y) * s, ta.z + (tb.z - ta.z) * s};
        out_rotations[k] = normalize(Quaternion{ra.x + (rb.x - ra.x) * s, ra.y + (rb.y - ra.y) * s,
                                                ra.z + (rb.z - ra.z) * s, ra.w + (rb.w - ra.w) * s});
    }
}

} // namespace tallow
