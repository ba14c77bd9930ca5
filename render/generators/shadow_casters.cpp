#include "render/generators/shadow_casters.h"

#include "render/commands/render_context.h"
#include "render/device/render_device.h"
#include "foundation/threads/thread_pool.h"
#include "render/world/frustum_culling.h"
#include "render/world/render_camera.h"
#include "render/world/render_lod_object.h"
#include "render/world/render_mesh_object.h"
#include "render/world/render_world.h"

namespace tallow {

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

u32 render_shadow_casters(const RenderWorld &world, const RenderCamera &camera, RenderContext &context, u64 key,
                          Array<RenderRecord> &scratch, ThreadPool *pool, const ShaderVariableBlock *environment,
                          const ShaderVariableBlock *variables)
{
    // The records are only read here; the set's accessor is not const because the render
    // world's own passes update them.
    RenderRecordSet &set = const_cast<RenderWorld &>(world).flag1_set();
    scratch.resize(set.count());
    if (scratch.size() != set.count())
        return 0;
    const Matrix4x4 view_projection = camera.view_projection();
    static const u32 kernel = register_cull_kernel();
    JobId job = pool ? cull_objects(scratch.data(), set.records(), set.count(), &view_projection, *pool, kernel) : no_job;
    if (job != no_job) {
        pool->wait(job);
        pool->job_done(job);
    } else {
        cull_records(scratch.data(), set.records(), set.count(), view_projection);
    }
    MeshRenderParams params;
    params.camera = &camera;
    params.environment_values = environment;
    params.variables = variables;
    params.caller_bits = key;
    params.step_key = true; // the casters stay in the step's place, whatever layer their shadow pass names
    Array<RenderMeshObject *> lod_meshes(context.allocator());
    u32 drawn = 0;
    for (const RenderRecord &r : scratch) {
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

} // namespace tallow
