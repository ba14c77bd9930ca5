// Cameras, lights, meshes, LOD objects and shading environments, drawn by RenderWorld::render
// into the recording device: which draws reach the sorted command list, in how many
// batches, with which constants.
#include "render/gui/gui.h"
#include "render/lines/line_object.h"
#include "render/lines/render_line_object_drawer.h"
#include "render/math/camera_math.h"
#include "render/world/render_draw.h"
#include "render/world/frustum_culling.h"
#include "render/world/render_camera.h"
#include "render/world/render_shading_environment.h"
#include "tests/render/world/render_scene_fixture.h"
#include "tests/support/fakes/recording_allocator.h"
#include "tests/support/log_capture.h"
#include "tests/support/writers/shading_environment_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace tallow {
namespace {

using namespace test;

/// The translation of a world matrix written transposed (column-major) at `offset`.
Vector3 translation_at(const std::vector<u8> &constants, u32 offset)
{
    return {f32_at(constants, offset + 12), f32_at(constants, offset + 28), f32_at(constants, offset + 44)};
}

TEST(CameraMath, ProjectionsMatchTheirDefinition)
{
    const f32 fov = 1.0f, aspect = 2.0f, n = 0.5f, f = 100.0f;
    const Matrix4x4 p = perspective_projection(fov, aspect, n, f);
    const f32 s = 1.0f / std::tan(fov / 2), q = f / (f - n);
    Matrix4x4 expected{};
    expected.m[0][0] = s / aspect;
    expected.m[2][1] = s;
    expected.m[1][2] = q;
    expected.m[1][3] = 1;
    expected.m[3][2] = -q * n;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_FLOAT_EQ(p.m[r][c], expected.m[r][c]) << r << "," << c;

    const Matrix4x4 o = orthographic_projection(-2, 6, -1, 3, 1.0f, 1, 11);
    EXPECT_FLOAT_EQ(o.m[0][0], 2.0f / 8);
    EXPECT_FLOAT_EQ(o.m[2][1], 2.0f / 4);
    EXPECT_FLOAT_EQ(o.m[1][2], 1.0f / 10);
    EXPECT_FLOAT_EQ(o.m[3][0], -4.0f / 8);
    EXPECT_FLOAT_EQ(o.m[3][1], -2.0f / 4);
    EXPECT_FLOAT_EQ(o.m[3][2], -0.1f);
    EXPECT_FLOAT_EQ(o.m[3][3], 1);

    // Degenerate settings (a minimised window, an empty rectangle, far at near) stay finite.
    for (const Matrix4x4 &m : {perspective_projection(0, 0, 1, 1), orthographic_projection(0, 0, 0, 0, 0, 0, 0)})
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                EXPECT_TRUE(std::isfinite(m.m[r][c]));
}

TEST(CameraMath, FrustumPlanesHoldWhatTheCameraSees)
{
    RenderCamera camera(CameraBlock{}, no_render_handle, no_scene_node);
    camera.set_pose(placed_at(0, 0, 1));
    camera.compute_frustum(1280, 720, -1.0f);
    EXPECT_FLOAT_EQ(camera.aspect(), 1280.0f / 720.0f);

    struct Case {
        const char *name;
        Vector3 point;
        bool inside;
    };
    const Case cases[] = {
        {"straight ahead", {0, 10, 1}, true},
        {"behind the eye", {0, -10, 1}, false},
        {"before the near plane", {0, 0.05f, 1}, false},
        {"past the far plane", {0, 1001, 1}, false},
        {"far to the right", {100, 10, 1}, false},
        {"far to the left", {-100, 10, 1}, false},
        {"far above", {0, 10, 100}, false},
        {"far below", {0, 10, -100}, false},
        {"up to the side, inside", {5, 10, 3}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bool inside = true;
        for (const FrustumPlane &p : camera.planes().planes) {
            EXPECT_NEAR(p.a * p.a + p.b * p.b + p.c * p.c, 1.0f, 1e-4f);
            inside = inside && p.a * c.point.x + p.b * c.point.y + p.c * c.point.z >= p.d;
        }
        EXPECT_EQ(inside, c.inside);
    }

    // A zero-height target counts as square and still gives finite planes.
    camera.compute_frustum(640, 0, -1.0f);
    EXPECT_FLOAT_EQ(camera.aspect(), 1.0f);
    for (const FrustumPlane &p : camera.planes().planes)
        EXPECT_TRUE(std::isfinite(p.a) && std::isfinite(p.b) && std::isfinite(p.c) && std::isfinite(p.d));
}

TEST(FrustumCulling, KernelKeepsBoxesReachingIntoTheFrustum)
{
    RenderCamera camera(CameraBlock{}, no_render_handle, no_scene_node);
    camera.compute_frustum(1280, 720, -1.0f);
    Matrix4x4 turned = matrix4x4_from_quaternion({0, 0, 0.38268343f, 0.92387953f}, {13.5f, 10, 0}); // 45 degrees about z
    struct Case {
        const char *name;
        Matrix4x4 world;
        f32 half;
        u32 kind;
        bool drawn;
    };
    const Case cases[] = {
        {"inside", placed_at(0, 10, 0), 0.5f, render_record_culled, true},
        {"behind", placed_at(0, -10, 0), 0.5f, render_record_culled, false},
        {"straddling the right plane", placed_at(12.5f, 10, 0), 1.0f, render_record_culled, true},
        {"just outside the right plane", placed_at(14.5f, 10, 0), 0.5f, render_record_culled, false},
        {"turned, its corner reaching in", turned, 1.0f, render_record_culled, true},
        {"inside but hidden", placed_at(0, 10, 0), 0.5f, 0, false},
        {"outside but drawn without culling", placed_at(0, -10, 0), 0.5f, render_record_always_drawn, true},
    };
    std::vector<RenderRecord> in(sizeof cases / sizeof cases[0]), out(in.size());
    for (u32 i = 0; i < in.size(); ++i) {
        in[i] = {};
        in[i].world = cases[i].world;
        for (int k = 0; k < 3; ++k) {
            in[i].box_min[k] = -cases[i].half;
            in[i].box_max[k] = cases[i].half;
        }
        in[i].kind = cases[i].kind;
        in[i].slot = i;
    }
    cull_records(out.data(), in.data(), u32(in.size()), camera.view_projection());
    for (u32 i = 0; i < in.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ((out[i].kind & render_record_always_drawn) == render_record_always_drawn, cases[i].drawn);
        EXPECT_EQ(out[i].slot, i);
    }
}

TEST(RenderObjects, MeshesOutsideTheViewAndHiddenOnesAreNotDrawn)
{
    RenderScene scene;
    // The material's texture of the second channel goes into the shader's "diffuse_map".
    Texture texture(scene.allocator);
    texture.handle = make_render_handle(render_handle_kind::texture, 77);
    scene.material.slots.push_back(nullptr);
    scene.material.slots.push_back(&texture);
    const u32 g = scene.graph({placed_at(0, 10, 0), placed_at(0, -10, 0), placed_at(100, 10, 0), placed_at(0, 2000, 0),
                               placed_at(2, 10, 0)});
    for (u32 node = 0; node < 5; ++node)
        scene.mesh(g, node);
    scene.meshes[4]->set_visible(false);
    scene.frame();
    ASSERT_EQ(scene.world->flag1_set().count(), 5u);

    const RenderWorldStats stats = scene.render();
    EXPECT_TRUE(stats.drawn);
    EXPECT_EQ(stats.visible_records, 1u);
    const auto draws = scene.draws();
    ASSERT_EQ(draws.size(), 1u);
    const DecodedCommand &d = draws[0];
    EXPECT_EQ(d.draw.primitive_count, 12u);
    EXPECT_EQ(d.draw.shader, scene.shaders.find_shader(id32("mesh"))->resource.resource.handle);
    ASSERT_EQ(d.bindings.size(), 3u);
    for (const GeometryBinding &b : d.bindings)
        EXPECT_NE(b.handle, invalid_render_handle);
    const Vector3 t = translation_at(d.constants, scene.offset_of("world"));
    EXPECT_EQ(t.y, 10.0f);
    EXPECT_EQ(f32_at(d.constants, scene.offset_of("tint") + 4), 0.5f);
    u32 bound = 0;
    memcpy(&bound, d.constants.data() + scene.offset_of("diffuse_map"), 4);
    EXPECT_EQ(bound, texture.handle);
    EXPECT_TRUE(scene.device.errors().empty()) << scene.device.errors().front();

    // Shown again, the fifth mesh draws too; the layer set-up segment comes with every frame.
    scene.meshes[4]->set_visible(true);
    scene.frame();
    scene.render();
    EXPECT_EQ(scene.draws().size(), 2u);
    bool viewport_set = false;
    for (const DecodedCommand &c : scene.device.frames().back().commands)
        viewport_set = viewport_set || c.type == RenderCommand::SetViewports;
    EXPECT_TRUE(viewport_set);
}

// A game may spawn a unit and destroy it before its first frame is drawn: the mesh's
// create and destroy records then reach the render side together, and the device reads the
// mesh's own copy of its vertex and index bytes only when it runs that frame's resource
// context, after the destroy. The object must outlive that context, and go after it.
TEST(RenderObjects, AMeshMadeAndDestroyedInOneFrameOutlivesTheContextThatReadsItsBytes)
{
    RecordingAllocator backing;
    {
        RecordingRenderDevice device(default_allocator());
        RenderWorld world(backing, nullptr);
        WorldRenderLink link(backing, world.acquire_state_buffer());
        auto frame = [&](const std::function<void()> &after_device) {
            RenderStateQueue *filled = link.swap_state(world.acquire_state_buffer());
            RenderResourceContext *context = device.alloc_resource_context();
            world.update_state(*filled, context);
            device.update_resources(1, &context);
            after_device();
            device.release_resource_context(context);
            world.release_state_buffer(filled);
            link.handles().collect();
        };
        CubeGeometry cube;
        u32 graph = no_render_handle;
        world.create_scene_graph(link, graph, &matrix4x4_identity, 1);
        Mesh mesh(backing, id32("cube"), mesh_mask::main_set);
        test::LogCapture log("render"); // the mesh has no material: its batch is dropped, logged
        ASSERT_NE(mesh.create(world, link, cube.desc(graph, 0, mesh_mask::main_set), nullptr, nullptr, 0),
                  no_render_handle);
        mesh.destroy(world, link);

        std::vector<const void *> read;
        frame([&] {
            for (const DecodedUpdate &u : device.updates())
                if ((u.type == ResourceUpdate::CreateVertexBuffer || u.type == ResourceUpdate::CreateIndexBuffer) &&
                    u.data) {
                    read.push_back(u.data);
                    EXPECT_TRUE(backing.is_live(u.data)) << "the device read bytes the world had freed";
                }
        });
        ASSERT_EQ(read.size(), 2u) << "its vertex and index buffers were made";
        EXPECT_EQ(world.live_object_count(), 1u) << "only the scene graph lives on";
        u32 released = 0;
        for (const DecodedUpdate &u : device.updates())
            released += u.type == ResourceUpdate::ReleaseVertexBuffer || u.type == ResourceUpdate::ReleaseIndexBuffer;
        EXPECT_EQ(released, 2u) << "and released in the same context";
        frame([&] {
            for (const void *p : read)
                EXPECT_FALSE(backing.is_live(p)) << "the next frame frees them";
        });
        world.destroy_object(link, graph);
        frame([] {});
    }
    EXPECT_EQ(backing.live_count(), 0u);
}

TEST(RenderObjects, RecordsFollowNodesMovedInFramesThatWereNotDrawn)
{
    RenderScene scene;
    const u32 g = scene.graph({placed_at(0, -10, 0), placed_at(5, 10, 0)});
    scene.mesh(g, 0);
    scene.frame();
    EXPECT_EQ(scene.render().visible_records, 0u); // behind the camera
    // Node 0 moves ahead in one frame; the next frame moves only node 1; then a draw.
    auto move = [&](u32 node, const Matrix4x4 &to) {
        u8 payload[sizeof(SceneGraphChangeHeader) + sizeof(SceneGraphChangeEntry)];
        const SceneGraphChangeHeader header = {u32(RenderObjectClass::SceneGraph), g, 1, sizeof header};
        const SceneGraphChangeEntry entry = {to, node};
        memcpy(payload, &header, sizeof header);
        memcpy(payload + sizeof header, &entry, sizeof entry);
        ASSERT_TRUE(scene.link->state()->update_stream(0).write(scene_graph_change_kind, payload, sizeof payload));
    };
    move(0, placed_at(0, 10, 0));
    scene.frame();
    move(1, placed_at(6, 10, 0));
    scene.frame();
    EXPECT_EQ(scene.render().visible_records, 1u);
    ASSERT_EQ(scene.draws().size(), 1u);
    EXPECT_EQ(translation_at(scene.draws()[0].constants, scene.offset_of("world")).y, 10.0f);
}

TEST(RenderObjects, VisibleRecordsAreDrawnInBatchesOfAHundred)
{
    for (u32 workers : {0u, 3u}) {
        SCOPED_TRACE(workers);
        RenderScene scene(workers);
        std::vector<Matrix4x4> nodes;
        for (u32 i = 0; i < 250; ++i)
            nodes.push_back(placed_at(f32(i % 10) - 5.0f, 20.0f + f32(i / 10), 0));
        const u32 g = scene.graph(nodes);
        for (u32 i = 0; i < 250; ++i)
            scene.mesh(g, i);
        scene.frame();
        const RenderWorldStats stats = scene.render();
        EXPECT_EQ(stats.visible_records, 250u);
        EXPECT_EQ(stats.render_batches, 3u);
        EXPECT_EQ(stats.contexts, 4u); // the layers' set-up and one per batch
        EXPECT_EQ(scene.draws().size(), 250u);
    }
}

TEST(RenderObjects, LodObjectsDrawTheStepTheirSizeSelects)
{
    RenderScene scene;
    const u32 g = scene.graph({placed_at(0, 3, 0), placed_at(0, 300, 0)});
    // Near and far versions of each of two objects; they draw only through their LOD object.
    const u32 lod_mask = mesh_mask::main_set | mesh_mask::no_record;
    u32 handles[2][2];
    for (u32 node = 0; node < 2; ++node)
        for (u32 step = 0; step < 2; ++step)
            handles[node][step] = scene.mesh(g, node, lod_mask).handle();
    LodObject lods[2];
    for (u32 node = 0; node < 2; ++node) {
        const LodStepDesc steps[2] = {{1.0f, 0.05f, &handles[node][0], 1}, {0.05f, 0.0f, &handles[node][1], 1}};
        LodObjectDesc desc;
        desc.scene_graph = g;
        desc.node = node;
        for (int i = 0; i < 3; ++i) {
            desc.box_min[i] = -1;
            desc.box_max[i] = 1;
        }
        desc.steps = steps;
        desc.step_count = 2;
        lods[node].create(*scene.world, *scene.link, desc);
    }
    scene.frame();
    EXPECT_EQ(scene.world->flag1_set().count(), 2u); // the LOD objects' records only

    const RenderWorldStats stats = scene.render();
    EXPECT_EQ(stats.visible_records, 2u);
    const auto draws = scene.draws();
    ASSERT_EQ(draws.size(), 2u);
    // The near object draws its first step, the far one its second: one draw each, and
    // which mesh drew is told by the vertex buffer it bound.
    std::vector<RenderResourceHandle> drawn;
    for (const DecodedCommand &d : draws)
        drawn.push_back(d.bindings[0].handle);
    auto buffer_of = [&](u32 handle) {
        return static_cast<RenderMeshObject *>(scene.world->object(handle))->bindings()[0].handle;
    };
    EXPECT_NE(std::find(drawn.begin(), drawn.end(), buffer_of(handles[0][0])), drawn.end());
    EXPECT_NE(std::find(drawn.begin(), drawn.end(), buffer_of(handles[1][1])), drawn.end());

    // A mesh destroyed before its LOD object is skipped, never read.
    scene.meshes[0]->destroy(*scene.world, *scene.link);
    scene.frame();
    scene.render();
    EXPECT_EQ(scene.draws().size(), 1u);
}

TEST(RenderObjects, LodStepChoiceAndProjectedSize)
{
    const LodStepDesc steps[2] = {{1.0f, 0.5f, nullptr, 0}, {0.5f, 0.0f, nullptr, 0}};
    LodObjectDesc desc;
    desc.steps = steps;
    desc.step_count = 2;
    TraceAllocator a("lod_test", default_allocator());
    RenderLODObject lod(a, desc);
    struct Case {
        f32 size;
        i32 step;
    };
    for (const Case &c : {Case{0.5f, 1}, Case{0.75f, 0}, Case{1.0f, 0}, Case{0.0f, -1}, Case{0.25f, 1}}) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(lod.step_for(c.size), c.step);
    }

    RenderCamera camera(CameraBlock{}, no_render_handle, no_scene_node);
    camera.compute_frustum(1000, 1000, -1.0f);
    const f32 lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1};
    // Screen-filling (and a corner behind the eye) is size 1; far away it shrinks.
    EXPECT_EQ(lod_projected_size(placed_at(0, 0.2f, 0) * camera.view_projection(), lo, hi), 1.0f);
    EXPECT_EQ(lod_projected_size(placed_at(0, 0, 0) * camera.view_projection(), lo, hi), 1.0f);
    const f32 far = lod_projected_size(placed_at(0, 100, 0) * camera.view_projection(), lo, hi);
    EXPECT_GT(far, 0.0f);
    EXPECT_LT(far, 0.05f);
}

TEST(RenderObjects, LightsAreCulledAndTheirBoundsFollowTheirShape)
{
    RenderScene scene;
    const u32 g = scene.graph({placed_at(0, 20, 0), placed_at(0, -50, 0)});
    LightBlock spot;
    spot.type = light_spot;
    spot.spot_angle = 1.0f;
    spot.falloff_end = 4.0f;
    Light near_light(spot, 0), behind(LightBlock{}, 1);
    near_light.create(*scene.world, *scene.link, g);
    behind.create(*scene.world, *scene.link, g);
    scene.frame();
    const RenderWorldStats stats = scene.render();
    EXPECT_EQ(stats.visible_lights, 1u);
    ASSERT_EQ(scene.world->visible_lights().size(), 1u);
    const RenderRecord &seen = scene.world->visible_lights()[0];
    EXPECT_EQ(seen.world.m[3][1], 20.0f);
    EXPECT_FLOAT_EQ(seen.box_max[0], std::tan(0.5f) * 4.0f);
    EXPECT_EQ(seen.box_min[1], 0.0f);

    // Turned omni without a change of falloff end, the light gets a cube's bounds.
    near_light.set_type(light_omni);
    scene.frame();
    const RenderRecord *record = scene.world->light_set().find(scene.world->slot_of(near_light.handle()));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->box_min[1], -4.0f);
    EXPECT_EQ(record->box_max[0], 4.0f);
}

TEST(RenderObjects, CamerasFollowTheirNodeAndSettings)
{
    RenderScene scene;
    // A camera at x = 100 looking along y sees the cube ahead of it, not the one at the origin.
    const u32 g = scene.graph({placed_at(100, 0, 0), placed_at(100, 10, 0), placed_at(0, 10, 0)});
    scene.mesh(g, 1);
    scene.mesh(g, 2);
    Camera camera(CameraBlock{}, 0);
    const u32 handle = camera.create(*scene.world, *scene.link, g);
    scene.frame();
    EXPECT_EQ(scene.render(handle).visible_records, 1u);
    const auto draws = scene.draws();
    ASSERT_EQ(draws.size(), 1u);
    EXPECT_EQ(translation_at(draws[0].constants, scene.offset_of("world")).x, 100.0f);

    // A far range of 5 leaves the cube 10 ahead outside.
    camera.set_far_range(5.0f);
    scene.frame();
    EXPECT_EQ(scene.render(handle).visible_records, 0u);
    const auto *render_camera = static_cast<const RenderCamera *>(scene.world->object(handle));
    EXPECT_EQ(render_camera->block().far_range, 5.0f);
    EXPECT_EQ(render_camera->pose().m[3][0], 100.0f);
}

TEST(RenderObjects, SkinnedMeshesCarryTheirBonePalette)
{
    RenderScene scene;
    const u32 g = scene.graph({placed_at(0, 10, 0), placed_at(1, 10, 0), placed_at(0, 10, 2)});
    const u32 bone_nodes[2] = {1, 2};
    const Matrix4x4 inverse_binds[2] = {placed_at(-1, 0, 0), placed_at(0, 0, -3)};
    // The second list names six bones (one of them unknown) for a shader holding four.
    const u32 list0[2] = {1, 0};
    const u32 list1[6] = {0, 1, 0, 1, 0, 7};
    const MeshBoneList lists[2] = {{list0, 2}, {list1, 6}};
    const MeshSkinDesc skin{bone_nodes, inverse_binds, 2, lists, 2};
    const MeshBatch first{0, 12, 0, 0}, second{0, 12, 0, 1};
    test::LogCapture log("render");
    scene.mesh(g, 0, mesh_mask::main_set, &skin, &first);
    scene.mesh(g, 0, mesh_mask::main_set, &skin, &second);
    scene.frame();
    EXPECT_TRUE(log.contains("bone list entries name bones past"));
    scene.render();
    const auto draws = scene.draws();
    ASSERT_EQ(draws.size(), 2u);

    // bone i = inverse bind i x node world x inverse mesh world; mesh at (0, 10, 0).
    const Vector3 expected[2] = {{0, 0, 0}, {0, 0, -1}};
    const u32 bones = scene.offset_of("bones");
    const u32 tint = scene.offset_of("tint");
    for (const DecodedCommand &d : draws) {
        // Which batch this is shows in its fourth bone: only the long list writes one.
        const bool long_list = f32_at(d.constants, bones + 3 * 64 + 60) == 1.0f;
        const u32 order[4] = {long_list ? 0u : 1u, long_list ? 1u : 0u, 0, 1};
        for (u32 k = 0; k < (long_list ? 4u : 2u); ++k) {
            const Vector3 t = translation_at(d.constants, bones + k * 64);
            EXPECT_NEAR(t.x, expected[order[k]].x, 1e-5f) << k;
            EXPECT_NEAR(t.z, expected[order[k]].z, 1e-5f) << k;
        }
        // Past the shader's four bones nothing is written: the tint after them is intact.
        EXPECT_EQ(f32_at(d.constants, tint), 1.0f);
        EXPECT_EQ(f32_at(d.constants, tint + 8), 0.25f);
    }
}

TEST(RenderObjects, BoneNodesTheSceneGraphLacksCountAsItsOrigin)
{
    RenderScene scene;
    const u32 g = scene.graph({placed_at(0, 10, 0), placed_at(1, 10, 0)});
    const u32 bone_nodes[2] = {1, 99};
    const Matrix4x4 inverse_binds[2] = {matrix4x4_identity, placed_at(0, 0, -3)};
    const u32 list[2] = {0, 1};
    const MeshBoneList lists[1] = {{list, 2}};
    const MeshSkinDesc skin{bone_nodes, inverse_binds, 2, lists, 1};
    const MeshBatch batch{0, 12, 0, 0};
    const u32 handle = scene.mesh(g, 0, mesh_mask::main_set, &skin, &batch).handle();
    scene.frame();
    scene.render();
    auto *mesh = static_cast<RenderMeshObject *>(scene.world->object(handle));
    ASSERT_NE(mesh, nullptr);
    ASSERT_EQ(mesh->bone_matrices().size(), 2u);
    EXPECT_EQ(translation(mesh->bone_matrices()[0]).x, 1.0f);
    // Node 99 is past the graph's two nodes: the identity stands in for its pose.
    const Vector3 t = translation(mesh->bone_matrices()[1]);
    EXPECT_EQ(t.y, -10.0f);
    EXPECT_EQ(t.z, -3.0f);
    EXPECT_EQ(scene.draws().size(), 1u);
}

TEST(RenderObjects, BatchesWithoutMaterialOrShaderDrawNothingAndTheOthersStillDraw)
{
    RenderScene scene;
    const u32 g = scene.graph({placed_at(0, 10, 0)});
    test::LogCapture log("render");
    // A batch naming material slot 3 of a mesh with one slot is left out at creation.
    const MeshBatch bad{0, 12, 3, 0xFFFFFFFFu};
    scene.mesh(g, 0, mesh_mask::main_set, nullptr, &bad);
    // A material whose template has no shader draws nothing.
    scene.material.shader_template = id32("no_such_template");
    scene.mesh(g, 0);
    scene.material.shader_template = id32("mesh");
    scene.mesh(g, 0);
    scene.frame();
    EXPECT_TRUE(log.contains("material slot or a bone list it lacks"));
    EXPECT_EQ(scene.render().visible_records, 3u);
    EXPECT_EQ(scene.draws().size(), 1u);
}

TEST(RenderObjects, DepthRunsFromTheNearPlaneToTheFarRange)
{
    RenderScene scene;
    // Near the camera, half way and past the far range (drawn without culling).
    const u32 g = scene.graph({placed_at(0, 0.1f, 0), placed_at(0, 500.1f, 0), placed_at(0, 3000, 0)});
    scene.mesh(g, 0, mesh_mask::main_set | mesh_mask::unculled);
    scene.mesh(g, 1);
    scene.mesh(g, 2, mesh_mask::main_set | mesh_mask::unculled);
    scene.frame();
    scene.render();
    std::vector<f32> depths;
    for (const DecodedCommand &d : scene.draws())
        depths.push_back(d.draw.sort_depth);
    std::sort(depths.begin(), depths.end());
    ASSERT_EQ(depths.size(), 3u);
    EXPECT_NEAR(depths[0], 0.0f, 1e-5f);
    EXPECT_NEAR(depths[1], 0.5f, 1e-3f);
    EXPECT_EQ(depths[2], 1.0f);
}

TEST(RenderObjects, MissingLayerConfigurationOrOutputSkipsTheView)
{
    RenderScene scene;
    const u32 g = scene.graph({placed_at(0, 10, 0)});
    scene.mesh(g, 0);
    scene.frame();
    test::LogCapture log("render");
    scene.rect.layer_config = id32("nothing");
    EXPECT_FALSE(scene.render().drawn);
    EXPECT_TRUE(log.contains("layer configuration is not loaded"));
    scene.rect.layer_config = id32("main");
    scene.rect.output_target = id32("nowhere");
    EXPECT_FALSE(scene.render().drawn);
    EXPECT_TRUE(log.contains("output target"));
    scene.rect.output_target = id32("back_buffer");
    EXPECT_TRUE(scene.render().drawn);
}

struct EnvironmentResource {
    ShadingEnvironmentResource *resource;
    ~EnvironmentResource() { destroy_shading_environment(resource, default_allocator()); }
};

ShadingEnvironmentSource sun_environment()
{
    ShadingEnvironmentSource s;
    s.variables = {{2, 1, 0, 0}, {0, 1, 0, 12}, {3, 1, 0, 16}};
    s.settings.push_back({id32("default"), floats_bytes({0.9f, 0.8f, 0.7f, 2.0f, 0.0f})});
    s.settings.push_back({id32("night"), floats_bytes({0.1f, 0.1f, 0.2f, 0.5f, 0.0f})});
    s.bindings = {{id32("crate"), id32("tint"), 0}};
    s.render_variables = {{0, id32("sun_color"), 0}, {2, id32("odd_type"), 0}};
    return s;
}

TEST(RenderObjects, LineDrawersAndGuisDrawAfterTheMeshesInAContextOfTheirOwn)
{
    // Three workers: the meshes go through the parallel kernel, the drawer and the GUI
    // (which makes its vertex buffer at its first draw) through the serial pass.
    RenderScene scene(3);
    ShaderLibrarySource source;
    for (const char *name : {"line_object", "gui"}) {
        source.shaders.push_back(build_shader({name,
                                               {{"world", ShaderValueType::Matrix4x4},
                                                {"view", ShaderValueType::Matrix4x4},
                                                {"proj", ShaderValueType::Matrix4x4}},
                                               {},
                                               {{"opaque", "v", "p"}}}));
        source.templates.push_back({id32(name), {{id32("default"), {{id32(name), {}}}}}});
    }
    LibraryPtr overlay = read_library(source);
    ASSERT_TRUE(overlay);
    resolve_passes(*overlay, &scene.layers);
    ASSERT_TRUE(scene.shaders.add_shader_library(*overlay));
    scene.shaders.update_templates(*overlay);

    u32 drawer_handle = no_render_handle;
    scene.world->create_object(*scene.link, drawer_handle,
                               make_new<RenderLineObjectDrawer>(scene.world->allocator(), scene.world->allocator(),
                                                                LineDrawerDescription{}));
    LineObjects pool(scene.allocator, drawer_handle);
    LineObject *lines = pool.create();
    ASSERT_TRUE(lines);
    lines->add_line(0xFFFF0000, {0, 0, 0}, {1, 0, 0});
    lines->add_line(0xFF00FF00, {0, 0, 0}, {0, 0, 1});
    ASSERT_TRUE(lines->dispatch(scene.link->state()->update_stream(0), pool.drawer()));
    FakeResources resources;
    GuiWorld guis(scene.allocator, *scene.world, *scene.link, resources.lookup());
    GuiCreateParams params;
    params.settings.resolution[0] = 1280;
    params.settings.resolution[1] = 720;
    Gui *gui = guis.create_gui(params);
    ASSERT_TRUE(gui);
    ASSERT_TRUE(gui->rect(gui->take_id(), {10, 0, 10}, 100, 20, 0, 0xFFFFFFFF));
    const u32 graph = scene.graph({placed_at(0, 5, 0)});
    scene.mesh(graph, 0);
    scene.frame();

    struct Expected {
        u32 primitive_type;
        u32 primitive_count;
        u32 vertex_count;
    };
    for (u32 frame = 0; frame < 2; ++frame) {
        SCOPED_TRACE(frame);
        const RenderWorldStats stats = scene.render();
        EXPECT_EQ(stats.visible_records, 3u);
        EXPECT_EQ(stats.render_batches, 1u);
        EXPECT_EQ(stats.contexts, 3u); // set-up, one kernel batch, the self-drawing objects
        std::vector<DecodedCommand> draws = scene.draws();
        ASSERT_EQ(draws.size(), 3u);
        std::vector<Expected> got;
        for (const DecodedCommand &d : draws)
            got.push_back({d.draw.primitive_type, d.draw.primitive_count, d.draw.vertex_count});
        std::sort(got.begin(), got.end(), [](const Expected &x, const Expected &y) {
            return x.primitive_type != y.primitive_type ? x.primitive_type < y.primitive_type
                                                        : x.primitive_count < y.primitive_count;
        });
        const Expected expected[3] = {{primitive_type::triangle_list, 2, 6},  // the rectangle
                                      {primitive_type::triangle_list, 12, 0}, // the cube (indexed)
                                      {primitive_type::line_list, 2, 4}};     // the two lines
        for (u32 i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(got[i].primitive_type, expected[i].primitive_type);
            EXPECT_EQ(got[i].primitive_count, expected[i].primitive_count);
            EXPECT_EQ(got[i].vertex_count, expected[i].vertex_count);
        }
        EXPECT_TRUE(scene.device.errors().empty()) << scene.device.errors().front();
    }
    // A destroyed gui is drawn no more.
    EXPECT_TRUE(guis.destroy_gui(gui));
    scene.frame();
    scene.render();
    EXPECT_EQ(scene.draws().size(), 2u);
    scene.world->destroy_object(*scene.link, drawer_handle);
    scene.frame();
}

TEST(RenderObjects, ScreenGuisAndScreenLinesKeepTheirPixelsSquareInAViewOfPartOfTheScreen)
{
    // A pixel of a screen GUI or a screen-space line is a pixel of the view it is drawn in:
    // the projection's x and y scales are 2 / the view's width and height in pixels.
    struct Case {
        const char *name;
        f32 width, height; // of the view, fractions of the 1280 x 720 back buffer
    };
    const Case cases[] = {{"whole screen", 1, 1}, {"left half", 0.5f, 1}, {"bottom quarter", 1, 0.25f}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RenderScene scene;
        ShaderLibrarySource source;
        for (const char *name : {"line_object", "gui"}) {
            source.shaders.push_back(build_shader({name, {{"proj", ShaderValueType::Matrix4x4}}, {}, {{"opaque", "v", "p"}}}));
            source.templates.push_back({id32(name), {{id32("default"), {{id32(name), {}}}}}});
        }
        LibraryPtr overlay = read_library(source);
        ASSERT_TRUE(overlay);
        resolve_passes(*overlay, &scene.layers);
        ASSERT_TRUE(scene.shaders.add_shader_library(*overlay));
        scene.shaders.update_templates(*overlay);
        scene.rect.width = c.width;
        scene.rect.height = c.height;

        u32 drawer_handle = no_render_handle;
        LineDrawerDescription screen_lines;
        screen_lines.screen_space = true;
        scene.world->create_object(*scene.link, drawer_handle,
                                   make_new<RenderLineObjectDrawer>(scene.world->allocator(), scene.world->allocator(),
                                                                    screen_lines));
        LineObjects pool(scene.allocator, drawer_handle);
        LineObject *lines = pool.create();
        ASSERT_TRUE(lines);
        lines->add_line(0xFFFF0000, {0, 0, 0}, {10, 0, 0});
        ASSERT_TRUE(lines->dispatch(scene.link->state()->update_stream(0), pool.drawer()));
        FakeResources resources;
        GuiWorld guis(scene.allocator, *scene.world, *scene.link, resources.lookup());
        GuiCreateParams params;
        params.settings.resolution[0] = u32(1280 * c.width);
        params.settings.resolution[1] = u32(720 * c.height);
        Gui *gui = guis.create_gui(params);
        ASSERT_TRUE(gui);
        ASSERT_TRUE(gui->rect(gui->take_id(), {10, 0, 10}, 100, 20, 0, 0xFFFFFFFF));
        scene.frame();
        scene.render();
        const std::vector<DecodedCommand> draws = scene.draws();
        ASSERT_EQ(draws.size(), 2u);
        for (const DecodedCommand &d : draws) {
            const char *shader = d.draw.primitive_type == primitive_type::line_list ? "line_object" : "gui";
            SCOPED_TRACE(shader);
            const u32 proj = scene.shaders.find_shader(id32(shader))->find_variable(id32("proj"))->offset;
            // Transposed: x's scale first, the plane's y (the vertex's third value) at [1][2].
            EXPECT_NEAR(f32_at(d.constants, proj), 2.0f / (1280 * c.width), 1e-7f);
            EXPECT_NEAR(f32_at(d.constants, proj + (1 * 4 + 2) * 4), 2.0f / (720 * c.height), 1e-7f);
        }
        EXPECT_TRUE(guis.destroy_gui(gui));
        scene.world->destroy_object(*scene.link, drawer_handle);
        scene.frame();
    }
}

TEST(ShadingEnvironments, ResourceReaderRefusesWhatItCannotReadSafely)
{
    const std::vector<u8> good = write_shading_environment(sun_environment());
    EnvironmentResource r{read_shading_environment(good.data(), good.size(), default_allocator())};
    ASSERT_NE(r.resource, nullptr);
    EXPECT_EQ(r.resource->variables[2].size_bytes, 0u); // type 3 has no size
    ASSERT_NE(r.resource->find_setting(id32("night")), nullptr);
    EXPECT_EQ(r.resource->find_setting(id32("noon")), nullptr);

    struct Case {
        const char *name;
        ShadingEnvironmentSource source;
    };
    std::vector<Case> cases;
    cases.push_back({"short settings block", sun_environment()});
    cases.back().source.settings[1].bytes.resize(8);
    cases.push_back({"binding past the variables", sun_environment()});
    cases.back().source.bindings[0][2] = 3;
    cases.push_back({"render variable past the variables", sun_environment()});
    cases.back().source.render_variables[0][0] = 9;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log("render");
        const std::vector<u8> bytes = write_shading_environment(c.source);
        EXPECT_EQ(read_shading_environment(bytes.data(), bytes.size(), default_allocator()), nullptr);
        EXPECT_TRUE(log.contains("shading_environment refused"));
    }
    for (size_t cut = 0; cut < good.size(); cut += 7) {
        test::LogCapture log("render");
        EXPECT_EQ(read_shading_environment(good.data(), cut, default_allocator()), nullptr) << cut;
    }
}

TEST(ShadingEnvironments, ValuesReachTheDrawConstantsAndMaterials)
{
    RenderScene scene;
    const std::vector<u8> bytes = write_shading_environment(sun_environment());
    EnvironmentResource r{read_shading_environment(bytes.data(), bytes.size(), default_allocator())};
    ASSERT_NE(r.resource, nullptr);
    MaterialResource materials(scene.allocator);
    materials.entries.push_back(&scene.material);

    const u32 g = scene.graph({placed_at(0, 10, 0)});
    scene.mesh(g, 0);
    ShadingEnvironment env(scene.allocator);
    EXPECT_FALSE(env.update()); // no resource yet
    env.set_resource(r.resource, &materials, *scene.world, *scene.link);
    ASSERT_TRUE(env.update());
    env.apply_variables();
    env.apply_variables(); // twice in a frame: the last one holds
    scene.frame();
    const u32 live = scene.world->live_object_count();

    scene.render(no_render_handle, env.handle());
    auto draws = scene.draws();
    ASSERT_EQ(draws.size(), 1u);
    EXPECT_EQ(f32_at(draws[0].constants, scene.offset_of("sun_color")), 0.9f);
    EXPECT_EQ(f32_at(draws[0].constants, scene.offset_of("sun_color") + 8), 0.7f);
    const auto *twin = static_cast<const RenderShadingEnvironment *>(scene.world->object(env.handle()));
    ASSERT_NE(twin, nullptr);
    EXPECT_EQ(twin->raw_block().size(), 20u);
    // The generators' steps get the same values as a block set_matrices writes: the
    // vector3 "sun_color" by its id; "odd_type" (type 3, no plain value) is left out.
    const ShaderVariableBlock *values = twin->environment_values();
    ASSERT_NE(values, nullptr);
    ASSERT_EQ(values->records.size(), 1u);
    EXPECT_EQ(values->records[0].name, id32("sun_color"));
    EXPECT_EQ(values->records[0].kind, 2u);
    ASSERT_LE(values->records[0].offset + 12, values->values.size());
    f32 green = 0;
    memcpy(&green, values->values.data() + values->records[0].offset + 4, 4);
    EXPECT_EQ(green, 0.8f);
    ASSERT_EQ(twin->materials().size(), 1u);
    // The binding drives the tint of the environment's own "crate" material.
    const auto *value_set = static_cast<const RenderMaterial *>(twin->materials()[0].object);
    ASSERT_NE(value_set, nullptr);
    bool tinted = false;
    for (const MaterialValue &v : value_set->values())
        tinted = tinted || (v.variable == id32("tint") && v.value[0] == 0.9f);
    EXPECT_TRUE(tinted);

    // Switching the resource again and again keeps the object count: the value sets'
    // materials go with the old twin.
    for (int i = 0; i < 3; ++i) {
        env.set_resource(r.resource, &materials, *scene.world, *scene.link);
        scene.frame();
        EXPECT_EQ(scene.world->live_object_count(), live);
    }
    env.release_render_objects(*scene.world, *scene.link);
    scene.frame();
    EXPECT_EQ(scene.world->live_object_count(), live - 2);
    materials.entries.clear();
}

TEST(ShadingEnvironments, ValueRecordsNeverGrowPastTheirConstant)
{
    RenderScene scene;
    const std::vector<u8> bytes = write_shading_environment(sun_environment());
    EnvironmentResource r{read_shading_environment(bytes.data(), bytes.size(), default_allocator())};
    ShadingEnvironment env(scene.allocator);
    env.set_resource(r.resource, nullptr, *scene.world, *scene.link);
    scene.frame();
    // A hand-made record claiming 64 bytes for the 12-byte "sun_color".
    std::vector<u8> payload(sizeof(ShadingValueRecord) + 64, 0x3F);
    ShadingValueRecord header;
    header.handle = env.handle();
    header.size_bytes = 64;
    header.id = id32("sun_color");
    memcpy(payload.data(), &header, sizeof header);
    ASSERT_TRUE(scene.link->state()->update_stream(0).write(shading_record::variable, payload.data(), u32(payload.size())));
    scene.frame();
    const auto *twin = static_cast<const RenderShadingEnvironment *>(scene.world->object(env.handle()));
    ASSERT_NE(twin->find_variable(id32("sun_color")), nullptr);
    EXPECT_EQ(twin->variable_size(id32("sun_color")), 12u);
    ASSERT_NE(twin->find_variable(id32("odd_type")), nullptr);
    EXPECT_EQ(twin->variable_size(id32("odd_type")), 0u);
    // What follows the value in the block is untouched.
    EXPECT_EQ(twin->value_block_size(), 12u);
    env.release_render_objects(*scene.world, *scene.link);
    scene.frame();
}

} // namespace
} // namespace tallow
