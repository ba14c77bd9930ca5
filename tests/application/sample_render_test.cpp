// The shipped sample drawn as a run draws it: the program's services over the compiled data,
// on the Direct3D layer's headless backend, whose draw records show what reached the device.
#include "application/application.h"
#include "application/application_options.h"
#include "application/engine_setup.h"
#include "foundation/memory/memory_globals.h"
#include "platform/d3d11/d3d11_headless.h"
#include "platform/window/window_headless.h"
#include "render/d3d11/d3d_render_device.h"
#include "render/interface/render_interface.h"
#include "render/interface/render_service.h"
#include "render/viewports/viewport.h"
#include "render/world/render_shading_environment.h"
#include "render/world/render_world.h"
#include "world/world.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>

namespace tallow::test {
namespace {

TEST(SampleRender, EveryFrameDrawsTheSampleUnitsThroughTheDevice)
{
    TempDirectory config_home;
    setenv("XDG_CONFIG_HOME", config_home.path(), 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    platform::HeadlessWindowSystem window_system{default_allocator()};
    const char *arguments[] = {"bin/tallow", "-data-dir", TALLOW_BUILT_DATA_DIR};
    ApplicationOptions options(default_allocator(), 3, arguments);
    const ProgramSetup setup = engine_setup();
    ApplicationParams params;
    params.options = &options;
    params.window_system = &window_system;
    params.game_factory = setup.game_factory;
    params.services = setup.services;
    params.world_services = setup.world_services;
    params.register_resource_types = setup.register_resource_types;
    Application app(params);
    ASSERT_TRUE(app.init());
    ASSERT_NE(app.render_service(), nullptr);
    RenderInterface *render = app.render_service()->render_interface();
    ASSERT_NE(render, nullptr);
    auto &device = static_cast<render::d3d11::D3DRenderDevice &>(render->device());
    ID3D11DeviceContext *context = device.immediate_context();

    for (int frame = 0; frame < 6; ++frame) {
        SCOPED_TRACE(frame);
        render->wait_until_idle();
        d3d11::headless_clear_journal(context);
        ASSERT_TRUE(app.update());
        render->wait_until_idle();
        // The default camera (at the origin, looking along y) sees the door with its patch of
        // yard floor: every visible box is one indexed draw of 36 indices, each unit's mesh
        // with vertex buffers of its own.
        u32 boxes = 0;
        std::set<u64> buffers;
        for (const d3d11::DrawRecord &d : d3d11::headless_draws(context)) {
            if (d.op != d3d11::ContextOp::draw_indexed || d.vertex_count != 36)
                continue;
            ++boxes;
            buffers.insert(d.vertex_buffers[0].buffer);
            EXPECT_NE(d.index_buffer, 0u);
            EXPECT_NE(d.input_layout, 0u);
            EXPECT_NE(d.render_targets[0], 0u);
        }
        if (frame == 0)
            continue; // the first frame's state reaches the render side with it
        EXPECT_GE(boxes, 3u);
        EXPECT_EQ(buffers.size(), boxes);
    }
    EXPECT_TRUE(d3d11::headless_diagnostics().empty()) << d3d11::headless_diagnostics().front().message;

    // The world is drawn into its own viewport from the "default" template, with the sample's
    // shading environment, whose "default" values reached its render twin.
    ASSERT_EQ(app.worlds().size(), 1u);
    World &world = *app.worlds()[0];
    RenderWorld *render_world = render->render_world_of(&world);
    ASSERT_NE(render_world, nullptr);
    ASSERT_EQ(world.viewports().size(), 1u);
    RenderObject *viewport = render_world->object(world.viewports()[0]->handle);
    ASSERT_NE(viewport, nullptr);
    EXPECT_EQ(viewport->class_id(), u32(RenderObjectClass::Viewport));
    ASSERT_EQ(world.render_link().shading_environment_count(), 1u);
    const ShadingEnvironment &environment = *world.render_link().shading_environment(0);
    RenderObject *twin = render_world->object(environment.handle());
    ASSERT_NE(twin, nullptr);
    ASSERT_EQ(twin->class_id(), u32(RenderObjectClass::ShadingEnvironment));
    const Array<u8> &block = static_cast<RenderShadingEnvironment *>(twin)->raw_block();
    ASSERT_EQ(block.size(), 40u); // sun direction, sun colour, ambient colour, exposure
    ASSERT_EQ(environment.values().size(), 40u);
    EXPECT_EQ(memcmp(block.data(), environment.values().data(), 40), 0);
    f32 exposure = 0;
    memcpy(&exposure, block.data() + 36, 4);
    EXPECT_EQ(exposure, 1.0f);
}

} // namespace
} // namespace tallow::test
