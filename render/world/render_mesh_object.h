#pragma once
// Meshes: the game side's Mesh (owns the render handles of the mesh and its materials)
// and the render thread's RenderMeshObject (geometry on the device, one draw per batch,
// skinning).
//
//   MeshDesc desc;  ...geometry, batches, box, node, mask...   // world/ fills it from a unit
//   Mesh mesh(name_id, desc.mask);
//   mesh.create(render_world, link, desc, material_entries, material_names);   // main thread
//   mesh.set_visible(false);                      // a visibility record in update stream 0
//   u32 m = mesh.material(NameId32("crate").value());   // the RenderMaterial's handle
//   mesh.destroy(render_world, link);             // the mesh and its materials
//
// The render object copies what it draws (vertex and index bytes, declaration, batches,
// skin) when it is made, so it does not depend on the resource it came from afterwards.
// Its three device resources (vertex buffer, index buffer, vertex declaration) are
// created when its create record is applied and released with its destroy record.
//
// Checked at construction, each failure logged and the batch or skin left out rather than
// drawn wrong: batch ranges against the index count, material slots against the mesh's
// materials, bone lists against the skin's bones. Bone nodes are checked against the
// scene graph at every draw (an out-of-range node gives the identity).
//
// Visibility mask bits: 0 in the main record set, 1 in the second set, 2 drawn without
// culling, 3 no record (drawn only through a LOD object).

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "render/commands/render_records.h"
#include "render/world/render_object.h"

namespace tallow {

class RenderContext;
class RenderCamera;
class RenderMaterial;
class RenderRecordSet;
class RenderSceneGraph;
class RenderWorld;
class ShaderManager;
class WorldRenderLink;
struct MaterialEntry;

namespace mesh_mask {
constexpr u32 main_set = 1u << 0;
constexpr u32 second_set = 1u << 1;
constexpr u32 unculled = 1u << 2;
constexpr u32 no_record = 1u << 3;
} // namespace mesh_mask

/// One draw of a mesh: a range of triangles with one material.
struct MeshBatch {
    u32 start_index = 0;
    u32 triangle_count = 0;
    u32 material = 0;                 // slot in the mesh's materials
    u32 bone_list = 0xFFFFFFFFu;      // in the skin's bone lists; 0xFFFFFFFF: none
};
static_assert(sizeof(MeshBatch) == 16);

/// A list of bones (indices into the skin's bones) one batch's shader receives, in order.
struct MeshBoneList {
    const u32 *bones = nullptr;
    u32 count = 0;
};

/// A skin: per bone its scene-graph node and inverse bind pose, and the batches' lists.
struct MeshSkinDesc {
    const u32 *bone_nodes = nullptr;
    const Matrix4x4 *inverse_binds = nullptr;
    u32 bone_count = 0;
    const MeshBoneList *lists = nullptr;
    u32 list_count = 0;
};

/// Everything a RenderMeshObject is made from; copied, so it may go once create returns.
struct MeshDesc {
    const void *vertices = nullptr;
    u32 vertex_count = 0;
    u32 vertex_stride = 0;
    const void *indices = nullptr;
    u32 index_count = 0;
    bool index_32bit = false;
    const VertexChannel *channels = nullptr;
    u32 channel_count = 0;
    const MeshBatch *batches = nullptr;
    u32 batch_count = 0;
    f32 box_min[3] = {};
    f32 box_max[3] = {};
    u32 scene_graph = 0xFFFFFFFFu; // render handle of the unit's RenderSceneGraph
    u32 node = 0;
    u32 mask = mesh_mask::main_set;
    const MeshSkinDesc *skin = nullptr; // null: not skinned
};

/// Class-addressed visibility record (kind 0) of meshes and LOD objects.
struct VisibilityRecord {
    u32 class_id;
    u32 handle;
    u32 mask;
    u8 visible;
    u8 padding[3];
};
static_assert(sizeof(VisibilityRecord) == 16);

/// What the render kernel hands every mesh it draws.
struct MeshRenderParams {
    const RenderCamera *camera = nullptr;
    /// Values of the shading environment (name id and bytes), written into every shader
    /// variable of the same name; may be null.
    const class RenderShadingEnvironment *environment = nullptr;
    /// The same values as a pipeline step hands them on (the frame's environment seen by a
    /// shadow view); written like `environment`; may be null.
    const class ShaderVariableBlock *environment_values = nullptr;
    /// Values a pipeline step sets for its draws (a cube face's "rt_index"), written after
    /// the environment's into every shader variable of the same name; may be null.
    const class ShaderVariableBlock *variables = nullptr;
    /// The render configuration's texture channel names (NameId32): a material's texture of
    /// channel i goes into the shader resource variable named channels[i].
    const u32 *texture_channels = nullptr;
    u32 texture_channel_count = 0;
    u64 caller_bits = 0;
    /// True: `caller_bits` is a pipeline step's key (a shadow view of a lighting step) and
    /// each pass's draw is filed under it with the pass number and no depth
    /// (RenderContext::render_step_batch), so the draws stay in the step's place whatever
    /// layer the shader's pass names.
    bool step_key = false;
    /// Where a skinned mesh puts its bone matrices for this draw. Null: in the mesh's own
    /// array (bone_matrices()), so the mesh must be drawn by one thread at a time; a
    /// caller drawing the same meshes on several threads at once (shadow views) gives each
    /// thread its own.
    Array<Matrix4x4> *bone_scratch = nullptr;
};

class RenderMeshObject final : public RenderObject {
  public:
    /// `materials` holds the render handles of the mesh's RenderMaterials, one per slot.
    RenderMeshObject(Allocator &allocator, const MeshDesc &desc, const u32 *materials, u32 material_count);

    void create_resources(RenderResourceContext *context) override;  // See RenderObject
    void destroy_resources(RenderResourceContext *context) override; // See RenderObject

    /// Resolves scene graph and materials, and files the records its mask asks for.
    void on_create(RenderWorld &world, u32 slot);
    /// Removes its records from the sets.
    void on_destroy(RenderWorld &world, u32 slot);
    /// A visibility record: the record sets' visible bits (unless mask bit 3), then the flag.
    void apply_visibility(RenderWorld &world, u32 slot, const VisibilityRecord &record);

    /// Files one draw per batch whose material has a shader for the context's slot. Without
    /// params.bone_scratch a skinned mesh is drawn by one thread at a time (its bone
    /// matrices are then its own); with one, any number of threads may draw it at once.
    void render(RenderContext &context, const MeshRenderParams &params);

    /// The node's world matrix (identity without one).
    Matrix4x4 world() const;
    bool is_visible() const { return _visible != 0; }
    u32 mask() const { return _mask; }
    u32 batch_count() const { return _batches.size(); }
    bool is_skinned() const { return !_bone_nodes.empty(); }
    const Array<Matrix4x4> &bone_matrices() const { return _bone_matrices; }
    const f32 *box_min() const { return _box_min; }
    const f32 *box_max() const { return _box_max; }
    const RenderSceneGraph *scene_graph() const { return _graph; }
    u32 node() const { return _node; }
    const GeometryBinding *bindings() const { return _bindings; }

    /// Bone i = inverse bind i x world of bone i's node x `inverse_mesh_world`, for every
    /// bone; nodes the graph lacks count as the identity.
    void compute_skin_matrices(const Matrix4x4 &inverse_mesh_world);

  private:
    /// compute_skin_matrices into `out`; false (out shorter than the bones) without memory.
    bool compute_skin_matrices(const Matrix4x4 &inverse_mesh_world, Array<Matrix4x4> &out) const;

    struct Batch {
        MeshBatch batch;
        RenderMaterial *material;
    };
    Allocator &_allocator;
    Array<u8> _vertex_bytes;
    Array<u8> _index_bytes;
    BufferDescription _vertex_buffer;
    BufferDescription _index_buffer;
    VertexDeclaration _declaration;
    GeometryBinding _bindings[3];
    Array<Batch> _batches;
    Array<u32> _material_handles;
    Array<u32> _bone_nodes;
    Array<Matrix4x4> _inverse_binds;
    Array<u32> _bone_list_words;  // every list's bones, one after another
    Array<u32> _bone_list_starts; // list i: words [starts[i], starts[i + 1])
    Array<Matrix4x4> _bone_matrices;
    u32 _graph_handle;
    const RenderSceneGraph *_graph = nullptr;
    u32 _node;
    u32 _mask;
    u8 _visible = 1;
    f32 _box_min[3];
    f32 _box_max[3];
};

/// The game side's mesh. Main thread.
class Mesh {
  public:
    Mesh(Allocator &allocator, u32 name_id, u32 mask);

    /// Makes one RenderMaterial per slot (entry i, named names[i]; a null entry leaves
    /// the slot without material, logged, and its batches draw nothing), then the mesh.
    /// Returns the mesh's handle, or 0xFFFFFFFF (logged). Needs the world's shader manager
    /// (RenderWorld::set_shader_manager); without one the slots stay empty.
    u32 create(RenderWorld &world, WorldRenderLink &link, const MeshDesc &desc, const MaterialEntry *const *entries,
               const u32 *names, u32 material_count);
    /// Destroys the mesh and its materials.
    void destroy(RenderWorld &world, WorldRenderLink &link);

    /// Shows or hides the mesh (a record only when its mask puts it in a record set).
    void set_visible(bool visible);
    bool is_visible() const { return _visible; }
    /// The render handle of the material slot named `name_id` (NameId32), or 0xFFFFFFFF.
    u32 material(u32 name_id) const;
    u32 material_count() const { return _materials.size(); }
    u32 material_at(u32 i) const { return i < _materials.size() ? _materials[i] : 0xFFFFFFFFu; }
    u32 name_id() const { return _name; }
    u32 mask() const { return _mask; }
    u32 handle() const { return _handle; }

  private:
    u32 _name;
    u32 _mask;
    bool _visible = true;
    u32 _handle = 0xFFFFFFFFu;
    Array<u32> _materials;      // render handles by slot
    Array<u32> _material_names; // NameId32 by slot
    WorldRenderLink *_link = nullptr;
};

} // namespace tallow
