#include "animation/simple_animation_player.h"

#include "animation/animation_player.h"
#include "foundation/log.h"
#include "foundation/math/state_hasher.h"
#include "foundation/math/matrix4x4.h"
#include "world/units/scene_graph.h"

#include <new>

namespace tallow {

SimpleAnimationPlayer::SimpleAnimationPlayer(Allocator &allocator, AnimationPlayer &player)
    : _allocator("simple_animation_player", allocator), _player(player), _playbacks(_allocator)
{
}

SimpleAnimationPlayer::~SimpleAnimationPlayer()
{
    while (!_playbacks.empty())
        remove(_playbacks.size() - 1);
}

i32 SimpleAnimationPlayer::find(const SceneGraph &graph, const void *key) const
{
    for (u32 i = 0; i < _playbacks.size(); ++i)
        if (_playbacks[i].graph == &graph && _playbacks[i].key == key)
            return i32(i);
    return -1;
}

bool SimpleAnimationPlayer::play(SceneGraph &graph, const void *key, const AnimationView &animation,
                                 const u32 *nodes, u32 node_count, const SimpleAnimationParams &params)
{
    i32 at = find(graph, key);
    if (at >= 0) {
        Playback &p = _playbacks[u32(at)];
        p.from = params.from == animation_default_time ? p.time : params.from;
        if (params.to != animation_default_time)
            p.to = params.to;
        p.start = params.start_time == animation_default_time ? p.from : params.start_time;
        p.speed = params.speed;
        p.loop = params.loop;
        p.on_end = params.end_callback;
        p.time = p.start;
        _player.set_time(p.handle, p.start);
        return true;
    }
    if (animation.track_count > node_count) {
        log_message("animation", "a simple animation of %u tracks on a group of %u nodes; not played",
                    animation.track_count, node_count);
        return false;
    }
    u64 bytes = sizeof(AnimationView) + u64(animation.track_count) * sizeof(u32);
    void *block = _allocator.allocate(bytes, alignof(AnimationView));
    if (!block) {
        log_message("animation", "no memory for a simple animation playback");
        return false;
    }
    Playback p{};
    p.animation = new (block) AnimationView(animation);
    p.nodes = reinterpret_cast<u32 *>(static_cast<u8 *>(block) + sizeof(AnimationView));
    for (u32 k = 0; k < animation.track_count; ++k)
        p.nodes[k] = nodes[k];
    p.from = params.from == animation_default_time ? 0.0f : params.from;
    p.to = params.to == animation_default_time ? animation.length : params.to;
    p.start = params.start_time == animation_default_time ? p.from : params.start_time;
    p.speed = params.speed;
    p.loop = params.loop;
    p.on_end = params.end_callback;
    p.graph = &graph;
    p.key = key;
    p.handle = _player.play(p.animation, false);
    p.time = 0;
    if (p.handle == no_animation_playback || !_playbacks.push_back(p)) {
        _player.stop(p.handle);
        _allocator.deallocate(block);
        return false;
    }
    if (p.start != 0) {
        _playbacks.back().time = p.start;
        _player.set_time(p.handle, p.start);
    }
    return true;
}

void SimpleAnimationPlayer::remove(u32 index)
{
    Playback &p = _playbacks[index];
    _player.stop(p.handle);
    _allocator.deallocate(p.animation);
    u32 last = _playbacks.size() - 1;
    if (index != last)
        _playbacks[index] = _playbacks[last];
    _playbacks.pop_back();
}

void SimpleAnimationPlayer::stop(const SceneGraph &graph, const void *key)
{
    i32 at = find(graph, key);
    if (at >= 0)
        remove(u32(at));
}

void SimpleAnimationPlayer::stop_unit(const SceneGraph &graph)
{
    for (u32 i = _playbacks.size(); i-- > 0;)
        if (_playbacks[i].graph == &graph)
            remove(i);
}

bool SimpleAnimationPlayer::is_playing(const SceneGraph &graph) const
{
    for (const Playback &p : _playbacks)
        if (p.graph == &graph)
            return true;
    return false;
}

bool SimpleAnimationPlayer::has_playback(const SceneGraph &graph, const void *key) const { return find(graph, key) >= 0; }

f32 SimpleAnimationPlayer::time(const SceneGraph &graph, const void *key) const
{
    i32 at = find(graph, key);
    return at >= 0 ? _playbacks[u32(at)].time : 0.0f;
}

f32 SimpleAnimationPlayer::speed(const SceneGraph &graph, const void *key) const
{
    i32 at = find(graph, key);
    return at >= 0 ? _playbacks[u32(at)].speed : 0.0f;
}

void SimpleAnimationPlayer::update(f32 dt)
{
    // Finished playbacks leave first and their callbacks run afterwards: a callback may
    // play or stop on this player, which would move records under a running walk.
    // Allocates only in an update where a playback with a callback ends.
    Array<AnimationEndCallback> ended(_allocator);
    for (u32 i = _playbacks.size(); i-- > 0;) {
        Playback &p = _playbacks[i];
        if (p.time == p.to && !p.loop) {
            if (p.on_end.function && !ended.push_back(p.on_end))
                log_message("animation", "no memory for an end callback; it is dropped");
            remove(i);
        }
    }
    for (const AnimationEndCallback &c : ended)
        c.function(c.data);
    for (Playback &p : _playbacks) {
        if (p.loop && ((p.speed > 0 && p.time >= p.to) || (p.speed < 0 && p.time <= p.to))) {
            p.time = p.from;
            _player.set_time(p.handle, p.from);
        }
        f32 step = p.speed * dt;
        if (step >= 0) {
            if (p.time + step > p.to && !p.loop) {
                _player.add_pending_time(p.handle, p.to - p.time);
                p.time = p.to;
            } else {
                _player.add_pending_time(p.handle, step);
                p.time += step;
            }
        } else if (p.to > p.time + step && !p.loop) {
            p.time = p.to;
            _player.set_time(p.handle, p.to);
        } else if (p.time + step < 0) {
            p.time = 0;
            _player.set_time(p.handle, 0);
        } else {
            p.time += step;
            _player.set_time(p.handle, p.time);
        }
    }
}

void SimpleAnimationPlayer::hash_state(StateHasher &hasher) const
{
    hasher.add(_playbacks.size());
    for (const Playback &p : _playbacks) {
        hasher.add(p.from);
        hasher.add(p.to);
        hasher.add(p.speed);
        hasher.add(p.time);
        hasher.add(u32(p.loop));
    }
}

void SimpleAnimationPlayer::write_poses()
{
    for (const Playback &p : _playbacks) {
        AnimationPose pose;
        if (!_player.pose(p.handle, pose))
            continue;
        u32 node_count = p.graph->node_count();
        for (u32 k = 0; k < pose.track_count; ++k) {
            u32 node = p.nodes[k];
            if (node == 0 || node >= node_count)
                continue;
            p.graph->set_local_pose(node, matrix4x4_from_quaternion(normalize(pose.rotations[k]), pose.translations[k]));
        }
    }
}

} // namespace tallow
