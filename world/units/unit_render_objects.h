#pragma once
// How a unit resource's render records become render objects: the meaning we give to the
// words of mesh geometry, skin, mesh, camera, light and LOD records (world/units/unit_resource.h
// has the stream layout), and the builders that turn them into render-side descriptions.
//
//   UnitMeshBuilder builder(allocator);
//   MeshDesc desc;
//   if (builder.build(resource, mesh_index, graph.render_handle(), material, desc))
//       mesh.create(render_world, link, desc, builder.materials.data(), builder.material_names.data(), n);
//
// Mesh geometry record:
//   first blob          vertex bytes (vertex count x stride)
//   pairs[4]            vertex count, vertex stride, index count, index size (2 or 4 bytes)
//   words[3]            the vertex declaration, four channels per word from the low byte up:
//                       byte = semantic << 4 | channel type (render_resource.h); 0xFF ends it.
//                       Channel k feeds vertex input k, all from stream 0.
//   word                skin index, 0xFFFFFFFF for none
//   second blob         index bytes (index count x index size)
//   16-byte entries     batches {start index, triangle count, material slot, bone list index
//                       (0xFFFFFFFF for none)}
//   box                 the mesh's local bounds (the word is unused, 0)
//   {id, string} list   material slots: the material's NameId32 and its name
// Skin record: the u32 list holds 17 words per bone: its scene-graph node, then its inverse
//   bind matrix (16 f32 bits, row by row); the lists are the batches' bone lists (indices of
//   bones).
// Mesh record: words[0] the geometry index, words[1] unused; the low four bits of flags are
//   the mesh's visibility mask (bit 0 main set, 1 second set, 2 drawn without culling, 3 no
//   record: drawn only through a LOD object).
// Camera record: settings = near range, far range, vertical field of view (f32 bits; a 0
//   word keeps the default 0.1, 1000, 1.22); perspective.
// Light record: settings = red, green, blue, falloff start, falloff end, sixth word,
//   seventh word, spot angle (f32 bits), type (0 omni, 1 spot).
// LOD record: the first word is the node index; each entry is a step {upper bound, lower
//   bound (f32 bits), the unit's mesh indices}; the box is the local bounds; the last word
//   is the visibility mask.
//
// Every size and index is checked against the resource: a geometry whose blobs are shorter
// than its counts say, an index size other than 2 or 4, or a skin or geometry index out of
// range leaves the mesh out (logged); a LOD step naming a mesh the unit lacks skips that
// mesh. Main thread.

#include "foundation/containers/array.h"
#include "render/world/render_camera.h"
#include "render/world/render_light.h"
#include "render/world/render_lod_object.h"
#include "render/world/render_mesh_object.h"

namespace tallow {

class UnitResource;
struct UnitCamera;
struct UnitLight;

class UnitMeshBuilder {
  public:
    explicit UnitMeshBuilder(Allocator &allocator);

    /// Fills `out` for mesh record `index` (its pointers into this builder and the
    /// resource, valid until the next build), and the material slots: their names and the
    /// entries of `material` (a MaterialResource, may be null; a slot it lacks is null).
    /// False (logged) when the mesh has no sound geometry.
    bool build(const UnitResource &resource, u32 index, u32 scene_graph, const void *material, MeshDesc &out);

    Array<VertexChannel> channels;
    Array<MeshBatch> batches;
    Array<u32> bone_nodes;
    Array<Matrix4x4> inverse_binds;
    Array<u32> bone_words;
    Array<MeshBoneList> bone_lists;
    MeshSkinDesc skin;
    Array<u32> material_names;
    Array<const MaterialEntry *> materials;
};

CameraBlock unit_camera_block(const UnitCamera &camera);
LightBlock unit_light_block(const UnitLight &light);

/// Fills `out` for LOD record `index`, with `meshes` the unit's mesh handles by index
/// (no_render_handle for meshes not made). Steps and their handles live in the arrays.
void build_unit_lod(const UnitResource &resource, u32 index, u32 scene_graph, const u32 *meshes, u32 mesh_count,
                    Array<LodStepDesc> &steps, Array<u32> &handles, LodObjectDesc &out);

} // namespace tallow
