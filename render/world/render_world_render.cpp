// RenderWorld::render: camera, culling, the render kernel's batches and the dispatch.
#include "foundation/log.h"
#include "foundation/threads/job.h"
#include "render/commands/render_context.h"
#include "render/config/layer_config_set.h"
#include "render/device/render_device.h"
#include "render/generators/generator_frame.h"
#include "render/generators/resource_generator.h"
#include "render/particles/render_particle_world.h"
#include "render/resources/render_resource_set.h"
#include "render/shaders/shader_manager.h"
#include "render/resources/render_resource_context.h"
#include "render/viewports/viewport.h"
#include "render/world/render_draw.h"
#include "render/world/frustum_culling.h"
#include "render/world/render_lod_object.h"
#include "render/world/render_mesh_object.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_shading_environment.h"
#include "render/world/render_world.h"

#include <algorithm>

namespace tallow {

/// What every render-kernel batch reads.
struct RenderKernelParams {
    const RenderWorld *world;
    const RenderCamera *camera;
    const RenderShadingEnvironment *environment;
    const u32 *texture_channels;
    u32 texture_channel_count;
};

namespace {

bool drawn_kind(u32 kind) { return (kind & render_record_always_drawn) == render_record_always_drawn; }

/// Keeps the drawn records in order, then sorts them by (class, slot) so that records of
/// one class are drawn together.
void compact_and_sort(Array<RenderRecord> &records)
{
    u32 kept = 0;
    for (u32 i = 0; i < records.size(); ++i)
        if (drawn_kind(records[i].kind))
            records[kept++] = records[i];
    records.resize(kept);
    auto before = [](const RenderRecord &a, const RenderRecord &b) {
        return a.class_id != b.class_id ? a.class_id < b.class_id : a.slot < b.slot;
    };
    // A set's records mostly stay in the order they were filed in: often sorted already.
    if (!std::is_sorted(records.begin(), records.end(), before))
        std::sort(records.begin(), records.end(), before);
}

void render_kernel(const JobData &batch)
{
    const RenderRecord *records = batch.stream_as<const RenderRecord>(0);
    RenderContext *context = *batch.stream_as<RenderContext *>(1);
    const RenderKernelParams &p = *batch.stream_as<const RenderKernelParams>(2);
    MeshRenderParams mesh_params;
    mesh_params.camera = p.camera;
    mesh_params.environment = p.environment;
    mesh_params.texture_channels = p.texture_channels;
    mesh_params.texture_channel_count = p.texture_channel_count;
    const Matrix4x4 &view_projection = p.camera->view_projection();
    Array<RenderMeshObject *> lod_meshes(context->allocator());
    for (u32 i = 0; i < batch.count(); ++i) {
        const RenderRecord &r = records[i];
        RenderObject *object = p.world->object_in_slot(r.slot);
        if (!object || object->class_id() != r.class_id)
            continue;
        switch (RenderObjectClass(r.class_id)) {
        case RenderObjectClass::MeshObject: static_cast<RenderMeshObject *>(object)->render(*context, mesh_params); break;
        case RenderObjectClass::LODObject:
            lod_meshes.clear();
            static_cast<RenderLODObject *>(object)->select_lod(*p.world, view_projection, lod_meshes);
            for (RenderMeshObject *mesh : lod_meshes)
                if (mesh->mask() & mesh_mask::main_set)
                    mesh->render(*context, mesh_params);
            break;
        default: break; // line drawers and GUIs are drawn by render_unculled, on the render thread
        }
    }
}

} // namespace

const RenderSceneGraph *scene_graph_of(const RenderWorld &world, u32 handle)
{
    RenderObject *o = world.object(handle);
    return o && o->class_id() == u32(RenderObjectClass::SceneGraph) ? static_cast<const RenderSceneGraph *>(o) : nullptr;
}

void RenderWorld::update_transforms(RenderRecordSet &set)
{
    // Every record takes its node's matrix, changed or not: a graph's change mask only holds
    // its last update, so a node moved in a frame that was applied but not drawn would
    // otherwise keep its old place in the record.
    RenderRecord *records = set.records();
    const RenderRecordSet::Node *nodes = set.nodes();
    for (u32 i = 0; i < set.count(); ++i)
        if (const Matrix4x4 *m = node_world(nodes[i].graph, nodes[i].node))
            records[i].world = *m;
}

void RenderWorld::refresh_shaders()
{
    if (!_shaders || _shaders->epoch() == _shader_epoch)
        return;
    // Contexts made before the change draw nothing through the changed shaders. The walk
    // runs here, on the render thread before the render kernel: a material's context is
    // shared by the meshes the kernel draws on several workers at once.
    _shader_epoch = _shaders->epoch();
    for (RenderObject *object : _objects)
        if (object)
            object->refresh_shaders();
}

RenderWorldStats RenderWorld::render(const RenderWorldParams &params)
{
    RenderWorldStats stats;
    refresh_shaders();
    auto skip = [&](const char *why) {
        if (_logged_skips++ < 8)
            log_message("render", "render world not drawn: %s", why);
        return stats;
    };
    if (!params.device || !params.global_resources || !params.layer_configs)
        return skip("no device, global resources or layer configurations");
    RenderDevice &device = *params.device;

    // 1. Camera, viewport, shading environment.
    const RenderCamera *camera_object = nullptr;
    if (RenderObject *o = object(params.camera); o && o->class_id() == u32(RenderObjectClass::Camera))
        camera_object = static_cast<RenderCamera *>(o);
    RenderCamera &camera = camera_object ? *const_cast<RenderCamera *>(camera_object) : _default_camera;
    const ViewportPlacement *rect = params.default_viewport;
    if (RenderObject *o = object(params.viewport); o && o->class_id() == u32(RenderObjectClass::Viewport))
        rect = &static_cast<RenderViewport *>(o)->rect;
    if (!rect)
        return skip("no viewport");
    RenderShadingEnvironment *environment = nullptr;
    if (RenderObject *o = object(params.shading_environment);
        o && o->class_id() == u32(RenderObjectClass::ShadingEnvironment))
        environment = static_cast<RenderShadingEnvironment *>(o);

    // 2. Layer configuration and output target.
    const LayerConfig *config = params.layer_configs->find(rect->layer_config);
    if (!config)
        return skip("the viewport's layer configuration is not loaded");
    const RenderResource *output = params.global_resources->find(rect->output_target);
    RenderTarget *target = nullptr;
    if (output && (output->type == RenderResourceType::RenderTarget ||
                   output->type == RenderResourceType::DependentRenderTarget ||
                   output->type == RenderResourceType::BackBuffer))
        target = device.render_target(static_cast<const RenderTarget *>(output), template_window_index);
    if (!target)
        return skip("the viewport's output target has no instance for this window");
    const f32 width = f32(target->description.width);
    const f32 height = f32(target->description.height);

    // 3.-4. Aspect (a zero-height target counts as square), camera and shader values.
    f32 aspect = params.aspect;
    if (aspect == -1.0f)
        aspect = height > 0 ? width / height : 1.0f;
    if (rect->height != 0)
        aspect *= rect->width / rect->height;
    camera.compute_frustum(width, height, aspect);
    if (_shaders) {
        CameraInputs inputs;
        inputs.world = camera.pose();
        inputs.view = camera.view();
        inputs.projection = camera.projection();
        inputs.near_range = camera.block().near_range;
        inputs.far_range = camera.block().far_range;
        inputs.delta_time = _delta_time;
        inputs.time = _time;
        inputs.back_buffer_width = width;
        inputs.back_buffer_height = height;
        _shaders->update_camera_variables(inputs);
    }

    // 5.-7. Records up to date, then light and main culling.
    update_transforms(_flag1);
    update_transforms(_flag2);
    update_transforms(_lights);
    const Matrix4x4 view_projection = camera.view_projection();
    _culled.resize(_flag1.count());
    _culled_lights.resize(_lights.count());
    if (_culled.size() != _flag1.count() || _culled_lights.size() != _lights.count())
        return skip("no memory for the culled records");
    JobId light_job = no_job, main_job = no_job;
    if (_pool) {
        light_job = cull_objects(_culled_lights.data(), _lights.records(), _lights.count(), &view_projection, *_pool,
                                 _cull_kernel);
        main_job = cull_objects(_culled.data(), _flag1.records(), _flag1.count(), &view_projection, *_pool,
                                _cull_kernel);
    }
    if (light_job == no_job)
        cull_records(_culled_lights.data(), _lights.records(), _lights.count(), view_projection);
    if (main_job == no_job)
        cull_records(_culled.data(), _flag1.records(), _flag1.count(), view_projection);

    // 8. The first context: the layers' set-up.
    _contexts.clear();
    RenderContext *first = device.alloc_render_context();
    if (first && _contexts.push_back(first)) {
        first->bind_layer_config(config, params.global_resources);
        const ViewportRect viewport{rect->x, rect->y, rect->width, rect->height};
        first->submit_layers(device, *params.global_resources, *config, viewport);
    } else if (first) {
        device.release_render_context(first);
    }

    // 9. Visible lights.
    if (light_job != no_job) {
        _pool->wait(light_job);
        _pool->job_done(light_job);
    }
    _visible_lights.clear();
    for (const RenderRecord &r : _culled_lights)
        if (drawn_kind(r.kind))
            _visible_lights.push_back(r);
    compact_and_sort(_visible_lights);
    stats.visible_lights = _visible_lights.size();

    // 10. The render job: the drawn records in batches, each into its own context. It runs
    // on the pool while the generators below fill theirs (they read only the lights).
    if (main_job != no_job) {
        _pool->wait(main_job);
        _pool->job_done(main_job);
    }
    const RenderKernelParams kernel{this, &camera, environment, params.texture_channels, params.texture_channel_count};
    const JobId record_job = start_render_records(params, *config, kernel, stats);

    // 11. The layers' resource generators, with this view's camera, lights and environment.
    if (params.generators) {
        GeneratorFrame frame;
        frame.device = &device;
        frame.contexts = &_contexts;
        frame.resources = params.global_resources;
        frame.layer_config = config;
        frame.camera = &camera;
        frame.render_world = this;
        frame.viewport = Viewport{rect->x, rect->y, rect->width, rect->height, 0.0f, 1.0f};
        frame.shading = environment;
        frame.overrides = params.generator_overrides;
        frame.frame_index = params.frame_index;
        frame.pool = _pool;
        const u32 before = _contexts.size();
        params.generators->execute_for_layers(*config, frame);
        stats.generator_contexts = _contexts.size() - before;
    }

    // 12. The render job's contexts follow the generators', as they would had it run after them.
    finish_render_records(device, record_job, stats);

    // 13. The world's particles, into a context of their own bound to this view's layers (the
    // last context may be a generator's, drawing with another shader slot). Their shaders'
    // passes place them in their layers, where the layer's sort orders them.
    if (_particle_world && _particle_world->live_count() > 0) {
        RenderContext *particles = device.alloc_render_context();
        if (particles && _contexts.push_back(particles)) {
            particles->bind_layer_config(config, params.global_resources);
            ParticleView view;
            view.pose = camera.pose();
            view.view = camera.view();
            view.projection = camera.projection();
            view.texture_channels = params.texture_channels;
            view.texture_channel_count = params.texture_channel_count;
            _particle_world->render(view, *particles);
        } else if (particles) {
            device.release_render_context(particles);
        }
    }

    // 14. Line drawers and GUIs.
    render_unculled(params, camera, *config, width, height, *rect, stats);

    // 15. Dispatch and give the contexts back.
    if (!_contexts.empty())
        device.dispatch(_contexts.size(), _contexts.data());
    stats.contexts = _contexts.size();
    for (RenderContext *c : _contexts)
        device.release_render_context(c);
    _contexts.clear();
    stats.drawn = true;
    return stats;
}

JobId RenderWorld::start_render_records(const RenderWorldParams &params, const LayerConfig &config,
                                       const RenderKernelParams &kernel, RenderWorldStats &stats)
{
    _record_contexts.clear();
    compact_and_sort(_culled);
    const u32 count = _culled.size();
    stats.visible_records += count;
    if (count == 0)
        return no_job;
    const u32 batches = (count + render_batch_records - 1) / render_batch_records;
    for (u32 b = 0; b < batches; ++b) {
        RenderContext *c = params.device->alloc_render_context();
        if (!c || !_record_contexts.push_back(c)) {
            if (c)
                params.device->release_render_context(c);
            log_message("render", "no render context for batch %u of %u; the rest of the world is not drawn", b, batches);
            break;
        }
        c->bind_layer_config(&config, params.global_resources);
    }
    const u32 made = _record_contexts.size();
    stats.render_batches = made;
    if (made == 0)
        return no_job;
    Job job("render_kernel");
    JobData data(job);
    data.set_stream(0, {_culled.data(), u32(sizeof(RenderRecord))});
    data.set_stream(1, {_record_contexts.data(), u32(sizeof(RenderContext *))}, stream_kind_per_batch);
    data.set_stream(2, {const_cast<RenderKernelParams *>(&kernel), 0}, stream_kind_shared);
    job.set_count(made == batches ? count : made * render_batch_records);
    job.set_function(&render_kernel);
    if (_pool) {
        JobSplit split(job);
        split.mode = 1;
        split.limit = render_batch_records;
        const JobId id = run_job(*_pool, job, no_job, &split);
        if (id != no_job)
            return id;
    }
    // Without a pool the batches run here, one after another, each as the job would cut it.
    for (u32 b = 0; b < made; ++b) {
        const u32 first = b * render_batch_records;
        Job one("render_kernel");
        JobData slice(one);
        slice.set_stream(0, {_culled.data() + first, u32(sizeof(RenderRecord))});
        slice.set_stream(1, {_record_contexts.data() + b, u32(sizeof(RenderContext *))}, stream_kind_per_batch);
        slice.set_stream(2, {const_cast<RenderKernelParams *>(&kernel), 0}, stream_kind_shared);
        one.set_count(count - first < render_batch_records ? count - first : render_batch_records);
        render_kernel(slice);
    }
    return no_job;
}

void RenderWorld::finish_render_records(RenderDevice &device, JobId job, RenderWorldStats &stats)
{
    if (job != no_job) {
        _pool->wait(job);
        _pool->job_done(job);
    }
    u32 listed = 0;
    for (RenderContext *c : _record_contexts) {
        if (_contexts.push_back(c))
            ++listed;
        else
            device.release_render_context(c); // filled, but the frame's list has no room for it
    }
    if (listed != _record_contexts.size()) {
        log_message("render", "no room in the frame's context list for %u of %u render batches; they are not drawn",
                    _record_contexts.size() - listed, _record_contexts.size());
        stats.render_batches = listed;
    }
    _record_contexts.clear();
}

void RenderWorld::render_unculled(const RenderWorldParams &params, const RenderCamera &camera,
                                  const LayerConfig &config, f32 width, f32 height, const ViewportPlacement &rect,
                                  RenderWorldStats &stats)
{
    // One pass on this thread, in (class, slot) order, into a context of its own: a GUI
    // makes its vertex buffers at its first draw, and resource contexts are filled by one
    // thread at a time, so these objects stay out of the parallel render kernel.
    compact_and_sort(_unculled);
    if (_unculled.empty() || !_shaders)
        return;
    RenderContext *context = params.device->alloc_render_context();
    if (!context || !_contexts.push_back(context)) {
        if (context)
            params.device->release_render_context(context);
        log_message("render", "no render context for the line drawers and GUIs; they are not drawn");
        return;
    }
    context->bind_layer_config(&config, params.global_resources);
    RenderResourceContext *resources = params.device->alloc_resource_context();
    RenderDrawParams draw;
    draw.context = context;
    draw.shaders = _shaders;
    draw.device = params.device;
    draw.resource_set = params.global_resources;
    draw.resources = resources;
    draw.texture_channels = params.texture_channels;
    draw.texture_channel_count = params.texture_channel_count;
    draw.view = camera.view();
    draw.projection = camera.projection();
    draw.back_buffer_width = u32(width);
    draw.back_buffer_height = u32(height);
    // At least a pixel: a view of no size draws nothing anyway, and 0 would mean the whole target.
    const f32 view_width = width * rect.width + 0.5f, view_height = height * rect.height + 0.5f;
    draw.view_width = view_width >= 1.0f ? u32(view_width) : 1u;
    draw.view_height = view_height >= 1.0f ? u32(view_height) : 1u;
    for (const RenderRecord &r : _unculled) {
        RenderObject *object = object_in_slot(r.slot);
        if (object && object->class_id() == r.class_id && render_unculled_object(*object, draw))
            ++stats.visible_records;
    }
    // The buffers made above exist before the contexts that fill and draw them run.
    if (resources) {
        params.device->update_resources(1, &resources);
        params.device->release_resource_context(resources);
    }
}

} // namespace tallow
