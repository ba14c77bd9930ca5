#pragma once
// Writers of the animation subsystem's formats from readable values, shared by the tests,
// the fuzz seeds, the benchmark and the animation compiler (tools/animation/animation_compiler.h):
// "animation" (animation/animation_data.h), "state_machine" with a small expression
// assembler (animation/state_machine_resource.h), "bones" and "camera_animation"
// (animation/animation_resources.h).
//
//   AnimationSource a;
//   a.length = 2;
//   a.frames = {{0, {{{0, 0, 0}, quaternion_identity}}}, {2, {{{0, 0, 1}, quaternion_identity}}}};
//   std::vector<u8> bytes = write_animation(a);
//
//   Expression e;                        // (v0 + 2.5) * 3
//   e.var(0).push_float(2.5f).op(0).push_int(3).op(2).end();

#include "foundation/math/quaternion.h"
#include "foundation/math/vector3.h"
#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow::test {

struct TrackPose {
    Vector3 translation;
    Quaternion rotation;
};

struct AnimationFrame {
    f32 time = 0;                  // the first frame's time is not written (it is 0)
    std::vector<TrackPose> tracks; // one per track
};

struct AnimationKey {
    f32 time = 0;
    u32 id = 0;
};

struct AnimationSource {
    u16 format = 6;  // 1 quantised, 6 raw
    f32 length = 0;
    std::vector<AnimationKey> keys;
    std::vector<AnimationFrame> frames; // frames[0] is the first frame; its size gives track_count
    u32 track_count_override = 0xFFFFFFFFu; // written in place of the real count when set
};

std::vector<u8> write_animation(const AnimationSource &source);
/// The format-1 encodings (what the quantised reader turns back, to within its step).
void quantize_translation(Vector3 t, u8 out[6]);
u32 quantize_rotation(Quaternion q);

/// A float expression's words.
class Expression {
  public:
    Expression &op(u32 number) { return word(number); }
    Expression &push_int(i32 v) { return word(1u << 24 | (u32(v) & 0xFFFFFF)); }
    Expression &push_float(f32 v);
    Expression &var(u32 index) { return word(3u << 24 | index); }
    Expression &end() { return word(4u << 24); }
    Expression &word(u32 w);
    const std::vector<u8> &bytes() const { return _bytes; }

  private:
    std::vector<u8> _bytes;
};

struct StateSource {
    u64 name = 0;
    u32 type = 0;
    std::vector<u64> animations;
    std::vector<f32> random_thresholds;
    u8 loop = 0;
    u32 blend_mode = 0;
    struct Transition {
        u32 event = 0, target = 0;
        f32 blend_time = 0;
        u32 mode = 0, key = 0;
    };
    std::vector<Transition> transitions;
    struct Event {
        f32 time = 0;
        u32 id = 0, kind = 0;
    };
    std::vector<Event> events;
    std::vector<u8> code;
    std::vector<u32> weight_expressions;
    u32 speed_expression = 0;
    u32 root_mode = 0;
    u32 bone_weight_set = 0xFFFFFFFFu;

    /// Appends an expression to `code` and returns its offset.
    u32 add_expression(const Expression &e);
};

struct LayerSource {
    std::vector<StateSource> states;
    u32 initial_state = 0;
};

struct StateMachineSource {
    std::vector<LayerSource> layers;
    std::vector<u32> variable_names;
    std::vector<f32> variable_defaults;
    std::vector<std::vector<f32>> bone_weight_sets;
};

std::vector<u8> write_state_machine(const StateMachineSource &source);

std::vector<u8> write_bones(const std::vector<std::string> &names);

struct CameraAnimationSource {
    std::vector<std::string> names;
    std::vector<std::vector<f32>> tracks16; // 4 floats a key
    std::vector<std::vector<f32>> tracks20; // 5 floats a key
    std::vector<std::vector<f32>> tracks8;  // 2 floats a key
    std::vector<std::pair<u32, std::string>> table_a, table_b;
};

std::vector<u8> write_camera_animation(const CameraAnimationSource &source);

} // namespace tallow::test
