#include "render/generators/shadow_casters.h"

#include "render/commands/render_context.h"
#include "render/device/render_device.h"
#include "foundation/threads/job_kernel.h"
#include "foundation/threads/thread_pool.h"
#include "render/world/frustum_culling.h"
#include "render/world/render_camera.h"
#include "render/world/render_lod_object.h"
#include "render/world/render_mesh_object.h"
#include "render/world/render_world.h"

namespace tallow {

namespace {

/// Records a shadow view culls at a time: small enough for the stack of a job, large
/// enough that the kernel's plane set-up is paid rarely.
constexpr u32 view_cull_chunk = 64;

/// What every shadow-view job reads.
struct ShadowViewParams {
    const RenderWorld *world;
    const ShaderVariableBlock *environment;
    JobFunction cull; // the culling kernel's function
    u32 kernel;       // and its index in the kernel registry
};

/// Culls `count` records with the culling kernel's function on this thread.
void cull_chunk(JobFunction cull, RenderRecord *out, const RenderRecord *in, u32 count, const Matrix4x4 &view_projection)
{
    Job job(cull_kernel_name);
    JobData data(job);
    data.set_stream(0, {const_cast<RenderRecord *>(in), u32(sizeof(RenderRecord))});
    data.set_stream(1, {out, u32(sizeof(RenderRecord))});
    data.set_stream(2, {const_cast<Matrix4x4 *>(&view_projection), 0}, stream_kind_shared);
    job.set_count(count);
    cull(data);
}

/// Draws the casters among `count` culled records into `context`.
u32 draw_culled(const RenderWorld &world, const RenderRecord *culled, u32 count, RenderContext &context,
                const MeshRenderParams &params, const Matrix4x4 &view_projection,
                Array<RenderMeshObject *> &lod_meshes)
{
    u32 drawn = 0;
    for (u32 i = 0; i < count; ++i) {
        const RenderRecord &r = culled[i];
        if ((r.kind & render_record_always_drawn) != render_record_always_drawn)
            continue;
        RenderObject *object = world.object_in_slot(r.slot);
        if (!object || object->class_id() != r.class_id)
            continue;
        if (r.class_id == u32(RenderObjectClass::MeshObject)) {
            static_cast<RenderMeshObject *>(object)->render(context, params);
            ++drawn;
        } else if (r.class_id == u32(RenderObjectClass::LODObject)) {
            lod_meshes.clear();
            static_cast<RenderLODObject *>(object)->select_lod(world, view_projection, lod_meshes);
            for (RenderMeshObject *mesh : lod_meshes) {
                mesh->render(context, params);
                ++drawn;
            }
        }
    }
    return drawn;
}

/// One view. With `pool` and `scratch` (a view drawn alone) the culling runs on the pool
/// into `scratch` first; otherwise a chunk at a time, here.
void render_shadow_view(const ShadowViewParams &p, ShadowView &view, ThreadPool *pool = nullptr,
                        Array<RenderRecord> *scratch = nullptr)
{
    RenderCamera camera(view.camera, 0xFFFFFFFFu, no_scene_node);
    camera.set_pose(view.pose);
    camera.compute_frustum(1, 1, 1);
    const Matrix4x4 &view_projection = camera.view_projection();
    RenderContext &context = *view.context;
    // The records are only read here; the set's accessor is not const because the render
    // world's own passes update them.
    RenderRecordSet &set = const_cast<RenderWorld &>(*p.world).flag1_set();
    const RenderRecord *records = set.records();
    const u32 count = set.count();
    Array<Matrix4x4> bones(context.allocator());
    Array<RenderMeshObject *> lod_meshes(context.allocator());
    MeshRenderParams params;
    params.camera = &camera;
    params.environment_values = p.environment;
    params.variables = view.variables;
    params.caller_bits = view.key;
    params.step_key = true; // the casters stay in the step's place, whatever layer their shadow pass names
    params.bone_scratch = &bones; // other views may draw the same skinned mesh at this moment
    if (pool && scratch && count > view_cull_chunk) {
        scratch->resize(count);
        if (scratch->size() == count) {
            const JobId job = cull_objects(scratch->data(), records, count, &view_projection, *pool, p.kernel);
            if (job != no_job) {
                pool->wait(job);
                pool->job_done(job);
                view.drawn = draw_culled(*p.world, scratch->data(), count, context, params, view_projection, lod_meshes);
                return;
            }
        }
    }
    RenderRecord culled[view_cull_chunk];
    u32 drawn = 0;
    for (u32 first = 0; first < count; first += view_cull_chunk) {
        const u32 n = count - first < view_cull_chunk ? count - first : view_cull_chunk;
        cull_chunk(p.cull, culled, records + first, n, view_projection);
        drawn += draw_culled(*p.world, culled, n, context, params, view_projection, lod_meshes);
    }
    view.drawn = drawn;
}

void shadow_view_job(const JobData &batch)
{
    ShadowView *views = batch.stream_as<ShadowView>(0);
    const ShadowViewParams &p = *batch.stream_as<const ShadowViewParams>(1);
    for (u32 i = 0; i < batch.count(); ++i)
        render_shadow_view(p, views[i]);
}

} // namespace

RenderContext *begin_shadow_context(const GeneratorFrame &frame)
{
    if (!frame.device || !frame.contexts)
        return nullptr;
    RenderContext *context = frame.device->alloc_render_context();
    if (!context)
        return nullptr;
    if (!frame.contexts->push_back(context)) {
        frame.device->release_render_context(context);
        return nullptr;
    }
    context->bind_layer_config(frame.layer_config, frame.resources);
    context->set_shader_slot_index(shadow_shader_slot);
    return context;
}

void render_shadow_views(const RenderWorld &world, ShadowView *views, u32 count, ThreadPool *pool,
                         const ShaderVariableBlock *environment, Array<RenderRecord> *scratch)
{
    if (count == 0)
        return;
    // The kernel a kernel library may have replaced, as the world's own culling uses.
    static const u32 kernel = register_cull_kernel();
    JobFunction cull = kernel_registry().update_function(kernel);
    ShadowViewParams params{&world, environment, cull ? cull : &cull_oobb_kernel, kernel};
    if (count == 1) {
        // Alone, a view has the pool to itself for its culling.
        render_shadow_view(params, views[0], pool, scratch);
        return;
    }
    JobId id = no_job;
    if (pool) {
        Job job("shadow_view");
        JobData data(job);
        data.set_stream(0, {views, u32(sizeof(ShadowView))});
        data.set_stream(1, {&params, 0}, stream_kind_shared);
        job.set_count(count);
        job.set_function(&shadow_view_job);
        JobSplit split(job);
        split.mode = 1;
        split.limit = 1; // a view is a few thousand records: worth a job of its own
        id = run_job(*pool, job, no_job, &split);
    }
    if (id != no_job) {
        pool->wait(id);
        pool->job_done(id);
        return;
    }
    for (u32 i = 0; i < count; ++i)
        render_shadow_view(params, views[i]);
}

} // namespace tallow
