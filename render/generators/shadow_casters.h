#pragma once
// What the lighting steps share for shadow maps: a new render context for one shadow view,
// and the drawing of the shadow casters a light camera sees.
//
//   RenderContext *c = begin_shadow_context(frame);   // slot 1, appended to the frame's list
//   RenderCamera light_camera(block, 0xFFFFFFFF, no_scene_node);
//   light_camera.set_pose(pose);  light_camera.compute_frustum(1, 1, 1);
//   render_shadow_casters(*frame.render_world, light_camera, *c, key, scratch);
//
// A shadow caster is a mesh object of the world's main set (or a mesh its LOD object
// chooses) whose material has a shadow slot: the context draws with shader slot 1, so a
// material without one draws nothing there. Render thread.

#include "foundation/containers/array.h"
#include "render/generators/generator_frame.h"
#include "render/world/render_record.h"

namespace tallow {

class RenderCamera;
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

} // namespace tallow
