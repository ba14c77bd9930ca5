#pragma once
// Worlds for the flow, level and event tests: recording fakes for scripts, sound,
// particles, animation (a small simple-animation player with the engine's end-callback
// timing) and physics (actors with flow targets and an event stream), all writing into
// one trace. Units come either straight from resources (`unit_resource`) or, for nodes
// that spawn by name, through a resource manager over a temporary database (`load`).

#include "tests/resource/resource_fixture.h"
#include "tests/support/writers/flow_graph_writer.h"
#include "tests/support/writers/level_writer.h"
#include "tests/support/writers/unit_resource_writer.h"
#include "world/flow/flow.h"
#include "world/flow/flow_script.h"
#include "world/levels/level.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"
#include "world/services/world_animation.h"

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tallow::test {

using Trace = std::vector<std::string>;

inline std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline std::string fmt(const char *format, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

constexpr u32 nc = flow_not_connected;

inline u32 id(const char *name) { return NameId32(name).value(); }

inline Matrix4x4 translation_matrix(f32 x, f32 y, f32 z)
{
    Matrix4x4 m = matrix4x4_identity;
    set_translation(m, {x, y, z});
    return m;
}

/// A script-string node whose text is its name: running it leaves the name in the trace.
inline u32 mark(FlowGraphWriter &g, const char *name, const std::vector<u32> &next = {}, std::vector<u32> slots = {})
{
    std::vector<u32> data{g.add_text(name)};
    slots.resize(10, 0);
    for (u32 i = 0; i < 5; ++i)
        if (slots[2 * i] == 0)
            slots[2 * i + 1] = nc;
    FlowGraphWriter::push(data, slots);
    FlowGraphWriter::push(data, flow_list(next));
    return g.add_node(flow_script_string, data);
}

/// An event source (unit value in `unit_var`) that event `event` reaches; fires `next`.
inline u32 source(FlowGraphWriter &g, const char *event, const std::vector<u32> &next, u32 unit_var = nc)
{
    std::vector<u32> data{unit_var};
    FlowGraphWriter::push(data, flow_list(next));
    u32 n = g.add_node(flow_unit_source, data);
    g.add_event(event ? id(event) : unit_spawn_event, flow_target(n));
    return n;
}

class RecordingScript final : public IFlowScript {
  public:
    explicit RecordingScript(Trace &trace) : _trace(trace) {}
    void callback(i32 reference, const char *method, UnitHandle unit) override
    {
        _trace.push_back(fmt("callback %d %s %s", reference, method, unit ? "unit" : "none"));
        if (on_callback)
            on_callback(method, unit);
    }
    void call_method_with_args(const char *table, const char *function, u32 count, const FlowArgument *types,
                               const void *const *values) override
    {
        std::string s = fmt("call %s.%s", table ? table : "_G", function);
        for (u32 i = 0; i < count; ++i)
            s += " " + value(types[i], values[i]);
        _trace.push_back(s);
    }
    void call_method_with_table(const char *table, const char *function, u32 count, const FlowArgument *types,
                                const void *const *values, const char *const *names) override
    {
        std::string s = fmt("table %s.%s", table ? table : "_G", function);
        for (u32 i = 0; i < count; ++i)
            s += std::string(" ") + names[i] + "=" + value(types[i], values[i]);
        _trace.push_back(s);
    }
    void do_string(const char *code, u32 count, const FlowArgument *types, const void *const *values) override
    {
        std::string s = code;
        for (u32 i = 0; i < count; ++i)
            s += " " + value(types[i], values[i]);
        _trace.push_back(s);
        if (on_string)
            on_string(code);
    }
    void release_reference(i32 reference) override { _trace.push_back(fmt("release %d", reference)); }

    static std::string value(FlowArgument type, const void *v)
    {
        if (!v)
            return "nil";
        f32 f[4];
        u32 u;
        switch (type) {
        case FlowArgument::Float:
            memcpy(f, v, 4);
            return fmt("%g", f[0]);
        case FlowArgument::Vector3:
            memcpy(f, v, 12);
            return fmt("(%g %g %g)", f[0], f[1], f[2]);
        case FlowArgument::Bool:
            memcpy(&u, v, 4);
            return u ? "true" : "false";
        case FlowArgument::String:
            return static_cast<const char *>(v);
        case FlowArgument::Unit:
            return "unit";
        default:
            return "?";
        }
    }

    std::function<void(const char *, UnitHandle)> on_callback;
    std::function<void(const char *)> on_string;

  private:
    Trace &_trace;
};

class RecordingSound final : public ISoundWorld {
  public:
    explicit RecordingSound(Trace &trace) : _trace(trace) {}
    void update(f32) override {}
    u32 play(u64, bool looping, u32) override
    {
        _trace.push_back(fmt("sound play %s", looping ? "loop" : "once"));
        return 7;
    }
    void stop(u32 s) override { _trace.push_back(fmt("sound stop %u", s)); }
    void set_source_range(u32 s, f32 r) override { _trace.push_back(fmt("sound %u range %g", s, r)); }
    void set_source_volume(u32 s, f32 v) override { _trace.push_back(fmt("sound %u volume %g", s, v)); }
    void set_source_pose(u32 s, const Matrix4x4 &m) override
    {
        _trace.push_back(fmt("sound %u at %g %g %g", s, m.m[3][0], m.m[3][1], m.m[3][2]));
    }
    void link_source(u32 s, UnitHandle, u32 node) override { _trace.push_back(fmt("sound %u linked %u", s, node)); }

  private:
    Trace &_trace;
};

class RecordingParticles final : public IParticleWorld {
  public:
    explicit RecordingParticles(Trace &trace) : _trace(trace) {}
    void update(f32) override {}
    u32 create_particles(u64, const Matrix4x4 &m) override
    {
        _trace.push_back(fmt("particles at %g %g %g", m.m[3][0], m.m[3][1], m.m[3][2]));
        return 3;
    }
    void link_particles(u32 id, UnitHandle, u32 node, const Matrix4x4 &, u32) override
    {
        _trace.push_back(fmt("particles %u linked %u", id, node));
    }
    void stop_spawning(u32 id) override { _trace.push_back(fmt("particles %u stop", id)); }
    void destroy_particles(u32 id) override { _trace.push_back(fmt("particles %u destroy", id)); }

  private:
    Trace &_trace;
};

/// Simple playbacks keyed by (graph, group). A non-looping playback that stands at its
/// end calls its end callback at the start of the next update_simple and is removed.
class FakeAnimation final : public IWorldAnimation {
  public:
    explicit FakeAnimation(Trace &trace, Allocator &allocator) : _trace(trace), events(allocator) {}
    struct Playback {
        SimpleAnimationParams params;
        f32 time = 0;
    };
    using Key = std::pair<const SceneGraph *, const UnitSimpleAnimation *>;

    void update_state_machines(f32) override {}
    void update_simple(f32 dt) override
    {
        std::vector<std::pair<Key, AnimationEndCallback>> done;
        for (auto &[key, p] : playbacks)
            if (!p.params.loop && p.time == p.params.to)
                done.push_back({key, p.params.end_callback});
        for (auto &[key, cb] : done) {
            playbacks.erase(key);
            if (cb.function)
                cb.function(cb.data);
        }
        for (auto &[key, p] : playbacks) {
            f32 t = p.time + dt * p.params.speed;
            bool forward = p.params.speed >= 0;
            if (forward ? t >= p.params.to : t <= p.params.to)
                t = p.params.loop ? p.params.from : p.params.to;
            p.time = t;
        }
    }
    void update_player() override {}
    void update_blenders(f32) override {}
    void write_poses() override {}
    void play_simple(SceneGraph &graph, const UnitResource &, const UnitSimpleAnimation &group,
                     const SimpleAnimationParams &params) override
    {
        Playback p{params, params.start_time == animation_default_time ? params.from : params.start_time};
        playbacks[{&graph, &group}] = p;
        _trace.push_back(fmt("play %g->%g from %g speed %g%s%s", params.from, params.to, p.time, params.speed,
                             params.loop ? " loop" : "", params.end_callback.function ? " cb" : ""));
    }
    void stop_simple(SceneGraph &graph, const UnitSimpleAnimation &group) override
    {
        playbacks.erase({&graph, &group});
        _trace.push_back("stop");
    }
    void stop_unit(SceneGraph &graph) override
    {
        for (auto i = playbacks.begin(); i != playbacks.end();)
            i = i->first.first == &graph ? playbacks.erase(i) : std::next(i);
    }
    bool has_playback(const SceneGraph &graph) const override
    {
        for (auto &[key, p] : playbacks)
            if (key.first == &graph)
                return true;
        return false;
    }
    bool find_simple_playback(const SceneGraph &g, const UnitSimpleAnimation &a) const override
    {
        return playbacks.count({&g, &a}) > 0;
    }
    f32 simple_time(const SceneGraph &g, const UnitSimpleAnimation &a) const override
    {
        auto i = playbacks.find({&g, &a});
        return i == playbacks.end() ? 0 : i->second.time;
    }
    f32 simple_speed(const SceneGraph &g, const UnitSimpleAnimation &a) const override
    {
        auto i = playbacks.find({&g, &a});
        return i == playbacks.end() ? 0 : i->second.params.speed;
    }
    AnimationBlender *create_blender(SceneGraph &, const void *) override { return nullptr; }
    void destroy_blender(AnimationBlender *) override {}
    i32 crossfade(AnimationBlender *, const void *, i32, f32, bool, u32) override { return -1; }
    void set_time(AnimationBlender *, i32, f32) override {}
    void set_speed(AnimationBlender *, i32, f32) override {}
    bool is_crossfading(const AnimationBlender *) const override { return false; }
    AnimationStateMachine *create_state_machine(const void *, AnimationBlender *, Unit *) override { return nullptr; }
    void destroy_state_machine(AnimationStateMachine *) override {}
    void state_machine_event(AnimationStateMachine *, u32 id) override { _trace.push_back(fmt("machine %x", id)); }
    i32 find_variable(const AnimationStateMachine *, u32) const override { return -1; }
    Array<u8> *event_stream() override { return &events; }

    std::map<Key, Playback> playbacks;

  private:
    Trace &_trace;

  public:
    Array<u8> events;
};

/// Actors are numbered records {unit, level flag, targets}; ids carry a serial so a
/// released actor no longer resolves.
class EventPhysics final : public IPhysicsWorld {
  public:
    EventPhysics(Trace &trace, Allocator &allocator) : _trace(trace), events(allocator) {}
    struct Actor {
        PhysicsActorInfo info;
        u32 serial = 1;
        bool live = true;
    };
    void update(f32) override {}
    PhysicsActor *create_actor(const ActorCreateParams &) override { return nullptr; }
    void destroy_actor(PhysicsActor *a) override
    {
        u32 i = u32(reinterpret_cast<uintptr_t>(a)) - 1;
        actors[i].live = false;
        _trace.push_back(fmt("actor %u destroyed", i));
    }
    bool is_dynamic(const PhysicsActor *) const override { return false; }
    bool is_sleeping(const PhysicsActor *) const override { return true; }
    bool is_kinematic(const PhysicsActor *) const override { return false; }
    void set_kinematic(PhysicsActor *, bool) override {}
    PhysicsJoint *create_joint(const JointCreateParams &) override { return nullptr; }
    void destroy_joint(PhysicsJoint *) override {}
    PhysicsMover *create_mover(const MoverCreateParams &) override { return nullptr; }
    void destroy_mover(PhysicsMover *) override {}
    void set_pair_collision(PhysicsActor *, PhysicsActor *, bool) override {}
    Array<u8> *event_stream() override { return &events; }
    bool resolve_actor(PhysicsActorId id, PhysicsActorInfo &out) const override
    {
        if (id.index >= actors.size() || !actors[id.index].live || actors[id.index].serial != id.serial)
            return false;
        out = actors[id.index].info;
        return true;
    }
    bool resolve_mover(u32 mover, PhysicsMoverInfo &out) const override
    {
        auto i = movers.find(mover);
        if (i == movers.end())
            return false;
        out = i->second;
        return true;
    }
    PhysicsActor *create_trigger_volume(const TriggerVolumeParams &p) override
    {
        Actor a;
        a.info.level_actor = true;
        a.info.actor_index = p.volume_index;
        memcpy(a.info.targets, p.targets, sizeof p.targets);
        actors.push_back(a);
        _trace.push_back(fmt("trigger volume %u at %g %g %g box %g %g %g", p.volume_index, p.pose.m[3][0],
                             p.pose.m[3][1], p.pose.m[3][2], p.box.x, p.box.y, p.box.z));
        return reinterpret_cast<PhysicsActor *>(uintptr_t(actors.size()));
    }
    /// An actor of a unit; its id.
    PhysicsActorId add_actor(UnitHandle unit, u32 index, std::vector<u32> targets)
    {
        Actor a;
        a.info.unit = unit;
        a.info.actor_index = index;
        for (size_t i = 0; i < targets.size() && i < 5; ++i)
            a.info.targets[i] = targets[i];
        actors.push_back(a);
        return {u32(actors.size() - 1), 1};
    }
    PhysicsActorId id_of(u32 index) const { return {index, actors[index].serial}; }
    bool raycast(const Vector3 &origin, const Vector3 &direction, f32 length, Vector3 &out_hit) const override
    {
        return ground && direction.z < 0 && length > 0 && ground(origin, out_hit);
    }
    std::function<bool(const Vector3 &, Vector3 &)> ground; // scripted ray hits

    std::vector<Actor> actors;
    std::map<u32, PhysicsMoverInfo> movers;

  private:
    Trace &_trace;

  public:
    Array<u8> events;
};

/// Numbers render objects and records light overrides.
class LightRecordingLink final : public IWorldRenderLink {
  public:
    explicit LightRecordingLink(Trace &trace) : _trace(trace) {}
    void create_scene_graph(SceneGraph &) override {}
    void destroy_scene_graph(SceneGraph &) override {}
    u32 create_object(UnitRenderObject, const UnitRenderParams &) override { return _next++; }
    void destroy_object(UnitRenderObject, u32) override {}
    void set_visible(UnitRenderObject, u32, bool) override {}
    bool begin_change_records(u32, RenderStateStream **) override { return false; }
    void collect_deferred_releases() override {}
    void set_light_properties(u32 light, const u8 *block) override
    {
        f32 first;
        memcpy(&first, block, 4);
        _trace.push_back(fmt("light %u set %g", light, first));
    }

  private:
    Trace &_trace;
    u32 _next = 1;
};

class FlowFixture : public ResourceFixture {
  protected:
    void SetUp() override
    {
        install_flow();
        flow_random_reset();
        current() = this;
        factories.sound = [](const WorldServiceParams &p) -> ISoundWorld * {
            return make_new<RecordingSound>(p.allocator, current()->trace);
        };
        factories.particles = [](const WorldServiceParams &p) -> IParticleWorld * {
            return make_new<RecordingParticles>(p.allocator, current()->trace);
        };
        factories.animation = [](const WorldServiceParams &p) -> IWorldAnimation * {
            current()->animation = make_new<FakeAnimation>(p.allocator, current()->trace, p.allocator);
            return current()->animation;
        };
        factories.render = [](const WorldServiceParams &p) -> IWorldRenderLink * {
            return make_new<LightRecordingLink>(p.allocator, current()->trace);
        };
        factories.physics = [](const WorldServiceParams &p) -> IPhysicsWorld * {
            current()->physics = make_new<EventPhysics>(p.allocator, current()->trace, p.allocator);
            return current()->physics;
        };
    }

    void TearDown() override
    {
        if (world) {
            EXPECT_TRUE(world->validate());
            delete_with_allocator(allocator, world);
        }
        for (UnitResource *r : resources)
            destroy_unit_resource(r, default_allocator());
        for (LevelResource *r : levels)
            destroy_level_resource(r, default_allocator());
        for (auto &[type, name] : loaded)
            manager->unload(type, name, allocator);
        uninstall_flow();
        current() = nullptr;
        ResourceFixture::TearDown();
    }

    static FlowFixture *&current()
    {
        static FlowFixture *fixture = nullptr;
        return fixture;
    }

    /// Makes the World (after `load`, when the test spawns by name).
    void make_world()
    {
        WorldParams params;
        params.factories = &factories;
        params.resource_manager = manager;
        params.script = &script;
        world = make_new<World>(allocator, allocator, params);
    }

    /// Loads "unit" resources by name through a resource manager.
    void load(const std::vector<std::pair<std::string, std::vector<u8>>> &units)
    {
        std::vector<TestResource> resources_on_disk;
        for (auto &[name, bytes] : units)
            resources_on_disk.push_back({"unit", name, std::string(bytes.begin(), bytes.end())});
        load_resources(resources_on_disk);
    }
    void load_resources(const std::vector<TestResource> &resources_on_disk)
    {
        ASSERT_TRUE(write_database(files, resources_on_disk));
        start(true);
        ASSERT_TRUE(manager->register_type(unit_type, unit_resource_callbacks()));
        ASSERT_TRUE(manager->register_type(NameId64("level"), level_resource_callbacks()));
        for (const TestResource &r : resources_on_disk) {
            NameId64 type(r.type.c_str()), name(r.name.c_str());
            ASSERT_TRUE(manager->load(type, name, nullptr, allocator));
            loaded.push_back({type, name});
        }
        manager->flush();
    }

    LevelResource *level_resource(const LevelSource &source)
    {
        std::vector<u8> bytes = write_level_resource(source);
        LevelResource *r = read_level_resource(bytes.data(), bytes.size(), default_allocator());
        if (r)
            levels.push_back(r);
        return r;
    }

    const UnitResource &unit_resource(const UnitSource &source)
    {
        std::vector<u8> bytes = write_unit_resource(source);
        UnitResource *r = read_unit_resource(bytes.data(), bytes.size(), default_allocator());
        EXPECT_NE(r, nullptr);
        resources.push_back(r);
        return *r;
    }

    /// A one-node unit running `graph`.
    static UnitSource flow_unit(const FlowGraphWriter &graph)
    {
        UnitSource s;
        s.add_node("root", matrix4x4_identity, no_parent);
        s.flow_graph = graph.write();
        s.flow_variable_defaults = graph.defaults();
        return s;
    }

    Unit *spawn(const UnitResource &r, const Matrix4x4 &pose = matrix4x4_identity)
    {
        return world->spawn_unit_from_resource(r, nullptr, pose);
    }

    template <typename T> T variable(Unit &u, const char *name)
    {
        T v{};
        if (u8 *p = flow_unit_find_variable(u, NameId32(name).value()))
            memcpy(&v, p, sizeof v);
        return v;
    }

    void step(f32 dt = 0.1f)
    {
        world->update(dt);
        ASSERT_TRUE(world->validate());
    }

    Trace take()
    {
        Trace t;
        t.swap(trace);
        return t;
    }

    Trace trace;
    RecordingScript script{trace};
    WorldServiceFactories factories;
    FakeAnimation *animation = nullptr;
    EventPhysics *physics = nullptr;
    World *world = nullptr;
    std::vector<UnitResource *> resources;
    std::vector<LevelResource *> levels;
    std::vector<std::pair<NameId64, NameId64>> loaded;
};

} // namespace tallow::test
