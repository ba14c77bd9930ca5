#pragma once
// Animation blenders: every animated unit's animations in numbered layers, faded in and
// out, blended into one pose per bone (weighted, masked per bone, or added on top) and
// written into the unit's scene graph. All blenders of a world live in AnimationBlenders,
// which runs them in parallel as the job "animation_blender_job" once a frame.
//
//   AnimationBlenders blenders(allocator, &pool, player);     // player: the world's
//   AnimationBlender *b = blenders.create_blender(graph, bones_resource);
//   u32 id = b->crossfade(&walk->view, 0, 0.3f, true, blend_normal, nullptr);
//   b->set_speed(id, 1.5f);
//   ...                                                       // once a frame, world thread:
//   player.update();                                          // samples the playbacks
//   blenders.update(dt);                                      // fades, blends, poses graphs
//   blenders.destroy_blender(b);
//
// A record (one crossfade) plays 1 to max_crossfade_animations sub-animations at once,
// mixed by their weights, each advanced at its length ratio so they keep one phase.
// Layers are evaluated highest index first; a lower layer only fills the weight the higher
// ones left. A record with a mask weighs bone b by mask[b] (bones past the mask's end
// weigh 0). Additive records add their translation and turn by their rotation scaled by
// their weight, after the weighted blend. Track k of an animation poses bone k; bones an
// animation has no track for get nothing from it.
//
// Root (bone 0): by the root mode, the blended root pose P is not written (ignore), or
// applied before the root node's current local matrix L: local = P x L (delta_transform),
// only P's translation (delta_position) or only its rotation (delta_rotation). P is also
// the blender's wanted root delta, whatever the mode: `wanted_root_delta` returns it (the
// identity when the last evaluation gave no root pose), and Unit.animation_wanted_root_pose
// shows D x L with root mode "ignore". This is the one place that defines the delta.
//
// Ids: crossfade returns a record id in 1 .. 2^31-1 (no_crossfade when nothing started); an id
// that names no record is ignored by every call. Sound limits: more than
// max_crossfade_animations sub-animations, a null animation, or a weighted ratio that is
// not positive (all weights 0, every ratio 0) start or advance nothing rather than read
// past arrays or divide by 0. Per-bone buffers are sized to the blender's bones.
//
// Threads: a blender's calls run on the world's thread, except evaluate and
// write_scene_graph, which the job runs on a worker, touching only that blender, its map,
// its unit's scene graph and its own playbacks in the player. While the job runs nothing
// plays or stops playbacks: evaluate steps them without the player's lock and keeps the
// playbacks of finished records for stop_finished, which AnimationBlenders::update calls
// on the world's thread after the job.

#include "animation/animation_data.h"
#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/threads/job.h"

namespace tallow {

class AnimationPlayer;
class SceneGraph;
class StateHasher;
class ThreadPool;
struct BonesResource;

constexpr u32 max_crossfade_animations = 15;
constexpr u32 no_crossfade = 0xFFFFFFFFu;
constexpr u32 blend_normal = 0;
constexpr u32 blend_additive = 1;

enum RootMode : u32 { root_ignore = 0, root_delta_transform = 1, root_delta_position = 2, root_delta_rotation = 3 };

/// A bone weight set: `count` weights, bone b weighing weights[b] (0 past the end).
struct BoneMask {
    const f32 *weights = nullptr;
    u32 count = 0;
};

struct PlayingAnimation {
    f32 weight = 1;             // fade-in weight, 0 rising to 1
    f32 fade_in_time = 0;       // seconds left; FLT_MAX: not fading in
    f32 fade_out = 0;           // 0 rising to 1
    f32 fade_out_time = 0;      // seconds left; FLT_MAX: not fading out
    u32 id = 0;
    f32 speed = 1;
    u32 blend_mode = blend_normal;
    u32 count = 0;              // sub-animations, 1 .. max_crossfade_animations
    const AnimationView *animations[max_crossfade_animations] = {};
    u32 players[max_crossfade_animations] = {};
    f32 weights[max_crossfade_animations] = {};
    f32 ratios[max_crossfade_animations] = {}; // length k / length of the first
    BoneMask mask;              // weights null: every bone 1

    f32 effective_weight() const { return weight - fade_out; }
};

struct AnimationLayer {
    explicit AnimationLayer(Allocator &a) : records(a) {}
    u32 index = 0;
    Array<PlayingAnimation> records;
};

/// The heaviest sub-animation of a record.
struct HeaviestAnimation {
    const AnimationView *animation = nullptr; // null: no such record
    f32 ratio = 1;
};

class AnimationBlender {
  public:
    AnimationBlender(Allocator &parent, AnimationPlayer &player, u32 bone_count);
    ~AnimationBlender();
    AnimationBlender(const AnimationBlender &) = delete;
    AnimationBlender &operator=(const AnimationBlender &) = delete;

    /// start_crossfade with one animation of weight and ratio 1.
    u32 crossfade(const AnimationView *animation, u32 layer, f32 blend_time, bool loop, u32 blend_mode,
                  BoneMask mask = {});
    /// Starts a record of `count` sub-animations on `layer`, fading the layer's older records
    /// out over `blend_time` (0 stops them at once; the first record of an empty layer 0
    /// shows at full weight at once). no_crossfade (logged) when `count` is 0 or above the
    /// limit, or an animation is null.
    u32 start_crossfade(u32 count, const AnimationView *const *animations, const f32 *weights, const f32 *ratios,
                        u32 layer, f32 blend_time, bool loop, u32 blend_mode, BoneMask mask = {});
    /// Fades every record of the layer out over `blend_time` (0: stops them at once).
    void fade_out_layer(u32 layer, f32 blend_time);
    /// Stops everything.
    void clear();

    const PlayingAnimation *find(u32 id) const;
    void set_weights(u32 id, const f32 *weights);
    /// Σ weight·ratio / Σ weight (Σ weight·ratio when Σ weight <= 0); 1 when not found.
    f32 weighted_ratio(u32 id) const;
    HeaviestAnimation heaviest(u32 id) const;
    /// Places every sub-animation at t × its ratio.
    void set_time(u32 id, f32 t);
    /// The first sub-animation's time divided by its ratio, and its loop counter.
    bool normalized_time(u32 id, f32 &out_time, u32 &out_loops) const;
    void set_speed(u32 id, f32 speed);
    /// Plays `animation` in place of the first sub-animation, at its time and loop count.
    void replace_animation(u32 id, const AnimationView *animation, bool loop);
    /// True while any record's effective weight is not 1.
    bool is_crossfading() const;

    u32 root_mode() const { return _root_mode; }
    void set_root_mode(u32 mode) { _root_mode = mode <= root_delta_rotation ? mode : _root_mode; }
    /// The blended root pose of the last evaluation (see the header comment).
    void wanted_root_delta(Quaternion &out_rotation, Vector3 &out_translation) const;

    /// The job's step: fades, pending time, the blend. Collected key events replace the
    /// last ones. Finished records go; their playbacks wait for stop_finished.
    void evaluate(f32 dt);
    /// Stops the playbacks of the records the last evaluate removed (world thread).
    void stop_finished();
    /// Keys the heaviest sub-animation of each record passed, collected by the last evaluate.
    const Array<u32> &collected_events() const { return _collected_events; }

    u32 bone_count() const { return _bone_count; }
    bool pose_valid() const { return _pose_valid; }
    const Quaternion *rotations() const { return _rotations.data(); }
    const Vector3 *translations() const { return _translations.data(); }
    /// Whether bone b got any weight in the last evaluation.
    bool bone_posed(u32 b) const { return b < _bone_count && _accumulated[b] > 0; }
    u32 layer_count() const { return _layers.size(); }
    const AnimationLayer &layer(u32 i) const { return _layers[i]; }

  private:
    // A sub-animation's pose of this evaluation (taken while advancing it).
    struct SubPose {
        const Quaternion *rotations;
        const Vector3 *translations;
        u32 tracks;
    };

    AnimationLayer *find_or_add_layer(u32 index);
    PlayingAnimation *find_record(u32 id);
    void stop_record(PlayingAnimation &r);
    /// The pose record r blends, from its sub-animations' `poses`: the playback's own pose
    /// for one sub-animation, the scratch pose for several. False when it has none.
    bool sample(const PlayingAnimation &r, const SubPose *poses, const Quaternion *&out_rotations,
                const Vector3 *&out_translations, u32 &out_tracks);

    TraceAllocator _allocator;
    AnimationPlayer *_player;
    u32 _bone_count;
    Array<AnimationLayer> _layers; // highest index first
    bool _pose_valid = false;
    Array<Quaternion> _rotations;
    Array<Vector3> _translations;
    Array<Quaternion> _scratch_rotations;
    Array<Vector3> _scratch_translations;
    Array<f32> _remaining;   // per bone
    Array<f32> _accumulated; // per bone
    Array<f32> _layer_sum;   // per bone
    u32 _root_mode = root_ignore;
    u32 _next_id = 0;
    Array<u32> _collected_events;
    Quaternion _root_rotation;
    Vector3 _root_translation;
    Array<SubPose> _sub_poses; // max_crossfade_animations per record, in evaluation order
    Array<u32> _finished;      // playbacks of records evaluate removed
};

/// The pose of the unit's blender written into its scene graph: bone b poses nodes[b].
struct AnimationBlenderToSceneGraph {
    AnimationBlenderToSceneGraph(Allocator &a, AnimationBlender &b, SceneGraph &g) : blender(&b), graph(&g), nodes(a) {}
    AnimationBlender *blender;
    SceneGraph *graph;
    Array<u32> nodes; // scene-graph node per bone; scene_graph_no_node for none

    void write_scene_graph() const;
};

/// The 4×4 pose of a rotation (not necessarily unit; a zero quaternion gives the identity
/// rotation) and a translation, rows as the rotated axes.
Matrix4x4 bone_matrix(Quaternion q, Vector3 t);

class AnimationBlenders {
  public:
    /// `pool` may be null: the blenders then run on the calling thread.
    AnimationBlenders(Allocator &parent, ThreadPool *pool, AnimationPlayer &player);
    ~AnimationBlenders();
    AnimationBlenders(const AnimationBlenders &) = delete;
    AnimationBlenders &operator=(const AnimationBlenders &) = delete;

    /// A blender of bones.names.size() bones over `graph`, its bone b posing the node named
    /// like bone b. Null (logged) when memory runs out.
    AnimationBlender *create_blender(SceneGraph &graph, const BonesResource &bones);
    /// The same for `bone_count` bones posing nodes[b] (scene_graph_no_node: none).
    AnimationBlender *create_blender(SceneGraph &graph, const u32 *nodes, u32 bone_count);
    void destroy_blender(AnimationBlender *blender);
    /// Evaluates every blender and writes its pose, in the job; waits for it.
    void update(f32 dt);
    /// The player's update, then this one: the blend job is posted to follow the sampling
    /// job, so the workers go from one to the other without this thread in between.
    void sample_and_update(f32 dt);

    u32 count() const { return _blenders.size(); }
    /// True while a record of any blender plays `animation` (main thread, between updates).
    bool uses_animation(const AnimationView *animation) const;
    /// Adds each blender's last evaluated pose and root delta, in creation order.
    void hash_state(StateHasher &hasher) const;

  private:
    /// update's body; with `sampled`, the blend job follows `sampling` (the player's
    /// begin_update), whose update ends before the finished playbacks stop.
    void blend(f32 dt, JobId sampling, bool sampled);

    TraceAllocator _allocator;
    ThreadPool *_pool;
    AnimationPlayer *_player;
    Array<AnimationBlender *> _blenders;
    Array<AnimationBlenderToSceneGraph *> _maps;
};

/// The job function of "animation_blender_job": stream 0 blender pointers, 1 map pointers,
/// 2 the step (one f32 for all).
void animation_blender_job(const JobData &batch);

} // namespace tallow
