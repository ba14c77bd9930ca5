#pragma once
// What the lighting steps share for shadow maps: a new render context for each shadow
// view, and the drawing of the shadow casters the views' light cameras see. A step sets
// every view's context up first (targets, viewport, clear), then draws the casters of all
// of them in one call, spread over the frame's pool:
//
//   RenderContext *c = begin_shadow_context(frame);   // slot 1, appended to the frame's list
//   ... c->begin_segment(key); targets, viewport, clear; c->end_segment();
//   views[n++] = {c, light_block, light_pose, key, &face_variables};
//   ...
//   render_shadow_views(*frame.render_world, views, n, frame.pool, environment);
//
// A shadow caster is a mesh object of the world's main set (or a mesh its LOD object
// chooses) whose material has a shadow slot: the context draws with shader slot 1, so a
// material without one draws nothing there. Render thread.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "render/generators/generator_frame.h"
#include "render/world/render_camera.h"
#include "render/world/render_record.h"

namespace tallow {

class RenderContext;
class RenderWorld;
class ShaderVariableBlock;
class ThreadPool;

/// Shader slot index of shadow-map passes.
constexpr u32 shadow_shader_slot = 1;

/// A new context from the frame's device, bound to the frame's layer configuration and
/// resources, with shader slot 1, already appended to the frame's list. Null (logged by
/// the caller) when the device or the list has no room.
RenderContext *begin_shadow_context(const GeneratorFrame &frame);

/// One shadow view: a light camera (its settings and pose; no scene node) and the context
/// its casters go into under `key`, with the step's own `variables` (may be null).
struct ShadowView {
    RenderContext *context = nullptr; // set up by the step (targets, viewport, clear)
    CameraBlock camera;
    Matrix4x4 pose = matrix4x4_identity;
    u64 key = 0;
    const ShaderVariableBlock *variables = nullptr; // read by the workers until the call returns
    u32 drawn = 0;                                  // meshes drawn; filled by render_shadow_views
};

/// Draws the casters of `count` views: each view's camera computed for a 1 x 1 target, the
/// world's main set culled with it (the culling kernel's rule, see frustum_culling.h) and
/// every visible mesh object and LOD-chosen mesh drawn into the view's context under its
/// key, in record order; the frame's `environment` values and then the view's `variables`
/// (both may be null) go into every caster's shader variables of the same names. With
/// `pool` each view is a job of its own (the calling thread helps; the call returns once
/// all are done); without, they run here one after another. Each view has its own context,
/// and a mesh drawn by several views at once keeps its bone matrices per thread, so every
/// context holds the same commands either way. A view drawn alone culls on `pool` into
/// `scratch` (when given; it keeps its memory for the next frame), then draws here. Nothing
/// may touch the views' contexts, the world's records or objects meanwhile.
void render_shadow_views(const RenderWorld &world, ShadowView *views, u32 count, ThreadPool *pool,
                         const ShaderVariableBlock *environment, Array<RenderRecord> *scratch = nullptr);

} // namespace tallow
