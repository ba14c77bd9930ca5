#pragma once
// Animation state machines: one "state_machine" resource (animation/state_machine_resource.h)
// run for one unit over its AnimationBlender. Per layer the machine keeps its current state
// and a playback record; it turns states into crossfades, advances layer time, fires timed
// events, reacts to events with the resource's transition modes, evaluates the blend-weight
// and speed expressions over its variables, and posts animation events (records
// animation_flow_event with an AnimationEventPayload, world/world_events.h) into the
// stream the World walks into unit flow events.
//
//   AnimationStateMachines machines(allocator, lookup);        // lookup finds animations
//   AnimationStateMachine *m = machines.create_state_machine(*resource, *blender, unit);
//   m->event(NameId32("run").value());                          // script or flow
//   machines.update(dt);                                        // first in the frame
//   ... the World walks machines.events() and empties it ...
//   machines.destroy_state_machine(m);
//
// Transition modes: 0 immediate; 1 at the end of the current animation (less the blend
// time); 2 sync key: the new state starts at the key of the same id as the one nearest
// the current time; 3 at the next key, the new state starting at that key's id; 4 keep
// phase: the new state starts at the same fraction of its length. A transition with a
// key id applies only while that key is the nearest (mode 2) or next (other modes) one.
//
// Sound behaviour where the data could make it misbehave: a key condition on a layer
// that plays nothing, or on an animation without keys, does not hold; mode 3 without a
// next key fires at once; a zero ratio or weighted ratio (all weights 0, a first
// animation of length 0) stands time still instead of dividing by 0; a random choice
// that resolves to no loaded animation, nor its fallback the last one, starts nothing;
// variable indices from scripts are checked (variable / set_variable return false).
//
// Main thread only (the World's update), before the blender job of the same frame. With a
// thread pool, AnimationStateMachines::update runs the machines' frames as the job
// "animation_state_machine_job" (see update_apart) and gives the same events and blender
// state as updating them one after the other.

#include "animation/animation_blender.h"
#include "animation/state_machine_resource.h"
#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"

namespace tallow {

class ThreadPool;

/// How state machines find "animation" resources by name: `find` returns null for one
/// that is not loaded.
struct AnimationLookup {
    const void *context = nullptr;
    const AnimationView *(*find)(const void *context, u64 name) = nullptr;

    const AnimationView *operator()(u64 name) const { return find ? find(context, name) : nullptr; }
};

/// One layer's playback of its current state.
struct LayerPlayback {
    u32 handle = no_crossfade; // the blender's record of this layer
    f32 length = 3.4028235e38f; // seconds of the playing (single) or first (blend) animation
    f32 time = 0;               // layer time in seconds of that animation
    u32 loops = 0;              // the player's loop counter last seen
    u32 next_event = 0;         // the next timed event to fire
    f32 ratio = 1;              // single: chosen animation's length / the first's
    f32 speed = 1;
    f32 delay = 0;              // seconds before the pending transition
    u32 pending_target = 0;
    f32 pending_blend = 0;
    u32 pending_key = 0;        // key id the new state starts at (0: none)
    bool pending = false;
};

class AnimationStateMachine {
  public:
    /// `seed` is the instance's random state (AnimationStateMachines draws it).
    AnimationStateMachine(Allocator &parent, const AnimationLookup &lookup, const StateMachineResource &resource,
                          AnimationBlender &blender, u32 unit, u32 seed);
    AnimationStateMachine(const AnimationStateMachine &) = delete;
    AnimationStateMachine &operator=(const AnimationStateMachine &) = delete;

    /// Enters the layer's current state, crossfading over `blend_time`.
    void set_state(u32 layer, f32 blend_time);
    /// Delivers an event to every layer (script, flow, and internal timed events).
    void event(u32 id);
    /// The variable named `name_id` (NameId32), or -1.
    i32 find_variable(u32 name_id) const;
    u32 variable_count() const { return _variables.size(); }
    /// False for an index out of range.
    bool variable(u32 index, f32 &out_value) const;
    bool set_variable(u32 index, f32 value);
    /// One frame: weights, time, timed events, wrap, speed, pending transitions; appends
    /// the frame's animation events to `events`.
    void update(f32 dt, Array<u8> &events);
    /// The same frame on a worker, touching only this machine and its blender's records:
    /// its events go to frame_events(). A frame that would start, replace or switch an
    /// animation (a transition, an internal event, a random choice at a loop) plays and
    /// stops playbacks and holds resources, which happens on the world's thread in
    /// machine order: such a frame does nothing here and returns false, the machine as
    /// it was, for `update` to run it. Its blender must be no other machine's.
    bool update_apart(f32 dt);
    /// The events of the last update_apart that returned true.
    const Array<u8> &frame_events() const { return _frame_events; }

    u32 unit() const { return _unit; }
    AnimationBlender &blender() const { return *_blender; }
    u32 layer_count() const { return _layers.size(); }
    /// The layer's current state index, or no_state.
    u32 current_state(u32 layer) const { return _current[layer]; }
    const LayerPlayback &playback(u32 layer) const { return _layers[layer]; }

  private:
    const StateMachineState *state(u32 layer) const;
    BoneMask mask_of(const StateMachineState &s) const;
    f32 eval(const StateMachineState &s, u32 offset);
    /// The animation a single state plays for a fresh random draw (fallback: the last).
    const AnimationView *choose(const StateMachineState &s, f32 &out_ratio);
    bool key_condition(const StateTransition &t, const StateMachineState &s, const LayerPlayback &r) const;
    void post(Array<u8> &events, u32 id) const;
    /// Places the layer at key `key` of its new heaviest animation (0 when not found).
    void start_at_key(u32 layer, u32 key);
    /// update's body; `apart` stops (false) where update_apart must hand over.
    bool run(f32 dt, Array<u8> &events, bool apart);

    TraceAllocator _allocator;
    AnimationLookup _lookup;
    const StateMachineResource *_resource;
    AnimationBlender *_blender;
    u32 _unit;
    u32 _random;
    Array<u32> _current; // state index per layer, no_state for none
    Array<f32> _variables;
    Array<f32> _stack;
    Array<LayerPlayback> _layers;
    Array<LayerPlayback> _saved_layers; // _layers as update_apart found them
    Array<u8> _frame_events;            // update_apart's events (capacity kept)
};

class AnimationStateMachines {
  public:
    /// `pool` may be null: the machines then update on the calling thread.
    AnimationStateMachines(Allocator &parent, const AnimationLookup &lookup, ThreadPool *pool = nullptr);
    ~AnimationStateMachines();
    AnimationStateMachines(const AnimationStateMachines &) = delete;
    AnimationStateMachines &operator=(const AnimationStateMachines &) = delete;

    /// Null (logged) when memory runs out. `unit` is the owner's handle, copied into events.
    AnimationStateMachine *create_state_machine(const StateMachineResource &resource, AnimationBlender &blender,
                                                u32 unit);
    void destroy_state_machine(AnimationStateMachine *machine);
    /// Updates every instance; events and effects come in creation order. With a pool
    /// the machines' plain frames run in parallel and waits for them; the frames that
    /// start or switch animations then run here, in creation order.
    void update(f32 dt);
    /// The event stream; the World walks and empties it.
    Array<u8> &events() { return _events; }
    u32 count() const { return _instances.size(); }

  private:
    TraceAllocator _allocator;
    AnimationLookup _lookup;
    ThreadPool *_pool;
    Array<AnimationStateMachine *> _instances;
    Array<u8> _done; // per instance: its update_apart finished the frame
    Array<u8> _events;
};

/// The job function of "animation_state_machine_job": stream 0 machine pointers, stream 1
/// one u8 per machine (set to whether update_apart finished its frame), stream 2 the step
/// (one f32 for all).
void animation_state_machine_job(const JobData &batch);

/// Sets the process-wide seed new instances draw their random state from (starts at 0);
/// for tests and runs that must repeat.
void reset_state_machine_seed(u32 seed = 0);

} // namespace tallow
