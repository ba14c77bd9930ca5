#include "animation/animation_state_machine.h"

#include "foundation/log.h"
#include "foundation/threads/thread_pool.h"
#include "world/world_events.h"

#include <atomic>
#include <cmath>

namespace tallow {

namespace {

std::atomic<u32> process_seed{0};

u32 draw_seed()
{
    u32 seed = process_seed.load();
    u32 next;
    do
        next = seed * 1664525u + 1013904223u;
    while (!process_seed.compare_exchange_weak(seed, next));
    return next;
}

constexpr u32 no_key = 0xFFFFFFFFu;

/// The first key at or after `t`; with `wrap`, the first key when none lies after.
u32 next_key(const AnimationView &v, f32 t, bool wrap)
{
    for (u32 i = 0; i < v.key_count; ++i)
        if (v.key_time(i) >= t)
            return i;
    return wrap && v.key_count ? 0 : no_key;
}

/// The key nearest to `t`; with `wrap`, distances run round the animation's end.
u32 nearest_key(const AnimationView &v, f32 t, bool wrap)
{
    u32 best = no_key;
    f32 closest = 0;
    for (u32 i = 0; i < v.key_count; ++i) {
        f32 d = std::fabs(v.key_time(i) - t);
        if (wrap && v.length > 0)
            d = std::fmin(d, std::fabs(v.length - d));
        if (best == no_key || d < closest) {
            best = i;
            closest = d;
        }
    }
    return best;
}

u32 key_with_id(const AnimationView &v, u32 id)
{
    for (u32 i = 0; i < v.key_count; ++i)
        if (v.key_id(i) == id)
            return i;
    return no_key;
}

} // namespace

void reset_state_machine_seed(u32 seed) { process_seed.store(seed); }

// AnimationStateMachine --------------------------------------------------------------------

AnimationStateMachine::AnimationStateMachine(Allocator &parent, const AnimationLookup &lookup,
                                             const StateMachineResource &resource, AnimationBlender &blender, u32 unit,
                                             u32 seed)
    : _allocator("AnimationStateMachine", parent), _lookup(lookup), _resource(&resource), _blender(&blender),
      _unit(unit), _random(seed), _current(_allocator), _variables(_allocator), _stack(_allocator),
      _layers(_allocator), _saved_layers(_allocator), _frame_events(_allocator)
{
    const u32 layers = resource.layers.size();
    _current.resize(layers);
    _layers.resize(layers);
    _saved_layers.resize(layers);
    _variables.resize(resource.variable_defaults.size());
    _stack.reserve(max_expression_depth);
    if (_current.size() != layers || _layers.size() != layers || _saved_layers.size() != layers ||
        _variables.size() != resource.variable_defaults.size()) {
        log_message("animation", "no memory for a state machine of %u layers; it plays nothing", layers);
        _current.clear();
        _layers.clear();
        _saved_layers.clear();
        _variables.clear();
        return;
    }
    for (u32 i = 0; i < _variables.size(); ++i)
        _variables[i] = resource.variable_defaults[i];
    for (u32 l = 0; l < layers; ++l) {
        _current[l] = resource.layers[l].initial_state;
        if (_current[l] != no_state)
            set_state(l, 0);
    }
}

const StateMachineState *AnimationStateMachine::state(u32 layer) const
{
    u32 s = _current[layer];
    return s == no_state ? nullptr : &_resource->layers[layer].states[s];
}

BoneMask AnimationStateMachine::mask_of(const StateMachineState &s) const
{
    if (s.bone_weight_set == no_bone_weight_set)
        return {};
    const Array<f32> &set = _resource->bone_weight_sets[s.bone_weight_set];
    // An empty set still masks (every bone 0): the null pointer would mean "no mask".
    static const f32 nothing = 0;
    return {set.empty() ? &nothing : set.data(), set.size()};
}

f32 AnimationStateMachine::eval(const StateMachineState &s, u32 offset)
{
    return eval_float_expression(s.code, offset, _variables, _stack);
}

const AnimationView *AnimationStateMachine::choose(const StateMachineState &s, f32 &out_ratio)
{
    out_ratio = 1;
    u32 count = s.animations.size();
    if (count == 0)
        return nullptr;
    u32 i = count > 1 ? choose_random_animation(s, next_random(_random)) : 0;
    const AnimationView *a = i < count ? _lookup(s.animations[i]) : nullptr;
    if (!a)
        a = _lookup(s.animations[count - 1]);
    if (!a)
        return nullptr;
    const AnimationView *first = _lookup(s.animations[0]);
    if (first && first->length > 0)
        out_ratio = a->length / first->length;
    if (!(out_ratio > 0) || !std::isfinite(out_ratio))
        out_ratio = 1;
    return a;
}

void AnimationStateMachine::set_state(u32 layer, f32 blend_time)
{
    LayerPlayback &r = _layers[layer];
    r = LayerPlayback{};
    const StateMachineState *s = state(layer);
    if (!s)
        return;
    BoneMask mask = mask_of(*s);
    switch (s->type) {
    case 1:
        _blender->fade_out_layer(layer, blend_time);
        break;
    case 0: {
        const AnimationView *a = choose(*s, r.ratio);
        if (!a) {
            log_message("animation", "a state's animations are not loaded; the layer plays nothing");
            break;
        }
        r.length = a->length;
        r.handle = _blender->crossfade(a, layer, blend_time, s->loop, s->blend_mode, mask);
        break;
    }
    case 2: {
        const AnimationView *animations[max_crossfade_animations];
        f32 weights[max_crossfade_animations], ratios[max_crossfade_animations];
        u32 count = s->animations.size();
        bool all = count > 0 && count <= max_crossfade_animations;
        for (u32 i = 0; all && i < count; ++i)
            all = (animations[i] = _lookup(s->animations[i])) != nullptr;
        if (!all) {
            log_message("animation", "a blend state's animations are not all loaded; the layer plays nothing");
            break;
        }
        f32 first = animations[0]->length;
        for (u32 i = 0; i < count; ++i) {
            weights[i] = eval(*s, s->weight_expressions[i]);
            ratios[i] = first > 0 ? animations[i]->length / first : 1.0f;
        }
        r.length = first;
        r.handle = _blender->start_crossfade(count, animations, weights, ratios, layer, blend_time, s->loop,
                                             s->blend_mode, mask);
        break;
    }
    default:
        break;
    }
    if (s->type == 0 || s->type == 2)
        if (!mask.weights || (mask.count > 0 && mask.weights[0] == 1.0f))
            _blender->set_root_mode(s->root_mode);
    r.speed = std::fmax(eval(*s, s->speed_expression), 0.0f);
    _blender->set_speed(r.handle, r.speed);
}

bool AnimationStateMachine::key_condition(const StateTransition &t, const StateMachineState &s,
                                          const LayerPlayback &r) const
{
    if (t.key == 0)
        return true;
    HeaviestAnimation h = _blender->heaviest(r.handle);
    if (!h.animation)
        return false;
    f32 at = r.time * h.ratio;
    u32 k = t.mode == 2 ? nearest_key(*h.animation, at, s.loop) : next_key(*h.animation, at, s.loop);
    return k != no_key && h.animation->key_id(k) == t.key;
}

void AnimationStateMachine::start_at_key(u32 layer, u32 key)
{
    LayerPlayback &r = _layers[layer];
    HeaviestAnimation h = _blender->heaviest(r.handle);
    u32 k = h.animation ? key_with_id(*h.animation, key) : no_key;
    r.time = k != no_key && h.ratio > 0 ? h.animation->key_time(k) / h.ratio : 0.0f;
    _blender->set_time(r.handle, r.time);
}

void AnimationStateMachine::event(u32 id)
{
    for (u32 l = 0; l < _layers.size(); ++l) {
        const StateMachineState *s = state(l);
        if (!s)
            continue;
        LayerPlayback &r = _layers[l];
        const StateTransition *t = nullptr;
        for (const StateTransition &c : s->transitions)
            if (c.event == id && key_condition(c, *s, r)) {
                t = &c;
                break;
            }
        if (!t)
            continue;
        switch (t->mode) {
        case 0:
            _current[l] = t->target;
            set_state(l, t->blend_time);
            break;
        case 1:
            r.delay = r.length - t->blend_time - r.time;
            r.pending_target = t->target;
            r.pending_blend = t->blend_time;
            r.pending_key = 0;
            r.pending = true;
            break;
        case 2: {
            HeaviestAnimation h = _blender->heaviest(r.handle);
            u32 k = h.animation ? nearest_key(*h.animation, r.time * h.ratio, s->loop) : no_key;
            u32 key = k != no_key ? h.animation->key_id(k) : 0;
            _current[l] = t->target;
            set_state(l, t->blend_time);
            if (key != 0)
                start_at_key(l, key);
            else {
                r.time = 0;
                _blender->set_time(r.handle, 0);
            }
            break;
        }
        case 3: {
            HeaviestAnimation h = _blender->heaviest(r.handle);
            u32 k = h.animation ? next_key(*h.animation, r.time * h.ratio, s->loop) : no_key;
            if (k == no_key || !(h.ratio > 0)) {
                // No key ahead: the transition waits for nothing.
                r.delay = 0;
                r.pending_key = 0;
            } else {
                f32 tk = h.animation->key_time(k) / h.ratio;
                r.delay = (r.time > tk ? r.length + tk : tk) - r.time;
                r.pending_key = h.animation->key_id(k);
            }
            r.pending_target = t->target;
            r.pending_blend = t->blend_time;
            r.pending = true;
            break;
        }
        case 4: {
            f32 phase = r.length > 0 && r.length < 3.4028235e38f ? r.time / r.length : 0.0f;
            _current[l] = t->target;
            set_state(l, t->blend_time);
            r.time = r.length < 3.4028235e38f ? r.length * phase : 0.0f;
            _blender->set_time(r.handle, r.time);
            break;
        }
        default:
            break;
        }
    }
}

i32 AnimationStateMachine::find_variable(u32 name_id) const
{
    const Array<u32> &names = _resource->variable_names;
    for (u32 i = 0; i < names.size() && i < _variables.size(); ++i)
        if (names[i] == name_id)
            return i32(i);
    return -1;
}

bool AnimationStateMachine::variable(u32 index, f32 &out_value) const
{
    if (index >= _variables.size())
        return false;
    out_value = _variables[index];
    return true;
}

bool AnimationStateMachine::set_variable(u32 index, f32 value)
{
    if (index >= _variables.size())
        return false;
    _variables[index] = value;
    return true;
}

void AnimationStateMachine::post(Array<u8> &events, u32 id) const
{
    AnimationEventPayload p;
    p.event_id = id;
    p.unit = _unit;
    static_assert(sizeof(AnimationEventPayload) == 8);
    if (!append_world_event(events, animation_flow_event, &p, sizeof(p)))
        log_message("animation", "no memory for an animation event; it is lost");
}

void AnimationStateMachine::update(f32 dt, Array<u8> &events) { (void)run(dt, events, false); }

bool AnimationStateMachine::update_apart(f32 dt)
{
    _frame_events.clear();
    for (u32 l = 0; l < _layers.size(); ++l)
        _saved_layers[l] = _layers[l];
    if (run(dt, _frame_events, true))
        return true;
    // Only the layers' playback records changed before the hand-over (states, the random
    // state and variables change past it). What it set in the blender (weights, speeds)
    // follows from the variables alone, so `update` sets the same values again.
    for (u32 l = 0; l < _layers.size(); ++l)
        _layers[l] = _saved_layers[l];
    _frame_events.clear();
    return false;
}

bool AnimationStateMachine::run(f32 dt, Array<u8> &events, bool apart)
{
    for (u32 l = 0; l < _layers.size(); ++l) {
        const StateMachineState *s = state(l);
        if (!s)
            continue;
        LayerPlayback &r = _layers[l];
        // 1. Blend weights.
        if (s->type == 2) {
            f32 weights[max_crossfade_animations];
            u32 n = s->weight_expressions.size();
            for (u32 i = 0; i < n && i < max_crossfade_animations; ++i)
                weights[i] = std::fmax(eval(*s, s->weight_expressions[i]), 0.0f);
            _blender->set_weights(r.handle, weights);
        }
        // 2. Time, at the pace of the record's weighted length ratio.
        f32 a = _blender->weighted_ratio(r.handle);
        if (a > 0 && std::isfinite(a))
            r.time += dt / a * r.speed;
        // 3. Timed events, at the first animation's times.
        f32 phase = r.ratio > 0 ? r.time / r.ratio : r.time;
        bool held = false;
        u32 held_id = 0;
        while (r.next_event < s->events.size() && phase >= s->events[r.next_event].time) {
            const StateEvent &e = s->events[r.next_event];
            if (e.kind == 1) {
                if (held)
                    break; // one internal event an update; the next waits
                held = true;
                held_id = e.id;
            } else if (e.kind == 0) {
                post(events, e.id);
            }
            ++r.next_event;
        }
        // 4. Wrap-around.
        if (r.time > r.length) {
            f32 t = 0;
            u32 loops = 0;
            if (_blender->normalized_time(r.handle, t, loops) && loops != r.loops) {
                if (apart && s->type == 0 && s->animations.size() >= 2)
                    return false; // a fresh random choice replaces the animation
                r.time = t;
                r.loops = loops;
                r.next_event = 0;
                if (s->type == 0 && s->animations.size() >= 2) {
                    const AnimationView *again = choose(*s, r.ratio);
                    if (again)
                        _blender->replace_animation(r.handle, again, true);
                }
            }
        }
        // 5. Speed.
        r.speed = std::fmax(eval(*s, s->speed_expression), 0.0f);
        _blender->set_speed(r.handle, r.speed);
        // 6. The held internal event.
        if (held) {
            if (apart)
                return false; // its transition may switch states
            event(held_id);
        }
        // 7. The pending transition.
        if (r.pending) {
            const f32 delay = r.delay - dt * r.speed;
            if (apart && delay < 0)
                return false;
            r.delay = delay;
            if (r.delay < 0) {
                u32 key = r.pending_key;
                _current[l] = r.pending_target;
                set_state(l, r.pending_blend);
                if (key != 0)
                    start_at_key(l, key);
            }
        }
    }
    for (u32 id : _blender->collected_events())
        post(events, id);
    return true;
}

void animation_state_machine_job(const JobData &batch)
{
    auto *machines = batch.stream_as<AnimationStateMachine *>(0);
    u8 *done = batch.stream_as<u8>(1);
    const f32 dt = *batch.stream_as<f32>(2);
    for (u32 i = 0; i < batch.count(); ++i)
        done[i] = machines[i]->update_apart(dt) ? 1 : 0;
}

// AnimationStateMachines -------------------------------------------------------------------

AnimationStateMachines::AnimationStateMachines(Allocator &parent, const AnimationLookup &lookup, ThreadPool *pool)
    : _allocator("animation_state_machines", parent), _lookup(lookup), _pool(pool), _instances(_allocator),
      _done(_allocator), _events(_allocator)
{
}

AnimationStateMachines::~AnimationStateMachines()
{
    while (!_instances.empty())
        destroy_state_machine(_instances.back());
}

AnimationStateMachine *AnimationStateMachines::create_state_machine(const StateMachineResource &resource,
                                                                    AnimationBlender &blender, u32 unit)
{
    auto *m = make_new<AnimationStateMachine>(_allocator, _allocator, _lookup, resource, blender, unit, draw_seed());
    if (!m || !_instances.push_back(m)) {
        delete_with_allocator(_allocator, m);
        log_message("animation", "no memory for a state machine");
        return nullptr;
    }
    return m;
}

void AnimationStateMachines::destroy_state_machine(AnimationStateMachine *machine)
{
    for (u32 i = 0; i < _instances.size(); ++i)
        if (_instances[i] == machine) {
            _instances.erase(i); // keeps the update order
            delete_with_allocator(_allocator, machine);
            return;
        }
}

void AnimationStateMachines::update(f32 dt)
{
    const u32 n = _instances.size();
    if (n > 1 && _pool)
        _done.resize(n);
    if (n <= 1 || !_pool || _done.size() != n) {
        for (u32 i = 0; i < n; ++i)
            _instances[i]->update(dt, _events);
        return;
    }
    Job job("animation_state_machine_job");
    JobData data(job);
    data.set_stream(0, {_instances.data(), sizeof(AnimationStateMachine *)});
    data.set_stream(1, {_done.data(), sizeof(u8)});
    data.set_stream(2, {&dt, 0}, stream_kind_shared);
    job.set_count(n);
    job.set_function(&animation_state_machine_job);
    JobSystem jobs(*_pool);
    const JobId id = jobs.run_job(job);
    jobs.wait_for_job(id);
    jobs.release_job(id);
    // In creation order: the machines' events as one stream, and the frames handed over
    // (they play and stop playbacks, whose order the player keeps).
    for (u32 i = 0; i < n; ++i) {
        AnimationStateMachine &m = *_instances[i];
        if (!_done[i]) {
            m.update(dt, _events);
            continue;
        }
        const Array<u8> &mine = m.frame_events();
        if (mine.empty())
            continue;
        const u32 at = _events.size();
        _events.resize(at + mine.size());
        if (_events.size() != at + mine.size()) {
            _events.resize(at);
            log_message("animation", "no memory for a state machine's events; they are lost");
            continue;
        }
        __builtin_memcpy(_events.data() + at, mine.data(), mine.size());
    }
}

} // namespace tallow
