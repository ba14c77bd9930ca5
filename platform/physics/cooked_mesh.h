#pragma once
// Our cooked mesh bytes: the collision meshes (convex hulls and triangle meshes) that unit
// and level resources carry and the SDK turns into meshes. Little-endian:
//
//   offset  width      field
//   0       u32        magic 0x4853454D ("MESH")
//   4       u32        version 1
//   8       u32        kind: 1 convex hull (points only), 2 triangle mesh
//   12      u32        vertex count (1 to 65536 for a hull, 3 to 2^24 for a triangle mesh)
//   16      u32        triangle count (0 for a hull; 1 to 2^24 for a triangle mesh)
//   20      12 x n     vertices, 3 x f32 each, finite
//   ...     12 x t     triangles, 3 x u32 vertex indices each, below the vertex count
//
// Nothing may follow. The reader is bounded: a short, oversized or inconsistent block, a
// count above the limits, a non-finite coordinate or an index out of range fails with a
// reason, never reads past `size`. Tests, fuzz targets and the data tools write these bytes
// with tests/support/cooked_mesh_writer.h. Any thread.

#include "foundation/types.h"

namespace tallow::px {

constexpr u32 cooked_mesh_magic = 0x4853454Du;
constexpr u32 cooked_mesh_version = 1;
constexpr u32 cooked_mesh_head_bytes = 20;
constexpr u32 cooked_mesh_max_hull_points = 65536;
constexpr u32 cooked_mesh_max_count = 1u << 24;

enum class CookedMeshKind : u32 { Convex = 1, Triangles = 2 };

/// A checked view into cooked bytes (points into the bytes read; copy what you keep).
struct CookedMesh {
    CookedMeshKind kind = CookedMeshKind::Convex;
    u32 vertex_count = 0;
    u32 triangle_count = 0;
    const u8 *vertices = nullptr; // 3 x f32 each, unaligned: read with memcpy
    const u8 *triangles = nullptr; // 3 x u32 each

    void vertex(u32 i, f32 out[3]) const;
    void triangle(u32 i, u32 out[3]) const;
};

/// False with `out_reason` when the bytes are not a sound cooked mesh.
[[nodiscard]] bool read_cooked_mesh(const u8 *bytes, u64 size, CookedMesh &out, const char **out_reason = nullptr);

} // namespace tallow::px
