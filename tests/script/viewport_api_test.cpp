// Viewports, shading environments and their materials from Lua: a whole Application on the
// Direct3D device over the headless layer, with a render configuration of two viewport
// templates and two shading environments, and the render side read back after each frame.
#include "boot_script_fixture.h"

#include "foundation/config/config_blob.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "render/d3d11/d3d_render_device.h"
#include "render/interface/render_interface.h"
#include "render/interface/render_service.h"
#include "render/materials/material_resource.h"
#include "render/viewports/viewport.h"
#include "render/world/render_shading_environment.h"
#include "render/world/render_world.h"
#include "tests/support/writers/material_writer.h"
#include "tests/support/writers/shading_environment_writer.h"
#include "world/world.h"

#include <cstring>

namespace tallow::test {
namespace {

// Render configurations, materials and shading environments come through the resource manager.
IRenderService *make_render_service(Allocator &allocator, Application &application)
{
    RenderConfigSources sources{application.resource_manager(), application.settings(), application.user_settings()};
    return create_render_service(allocator, application.thread_registry(), application.thread_pool(),
                                 &render::d3d11::create_d3d_render_device, &sources);
}

std::string render_config_bytes(const char *text)
{
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + strlen(text), *root);
    u32 size = 0;
    void *blob = flatten_config(*root, default_allocator(), &size);
    destroy_config_root(root);
    std::string bytes(static_cast<const char *>(blob), size);
    default_allocator().deallocate(blob);
    return bytes;
}

std::string bytes_of(const std::vector<u8> &bytes) { return std::string(bytes.begin(), bytes.end()); }

/// An environment with a vector3 "sun_color" (render variable and the "sky" material's
/// "tint") and a scalar "exposure"; its "default" setting starts with `red`.
std::string environment(f32 red)
{
    ShadingEnvironmentSource s;
    s.material = NameId64("environments/sky").value();
    s.variables = {{2, 1, 0, 0}, {0, 1, 0, 12}};
    s.settings.push_back({NameId32("default").value(), floats_bytes({red, 0.5f, 0.25f, 2.0f})});
    s.bindings = {{NameId32("sky").value(), NameId32("tint").value(), 0}};
    s.render_variables = {{0, NameId32("sun_color").value(), 0}, {1, NameId32("exposure").value(), 0}};
    return bytes_of(write_shading_environment(s));
}

class ViewportApiTest : public BootScriptTest {
  protected:
    ViewportApiTest()
    {
        services.create_render = &make_render_service;
        MaterialSource sky;
        sky.name = NameId32("sky").value();
        sky.shader_template = NameId32("sky").value();
        MaterialSource ground;
        ground.name = NameId32("ground").value();
        ground.shader_template = NameId32("ground").value();
        write_data({
            {"package", "boot", package_resource({})},
            {"package", "core/renderer",
             package_resource({{"render_config", "core/renderer"},
                               {"shading_environment", "environments/day"},
                               {"shading_environment", "environments/night"},
                               {"material", "environments/sky"}})},
            {"render_config", "core/renderer",
             render_config_bytes("viewports = {\n"
                                 "  default = { layer_config = \"main\" output_rt = \"back_buffer\" }\n"
                                 "  inset = { rect = [0.5 0 0.5 0.5] layer_config = \"main\" output_rt = \"back_buffer\" }\n"
                                 "}\n")},
            {"shading_environment", "environments/day", environment(1.0f)},
            {"shading_environment", "environments/night", environment(0.1f)},
            {"package", "extra", package_resource({{"shading_environment", "environments/extra"}})},
            {"shading_environment", "environments/extra", environment(0.5f)},
            {"material", "environments/sky", bytes_of(write_material_resource({sky, ground}))},
        });
        write_settings("default_shading_environment = \"environments/day\"\n");
    }

    RenderInterface &render()
    {
        RenderInterface *render = app->render_interface();
        EXPECT_NE(render, nullptr);
        return *render;
    }
    /// Runs a frame and waits until the render thread has applied it.
    void frame()
    {
        ASSERT_TRUE(app->update());
        render().wait_fence(render().add_fence());
    }
    template <typename T> T *render_object(World &world, u32 handle, RenderObjectClass kind)
    {
        RenderObject *o = render().render_world_of(&world)->object(handle);
        return o && o->class_id() == u32(kind) ? static_cast<T *>(o) : nullptr;
    }
    const MaterialValue *material_value(World &world, const ShadingEnvironment &env, const char *set,
                                        const char *variable)
    {
        auto *m = render_object<RenderMaterial>(world, env.value_set(NameId32(set).value()), RenderObjectClass::Material);
        if (!m)
            return nullptr;
        for (const MaterialValue &v : m->values())
            if (v.variable == NameId32(variable).value())
                return &v;
        return nullptr;
    }
    /// The world's only shading environment.
    ShadingEnvironment &environment_of(World &world)
    {
        EXPECT_EQ(world.render_link().shading_environment_count(), 1u);
        return *world.render_link().shading_environment(0);
    }
};

// A viewport's template and rectangle reach its render twin, which the world is drawn into.
TEST_F(ViewportApiTest, ViewportsAreMadeMovedAndDestroyedOnTheRenderSide)
{
    EXPECT_EQ(run_boot("world = Application.new_world()\n"
                       "inset = Application.create_viewport(world, 'inset')\n"
                       "full = Application.create_viewport(world, 'default')\n"
                       "function render() Application.render_world(world, nil, inset) end\n",
                       "frames = (frames or 0) + 1\n"
                       "if frames == 2 then Viewport.set_rect(inset, 0.25, 0.5, 0.75, 0.125) end\n"
                       "if frames == 3 then Application.destroy_viewport(world, full) end\n"),
              "");
    World &world = *app->worlds()[0];
    ASSERT_EQ(world.viewports().size(), 2u);
    const GameViewport *inset = world.viewports()[0];
    const u32 full_handle = world.viewports()[1]->handle;

    frame();
    auto *twin = render_object<RenderViewport>(world, inset->handle, RenderObjectClass::Viewport);
    ASSERT_NE(twin, nullptr);
    EXPECT_EQ(twin->rect.x, 0.5f);
    EXPECT_EQ(twin->rect.height, 0.5f);
    EXPECT_EQ(twin->rect.layer_config, NameId32("main").value());
    ASSERT_NE(render_object<RenderViewport>(world, full_handle, RenderObjectClass::Viewport), nullptr);

    frame();
    EXPECT_EQ(twin->rect.x, 0.25f);
    EXPECT_EQ(twin->rect.y, 0.5f);
    EXPECT_EQ(twin->rect.width, 0.75f);
    EXPECT_EQ(twin->rect.height, 0.125f);

    frame();
    EXPECT_EQ(world.viewports().size(), 1u);
    EXPECT_EQ(render_object<RenderViewport>(world, full_handle, RenderObjectClass::Viewport), nullptr);
    EXPECT_EQ(log.count("[Lua] update"), 0);
}

// The environment's values go across before each render; a material value set from Lua
// reaches the render material; a switch of data makes new materials and a kept material
// value of a set that is gone sends nothing.
TEST_F(ViewportApiTest, ViewportsEnvironmentsAndMaterialsMadeInACoroutineAreWhole)
{
    EXPECT_EQ(run_boot("local function inside(f) local co = coroutine.create(f); local ok, v = coroutine.resume(co); assert(ok, v); return v end\n"
                       "local world = Application.new_world()\n"
                       "local v = inside(function() return Application.create_viewport(world, 'inset') end)\n"
                       "assert(v ~= nil)\n"
                       "local env = inside(function() return World.create_shading_environment(world) end)\n"
                       "assert(env ~= nil)\n"
                       "local sky = inside(function() return ShadingEnvironment.material(env, 'sky') end)\n"
                       "assert(sky ~= nil and ShadingEnvironment.material(env, 'sky') == sky)\n"
                       "collectgarbage(); collectgarbage()\n"
                       "Application.destroy_viewport(world, v)\n"),
              "");
}

TEST_F(ViewportApiTest, EnvironmentValuesAndMaterialValuesReachTheRenderSide)
{
    EXPECT_EQ(run_boot("world = Application.new_world()\n"
                       "env = World.create_shading_environment(world)\n"
                       "sky = ShadingEnvironment.material(env, 'sky')\n"
                       "assert(sky and ShadingEnvironment.material(env, 'sky') == sky)\n"
                       "assert(ShadingEnvironment.material(env, 'nothing') == nil)\n"
                       "function render() Application.render_world(world, nil, nil, env) end\n",
                       "frames = (frames or 0) + 1\n"
                       "if frames == 1 then ShadingEnvironment.update(env) end\n"
                       "if frames == 2 then\n"
                       "  Material.set_scalar(sky, 'roughness', 0.75)\n"
                       "  Material.set_vector2(sky, 'offset', Vector2(3, 4))\n"
                       "  Material.set_vector3(sky, 'glow', Vector3(5, 6, 7))\n"
                       "end\n"
                       "if frames == 3 then World.set_shading_environment(world, env, 'environments/night') end\n"
                       "if frames == 4 then ShadingEnvironment.update(env); Material.set_scalar(sky, 'roughness', 0.5) end\n"),
              "");
    World &world = *app->worlds()[0];
    ShadingEnvironment &env = environment_of(world);

    // Frame 1: the "default" values, in the twin's block and as the sky's tint.
    frame();
    auto *twin = render_object<RenderShadingEnvironment>(world, env.handle(), RenderObjectClass::ShadingEnvironment);
    ASSERT_NE(twin, nullptr);
    const f32 day[4] = {1.0f, 0.5f, 0.25f, 2.0f};
    ASSERT_EQ(twin->raw_block().size(), 16u);
    EXPECT_EQ(memcmp(twin->raw_block().data(), day, 16), 0);
    const MaterialValue *tint = material_value(world, env, "sky", "tint");
    ASSERT_NE(tint, nullptr);
    EXPECT_EQ(tint->value[0], 1.0f);
    EXPECT_EQ(tint->value[2], 0.25f);

    // Frame 2: the three setters, each with its kind and components.
    frame();
    struct Case {
        const char *variable;
        u32 kind;
        f32 value[3];
    };
    const Case cases[] = {{"roughness", 0, {0.75f, 0, 0}}, {"offset", 1, {3, 4, 0}}, {"glow", 2, {5, 6, 7}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.variable);
        const MaterialValue *v = material_value(world, env, "sky", c.variable);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->kind, c.kind);
        EXPECT_EQ(memcmp(v->value, c.value, sizeof c.value), 0);
    }
    EXPECT_EQ(material_value(world, env, "ground", "roughness"), nullptr) << "only the sky's material";

    // Frames 3 and 4: night. The kept material names the new "sky" set.
    frame();
    frame();
    twin = render_object<RenderShadingEnvironment>(world, env.handle(), RenderObjectClass::ShadingEnvironment);
    ASSERT_NE(twin, nullptr);
    f32 red = 0;
    memcpy(&red, twin->raw_block().data(), 4);
    EXPECT_EQ(red, 0.1f);
    const MaterialValue *roughness = material_value(world, env, "sky", "roughness");
    ASSERT_NE(roughness, nullptr);
    EXPECT_EQ(roughness->value[0], 0.5f);
    EXPECT_EQ(log.count("[Lua] update"), 0);
}

// Every function with arguments it must refuse, and with objects that are gone: each raises
// naming the function and never reads freed memory.
TEST_F(ViewportApiTest, BadArgumentsAndObjectsThatAreGoneRaiseNamingTheFunction)
{
    EXPECT_EQ(
        run_boot(
            "local w = Application.new_world()\n"
            "local other = Application.new_world()\n"
            "local v = Application.create_viewport(w, 'inset')\n"
            "local gone = Application.create_viewport(w, 'default')\n"
            "Application.destroy_viewport(w, gone)\n"
            "local env = World.create_shading_environment(w, 'environments/day')\n"
            "local sky = ShadingEnvironment.material(env, 'sky')\n"
            "local old = World.create_shading_environment(w)\n"
            "local old_sky = ShadingEnvironment.material(old, 'sky')\n"
            "World.destroy_shading_environment(w, old)\n"
            "local released = Application.new_world()\n"
            "local rv = Application.create_viewport(released, 'default')\n"
            "local renv = World.create_shading_environment(released)\n"
            "Application.release_world(released)\n"
            "local cases = {\n"
            "  {'Application.create_viewport', 2, 'no viewport template', Application.create_viewport, w, 'missing'},\n"
            "  {'Application.create_viewport', 2, 'string expected', Application.create_viewport, w},\n"
            "  {'Application.create_viewport', 1, 'World has been released', Application.create_viewport, released, 'default'},\n"
            "  {'Application.destroy_viewport', 2, 'not a live Viewport', Application.destroy_viewport, w, gone},\n"
            "  {'Application.destroy_viewport', 2, 'not a live Viewport', Application.destroy_viewport, w, env},\n"
            "  {'Application.destroy_viewport', 2, 'another world', Application.destroy_viewport, other, v},\n"
            "  {'Application.render_world', 3, 'not a live Viewport', Application.render_world, w, nil, gone},\n"
            "  {'Application.render_world', 3, 'another world', Application.render_world, other, nil, v},\n"
            "  {'Application.render_world', 4, 'not a live ShadingEnvironment', Application.render_world, w, nil, nil, old},\n"
            "  {'Application.render_world', 4, 'another world', Application.render_world, other, nil, nil, env},\n"
            "  {'Application.render_world', 4, 'not a live ShadingEnvironment', Application.render_world, w, nil, nil, 'x'},\n"
            "  {'Viewport.set_rect', 1, 'not a live Viewport', Viewport.set_rect, gone, 0, 0, 1, 1},\n"
            "  {'Viewport.set_rect', 1, 'not a live Viewport', Viewport.set_rect, rv, 0, 0, 1, 1},\n"
            "  {'Viewport.set_rect', 1, 'not a live Viewport', Viewport.set_rect, Vector3(0, 0, 0), 0, 0, 1, 1},\n"
            "  {'Viewport.set_rect', 4, 'number expected', Viewport.set_rect, v, 0, 0, 'x', 1},\n"
            "  {'Viewport.set_rect', 5, 'not a finite number', Viewport.set_rect, v, 0, 0, 1, 0/0},\n"
            "  {'Viewport.set_rect', 2, 'not a finite number', Viewport.set_rect, v, math.huge, 0, 1, 1},\n"
            "  {'ShadingEnvironment.update', 1, 'not a live ShadingEnvironment', ShadingEnvironment.update, old},\n"
            "  {'ShadingEnvironment.update', 1, 'not a live ShadingEnvironment', ShadingEnvironment.update, renv},\n"
            "  {'ShadingEnvironment.update', 1, 'not a live ShadingEnvironment', ShadingEnvironment.update, v},\n"
            "  {'ShadingEnvironment.material', 2, 'string expected', ShadingEnvironment.material, env, {}},\n"
            "  {'ShadingEnvironment.material', 1, 'not a live ShadingEnvironment', ShadingEnvironment.material, sky, 'sky'},\n"
            "  {'Material.set_scalar', 1, 'not a live Material', Material.set_scalar, old_sky, 'tint', 1},\n"
            "  {'Material.set_scalar', 1, 'not a live Material', Material.set_scalar, env, 'tint', 1},\n"
            "  {'Material.set_scalar', 2, 'string expected', Material.set_scalar, sky, nil, 1},\n"
            "  {'Material.set_scalar', 3, 'not a finite number', Material.set_scalar, sky, 'tint', 0/0},\n"
            "  {'Material.set_vector2', 3, 'Vector3 expected', Material.set_vector2, sky, 'tint', 1},\n"
            "  {'Material.set_vector3', 3, 'Vector3 expected', Material.set_vector3, sky, 'tint', {}},\n"
            "  {'World.create_shading_environment', 2, 'is not loaded', World.create_shading_environment, w, 'nothing'},\n"
            "  {'World.create_shading_environment', 2, 'string expected', World.create_shading_environment, w, {}},\n"
            "  {'World.set_shading_environment', 3, 'is not loaded', World.set_shading_environment, w, env, 'nothing'},\n"
            "  {'World.set_shading_environment', 2, 'another world', World.set_shading_environment, other, env, 'environments/day'},\n"
            "  {'World.set_shading_environment', 2, 'not a live ShadingEnvironment', World.set_shading_environment, w, old, 'environments/day'},\n"
            "  {'World.destroy_shading_environment', 2, 'not a live ShadingEnvironment', World.destroy_shading_environment, w, old},\n"
            "  {'World.destroy_shading_environment', 2, 'another world', World.destroy_shading_environment, other, env},\n"
            "}\n"
            "for _, c in ipairs(cases) do\n"
            "  local ok, e = pcall(c[4], unpack(c, 5, 9))\n"
            "  assert(not ok, c[1] .. ' ' .. c[3])\n"
            "  assert(e:find('bad argument #' .. c[2] .. \" to '\" .. c[1] .. \"'\", 1, true), e)\n"
            "  assert(e:find(c[3], 1, true), e)\n"
            "end\n"
            "-- what stays usable after all that\n"
            "Viewport.set_rect(v, 0, 0, 1, 1)\n"
            "Material.set_vector3(sky, 'tint', Vector3(1, 2, 3))\n"
            "Application.render_world(w, nil, v, env)\n"
            "print('checked ' .. #cases)\n"),
        "");
    EXPECT_EQ(log.count("[Lua] checked 35"), 1);
}

// A package unloaded under an environment frees the data it reads: using it raises until it
// takes loaded data again.
TEST_F(ViewportApiTest, AnEnvironmentKeepsItsDataAfterItsPackageIsUnloaded)
{
    EXPECT_EQ(run_boot("local w = Application.new_world()\n"
                       "local extra = Application.resource_package('extra')\n"
                       "ResourcePackage.load(extra)\n"
                       "ResourcePackage.flush(extra)\n"
                       "local env = World.create_shading_environment(w, 'environments/extra')\n"
                       "ShadingEnvironment.update(env)\n"
                       "Application.release_resource_package(extra)\n"
                       "ShadingEnvironment.update(env)\n"
                       "Application.render_world(w, nil, nil, env)\n"
                       "World.set_shading_environment(w, env, 'environments/night')\n"
                       "ShadingEnvironment.update(env)\n"
                       "Application.render_world(w, nil, nil, env)\n"
                       "-- Let go once no record on its way to the render side can read it.\n"
                       "for _ = 1, 6 do World.update(w, 1 / 30) end\n"
                       "assert(not pcall(World.create_shading_environment, w, 'environments/extra'))\n"),
              "");
    EXPECT_EQ(log.count("freed at its last holder's release"), 1) << "the old data went with the switch";
}

// Without the setting, a name is needed.
TEST_F(ViewportApiTest, WithoutTheSettingAnEnvironmentNeedsItsName)
{
    write_settings("");
    EXPECT_EQ(run_boot("local w = Application.new_world()\n"
                       "local ok, e = pcall(World.create_shading_environment, w)\n"
                       "assert(not ok and e:find('no setting \"default_shading_environment\"', 1, true), e)\n"
                       "assert(World.create_shading_environment(w, 'environments/night'))\n"),
              "");
}

} // namespace
} // namespace tallow::test
