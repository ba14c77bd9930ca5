#pragma once
// The navigation mesh a level may carry: convex polygons over shared vertices, neighbour
// links per edge and a flat box tree for point location. Flocks (ai/flock.h) place new
// agents with closest_polygon and keep moving agents on the surface with move_along.
//
//   NavMesh *mesh = read_nav_mesh(block, size, allocator);   // null, logged, when malformed
//   u32 polygon = mesh->closest_polygon(agent_position);
//   ...
//   Vector3 normal = mesh->move_along(moved_position, polygon);  // clamps, may cross one edge
//   destroy_nav_mesh(mesh, allocator);
//
// The block (inside the level resource at the offset of header word 12, world/levels/level.h), all
// little-endian:
//
//   offset 0  u32 polygon count P      offset 12..23  three u32 words, not read
//   offset 4  u32 vertex count V       offset 24      P polygons, 24 bytes each
//   offset 8  u32 node count N         then           V vertices (x, y, z f32), then N nodes
//
//   polygon: 6 x u16 corner vertex indices in order around the polygon, 3 to 6 of them, the
//            first 0xFFFF ending the list early (later slots are not read); then 6 x u16
//            neighbour polygon indices, neighbour k across the edge from corner k to corner
//            k + 1 (the last back to corner 0), 0xFFFF for none. The plane comes from the
//            first three corners, normal (c1 - c0) x (c2 - c0).
//   node:    min x, min y, max x, max y (f32, a box in x-y) and i32 link, in depth-first
//            order: a link above 0 makes a leaf holding that polygon; a link -j on a node
//            whose box does not hold the point skips to node j (the end of its subtree);
//            anything else goes on with the next node.
//
// The block is read once (read_nav_mesh) into arrays of the mesh's own; nothing writes into
// the resource. Everything a query relies on is checked there: counts against the block size,
// corner, neighbour and leaf indices, jumps that only go forward, finite coordinates, at least
// three corners, no zero-length edge and a plane normal that is not degenerate. A block that
// breaks any of these is refused with a logged reason, so no NaN and no endless walk can come
// from mesh data.
//
// Queries are const and may run from any thread once the mesh is read.

#include "foundation/containers/array.h"
#include "foundation/math/vector3.h"
#include "foundation/types.h"

namespace tallow {

class Allocator;

constexpr u32 nav_mesh_header_size = 24;
constexpr u32 nav_mesh_polygon_size = 24;
constexpr u32 nav_mesh_vertex_size = 12;
constexpr u32 nav_mesh_node_size = 20;
constexpr u16 nav_mesh_no_index = 0xFFFF;
constexpr u32 nav_mesh_max_corners = 6;
/// The largest |coordinate| a mesh may hold: products of coordinates stay far from overflow.
constexpr f32 nav_mesh_max_coordinate = 1.0e7f;
/// What closest_polygon returns for a mesh without polygons.
constexpr u32 nav_mesh_no_polygon = 0xFFFFFFFFu;

struct NavMeshPolygon {
    u16 corners[nav_mesh_max_corners];
    u16 neighbours[nav_mesh_max_corners];
    u32 corner_count; // 3 to 6
    Vector3 normal;   // (c1 - c0) x (c2 - c0), as the outside tests use it
    Vector3 unit_normal;
};

struct NavMeshNode {
    f32 min_x, min_y, max_x, max_y;
    i32 link;
};

class NavMesh {
  public:
    explicit NavMesh(Allocator &allocator) : _polygons(allocator), _vertices(allocator), _nodes(allocator) {}

    u32 polygon_count() const { return _polygons.size(); }
    u32 vertex_count() const { return _vertices.size(); }
    u32 node_count() const { return _nodes.size(); }
    const NavMeshPolygon &polygon(u32 i) const { return _polygons[i]; }
    const Vector3 &vertex(u32 i) const { return _vertices[i]; }
    const NavMeshNode &node(u32 i) const { return _nodes[i]; }
    /// A number no other mesh of this run has had (flocks check that their mesh still lives).
    u32 serial() const { return _serial; }

    /// Distance in the polygon's plane from the projection of `point` (along the normal) to
    /// the polygon: 0 inside; outside, the distance to the nearest point of its edges. (The
    /// largest distance to an edge's line, the simpler measure, falls far short beyond a sharp
    /// corner: a point off the mesh could pick a polygon across the map.)
    f32 outside_distance(const Vector3 &point, u32 polygon) const;
    /// Moves `point` to the nearest point of the polygon, keeping its height over the plane.
    /// (Moving it onto each edge's line in turn can leave it far outside at sharp corners.)
    void clamp_to_polygon(Vector3 &point, u32 polygon) const;
    /// The point of the polygon nearest to the projection of `point` onto its plane.
    Vector3 closest_point(const Vector3 &point, u32 polygon) const;
    /// The polygon with the smallest outside distance: the box tree first (boxes include their
    /// edges); when no leaf holding the point has the point inside, every polygon is measured.
    /// Ties keep the first found. nav_mesh_no_polygon for a mesh without polygons.
    u32 closest_polygon(const Vector3 &point) const;
    /// Walks an agent that was on `polygon` to `point`: when the point left the polygon, the
    /// neighbour nearest to it (by at most the outside distance + 0.1) becomes its polygon;
    /// the point is clamped to the polygon and dropped onto its plane. Returns the polygon's
    /// unit normal. A polygon index out of range is replaced by closest_polygon first.
    Vector3 move_along(Vector3 &point, u32 &polygon) const;

  private:
    friend NavMesh *read_nav_mesh(const void *, u64, Allocator &, const char **);
    Array<NavMeshPolygon> _polygons;
    Array<Vector3> _vertices;
    Array<NavMeshNode> _nodes;
    u32 _serial = 0;
};

/// Reads and checks a block of `size` bytes (the block may be followed by other data: only
/// what the counts name is read). Null, logged with the reason, when it is malformed or
/// memory runs out; the reason also goes to `out_reason` when given. Thread-safe.
NavMesh *read_nav_mesh(const void *block, u64 size, Allocator &allocator, const char **out_reason = nullptr);
/// Destroys a mesh made by read_nav_mesh (null is ignored).
void destroy_nav_mesh(NavMesh *mesh, Allocator &allocator);
/// Whether `mesh` is a mesh that lives now and has `serial` (scripts and flocks may hold the
/// mesh of a level since unloaded). Thread-safe.
bool is_live_nav_mesh(const void *mesh, u32 serial);
/// The serial of a live mesh at `mesh`, or 0 when no mesh lives there.
u32 live_nav_mesh_serial(const void *mesh);

/// The size in bytes of the block whose header is at `block` (`size` bytes available): 0 when
/// the header or the tables it names do not fit.
u64 nav_mesh_block_size(const void *block, u64 size);

/// Lets levels read the navigation mesh their resource carries (world/levels/level.h). Idempotent;
/// called at start-up before resources load (the script API's registration does it too).
void install_level_nav_mesh_reader();

} // namespace tallow
