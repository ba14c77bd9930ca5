#pragma once
// The lighting scene of the deferred-shading tests and benchmark: the render scene of
// render_scene_fixture.h with a layer configuration "lit" whose one layer runs generator
// "lights", light shader templates (omni, spot, each with a ":SHADOW_MAPPING" variant), a
// material template with a shadow slot, the targets "shadow_map_cube", "shadow_map" and
// "light_accumulation", a compute template "tiled" whose light arrays hold 4 lights, and a proxy-mesh lookup that finds a cube for "sphere" and "cone".

#include "render/generators/deferred_shading.h"
#include "render/generators/variable_override_map.h"
#include "foundation/config/config_blob.h"
#include "foundation/config/config_text_parser.h"
#include "tests/render/world/render_scene_fixture.h"

#include <cmath>

namespace tallow::test {

/// Config text flattened into a blob, as the data build stores a render configuration.
struct FlatConfig {
    explicit FlatConfig(const char *text)
    {
        ConfigValue *root = create_config_root(default_allocator());
        parse_config_text(text, text + strlen(text), *root);
        u32 size = 0;
        void *blob = flatten_config(*root, default_allocator(), &size);
        bytes.assign(static_cast<const char *>(blob), size);
        default_allocator().deallocate(blob);
        destroy_config_root(root);
    }
    ConstConfigValue root() const { return ConstConfigValue::root(bytes.data(), bytes.size()); }
    std::string bytes;
};


inline bool find_cube(void *context, u64 resource, u32 mesh, MeshDesc *out)
{
    const CubeGeometry &cube = *static_cast<const CubeGeometry *>(context);
    if (resource != NameId64("core/light_proxies").value() || (mesh != id32("sphere") && mesh != id32("cone")))
        return false;
    *out = cube.desc(0xFFFFFFFFu, 0, mesh_mask::main_set);
    return true;
}

struct LightScene {
    RenderScene scene;
    RenderTarget cube_map{scene.allocator};
    RenderTarget spot_map{scene.allocator};
    RenderTarget accumulation{scene.allocator};
    LibraryPtr library;
    ResourceGenerators generators{scene.allocator};
    VariableOverrideMap overrides{scene.allocator};
    std::unique_ptr<FlatConfig> config;
    bool ok = true; // the scene was built as described
    std::vector<std::unique_ptr<Light>> lights;

    explicit LightScene(u32 workers = 0) : scene(workers)
    {
        Layer lighting;
        lighting.name = id32("lighting");
        lighting.resource_generator = id32("lights");
        ok = (scene.layers.add_layer(id32("lit"), lighting)) && ok;
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
        // The casters' shadow pass learns the cube face it draws into.
        std::vector<VariableSpec> shadow_constants = RenderScene::default_constants();
        shadow_constants.push_back({"rt_index", ShaderValueType::Scalar});
        source.shaders.push_back(build_shader({"lit_shadow", shadow_constants, {}, {{"lighting", "v", "p"}}}));
        source.shaders.push_back(build_shader({"tiled",
                                               {{"n_lights", ShaderValueType::Scalar},
                                                {"light_positions", ShaderValueType::Vector3, 4},
                                                {"light_screen_spheres", ShaderValueType::Vector3, 4},
                                                {"light_colors", ShaderValueType::Vector3, 4}},
                                               {},
                                               {{"lighting", "", "", {}, {}, "c"}}}));
        source.templates.push_back({id32("tiled"), {{id32("default"), {{id32("tiled"), {}}}}}});
        source.templates.push_back({id32("omni_light"), {{id32("default"), {{id32("omni"), {}}}}}});
        source.templates.push_back({id32("omni_light:SHADOW_MAPPING"), {{id32("default"), {{id32("omni_shadowed"), {}}}}}});
        source.templates.push_back({id32("spot_light"), {{id32("default"), {{id32("spot"), {}}}}}});
        source.templates.push_back({id32("spot_light:SHADOW_MAPPING"), {{id32("default"), {{id32("spot_shadowed"), {}}}}}});
        source.templates.push_back(
            {id32("lit"), {{id32("default"), {{id32("lit"), {}}}}, {id32("shadow"), {{id32("lit_shadow"), {}}}}}});
        library = read_library(source);
        resolve_passes(*library, &scene.layers);
        ok = (scene.shaders.add_shader_library(*library)) && ok;
        scene.shaders.update_templates(*library);
        scene.material.shader_template = id32("lit");

        cube_map.description = {3, 2, 512, 512, 6, 1};
        spot_map.description = {3, 0, 1024, 1024, 1, 1};
        accumulation.description = {9, 0, 1280, 720, 1, 1};
        RenderResourceContext *context = scene.device.alloc_resource_context();
        for (RenderTarget *t : {&cube_map, &spot_map, &accumulation})
            ok = (context->create_resource(t)) && ok;
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
    }
    void submit(RenderResourceContext *context)
    {
        scene.device.update_resources(1, &context);
        scene.device.release_resource_context(context);
    }

    bool load(const char *text)
    {
        config = std::make_unique<FlatConfig>(text);
        RenderResourceContext *context = scene.device.alloc_resource_context();
        GeneratorLoadParams params;
        params.shaders = &scene.shaders;
        params.resources = context;
        params.meshes = {&scene.cube, &find_cube};
        const bool loaded = generators.load(config->root().member("resource_generators"), params);
        submit(context);
        return loaded;
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

inline constexpr const char *lighting = R"(
resource_generators = { lights = { modifiers = [ { type = "deferred_shading" output = "light_accumulation"
    proxy_geometry = "core/light_proxies"
    light_types = [ { type = "omni" proxy_mesh = "sphere" shader = "omni_light" }
                    { type = "spot" proxy_mesh = "cone" shader = "spot_light" } ] } ] } }
)";

} // namespace tallow::test
