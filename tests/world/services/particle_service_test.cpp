// The World's particle service over a real render world: effects made by name, and the
// height-grid request of an effect answered with the physics world's rays and sent back by
// effect id (no memory is shared between the sides).
#include "render/particles/render_particle_world.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "tests/render/particles/particle_fixture.h"
#include "tests/resource/resource_fixture.h"
#include "world/world.h"
#include "world/services/world_particle_service.h"

#include <cstring>

namespace tallow::test {
namespace {

// Ground at z = 2 everywhere; rays counted.
class GroundPhysics final : public IPhysicsWorld {
  public:
    void update(f32) override {}
    PhysicsActor *create_actor(const ActorCreateParams &) override { return nullptr; }
    void destroy_actor(PhysicsActor *) override {}
    bool is_dynamic(const PhysicsActor *) const override { return false; }
    bool is_sleeping(const PhysicsActor *) const override { return true; }
    bool is_kinematic(const PhysicsActor *) const override { return false; }
    void set_kinematic(PhysicsActor *, bool) override {}
    PhysicsJoint *create_joint(const JointCreateParams &) override { return nullptr; }
    void destroy_joint(PhysicsJoint *) override {}
    PhysicsMover *create_mover(const MoverCreateParams &) override { return nullptr; }
    void destroy_mover(PhysicsMover *) override {}
    void set_pair_collision(PhysicsActor *, PhysicsActor *, bool) override {}
    bool raycast(const Vector3 &origin, const Vector3 &direction, f32, Vector3 &out_hit) const override
    {
        ++rays;
        if (direction.z >= 0 || origin.z < 2)
            return false;
        out_hit = {origin.x, origin.y, 2.0f};
        return true;
    }
    mutable u32 rays = 0;
};

class ParticleServiceTest : public ResourceFixture {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(write_database(files, {{"particles", "effects/rain",
                                            bytes(write_particle_effect(typical_effect(64, 100)))}}));
        start(true);
        manager->register_type(NameId64("particles"), particle_resource_callbacks());
        ASSERT_TRUE(manager->load(NameId64("particles"), NameId64("effects/rain"), nullptr, allocator));
        manager->flush();
        render = std::make_unique<RenderWorld>(allocator, nullptr);
        link = std::make_unique<WorldRenderLink>(allocator, render->acquire_state_buffer());
        factories.particles = create_particle_service;
        factories.physics = [](const WorldServiceParams &p) -> IPhysicsWorld * { return make_new<GroundPhysics>(p.allocator); };
        WorldParams params;
        params.factories = &factories;
        params.resource_manager = manager;
        params.render_world = render.get();
        params.render_link = link.get();
        world = make_new<World>(allocator, allocator, params);
    }
    void TearDown() override
    {
        delete_with_allocator(allocator, world);
        render_frame(0);
        link.reset();
        render.reset();
        manager->unload(NameId64("particles"), NameId64("effects/rain"), allocator);
        ResourceFixture::TearDown();
    }
    static std::string bytes(const std::vector<u8> &v) { return std::string(v.begin(), v.end()); }
    // What the world-update message does on the render thread.
    void render_frame(f32 dt)
    {
        RenderStateQueue *filled = link->swap_state(render->acquire_state_buffer());
        render->update_state(*filled, nullptr);
        render->release_state_buffer(filled);
        link->handles().collect();
        if (RenderParticleWorld *p = render->particle_world())
            p->update_from_world(dt, nullptr);
    }

    WorldServiceFactories factories;
    std::unique_ptr<RenderWorld> render;
    std::unique_ptr<WorldRenderLink> link;
    World *world = nullptr;
};

TEST_F(ParticleServiceTest, GridRequestsAreAnsweredWithRaysById)
{
    ASSERT_TRUE(world->particles().is_available());
    Matrix4x4 pose = matrix4x4_identity;
    pose.m[3][2] = 10;
    const u32 id = world->particles().create_particles(NameId64("effects/rain").value(), pose);
    EXPECT_EQ(world->particles().create_particles(NameId64("effects/none").value(), pose), no_particle_effect);
    render_frame(0.05f); // the effect is made and asks for its grid
    world->update(0.05f);  // the service casts the rays and sends the heights
    auto &physics = static_cast<GroundPhysics &>(world->physics());
    EXPECT_EQ(physics.rays, 25u) << "one ray per point of the 5 x 5 grid";
    render_frame(0.05f); // the heights arrive
    ParticleEffect *effect = render->particle_world()->find(id);
    ASSERT_NE(effect, nullptr);
    // The grid sits behind the noise op's 8 state bytes and the bursts' and emission's 16.
    const u8 *state = effect->system(0).state();
    bool found = false;
    for (u32 at = 0; at + 24 <= effect->system(0).info->state_bytes; at += 4) {
        ParticleGridHeader h;
        memcpy(&h, state + at, sizeof h);
        if (h.n == 5 && h.heights_offset == 20) {
            f32 first;
            memcpy(&first, state + at + 20, 4);
            EXPECT_EQ(first, 2.0f);
            found = true;
            break;
        }
    }
    EXPECT_TRUE(found);
    world->update(0.05f);
    EXPECT_EQ(physics.rays, 25u) << "asked once";
}

} // namespace
} // namespace tallow::test
