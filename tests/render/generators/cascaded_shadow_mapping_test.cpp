// Cascaded shadow maps over a small world: two slices sharing one target, each cleared once,
// each drawing the casters its light box holds into its own quarter, under keys that keep
// every slice's commands together.
#include "render/generators/cascaded_shadow_mapping.h"
#include "render/generators/variable_override_map.h"
#include "render/math/shadow_math.h"
#include "tests/render/generators/generator_test_support.h"
#include "tests/render/world/render_scene_fixture.h"

using namespace tallow;
using namespace tallow::test;

namespace {

/// The render scene plus a configuration "sun_main" whose "shadows" layer runs generator "sun"
/// after a "shadow_casters" layer that the casters' shadow pass names; a 2048 x 1024 depth
/// target "sun_map", a material template with a shadow slot, and a "sun" material holding
/// the light direction and the mask matrix.
struct ShadowScene {
    RenderScene scene;
    ConfigText settings{"shadows = true"};
    ConfigText caps{"deferred = true"};
    RenderTarget sun_map{scene.allocator};
    LibraryPtr library;
    FakeShading shading;
    ShaderContext sun{scene.allocator};
    ResourceGenerators generators{scene.allocator};
    std::unique_ptr<ConfigBlob> config;
    RenderCamera camera{CameraBlock{}, 0xFFFFFFFFu, no_scene_node};

    /// `workers` 0: no pool; otherwise the slices' casters are drawn as jobs on one.
    explicit ShadowScene(u32 workers = 0) : scene(workers)
    {
        // The casters' shadow pass names a layer of its own, before the step's layer.
        ConfigBlob layer_text(R"(
main = [ { name = "opaque" render_targets = [ "back_buffer" ] } ]
sun_main = [ { name = "shadow_casters" } { name = "shadows" resource_generator = "sun" } ]
)");
        EXPECT_TRUE(scene.layers.load(layer_text.root(), RenderBranchValues{settings.root, caps.root}));
        resolve_passes(*scene.library, &scene.layers);
        const std::vector<VariableSpec> constants = RenderScene::default_constants();
        ShaderLibrarySource source;
        source.shaders.push_back(build_shader({"lit", constants, {}, {{"opaque", "v", "p"}}}));
        source.shaders.push_back(build_shader({"lit_shadow", constants, {}, {{"shadow_casters", "v", "p"}}}));
        source.shaders.push_back(build_shader({"sun_values",
                                               {{"sun_direction", ShaderValueType::Vector3},
                                                {"world_to_shadow_map", ShaderValueType::Matrix4x4}},
                                               {},
                                               {{"opaque", "v", "p"}}}));
        source.templates.push_back(
            {id32("lit"), {{id32("default"), {{id32("lit"), {}}}}, {id32("shadow"), {{id32("lit_shadow"), {}}}}}});
        source.templates.push_back({id32("sun"), {{id32("default"), {{id32("sun_values"), {}}}}}});
        library = read_library(source);
        resolve_passes(*library, &scene.layers);
        EXPECT_TRUE(scene.shaders.add_shader_library(*library));
        scene.shaders.update_templates(*library);
        EXPECT_TRUE(scene.shaders.find_template(id32("sun"), sun));
        shading.materials[id32("sun")] = &sun;
        scene.material.shader_template = id32("lit");

        sun_map.description = {3, 0, 2048, 1024, 1, 1};
        RenderResourceContext *context = scene.device.alloc_resource_context();
        EXPECT_TRUE(context->create_resource(&sun_map));
        scene.device.update_resources(1, &context);
        scene.device.release_resource_context(context);
        scene.globals.add(id32("sun_map"), &sun_map);
    }
    ~ShadowScene()
    {
        RenderResourceContext *context = scene.device.alloc_resource_context();
        generators.clear(context);
        context->release_resource(&sun_map);
        scene.device.update_resources(1, &context);
        scene.device.release_resource_context(context);
    }

    bool load(const char *text)
    {
        config = std::make_unique<ConfigBlob>(text);
        GeneratorLoadParams params;
        params.shaders = &scene.shaders;
        return generators.load(config->root().member("resource_generators"), params);
    }

    /// One frame of the generators with the camera at the origin looking along +y.
    const std::vector<DecodedCommand> &run(Array<RenderContext *> &contexts)
    {
        camera.compute_frustum(1280, 720, -1.0f);
        GeneratorFrame frame;
        frame.device = &scene.device;
        frame.contexts = &contexts;
        frame.resources = &scene.globals;
        frame.layer_config = scene.layers.find(id32("sun_main"));
        frame.camera = &camera;
        frame.render_world = scene.world.get();
        frame.shading = &shading;
        frame.pool = scene.pool.get();
        generators.execute_for_layers(*frame.layer_config, frame);
        scene.device.dispatch(contexts.size(), contexts.data());
        return scene.device.frames().back().commands;
    }
};

constexpr const char *two_slices = R"(
resource_generators = { sun = { modifiers = [ { type = "cascaded_shadow_mapping" light_direction = "sun:sun_direction"
    slices = [ { output = "sun_map" depth_start = 0 depth_end = 10 viewport = [0 0 0.5 0.5] mask_material = "sun" }
               { output = "sun_map" depth_start = 10 depth_end = 50 viewport = [0.5 0 0.5 0.5] } ] } ] } }
)";

u32 sub_counter_of(i64 key) { return u32(u64(key) >> 36) & 1023u; }

} // namespace

TEST(CascadedShadowMapping, EachSliceDrawsItsCastersIntoItsOwnRegion)
{
    // With no pool, and on one where the slices' casters are drawn as jobs.
    for (u32 workers : {0u, 3u}) {
        SCOPED_TRACE(testing::Message() << workers << " workers");
        ShadowScene s(workers);
        ASSERT_TRUE(s.load(two_slices));
        s.sun.set_vector3(id32("sun_direction"), 0.3f, 0.2f, -1.0f);
        // A caster 5 ahead (in the first slice) and one 30 ahead (in the second only).
        const u32 graph = s.scene.graph({placed_at(0, 5, 0), placed_at(0, 30, 0)});
        s.scene.mesh(graph, 0);
        s.scene.mesh(graph, 1);
        s.scene.frame();

        Array<RenderContext *> contexts(s.scene.allocator);
        const std::vector<DecodedCommand> &commands = s.run(contexts);
        ASSERT_EQ(contexts.size(), 3u) << "the run's context and one per slice";
        EXPECT_EQ(contexts[1]->shader_slot_index(), 1u);
        EXPECT_EQ(contexts[2]->shader_slot_index(), 1u);

        RenderTarget *map = s.scene.device.render_target(&s.sun_map, 0);
        const f32 regions[2][4] = {{0, 0, 0.5f, 0.5f}, {0.5f, 0, 0.5f, 0.5f}};
        u32 slice = 0, clears[3] = {}, draws[3] = {};
        const RenderTarget *depth[3] = {};
        bool restored = false;
        for (const DecodedCommand &c : commands) {
            const u32 sub = sub_counter_of(c.key);
            if (c.type == RenderCommand::SetViewports) {
                ASSERT_EQ(c.viewports.size(), 1u);
                if (sub == 3) {
                    restored = true;
                    EXPECT_EQ(c.viewports[0].width, 1.0f) << "the frame's viewport again";
                    continue;
                }
                ASSERT_GE(sub, 1u);
                ASSERT_LE(sub, 2u);
                EXPECT_GE(sub, slice) << "slices in order";
                slice = sub;
                EXPECT_EQ(c.viewports[0].x, regions[sub - 1][0]);
                EXPECT_EQ(c.viewports[0].width, regions[sub - 1][2]);
            }
            if (c.type == RenderCommand::SetDepthStencil)
                depth[sub] = c.depth.target;
            if (c.type == RenderCommand::Clear)
                ++clears[sub];
            if (c.type == RenderCommand::DrawBatch) {
                EXPECT_EQ(sub, slice) << "a slice's casters follow its own target and viewport";
                EXPECT_EQ(depth[slice], map);
                ++draws[sub];
            }
        }
        EXPECT_TRUE(restored);
        EXPECT_EQ(clears[1], 1u);
        EXPECT_EQ(clears[2], 0u) << "the shared target is cleared once, before the first slice";
        EXPECT_EQ(draws[1], 1u) << "only the near caster is in the first slice's box";
        EXPECT_GE(draws[2], 1u);

        // The mask material got the first slice's matrix (written transposed).
        const ShaderVariable *v = s.sun.shader(0)->find_variable(id32("world_to_shadow_map"));
        ASSERT_NE(v, nullptr);
        f32 stored[16];
        memcpy(stored, s.sun.block(0) + v->offset, sizeof stored);
        CascadeCamera view;
        view.pose = s.camera.pose();
        view.vertical_fov = s.camera.block().vertical_fov;
        view.aspect = s.camera.aspect();
        CascadeSliceInput input;
        input.depth_start = 0;
        input.depth_end = 10;
        input.light_direction = {0.3f, 0.2f, -1.0f};
        input.target_width = 2048;
        input.target_height = 1024;
        input.viewport[2] = input.viewport[3] = 0.5f;
        CascadeSliceFit fit;
        ASSERT_TRUE(fit_cascade_slice(view, input, &fit));
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                EXPECT_NEAR(stored[j * 4 + i], fit.world_to_shadow_map.m[i][j], 1e-5f);
        for (RenderContext *c : contexts)
            s.scene.device.release_render_context(c);
    }
}

TEST(CascadedShadowMapping, RangesFromOverridesAndUnsoundInput)
{
    ShadowScene s;
    test::LogCapture log("render");
    EXPECT_FALSE(s.load(R"(resource_generators = { sun = { modifiers = [ { type = "cascaded_shadow_mapping"
        light_direction = "no_colon" slices = [ { output = "sun_map" } ] } ] } })"));
    EXPECT_TRUE(log.contains("must be \"material:variable\""));
    EXPECT_FALSE(s.load(R"(resource_generators = { sun = { modifiers = [ { type = "cascaded_shadow_mapping"
        light_direction = "sun:sun_direction" slices = [ { output = "sun_map" viewport = [0 0 1] } ] } ] } })"));
    EXPECT_TRUE(log.contains("four numbers"));

    ASSERT_TRUE(s.load(R"(resource_generators = { sun = { modifiers = [ { type = "cascaded_shadow_mapping"
        light_direction = "sun:sun_direction" slices = [ { output = "sun_map" depth_range = "slice_depth" } ] } ] } })"));
    const auto &step = static_cast<const resource_generator::CascadedShadowMapping &>(
        *s.generators.find(id32("sun"))->modifiers()[0]);
    EXPECT_EQ(step.slices()[0].depth_range, id32("slice_depth"));
    EXPECT_EQ(step.slices()[0].viewport[2], 1.0f) << "no viewport: the whole target";

    // Zero direction and an unbound range: the slice is cleared, nothing is drawn, both reported.
    const u32 graph = s.scene.graph({placed_at(0, 5, 0)});
    s.scene.mesh(graph, 0);
    s.scene.frame();
    Array<RenderContext *> contexts(s.scene.allocator);
    const auto commands = s.run(contexts);
    EXPECT_EQ(GeneratorScene::of_type(commands, RenderCommand::Clear).size(), 1u);
    EXPECT_TRUE(GeneratorScene::of_type(commands, RenderCommand::DrawBatch).empty());
    EXPECT_TRUE(log.contains("is not bound this frame"));
    for (RenderContext *c : contexts)
        s.scene.device.release_render_context(c);
}
