#pragma once
// The bytes of an "animation" resource (also the simple-animation data inside a "unit"),
// read once through a bounded cursor and checked, then sampled without further checks.
//
// Layout (little-endian, no padding; offsets in bytes):
//
//   0    u32  reserved (0)
//   4    u32  track_count                        animated bones, at most max_animation_tracks
//   8    f32  length                             seconds, finite, >= 0
//   12   u32  key_count                          at most max_animation_keys
//   16   key_count x { f32 time, u32 id }        labels, time ascending, within [0, length]
//        u16  format                             1 quantised (10 bytes a track), 6 raw (28)
//        track_count records                     the first frame, the pose at time 0
//   --- the track stream after the first frame (this engine's own) ---
//        u32  frame_count                        further key frames, at most max_animation_frames
//        frame_count x { f32 time,               strictly ascending, within (0, length]
//                        track_count records }   in the same format as the first frame
//
// A record of format 6: translation 3 f32, rotation 4 f32 (x, y, z, w), all finite.
// A record of format 1: translation 3 u16, each u * 20 / 65535 - 10; the rotation as one u32:
// bits 0-1 the index k of the left-out component, bits 2-11, 12-21, 22-31 three 10-bit
// values a, b, c, each v * 0.00146484375 - 0.75, placed at k+1, k+2, k+3 (mod 4); the
// left-out component is sqrt(1 - a^2 - b^2 - c^2), 0 when that is negative.
//
// Sampling at time t: the pose of the two key frames around t (the first frame is the key
// frame at time 0), translations interpolated linearly, rotations normalised-linearly on the
// shorter arc. Past the last key frame the last one holds (a looping animation that should
// run smoothly into its start repeats its first frame at `length`). Only whole resources
// that pass `read_animation` are sampled; anything else is refused with a reason: a count
// beyond what the bytes hold, a format other than 1 or 6, a time out of order or out of
// range, a non-finite value, and bytes left over after the last frame.
//
//   AnimationView view;
//   const char *why = nullptr;
//   if (!read_animation(bytes, size, view, &why)) log_message("animation", "... %s", why);
//   sample_animation(view, 0.5f, rotations, translations);   // track_count of each
//
// Thread-safe: a view is read-only.

#include "foundation/math/quaternion.h"
#include "foundation/math/vector3.h"
#include "foundation/types.h"

namespace tallow {

constexpr u16 animation_format_quantized = 1;
constexpr u16 animation_format_raw = 6;
constexpr u32 animation_quantized_record_bytes = 10;
constexpr u32 animation_raw_record_bytes = 28;
constexpr u32 animation_head_bytes = 16;
constexpr u32 animation_key_bytes = 8;
/// Limits a resource is checked against (the blender's bone buffers hold 255 bones; a
/// simple animation addresses unit nodes, which a u16 counts).
constexpr u32 max_animation_tracks = 65535;
constexpr u32 max_animation_keys = 1u << 20;
constexpr u32 max_animation_frames = 1u << 20;

/// A checked animation: pointers into the bytes it was read from (which must outlive it).
struct AnimationView {
    const u8 *bytes = nullptr;
    u32 size_bytes = 0;
    u32 track_count = 0;
    f32 length = 0;
    u32 key_count = 0;
    const u8 *keys = nullptr; // key_count x 8 bytes
    u16 format = 0;
    u32 record_bytes = 0;      // 10 or 28
    const u8 *first_frame = nullptr;
    u32 frame_count = 0;       // key frames after the first
    const u8 *frames = nullptr; // frame_count x frame_stride bytes
    u32 frame_stride = 0;      // 4 + track_count x record_bytes

    f32 key_time(u32 i) const;
    u32 key_id(u32 i) const;
    /// The time of key frame i, the first frame being 0 (i in 0 .. frame_count).
    f32 frame_time(u32 i) const;
    const u8 *frame_records(u32 i) const;
};

/// Reads and checks `size` bytes; false with `out_reason` (static text) when they are not
/// a whole, valid animation. `out` is then untouched.
bool read_animation(const void *bytes, u64 size, AnimationView &out, const char **out_reason = nullptr);

/// Decodes one record of `format` into a rotation and a translation.
void decode_animation_record(u16 format, const u8 *record, Quaternion &out_rotation, Vector3 &out_translation);

/// The pose at time `t` (clamped to [0, length]) into track_count rotations and
/// translations. `hint` (may be null) is the key frame found last time, kept by the caller
/// to make forward play a constant-time search; it is updated.
void sample_animation(const AnimationView &view, f32 t, Quaternion *out_rotations, Vector3 *out_translations,
                      u32 *hint = nullptr);

} // namespace tallow
