#include "platform/physics/cooked_mesh.h"

#include <cmath>
#include <cstring>

namespace tallow::px {

namespace {

u32 load_u32(const u8 *p)
{
    u32 v;
    memcpy(&v, p, 4);
    return v;
}

bool fail(const char **out_reason, const char *reason)
{
    if (out_reason)
        *out_reason = reason;
    return false;
}

} // namespace

void CookedMesh::vertex(u32 i, f32 out[3]) const { memcpy(out, vertices + u64(i) * 12, 12); }
void CookedMesh::triangle(u32 i, u32 out[3]) const { memcpy(out, triangles + u64(i) * 12, 12); }

bool read_cooked_mesh(const u8 *bytes, u64 size, CookedMesh &out, const char **out_reason)
{
    if (!bytes || size < cooked_mesh_head_bytes)
        return fail(out_reason, "shorter than its 20-byte head");
    if (load_u32(bytes) != cooked_mesh_magic)
        return fail(out_reason, "not cooked mesh bytes (magic)");
    if (load_u32(bytes + 4) != cooked_mesh_version)
        return fail(out_reason, "a cooked mesh version this build does not read");
    u32 kind = load_u32(bytes + 8);
    u32 vertices = load_u32(bytes + 12);
    u32 triangles = load_u32(bytes + 16);
    if (kind == u32(CookedMeshKind::Convex)) {
        if (vertices < 1 || vertices > cooked_mesh_max_hull_points || triangles != 0)
            return fail(out_reason, "a hull needs 1 to 65536 points and no triangles");
    } else if (kind == u32(CookedMeshKind::Triangles)) {
        if (vertices < 3 || vertices > cooked_mesh_max_count || triangles < 1 || triangles > cooked_mesh_max_count)
            return fail(out_reason, "a triangle mesh needs 3 to 2^24 vertices and 1 to 2^24 triangles");
    } else {
        return fail(out_reason, "an unknown mesh kind");
    }
    // Counts are bounded above, so these sums cannot wrap.
    u64 need = cooked_mesh_head_bytes + u64(vertices) * 12 + u64(triangles) * 12;
    if (need != size)
        return fail(out_reason, need > size ? "truncated" : "bytes after the mesh");
    CookedMesh m;
    m.kind = CookedMeshKind(kind);
    m.vertex_count = vertices;
    m.triangle_count = triangles;
    m.vertices = bytes + cooked_mesh_head_bytes;
    m.triangles = m.vertices + u64(vertices) * 12;
    for (u32 i = 0; i < vertices; ++i) {
        f32 v[3];
        m.vertex(i, v);
        if (!std::isfinite(v[0]) || !std::isfinite(v[1]) || !std::isfinite(v[2]))
            return fail(out_reason, "a vertex that is not finite");
    }
    for (u32 i = 0; i < triangles; ++i) {
        u32 t[3];
        m.triangle(i, t);
        if (t[0] >= vertices || t[1] >= vertices || t[2] >= vertices)
            return fail(out_reason, "a triangle index past the vertices");
    }
    out = m;
    return true;
}

} // namespace tallow::px
