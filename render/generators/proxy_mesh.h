#pragma once
// A mesh a pipeline step draws on its own (the deferred step's light proxies, the mesh
// renderer's mesh): its own copy of the geometry, in buffers the step makes at load and
// releases itself, so a unit resource unloaded or reloaded under it cannot leave the step
// drawing with handles of buffers it does not own.
//
//   ProxyMesh mesh(allocator);
//   if (mesh.load(params.load->meshes, NameId64("core/light_proxies").value(), NameId32("sphere").value(),
//                 params.load->resources)) ...
//   RenderBatch batch = mesh.batch();             // bindings, primitive and vertex counts
//   mesh.release(context);                        // from the step's release
//
// Load-time only, except batch() (render thread).

#include "foundation/containers/array.h"
#include "render/commands/render_context.h"
#include "render/commands/render_records.h"
#include "render/generators/resource_generator.h"
#include "render/resources/render_resource.h"

namespace tallow::resource_generator {

class ProxyMesh {
  public:
    explicit ProxyMesh(Allocator &allocator) : _vertices(allocator), _indices(allocator) {}
    ProxyMesh(const ProxyMesh &) = delete;
    ProxyMesh &operator=(const ProxyMesh &) = delete;

    /// Copies mesh `mesh_name` of resource `resource_name` found through `lookup` and makes
    /// its buffers in `resources` (null: copied, no buffers). False (logged with `owner`)
    /// when the lookup finds nothing or the mesh has no triangles.
    bool load(const GeneratorMeshLookup &lookup, u64 resource_name, u32 mesh_name, RenderResourceContext *resources,
              const char *owner);
    /// Releases the buffers into `context` (null: forgotten).
    void release(RenderResourceContext *context);

    /// True once its buffers were made.
    bool has_geometry() const { return _has_geometry; }
    u32 primitive_count() const { return _primitive_count; }
    u32 vertex_count() const { return _vertex_count; }
    /// The draw of the whole mesh: its three bindings, index count / 3 triangles, one instance.
    RenderBatch batch() const;

  private:
    Array<u8> _vertices;
    Array<u8> _indices;
    BufferDescription _vertex_buffer{};
    BufferDescription _index_buffer{};
    VertexDeclaration _declaration{};
    GeometryBinding _bindings[3] = {};
    u32 _primitive_count = 0;
    u32 _vertex_count = 0;
    bool _has_geometry = false;
};

} // namespace tallow::resource_generator
