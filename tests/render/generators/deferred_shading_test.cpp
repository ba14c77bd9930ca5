// Deferred shading over a small world: an omni light with shadows, a spot light and a
// directional light in one frame; the keys, the cube faces, the constants of each draw.
#include "render/generators/deferred_shading.h"
#include "render/generators/light_constants.h"
#include "tests/render/generators/generator_test_support.h"
#include "tests/render/world/render_scene_fixture.h"

#include <cmath>

using namespace tallow;
using namespace tallow::test;

namespace {

bool find_cube(void *context, u64 resource, u32 mesh, MeshDesc *out)
{
    const CubeGeometry &cube = *static_cast<const CubeGeometry *>(context);
    if (resource != NameId64("core/light_proxies").value() || (mesh != id32("sphere") && mesh != id32("cone")))
        return false;
    *out = cube.desc(0xFFFFFFFFu, 0, mesh_mask::main_set);
    return true;
}

struct LightScene {
    RenderScene scene{0};
    RenderTarget cube_map{scene.allocator};
    RenderTarget spot_map{scene.allocator};
    RenderTarget accumulation{scene.allocator};
    LibraryPtr library;
    ResourceGenerators generators{scene.allocator};
    VariableOverrideMap overrides{scene.allocator};
    std::unique_ptr<ConfigBlob> config;
    std::vector<std::unique_ptr<Light>> lights;

    LightScene()
    {
        Layer lighting;
        lighting.name = id32("lighting");
        lighting.resource_generator = id32("lights");
        EXPECT_TRUE(scene.layers.add_layer(id32("lit"), lighting));
        std::vector<VariableSpec> light_constants = {{"world", ShaderValueType::Matrix4x4},
                                                     {"light_position", ShaderValueType::Vector3},
                                                     {"light_color", ShaderValueType::Vector3},
                                                     {"light_falloff", ShaderValueType::Vector3},
                                                     {"light_proxy_scale", ShaderValueType::Vector3},
                                                     {"light_spot_falloff", ShaderValueType::Vector2},
                                                     {"world_to_shadow_map", ShaderValueType::Matrix4x4},
                                                     {"light_vector_to_shadow_map", ShaderValueType::Vector3}};
        ShaderLibrarySource source;
        for (const char *name : {"omni", "omni_shadowed", "spot", "spot_shadowed"})
            source.shaders.push_back(build_shader({name, light_constants, {}, {{"lighting", "v", "p"}}}));
        source.shaders.push_back(build_shader({"lit", RenderScene::default_constants(), {}, {{"opaque", "v", "p"}}}));
        source.shaders.push_back(
            build_shader({"lit_shadow", RenderScene::default_constants(), {}, {{"lighting", "v", "p"}}}));
        source.templates.push_back({id32("omni_light"), {{id32("default"), {{id32("omni"), {}}}}}});
        source.templates.push_back({id32("omni_light:SHADOW_MAPPING"), {{id32("default"), {{id32("omni_shadowed"), {}}}}}});
        source.templates.push_back({id32("spot_light"), {{id32("default"), {{id32("spot"), {}}}}}});
        source.templates.push_back({id32("spot_light:SHADOW_MAPPING"), {{id32("default"), {{id32("spot_shadowed"), {}}}}}});
        source.templates.push_back(
            {id32("lit"), {{id32("default"), {{id32("lit"), {}}}}, {id32("shadow"), {{id32("lit_shadow"), {}}}}}});
        library = read_library(source);
        resolve_passes(*library, &scene.layers);
        EXPECT_TRUE(scene.shaders.add_shader_library(*library));
        scene.shaders.update_templates(*library);
        scene.material.shader_template = id32("lit");

        cube_map.description = {3, 2, 512, 512, 6, 1};
        spot_map.description = {3, 0, 1024, 1024, 1, 1};
        accumulation.description = {9, 0, 1280, 720, 1, 1};
        RenderResourceContext *context = scene.device.alloc_resource_context();
        for (RenderTarget *t : {&cube_map, &spot_map, &accumulation})
            EXPECT_TRUE(context->create_resource(t));
        submit(context);
        scene.globals.add(id32("shadow_map_cube"), &cube_map);
        scene.globals.add(id32("shadow_map"), &spot_map);
        scene.globals.add(id32("light_accumulation"), &accumulation);
        scene.rect.layer_config = id32("lit");
    }
    ~LightScene()
    {
        RenderResourceContext *context = scene.device.alloc_resource_context();
        generators.clear(context);
        for (RenderTarget *t : {&cube_map, &spot_map, &accumulation})
            context->release_resource(t);
        submit(context);
        EXPECT_TRUE(scene.device.errors().empty());
    }
    void submit(RenderResourceContext *context)
    {
        scene.device.update_resources(1, &context);
        scene.device.release_resource_context(context);
    }

    bool load(const char *text)
    {
        config = std::make_unique<ConfigBlob>(text);
        RenderResourceContext *context = scene.device.alloc_resource_context();
        GeneratorLoadParams params;
        params.shaders = &scene.shaders;
        params.resources = context;
        params.meshes = {&scene.cube, &find_cube};
        const bool ok = generators.load(config->root().member("resource_generators"), params);
        submit(context);
        return ok;
    }

    void light(u32 graph, u32 node, u32 type, bool shadows, f32 range, f32 angle = 1.0471976f)
    {
        LightBlock block;
        block.type = type;
        block.falloff_start = 1;
        block.falloff_end = range;
        block.word6 = 2.0f; // exponent
        block.word7 = angle * 0.5f;
        block.spot_angle = angle;
        block.color[0] = 0.5f;
        const u32 flags = shadows ? 1u : 0u;
        memcpy(&block.word9, &flags, 4);
        lights.push_back(std::make_unique<Light>(block, node));
        lights.back()->create(*scene.world, *scene.link, graph);
    }

    RenderWorldStats render()
    {
        RenderWorldParams p;
        p.device = &scene.device;
        p.global_resources = &scene.globals;
        p.layer_configs = &scene.layers;
        p.default_viewport = &scene.rect;
        p.generators = &generators;
        p.generator_overrides = &overrides;
        return scene.world->render(p);
    }

    f32 constant(const DecodedCommand &draw, const char *shader, const char *name, u32 index = 0)
    {
        const ShaderVariable *v = scene.shaders.find_shader(id32(shader))->find_variable(id32(name));
        return v ? f32_at(draw.constants, v->offset + 4 * index) : NAN;
    }
};

constexpr const char *lighting = R"(
resource_generators = { lights = { modifiers = [ { type = "deferred_shading" output = "light_accumulation"
    proxy_geometry = "core/light_proxies"
    light_types = [ { type = "omni" proxy_mesh = "sphere" shader = "omni_light" }
                    { type = "spot" proxy_mesh = "cone" shader = "spot_light" } ] } ] } }
)";

u32 sub_counter_of(i64 key) { return u32(u64(key) >> 36) & 1023u; }

} // namespace

TEST(DeferredShading, OmniSpotAndDirectionalLightsInOneFrame)
{
    LightScene s;
    ASSERT_TRUE(s.load(lighting));
    // Nodes: the omni light 10 ahead, the spot 12 ahead and 3 right, a directional light,
    // and a caster 4 above the omni light (seen by its +Z face only).
    const u32 graph = s.scene.graph({placed_at(0, 10, 0), placed_at(3, 12, 0), placed_at(0, 20, 0), placed_at(0, 10, 4)});
    s.light(graph, 0, light_omni, true, 10);
    s.light(graph, 1, light_spot, false, 10);
    s.light(graph, 2, 2, false, 10); // directional: no record of its type, skipped
    s.scene.mesh(graph, 3);
    s.scene.frame();
    test::LogCapture log("render");
    const RenderWorldStats stats = s.render();
    ASSERT_TRUE(stats.drawn);
    EXPECT_EQ(stats.visible_lights, 3u);
    EXPECT_TRUE(log.contains("has no light-type record"));

    const std::vector<DecodedCommand> &commands = s.scene.device.frames().back().commands;
    RenderTarget *cube = s.scene.device.render_target(&s.cube_map, 0);
    RenderTarget *accumulation = s.scene.device.render_target(&s.accumulation, 0);
    std::vector<u32> face_of_sub(16, 99), clears(16, 0), caster_draws(16, 0);
    std::vector<const DecodedCommand *> light_draws;
    for (const DecodedCommand &c : commands) {
        if (((u64(c.key) >> 46) & 63u) != 1)
            continue; // the layer's own set-up
        const u32 sub = sub_counter_of(c.key);
        if (c.type == RenderCommand::SetDepthStencil && c.depth.target == cube)
            face_of_sub[sub] = c.depth.face;
        if (c.type == RenderCommand::Clear)
            ++clears[sub];
        if (c.type == RenderCommand::DrawBatch) {
            if (c.bindings.size() == 3 && c.constants.size() > 64 && sub >= 7)
                light_draws.push_back(&c);
            else
                ++caster_draws[sub];
        }
    }
    for (u32 face = 0; face < 6; ++face) {
        SCOPED_TRACE(testing::Message() << "face " << face);
        EXPECT_EQ(face_of_sub[1 + face], face) << "face f under key 1 + f, with the face in the depth command";
        EXPECT_EQ(clears[1 + face], 1u);
    }
    EXPECT_EQ(caster_draws[5], 1u) << "the caster above the light is in the +Z face";
    u32 other_faces = 0;
    for (u32 sub : {1u, 2u, 3u, 4u, 6u})
        other_faces += caster_draws[sub];
    EXPECT_EQ(other_faces, 0u);

    ASSERT_EQ(light_draws.size(), 2u);
    const DecodedCommand &omni = *light_draws[0];
    const DecodedCommand &spot = *light_draws[1];
    EXPECT_EQ(sub_counter_of(omni.key), 7u) << "six faces, then the omni light's draw";
    EXPECT_EQ(sub_counter_of(spot.key), 8u);
    EXPECT_NEAR(s.constant(omni, "omni_shadowed", "light_proxy_scale"), 21.48f, 1e-3f);
    EXPECT_NEAR(s.constant(omni, "omni_shadowed", "light_vector_to_shadow_map"), 1.010101f, 1e-5f);
    EXPECT_NEAR(s.constant(omni, "omni_shadowed", "light_vector_to_shadow_map", 1), -0.1010101f, 1e-6f);
    EXPECT_NEAR(s.constant(omni, "omni_shadowed", "light_position", 1), 10.0f, 1e-5f);
    EXPECT_NEAR(s.constant(omni, "omni_shadowed", "light_falloff", 1), 1.0f / 9.0f, 1e-6f);
    EXPECT_NEAR(s.constant(omni, "omni_shadowed", "light_falloff", 2), 2.0f, 1e-6f);
    EXPECT_NEAR(s.constant(spot, "spot", "light_proxy_scale"), 11.547f, 1e-3f);
    EXPECT_NEAR(s.constant(spot, "spot", "light_proxy_scale", 1), 10.0f, 1e-5f);
    EXPECT_NEAR(s.constant(spot, "spot", "light_position"), 3.0f, 1e-5f);
    EXPECT_NEAR(s.constant(spot, "spot", "light_color"), 0.5f, 1e-6f);

    // The shadowed light's draw re-binds the output after its shadow faces.
    bool rebound = false;
    for (const DecodedCommand &c : commands)
        if (c.type == RenderCommand::SetRenderTarget && sub_counter_of(c.key) == 7 && c.set_target.target == accumulation)
            rebound = true;
    EXPECT_TRUE(rebound);
}

TEST(DeferredShading, NoLightsWriteNothingAndUnsoundConfigurationsAreRefused)
{
    LightScene s;
    ASSERT_TRUE(s.load(lighting));
    const u32 graph = s.scene.graph({placed_at(0, 10, 0)});
    s.scene.mesh(graph, 0);
    s.scene.frame();
    ASSERT_TRUE(s.render().drawn);
    for (const DecodedCommand &c : s.scene.device.frames().back().commands)
        EXPECT_EQ((u64(c.key) >> 46) & 63u, 0u) << "no step command, not even the target binding";

    test::LogCapture log("render");
    EXPECT_FALSE(s.load(R"(resource_generators = { lights = { modifiers = [ { type = "deferred_shading"
        output = "light_accumulation" proxy_geometry = "core/light_proxies"
        light_types = [ { type = "omni" proxy_mesh = "no_such_mesh" shader = "omni_light" } ] } ] } })"));
    EXPECT_TRUE(log.contains("is not in the proxy geometry"));
    EXPECT_FALSE(s.load(R"(resource_generators = { lights = { modifiers = [ { type = "deferred_shading"
        output = "light_accumulation" proxy_geometry = "core/light_proxies"
        light_types = [ { type = "sun" proxy_mesh = "sphere" shader = "omni_light" } ] } ] } })"));
    EXPECT_TRUE(log.contains("neither \"omni\" nor \"spot\""));
    // "spot" only: the omni record stays empty.
    ASSERT_TRUE(s.load(R"(resource_generators = { lights = { modifiers = [ { type = "deferred_shading"
        output = "light_accumulation" proxy_geometry = "core/light_proxies"
        light_types = [ { type = "spot" proxy_mesh = "cone" shader = "spot_light" }
                        { type = "spot" proxy_mesh = "sphere" shader = "spot_light" } ] } ] } })"));
    const auto &step = static_cast<const resource_generator::DeferredShading &>(
        *s.generators.find(id32("lights"))->modifiers()[0]);
    EXPECT_FALSE(step.light_type(light_omni).filled);
    EXPECT_TRUE(step.light_type(light_spot).filled);
    EXPECT_EQ(step.light_type(light_spot).primitive_count, 12u);
}
