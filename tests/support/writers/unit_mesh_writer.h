#pragma once
// Writes the mesh parts of a "unit" resource (geometry and skin records, in the meaning
// world/units/unit_render_objects.h gives their words) into a UnitSource. The unit compiler,
// the world tests and the benchmarks make meshes through it.
//
//   test::UnitSourceMesh mesh{NameId32("crate").value(), root, {0, 0}, 1};
//   test::add_mesh_geometry(unit, mesh, test::box_mesh(0.5f, 0.5f, 0.5f, "crate"));
//   unit.meshes.push_back(mesh);

#include "tests/support/writers/unit_resource_writer.h"

#include <string>
#include <vector>

namespace tallow::test {

/// A vertex channel: its semantic (0 position ... 7 blend weights) and channel type
/// (render_resource.h; 1 float2, 2 float3, 3 float4, 10 int4).
struct MeshChannelSpec {
    u32 semantic = 0;
    u32 type = 2;
};

struct MeshSourceBatch {
    u32 start_index = 0;
    u32 triangle_count = 0;
    u32 material_slot = 0;
    u32 bone_list = 0xFFFFFFFFu;
};

struct MeshSourceBone {
    u32 node = 0;
    Matrix4x4 inverse_bind = matrix4x4_identity;
};

struct MeshSource {
    std::vector<MeshChannelSpec> channels;
    u32 stride = 0; // bytes per vertex
    std::vector<u8> vertices;
    std::vector<u32> indices;
    bool index_32bit = false; // written as 16-bit indices otherwise
    std::vector<MeshSourceBatch> batches;
    std::vector<std::string> materials; // slot names
    f32 box_min[3] = {};
    f32 box_max[3] = {};
    std::vector<MeshSourceBone> bones; // empty: not skinned
    std::vector<std::vector<u32>> bone_lists;
};

/// Bytes of one element of channel type `type`, 0 for an unknown type.
u32 mesh_channel_bytes(u32 type);
/// The declaration words: four channels per word from the low byte (semantic << 4 | type),
/// 0xFF after the last. At most 11 channels.
void encode_vertex_channels(const std::vector<MeshChannelSpec> &channels, u32 out_words[3]);
/// Appends `source` as a geometry record (and a skin record when it has bones) to `unit`,
/// and points `mesh` at it (words[0] the geometry index).
void add_mesh_geometry(UnitSource &unit, UnitSourceMesh &mesh, const MeshSource &source);
/// A box of half extents (hx, hy, hz) around the origin: 24 vertices of position (float3)
/// and texture coordinate (float2), 36 indices, one batch with material slot `material`.
MeshSource box_mesh(f32 hx, f32 hy, f32 hz, const std::string &material);

} // namespace tallow::test
