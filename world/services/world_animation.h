#pragma once
// The animation services of a World: the animation player, the simple animation player,
// the blenders and the state machines, as one narrow interface of the calls worlds, units,
// flow nodes and scripts make. The animation subsystem implements it; until then every
// World gets the null one, which plays nothing and says so once in the log.
//
//   IWorldAnimation &animation = world.animation();
//   SimpleAnimationParams params;                       // whole animation, once
//   animation.play_simple(unit.scene_graph(), *resource, *group, params);
//   ...
//   animation.update_simple(dt);                        // World::update_animations
//
// Playback keys are (scene graph, node list): playing a key that plays already updates that
// playback in place. A backend implements every call below; all run on the main thread
// (the update calls may run jobs and wait for them).

#include "foundation/containers/array.h"
#include "foundation/math/quaternion.h"
#include "foundation/types.h"

#include <cfloat>

namespace tallow {

class SceneGraph;
class Unit;
class UnitResource;
struct UnitSimpleAnimation;
struct WorldServiceParams;
class StateHasher;

struct AnimationBlender;
struct AnimationStateMachine;

/// Called when a non-looping playback ends (not when it is stopped), with its 12 bytes.
struct AnimationEndCallback {
    void (*function)(const u8 *data) = nullptr;
    u8 data[12] = {};
};

/// The largest finite f32 as from / to / start time means "the default" (see play_simple).
constexpr f32 animation_default_time = FLT_MAX;

struct SimpleAnimationParams {
    f32 from = animation_default_time;       // seconds; default 0 (or the current time)
    f32 to = animation_default_time;         // seconds; default the animation length
    f32 start_time = animation_default_time; // seconds; default from
    f32 speed = 1;                           // below 0 plays backwards
    u8 loop = 0;
    AnimationEndCallback end_callback;
};

class IWorldAnimation {
  public:
    virtual ~IWorldAnimation() = default;
    /// False for the null service: the script functions of animation then raise that the
    /// service is not built.
    virtual bool is_available() const { return false; }

    // World::update_animations, in this order, update_player right before update_blenders
    // (a backend may sample the playbacks in update_blenders, ahead of the blend).
    virtual void update_state_machines(f32 dt) = 0; // appends animation events
    virtual void update_simple(f32 dt) = 0;         // ends finished playbacks, advances the rest
    virtual void update_player() = 0;               // samples all playbacks
    virtual void update_blenders(f32 dt) = 0;
    virtual void write_poses() = 0; // played node poses into the units' scene graphs

    // Simple animations.
    virtual void play_simple(SceneGraph &graph, const UnitResource &resource, const UnitSimpleAnimation &group,
                             const SimpleAnimationParams &params) = 0;
    virtual void stop_simple(SceneGraph &graph, const UnitSimpleAnimation &group) = 0;
    /// Stops every playback of the graph (unit destruction, reload).
    virtual void stop_unit(SceneGraph &graph) = 0;
    virtual bool has_playback(const SceneGraph &graph) const = 0;
    virtual bool find_simple_playback(const SceneGraph &graph, const UnitSimpleAnimation &group) const = 0;
    /// 0 when the key has no playback.
    virtual f32 simple_time(const SceneGraph &graph, const UnitSimpleAnimation &group) const = 0;
    virtual f32 simple_speed(const SceneGraph &graph, const UnitSimpleAnimation &group) const = 0;

    // Blenders. `bones` is the loaded "bones" resource.
    virtual AnimationBlender *create_blender(SceneGraph &graph, const void *bones) = 0;
    virtual void destroy_blender(AnimationBlender *blender) = 0;
    /// Returns the started animation's id; `animation` may be null (no such resource).
    virtual i32 crossfade(AnimationBlender *blender, const void *animation, i32 layer, f32 blend_time, bool loop,
                          u32 offset_mode) = 0;
    virtual void set_time(AnimationBlender *blender, i32 animation_id, f32 seconds) = 0;
    virtual void set_speed(AnimationBlender *blender, i32 animation_id, f32 speed) = 0;
    virtual bool is_crossfading(const AnimationBlender *blender) const = 0;
    /// Stops everything the blender plays.
    virtual void clear_blender(AnimationBlender *) {}
    /// 0 ignore, 1 delta_transform, 2 delta_position, 3 delta_rotation.
    virtual u32 root_mode(const AnimationBlender *) const { return 0; }
    /// Another value leaves the mode as it is.
    virtual void set_root_mode(AnimationBlender *, u32) {}
    /// The blender's wanted root delta (a rotation and a translation); false for none.
    virtual bool wanted_root_delta(const AnimationBlender *, Quaternion &, Vector3 &) const { return false; }

    // State machines. `resource` is the loaded "state_machine" resource.
    virtual AnimationStateMachine *create_state_machine(const void *resource, AnimationBlender *blender,
                                                        Unit *unit) = 0;
    virtual void destroy_state_machine(AnimationStateMachine *machine) = 0;
    virtual void state_machine_event(AnimationStateMachine *machine, u32 event_id) = 0;
    /// The variable's index, or -1.
    virtual i32 find_variable(const AnimationStateMachine *machine, u32 name_id) const = 0;
    /// A variable by index; false when the index names none.
    virtual bool get_variable(const AnimationStateMachine *, u32, f32 &) const { return false; }
    virtual bool set_variable(AnimationStateMachine *, u32, f32) { return false; }
    /// The stream of state machine events (records animation_flow_event with an
    /// AnimationEventPayload, world/world_events.h) the World walks and empties each
    /// frame. Null: none.
    virtual Array<u8> *event_stream() { return nullptr; }
    /// Adds every playback's time and sampled pose and every blender's output pose to
    /// `hasher`, in an order fixed by the calls that made them (World::hash_state).
    virtual void hash_state(StateHasher & /*hasher*/) const {}
};

/// A factory for the World's animation service.
using WorldAnimationFactory = IWorldAnimation *(*)(const WorldServiceParams &);

/// The null animation service: plays nothing, creates no blender or state machine.
IWorldAnimation *create_null_world_animation(const WorldServiceParams &params);

} // namespace tallow
