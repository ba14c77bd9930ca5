#include "animation/animation_player.h"

#include "foundation/log.h"
#include "foundation/math/state_hasher.h"
#include "foundation/threads/job_kernel.h"
#include "foundation/threads/thread_pool.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace tallow {

namespace {

constexpr u32 slot_bits = 20;
constexpr u32 slot_mask = (1u << slot_bits) - 1;
constexpr u16 max_generation = 4094; // keeps every handle below no_animation_playback

u32 make_handle(u32 slot, u16 generation) { return u32(generation) << slot_bits | slot; }

void report(AnimationKeys &keys, u32 id)
{
    // Ids beyond the room are dropped: the caller takes events once a frame at most.
    if (keys.event_count < max_animation_events)
        keys.events[keys.event_count++] = id;
}

/// Reports the keys with time in (from, to], or [from, to] when `closed`.
void report_range(const AnimationView &v, AnimationKeys &keys, f32 from, f32 to, bool closed)
{
    for (u32 i = 0; i < v.key_count && keys.event_count < max_animation_events; ++i) {
        f32 t = v.key_time(i);
        if ((closed ? t >= from : t > from) && t <= to)
            report(keys, v.key_id(i));
    }
}

void sample_one(const AnimationKernelInput &in, AnimationKernelOutput &out)
{
    const AnimationView &v = *in.animation;
    f32 length = v.length;
    f32 t = in.time;
    u32 loops = in.loops;
    if (in.time_set) {
        // A jump: no keys are passed on the way; pending time added after it still runs.
        t = std::isfinite(in.set_time) ? in.set_time : 0.0f;
        if (in.loop && length > 0)
            t -= std::floor(t / length) * length;
        if (!in.loop)
            t = std::clamp(t, 0.0f, length);
    }
    {
        f32 pending = std::isfinite(in.pending) ? in.pending : 0.0f;
        f32 to = t + pending;
        if (in.loop && length > 0) {
            f32 wraps = std::floor(to / length);
            if (pending > 0) {
                // Forward over the keys: the rest of this pass, whole passes, the last part.
                report_range(v, *in.keys, t, std::min(to, length), false);
                for (f32 w = 1; w <= wraps && in.keys->event_count < max_animation_events && v.key_count; ++w)
                    report_range(v, *in.keys, 0, w < wraps ? length : to - wraps * length, true);
            }
            if (wraps > 0)
                loops += u32(std::min(double(wraps), 4294967295.0));
            t = to - wraps * length;
            if (t >= length) // rounding at the very end of a pass
                t = 0;
        } else {
            if (pending > 0)
                report_range(v, *in.keys, t, to, false);
            t = to;
        }
    }
    if (!(t > 0))
        t = 0;
    if (t > length)
        t = length;
    u32 cursor = in.cursor;
    sample_animation(v, t, in.rotations, in.translations, &cursor);
    out = {t, cursor, loops};
}

} // namespace

void animation_player_kernel(const JobData &batch)
{
    auto *in = batch.stream_as<u8>(0);
    auto *out = batch.stream_as<u8>(1);
    for (u32 i = 0; i < batch.count(); ++i)
        sample_one(*reinterpret_cast<const AnimationKernelInput *>(in + u64(i) * batch.stride(0)),
                   *reinterpret_cast<AnimationKernelOutput *>(out + u64(i) * batch.stride(1)));
}

AnimationPlayer::AnimationPlayer(Allocator &allocator, ThreadPool *pool)
    : _allocator("animation_player", allocator), _pool(pool),
      _kernel(kernel_registry().find_or_add(animation_player_kernel_name, &animation_player_kernel)),
      _playbacks(_allocator), _dense_to_slot(_allocator), _slots(_allocator), _generations(_allocator),
      _inputs(_allocator), _outputs(_allocator)
{
}

AnimationPlayer::~AnimationPlayer()
{
    for (Playback &p : _playbacks)
        _allocator.deallocate(p.rotations);
}

AnimationPlayer::Playback *AnimationPlayer::find(u32 handle)
{
    return const_cast<Playback *>(static_cast<const AnimationPlayer *>(this)->find(handle));
}

const AnimationPlayer::Playback *AnimationPlayer::find(u32 handle) const
{
    u32 slot = handle & slot_mask;
    if (handle == no_animation_playback || slot >= _slots.size() || _generations[slot] != handle >> slot_bits)
        return nullptr;
    u32 dense = _slots[slot];
    if (dense >= _playbacks.size() || _dense_to_slot[dense] != slot)
        return nullptr;
    return &_playbacks[dense];
}

u32 AnimationPlayer::play(const AnimationView *animation, bool loop)
{
    if (!animation) {
        log_message("animation", "play: no animation; nothing plays");
        return no_animation_playback;
    }
    std::lock_guard<std::mutex> guard(_lock);
    if (_playbacks.size() >= max_animation_playbacks) {
        log_message("animation", "animation player full (%u playbacks); nothing plays", max_animation_playbacks);
        return no_animation_playback;
    }
    u32 tracks = animation->track_count;
    u64 pose_bytes = u64(tracks) * (sizeof(Quaternion) + sizeof(Vector3));
    void *block = pose_bytes ? _allocator.allocate(pose_bytes, alignof(Quaternion)) : nullptr;
    if (pose_bytes && !block) {
        log_message("animation", "no memory for a playback of %u tracks", tracks);
        return no_animation_playback;
    }
    Playback p{};
    p.animation = animation;
    p.loop = loop;
    p.rotations = static_cast<Quaternion *>(block);
    p.translations = reinterpret_cast<Vector3 *>(static_cast<u8 *>(block) + u64(tracks) * sizeof(Quaternion));
    for (u32 k = 0; k < tracks; ++k)
        decode_animation_record(animation->format, animation->first_frame + k * animation->record_bytes,
                                p.rotations[k], p.translations[k]);
    u32 slot = _free_head;
    bool fresh = slot == 0xFFFFFFFFu;
    if (fresh) {
        slot = _slots.size();
        if (!_slots.push_back(0) || !_generations.push_back(1)) {
            _slots.resize(slot);
            _allocator.deallocate(block);
            return no_animation_playback;
        }
    }
    if (!_playbacks.push_back(p) || !_dense_to_slot.push_back(slot)) {
        _playbacks.resize(_dense_to_slot.size());
        if (fresh) {
            _slots.resize(slot);
            _generations.resize(slot);
        }
        _allocator.deallocate(block);
        log_message("animation", "no memory for a playback");
        return no_animation_playback;
    }
    if (!fresh)
        _free_head = _slots[slot];
    _slots[slot] = _playbacks.size() - 1;
    return make_handle(slot, _generations[slot]);
}

void AnimationPlayer::stop(u32 handle)
{
    std::lock_guard<std::mutex> guard(_lock);
    Playback *p = find(handle);
    if (!p)
        return;
    u32 slot = handle & slot_mask;
    u32 dense = _slots[slot];
    _allocator.deallocate(p->rotations);
    // The last playback moves into the hole; both tables follow it.
    u32 last = _playbacks.size() - 1;
    if (dense != last) {
        _playbacks[dense] = _playbacks[last];
        _dense_to_slot[dense] = _dense_to_slot[last];
        _slots[_dense_to_slot[dense]] = dense;
    }
    _playbacks.pop_back();
    _dense_to_slot.pop_back();
    _generations[slot] = _generations[slot] >= max_generation ? 1 : _generations[slot] + 1;
    _slots[slot] = _free_head;
    _free_head = slot;
}

bool AnimationPlayer::is_playing(u32 handle) const
{
    std::lock_guard<std::mutex> guard(_lock);
    return find(handle) != nullptr;
}

void AnimationPlayer::add_pending_time(u32 handle, f32 dt)
{
    std::lock_guard<std::mutex> guard(_lock);
    if (Playback *p = find(handle))
        p->pending += dt;
}

void AnimationPlayer::set_time(u32 handle, f32 t)
{
    std::lock_guard<std::mutex> guard(_lock);
    if (Playback *p = find(handle)) {
        p->time = t;
        p->set_time = t;
        p->time_set = 1;
        p->pending = 0;
    }
}

void AnimationPlayer::set_time_and_loops(u32 handle, f32 t, u32 loops)
{
    std::lock_guard<std::mutex> guard(_lock);
    if (Playback *p = find(handle)) {
        p->time = t;
        p->set_time = t;
        p->time_set = 1;
        p->pending = 0;
        p->loops = loops;
    }
}

bool AnimationPlayer::get_time(u32 handle, f32 &out_time, u32 &out_loops) const
{
    std::lock_guard<std::mutex> guard(_lock);
    const Playback *p = find(handle);
    if (!p)
        return false;
    out_time = p->time;
    out_loops = p->loops;
    return true;
}

bool AnimationPlayer::pose(u32 handle, AnimationPose &out) const
{
    std::lock_guard<std::mutex> guard(_lock);
    const Playback *p = find(handle);
    if (!p)
        return false;
    out = {p->rotations, p->translations, p->animation->track_count};
    return true;
}

u32 AnimationPlayer::take_events(u32 handle, u32 *out_ids)
{
    std::lock_guard<std::mutex> guard(_lock);
    Playback *p = find(handle);
    if (!p)
        return 0;
    u32 n = p->keys.event_count;
    for (u32 i = 0; i < n; ++i)
        out_ids[i] = p->keys.events[i];
    p->keys.event_count = 0;
    return n;
}

bool AnimationPlayer::step(u32 handle, f32 pending, AnimationPose &out_pose, u32 *out_ids, u32 &out_count)
{
    std::lock_guard<std::mutex> guard(_lock);
    return step_unlocked(handle, pending, out_pose, out_ids, out_count);
}

bool AnimationPlayer::step_unlocked(u32 handle, f32 pending, AnimationPose &out_pose, u32 *out_ids, u32 &out_count)
{
    out_count = 0;
    Playback *p = find(handle);
    if (!p)
        return false;
    p->pending += pending;
    out_pose = {p->rotations, p->translations, p->animation->track_count};
    if (out_ids) {
        out_count = p->keys.event_count;
        for (u32 i = 0; i < out_count; ++i)
            out_ids[i] = p->keys.events[i];
    }
    p->keys.event_count = 0;
    return true;
}

void AnimationPlayer::update() { end_update(begin_update()); }

JobId AnimationPlayer::begin_update()
{
    _lock.lock();
    _sampled = 0;
    u32 n = _playbacks.size();
    if (n == 0)
        return no_job;
    _inputs.resize(n);
    _outputs.resize(n);
    if (_inputs.size() != n || _outputs.size() != n) {
        log_message("animation", "no memory to sample %u playbacks; poses keep last frame's", n);
        return no_job;
    }
    for (u32 i = 0; i < n; ++i) {
        Playback &p = _playbacks[i];
        _inputs[i] = AnimationKernelInput{p.time,     p.pending,  p.animation->length, p.set_time,
                                          p.loops,    p.cursor,   p.loop,              p.time_set,
                                          {0, 0},     p.animation, p.rotations,        p.translations,
                                          &p.keys};
        p.pending = 0;
    }
    JobFunction function = _kernel == no_kernel ? nullptr : kernel_registry().update_function(_kernel);
    if (!function)
        function = &animation_player_kernel;
    Job job("animation_player_job");
    JobData data(job);
    data.set_stream(0, {_inputs.data(), sizeof(AnimationKernelInput)});
    data.set_stream(1, {_outputs.data(), sizeof(AnimationKernelOutput)});
    job.set_count(n);
    job.set_function(function);
    _sampled = n;
    if (_pool && n > 1) {
        const JobId id = JobSystem(*_pool).run_job(job);
        if (id != no_job)
            return id;
    }
    function(data);
    return no_job;
}

void AnimationPlayer::end_update(JobId sampling)
{
    if (sampling != no_job) {
        JobSystem jobs(*_pool);
        jobs.wait_for_job(sampling);
        jobs.release_job(sampling);
    }
    for (u32 i = 0; i < _sampled; ++i) {
        Playback &p = _playbacks[i];
        p.time = _outputs[i].time;
        p.cursor = _outputs[i].cursor;
        p.loops = _outputs[i].loops;
        p.time_set = 0;
    }
    _sampled = 0;
    _lock.unlock();
}

void AnimationPlayer::hash_state(StateHasher &hasher) const
{
    std::lock_guard<std::mutex> guard(_lock);
    hasher.add(_playbacks.size());
    for (const Playback &p : _playbacks) {
        hasher.add(p.time);
        hasher.add(p.loops);
        const u32 tracks = p.animation ? p.animation->track_count : 0;
        hasher.add(tracks);
        for (u32 t = 0; t < tracks; ++t) {
            hasher.add(p.rotations[t]);
            hasher.add(p.translations[t]);
        }
    }
}

u32 AnimationPlayer::count() const
{
    std::lock_guard<std::mutex> guard(_lock);
    return _playbacks.size();
}

bool AnimationPlayer::validate() const
{
    std::lock_guard<std::mutex> guard(_lock);
    if (_dense_to_slot.size() != _playbacks.size() || _generations.size() != _slots.size())
        return false;
    for (u32 d = 0; d < _playbacks.size(); ++d)
        if (_dense_to_slot[d] >= _slots.size() || _slots[_dense_to_slot[d]] != d)
            return false;
    u32 free_count = 0;
    for (u32 s = _free_head; s != 0xFFFFFFFFu; s = _slots[s]) {
        if (s >= _slots.size() || ++free_count > _slots.size())
            return false;
    }
    return free_count + _playbacks.size() == _slots.size();
}

} // namespace tallow
