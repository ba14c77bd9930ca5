#include "animation/world_animation_service.h"

#include "animation/animation_player.h"
#include "animation/simple_animation_player.h"
#include "foundation/log.h"
#include "world/unit_resource.h"
#include "world/world_animation.h"

#include <atomic>

namespace tallow {

namespace {

class AnimationService final : public IWorldAnimation {
  public:
    explicit AnimationService(const WorldServiceParams &params)
        : _player(params.allocator, params.thread_pool), _simple(params.allocator, _player), _nodes(params.allocator)
    {
    }

    bool is_available() const override { return true; }

    void update_state_machines(f32) override {}
    void update_simple(f32 dt) override { _simple.update(dt); }
    void update_player() override { _player.update(); }
    void update_blenders(f32) override {}
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

    AnimationBlender *create_blender(SceneGraph &, const void *) override
    {
        say_not_built();
        return nullptr;
    }
    void destroy_blender(AnimationBlender *) override {}
    i32 crossfade(AnimationBlender *, const void *, i32, f32, bool, u32) override { return -1; }
    void set_time(AnimationBlender *, i32, f32) override {}
    void set_speed(AnimationBlender *, i32, f32) override {}
    bool is_crossfading(const AnimationBlender *) const override { return false; }
    AnimationStateMachine *create_state_machine(const void *, AnimationBlender *, Unit *) override
    {
        say_not_built();
        return nullptr;
    }
    void destroy_state_machine(AnimationStateMachine *) override {}
    void state_machine_event(AnimationStateMachine *, u32) override {}
    i32 find_variable(const AnimationStateMachine *, u32) const override { return -1; }

    AnimationPlayer &player() { return _player; }
    SimpleAnimationPlayer &simple() { return _simple; }

  private:
    static void say_not_built()
    {
        static std::atomic<bool> said{false};
        if (!said.exchange(true))
            log_message("animation", "animation blenders and state machines are not built yet; units play none");
    }

    AnimationPlayer _player;
    SimpleAnimationPlayer _simple;
    Array<u32> _nodes; // scratch of play_simple
};

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

} // namespace tallow
