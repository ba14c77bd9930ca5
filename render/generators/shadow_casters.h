#pragma once
// What the lighting steps share for shadow maps: a new render context for one shadow view,
// and the drawing of the shadow casters a light camera sees.
//
//   RenderContext *c = begin_shadow_context(frame);   // slot 1, appended to the frame's list
//   RenderCamera light_camera(block, 0xFFFFFFFF, no_scene_node);
//   light_camera.set_pose(pose);  light_camera.compute_frustum(1, 1, 1);
//   render_shadow_casters(*frame.render_world, light_camera, *c, key, scratch);
//
// A step with several shadow views at once (cube faces, spot lights, cascades) sets each
// view's context up first, then draws them all in one call, spread over the pool:
//
//   views.push_back({c, light_block, pose, key, &face_variables});   // render thread
//   render_shadow_views(*frame.render_world, views.data(), views.size(), frame.pool, environment);
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

/// Culls the world's main set with `camera` (computed already; on `pool` with the culling
/// job when not null, waiting for it) and draws every visible mesh object and LOD-chosen
/// mesh into `context` under `key`. `scratch` holds the culled records; `environment` (the
/// frame's shading environment values) and then `variables` (a step's own; both may be
/// null) go into every caster's shader variables of the same names. Returns the number of
/// meshes drawn.
u32 render_shadow_casters(const RenderWorld &world, const RenderCamera &camera, RenderContext &context, u64 key,
                          Array<RenderRecord> &scratch, ThreadPool *pool, const ShaderVariableBlock *environment,
                          const ShaderVariableBlock *variables = nullptr);

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
/// world's main set culled with it and every visible mesh drawn into the view's context
/// under its key, in record order, as render_shadow_casters does. With `pool` each view is
/// a job of its own (the calling thread helps, and the call returns once all are done);
/// without, they run here one after another. Each view has its own context, and a mesh
/// drawn by several views at once keeps its bone matrices per thread, so every context
/// holds the same commands either way. Nothing may touch the views' contexts, the world's
/// records or objects meanwhile.
void render_shadow_views(const RenderWorld &world, ShadowView *views, u32 count, ThreadPool *pool,
                         const ShaderVariableBlock *environment);

} // namespace tallow
