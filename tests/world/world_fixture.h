#pragma once
// A World over recording fakes: a render link that numbers scene graphs and keeps each
// frame's change records, a physics world whose actors are plain records with scripted
// dynamic/sleeping flags, and a flow runner that logs the events it is asked to run.
// Unit resources come from the shared writer. `step` updates the world and checks its
// invariants; every World test goes through it.

#include "foundation/memory/memory_globals.h"
#include "foundation/memory/trace_allocator.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_state_stream.h"
#include "tests/support/writers/unit_resource_writer.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tallow::test {

inline Matrix4x4 translation_matrix(f32 x, f32 y, f32 z)
{
    Matrix4x4 m = matrix4x4_identity;
    set_translation(m, {x, y, z});
    return m;
}

/// Rotation about z by `radians`, then scale, then translation.
inline Matrix4x4 pose_matrix(f32 radians, f32 scale, Vector3 t)
{
    Matrix4x4 m = matrix4x4_identity;
    f32 c = std::cos(radians) * scale, s = std::sin(radians) * scale;
    m.m[0][0] = c, m.m[0][1] = s, m.m[1][0] = -s, m.m[1][1] = c, m.m[2][2] = scale;
    set_translation(m, t);
    return m;
}

inline bool near(const Matrix4x4 &a, const Matrix4x4 &b, f32 eps = 1e-4f)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (std::fabs(a.m[i][j] - b.m[i][j]) > eps)
                return false;
    return true;
}

struct ChangeRecord {
    u32 render_handle;
    std::vector<u32> nodes;
};

class RecordingRenderLink final : public IWorldRenderLink {
  public:
    explicit RecordingRenderLink(Allocator &allocator) : _allocator(allocator) {}

    void create_scene_graph(SceneGraph &graph) override { graph.render_handle_field() = _next_graph++; }
    void destroy_scene_graph(SceneGraph &) override {}
    u32 create_object(UnitRenderObject kind, const UnitRenderParams &) override
    {
        created.push_back(kind);
        return _next_object++;
    }
    void destroy_object(UnitRenderObject, u32 handle) override { destroyed.push_back(handle); }
    void set_visible(UnitRenderObject, u32 handle, bool visible) override { visibility[handle] = visible; }
    bool begin_change_records(u32 count, RenderStateStream **out_streams) override
    {
        for (u32 i = 0; i < count; ++i) {
            _streams.emplace_back(std::make_unique<RenderStateStream>(_allocator));
            out_streams[i] = _streams.back().get();
        }
        return true;
    }
    void collect_deferred_releases() override { ++releases; }

    /// The change records written since the last call, in batch order.
    std::vector<ChangeRecord> take_records()
    {
        std::vector<ChangeRecord> out;
        for (auto &stream : _streams) {
            RenderStateStream::Record r;
            for (u32 at = stream->first_record(); stream->read(at, r);) {
                SceneGraphChangeHeader h;
                memcpy(&h, r.payload, sizeof h);
                ChangeRecord c{h.render_handle, {}};
                for (u32 i = 0; i < h.count; ++i) {
                    SceneGraphChangeEntry e;
                    memcpy(&e, r.payload + h.entries_offset + i * sizeof e, sizeof e);
                    c.nodes.push_back(e.node);
                }
                out.push_back(c);
            }
        }
        _streams.clear();
        return out;
    }

    std::vector<UnitRenderObject> created;
    std::vector<u32> destroyed;
    std::map<u32, bool> visibility;
    u32 releases = 0;

  private:
    Allocator &_allocator;
    u32 _next_graph = 100;
    u32 _next_object = 1;
    std::vector<std::unique_ptr<RenderStateStream>> _streams;
};

struct FakeActor {
    Matrix4x4 pose;
    u32 template_name;
    bool dynamic = false;
    bool sleeping = false;
    bool kinematic = false;
};
struct FakeJoint {
    JointCreateParams params;
};

class FakePhysicsWorld final : public IPhysicsWorld {
  public:
    void update(f32) override
    {
        ++steps;
        if (on_step)
            on_step();
    }
    PhysicsActor *create_actor(const ActorCreateParams &p) override
    {
        actors.push_back(std::make_unique<FakeActor>(FakeActor{p.pose, p.actor->name_id}));
        actors.back()->dynamic = dynamic_templates.count(p.actor->actor_template) > 0;
        return reinterpret_cast<PhysicsActor *>(actors.back().get());
    }
    void destroy_actor(PhysicsActor *a) override { destroyed_actors.push_back(fake(a)); }
    bool is_dynamic(const PhysicsActor *a) const override { return fake(a)->dynamic; }
    bool is_sleeping(const PhysicsActor *a) const override { return fake(a)->sleeping; }
    bool is_kinematic(const PhysicsActor *a) const override { return fake(a)->kinematic; }
    void set_kinematic(PhysicsActor *a, bool k) override { fake(a)->kinematic = k; }
    PhysicsJoint *create_joint(const JointCreateParams &p) override
    {
        joints.push_back(std::make_unique<FakeJoint>(FakeJoint{p}));
        return reinterpret_cast<PhysicsJoint *>(joints.back().get());
    }
    void destroy_joint(PhysicsJoint *) override {}
    PhysicsMover *create_mover(const MoverCreateParams &) override
    {
        ++movers;
        return reinterpret_cast<PhysicsMover *>(&movers);
    }
    void destroy_mover(PhysicsMover *) override { --movers; }
    void set_pair_collision(PhysicsActor *a, PhysicsActor *b, bool collide) override
    {
        pairs_off.push_back({fake(a), fake(b)});
        (void)collide;
    }

    static FakeActor *fake(const PhysicsActor *a) { return reinterpret_cast<FakeActor *>(const_cast<PhysicsActor *>(a)); }

    std::vector<std::unique_ptr<FakeActor>> actors;
    std::vector<FakeActor *> destroyed_actors;
    std::vector<std::unique_ptr<FakeJoint>> joints;
    std::vector<std::pair<FakeActor *, FakeActor *>> pairs_off;
    std::map<u32, bool> dynamic_templates; // actor template ids made dynamic
    int movers = 0;
    u32 steps = 0;
    std::function<void()> on_step;
};

struct FlowCall {
    UnitHandle handle;
    u32 target; // unit_spawn_event for spawn events
    f32 world_time;
};

class WorldFixture : public testing::Test {
  protected:
    void SetUp() override
    {
        current() = this;
        factories.render = [](const WorldServiceParams &p) -> IWorldRenderLink * {
            current()->render = make_new<RecordingRenderLink>(p.allocator, p.allocator);
            return current()->render;
        };
        factories.physics = [](const WorldServiceParams &p) -> IPhysicsWorld * {
            current()->physics = make_new<FakePhysicsWorld>(p.allocator);
            return current()->physics;
        };
        UnitFlowRunner runner;
        runner.context = this;
        runner.spawn_event = [](void *c, World &w, Unit &u) { static_cast<WorldFixture *>(c)->on_flow(w, u, unit_spawn_event); };
        runner.event_by_index = [](void *c, World &w, Unit &u, u32 target) {
            static_cast<WorldFixture *>(c)->on_flow(w, u, target);
        };
        set_unit_flow_runner(runner);
        WorldParams params;
        params.factories = &factories;
        params.thread_pool = pool();
        world = make_new<World>(allocator, allocator, params);
    }

    void TearDown() override
    {
        EXPECT_TRUE(world->validate());
        delete_with_allocator(allocator, world);
        for (UnitResource *r : resources)
            destroy_unit_resource(r, default_allocator());
        set_unit_flow_runner({});
        EXPECT_EQ(allocator.allocation_count(), 0u);
        current() = nullptr;
    }

    virtual ThreadPool *pool() { return nullptr; }

    static WorldFixture *&current()
    {
        static WorldFixture *fixture = nullptr;
        return fixture;
    }

    void on_flow(World &w, Unit &u, u32 target)
    {
        flow_calls.push_back({u.handle(), target, w.world_time()});
        if (flow_action)
            flow_action(w, u, target);
    }

    const UnitResource &resource(const UnitSource &source)
    {
        std::vector<u8> bytes = write_unit_resource(source);
        UnitResource *r = read_unit_resource(bytes.data(), bytes.size(), default_allocator());
        EXPECT_NE(r, nullptr);
        resources.push_back(r);
        return *r;
    }

    /// A unit of `nodes` nodes in a chain (node i's parent is i - 1), each one unit along x.
    const UnitResource &chain(u32 nodes)
    {
        UnitSource s;
        for (u32 i = 0; i < nodes; ++i)
            s.add_node(("n" + std::to_string(i)).c_str(), i ? translation_matrix(1, 0, 0) : matrix4x4_identity,
                       i ? i - 1 : no_parent);
        return resource(s);
    }

    Unit *spawn(const UnitResource &r, const Matrix4x4 &pose = matrix4x4_identity)
    {
        Unit *u = world->spawn_unit_from_resource(r, nullptr, pose);
        EXPECT_TRUE(world->validate());
        return u;
    }

    void step(f32 dt = 1.0f / 30)
    {
        world->update(dt);
        ASSERT_TRUE(world->validate()) << "list-index invariant broken at frame " << world->frame_counter();
    }

    TraceAllocator allocator{"world_test", default_allocator()};
    WorldServiceFactories factories;
    World *world = nullptr;
    RecordingRenderLink *render = nullptr;
    FakePhysicsWorld *physics = nullptr;
    std::vector<UnitResource *> resources;
    std::vector<FlowCall> flow_calls;
    std::function<void(World &, Unit &, u32)> flow_action;
};

} // namespace tallow::test
