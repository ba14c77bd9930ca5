// The World's particle functions over a whole Application on the Direct3D device (headless
// layer) whose worlds have the particle service, with a "particles" resource in its data.
#include "boot_script_fixture.h"

#include "render/d3d11/d3d_render_device.h"
#include "render/interface/render_interface.h"
#include "render/interface/render_service.h"
#include "render/particles/render_particle_world.h"
#include "render/world/render_world.h"
#include "tests/render/particles/particle_fixture.h"
#include "world/world.h"
#include "world/services/world_particle_service.h"

namespace tallow::test {
namespace {

IRenderService *make_render_service(Allocator &allocator, Application &application)
{
    return create_render_service(allocator, application.thread_registry(), application.thread_pool(),
                                 &render::d3d11::create_d3d_render_device);
}

std::string bytes_of(const std::vector<u8> &v) { return std::string(v.begin(), v.end()); }

class WorldParticleApiTest : public BootScriptTest {
  protected:
    WorldParticleApiTest()
    {
        services.create_render = &make_render_service;
        world_services.particles = create_particle_service;
        write_data({
            {"package", "boot", package_resource({{"unit", "units/arm"}, {"particles", "effects/puff"}})},
            {"package", "core/renderer", package_resource({})},
            {"unit", "units/arm",
             compiled_unit("nodes = [ { name = \"root\" }\n"
                           "  { name = \"tip\" parent = \"root\" position = [4 0 0] } ]\n")},
            {"particles", "effects/puff", bytes_of(write_particle_effect(typical_effect(64, 100)))},
        });
    }
    RenderInterface &render() { return *app->render_interface(); }
    void settle() { render().wait_fence(render().add_fence()); }
    RenderParticleWorld *particles()
    {
        World *world = app->worlds().empty() ? nullptr : app->worlds()[0];
        RenderWorld *rw = world ? render().render_world_of(world) : nullptr;
        return rw ? rw->particle_world() : nullptr;
    }
};

TEST_F(WorldParticleApiTest, ScriptsCreateMoveLinkStopAndDestroyEffects)
{
    EXPECT_EQ(run_boot("w = Application.new_world()\n"
                       "a = World.create_particles(w, 'effects/puff', Vector3(1, 2, 3))\n"
                       "b = World.create_particles(w, 'effects/puff', Vector3(0, 0, 0), Quaternion(Vector3.up(), 1))\n"
                       "c = World.create_particles(w, 'effects/puff', Vector3(0, 0, 0))\n"
                       "assert(a == 0 and b == 1 and c == 2, tostring(a) .. ' ' .. tostring(b))\n"
                       "assert(World.create_particles(w, 'effects/missing', Vector3(0, 0, 0)) == -1)\n"
                       "arm = World.spawn_unit(w, 'units/arm', Vector3(10, 0, 0))\n"
                       "World.link_particles(w, c, arm, 1, Matrix4x4.identity(), 'unlink')\n"
                       "local ok, err = pcall(World.link_particles, w, c, arm, 1, Matrix4x4.identity(), 'keep')\n"
                       "assert(not ok and err:find('orphan policy'), err)\n"
                       "ok, err = pcall(World.link_particles, w, c, arm, 5, Matrix4x4.identity(), 'stop')\n"
                       "assert(not ok and err:find('node index 5 is out of range'), err)\n"
                       "World.move_particles(w, a, Vector3(5, 0, 0))\n"
                       "World.stop_spawning_particles(w, 77)\n"
                       "World.destroy_particles(w, b)\n"
                       "frame = 0\n"
                       "function render() Application.render_world(w) end\n",
                       "frame = frame + 1\n"
                       "if frame == 3 then World.destroy_unit(w, arm) end\n"
                       "World.update(w, 0.05)\n"),
              "");
    for (u32 frame = 1; frame <= 2; ++frame) {
        ASSERT_TRUE(app->update());
        settle();
    }
    RenderParticleWorld *p = particles();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->live_count(), 2u) << "b was destroyed";
    ASSERT_NE(p->find(0), nullptr);
    EXPECT_EQ(p->find(0)->pose().m[3][0], 5.0f);
    ASSERT_NE(p->find(2), nullptr);
    EXPECT_EQ(p->find(2)->pose().m[3][0], 14.0f) << "linked to the arm's tip";
    EXPECT_GT(p->find(0)->live_total(), 0u) << "time " << p->find(0)->time();
    for (u32 frame = 3; frame <= 5; ++frame) {
        ASSERT_TRUE(app->update());
        settle();
    }
    ASSERT_NE(p->find(2), nullptr) << "\"unlink\" keeps the effect after its unit went";
    EXPECT_TRUE(p->find(2)->is_spawning());
}

TEST_F(WorldParticleApiTest, WithoutTheServiceTheFunctionsRaise)
{
    world_services.particles = nullptr;
    EXPECT_NE(run_boot("World.create_particles(Application.new_world(), 'effects/puff', Vector3(0, 0, 0))")
                  .find("World.create_particles: the particle service is not built yet"),
              std::string::npos);
}

} // namespace
} // namespace tallow::test
