// A World's shading environments over loaded "shading_environment" and "material" resources,
// mirrored into a real render world.
#include "render/materials/material_resource.h"
#include "render/viewports/viewport.h"
#include "render/world/render_shading_environment.h"
#include "tests/render/world/render_scene_fixture.h"
#include "tests/resource/resource_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/writers/material_writer.h"
#include "tests/support/writers/shading_environment_writer.h"
#include "world/world.h"

namespace tallow::test {
namespace {

// Every World draws its own debug lines through three line drawers of its render world.
constexpr u32 world_line_drawers = 3;

std::string as_string(const std::vector<u8> &bytes) { return std::string(bytes.begin(), bytes.end()); }

ShadingEnvironmentSource environment(f32 red)
{
    ShadingEnvironmentSource s;
    s.material = NameId64("environments/sky").value();
    s.variables = {{2, 1, 0, 0}};
    s.settings.push_back({id32("default"), floats_bytes({red, 0.5f, 0.25f})});
    s.bindings = {{id32("sky"), id32("tint"), 0}};
    s.render_variables = {{0, id32("sun_color"), 0}};
    return s;
}

class WorldShadingTest : public ResourceFixture {
  protected:
    void SetUp() override
    {
        MaterialSource sky;
        sky.name = id32("sky");
        sky.shader_template = id32("mesh");
        ASSERT_TRUE(write_database(
            files, {{"package", "env", package_resource({{"shading_environment", "environments/day"},
                                                         {"shading_environment", "environments/dusk"},
                                                         {"material", "environments/sky"}})},
                    {"shading_environment", "environments/day", as_string(write_shading_environment(environment(1.0f)))},
                    {"shading_environment", "environments/dusk", as_string(write_shading_environment(environment(0.3f)))},
                    {"material", "environments/sky", as_string(write_material_resource({sky}))}}));
        start(true);
        ASSERT_TRUE(manager->register_type(NameId64("shading_environment"), shading_environment_callbacks()));
        ASSERT_TRUE(manager->register_type(NameId64("material"), material_resource_callbacks(nullptr)));
        package = database_package("env");
        package->load();
        package->flush();
        WorldParams params;
        params.resource_manager = manager;
        params.render_world = scene.world.get();
        params.render_link = scene.link.get();
        world = make_new<World>(allocator, allocator, params);
    }
    void TearDown() override
    {
        delete_with_allocator(allocator, world);
        scene.frame();
        package->unload();
        ResourceFixture::TearDown();
    }
    const RenderShadingEnvironment *twin(const ShadingEnvironment &e)
    {
        RenderObject *o = scene.world->object(e.handle());
        return o && o->class_id() == u32(RenderObjectClass::ShadingEnvironment)
                   ? static_cast<const RenderShadingEnvironment *>(o)
                   : nullptr;
    }

    RenderScene scene{0};
    ResourcePackage *package = nullptr;
    World *world = nullptr;
};

TEST_F(WorldShadingTest, EnvironmentsAreMadeSwitchedReloadedAndDestroyed)
{
    ShadingEnvironment *env = world->create_shading_environment(NameId64("environments/day"));
    ASSERT_NE(env, nullptr);
    ASSERT_TRUE(env->update());
    env->apply_variables();
    scene.frame();
    const u32 live = (scene.world->live_object_count() - world_line_drawers); // the twin and its "sky" value set
    EXPECT_EQ(live, 2u);
    ASSERT_NE(twin(*env), nullptr);
    EXPECT_EQ(f32_at(std::vector<u8>(twin(*env)->values(), twin(*env)->values() + 12), 0), 1.0f);
    EXPECT_NE(env->value_set(id32("sky")), no_render_handle);

    // Switched to dusk: a new twin, the old one and its material gone.
    world->set_shading_environment(*env, NameId64("environments/dusk"));
    env->update();
    env->apply_variables();
    scene.frame();
    EXPECT_EQ((scene.world->live_object_count() - world_line_drawers), live);
    EXPECT_EQ(f32_at(std::vector<u8>(twin(*env)->values(), twin(*env)->values() + 12), 0), 0.3f);

    // A name that is not loaded keeps the resource; a reload moves users of the old data.
    {
        test::LogCapture log("world");
        world->set_shading_environment(*env, NameId64("environments/night"));
        EXPECT_TRUE(log.contains("is not loaded"));
    }
    const void *dusk = manager->get(NameId64("shading_environment"), NameId64("environments/dusk"));
    const void *day = manager->get(NameId64("shading_environment"), NameId64("environments/day"));
    EXPECT_EQ(env->resource(), dusk);
    world->reload_shading_environments(dusk, day);
    EXPECT_EQ(env->resource(), day);

    world->destroy_shading_environment(*env);
    scene.frame();
    EXPECT_EQ((scene.world->live_object_count() - world_line_drawers), 0u);
    {
        test::LogCapture log("world");
        EXPECT_EQ(world->create_shading_environment(NameId64("environments/none")), nullptr);
        EXPECT_TRUE(log.contains("is not loaded"));
    }
}

// Viewports and environments reach scripts by serial: the serial finds its object of its own
// kind until the object goes, then nothing; a new object never gets an old serial. Values
// sent through the world go with the buffer of the frame they were set in.
TEST_F(WorldShadingTest, ScriptSerialsNameTheirObjectsUntilTheyGo)
{
    using Kind = World::ScriptObjectKind;
    ViewportTemplate inset(allocator);
    inset.rect.x = 0.5f;
    GameViewport *viewport = world->create_viewport(inset);
    ShadingEnvironment *env = world->create_shading_environment(NameId64("environments/day"));
    ASSERT_NE(viewport, nullptr);
    ASSERT_NE(env, nullptr);
    const u32 v = world->script_serial(Kind::Viewport, viewport);
    const u32 e = world->script_serial(Kind::ShadingEnvironment, env);
    const u32 m = world->environment_material_serial(*env, id32("sky"));
    EXPECT_EQ(world->environment_material_serial(*env, id32("sky")), m) << "one serial per material";
    EXPECT_EQ(world->environment_material_serial(*env, id32("ground")), 0u) << "no such material";
    struct Case {
        const char *name;
        Kind kind;
        u32 serial;
        const void *object;
    };
    const Case live[] = {{"viewport", Kind::Viewport, v, viewport},
                         {"environment", Kind::ShadingEnvironment, e, env},
                         {"material", Kind::Material, m, env},
                         {"viewport as environment", Kind::ShadingEnvironment, v, nullptr},
                         {"material as viewport", Kind::Viewport, m, nullptr},
                         {"no serial", Kind::Viewport, 0, nullptr}};
    for (const Case &c : live) {
        SCOPED_TRACE(c.name);
        World::ScriptObject o = World::find_script_object(c.kind, c.serial);
        EXPECT_EQ(o.object, c.object);
        EXPECT_EQ(o.world, c.object ? world : nullptr);
    }
    EXPECT_EQ(World::find_script_object(Kind::Material, m).id, id32("sky"));

    // The rectangle reaches the twin with the frame it was set in, across buffer swaps.
    scene.frame();
    auto *twin = static_cast<RenderViewport *>(scene.world->object(viewport->handle));
    ASSERT_NE(twin, nullptr);
    EXPECT_EQ(twin->rect.x, 0.5f);
    world->set_viewport_rect(*viewport, 0.25f, 0.125f, 0.5f, 0.75f);
    scene.frame();
    EXPECT_EQ(twin->rect.x, 0.25f);
    EXPECT_EQ(twin->rect.height, 0.75f);

    const u32 viewport_handle = viewport->handle;
    world->destroy_shading_environment(*env);
    EXPECT_TRUE(world->destroy_viewport(viewport));
    EXPECT_FALSE(world->destroy_viewport(viewport)) << "not one of the world's any more";
    for (const Case &c : live) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(World::find_script_object(c.kind, c.serial).world, nullptr);
    }
    scene.frame();
    EXPECT_EQ(scene.world->object(viewport_handle), nullptr);
    GameViewport *again = world->create_viewport(inset);
    ASSERT_NE(again, nullptr);
    EXPECT_GT(world->script_serial(Kind::Viewport, again), m);
}

} // namespace
} // namespace tallow::test
