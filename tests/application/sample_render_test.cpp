// The shipped sample drawn as a run draws it: the program's services over the compiled data,
// on the Direct3D layer's headless backend, whose draw records show what reached the device,
// and on its OpenGL backend, whose back buffer is read back.
#include "application/application.h"
#include "application/application_options.h"
#include "application/engine_setup.h"
#include "foundation/memory/memory_globals.h"
#include "platform/d3d11/d3d11_backend.h"
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
#include <vector>

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
        // The sample's camera (behind and above the yard) sees the crates, the door and the
        // floor: every visible box is one indexed draw of 36 indices, each unit's mesh with
        // vertex buffers of its own.
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

/// The back buffer's RGBA bytes (top row first), read through a staging copy.
std::vector<u8> read_back_buffer(render::d3d11::D3DRenderDevice &device, u32 &out_width, u32 &out_height)
{
    std::vector<u8> pixels;
    IDXGISwapChain *chain = device.swap_chain_at(0);
    ID3D11Texture2D *back = nullptr;
    if (!chain || chain->GetBuffer(0, IID_ID3D11Texture2D, reinterpret_cast<void **>(&back)) != S_OK || !back)
        return pixels;
    D3D11_TEXTURE2D_DESC desc;
    back->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MipLevels = 1;
    desc.MiscFlags = 0;
    ID3D11Texture2D *staging = nullptr;
    if (device.device()->CreateTexture2D(&desc, nullptr, &staging) == S_OK && staging) {
        ID3D11DeviceContext *context = device.immediate_context();
        context->CopyResource(staging, back);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        if (context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped) == S_OK) {
            for (u32 y = 0; y < desc.Height; ++y) {
                const u8 *row = static_cast<const u8 *>(mapped.pData) + y * mapped.RowPitch;
                pixels.insert(pixels.end(), row, row + desc.Width * 4);
            }
            context->Unmap(staging, 0);
        }
        staging->Release();
    }
    back->Release();
    out_width = desc.Width;
    out_height = desc.Height;
    return pixels;
}

TEST(SampleRender, DebugLinesAndStatusTextReachTheBackBufferThroughOpenGl)
{
    std::string reason;
    if (!d3d11::gl_available(&reason))
        GTEST_SKIP() << "no usable EGL / OpenGL 4.5 here: " << reason;
    struct BackendScope {
        d3d11::Backend before = d3d11::requested_backend();
        BackendScope() { d3d11::set_backend(d3d11::Backend::gl); }
        ~BackendScope() { d3d11::set_backend(before); }
    } gl_backend;
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
    RenderInterface *render = app.render_service()->render_interface();
    auto &device = static_cast<render::d3d11::D3DRenderDevice &>(render->device());
    for (int frame = 0; frame < 4; ++frame)
        ASSERT_TRUE(app.update());
    render->wait_until_idle();
    u32 width = 0, height = 0;
    std::vector<u8> pixels = read_back_buffer(device, width, height);
    ASSERT_EQ(pixels.size(), u64(width) * height * 4);
    // Seen through the sample's camera: pixels of the debug box round the door (cyan), the
    // ring round the player crate (yellow) and the status line's white glyphs, which stand
    // 16 pixels above the bottom left corner.
    struct Region {
        const char *name;
        u32 x0, y0, x1, y1; // top row first
        u8 low[3], high[3]; // per channel, r g b
        u32 at_least, at_most; // a glyph drawn as a solid block (no font texture) fills far more
    };
    const Region regions[] = {
        {"cyan debug box", 0, 0, width, height, {0, 200, 200}, {80, 255, 255}, 50, width * height / 20},
        {"yellow debug ring", 0, 0, width, height, {200, 200, 0}, {255, 255, 80}, 50, width * height / 20},
        {"white status text", 0, height - 60, 400, height, {200, 200, 200}, {255, 255, 255}, 300, 3000},
    };
    for (const Region &r : regions) {
        SCOPED_TRACE(r.name);
        u32 found = 0;
        for (u32 y = r.y0; y < r.y1; ++y)
            for (u32 x = r.x0; x < r.x1; ++x) {
                const u8 *p = &pixels[(u64(y) * width + x) * 4];
                bool in = true;
                for (u32 c = 0; c < 3; ++c)
                    in = in && p[c] >= r.low[c] && p[c] <= r.high[c];
                found += in;
            }
        EXPECT_GE(found, r.at_least);
        EXPECT_LE(found, r.at_most);
    }
}

} // namespace
} // namespace tallow::test
