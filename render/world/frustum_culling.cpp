#include "render/world/frustum_culling.h"

#include "foundation/threads/job_kernel.h"
#include "render/math/camera_math.h"

namespace tallow {

void cull_records(RenderRecord *out, const RenderRecord *in, u32 count, const Matrix4x4 &view_projection)
{
    const FrustumPlanes planes = frustum_planes(view_projection);
    for (u32 i = 0; i < count; ++i) {
        out[i] = in[i];
        u32 kind = in[i].kind;
        if ((kind & render_record_always_drawn) == render_record_always_drawn)
            continue;
        if ((kind & render_record_visible) && box_in_frustum(planes, in[i].world, in[i].box_min, in[i].box_max))
            kind |= render_record_in_frustum;
        else
            kind &= ~render_record_in_frustum;
        out[i].kind = kind;
    }
}

void cull_oobb_kernel(const JobData &batch)
{
    const RenderRecord *in = batch.stream_as<const RenderRecord>(0);
    RenderRecord *out = batch.stream_as<RenderRecord>(1);
    const Matrix4x4 *view_projection = batch.stream_as<const Matrix4x4>(2);
    if (!in || !out || !view_projection)
        return;
    cull_records(out, in, batch.count(), *view_projection);
}

u32 register_cull_kernel() { return kernel_registry().find_or_add(cull_kernel_name, &cull_oobb_kernel); }

JobId cull_objects(RenderRecord *out, const RenderRecord *in, u32 count, const Matrix4x4 *view_projection,
                   ThreadPool &pool, u32 kernel)
{
    JobFunction function = kernel_registry().update_function(kernel);
    if (count == 0 || !function)
        return no_job;
    Job job("job_vfc_oobb");
    JobData data(job);
    data.set_stream(0, {const_cast<RenderRecord *>(in), u32(sizeof(RenderRecord))});
    data.set_stream(1, {out, u32(sizeof(RenderRecord))});
    data.set_stream(2, {const_cast<Matrix4x4 *>(view_projection), 0}, stream_kind_shared);
    job.set_count(count);
    job.set_function(function);
    JobSplit split(job);
    split.mode = 1;
    split.limit = cull_batch_records;
    return run_job(pool, job, no_job, &split);
}

} // namespace tallow
