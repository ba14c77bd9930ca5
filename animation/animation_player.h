#pragma once
// The world's AnimationPlayer: every playback of an animation in a world, sampled once a
// frame in one job ("animation_player_job", kernel "job_animation_player").
//
//   AnimationPlayer player(allocator, &pool);            // pool may be null: sampled inline
//   u32 h = player.play(&view, true);                    // view: animation/animation_data.h
//   player.add_pending_time(h, dt);
//   player.update();                                     // world thread, once a frame
//   AnimationPose pose;
//   if (player.pose(h, pose)) ... pose.rotations[k], pose.translations[k] ...
//   u32 ids[max_animation_events];
//   u32 n = player.take_events(h, ids);                  // keys passed since the last take
//   player.stop(h);
//
// Time moves only through pending time and set_time. At update a playback's time grows by
// its pending time; a looping playback wraps at its length (each wrap counts in `loops`), a
// non-looping one stops at 0 and at its length. set_time places the playback at that time
// and drops the pending time added before it (no keys are passed by the jump); pending time
// added after it moves on from there. Keys passed on the way forward,
// across wraps too, are kept as events, at most max_animation_events of them between two
// take_events (the rest are dropped). The pose is the animation sampled at the new time.
//
// The kernel ("job_animation_player", registered with the kernel registry under its own
// function when the player is made) receives one AnimationKernelInput per playback and
// writes one AnimationKernelOutput; a batch touches only its own playbacks' poses and keys.
//
// Handles carry a generation: a handle that was stopped (or never given, or
// no_animation_playback) is refused by every call, which then does nothing and returns
// false / 0. The view passed to play must outlive the playback. Every call takes the
// player's lock, so blender jobs may steer playbacks from worker threads; `update` runs on
// the world's thread.

#include "animation/animation_data.h"
#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/threads/job.h"

#include <mutex>

namespace tallow {

class StateHasher;
class ThreadPool;

constexpr u32 no_animation_playback = 0xFFFFFFFFu;
/// Most event ids a playback keeps between two take_events.
constexpr u32 max_animation_events = 16;
/// Most playbacks a player holds at once.
constexpr u32 max_animation_playbacks = 1u << 20;
/// The kernel's name in the kernel registry.
constexpr const char *animation_player_kernel_name = "job_animation_player";

/// A playback's sampled pose: track_count rotations and translations, owned by the player.
struct AnimationPose {
    const Quaternion *rotations = nullptr;
    const Vector3 *translations = nullptr;
    u32 track_count = 0;
};

/// Event ids reported since the last take_events.
struct AnimationKeys {
    u32 event_count = 0;
    u32 events[max_animation_events] = {};
};

/// One playback's kernel input (in memory only; the kernel is compiled with the engine).
struct AnimationKernelInput {
    f32 time;         // seconds before this update
    f32 pending;      // seconds to add
    f32 length;
    f32 set_time;     // where to place the playback when time_set
    u32 loops;
    u32 cursor;       // the key frame found last time
    u8 loop;
    u8 time_set;
    u8 padding[2];
    const AnimationView *animation;
    Quaternion *rotations;
    Vector3 *translations;
    AnimationKeys *keys;
};

/// One playback's kernel output.
struct AnimationKernelOutput {
    f32 time;
    u32 cursor;
    u32 loops;
};
static_assert(sizeof(AnimationKernelOutput) == 12);

/// The kernel: stream 0 AnimationKernelInput, stream 1 AnimationKernelOutput.
void animation_player_kernel(const JobData &batch);

class AnimationPlayer {
  public:
    /// `pool` may be null: update then samples on the calling thread.
    AnimationPlayer(Allocator &allocator, ThreadPool *pool);
    ~AnimationPlayer();
    AnimationPlayer(const AnimationPlayer &) = delete;
    AnimationPlayer &operator=(const AnimationPlayer &) = delete;

    /// Starts a playback at time 0 with the first frame as its pose. no_animation_playback
    /// (logged) for a null animation, when the pool is full or memory runs out.
    u32 play(const AnimationView *animation, bool loop);
    /// Ends the playback; the handles of the others stay valid.
    void stop(u32 handle);
    bool is_playing(u32 handle) const;
    void add_pending_time(u32 handle, f32 dt);
    void set_time(u32 handle, f32 t);
    void set_time_and_loops(u32 handle, f32 t, u32 loops);
    /// False for a handle that plays nothing.
    bool get_time(u32 handle, f32 &out_time, u32 &out_loops) const;
    /// The pose sampled by the last update (the first frame before any). Valid until the
    /// playback stops.
    bool pose(u32 handle, AnimationPose &out) const;
    /// Copies the events into `out_ids` (room for max_animation_events) and clears them.
    u32 take_events(u32 handle, u32 *out_ids);
    /// What a blender does with a playback each frame, under one lock: adds `pending`
    /// seconds, returns the pose sampled by the last update and, when `out_ids` is given
    /// (room for max_animation_events), takes its events into it (they are dropped
    /// otherwise). False (nothing done,
    /// `out_count` 0) for a handle that plays nothing.
    bool step(u32 handle, f32 pending, AnimationPose &out_pose, u32 *out_ids, u32 &out_count);
    /// The same without the lock, for the blender job: safe only while no thread plays,
    /// stops or updates (the job's blenders defer their stops), each playback being
    /// stepped by one thread.
    bool step_unlocked(u32 handle, f32 pending, AnimationPose &out_pose, u32 *out_ids, u32 &out_count);
    /// Samples every playback (see the header comment).
    void update();
    /// update in two halves around work that reads the sampled poses: begin_update posts
    /// the sampling (returns its job, which a following job may depend on; no_job when it
    /// sampled at once or had nothing to do) and keeps the player locked; end_update waits
    /// for it (and releases it: pass no_job when it was released already, after a job
    /// that followed it was posted and has been waited for), stores the playbacks' new
    /// times and unlocks. In between only step_unlocked may be called, from jobs that
    /// follow the sampling job. World's thread.
    JobId begin_update();
    void end_update(JobId sampling);

    u32 count() const;
    /// Adds each playback's time, loops and sampled pose, in dense order.
    void hash_state(StateHasher &hasher) const;
    /// The pool's tables agree with each other.
    bool validate() const;

  private:
    struct Playback {
        const AnimationView *animation;
        f32 time;
        f32 pending;
        f32 set_time;
        u32 loops;
        u32 cursor;
        u8 loop;
        u8 time_set;
        Quaternion *rotations; // one block: track_count rotations, then translations
        Vector3 *translations;
        AnimationKeys keys;
    };

    Playback *find(u32 handle);
    const Playback *find(u32 handle) const;

    TraceAllocator _allocator;
    ThreadPool *_pool;
    u32 _kernel;
    mutable std::mutex _lock;
    Array<Playback> _playbacks;   // dense
    Array<u32> _dense_to_slot;
    Array<u32> _slots;            // live: dense index; free: next free slot
    Array<u16> _generations;      // per slot, 1 .. 4095
    u32 _free_head = 0xFFFFFFFFu; // first free slot, or none
    Array<AnimationKernelInput> _inputs;
    Array<AnimationKernelOutput> _outputs;
    u32 _sampled = 0; // playbacks begin_update sampled, whose times end_update stores
};

} // namespace tallow
