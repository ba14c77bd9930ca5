// Worlds made by scripts and their render worlds: a whole Application on the Direct3D
// device over the headless layer, a boot script that makes worlds and moves units, and
// the render side read back after each frame.
#include "boot_script_fixture.h"

#include "foundation/config/config_value.h"
#include "foundation/io/render_settings_store.h"
#include "render/d3d11/d3d_render_device.h"
#include "render/interface/render_interface.h"
#include "render/world/render_scene_graph.h"
#include "render/interface/render_service.h"
#include "render/world/render_world.h"
#include "world/units/unit.h"
#include "world/world.h"

#include <cstring>

namespace tallow::test {
namespace {

IRenderService *make_render_service(Allocator &allocator, Application &application)
{
    return create_render_service(allocator, application.thread_registry(), application.thread_pool(), &render::d3d11::create_d3d_render_device);
}

class RenderWorldApiTest : public BootScriptTest {
  protected:
    RenderWorldApiTest()
    {
        services.create_render = &make_render_service;
        write_data({
            {"package", "boot", package_resource({{"unit", "units/post"}})},
            {"package", "core/renderer", package_resource({})},
            {"unit", "units/post",
             compiled_unit("nodes = [ { name = \"root\" }\n"
                           "  { name = \"top\" parent = \"root\" position = [0 0 3] } ]\n")},
        });
    }

    RenderInterface &render()
    {
        RenderInterface *render = app->render_interface();
        EXPECT_NE(render, nullptr);
        return *render;
    }

    /// Waits until the render thread has run everything posted so far.
    void settle() { render().wait_fence(render().add_fence()); }

    /// Every unit of every world has a render scene graph equal to its own, and its render
    /// world holds nothing else but the world's three line drawers. Call after settle().
    void expect_render_worlds_match(const char *when)
    {
        SCOPED_TRACE(when);
        ASSERT_EQ(render().world_count(), app->worlds().size());
        for (World *world : app->worlds()) {
            RenderWorld *render_world = render().render_world_of(world);
            ASSERT_NE(render_world, nullptr);
            EXPECT_EQ(render_world->live_object_count(), world->units().size() + 3);
            for (Unit *unit : world->units()) {
                const SceneGraph &graph = unit->scene_graph();
                RenderObject *object = render_world->object(graph.render_handle());
                ASSERT_NE(object, nullptr);
                ASSERT_EQ(object->class_id(), u32(RenderObjectClass::SceneGraph));
                const auto &mirror = *static_cast<RenderSceneGraph *>(object);
                ASSERT_EQ(mirror.node_count(), graph.node_count());
                for (u32 node = 0; node < graph.node_count(); ++node)
                    EXPECT_EQ(memcmp(&mirror.world(node), &graph.world_matrices()[node], sizeof(Matrix4x4)), 0)
                        << "node " << node;
            }
        }
    }

    f32 render_x(World *world, u32 unit, u32 node)
    {
        const SceneGraph &graph = world->units()[unit]->scene_graph();
        auto *mirror = static_cast<RenderSceneGraph *>(render().render_world_of(world)->object(graph.render_handle()));
        return mirror->world(node).m[3][0];
    }
};

TEST_F(RenderWorldApiTest, UnitsOfScriptWorldsAreMirroredEveryFrameAndReleasedWithTheirWorld)
{
    // `shown` is rendered by the script; `hidden` never is, so its changes go across at the
    // frame's end.
    EXPECT_EQ(run_boot("shown = Application.new_world()\n"
                       "hidden = Application.new_world()\n"
                       "a = World.spawn_unit(shown, 'units/post', Vector3(1, 2, 3))\n"
                       "b = World.spawn_unit(shown, 'units/post')\n"
                       "c = World.spawn_unit(hidden, 'units/post', Vector3(0, 5, 0))\n"
                       "frame = 0\n"
                       "function render() if shown then Application.render_world(shown) end end\n",
                       "frame = frame + 1\n"
                       "if frame <= 4 then\n"
                       "  Unit.set_local_position(a, 0, Vector3(1 + frame, 2, 3))\n"
                       "  Unit.set_local_position(c, 0, Vector3(10 * frame, 5, 0))\n"
                       "  if frame == 2 then World.destroy_unit(shown, b) end\n"
                       "  if frame == 3 then b = World.spawn_unit(shown, 'units/post', Vector3(0, 0, 7)) end\n"
                       "  World.update(shown, dt)\n  World.update(hidden, dt)\n"
                       "elseif frame == 5 then\n"
                       "  Application.release_world(shown); shown = nil\n"
                       "  World.update(hidden, dt)\n"
                       "elseif frame == 6 then\n"
                       "  Application.release_world(hidden); hidden = nil\n"
                       "end\n"),
              "");
    ASSERT_EQ(app->worlds().size(), 2u);
    World *shown = app->worlds()[0];
    World *hidden = app->worlds()[1];
    // What init made goes across with the first frame's changes.
    u32 destroyed_handle = shown->units()[1]->scene_graph().render_handle();

    for (u32 frame = 1; frame <= 4; ++frame) {
        ASSERT_TRUE(app->update());
        settle();
        expect_render_worlds_match(("frame " + std::to_string(frame)).c_str());
        // The moved roots and the nodes under them reached the render side.
        EXPECT_EQ(render_x(shown, 0, 1), f32(1 + frame));
        EXPECT_EQ(render_x(hidden, 0, 1), f32(10 * frame));
    }
    // The unit respawned after the destroy got a new handle: the old one is held back.
    EXPECT_EQ(shown->units().size(), 2u);
    EXPECT_NE(shown->units()[1]->scene_graph().render_handle(), destroyed_handle);
    EXPECT_GT(render().object_allocator().allocation_count(), 0u);

    ASSERT_TRUE(app->update()); // releases `shown`
    settle();
    EXPECT_EQ(render().world_count(), 1u);
    EXPECT_EQ(render().render_world_of(shown), nullptr);
    expect_render_worlds_match("after releasing one world");
    ASSERT_TRUE(app->update()); // releases `hidden`
    settle();
    EXPECT_EQ(app->worlds().size(), 0u);
    EXPECT_EQ(render().world_count(), 0u);
    EXPECT_EQ(render().object_allocator().allocation_count(), 0u) << "no render object, record or buffer is left";
    EXPECT_EQ(log.count("[Lua] update:"), 0);
    EXPECT_EQ(log.count("which was never added"), 0) << "no message for a world the render side does not know";
    EXPECT_EQ(log.count("[world] no render world service"), 0);
}

TEST_F(RenderWorldApiTest, ResolutionDisplayModesAndRenderWorldArguments)
{
    EXPECT_EQ(run_boot("local w, h = Application.resolution()\n"
                       "print('resolution ' .. w .. 'x' .. h)\n"
                       "local modes = Application.enum_display_modes()\n"
                       "assert(#modes > 0)\n"
                       "for i, m in ipairs(modes) do assert(m.x > 0 and m.y > 0 and m.z >= 0) end\n"
                       "local world = Application.new_world()\n"
                       "Application.render_world(world, nil, nil, nil)\n"
                       "Application.render_world(world)\n"
                       "local refused = {'Camera expected', 'not a live Viewport', 'not a live ShadingEnvironment'}\n"
                       "for i, args in ipairs({{world, {}}, {world, nil, 1}, {world, nil, nil, 'x'}}) do\n"
                       "  local ok, e = pcall(Application.render_world, unpack(args, 1, 4))\n"
                       "  assert(not ok and e:find('bad argument #' .. (i + 1) .. \" to 'Application.render_world'\"), e)\n"
                       "  assert(e:find(refused[i]), e)\n"
                       "end\n"
                       "Application.release_world(world)\n"
                       "local ok, e = pcall(Application.render_world, world)\n"
                       "assert(not ok and e:find('World has been released'), e)\n"
                       "print('checked')"),
              "");
    EXPECT_EQ(log.count("[Lua] checked"), 1);
    // The back buffer is made for the window's client area.
    std::string size = "[Lua] resolution " + std::to_string(app->window()->width()) + "x" +
                       std::to_string(app->window()->height());
    EXPECT_EQ(log.count(size.c_str()), 1) << size;
}

// Render variables: set from text by their kind on the render thread, read back as plain
// values; tables and unknown names read as nil.
TEST_F(RenderWorldApiTest, RenderSettingsAreSetAndReadThroughTheRenderThread)
{
    EXPECT_EQ(run_boot("", "Application.set_render_setting('gamma', '1.5')\n"
                           "Application.set_render_setting('missing', '1')\n"
                           "print('gamma ' .. tostring(Application.render_config('settings', 'gamma')))\n"
                           "print('caps ' .. tostring(Application.render_config('caps', 'deferred')))\n"
                           "print('named ' .. tostring(Application.render_config('settings', 'name')))\n"
                           "print('block ' .. tostring(Application.render_config('settings', 'block')))\n"
                           "print('none ' .. tostring(Application.render_config('caps', 'gamma')))\n"
                           "assert(not pcall(Application.set_render_setting, 'gamma'))\n"
                           "assert(not pcall(Application.render_config, 'settings'))\n"),
              "");
    settle();
    // The render thread is idle: the trees can be filled before the frame reads them.
    render_settings().member("gamma").set_float(1.0f);
    render_settings().member("name").set_string("deferred");
    render_settings().member("block").member("inner").set_bool(true);
    render_caps().member("deferred").set_bool(true);
    ASSERT_TRUE(app->update());
    for (const std::string &line : log.lines())
        EXPECT_EQ(line.rfind("[Lua] update:", 0), std::string::npos) << line;
    for (const char *line : {"[Lua] gamma 1.5", "[Lua] caps true", "[Lua] named deferred", "[Lua] block nil",
                             "[Lua] none nil", "Could not find variable: missing in RenderSettings"})
        EXPECT_EQ(log.count(line), 1) << line;
}

} // namespace
} // namespace tallow::test
