#include "animation/animation_blender.h"

#include "animation/animation_player.h"
#include "animation/animation_resources.h"
#include "foundation/log.h"
#include "foundation/math/state_hasher.h"
#include "foundation/threads/thread_pool.h"
#include "world/units/scene_graph.h"

#include <cfloat>
#include <cmath>

namespace tallow {

namespace {

f32 sane_blend_time(f32 t) { return std::isfinite(t) && t > 0 ? t : 0.0f; }

/// One fade step: `value` rises to 1 over the `time_left` seconds.
void step_fade(f32 &value, f32 &time_left, f32 dt)
{
    if (time_left >= FLT_MAX)
        return;
    f32 rate = time_left > 0 ? (1 - value) / time_left : 0;
    time_left -= dt;
    value += rate * dt;
    if (time_left <= 0) {
        value = 1;
        time_left = FLT_MAX;
    }
}

inline Quaternion blend_rotation(Quaternion a, Quaternion b, f32 t)
{
    if (dot(a, b) < 0)
        b = {-b.x, -b.y, -b.z, -b.w};
    Quaternion q{a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t, a.w + (b.w - a.w) * t};
    return normalize(q);
}

/// The rotation of q's axis by `e` times q's angle.
Quaternion scale_rotation(Quaternion q, f32 e)
{
    f32 v = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z);
    f32 angle = 2 * std::atan2(v, q.w) * e;
    Vector3 axis = v > 0 ? Vector3{q.x / v, q.y / v, q.z / v} : Vector3{q.x, q.y, q.z};
    f32 s = std::sin(angle * 0.5f);
    return {axis.x * s, axis.y * s, axis.z * s, std::cos(angle * 0.5f)};
}

} // namespace

Matrix4x4 bone_matrix(Quaternion q, Vector3 t)
{
    f32 n = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
    f32 s = n > 0 ? 2 / n : 1;
    f32 x = q.x, y = q.y, z = q.z, w = q.w;
    Matrix4x4 m = matrix4x4_identity;
    m.m[0][0] = 1 - s * (y * y + z * z);
    m.m[0][1] = s * (x * y + w * z);
    m.m[0][2] = s * (x * z - w * y);
    m.m[1][0] = s * (x * y - w * z);
    m.m[1][1] = 1 - s * (x * x + z * z);
    m.m[1][2] = s * (y * z + w * x);
    m.m[2][0] = s * (x * z + w * y);
    m.m[2][1] = s * (y * z - w * x);
    m.m[2][2] = 1 - s * (x * x + y * y);
    set_translation(m, t);
    return m;
}

// AnimationBlender -------------------------------------------------------------------------

AnimationBlender::AnimationBlender(Allocator &parent, AnimationPlayer &player, u32 bone_count)
    : _allocator("animation_blender", parent), _player(&player), _bone_count(bone_count), _layers(_allocator),
      _rotations(_allocator), _translations(_allocator), _scratch_rotations(_allocator),
      _scratch_translations(_allocator), _remaining(_allocator), _accumulated(_allocator), _layer_sum(_allocator),
      _collected_events(_allocator), _sub_poses(_allocator), _finished(_allocator)
{
    _rotations.resize(bone_count);
    _translations.resize(bone_count);
    _scratch_rotations.resize(bone_count);
    _scratch_translations.resize(bone_count);
    _remaining.resize(bone_count);
    _accumulated.resize(bone_count);
    _layer_sum.resize(bone_count);
    if (_layer_sum.size() != bone_count || _rotations.size() != bone_count) {
        log_message("animation", "no memory for a blender of %u bones; it poses none", bone_count);
        _bone_count = 0;
    }
    for (u32 b = 0; b < _bone_count; ++b)
        _accumulated[b] = 0;
}

AnimationBlender::~AnimationBlender()
{
    clear();
    stop_finished();
}

void AnimationBlender::stop_finished()
{
    for (u32 h : _finished)
        _player->stop(h);
    _finished.clear();
}

AnimationLayer *AnimationBlender::find_or_add_layer(u32 index)
{
    u32 at = 0;
    for (; at < _layers.size(); ++at) {
        if (_layers[at].index == index)
            return &_layers[at];
        if (_layers[at].index < index)
            break;
    }
    AnimationLayer layer(_allocator);
    layer.index = index;
    if (!_layers.insert(at, std::move(layer)))
        return nullptr;
    return &_layers[at];
}

PlayingAnimation *AnimationBlender::find_record(u32 id)
{
    for (AnimationLayer &l : _layers)
        for (PlayingAnimation &r : l.records)
            if (r.id == id)
                return &r;
    return nullptr;
}

const PlayingAnimation *AnimationBlender::find(u32 id) const
{
    return const_cast<AnimationBlender *>(this)->find_record(id);
}

void AnimationBlender::stop_record(PlayingAnimation &r)
{
    for (u32 k = 0; k < r.count; ++k)
        _player->stop(r.players[k]);
    r.count = 0;
}

u32 AnimationBlender::crossfade(const AnimationView *animation, u32 layer, f32 blend_time, bool loop, u32 blend_mode,
                                BoneMask mask)
{
    f32 one = 1;
    return start_crossfade(1, &animation, &one, &one, layer, blend_time, loop, blend_mode, mask);
}

u32 AnimationBlender::start_crossfade(u32 count, const AnimationView *const *animations, const f32 *weights,
                                      const f32 *ratios, u32 layer_index, f32 blend_time, bool loop, u32 blend_mode,
                                      BoneMask mask)
{
    if (count == 0 || count > max_crossfade_animations) {
        log_message("animation", "a crossfade of %u animations (1 to %u are played); nothing started", count,
                    max_crossfade_animations);
        return no_crossfade;
    }
    for (u32 k = 0; k < count; ++k)
        if (!animations[k]) {
            log_message("animation", "a crossfade names an animation that is not loaded; nothing started");
            return no_crossfade;
        }
    AnimationLayer *layer = find_or_add_layer(layer_index);
    if (!layer) {
        log_message("animation", "no memory for animation layer %u", layer_index);
        return no_crossfade;
    }
    blend_time = sane_blend_time(blend_time);
    if (layer_index == 0 && layer->records.empty())
        blend_time = 0;

    PlayingAnimation r;
    r.count = count;
    for (u32 k = 0; k < count; ++k) {
        r.animations[k] = animations[k];
        r.players[k] = _player->play(animations[k], loop);
        r.weights[k] = weights[k];
        r.ratios[k] = ratios[k];
    }
    r.id = ++_next_id;
    if (r.id > 0x7FFFFFFFu) // ids stay positive script integers
        r.id = _next_id = 1;
    r.speed = 1;
    r.blend_mode = blend_mode;
    r.mask = mask;
    if (blend_time == 0) {
        r.weight = 1;
        r.fade_in_time = FLT_MAX;
    } else {
        r.weight = 0;
        r.fade_in_time = blend_time;
    }
    r.fade_out = 0;
    r.fade_out_time = FLT_MAX;

    fade_out_layer(layer_index, blend_time);
    layer = find_or_add_layer(layer_index); // fade_out_layer may have removed it
    if (!layer || !layer->records.push_back(r)) {
        stop_record(r);
        log_message("animation", "no memory for a crossfade on layer %u", layer_index);
        return no_crossfade;
    }
    return r.id;
}

void AnimationBlender::fade_out_layer(u32 layer_index, f32 blend_time)
{
    blend_time = sane_blend_time(blend_time);
    for (u32 i = 0; i < _layers.size(); ++i) {
        AnimationLayer &l = _layers[i];
        if (l.index != layer_index)
            continue;
        if (blend_time == 0) {
            for (PlayingAnimation &r : l.records)
                stop_record(r);
            _layers.erase(i);
            return;
        }
        for (PlayingAnimation &r : l.records) {
            r.fade_out_time = std::fmin(r.fade_out_time, blend_time);
            if (r.fade_in_time < FLT_MAX)
                r.fade_in_time = std::fmin(r.fade_in_time, blend_time);
        }
        return;
    }
}

void AnimationBlender::clear()
{
    for (AnimationLayer &l : _layers)
        for (PlayingAnimation &r : l.records)
            stop_record(r);
    _layers.clear();
}

void AnimationBlender::set_weights(u32 id, const f32 *weights)
{
    if (PlayingAnimation *r = find_record(id))
        for (u32 k = 0; k < r->count; ++k)
            r->weights[k] = weights[k];
}

f32 AnimationBlender::weighted_ratio(u32 id) const
{
    const PlayingAnimation *r = find(id);
    if (!r)
        return 1;
    f32 s = 0, w = 0;
    for (u32 k = 0; k < r->count; ++k) {
        s += r->weights[k];
        w += r->weights[k] * r->ratios[k];
    }
    return s > 0 ? w / s : w;
}

HeaviestAnimation AnimationBlender::heaviest(u32 id) const
{
    const PlayingAnimation *r = find(id);
    if (!r || r->count == 0)
        return {};
    u32 best = 0;
    f32 most = -FLT_MAX;
    for (u32 k = 0; k < r->count; ++k)
        if (r->weights[k] > most) {
            most = r->weights[k];
            best = k;
        }
    return {r->animations[best], r->ratios[best]};
}

void AnimationBlender::set_time(u32 id, f32 t)
{
    if (PlayingAnimation *r = find_record(id))
        for (u32 k = 0; k < r->count; ++k)
            _player->set_time(r->players[k], t * r->ratios[k]);
}

bool AnimationBlender::normalized_time(u32 id, f32 &out_time, u32 &out_loops) const
{
    const PlayingAnimation *r = find(id);
    if (!r || r->count == 0 || !_player->get_time(r->players[0], out_time, out_loops))
        return false;
    if (r->ratios[0] > 0)
        out_time /= r->ratios[0];
    return true;
}

void AnimationBlender::set_speed(u32 id, f32 speed)
{
    if (PlayingAnimation *r = find_record(id))
        r->speed = speed;
}

void AnimationBlender::replace_animation(u32 id, const AnimationView *animation, bool loop)
{
    PlayingAnimation *r = find_record(id);
    if (!r || r->count == 0 || !animation)
        return;
    f32 t = 0;
    u32 loops = 0;
    (void)_player->get_time(r->players[0], t, loops);
    _player->stop(r->players[0]);
    r->players[0] = _player->play(animation, loop);
    r->animations[0] = animation;
    _player->set_time_and_loops(r->players[0], t, loops);
}

bool AnimationBlender::is_crossfading() const
{
    for (const AnimationLayer &l : _layers)
        for (const PlayingAnimation &r : l.records)
            if (r.effective_weight() != 1.0f)
                return true;
    return false;
}

void AnimationBlender::wanted_root_delta(Quaternion &out_rotation, Vector3 &out_translation) const
{
    out_rotation = _root_rotation;
    out_translation = _root_translation;
}

bool AnimationBlender::sample(const PlayingAnimation &r, const SubPose *poses, const Quaternion *&out_rotations,
                              const Vector3 *&out_translations, u32 &out_tracks)
{
    if (r.count == 1) {
        out_rotations = poses[0].rotations;
        out_translations = poses[0].translations;
        out_tracks = poses[0].tracks;
        return out_rotations != nullptr;
    }
    // Several: the weighted ones blended whole into the scratch pose, over the bones all
    // of them have.
    u32 tracks = _bone_count;
    bool any = false;
    for (u32 k = 0; k < r.count; ++k)
        if (r.weights[k] > 0 && poses[k].rotations) {
            tracks = poses[k].tracks < tracks ? poses[k].tracks : tracks;
            any = true;
        }
    if (!any)
        return false;
    f32 accumulated = 0;
    for (u32 k = 0; k < r.count; ++k) {
        f32 w = r.weights[k];
        if (!(w > 0) || !poses[k].rotations)
            continue;
        if (accumulated == 0) {
            for (u32 b = 0; b < tracks; ++b) {
                _scratch_rotations[b] = poses[k].rotations[b];
                _scratch_translations[b] = poses[k].translations[b];
            }
        } else {
            f32 t = w / (accumulated + w);
            for (u32 b = 0; b < tracks; ++b) {
                _scratch_translations[b] = _scratch_translations[b] * (1 - t) + poses[k].translations[b] * t;
                _scratch_rotations[b] = blend_rotation(_scratch_rotations[b], poses[k].rotations[b], t);
            }
        }
        accumulated += w;
    }
    out_rotations = _scratch_rotations.data();
    out_translations = _scratch_translations.data();
    out_tracks = tracks;
    return true;
}

void AnimationBlender::evaluate(f32 dt)
{
    _collected_events.clear();
    u32 total = 0;
    bool masked = false;
    for (const AnimationLayer &l : _layers)
        for (const PlayingAnimation &r : l.records) {
            ++total;
            masked = masked || r.mask.weights;
        }
    _sub_poses.resize(total * max_crossfade_animations);
    if (_sub_poses.size() != total * max_crossfade_animations) {
        log_message("animation", "no memory to evaluate a blender; its pose stands");
        return;
    }
    const u32 bones = _bone_count;
    for (u32 b = 0; b < bones; ++b) {
        _remaining[b] = 1;
        _accumulated[b] = 0;
    }
    bool any_posed = false;
    u32 ids[max_animation_events];
    u32 slot = 0;
    for (AnimationLayer &l : _layers) {
        for (u32 b = 0; b < bones; ++b)
            _layer_sum[b] = 0;
        for (PlayingAnimation &r : l.records) {
            step_fade(r.weight, r.fade_in_time, dt);
            step_fade(r.fade_out, r.fade_out_time, dt);
            // Sub-animations advance at their length ratio over the weighted average ratio,
            // so all of them keep one phase.
            f32 s = 0, w = 0, most = -FLT_MAX;
            u32 heaviest = 0;
            for (u32 k = 0; k < r.count; ++k) {
                s += r.weights[k];
                w += r.weights[k] * r.ratios[k];
                if (r.weights[k] > most) {
                    most = r.weights[k];
                    heaviest = k;
                }
            }
            f32 a = s > 0 ? w / s : 0;
            bool advance = s > 0 && a > 0 && std::isfinite(a);
            SubPose *poses = &_sub_poses[slot++ * max_crossfade_animations];
            for (u32 k = 0; k < r.count; ++k) {
                AnimationPose pose;
                u32 n = 0;
                bool take = advance && k == heaviest;
                f32 pending = advance ? r.ratios[k] / a * r.speed * dt : 0.0f;
                if (_player->step_unlocked(r.players[k], pending, pose, take ? ids : nullptr, n))
                    poses[k] = {pose.rotations, pose.translations, pose.track_count};
                else
                    poses[k] = {nullptr, nullptr, 0};
                for (u32 i = 0; i < n; ++i)
                    (void)_collected_events.push_back(ids[i]);
            }
            f32 e = r.effective_weight();
            if (r.blend_mode != blend_normal || !(e > 0))
                continue;
            const Quaternion *rotations;
            const Vector3 *translations;
            u32 tracks;
            if (!sample(r, poses, rotations, translations, tracks))
                continue;
            u32 n = tracks < bones ? tracks : bones;
            // Bones past a mask's end weigh 0.
            const u32 masked_end = r.mask.weights && r.mask.count < n ? r.mask.count : n;
            f32 *remaining = _remaining.data(), *accumulated = _accumulated.data(), *layer_sum = _layer_sum.data();
            Quaternion *out_rotations = _rotations.data();
            Vector3 *out_translations = _translations.data();
            for (u32 b = 0; b < masked_end; ++b) {
                f32 wb = remaining[b] * (r.mask.weights ? r.mask.weights[b] : 1.0f) * e;
                if (!(wb > 0))
                    continue;
                if (accumulated[b] == 0) {
                    out_rotations[b] = rotations[b];
                    out_translations[b] = translations[b];
                } else {
                    f32 t = wb / (accumulated[b] + wb);
                    out_translations[b] = out_translations[b] * (1 - t) + translations[b] * t;
                    out_rotations[b] = blend_rotation(out_rotations[b], rotations[b], t);
                }
                accumulated[b] += wb;
                layer_sum[b] += wb;
                any_posed = true;
            }
        }
        for (u32 b = 0; b < bones; ++b)
            _remaining[b] -= _layer_sum[b];
    }
    if (masked) {
        _pose_valid = bones > 0;
        for (u32 b = 0; b < bones; ++b)
            if (!(_accumulated[b] > 0))
                _pose_valid = false;
    } else {
        _pose_valid = any_posed;
    }

    // Additive records turn and move the blended pose by their weight.
    slot = 0;
    for (AnimationLayer &l : _layers)
        for (PlayingAnimation &r : l.records) {
            const SubPose *poses = &_sub_poses[slot++ * max_crossfade_animations];
            f32 e = r.effective_weight();
            if (r.blend_mode != blend_additive || !(e > 0))
                continue;
            const Quaternion *rotations;
            const Vector3 *translations;
            u32 tracks;
            if (!sample(r, poses, rotations, translations, tracks))
                continue;
            u32 n = tracks < bones ? tracks : bones;
            for (u32 b = 0; b < n; ++b) {
                _translations[b] = _translations[b] + translations[b] * e;
                _rotations[b] = _rotations[b] * scale_rotation(rotations[b], e);
            }
        }

    if (_pose_valid && bones > 0 && _accumulated[0] > 0) {
        _root_rotation = _rotations[0];
        _root_translation = _translations[0];
    } else {
        _root_rotation = quaternion_identity;
        _root_translation = {};
    }

    // Records whose fade-out finished go, and layers left empty with them.
    for (u32 i = _layers.size(); i-- > 0;) {
        Array<PlayingAnimation> &records = _layers[i].records;
        for (u32 j = records.size(); j-- > 0;)
            if (records[j].fade_out == 1.0f) {
                for (u32 k = 0; k < records[j].count; ++k)
                    if (!_finished.push_back(records[j].players[k]))
                        log_message("animation", "no memory to keep a finished playback; it plays on unseen");
                records.erase(j);
            }
        if (records.empty())
            _layers.erase(i);
    }
}

// AnimationBlenderToSceneGraph -------------------------------------------------------------

void AnimationBlenderToSceneGraph::write_scene_graph() const
{
    const AnimationBlender &b = *blender;
    if (!b.pose_valid())
        return;
    const u32 node_count = graph->node_count();
    const u32 bones = b.bone_count() < nodes.size() ? b.bone_count() : nodes.size();
    for (u32 i = 0; i < bones; ++i) {
        u32 node = nodes[i];
        if (node >= node_count || !b.bone_posed(i))
            continue;
        Matrix4x4 m = bone_matrix(b.rotations()[i], b.translations()[i]);
        if (i != 0) {
            graph->set_local_pose(node, m);
            continue;
        }
        const Matrix4x4 &local = graph->local_pose(node);
        Matrix4x4 moved = m * local;
        switch (b.root_mode()) {
        case root_delta_transform:
            break;
        case root_delta_position:
            for (int r = 0; r < 3; ++r)
                set_axis(moved, r, axis(local, r));
            break;
        case root_delta_rotation:
            set_translation(moved, translation(local));
            break;
        default:
            continue;
        }
        graph->set_local_pose(node, moved);
    }
}

// AnimationBlenders ------------------------------------------------------------------------

AnimationBlenders::AnimationBlenders(Allocator &parent, ThreadPool *pool, AnimationPlayer &player)
    : _allocator("animation_blenders", parent), _pool(pool), _player(&player), _blenders(_allocator), _maps(_allocator)
{
}

AnimationBlenders::~AnimationBlenders()
{
    while (!_blenders.empty())
        destroy_blender(_blenders.back());
}

AnimationBlender *AnimationBlenders::create_blender(SceneGraph &graph, const BonesResource &bones)
{
    Array<u32> nodes(_allocator);
    nodes.resize(bones.names.size());
    if (nodes.size() != bones.names.size())
        return nullptr;
    for (u32 i = 0; i < nodes.size(); ++i)
        nodes[i] = graph.find_node(NameId32(bones.names[i].c_str(), bones.names[i].length()));
    return create_blender(graph, nodes.data(), nodes.size());
}

AnimationBlender *AnimationBlenders::create_blender(SceneGraph &graph, const u32 *nodes, u32 bone_count)
{
    auto *blender = make_new<AnimationBlender>(_allocator, _allocator, *_player, bone_count);
    auto *map = blender ? make_new<AnimationBlenderToSceneGraph>(_allocator, _allocator, *blender, graph) : nullptr;
    if (map)
        map->nodes.resize(bone_count);
    if (!map || map->nodes.size() != bone_count || !_blenders.push_back(blender)) {
        delete_with_allocator(_allocator, map);
        delete_with_allocator(_allocator, blender);
        log_message("animation", "no memory for an animation blender of %u bones", bone_count);
        return nullptr;
    }
    if (!_maps.push_back(map)) {
        _blenders.pop_back();
        delete_with_allocator(_allocator, map);
        delete_with_allocator(_allocator, blender);
        return nullptr;
    }
    for (u32 b = 0; b < bone_count; ++b)
        map->nodes[b] = nodes[b];
    return blender;
}

bool AnimationBlenders::uses_animation(const AnimationView *animation) const
{
    for (const AnimationBlender *b : _blenders)
        for (u32 l = 0; l < b->layer_count(); ++l)
            for (const PlayingAnimation &r : b->layer(l).records)
                for (u32 k = 0; k < r.count && k < max_crossfade_animations; ++k)
                    if (r.animations[k] == animation)
                        return true;
    return false;
}

void AnimationBlenders::destroy_blender(AnimationBlender *blender)
{
    for (u32 i = 0; i < _blenders.size(); ++i) {
        if (_blenders[i] != blender)
            continue;
        delete_with_allocator(_allocator, _maps[i]);
        delete_with_allocator(_allocator, blender);
        u32 last = _blenders.size() - 1;
        _blenders[i] = _blenders[last];
        _maps[i] = _maps[last];
        _blenders.pop_back();
        _maps.pop_back();
        return;
    }
}

void animation_blender_job(const JobData &batch)
{
    auto *blenders = batch.stream_as<AnimationBlender *>(0);
    auto *maps = batch.stream_as<AnimationBlenderToSceneGraph *>(1);
    f32 dt = *batch.stream_as<f32>(2);
    for (u32 i = 0; i < batch.count(); ++i) {
        blenders[i]->evaluate(dt);
        maps[i]->write_scene_graph();
    }
}

void AnimationBlenders::hash_state(StateHasher &hasher) const
{
    hasher.add(_blenders.size());
    for (const AnimationBlender *b : _blenders) {
        hasher.add(b->bone_count());
        hasher.add(u32(b->pose_valid()));
        if (b->pose_valid())
            for (u32 i = 0; i < b->bone_count(); ++i) {
                hasher.add(b->rotations()[i]);
                hasher.add(b->translations()[i]);
            }
        Quaternion root_rotation;
        Vector3 root_translation;
        b->wanted_root_delta(root_rotation, root_translation);
        hasher.add(root_rotation);
        hasher.add(root_translation);
    }
}

void AnimationBlenders::update(f32 dt) { blend(dt, no_job, false); }

void AnimationBlenders::sample_and_update(f32 dt)
{
    const JobId sampling = _player->begin_update();
    blend(dt, sampling, true);
}

void AnimationBlenders::blend(f32 dt, JobId sampling, bool sampled)
{
    const u32 n = _blenders.size();
    if (n > 0) {
        Job job("animation_blender_job");
        JobData data(job);
        data.set_stream(0, {_blenders.data(), sizeof(AnimationBlender *)});
        data.set_stream(1, {_maps.data(), sizeof(AnimationBlenderToSceneGraph *)});
        data.set_stream(2, {&dt, 0}, stream_kind_shared);
        job.set_count(n);
        job.set_function(&animation_blender_job);
        const JobId id = _pool && n > 1 ? JobSystem(*_pool).run_job(job, sampling) : no_job;
        if (id != no_job) {
            JobSystem jobs(*_pool);
            // A job completes once its creator lets go: the blend job starts only then.
            // It ends after the sampling, so the player has nothing left to wait for.
            if (sampling != no_job)
                jobs.release_job(sampling);
            sampling = no_job;
            jobs.wait_for_job(id);
            jobs.release_job(id);
        } else {
            if (sampling != no_job)
                JobSystem(*_pool).wait_for_job(sampling); // the poses the blend reads
            animation_blender_job(data);
        }
    }
    // Stopping takes the player's lock, which its update holds until it ends.
    if (sampled)
        _player->end_update(sampling);
    for (AnimationBlender *b : _blenders)
        b->stop_finished();
}

} // namespace tallow
