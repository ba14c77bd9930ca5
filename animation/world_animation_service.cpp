#include "animation/world_animation_service.h"

#include "animation/animation_blender.h"
#include "animation/animation_player.h"
#include "animation/animation_resources.h"
#include "animation/animation_state_machine.h"
#include "animation/simple_animation_player.h"
#include "foundation/log.h"
#include "resource/resource_manager.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/services/world_animation.h"

namespace tallow {

namespace {

const AnimationView *find_animation(const void *context, u64 name);

// Blenders play animations across frames: the service holds every "animation" resource a
// record of one of its blenders plays, and lets go once none does (checked after each
// update of the blenders, and when a blender is cleared or destroyed).
class AnimationService final : public IWorldAnimation {
  public:
    explicit AnimationService(const WorldServiceParams &params)
        : _resources(params.resource_manager), _held(params.allocator), _player(params.allocator, params.thread_pool),
          _simple(params.allocator, _player), _blenders(params.allocator, params.thread_pool, _player),
          _machines(params.allocator, AnimationLookup{this, &find_animation}, params.thread_pool),
          _nodes(params.allocator)
    {
    }
    ~AnimationService() override
    {
        // The playbacks go with the members; nothing reads the animations after this.
        if (_resources)
            for (ResourceHold &h : _held)
                h.release(*_resources);
    }

    /// The loaded animation `name`, held (state machines find their animations here).
    const AnimationView *hold_animation(u64 name)
    {
        const auto *a = _resources ? static_cast<const AnimationResource *>(
                                         _resources->get(animation_type, NameId64::from_value(name)))
                                   : nullptr;
        hold(a);
        return a ? &a->view : nullptr;
    }

    bool is_available() const override { return true; }

    void update_state_machines(f32 dt) override { _machines.update(dt); }
    void update_simple(f32 dt) override { _simple.update(dt); }
    // The playbacks are sampled in update_blenders, which comes right after: the blend
    // job follows the sampling job on the workers.
    void update_player() override {}
    void update_blenders(f32 dt) override
    {
        _blenders.sample_and_update(dt);
        release_unused();
    }
    void write_poses() override { _simple.write_poses(); }

    void play_simple(SceneGraph &graph, const UnitResource &resource, const UnitSimpleAnimation &group,
                     const SimpleAnimationParams &params) override
    {
        AnimationView view;
        const char *why = nullptr;
        if (!_simple.has_playback(graph, &group)) {
            if (!read_animation(resource.bytes(resource.simple_animation_data), resource.simple_animation_data.size, view,
                                &why)) {
                log_message("animation", "a unit's simple-animation data is not a valid animation (%s); not played",
                            why);
                return;
            }
        }
        _nodes.resize(group.nodes.count);
        if (_nodes.size() != group.nodes.count)
            return;
        for (u32 k = 0; k < group.nodes.count; ++k)
            _nodes[k] = resource.word(group.nodes, k);
        (void)_simple.play(graph, &group, view, _nodes.data(), _nodes.size(), params);
    }
    void stop_simple(SceneGraph &graph, const UnitSimpleAnimation &group) override { _simple.stop(graph, &group); }
    void stop_unit(SceneGraph &graph) override { _simple.stop_unit(graph); }
    bool has_playback(const SceneGraph &graph) const override { return _simple.is_playing(graph); }
    bool find_simple_playback(const SceneGraph &graph, const UnitSimpleAnimation &group) const override
    {
        return _simple.has_playback(graph, &group);
    }
    f32 simple_time(const SceneGraph &graph, const UnitSimpleAnimation &group) const override
    {
        return _simple.time(graph, &group);
    }
    f32 simple_speed(const SceneGraph &graph, const UnitSimpleAnimation &group) const override
    {
        return _simple.speed(graph, &group);
    }

    AnimationBlender *create_blender(SceneGraph &graph, const void *bones) override
    {
        return bones ? _blenders.create_blender(graph, *static_cast<const BonesResource *>(bones)) : nullptr;
    }
    void destroy_blender(AnimationBlender *blender) override
    {
        _blenders.destroy_blender(blender);
        release_unused();
    }
    i32 crossfade(AnimationBlender *blender, const void *animation, i32 layer, f32 blend_time, bool loop,
                  u32 offset_mode) override
    {
        const auto *resource = static_cast<const AnimationResource *>(animation);
        const AnimationView *view = resource ? &resource->view : nullptr;
        if (!blender || !view || layer < 0)
            return -1;
        hold(resource);
        u32 id = blender->crossfade(view, u32(layer), blend_time, loop, offset_mode ? blend_additive : blend_normal);
        return id == no_crossfade ? -1 : i32(id);
    }
    void set_time(AnimationBlender *blender, i32 id, f32 seconds) override
    {
        if (blender && id > 0)
            blender->set_time(u32(id), seconds);
    }
    void set_speed(AnimationBlender *blender, i32 id, f32 speed) override
    {
        if (blender && id > 0)
            blender->set_speed(u32(id), speed);
    }
    bool is_crossfading(const AnimationBlender *blender) const override
    {
        return blender && blender->is_crossfading();
    }
    void clear_blender(AnimationBlender *blender) override
    {
        if (blender)
            blender->clear();
        release_unused();
    }
    u32 root_mode(const AnimationBlender *blender) const override { return blender ? blender->root_mode() : 0; }
    void set_root_mode(AnimationBlender *blender, u32 mode) override
    {
        if (blender)
            blender->set_root_mode(mode);
    }
    bool wanted_root_delta(const AnimationBlender *blender, Quaternion &out_rotation,
                           Vector3 &out_translation) const override
    {
        if (!blender)
            return false;
        blender->wanted_root_delta(out_rotation, out_translation);
        return true;
    }
    AnimationStateMachine *create_state_machine(const void *resource, AnimationBlender *blender, Unit *unit) override
    {
        if (!resource || !blender)
            return nullptr;
        return _machines.create_state_machine(*static_cast<const StateMachineResource *>(resource), *blender,
                                              unit ? unit->handle() : 0);
    }
    void destroy_state_machine(AnimationStateMachine *machine) override { _machines.destroy_state_machine(machine); }
    void state_machine_event(AnimationStateMachine *machine, u32 event_id) override
    {
        if (machine)
            machine->event(event_id);
    }
    i32 find_variable(const AnimationStateMachine *machine, u32 name_id) const override
    {
        return machine ? machine->find_variable(name_id) : -1;
    }
    bool get_variable(const AnimationStateMachine *machine, u32 index, f32 &out_value) const override
    {
        return machine && machine->variable(index, out_value);
    }
    bool set_variable(AnimationStateMachine *machine, u32 index, f32 value) override
    {
        return machine && machine->set_variable(index, value);
    }
    Array<u8> *event_stream() override { return &_machines.events(); }
    void hash_state(StateHasher &hasher) const override
    {
        _player.hash_state(hasher);
        _simple.hash_state(hasher);
        _blenders.hash_state(hasher);
    }

    AnimationPlayer &player() { return _player; }
    SimpleAnimationPlayer &simple() { return _simple; }

    AnimationBlenders &blenders() { return _blenders; }
    AnimationStateMachines &machines() { return _machines; }

  private:
    /// Holds `a` when it is the manager's and not held yet.
    void hold(const AnimationResource *a)
    {
        if (!a || !_resources)
            return;
        for (const ResourceHold &h : _held)
            if (h.data == a)
                return;
        ResourceHold h;
        if (h.hold_data(*_resources, animation_type, NameId64::from_value(a->name), a) && !_held.push_back(h))
            h.release(*_resources); // no memory to remember it: not held (logged by the array)
    }
    void release_unused()
    {
        for (u32 i = 0; i < _held.size();) {
            const auto *a = static_cast<const AnimationResource *>(_held[i].data);
            if (_blenders.uses_animation(&a->view)) {
                ++i;
                continue;
            }
            _held[i].release(*_resources);
            _held[i] = _held.back();
            _held.pop_back();
        }
    }

    ResourceManager *_resources;
    Array<ResourceHold> _held; // "animation" resources records of the blenders play
    AnimationPlayer _player;
    SimpleAnimationPlayer _simple;
    AnimationBlenders _blenders;
    AnimationStateMachines _machines;
    Array<u32> _nodes; // scratch of play_simple
};

const AnimationView *find_animation(const void *context, u64 name)
{
    return static_cast<AnimationService *>(const_cast<void *>(context))->hold_animation(name);
}

} // namespace

IWorldAnimation *create_animation_service(const WorldServiceParams &params)
{
    return make_new<AnimationService>(params.allocator, params);
}

AnimationPlayer *animation_player_of(IWorldAnimation &service)
{
    auto *s = dynamic_cast<AnimationService *>(&service);
    return s ? &s->player() : nullptr;
}

SimpleAnimationPlayer *simple_animation_player_of(IWorldAnimation &service)
{
    auto *s = dynamic_cast<AnimationService *>(&service);
    return s ? &s->simple() : nullptr;
}

AnimationBlenders *animation_blenders_of(IWorldAnimation &service)
{
    auto *s = dynamic_cast<AnimationService *>(&service);
    return s ? &s->blenders() : nullptr;
}

AnimationStateMachines *animation_state_machines_of(IWorldAnimation &service)
{
    auto *s = dynamic_cast<AnimationService *>(&service);
    return s ? &s->machines() : nullptr;
}

} // namespace tallow
