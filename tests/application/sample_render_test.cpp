// The shipped sample drawn as a run draws it: the program's services over the compiled data,
// on the Direct3D layer's headless backend, whose draw records show what reached the device,
// and on its OpenGL backend, whose back buffer shows what was drawn.
#include "application/application.h"
#include "application/application_options.h"
#include "application/engine_setup.h"
#include "application/my_game.h"
#include "foundation/memory/memory_globals.h"
#include "platform/d3d11/d3d11_backend.h"
#include "platform/d3d11/d3d11_headless.h"
#include "platform/window/window_headless.h"
#include "render/d3d11/d3d_render_device.h"
#include "render/interface/render_interface.h"
#include "render/interface/render_service.h"
#include "render/particles/particle_world.h"
#include "render/particles/render_particle_world.h"
#include "render/viewports/viewport.h"
#include "render/world/render_camera.h"
#include "render/world/render_shading_environment.h"
#include "render/world/render_world.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"
#include "world/services/world_particle_service.h"
#include "tests/support/image/frame_capture.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>
#include <lua.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

namespace tallow::test {
namespace {

TEST(SampleRender, EveryFrameDrawsTheSampleUnitsThroughTheDevice)
{
    d3d11::headless_reset(); // journal and draw records on
    TempDirectory config_home;
    setenv("XDG_CONFIG_HOME", config_home.path(), 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    platform::HeadlessWindowSystem window_system{default_allocator()};
    const char *arguments[] = {"bin/tallow", "-data-dir", TALLOW_BUILT_DATA_DIR};
    ApplicationOptions options(default_allocator(), 3, arguments);
    ApplicationParams params = engine_params(options, window_system);
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
        // floor: every visible box is one indexed draw of 36 indices into the G-buffer, each
        // unit's mesh with vertex buffers of its own. (The sun's shadow map draws the same
        // boxes again, depth only.)
        u32 boxes = 0;
        std::set<u64> buffers;
        for (const d3d11::DrawRecord &d : d3d11::headless_draws(context)) {
            if (d.op != d3d11::ContextOp::draw_indexed || d.vertex_count != 36 || d.render_targets[1] == 0)
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
    // sun direction, sun colour, ambient colour, exposure, the sun light's direction
    ASSERT_EQ(block.size(), 52u);
    ASSERT_EQ(environment.values().size(), 52u);
    EXPECT_EQ(memcmp(block.data(), environment.values().data(), 52), 0);
    f32 exposure = 0;
    memcpy(&exposure, block.data() + 36, 4);
    EXPECT_EQ(exposure, 1.0f);
    app.shutdown();
    release_engine_resource_types(); // what registering the types installed goes with the program
}


/// The sample's program over the compiled data and a headless window, on the layer's
/// current backend.
struct SampleProgram {
    SampleProgram()
    {
        d3d11::headless_reset(); // journal and draw records on
        setenv("XDG_CONFIG_HOME", config_home.path(), 1);
        setenv("XDG_DATA_HOME", data_home.path(), 1); // the sample's saves: none from an earlier run
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        const ProgramSetup setup = engine_setup();
        params.options = &options;
        params.window_system = &window_system;
        apply_program_setup(setup, params);
        app = std::make_unique<Application>(params);
    }
    ~SampleProgram()
    {
        app.reset();
        if (const auto release = engine_setup().release_resource_types)
            release(); // what registering the types installed goes with the program
    }
    render::d3d11::D3DRenderDevice &device()
    {
        return static_cast<render::d3d11::D3DRenderDevice &>(app->render_service()->render_interface()->device());
    }
    /// The sparks' effect (the boot script's first) in the first world, or null. Read it
    /// only while the render side is idle.
    ParticleEffect *sparks()
    {
        if (app->worlds().empty())
            return nullptr;
        ParticleWorld *particles = particle_world_of(app->worlds()[0]->particles());
        return particles && particles->render_object() ? particles->render_object()->find(0) : nullptr;
    }

    TempDirectory config_home;
    TempDirectory data_home;
    platform::HeadlessWindowSystem window_system{default_allocator()};
    const char *arguments[3] = {"bin/tallow", "-data-dir", TALLOW_BUILT_DATA_DIR};
    ApplicationOptions options{default_allocator(), 3, arguments};
    ApplicationParams params;
    std::unique_ptr<Application> app;
};

/// The draws of the sparks' billboards in a frame's journal: 6 indices per instance (one
/// instance goes through the plain indexed draw), the particles' stream in slot 1.
std::vector<d3d11::DrawRecord> billboard_draws(const std::vector<d3d11::DrawRecord> &draws)
{
    std::vector<d3d11::DrawRecord> out;
    for (const d3d11::DrawRecord &d : draws)
        if ((d.op == d3d11::ContextOp::draw_indexed_instanced || d.op == d3d11::ContextOp::draw_indexed) &&
            d.vertex_count == 6 && d.vertex_buffers[1].buffer != 0)
            out.push_back(d);
    return out;
}

TEST(SampleRender, TheSparksAreDrawnAsInstancedBillboardsBlendedAfterTheOpaqueLayer)
{
    SampleProgram program;
    ASSERT_TRUE(program.app->init());
    RenderInterface *render = program.app->render_service()->render_interface();
    ID3D11DeviceContext *context = program.device().immediate_context();
    u32 frames_with_sparks = 0;
    for (int frame = 0; frame < 8; ++frame) {
        SCOPED_TRACE(frame);
        render->wait_until_idle();
        d3d11::headless_clear_journal(context);
        // Frames a little apart, so that the effect has spawned a few particles.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(program.app->update());
        render->wait_until_idle();
        const std::vector<d3d11::DrawRecord> draws = d3d11::headless_draws(context);
        const std::vector<d3d11::DrawRecord> billboards = billboard_draws(draws);
        ParticleEffect *sparks = program.sparks();
        if (!sparks || sparks->system(0).live_count == 0) {
            EXPECT_TRUE(billboards.empty());
            continue;
        }
        ++frames_with_sparks;
        // One draw per view, one instance per live particle, from the corner stream and the
        // particles' own stream, with the particle shader's blending.
        ASSERT_FALSE(billboards.empty());
        u64 box_blend = 0;
        size_t last_box = 0, first_billboard = draws.size();
        for (size_t i = 0; i < draws.size(); ++i) {
            const bool billboard = draws[i].vertex_count == 6 && draws[i].vertex_buffers[1].buffer != 0;
            if (billboard)
                first_billboard = std::min(first_billboard, i);
            if (draws[i].op == d3d11::ContextOp::draw_indexed && draws[i].vertex_count == 36 &&
                first_billboard == draws.size()) {
                last_box = i;
                box_blend = draws[i].blend_state;
            }
        }
        for (const d3d11::DrawRecord &d : billboards) {
            EXPECT_EQ(d.instance_count, sparks->system(0).live_count);
            EXPECT_EQ(d.vertex_buffers[0].stride, 8u);
            EXPECT_EQ(d.vertex_buffers[1].stride, 20u);
            EXPECT_NE(d.vertex_buffers[0].buffer, d.vertex_buffers[1].buffer);
            EXPECT_EQ(d.index_format, DXGI_FORMAT_R16_UINT);
            EXPECT_NE(d.input_layout, 0u);
            EXPECT_NE(d.render_targets[0], 0u);
            EXPECT_NE(d.blend_state, box_blend) << "the particle shader blends; the boxes do not";
            // The view's matrices and the camera reach the vertex stage: view_proj, then
            // camera_world (transposed: the sample's camera stands at (0, -10, 5), its
            // translation in the fourth column), then the tint.
            const std::vector<u8> &constants = d.stages[0].constant_bytes[0];
            ASSERT_GE(constants.size(), 140u);
            f32 camera_world[16], tint[3];
            memcpy(camera_world, constants.data() + 64, sizeof camera_world);
            memcpy(tint, constants.data() + 128, sizeof tint);
            EXPECT_NEAR(camera_world[3], 0.0f, 1e-5f);
            EXPECT_NEAR(camera_world[7], -10.0f, 1e-4f);
            EXPECT_NEAR(camera_world[11], 5.0f, 1e-4f);
            EXPECT_EQ(camera_world[15], 1.0f);
            EXPECT_EQ(tint[0], 1.0f);
            f32 projection_x = 0;
            memcpy(&projection_x, constants.data(), 4);
            EXPECT_GT(projection_x, 0.0f);
        }
        // The transparent layer runs after the opaque one: the boxes come first.
        EXPECT_GT(last_box, 0u);
        EXPECT_LT(last_box, first_billboard);
    }
    EXPECT_GT(frames_with_sparks, 3u);
    EXPECT_TRUE(d3d11::headless_diagnostics().empty()) << d3d11::headless_diagnostics().front().message;
}

/// A frame's back buffer (RGBA, rows top to bottom), read back as the frame captures are.
struct BackBuffer : RgbaImage {
    /// Pixels inside [x0, x1) x [y0, y1) that only the sparks' orange light makes: the
    /// backdrop stays below 80 in every channel.
    u32 lit(i32 x0, i32 y0, i32 x1, i32 y1) const
    {
        u32 n = 0;
        for (i32 y = std::max(y0, 0); y < std::min(y1, i32(height)); ++y)
            for (i32 x = std::max(x0, 0); x < std::min(x1, i32(width)); ++x) {
                const u8 *p = &pixels[(size_t(y) * width + x) * 4];
                n += p[0] > 120 && p[0] > p[2] + 40;
            }
        return n;
    }
};

BackBuffer read_back_buffer(Application &app)
{
    BackBuffer out;
    std::string error;
    EXPECT_TRUE(capture_back_buffer(app, out, error)) << error;
    return out;
}

/// The sample's tests on the OpenGL backend: skipped where no context can be made, and under
/// the thread sanitizer (Mesa's software rasteriser runs threads of its own that it cannot
/// see into, so their locks look like races; the headless tests run the same frames under it).
class SampleOnOpenGl : public ::testing::Test {
  protected:
    void SetUp() override
    {
#if defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "the OpenGL backend is not run under the thread sanitizer";
#endif
        std::string reason;
        if (!d3d11::gl_available(&reason))
            GTEST_SKIP() << "no usable EGL / OpenGL 4.5 here: " << reason;
        d3d11::set_backend(d3d11::Backend::gl);
    }
    void TearDown() override { d3d11::set_backend(d3d11::Backend::headless); }
};

TEST_F(SampleOnOpenGl, TheSparksLightUpThePixelsWhereTheyAre)
{
    SampleProgram program;
    ASSERT_TRUE(program.app->init());
    // Fixed steps: the same sparks in every run, however busy the machine.
    program.app->set_fixed_frame_step(1.0f / 30.0f);
    RenderInterface *render = program.app->render_service()->render_interface();
    for (int frame = 0; frame < 10; ++frame)
        ASSERT_TRUE(program.app->update());
    render->wait_until_idle();
    ParticleEffect *sparks = program.sparks();
    ASSERT_NE(sparks, nullptr);
    const ParticleEmitter &emitter = sparks->emitter(0);
    ASSERT_GT(emitter.vertex_count(), 5u);
    const BackBuffer with = read_back_buffer(*program.app);
    ASSERT_GT(with.width, 0u);

    // Where the drawn particles are on screen: their positions through the view's camera
    // (the sample's camera unit), widened by a few pixels for the billboards' size.
    ParticleWorld *particles = particle_world_of(program.app->worlds()[0]->particles());
    RenderWorld *render_world = particles->render_object()->render_world();
    ASSERT_NE(render_world, nullptr);
    const RenderCamera *camera = nullptr; // the one unit at (0, -10, 5), the sample's viewpoint
    for (Unit *unit : program.app->worlds()[0]->units())
        if (const Camera *c = unit->camera(0); c && translation(unit->scene_graph().world_pose(0)).y == -10.0f)
            if (RenderObject *o = render_world->object(c->handle()); o && o->class_id() == u32(RenderObjectClass::Camera))
                camera = static_cast<const RenderCamera *>(o);
    ASSERT_NE(camera, nullptr);
    const Matrix4x4 &view_projection = camera->view_projection();
    f32 x0 = 1e9f, y0 = 1e9f, x1 = -1e9f, y1 = -1e9f;
    for (u32 i = 0; i < emitter.vertex_count(); ++i) {
        f32 p[3];
        memcpy(p, emitter.vertices() + size_t(i) * emitter.info().stride, sizeof p);
        f32 clip[4];
        for (u32 c = 0; c < 4; ++c)
            clip[c] = p[0] * view_projection.m[0][c] + p[1] * view_projection.m[1][c] + p[2] * view_projection.m[2][c] +
                      view_projection.m[3][c];
        ASSERT_GT(clip[3], 0.0f) << "in front of the camera";
        const f32 x = (clip[0] / clip[3] * 0.5f + 0.5f) * f32(with.width);
        const f32 y = (0.5f - clip[1] / clip[3] * 0.5f) * f32(with.height);
        x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
    }
    const i32 margin = 8;
    const i32 box[4] = {i32(x0) - margin, i32(y0) - margin, i32(x1) + margin, i32(y1) + margin};
    const u32 lit = with.lit(box[0], box[1], box[2], box[3]);
    // Seen from the sample's camera, some 14 m away, sparks overlap: a pixel for every other
    // spark at least.
    EXPECT_GE(lit * 2, emitter.vertex_count()) << "lit pixels in the box " << box[0] << "," << box[1]
                                           << " to " << box[2] << "," << box[3];

    // Without the effect the place shows the frame's backdrop again.
    program.app->worlds()[0]->particles().destroy_particles(0);
    for (int frame = 0; frame < 5; ++frame)
        ASSERT_TRUE(program.app->update());
    render->wait_until_idle();
    EXPECT_EQ(program.sparks(), nullptr);
    const BackBuffer without = read_back_buffer(*program.app);
    EXPECT_LT(without.lit(box[0], box[1], box[2], box[3]) * 4, lit);
}

TEST_F(SampleOnOpenGl, DebugLinesAndStatusTextReachTheBackBuffer)
{
    SampleProgram program;
    ASSERT_TRUE(program.app->init());
    for (int frame = 0; frame < 4; ++frame)
        ASSERT_TRUE(program.app->update());
    program.app->render_service()->render_interface()->wait_until_idle();
    const BackBuffer frame = read_back_buffer(*program.app);
    const u32 width = frame.width, height = frame.height;
    ASSERT_EQ(frame.pixels.size(), u64(width) * height * 4);
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
        {"cyan debug box", 0, 0, width, height, {0, 200, 200}, {80, 255, 255}, 20, width * height / 20},
        {"yellow debug ring", 0, 0, width, height, {200, 200, 0}, {255, 255, 80}, 50, width * height / 20},
        {"white status text", 0, height - 60, 400, height, {200, 200, 200}, {255, 255, 255}, 300, 3000},
    };
    for (const Region &r : regions) {
        SCOPED_TRACE(r.name);
        u32 found = 0;
        for (u32 y = r.y0; y < r.y1; ++y)
            for (u32 x = r.x0; x < r.x1; ++x) {
                const u8 *p = &frame.pixels[(u64(y) * width + x) * 4];
                bool in = true;
                for (u32 c = 0; c < 3; ++c)
                    in = in && p[c] >= r.low[c] && p[c] <= r.high[c];
                found += in;
            }
        EXPECT_GE(found, r.at_least);
        EXPECT_LE(found, r.at_most);
    }
}

/// A crate's texel: the crate texture's warm browns under the sample's light (red well above
/// green, green above blue, blue a fair share of red). The floor is darker, the sky blue and
/// the zone's paint orange with almost no blue.
bool crate_texel(const u8 *p)
{
    const i32 r = p[0], g = p[1], b = p[2];
    return r >= 90 && r >= g + 30 && g >= b + 12 && b * 100 >= r * 16 && b * 100 <= r * 55;
}

/// What one read-back frame shows of the sample's crates, through the engine's own camera.
struct CrateView {
    const BackBuffer &frame;
    Matrix4x4 view_projection;

    /// A world point in pixels (x right, y down); false behind the camera.
    bool project(Vector3 p, f32 &x, f32 &y) const
    {
        f32 clip[4];
        for (u32 c = 0; c < 4; ++c)
            clip[c] = p.x * view_projection.m[0][c] + p.y * view_projection.m[1][c] + p.z * view_projection.m[2][c] +
                      view_projection.m[3][c];
        if (clip[3] <= 0.0f)
            return false;
        x = (clip[0] / clip[3] * 0.5f + 0.5f) * f32(frame.width);
        y = (0.5f - clip[1] / clip[3] * 0.5f) * f32(frame.height);
        return true;
    }
    /// Crate texels in [x0, x1) x [y0, y1), clipped to the frame.
    u32 crate_texels(i32 x0, i32 y0, i32 x1, i32 y1) const
    {
        u32 n = 0;
        for (i32 y = std::max(y0, 0); y < std::min(y1, i32(frame.height)); ++y)
            for (i32 x = std::max(x0, 0); x < std::min(x1, i32(frame.width)); ++x)
                n += crate_texel(&frame.pixels[(size_t(y) * frame.width + x) * 4]);
        return n;
    }
};

/// The sample's camera (the unit at (0, -10, 5), its viewpoint) on the render side; read
/// while the render side is idle.
const RenderCamera *sample_camera(Application &app)
{
    RenderWorld *render_world = app.render_service()->render_interface()->render_world_of(app.worlds()[0]);
    if (!render_world)
        return nullptr;
    for (Unit *unit : app.worlds()[0]->units())
        if (const Camera *c = unit->camera(0); c && translation(unit->scene_graph().world_pose(0)).y == -10.0f)
            if (RenderObject *o = render_world->object(c->handle()); o && o->class_id() == u32(RenderObjectClass::Camera))
                return static_cast<const RenderCamera *>(o);
    return nullptr;
}

// The frame means what the world holds: left to the scripted player until it has pushed a
// crate into the zone and everything has come to rest, the read-back frame shows each crate
// where the physics holds it (projected through the sample's own camera), the pushed crate
// inside the zone's projected outline, and no crate in the sky above the floor's far edge.
// Each check looks at the crates' drawn area, not single pixels, so a few centimetres of
// resting height change nothing.
TEST_F(SampleOnOpenGl, CratesAreDrawnWhereThePhysicsHoldsThem)
{
    SampleProgram program;
    ASSERT_TRUE(program.app->init());
    Application &app = *program.app;
    app.set_fixed_frame_step(1.0f / 30.0f);
    lua_State *L = static_cast<MyGame *>(app.game())->lua().state();
    auto score = [&] {
        EXPECT_EQ(luaL_dostring(L, "return require('game/yard').score()"), 0) << lua_tostring(L, -1);
        const lua_Integer n = lua_tointeger(L, -1);
        lua_settop(L, 0);
        return n;
    };
    u32 frame = 0, scored = 0;
    for (; frame < 900 && (scored == 0 || frame < scored + 45); ++frame) {
        ASSERT_TRUE(app.update()) << "the game quit at frame " << frame;
        if (scored == 0 && score() > 0)
            scored = frame;
    }
    ASSERT_GT(scored, 0u) << "the scripted player pushed no crate into the zone";
    RenderInterface *render = app.render_service()->render_interface();
    render->wait_until_idle();
    const BackBuffer frame_image = read_back_buffer(app);
    ASSERT_GT(frame_image.width, 0u);
    const RenderCamera *camera = sample_camera(app);
    ASSERT_NE(camera, nullptr);
    const CrateView view{frame_image, camera->view_projection()};

    // The zone (units/zone at (6.5, -2), 2 m either way) and the floor's far edge (y = 20).
    const Vector3 zone_centre{6.5f, -2.0f, 0.0f};
    const f32 zone_half = 2.0f;
    std::array<std::array<f32, 2>, 4> zone;
    const Vector3 zone_corners[4] = {{4.5f, -4, 0}, {8.5f, -4, 0}, {8.5f, 0, 0}, {4.5f, 0, 0}};
    for (u32 i = 0; i < 4; ++i)
        ASSERT_TRUE(view.project(zone_corners[i], zone[i][0], zone[i][1]));
    auto in_zone_outline = [&](f32 x, f32 y) {
        // A convex quad: the point is on the inner side of every edge.
        f32 sign = 0;
        for (u32 i = 0; i < 4; ++i) {
            const auto &a = zone[i], &b = zone[(i + 1) % 4];
            const f32 c = (b[0] - a[0]) * (y - a[1]) - (b[1] - a[1]) * (x - a[0]);
            if (sign == 0)
                sign = c;
            else if (c * sign < 0)
                return false;
        }
        return true;
    };
    f32 horizon = f32(frame_image.height);
    for (f32 x : {-20.0f, 0.0f, 20.0f}) {
        f32 px, py;
        ASSERT_TRUE(view.project({x, 20, 0}, px, py));
        horizon = std::min(horizon, py);
    }

    u32 crates = 0, pushed = 0;
    for (Unit *unit : app.worlds()[0]->units()) {
        if (unit->resource().name != NameId64("units/crate"))
            continue;
        const Matrix4x4 &pose = unit->scene_graph().world_pose(0);
        const Vector3 centre = translation(pose);
        SCOPED_TRACE(testing::Message() << "the crate at " << centre.x << " " << centre.y << " " << centre.z);
        EXPECT_LT(centre.z, 2.0f) << "every crate has landed (on the floor or on another crate)";
        // Its drawn rectangle: the box's corners (0.5 m half extents) through the camera.
        f32 x0 = 1e9f, y0 = 1e9f, x1 = -1e9f, y1 = -1e9f;
        bool seen = true;
        for (u32 k = 0; k < 8; ++k) {
            const Vector3 local{k & 1 ? 0.5f : -0.5f, k & 2 ? 0.5f : -0.5f, k & 4 ? 0.5f : -0.5f};
            f32 x = 0, y = 0;
            seen = seen && view.project(transform_point(pose, local), x, y);
            x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
        }
        if (!seen || x1 < 0 || y1 < 0 || x0 >= f32(frame_image.width) || y0 >= f32(frame_image.height))
            continue; // out of view
        ++crates;
        // A cube covers well over half of its projected rectangle; a third of it in crate
        // texels means the crate is drawn there.
        const f32 area = (x1 - x0) * (y1 - y0);
        const u32 texels = view.crate_texels(i32(x0), i32(y0), i32(x1) + 1, i32(y1) + 1);
        EXPECT_GE(f32(texels), area / 3) << "crate texels in its rectangle " << x0 << "," << y0 << " to " << x1
                                         << "," << y1;
        if (std::fabs(centre.x - zone_centre.x) < zone_half && std::fabs(centre.y - zone_centre.y) < zone_half) {
            ++pushed;
            f32 x = 0, y = 0;
            ASSERT_TRUE(view.project(centre - Vector3{0, 0, 0.5f}, x, y)); // where it stands
            EXPECT_TRUE(in_zone_outline(x, y)) << "drawn standing at " << x << "," << y;
            const i32 r = std::max(2, i32((x1 - x0) / 6));
            EXPECT_GE(view.crate_texels(i32(x) - r, i32(y) - 3 * r, i32(x) + r, i32(y)), u32(r * r))
                << "crate texels just above where it stands";
        }
    }
    EXPECT_GE(crates, 8u) << "the crates in view";
    EXPECT_EQ(pushed, u32(score())) << "the crates the game counts in the zone are in it";
    // The sky: every row above the floor's far edge (less a margin for the lamp and the
    // weathervane's tips, which are not crates).
    EXPECT_LE(view.crate_texels(0, 0, i32(frame_image.width), i32(horizon) - 4), 20u)
        << "crate texels in the sky band above row " << horizon;
}

} // namespace
} // namespace tallow::test
