// Deferred shading over a small world: an omni light with shadows, a spot light and a
// directional light in one frame; the keys, the cube faces, the constants of each draw.
#include "render/generators/light_constants.h"
#include "render/generators/tiled_deferred_shading.h"
#include "tests/render/generators/generator_test_support.h"
#include "tests/render/generators/lighting_scene.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>

using namespace tallow;
using namespace tallow::test;

namespace {

u32 sub_counter_of(i64 key) { return u32(u64(key) >> 36) & 1023u; }

/// A lit world of 240 casters among 24 unshadowed omni lights and the shadowed omni and
/// spot lights asked for (six shadow views per omni light, one per spot), placed by a
/// fixed random sequence. Every fourth caster is skinned on two bones (its own node and
/// its neighbour's), and 20 more are drawn through LOD objects of two steps each, so shadow
/// views meet the same skinned and LOD-chosen meshes on several threads at once.
struct ManyLights {
    static constexpr u32 casters = 240, lods = 20, plain_lights = 24;
    const u32 shadowed_lights;
    LightScene s;
    std::vector<LodObject> lod_objects;
    std::vector<u32> lod_meshes;

    /// Shadowed lights alternate spot, omni, spot, ... while both are left, then the rest.
    ManyLights(u32 workers, u32 shadowed_omni, u32 shadowed_spot)
        : shadowed_lights(shadowed_omni + shadowed_spot), s(workers)
    {
        s.load(lighting);
        std::mt19937 random(7);
        std::uniform_real_distribution<f32> across(-20.0f, 20.0f), ahead(4.0f, 40.0f), height(-6.0f, 6.0f);
        const u32 node_count = casters + lods + plain_lights + shadowed_lights;
        std::vector<Matrix4x4> nodes;
        for (u32 i = 0; i < node_count; ++i)
            nodes.push_back(placed_at(across(random), ahead(random), height(random)));
        const u32 graph = s.scene.graph(nodes);
        const Matrix4x4 inverse_binds[2] = {matrix4x4_identity, placed_at(0, 0, -1)};
        const u32 list[2] = {0, 1};
        const MeshBoneList lists[1] = {{list, 2}};
        const MeshBatch skinned_batch{0, 12, 0, 0};
        for (u32 i = 0; i < casters; ++i) {
            const u32 bone_nodes[2] = {i, (i + 1) % casters};
            const MeshSkinDesc skin{bone_nodes, inverse_binds, 2, lists, 1};
            if (i % 4 == 0)
                s.scene.mesh(graph, i, mesh_mask::main_set, &skin, &skinned_batch);
            else
                s.scene.mesh(graph, i);
        }
        const u32 lod_mask = mesh_mask::main_set | mesh_mask::no_record;
        for (u32 i = 0; i < lods * 2; ++i)
            lod_meshes.push_back(s.scene.mesh(graph, casters + i / 2, lod_mask).handle());
        lod_objects.resize(lods);
        for (u32 i = 0; i < lods; ++i) {
            const LodStepDesc steps[2] = {{1.0f, 0.1f, &lod_meshes[2 * i], 1}, {0.1f, 0.0f, &lod_meshes[2 * i + 1], 1}};
            LodObjectDesc desc;
            desc.scene_graph = graph;
            desc.node = casters + i;
            for (int k = 0; k < 3; ++k) {
                desc.box_min[k] = -0.5f;
                desc.box_max[k] = 0.5f;
            }
            desc.steps = steps;
            desc.step_count = 2;
            lod_objects[i].create(*s.scene.world, *s.scene.link, desc);
        }
        const u32 first_light = casters + lods;
        for (u32 i = 0; i < plain_lights; ++i)
            s.light(graph, first_light + i, light_omni, false, 8.0f);
        for (u32 i = 0, omni = 0, spot = 0; i < shadowed_lights; ++i) {
            const bool is_spot = spot < shadowed_spot && (i % 2 == 0 || omni == shadowed_omni);
            ++(is_spot ? spot : omni);
            s.light(graph, first_light + plain_lights + i, is_spot ? light_spot : light_omni, true, 10.0f);
        }
        s.scene.frame();
    }

    /// The last frame's commands in execution order, one line each, with every field the
    /// device executes; render targets by name, so two scenes compare.
    std::vector<std::string> recorded()
    {
        std::vector<std::pair<const RenderTarget *, const char *>> targets = {
            {s.scene.device.render_target(&s.cube_map, 0), "cube"},
            {s.scene.device.render_target(&s.spot_map, 0), "spot"},
            {s.scene.device.render_target(&s.accumulation, 0), "accumulation"},
            {s.scene.device.render_target(s.scene.device.back_buffer_key(), 0), "back_buffer"},
            {nullptr, "none"}};
        auto name = [&](const RenderTarget *t) {
            for (const auto &[target, n] : targets)
                if (t == target)
                    return std::string(n);
            return std::string("unknown");
        };
        std::vector<std::string> out;
        for (const DecodedCommand &c : s.scene.device.frames().back().commands) {
            char head[160];
            snprintf(head, sizeof head, "%u key %016llx%s", u32(c.type), (unsigned long long)c.key,
                     c.segment ? " segment" : "");
            std::string line = head;
            switch (c.type) {
            case RenderCommand::SetRenderTarget:
                line += " slot " + std::to_string(c.set_target.slot) + " " + name(c.set_target.target);
                break;
            case RenderCommand::SetDepthStencil:
                line += " " + name(c.depth.target) + " face " + std::to_string(c.depth.face);
                break;
            case RenderCommand::Clear: line += " flags " + std::to_string(c.clear_flags); break;
            case RenderCommand::DrawBatch: {
                const DrawBatchRecord &d = c.draw;
                char draw[160];
                snprintf(draw, sizeof draw, " shader %u primitives %u from %u depth %a", d.shader, d.primitive_count,
                         d.start_index, d.sort_depth);
                line += draw;
                for (const GeometryBinding &b : c.bindings)
                    line += " binding " + std::to_string(b.kind) + ":" + std::to_string(b.handle);
                line += " constants";
                for (u8 byte : c.constants) {
                    char hex[3];
                    snprintf(hex, sizeof hex, "%02x", byte);
                    line += hex;
                }
                break;
            }
            default: break;
            }
            for (const Viewport &v : c.viewports) {
                char viewport[96];
                snprintf(viewport, sizeof viewport, " viewport %a %a %a %a", v.x, v.y, v.width, v.height);
                line += viewport;
            }
            out.push_back(line);
        }
        return out;
    }
};

} // namespace

TEST(DeferredShading, OmniSpotAndDirectionalLightsInOneFrame)
{
    LightScene s;
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.load(lighting));
    // Nodes: the omni light 10 ahead, the spot 12 ahead and 3 right, a directional light,
    // and a caster 4 above the omni light (seen by its +Z face only).
    const u32 graph = s.scene.graph({placed_at(0, 10, 0), placed_at(3, 12, 0), placed_at(0, 20, 0), placed_at(0, 10, 4)});
    s.light(graph, 0, light_omni, true, 10);
    s.light(graph, 1, light_spot, false, 10);
    s.light(graph, 2, light_directional, false, 10); // the sun's own pass draws it: skipped, unreported
    s.scene.mesh(graph, 3);
    s.scene.frame();
    test::LogCapture log("render");
    const RenderWorldStats stats = s.render();
    ASSERT_TRUE(stats.drawn);
    EXPECT_EQ(stats.visible_lights, 3u);
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();

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
    EXPECT_TRUE(s.scene.device.errors().empty());
}

TEST(DeferredShading, EachLightTypeWithoutARecordIsReportedOnceByName)
{
    // A configuration for omni lights only. Directional lights are never this step's to
    // draw; a spot light appearing after other lights were skipped is still reported, once.
    LightScene s;
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.load(R"(resource_generators = { lights = { modifiers = [ { type = "deferred_shading"
        output = "light_accumulation" proxy_geometry = "core/light_proxies"
        light_types = [ { type = "omni" proxy_mesh = "sphere" shader = "omni_light" } ] } ] } })"));
    const u32 graph = s.scene.graph({placed_at(0, 10, 0), placed_at(3, 12, 0), placed_at(-3, 12, 0), placed_at(0, 20, 0)});
    s.light(graph, 0, light_omni, false, 10);
    s.light(graph, 3, light_directional, false, 10);
    s.scene.frame();
    test::LogCapture log("render");
    ASSERT_TRUE(s.render().drawn);
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();

    s.light(graph, 1, light_spot, false, 10);
    s.light(graph, 2, light_spot, false, 10);
    s.scene.frame();
    for (u32 frame = 0; frame < 3; ++frame)
        ASSERT_TRUE(s.render().drawn);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("spot lights (type 1) have no light-type record"), std::string::npos)
        << log.lines()[0];
}

TEST(DeferredShading, ADirectionalLightLightsEverythingAndIsNeverCulled)
{
    // Behind the camera: the omni light's box is out of view, the directional light's reaches
    // everywhere, also after an omni light turns directional.
    LightScene s;
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.load(lighting));
    const u32 graph = s.scene.graph({placed_at(0, -50, 0), placed_at(0, -60, 0)});
    s.light(graph, 0, light_omni, false, 10);
    s.light(graph, 1, light_directional, false, 10);
    s.scene.frame();
    EXPECT_EQ(s.render().visible_lights, 1u);
    s.lights[0]->set_type(light_directional);
    s.scene.frame();
    EXPECT_EQ(s.render().visible_lights, 2u);
    s.lights[0]->set_type(light_omni);
    s.scene.frame();
    EXPECT_EQ(s.render().visible_lights, 1u);

    LightBlock block;
    block.type = light_directional;
    f32 lo[3], hi[3];
    ASSERT_TRUE(light_bounds(block, lo, hi));
    for (u32 i = 0; i < 3; ++i)
        EXPECT_TRUE(lo[i] <= -1e9f && hi[i] >= 1e9f && std::isfinite(lo[i]) && std::isfinite(hi[i])) << i;
}

TEST(DeferredShading, EachCubeFaceTellsItsCastersWhichFaceTheyDraw)
{
    LightScene s;
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.load(lighting));
    // A shadowed omni light 10 ahead and one caster 4 away from it along each face's
    // direction (+X, -X, +Y, -Y, +Z, -Z): each face sees its own caster only.
    const f32 offsets[6][3] = {{4, 0, 0}, {-4, 0, 0}, {0, 4, 0}, {0, -4, 0}, {0, 0, 4}, {0, 0, -4}};
    std::vector<Matrix4x4> nodes = {placed_at(0, 10, 0)};
    for (const auto &o : offsets)
        nodes.push_back(placed_at(o[0], 10 + o[1], o[2]));
    const u32 graph = s.scene.graph(nodes);
    s.light(graph, 0, light_omni, true, 10);
    for (u32 i = 0; i < 6; ++i)
        s.scene.mesh(graph, 1 + i);
    s.scene.frame();
    ASSERT_TRUE(s.render().drawn);

    std::vector<std::vector<f32>> rt_index_of_sub(16);
    for (const DecodedCommand &c : s.scene.device.frames().back().commands) {
        const u32 sub = sub_counter_of(c.key);
        if (((u64(c.key) >> 46) & 63u) == 1 && c.type == RenderCommand::DrawBatch && sub >= 1 && sub <= 6)
            rt_index_of_sub[sub].push_back(s.constant(c, "lit_shadow", "rt_index"));
    }
    for (u32 face = 0; face < 6; ++face) {
        SCOPED_TRACE(testing::Message() << "face " << face);
        EXPECT_EQ(rt_index_of_sub[1 + face], std::vector<f32>{f32(face)});
    }
}

TEST(DeferredShading, NoLightsWriteNothingAndUnsoundConfigurationsAreRefused)
{
    LightScene s;
    ASSERT_TRUE(s.ok);
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
    EXPECT_TRUE(log.contains("is not in resource"));
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
    EXPECT_EQ(step.light_type(light_spot).mesh.primitive_count(), 12u);
}

TEST(TiledDeferredShading, OneGroupPerTileAndTheLightArraysCapped)
{
    struct Case {
        u32 width, height, x, y;
    };
    const Case cases[] = {{1280, 720, 80, 45}, {1281, 721, 81, 46}, {16, 16, 1, 1}, {1, 1, 1, 1}};
    for (const Case &c : cases) {
        u32 groups[3];
        resource_generator::CSTiledDeferredShading::dispatch_counts(c.width, c.height, groups);
        EXPECT_EQ(groups[0], c.x);
        EXPECT_EQ(groups[1], c.y);
        EXPECT_EQ(groups[2], 1u);
    }

    LightScene s;
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.load(R"(resource_generators = { lights = { modifiers = [
        { type = "tiled_deferred_shading" shader = "tiled" output = "light_accumulation" } ] } })"));
    std::vector<Matrix4x4> nodes;
    for (u32 i = 0; i < 6; ++i)
        nodes.push_back(placed_at(f32(i), 10, 0));
    nodes.push_back(placed_at(-7, 10, 0));
    const u32 graph = s.scene.graph(nodes);
    s.light(graph, 6, light_directional, false, 5); // first in the list, yet no tile's light
    for (u32 i = 0; i < 6; ++i)
        s.light(graph, i, light_omni, false, 5);
    s.scene.frame();
    test::LogCapture log("render");
    ASSERT_TRUE(s.render().drawn);
    EXPECT_TRUE(log.contains("more lights than the shader's arrays hold (4)"));
    std::vector<const DecodedCommand *> dispatches;
    for (const DecodedCommand &c : s.scene.device.frames().back().commands)
        if (c.type == RenderCommand::DrawBatch && c.draw.thread_groups[0] != 0)
            dispatches.push_back(&c);
    ASSERT_EQ(dispatches.size(), 1u);
    EXPECT_EQ(dispatches[0]->draw.thread_groups[0], 80u);
    EXPECT_EQ(dispatches[0]->draw.thread_groups[1], 45u);
    EXPECT_EQ(s.constant(*dispatches[0], "tiled", "n_lights"), 4.0f);
    for (u32 i = 0; i < 4; ++i) {
        EXPECT_EQ(s.constant(*dispatches[0], "tiled", "light_positions", 3 * i), f32(i)) << "light " << i;
        EXPECT_EQ(s.constant(*dispatches[0], "tiled", "light_positions", 3 * i + 1), 10.0f);
        const f32 across = s.scene.world->default_camera().projection().m[0][0];
        EXPECT_NEAR(s.constant(*dispatches[0], "tiled", "light_screen_spheres", 3 * i), f32(i) * across / 10, 1e-5f);
        EXPECT_EQ(s.constant(*dispatches[0], "tiled", "light_colors", 3 * i), 0.5f);
    }
}

TEST(MeshRenderer, DrawsItsOwnCopyOfTheMeshWithTheCameraAndAnIdentityWorld)
{
    LightScene s;
    ASSERT_TRUE(s.ok);
    test::LogCapture log("render");
    EXPECT_FALSE(s.load(R"(resource_generators = { lights = { modifiers = [ { type = "mesh_renderer"
        unit_resource = "core/light_proxies" mesh = "no_such_mesh" material = "sky" output = "light_accumulation" } ] } })"));
    EXPECT_TRUE(log.contains("is not in resource"));
    ASSERT_TRUE(s.load(R"(resource_generators = { lights = { modifiers = [ { type = "mesh_renderer"
        unit_resource = "core/light_proxies" mesh = "sphere" material = "sky" output = "light_accumulation" } ] } })"));

    FakeShading shading;
    ShaderContext sky(s.scene.allocator);
    ASSERT_TRUE(s.scene.shaders.find_template(id32("omni_light"), sky));
    shading.materials[id32("sky")] = &sky;
    RenderCamera &camera = s.scene.world->default_camera();
    Matrix4x4 pose = matrix4x4_identity;
    set_translation(pose, {1, 2, 3});
    camera.set_pose(pose);
    camera.compute_frustum(1280, 720, -1.0f);
    Array<RenderContext *> contexts(s.scene.allocator);
    GeneratorFrame frame;
    frame.device = &s.scene.device;
    frame.contexts = &contexts;
    frame.resources = &s.scene.globals;
    frame.layer_config = s.scene.layers.find(id32("lit"));
    frame.camera = &camera;
    frame.render_world = s.scene.world.get();
    frame.shading = &shading;
    s.generators.execute_for_layers(*frame.layer_config, frame);
    s.scene.device.dispatch(contexts.size(), contexts.data());
    for (RenderContext *c : contexts)
        s.scene.device.release_render_context(c);

    const std::vector<DecodedCommand> &commands = s.scene.device.frames().back().commands;
    RenderTarget *accumulation = s.scene.device.render_target(&s.accumulation, 0);
    u32 targets = 0, draws = 0;
    for (const DecodedCommand &c : commands) {
        if (c.type == RenderCommand::SetRenderTarget) {
            ++targets;
            EXPECT_EQ(c.set_target.target, c.set_target.slot == 0 ? accumulation : nullptr);
        }
        if (c.type == RenderCommand::SetDepthStencil) {
            EXPECT_EQ(c.depth.target, nullptr);
        }
        if (c.type != RenderCommand::DrawBatch)
            continue;
        ++draws;
        EXPECT_EQ(c.draw.primitive_count, 12u) << "36 indices";
        EXPECT_EQ(c.draw.instance_count, 1u);
        EXPECT_EQ(c.bindings.size(), 3u);
        // The world matrix is the identity: its translation row is zero.
        EXPECT_EQ(s.constant(c, "omni", "world", 0), 1.0f);
        EXPECT_EQ(s.constant(c, "omni", "world", 3), 0.0f);
        EXPECT_EQ(s.constant(c, "omni", "world", 7), 0.0f);
    }
    EXPECT_EQ(targets, 8u);
    EXPECT_EQ(draws, 1u);
}

TEST(DeferredShading, LightsPastTheKeyFieldAreLeftOutNotFiledUnderTheNextStep)
{
    // 150 shadowed omni lights take seven keys each; 146 of them fit the 1023 light keys.
    // On a pool of three workers, so the shadow views cull as jobs.
    LightScene s(3);
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.load(lighting));
    std::vector<Matrix4x4> nodes;
    for (u32 i = 0; i < 150; ++i)
        nodes.push_back(placed_at(f32(i % 10) - 5, 20, f32(i / 10) - 7));
    const u32 graph = s.scene.graph(nodes);
    for (u32 i = 0; i < 150; ++i)
        s.light(graph, i, light_omni, true, 3);
    s.scene.frame();
    test::LogCapture log("render");
    const RenderWorldStats stats = s.render();
    ASSERT_EQ(stats.visible_lights, 150u);
    EXPECT_TRUE(log.contains("more lights than the sort key's 1023 light keys"));
    u32 light_draws = 0, highest = 0;
    for (const DecodedCommand &c : s.scene.device.frames().back().commands) {
        const u32 counter = u32(u64(c.key) >> 46) & 63u;
        if (counter == 0)
            continue;
        EXPECT_EQ(counter, 1u) << "every light key stays inside the step's own place";
        highest = std::max(highest, sub_counter_of(c.key));
        if (c.type == RenderCommand::DrawBatch && c.constants.size() > 64)
            ++light_draws;
    }
    EXPECT_EQ(light_draws, 146u);
    EXPECT_EQ(highest, 146u * 7);
}

TEST(DeferredShading, APoolRecordsTheSameFramesAsOneThread)
{
    // The shadow views' casters are drawn as jobs on the pool (a view alone culls on the
    // pool and draws on the calling thread): every command, its key, its order and its
    // constants (skinned bones, cube faces) match the frames drawn with no pool, frame
    // after frame.
    struct Case {
        const char *name;
        u32 shadowed_omni, shadowed_spot;
        u32 least_caster_draws; // enough in the shadow views to show a fault
    };
    const Case cases[] = {{"42 shadow views", 6, 6, 200}, {"one shadow view", 0, 1, 5}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ManyLights one(0, c.shadowed_omni, c.shadowed_spot), pool(4, c.shadowed_omni, c.shadowed_spot);
        ASSERT_TRUE(one.s.ok && pool.s.ok);
        const RenderResourceHandle caster_shader =
            one.s.scene.shaders.find_shader(id32("lit_shadow"))->resource.resource.handle;
        for (u32 frame = 0; frame < 2; ++frame) {
            SCOPED_TRACE(testing::Message() << "frame " << frame);
            const RenderWorldStats a = one.s.render(), b = pool.s.render();
            ASSERT_TRUE(a.drawn && b.drawn);
            EXPECT_EQ(a.visible_lights, ManyLights::plain_lights + c.shadowed_omni + c.shadowed_spot);
            EXPECT_EQ(a.generator_contexts, 1u + 6 * c.shadowed_omni + c.shadowed_spot)
                << "the step's own, six per shadowed omni, one per spot";
            EXPECT_EQ(b.generator_contexts, a.generator_contexts);
            u32 caster_draws = 0;
            for (const DecodedCommand &d : one.s.scene.device.frames().back().commands)
                if (d.type == RenderCommand::DrawBatch && d.draw.shader == caster_shader)
                    ++caster_draws;
            EXPECT_GE(caster_draws, c.least_caster_draws);
            const std::vector<std::string> serial = one.recorded(), pooled = pool.recorded();
            ASSERT_EQ(pooled.size(), serial.size());
            u32 differ = 0;
            for (size_t i = 0; i < serial.size(); ++i)
                if (pooled[i] != serial[i] && differ++ < 3)
                    ADD_FAILURE() << "command " << i << "\n one thread: " << serial[i] << "\n pool:       " << pooled[i];
            EXPECT_EQ(differ, 0u);
            EXPECT_TRUE(one.s.scene.device.errors().empty());
            EXPECT_TRUE(pool.s.scene.device.errors().empty());
        }
    }
}
