// The shipped sample lit by its sun and its lamp: the program's services over the compiled
// data, a shading environment on the sample's lighting materials, and one view through the
// lamp post's camera. On the headless backend the draw records show each pass of the deferred
// pipeline; on the OpenGL backend the read-back frame shows the door's shadow and the lamp's
// light on the floor.
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
#include "foundation/math/quaternion.h"
#include "render/world/render_camera.h"
#include "render/world/render_light.h"
#include "render/world/render_shading_environment.h"
#include "resource/resource_manager.h"
#include "tests/support/image/frame_capture.h"
#include "tests/support/temp_directory.h"
#include "world/units/unit.h"
#include "world/world.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

namespace tallow::test {
namespace {

u32 id32(const char *name) { return NameId32(name).value(); }

/// The sample started as the program starts it, on one backend, with a shading environment
/// of its own on the sample's "shading_environments/default" (the sun towards (0.3, -0.5,
/// 0.81)).
class SampleLighting {
  public:
    explicit SampleLighting(d3d11::Backend backend)
    {
        d3d11::set_backend(backend);
        d3d11::headless_reset(); // journal and draw records on
        setenv("XDG_CONFIG_HOME", _config_home.path(), 1);
        setenv("XDG_DATA_HOME", _data_home.path(), 1); // the sample's saves
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        _options = std::make_unique<ApplicationOptions>(default_allocator(), 3, _arguments);
        ApplicationParams params = engine_params(*_options, _window_system);
        _app = std::make_unique<Application>(params);
    }
    ~SampleLighting()
    {
        if (_environment && world())
            world()->destroy_shading_environment(*_environment);
        if (_app)
            _app->shutdown();
        d3d11::set_backend(d3d11::Backend::headless);
    }

    /// Starts the program and makes the environment; false (with a failure) when anything
    /// is missing.
    bool start()
    {
        if (!_app->init() || !_app->render_service() || !render() || _app->worlds().size() == 0)
            return false;
        _environment = world()->create_shading_environment(NameId64("shading_environments/default"));
        if (!_environment || !_environment->update())
            return false;
        for (Unit *unit : world()->units())
            if (i32 i = unit->find_camera(id32("overview")); i >= 0)
                _camera = unit->camera_handle(u32(i));
        return _camera != no_render_handle;
    }

    /// One view of the world through the lamp post's camera, drawn, presented (so the
    /// device has finished it before a read-back) and executed.
    void render_frame()
    {
        _environment->apply_variables();
        _app->render_world(*world(), _camera, no_render_handle, _environment->handle());
        render()->present_frame(0);
        render()->wait_until_idle();
    }

    /// One view through the lamp post's camera with `environment` in place of the sample's.
    void render_frame(ShadingEnvironment &environment)
    {
        environment.apply_variables();
        _app->render_world(*world(), _camera, no_render_handle, environment.handle());
        render()->present_frame(0);
        render()->wait_until_idle();
    }

    /// Draws through `camera` (a render handle) from now on.
    void set_camera(u32 camera) { _camera = camera; }

    Application &app() { return *_app; }
    ShadingEnvironment &environment() { return *_environment; }
    World *world() { return _app->worlds().size() ? _app->worlds()[0] : nullptr; }
    RenderInterface *render() { return _app->render_service()->render_interface(); }
    render::d3d11::D3DRenderDevice &device() { return static_cast<render::d3d11::D3DRenderDevice &>(render()->device()); }

  private:
    TempDirectory _config_home;
    TempDirectory _data_home;
    platform::HeadlessWindowSystem _window_system{default_allocator()};
    const char *_arguments[3] = {"bin/tallow", "-data-dir", TALLOW_BUILT_DATA_DIR};
    std::unique_ptr<ApplicationOptions> _options;
    std::unique_ptr<Application> _app;
    ShadingEnvironment *_environment = nullptr;
    u32 _camera = no_render_handle;
};

TEST(SampleLightingTest, OneFrameDrawsTheShadowSliceTheGBufferAndEachLightThroughTheDevice)
{
    SampleLighting sample(d3d11::Backend::headless);
    ASSERT_TRUE(sample.start());
    ID3D11DeviceContext *context = sample.device().immediate_context();
    sample.render_frame(); // the units' first state reaches the render side with this one
    d3d11::headless_clear_journal(context);
    sample.render_frame();

    // Shadow casters: depth only (no colour target), one depth target over the whole
    // square map. G-buffer: the same boxes into three colour targets and the view's depth.
    // The ambient light: one fullscreen triangle into the back buffer reading two inputs;
    // the sun: the same reading four, after it; the lamp: its proxy box into the back buffer
    // alone, after the sun, reading the G-buffer.
    u32 casters = 0, gbuffer = 0, ambient = 0, sun = 0, lamp = 0;
    u64 back_buffer = 0;
    u64 shadow_map = 0, view_depth = 0;
    std::set<u64> gbuffer_targets;
    for (const d3d11::DrawRecord &d : d3d11::headless_draws(context)) {
        const bool any_colour = d.render_targets[0] != 0;
        if (!any_colour && d.depth_stencil_view != 0 && d.op == d3d11::ContextOp::draw_indexed) {
            ++casters;
            EXPECT_TRUE(shadow_map == 0 || shadow_map == d.depth_stencil_view);
            shadow_map = d.depth_stencil_view;
            ASSERT_EQ(d.viewports.size(), 1u);
            EXPECT_EQ(d.viewports[0][2], d.viewports[0][3]); // the square map, whole
            EXPECT_EQ(d.stages[u32(d3d11::Stage::pixel)].shader, 0u);
        } else if (d.render_targets[2] != 0 && d.op == d3d11::ContextOp::draw_indexed) {
            ++gbuffer;
            for (u32 t = 0; t < 3; ++t)
                gbuffer_targets.insert(d.render_targets[t]);
            EXPECT_EQ(d.render_targets[3], 0u);
            view_depth = d.depth_stencil_view;
            EXPECT_EQ(casters, 0u) << "the G-buffer is drawn before the shadow map";
        } else if (d.op == d3d11::ContextOp::draw && d.vertex_count == 3 && d.render_targets[1] == 0 &&
                   d.stages[u32(d3d11::Stage::pixel)].resources[2] == 0) {
            ++ambient;
            back_buffer = d.render_targets[0];
            EXPECT_GT(gbuffer, 0u) << "the ambient light reads the drawn G-buffer";
            EXPECT_NE(d.stages[u32(d3d11::Stage::pixel)].resources[1], 0u);
        } else if (d.op == d3d11::ContextOp::draw && d.vertex_count == 3 && d.render_targets[1] == 0 &&
                   d.stages[u32(d3d11::Stage::pixel)].resources[3] != 0) {
            ++sun;
            EXPECT_EQ(d.render_targets[0], back_buffer) << "the sun is added after the ambient light";
            EXPECT_GT(casters, 0u) << "the sun is drawn after its shadow map";
            EXPECT_EQ(d.depth_stencil_view, 0u);
            for (u32 r = 0; r < 4; ++r)
                EXPECT_NE(d.stages[u32(d3d11::Stage::pixel)].resources[r], 0u) << r;
        } else if (d.op == d3d11::ContextOp::draw_indexed && d.render_targets[0] != 0 && d.render_targets[1] == 0) {
            ++lamp;
            EXPECT_EQ(sun, 1u) << "the lamp is added after the sun";
            EXPECT_EQ(d.render_targets[0], back_buffer);
            EXPECT_EQ(d.depth_stencil_view, 0u);
            for (u32 r = 0; r < 3; ++r)
                EXPECT_NE(d.stages[u32(d3d11::Stage::pixel)].resources[r], 0u) << r;
        }
    }
    // The door, the floor, the lamp post and the crates: each box is a caster and a
    // G-buffer draw (the light's box sees all of them; the view may see fewer).
    EXPECT_GE(casters, 4u);
    EXPECT_GE(gbuffer, 3u);
    EXPECT_EQ(ambient, 1u);
    EXPECT_EQ(sun, 1u);
    EXPECT_EQ(lamp, 1u);
    EXPECT_EQ(gbuffer_targets.size(), 3u);
    EXPECT_NE(shadow_map, view_depth);
    EXPECT_TRUE(d3d11::headless_diagnostics().empty()) << d3d11::headless_diagnostics().front().message;
}

/// One frame read back; `luminance_at` gives the mean luminance of the 3 x 3 pixels round
/// the projection of a world point through the lamp post's camera (at (3, 0, 3) looking
/// along y, 1.22 rad vertically, no roll).
struct Frame : RgbaImage {
    f32 luminance_at(f32 x, f32 y, f32 z) const
    {
        const f32 right = x - 3.0f, forward = y, up = z - 3.0f;
        const f32 tan_half = std::tan(1.22f / 2);
        const f32 aspect = f32(width) / f32(height);
        const i32 px = i32((0.5f + 0.5f * right / forward / (tan_half * aspect)) * f32(width));
        const i32 py = i32((0.5f - 0.5f * up / forward / tan_half) * f32(height));
        f32 sum = 0;
        for (i32 dy = -1; dy <= 1; ++dy)
            for (i32 dx = -1; dx <= 1; ++dx) {
                const u8 *p = &pixels[(size_t(py + dy) * width + size_t(px + dx)) * 4];
                sum += 0.2126f * p[0] + 0.7152f * p[1] + 0.0722f * p[2];
            }
        return sum / 9;
    }
};

Frame draw_and_read(SampleLighting &sample)
{
    sample.render_frame();
    sample.render_frame(); // the light's changes reach the render side with the first one
    Frame f;
    std::string error;
    EXPECT_TRUE(capture_back_buffer(sample.app(), f, error)) << error;
    return f;
}

TEST(SampleLightingTest, TheDoorShadowsTheFloorAndTheLampLightsItOnTheOpenGlBackend)
{
    std::string reason;
    if (!d3d11::gl_available(&reason))
        GTEST_SKIP() << "no usable EGL / OpenGL 4.5 here: " << reason;
    SampleLighting sample(d3d11::Backend::gl);
    ASSERT_TRUE(sample.start());
    const Frame frame = draw_and_read(sample);
    ASSERT_FALSE(frame.pixels.empty());

    // The door's leaf (x 3 to 4, up to 2 m) throws its shadow away from the sun, along
    // (-0.3, 0.5, -0.81): floor at (2.7, 5) lies in it, floor at (1.5, 5) and (6, 5.4) does
    // not. The shadowed floor keeps its ambient light (and a little of the lamp's).
    const f32 shadowed = frame.luminance_at(2.7f, 5.0f, 0.0f);
    EXPECT_GT(shadowed, 2.0f) << "ambient light reaches the shadow";
    EXPECT_LT(shadowed, 0.6f * frame.luminance_at(1.5f, 5.0f, 0.0f));
    EXPECT_LT(shadowed, 0.6f * frame.luminance_at(6.0f, 5.4f, 0.0f));
    // Above the horizon: the sky the G-buffer's clear leaves, unlit.
    const u8 *sky = &frame.pixels[(size_t(8) * frame.width + 8) * 4];
    EXPECT_EQ((std::array<u8, 3>{sky[0], sky[1], sky[2]}), (std::array<u8, 3>{115, 153, 204}));

    // The lamp (omni, at the camera, reaching 10 m) put out: the floor within its reach
    // darkens, the floor past it stays as it was.
    Light *lamp = nullptr;
    for (Unit *unit : sample.world()->units())
        if (i32 i = unit->find_light(id32("lamp")); i >= 0)
            lamp = unit->light(u32(i));
    ASSERT_NE(lamp, nullptr);
    lamp->set_color(0, 0, 0);
    const Frame dark = draw_and_read(sample);
    ASSERT_FALSE(dark.pixels.empty());
    EXPECT_GT(frame.luminance_at(1.5f, 4.8f, 0.0f), dark.luminance_at(1.5f, 4.8f, 0.0f) + 3.0f);
    EXPECT_EQ(frame.luminance_at(-2.0f, 14.0f, 0.0f), dark.luminance_at(-2.0f, 14.0f, 0.0f));
}

} // namespace
} // namespace tallow::test

namespace tallow::test {
namespace {

/// The sample's shading environment with its "ambient_color" scaled in every setting.
std::unique_ptr<ShadingEnvironmentResource> scaled_ambient(const ShadingEnvironmentResource &sample, f32 scale)
{
    auto copy = std::make_unique<ShadingEnvironmentResource>(default_allocator());
    copy->material = sample.material;
    copy->variables = sample.variables;
    copy->settings = sample.settings;
    copy->bindings = sample.bindings;
    copy->render_variables = sample.render_variables;
    copy->setting_bytes = sample.setting_bytes;
    for (const ShadingRenderVariable &rv : sample.render_variables) {
        if (rv.id != id32("ambient_color"))
            continue;
        const ShadingVariableDesc &v = sample.variables[rv.variable];
        for (const ShadingSetting &setting : sample.settings)
            for (u32 c = 0; c < 3; ++c) {
                f32 value;
                u8 *at = copy->setting_bytes.data() + setting.offset + v.offset + c * 4;
                memcpy(&value, at, 4);
                value *= scale;
                memcpy(at, &value, 4);
            }
    }
    return copy;
}

TEST(SampleLightingTest, TheAmbientLightTakesItsColourFromTheShadingEnvironment)
{
    // The ambient pass reads "ambient_color" from the world's shading environment: twice the
    // colour, twice the light on every surface the sun and the lamp leave alone. Both
    // environments here come without the sun's material, so only the ambient light and the
    // lamp remain; the floor at (-2, 14) lies past the lamp's reach, and the sky stays the sky.
    std::string reason;
    if (!d3d11::gl_available(&reason))
        GTEST_SKIP() << "no usable EGL / OpenGL 4.5 here: " << reason;
    SampleLighting sample(d3d11::Backend::gl);
    ASSERT_TRUE(sample.start());
    const ShadingEnvironmentResource &resource = *sample.environment().resource();
    Frame frames[2];
    for (u32 i = 0; i < 2; ++i) {
        std::unique_ptr<ShadingEnvironmentResource> scaled = scaled_ambient(resource, i == 0 ? 1.0f : 2.0f);
        ShadingEnvironment *environment = sample.world()->render_link().create_shading_environment(scaled.get(), nullptr);
        ASSERT_NE(environment, nullptr);
        ASSERT_TRUE(environment->update());
        sample.render_frame(*environment);
        sample.render_frame(*environment);
        std::string error;
        EXPECT_TRUE(capture_back_buffer(sample.app(), frames[i], error)) << error;
        sample.world()->render_link().destroy_shading_environment(*environment);
        sample.render()->wait_until_idle();
        ASSERT_FALSE(frames[i].pixels.empty());
    }
    const f32 once = frames[0].luminance_at(-2.0f, 14.0f, 0.0f);
    const f32 twice = frames[1].luminance_at(-2.0f, 14.0f, 0.0f);
    EXPECT_GT(once, 5.0f) << "the ambient light alone lights the floor";
    EXPECT_NEAR(twice, 2.0f * once, 0.05f * 2.0f * once + 1.0f);
    const u8 *sky[2] = {&frames[0].pixels[(size_t(8) * frames[0].width + 8) * 4],
                        &frames[1].pixels[(size_t(8) * frames[1].width + 8) * 4]};
    EXPECT_EQ((std::array<u8, 3>{sky[0][0], sky[0][1], sky[0][2]}), (std::array<u8, 3>{sky[1][0], sky[1][1], sky[1][2]}));
}

} // namespace
} // namespace tallow::test

namespace tallow::test {
namespace {

TEST(SampleLightingTest, TheLampLightsTheFloorAlsoWhenItsBoxReachesPastTheFarPlane)
{
    // The sample's own view (0, -10, 5), tipped 0.4 rad down, sees the zone's floor at
    // (4, -3), 4.4 m from the lamp, about 8.4 m ahead, while the back faces of the lamp's light box (10.7 m each way round
    // (3, 0, 3)) lie past 12 m. With the far plane at 12 m, the floor there must get the same
    // light from the lamp as with the far plane at 1000 m.
    std::string reason;
    if (!d3d11::gl_available(&reason))
        GTEST_SKIP() << "no usable EGL / OpenGL 4.5 here: " << reason;
    SampleLighting sample(d3d11::Backend::gl);
    ASSERT_TRUE(sample.start());
    const f32 pitch = -0.4f;
    Matrix4x4 pose = matrix4x4_from_quaternion(quaternion_from_axis_angle({1, 0, 0}, pitch));
    set_translation(pose, {0, -10, 5});
    Unit *viewpoint = sample.world()->spawn_unit(NameId64("units/camera"), pose);
    ASSERT_NE(viewpoint, nullptr);
    const i32 eye = viewpoint->find_camera(id32("eye"));
    ASSERT_GE(eye, 0);
    Camera *camera = viewpoint->camera(u32(eye));
    ASSERT_NE(camera, nullptr);
    sample.set_camera(viewpoint->camera_handle(u32(eye)));
    Light *lamp = nullptr;
    for (Unit *unit : sample.world()->units())
        if (i32 i = unit->find_light(id32("lamp")); i >= 0)
            lamp = unit->light(u32(i));
    ASSERT_NE(lamp, nullptr);

    // The floor point's pixel through this camera (field of view 1.22 rad vertically).
    auto luminance = [&](const RgbaImage &f) {
        const Vector3 p{4.0f - 0.0f, -3.0f + 10.0f, 0.0f - 5.0f};
        const f32 forward = p.y * std::cos(pitch) + p.z * std::sin(pitch);
        const f32 up = -p.y * std::sin(pitch) + p.z * std::cos(pitch);
        const f32 tan_half = std::tan(1.22f / 2);
        const f32 aspect = f32(f.width) / f32(f.height);
        const i32 px = i32((0.5f + 0.5f * p.x / forward / (tan_half * aspect)) * f32(f.width));
        const i32 py = i32((0.5f - 0.5f * up / forward / tan_half) * f32(f.height));
        f32 sum = 0;
        for (i32 dy = -1; dy <= 1; ++dy)
            for (i32 dx = -1; dx <= 1; ++dx) {
                const u8 *q = &f.pixels[(size_t(py + dy) * f.width + size_t(px + dx)) * 4];
                sum += 0.2126f * q[0] + 0.7152f * q[1] + 0.0722f * q[2];
            }
        return sum / 9;
    };
    f32 lamp_light[2] = {};
    const f32 far_ranges[2] = {1000.0f, 12.0f};
    for (u32 i = 0; i < 2; ++i) {
        camera->set_far_range(far_ranges[i]);
        lamp->set_color(1.0f, 0.8f, 0.5f);
        const Frame lit = draw_and_read(sample);
        lamp->set_color(0, 0, 0);
        const Frame dark = draw_and_read(sample);
        ASSERT_FALSE(lit.pixels.empty());
        ASSERT_FALSE(dark.pixels.empty());
        lamp_light[i] = luminance(lit) - luminance(dark);
    }
    EXPECT_GT(lamp_light[0], 10.0f) << "the lamp lights the floor at (4, -3)";
    EXPECT_NEAR(lamp_light[1], lamp_light[0], 0.05f * lamp_light[0] + 1.0f) << "with the far plane at 12 m";
}

} // namespace
} // namespace tallow::test
