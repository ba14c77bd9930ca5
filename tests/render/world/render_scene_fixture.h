#pragma once
// A small render scene for the render-object tests and benchmarks: a recording device
// with a 1280 x 720 back buffer, one layer configuration ("main" with layer "opaque"), a
// shader library with a "mesh" template, a render world on a thread pool, and helpers
// that make scene graphs, cube meshes and lights through the game-side classes.

#include "foundation/memory/memory_globals.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "render/config/layer_config_set.h"
#include "render/materials/material_resource.h"
#include "render/resources/render_resource_set.h"
#include "render/shaders/shader_library_loader.h"
#include "render/shaders/shader_manager.h"
#include "render/viewports/viewport.h"
#include "render/world/render_light.h"
#include "render/world/render_lod_object.h"
#include "render/world/render_mesh_object.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "tests/render/shaders/shader_test_support.h"
#include "tests/support/fakes/recording_render_device.h"

#include <cstring>
#include <memory>
#include <vector>

namespace tallow::test {

inline Matrix4x4 placed_at(f32 x, f32 y, f32 z)
{
    Matrix4x4 m = matrix4x4_identity;
    m.m[3][0] = x;
    m.m[3][1] = y;
    m.m[3][2] = z;
    return m;
}

/// A unit cube around the origin: 8 positions, 36 16-bit indices, one batch.
struct CubeGeometry {
    f32 positions[8][3];
    u16 indices[36];
    VertexChannel channel{0, 2, 0, 0, 0, {}}; // POSITION, float3
    MeshBatch batch{0, 12, 0, 0xFFFFFFFFu};

    CubeGeometry()
    {
        for (u32 i = 0; i < 8; ++i) {
            positions[i][0] = (i & 1) ? 0.5f : -0.5f;
            positions[i][1] = (i & 2) ? 0.5f : -0.5f;
            positions[i][2] = (i & 4) ? 0.5f : -0.5f;
        }
        const u16 faces[6][4] = {{0, 1, 3, 2}, {4, 6, 7, 5}, {0, 4, 5, 1}, {2, 3, 7, 6}, {0, 2, 6, 4}, {1, 5, 7, 3}};
        for (u32 f = 0; f < 6; ++f) {
            const u16 *q = faces[f];
            const u16 tri[6] = {q[0], q[1], q[2], q[0], q[2], q[3]};
            memcpy(indices + f * 6, tri, sizeof tri);
        }
    }
    MeshDesc desc(u32 graph, u32 node, u32 mask) const
    {
        MeshDesc d;
        d.vertices = positions;
        d.vertex_count = 8;
        d.vertex_stride = 12;
        d.indices = indices;
        d.index_count = 36;
        d.channels = &channel;
        d.channel_count = 1;
        d.batches = &batch;
        d.batch_count = 1;
        for (int i = 0; i < 3; ++i) {
            d.box_min[i] = -0.5f;
            d.box_max[i] = 0.5f;
        }
        d.scene_graph = graph;
        d.node = node;
        d.mask = mask;
        return d;
    }
};

class RenderScene {
  public:
    /// `workers` 0: no pool (everything runs on the calling thread).
    explicit RenderScene(u32 workers = 3, std::vector<VariableSpec> constants = default_constants())
    {
        back_buffer.description.width = 1280;
        back_buffer.description.height = 720;
        device.add_window_targets(0, &back_buffer);
        globals.add(id32("back_buffer"), const_cast<RenderTarget *>(device.back_buffer_key()), false, true);
        Layer opaque;
        opaque.name = id32("opaque");
        opaque.sort_mode = SortMode::FrontBack;
        opaque.render_targets[0] = id32("back_buffer");
        layers.add_layer(id32("main"), opaque);

        ShaderLibrarySource source;
        source.shaders.push_back(build_shader({"mesh", constants, {"diffuse_map"}, {{"opaque", "v", "p"}}}));
        source.templates.push_back({id32("mesh"), {{id32("default"), {{id32("mesh"), {}}}}}});
        library = read_library(source);
        resolve_passes(*library, &layers);
        shaders.add_shader_library(*library);
        shaders.update_templates(*library);

        material.name = id32("crate");
        material.shader_template = id32("mesh");
        MaterialValue tint;
        tint.kind = 2;
        tint.variable = id32("tint");
        tint.value[0] = 1.0f;
        tint.value[1] = 0.5f;
        tint.value[2] = 0.25f;
        material.values.push_back(tint);

        if (workers) {
            pool = std::make_unique<ThreadPool>(allocator, workers, registry);
            pool->add_worker(current_thread_id());
            pool->set_wait_without_helping(false);
        }
        world = std::make_unique<RenderWorld>(allocator, pool.get());
        world->set_shader_manager(&shaders);
        link = std::make_unique<WorldRenderLink>(allocator, world->acquire_state_buffer());
        rect.layer_config = id32("main");
        rect.output_target = id32("back_buffer");
    }
    ~RenderScene()
    {
        link.reset();
        world.reset();
        pool.reset();
    }

    static std::vector<VariableSpec> default_constants()
    {
        return {{"world", ShaderValueType::Matrix4x4},
                {"world_view_proj", ShaderValueType::Matrix4x4},
                {"bones", ShaderValueType::Matrix4x4, 4},
                {"tint", ShaderValueType::Vector3},
                {"sun_color", ShaderValueType::Vector3}};
    }

    /// Hands this frame's state across and applies it, with its device resources.
    void frame()
    {
        RenderStateQueue *filled = link->swap_state(world->acquire_state_buffer());
        RenderResourceContext *context = device.alloc_resource_context();
        world->update_state(*filled, context);
        device.update_resources(1, &context);
        device.release_resource_context(context);
        world->release_state_buffer(filled);
        link->handles().collect();
    }

    u32 graph(const std::vector<Matrix4x4> &nodes)
    {
        u32 handle = no_render_handle;
        return world->create_scene_graph(*link, handle, nodes.data(), u32(nodes.size()));
    }

    Mesh &mesh(u32 graph, u32 node, u32 mask = mesh_mask::main_set, const MeshSkinDesc *skin = nullptr,
               const MeshBatch *batch = nullptr)
    {
        meshes.push_back(std::make_unique<Mesh>(allocator, id32("cube"), mask));
        MeshDesc d = cube.desc(graph, node, mask);
        d.skin = skin;
        if (batch)
            d.batches = batch;
        const MaterialEntry *entries[1] = {&material};
        const u32 names[1] = {id32("crate")};
        meshes.back()->create(*world, *link, d, entries, names, 1);
        return *meshes.back();
    }

    RenderWorldStats render(u32 camera = no_render_handle, u32 environment = no_render_handle)
    {
        RenderWorldParams p;
        p.device = &device;
        p.camera = camera;
        p.shading_environment = environment;
        p.global_resources = &globals;
        p.layer_configs = &layers;
        p.default_viewport = &rect;
        p.texture_channels = channels;
        p.texture_channel_count = 2;
        return world->render(p);
    }

    /// The draws of the last dispatched frame, in execution order.
    std::vector<DecodedCommand> draws() const
    {
        std::vector<DecodedCommand> out;
        if (device.frames().empty())
            return out;
        for (const DecodedCommand &c : device.frames().back().commands)
            if (c.type == RenderCommand::DrawBatch)
                out.push_back(c);
        return out;
    }

    /// Offset of a constant of the "mesh" shader.
    u32 offset_of(const char *name) const { return shaders.find_shader(id32("mesh"))->find_variable(id32(name))->offset; }

    TraceAllocator allocator{"render_scene", default_allocator()};
    ThreadRegistry registry{allocator, "main"};
    std::unique_ptr<ThreadPool> pool;
    RecordingRenderDevice device{allocator};
    BackBufferWrapper back_buffer{allocator, 0};
    RenderResourceSet globals{allocator};
    LayerConfigSet layers{allocator};
    ShaderManager shaders{device, allocator};
    LibraryPtr library;
    MaterialEntry material{allocator};
    CubeGeometry cube;
    std::unique_ptr<RenderWorld> world;
    std::unique_ptr<WorldRenderLink> link;
    std::vector<std::unique_ptr<Mesh>> meshes;
    ViewportPlacement rect;
    const u32 channels[2] = {id32("normal_map"), id32("diffuse_map")};
};

inline f32 f32_at(const std::vector<u8> &bytes, u32 offset)
{
    f32 v = 0;
    if (offset + 4 <= bytes.size())
        memcpy(&v, bytes.data() + offset, 4);
    return v;
}

} // namespace tallow::test
