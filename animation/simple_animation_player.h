#pragma once
// The world's SimpleAnimationPlayer: animations played straight onto a unit's scene graph,
// without blending. One playback per key (scene graph, node list): a time range, a speed
// that may be negative, optional looping and a callback when a non-looping playback ends.
//
//   SimpleAnimationPlayer simple(allocator, player);      // player: the world's AnimationPlayer
//   SimpleAnimationParams params;                         // world/services/world_animation.h
//   params.end_callback = {on_open, {...}};
//   simple.play(graph, group, view, nodes, node_count, params);
//   simple.update(dt);      // ends finished playbacks (callbacks), wraps, advances
//   player.update();        // samples
//   simple.write_poses();   // local matrices of the played nodes, flagged changed
//
// Track k poses node nodes[k]; node 0 (the root) is never written. An animation with more
// tracks than the node list has entries is refused (logged). Playing a key that plays
// already updates it in place (the animation stays); the largest finite f32 as from / to /
// start means "not given" (for a new playback: 0, the length, from; for a playing one: its
// current time, its to, from). End callbacks run after the finished playbacks are removed,
// so a callback may play or stop on this player. Reverse play whose `to` lies below 0 holds
// the time at 0 and never ends.
//
// Main thread only. The graph and the key must stay valid while they play (units stop
// their playbacks with stop_unit before they go).

#include "animation/animation_data.h"
#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "world/services/world_animation.h"

namespace tallow {

class AnimationPlayer;
class SceneGraph;
class StateHasher;

class SimpleAnimationPlayer {
  public:
    SimpleAnimationPlayer(Allocator &allocator, AnimationPlayer &player);
    ~SimpleAnimationPlayer();
    SimpleAnimationPlayer(const SimpleAnimationPlayer &) = delete;
    SimpleAnimationPlayer &operator=(const SimpleAnimationPlayer &) = delete;

    /// Starts or updates the playback of (graph, key). `animation` is copied; the bytes it
    /// points into must outlive the playback. False (logged) when it cannot play.
    bool play(SceneGraph &graph, const void *key, const AnimationView &animation, const u32 *nodes, u32 node_count,
              const SimpleAnimationParams &params);
    /// Removes the playback of the key, if any; no callback.
    void stop(const SceneGraph &graph, const void *key);
    /// Removes every playback of the graph; no callback.
    void stop_unit(const SceneGraph &graph);
    bool is_playing(const SceneGraph &graph) const;
    bool has_playback(const SceneGraph &graph, const void *key) const;
    /// The playback's current time / speed; 0 when the key has none.
    f32 time(const SceneGraph &graph, const void *key) const;
    f32 speed(const SceneGraph &graph, const void *key) const;

    void update(f32 dt);
    void write_poses();

    u32 count() const { return _playbacks.size(); }
    /// Adds each playback's range, speed and time, in play order.
    void hash_state(StateHasher &hasher) const;

  private:
    struct Playback {
        f32 from;
        f32 to;
        f32 start;
        f32 speed;
        u8 loop;
        AnimationEndCallback on_end;
        SceneGraph *graph;
        const void *key;
        AnimationView *animation; // with the node indices after it, one block
        u32 *nodes;               // animation->track_count entries
        u32 handle;               // AnimationPlayer playback
        f32 time;
    };

    i32 find(const SceneGraph &graph, const void *key) const;
    void remove(u32 index);

    TraceAllocator _allocator;
    AnimationPlayer &_player;
    Array<Playback> _playbacks;
};

} // namespace tallow
