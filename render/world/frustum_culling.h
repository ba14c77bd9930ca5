#pragma once
// Culling of render records against a view frustum, as the job kernel "job_vfc_oobb".
//
//   u32 kernel = register_cull_kernel();                   // once; the engine's own function
//   JobId id = cull_objects(out, in, count, &view_projection, pool, kernel);
//   pool.wait(id); pool.job_done(id);                      // unless id is no_job
//   // out[i] is in[i]; its kind has bits 0 and 1 set when it is visible and in the frustum
//
// The kernel's contract: three data streams, 0 the input records (stride 112), 1 the output
// records (stride 112), 2 the view-projection matrix (stride 0); output record i is a copy
// of input record i whose kind has bits 0 and 1 set when record i's visible bit is set and
// its oriented box (local box by world matrix) reaches into the frustum, and bit 1 clear
// otherwise. Records that enter with both bits set (drawn without culling) keep them.
// Batches of at most cull_batch_records records; each batch derives the planes once.

#include "foundation/math/matrix4x4.h"
#include "foundation/threads/job.h"
#include "render/world/render_record.h"

namespace tallow {

/// The kernel name the render world looks up.
constexpr const char *cull_kernel_name = "job_vfc_oobb";
/// Records per culling batch.
constexpr u32 cull_batch_records = 300;

/// The kernel body (one batch).
void cull_oobb_kernel(const JobData &batch);
/// Culls `count` records on the calling thread (the kernel's rule, no job).
void cull_records(RenderRecord *out, const RenderRecord *in, u32 count, const Matrix4x4 &view_projection);
/// Registers cull_oobb_kernel under cull_kernel_name (an already registered kernel of that
/// name keeps its function) and returns its index. Any thread.
u32 register_cull_kernel();

/// Posts the culling job; no_job (nothing posted) when `count` is 0 or the kernel has no
/// function. `view_projection` and both arrays must live until the job is done.
JobId cull_objects(RenderRecord *out, const RenderRecord *in, u32 count, const Matrix4x4 *view_projection,
                   ThreadPool &pool, u32 kernel);

} // namespace tallow
