#pragma once
// LOD objects: a box on a scene-graph node that draws one of several lists of meshes,
// chosen each frame by the box's projected size on screen.
//
//   LodStepDesc steps[] = {{1.0f, 0.5f, near_meshes, 2}, {0.5f, 0.0f, far_meshes, 1}};
//   LodObjectDesc desc;  desc.steps = steps; desc.step_count = 2; ...
//   LodObject lod;  lod.create(render_world, link, desc);     // main thread
//   ...                                                       // render thread, per frame:
//   render_lod->select_lod(world, view_projection, meshes);   // the chosen step's meshes
//
// Size: the four corners (min.x, min.y, 0), (max.x, min.y, 0), (min.x, max.y, 0),
// (max.x, max.y, 0) of the local box are projected with the node's world matrix times the
// view-projection; with x' = X / w and y' = Y / w over the eight values, size = (largest -
// smallest) / 2, and 1 when that is 1 or more. A corner at or behind the eye (w <= 0.0001)
// makes the object fill the screen: it is that close. The first step with lower < size <=
// upper is chosen; none chosen draws nothing.
//
// Steps name meshes by render handle; each is looked up when drawn, so a mesh destroyed
// before its LOD object is skipped, never read.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "render/world/render_object.h"

namespace tallow {

class RenderMeshObject;
class RenderSceneGraph;
class RenderWorld;
class WorldRenderLink;

struct LodStepDesc {
    f32 upper = 1.0f;
    f32 lower = 0.0f;
    const u32 *meshes = nullptr; // render handles of RenderMeshObjects
    u32 mesh_count = 0;
};

struct LodObjectDesc {
    u32 scene_graph = 0xFFFFFFFFu;
    u32 node = 0;
    f32 box_min[3] = {};
    f32 box_max[3] = {};
    u32 mask = 1; // bits as a mesh's: 0 main set, 1 second set, 2 drawn without culling
    const LodStepDesc *steps = nullptr;
    u32 step_count = 0;
};

/// The projected size of a local box (see above).
f32 lod_projected_size(const Matrix4x4 &world_view_projection, const f32 box_min[3], const f32 box_max[3]);

class RenderLODObject final : public RenderObject {
  public:
    RenderLODObject(Allocator &allocator, const LodObjectDesc &desc);

    /// Resolves the scene graph and files its records (kind 1, or 3 with mask bit 2).
    void on_create(RenderWorld &world, u32 slot);
    void on_destroy(RenderWorld &world, u32 slot);
    /// A visibility record: the visible bits of its records.
    void apply_visibility(RenderWorld &world, u32 slot, u32 mask, bool visible);

    /// Appends the meshes of the step the projected size selects (live meshes only).
    void select_lod(const RenderWorld &world, const Matrix4x4 &view_projection, Array<RenderMeshObject *> &out) const;
    /// The index of the step for `size`, or -1.
    i32 step_for(f32 size) const;

    Matrix4x4 world() const;
    u32 step_count() const { return _steps.size(); }

  private:
    struct Step {
        f32 upper;
        f32 lower;
        u32 first; // in _meshes
        u32 count;
    };
    u32 _graph_handle;
    const RenderSceneGraph *_graph = nullptr;
    u32 _node;
    f32 _box_min[3];
    f32 _box_max[3];
    u32 _mask;
    Array<Step> _steps;
    Array<u32> _meshes;
};

/// The game side's LOD object. Main thread.
class LodObject {
  public:
    u32 create(RenderWorld &world, WorldRenderLink &link, const LodObjectDesc &desc);
    void destroy(RenderWorld &world, WorldRenderLink &link);
    /// Shows or hides it (a visibility record).
    void set_visible(bool visible);
    u32 handle() const { return _handle; }

  private:
    u32 _handle = 0xFFFFFFFFu;
    u32 _mask = 0;
    WorldRenderLink *_link = nullptr;
};

} // namespace tallow
