#pragma once
// "mesh_renderer": draws one mesh of a unit resource with a material of the frame's shading
// environment into chosen targets, with the frame camera's view and projection and an
// identity world matrix (the mesh stays where its unit resource placed it).
//
//   { type = "mesh_renderer" unit_resource = "core/sky" mesh = "dome" material = "sky"
//     output = "hdr" depth_stencil_target = "depth" }
//
// At load the mesh is copied into buffers the step owns (proxy_mesh.h), found through the
// load's mesh lookup. Each frame, under the step's key: one segment with the eight target
// slots (unused ones unbound) and the depth-stencil target; then the draw, index count / 3
// triangles, one instance.
//
// Refused at load (logged, null): a missing "unit_resource", "mesh" or "material", a mesh
// the lookup does not find, more than eight outputs (the rest are left out, logged).
// Reported once: a material the frame's shading environment lacks, an unknown target.

#include "render/generators/proxy_mesh.h"
#include "render/generators/resource_generator.h"

namespace tallow::resource_generator {

class MeshRenderer final : public ModifierBase {
  public:
    static ModifierBase *create(const ModifierLoadParams &params);

    explicit MeshRenderer(Allocator &allocator);
    void execute(const ModifierExecution &run) override;                                  // See ModifierBase
    void release(ResourceGenerator &generator, RenderResourceContext *context) override; // See ModifierBase

    u32 output(u32 slot) const { return _outputs[slot]; }
    u32 depth_stencil_target() const { return _depth_stencil; }
    u64 unit_resource() const { return _unit_resource; }
    u32 material() const { return _material; }
    const ProxyMesh &mesh() const { return _mesh; }

  private:
    ProxyMesh _mesh;
    u32 _outputs[max_render_target_slots] = {};
    u32 _depth_stencil = 0;
    u64 _unit_resource = 0;
    u32 _material = 0;
    u32 _reported = 0;
};

} // namespace tallow::resource_generator
