// The null services every World gets until a subsystem plugs its own in. Each does nothing
// visible and logs once per process that its service is missing.
#include "foundation/containers/array.h"
#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "render/world/render_state_stream.h"
#include "world/units/scene_graph.h"
#include "world/services/world_animation.h"
#include "world/services/world_services.h"

#include <atomic>

namespace tallow {

namespace {

void say_missing_once(std::atomic<bool> &said, const char *service)
{
    if (!said.exchange(true))
        log_message("world", "no %s service: its calls do nothing", service);
}

class NullPhysicsWorld final : public IPhysicsWorld {
  public:
    void update(f32) override {}
    PhysicsActor *create_actor(const ActorCreateParams &) override
    {
        say_missing_once(_said, "physics");
        return nullptr;
    }
    void destroy_actor(PhysicsActor *) override {}
    bool is_dynamic(const PhysicsActor *) const override { return false; }
    bool is_sleeping(const PhysicsActor *) const override { return true; }
    bool is_kinematic(const PhysicsActor *) const override { return false; }
    void set_kinematic(PhysicsActor *, bool) override {}
    PhysicsJoint *create_joint(const JointCreateParams &) override
    {
        say_missing_once(_said, "physics");
        return nullptr;
    }
    void destroy_joint(PhysicsJoint *) override {}
    PhysicsMover *create_mover(const MoverCreateParams &) override
    {
        say_missing_once(_said, "physics");
        return nullptr;
    }
    void destroy_mover(PhysicsMover *) override {}
    void set_pair_collision(PhysicsActor *, PhysicsActor *, bool) override {}

  private:
    static inline std::atomic<bool> _said{false};
};

class NullSoundWorld final : public ISoundWorld {
  public:
    void update(f32) override {}
};

class NullParticleWorld final : public IParticleWorld {
  public:
    void update(f32) override {}
};

class NullGuiWorld final : public IGuiWorld {
  public:
    void update(f32) override {}
};

// Keeps the change records of one frame so the reflection has somewhere to write, and
// drops them at the frame's end.
class NullRenderLink final : public IWorldRenderLink {
  public:
    explicit NullRenderLink(Allocator &allocator) : _allocator(allocator), _streams(allocator) {}
    ~NullRenderLink() override
    {
        for (RenderStateStream *s : _streams)
            delete_with_allocator(_allocator, s);
    }

    void create_scene_graph(SceneGraph &) override { say_missing_once(_said, "render world"); }
    void destroy_scene_graph(SceneGraph &) override {}
    u32 create_object(UnitRenderObject, const UnitRenderParams &) override { return no_render_handle; }
    void destroy_object(UnitRenderObject, u32) override {}
    void set_visible(UnitRenderObject, u32, bool) override {}
    bool begin_change_records(u32 count, RenderStateStream **out_streams) override
    {
        for (u32 i = 0; i < count; ++i) {
            if (_used == _streams.size()) {
                RenderStateStream *s = make_new<RenderStateStream>(_allocator, _allocator);
                if (!s || !_streams.push_back(s)) {
                    delete_with_allocator(_allocator, s);
                    return false;
                }
            }
            out_streams[i] = _streams[_used++];
        }
        return true;
    }
    void collect_deferred_releases() override
    {
        for (u32 i = 0; i < _used; ++i)
            _streams[i]->reset();
        _used = 0;
    }

  private:
    static inline std::atomic<bool> _said{false};
    Allocator &_allocator;
    Array<RenderStateStream *> _streams; // kept for the next frames
    u32 _used = 0;
};

class NullWorldAnimation final : public IWorldAnimation {
  public:
    void update_state_machines(f32) override {}
    void update_simple(f32) override {}
    void update_player() override {}
    void update_blenders(f32) override {}
    void write_poses() override {}
    void play_simple(SceneGraph &, const UnitResource &, const UnitSimpleAnimation &,
                     const SimpleAnimationParams &) override
    {
        say_missing_once(_said, "animation");
    }
    void stop_simple(SceneGraph &, const UnitSimpleAnimation &) override {}
    void stop_unit(SceneGraph &) override {}
    bool has_playback(const SceneGraph &) const override { return false; }
    bool find_simple_playback(const SceneGraph &, const UnitSimpleAnimation &) const override { return false; }
    f32 simple_time(const SceneGraph &, const UnitSimpleAnimation &) const override { return 0; }
    f32 simple_speed(const SceneGraph &, const UnitSimpleAnimation &) const override { return 0; }
    AnimationBlender *create_blender(SceneGraph &, const void *) override
    {
        say_missing_once(_said, "animation");
        return nullptr;
    }
    void destroy_blender(AnimationBlender *) override {}
    i32 crossfade(AnimationBlender *, const void *, i32, f32, bool, u32) override { return -1; }
    void set_time(AnimationBlender *, i32, f32) override {}
    void set_speed(AnimationBlender *, i32, f32) override {}
    bool is_crossfading(const AnimationBlender *) const override { return false; }
    AnimationStateMachine *create_state_machine(const void *, AnimationBlender *, Unit *) override
    {
        say_missing_once(_said, "animation");
        return nullptr;
    }
    void destroy_state_machine(AnimationStateMachine *) override {}
    void state_machine_event(AnimationStateMachine *, u32) override {}
    i32 find_variable(const AnimationStateMachine *, u32) const override { return -1; }

  private:
    static inline std::atomic<bool> _said{false};
};

} // namespace

IPhysicsWorld *create_null_physics_world(const WorldServiceParams &p) { return make_new<NullPhysicsWorld>(p.allocator); }
ISoundWorld *create_null_sound_world(const WorldServiceParams &p) { return make_new<NullSoundWorld>(p.allocator); }
IParticleWorld *create_null_particle_world(const WorldServiceParams &p) { return make_new<NullParticleWorld>(p.allocator); }
IGuiWorld *create_null_gui_world(const WorldServiceParams &p) { return make_new<NullGuiWorld>(p.allocator); }
IWorldRenderLink *create_null_render_link(const WorldServiceParams &p)
{
    return make_new<NullRenderLink>(p.allocator, p.allocator);
}
IWorldAnimation *create_null_world_animation(const WorldServiceParams &p)
{
    return make_new<NullWorldAnimation>(p.allocator);
}

} // namespace tallow
