#include "ai/nav_mesh.h"

#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "world/levels/level.h"

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

namespace tallow {

namespace {

// Live meshes by address and serial: a flock or script may hold a mesh whose level is gone.
std::mutex g_live_mutex;
std::vector<std::pair<const void *, u32>> g_live;
std::atomic<u32> g_next_serial{1};

template <typename T> T read_at(const u8 *bytes, u64 offset)
{
    T v;
    std::memcpy(&v, bytes + offset, sizeof v);
    return v;
}

bool finite_coordinate(f32 v) { return std::isfinite(v) && std::fabs(v) <= nav_mesh_max_coordinate; }

// Which way is out: with corners counter-clockwise about n, cross(edge, p - a) points along
// n for points inside. The triple product n . (edge x (p - a)) is then positive inside; a
// point is outside an edge when the product of the normal, the edge and the corner-to-point
// vector, taken as n . ((p - a) x edge), is positive.
f32 outside_product(const Vector3 &n, const Vector3 &a, const Vector3 &b, const Vector3 &p)
{
    return dot(n, cross(p - a, b - a));
}

} // namespace

Vector3 NavMesh::closest_point(const Vector3 &point, u32 index) const
{
    const NavMeshPolygon &poly = _polygons[index];
    const Vector3 n = poly.unit_normal;
    const Vector3 p = point + n * dot(n, _vertices[poly.corners[0]] - point);
    // Inside every edge (the common case for a walking agent): the projection itself.
    bool inside = true;
    for (u32 k = 0; k < poly.corner_count && inside; ++k) {
        const Vector3 a = _vertices[poly.corners[k]];
        const Vector3 b = _vertices[poly.corners[(k + 1) % poly.corner_count]];
        inside = !(outside_product(poly.normal, a, b, p) > 0.0f);
    }
    if (inside)
        return p;
    f32 best = FLT_MAX;
    Vector3 nearest = p;
    for (u32 k = 0; k < poly.corner_count; ++k) {
        const Vector3 a = _vertices[poly.corners[k]];
        const Vector3 b = _vertices[poly.corners[(k + 1) % poly.corner_count]];
        // The nearest point of the edge segment (edges were checked non-degenerate at read).
        const Vector3 e = b - a;
        f32 t = dot(p - a, e) / dot(e, e);
        t = t < 0.0f ? 0.0f : t > 1.0f ? 1.0f : t;
        const Vector3 q = a + e * t;
        const f32 d = length_squared(p - q);
        if (d < best) {
            best = d;
            nearest = q;
        }
    }
    return nearest;
}

f32 NavMesh::outside_distance(const Vector3 &point, u32 index) const
{
    const NavMeshPolygon &poly = _polygons[index];
    const Vector3 n = poly.unit_normal;
    const Vector3 p = point + n * dot(n, _vertices[poly.corners[0]] - point);
    return length(p - closest_point(point, index));
}

void NavMesh::clamp_to_polygon(Vector3 &point, u32 index) const
{
    const NavMeshPolygon &poly = _polygons[index];
    const Vector3 n = poly.unit_normal;
    const f32 height = dot(n, point - _vertices[poly.corners[0]]);
    point = closest_point(point, index) + n * height;
}

u32 NavMesh::closest_polygon(const Vector3 &p) const
{
    if (_polygons.empty())
        return nav_mesh_no_polygon;
    u32 best = nav_mesh_no_polygon;
    f32 best_distance = FLT_MAX;
    const u32 count = _nodes.size();
    for (u32 i = 0; i < count;) {
        const NavMeshNode &node = _nodes[i];
        // Boxes include their edges: a point on a seam between two leaves belongs to both,
        // where the strict test left it to neither.
        const bool inside = node.min_x <= p.x && p.x <= node.max_x && node.min_y <= p.y && p.y <= node.max_y;
        if (inside) {
            if (node.link > 0) {
                const f32 d = outside_distance(p, u32(node.link));
                if (d < best_distance) {
                    best_distance = d;
                    best = u32(node.link);
                }
            }
            ++i;
        } else if (node.link < 0) {
            i = u32(-node.link); // checked at read: forward, at most the node count
        } else {
            ++i;
        }
    }
    if (best != nav_mesh_no_polygon && best_distance == 0.0f)
        return best;
    // Off every leaf (polygon 0 can never be a leaf, and points off the mesh sit in no box):
    // measure every polygon rather than answer polygon 0 by default.
    for (u32 i = 0; i < _polygons.size(); ++i) {
        const f32 d = outside_distance(p, i);
        if (d < best_distance) {
            best_distance = d;
            best = i;
        }
    }
    return best;
}

Vector3 NavMesh::move_along(Vector3 &point, u32 &polygon) const
{
    if (_polygons.empty())
        return {};
    if (polygon >= _polygons.size())
        polygon = closest_polygon(point);
    const f32 d = outside_distance(point, polygon);
    if (d > 0.0f) {
        f32 limit = d + 0.1f;
        u32 candidate = polygon;
        const NavMeshPolygon &poly = _polygons[polygon];
        for (u32 k = 0; k < nav_mesh_max_corners; ++k) {
            const u16 neighbour = poly.neighbours[k];
            if (neighbour == nav_mesh_no_index)
                continue;
            const f32 nd = outside_distance(point, neighbour);
            if (nd < limit) {
                limit = nd;
                candidate = neighbour;
            }
        }
        polygon = candidate;
        clamp_to_polygon(point, polygon);
    }
    const NavMeshPolygon &poly = _polygons[polygon];
    const Vector3 n = poly.unit_normal;
    point = point + n * dot(n, _vertices[poly.corners[0]] - point);
    return n;
}

u64 nav_mesh_block_size(const void *block, u64 size)
{
    if (!block || size < nav_mesh_header_size)
        return 0;
    const u8 *bytes = static_cast<const u8 *>(block);
    const u64 total = nav_mesh_header_size + u64(read_at<u32>(bytes, 0)) * nav_mesh_polygon_size +
                      u64(read_at<u32>(bytes, 4)) * nav_mesh_vertex_size + u64(read_at<u32>(bytes, 8)) * nav_mesh_node_size;
    return total <= size ? total : 0;
}

NavMesh *read_nav_mesh(const void *block, u64 size, Allocator &allocator, const char **out_reason)
{
    const char *why = nullptr;
    const u8 *bytes = static_cast<const u8 *>(block);
    const u64 total = nav_mesh_block_size(block, size);
    const u32 polygon_count = total ? read_at<u32>(bytes, 0) : 0;
    const u32 vertex_count = total ? read_at<u32>(bytes, 4) : 0;
    const u32 node_count = total ? read_at<u32>(bytes, 8) : 0;
    if (!total)
        why = "its counts name more bytes than it holds";
    // u16 indices with 0xFFFF as "none": at most 0xFFFF polygons and vertices.
    else if (polygon_count > nav_mesh_no_index || vertex_count > nav_mesh_no_index)
        why = "more than 65535 polygons or vertices";
    NavMesh *mesh = why ? nullptr : make_new<NavMesh>(allocator, allocator);
    if (!why && !mesh)
        why = "out of memory";
    if (!why) {
        mesh->_polygons.resize(polygon_count);
        mesh->_vertices.resize(vertex_count);
        mesh->_nodes.resize(node_count);
        if (mesh->_polygons.size() != polygon_count || mesh->_vertices.size() != vertex_count ||
            mesh->_nodes.size() != node_count)
            why = "out of memory";
    }
    const u64 vertices_at = nav_mesh_header_size + u64(polygon_count) * nav_mesh_polygon_size;
    const u64 nodes_at = vertices_at + u64(vertex_count) * nav_mesh_vertex_size;
    for (u32 i = 0; !why && i < vertex_count; ++i) {
        const u64 at = vertices_at + u64(i) * nav_mesh_vertex_size;
        Vector3 v{read_at<f32>(bytes, at), read_at<f32>(bytes, at + 4), read_at<f32>(bytes, at + 8)};
        if (!finite_coordinate(v.x) || !finite_coordinate(v.y) || !finite_coordinate(v.z))
            why = "a vertex is not finite or lies too far out";
        mesh->_vertices[i] = v;
    }
    for (u32 i = 0; !why && i < polygon_count; ++i) {
        const u64 at = nav_mesh_header_size + u64(i) * nav_mesh_polygon_size;
        NavMeshPolygon &poly = mesh->_polygons[i];
        poly.corner_count = nav_mesh_max_corners;
        for (u32 k = 0; k < nav_mesh_max_corners; ++k) {
            poly.corners[k] = read_at<u16>(bytes, at + 2 * k);
            poly.neighbours[k] = read_at<u16>(bytes, at + 12 + 2 * k);
        }
        for (u32 k = 0; k < nav_mesh_max_corners; ++k)
            if (poly.corners[k] == nav_mesh_no_index) {
                poly.corner_count = k;
                break;
            }
        for (u32 k = poly.corner_count; k < nav_mesh_max_corners; ++k)
            poly.corners[k] = nav_mesh_no_index; // slots after the end are not read
        if (poly.corner_count < 3) {
            why = "a polygon has fewer than 3 corners";
            break;
        }
        for (u32 k = 0; k < poly.corner_count && !why; ++k)
            if (poly.corners[k] >= vertex_count)
                why = "a corner names a vertex out of range";
        for (u32 k = 0; k < nav_mesh_max_corners && !why; ++k)
            if (poly.neighbours[k] != nav_mesh_no_index && poly.neighbours[k] >= polygon_count)
                why = "a neighbour names a polygon out of range";
        if (why)
            break;
        for (u32 k = 0; k < poly.corner_count; ++k) {
            const Vector3 a = mesh->_vertices[poly.corners[k]];
            const Vector3 b = mesh->_vertices[poly.corners[(k + 1) % poly.corner_count]];
            if (!(length_squared(b - a) > 1e-12f))
                why = "a polygon has an edge of zero length";
        }
        const Vector3 c0 = mesh->_vertices[poly.corners[0]];
        poly.normal = cross(mesh->_vertices[poly.corners[1]] - c0, mesh->_vertices[poly.corners[2]] - c0);
        poly.unit_normal = normalize(poly.normal);
        if (!why && poly.unit_normal == Vector3{})
            why = "a polygon's first three corners make no plane";
    }
    for (u32 i = 0; !why && i < node_count; ++i) {
        const u64 at = nodes_at + u64(i) * nav_mesh_node_size;
        NavMeshNode &node = mesh->_nodes[i];
        node.min_x = read_at<f32>(bytes, at);
        node.min_y = read_at<f32>(bytes, at + 4);
        node.max_x = read_at<f32>(bytes, at + 8);
        node.max_y = read_at<f32>(bytes, at + 12);
        node.link = read_at<i32>(bytes, at + 16);
        if (!std::isfinite(node.min_x) || !std::isfinite(node.min_y) || !std::isfinite(node.max_x) ||
            !std::isfinite(node.max_y))
            why = "a tree node's box is not finite";
        else if (node.link > 0 && u32(node.link) >= polygon_count)
            why = "a tree leaf names a polygon out of range";
        // A jump must go forward (else the walk never ends) and land at most one past the end.
        else if (node.link < 0 && (node.link == INT32_MIN || u32(-node.link) <= i || u32(-node.link) > node_count))
            why = "a tree node jumps backwards or past the end";
    }
    if (why) {
        log_message("ai", "navigation mesh refused: %s", why);
        if (out_reason)
            *out_reason = why;
        destroy_nav_mesh(mesh, allocator);
        return nullptr;
    }
    mesh->_serial = g_next_serial.fetch_add(1);
    if (mesh->_serial == 0)
        mesh->_serial = g_next_serial.fetch_add(1);
    std::lock_guard<std::mutex> lock(g_live_mutex);
    g_live.push_back({mesh, mesh->_serial});
    return mesh;
}

void destroy_nav_mesh(NavMesh *mesh, Allocator &allocator)
{
    if (!mesh)
        return;
    {
        std::lock_guard<std::mutex> lock(g_live_mutex);
        for (u64 i = 0; i < g_live.size(); ++i)
            if (g_live[i].first == mesh) {
                g_live[i] = g_live.back();
                g_live.pop_back();
                break;
            }
    }
    delete_with_allocator(allocator, mesh);
}

bool is_live_nav_mesh(const void *mesh, u32 serial)
{
    return mesh && serial && live_nav_mesh_serial(mesh) == serial;
}

u32 live_nav_mesh_serial(const void *mesh)
{
    std::lock_guard<std::mutex> lock(g_live_mutex);
    for (const auto &entry : g_live)
        if (entry.first == mesh)
            return entry.second;
    return 0;
}

void install_level_nav_mesh_reader()
{
    LevelNavMeshReader reader;
    reader.read = [](const void *block, u64 size, Allocator &allocator) -> void * {
        return read_nav_mesh(block, size, allocator);
    };
    reader.destroy = [](void *mesh, Allocator &allocator) { destroy_nav_mesh(static_cast<NavMesh *>(mesh), allocator); };
    set_level_nav_mesh_reader(reader);
}

} // namespace tallow
