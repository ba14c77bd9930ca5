#pragma once
// Builds navigation mesh blocks (ai/nav_mesh.h) from readable values. The AI tests, the fuzz
// seeds, the benchmarks and the navigation mesh compiler (tools/ai/nav_mesh_compiler.h) write
// meshes through it.
//
//   test::NavMeshSource mesh;
//   mesh.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
//   mesh.add_polygon({0, 1, 2, 3});
//   test::build_nav_mesh_links(mesh);          // neighbours across shared edges, box tree
//   std::vector<u8> block = test::write_nav_mesh(mesh);
//
// Fields hold raw values, so a test can write what the reader must refuse.

#include "foundation/types.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace tallow::test {

struct NavMeshSourcePolygon {
    u16 corners[6] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    u16 neighbours[6] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
};

struct NavMeshSourceNode {
    f32 min_x = 0, min_y = 0, max_x = 0, max_y = 0;
    i32 link = 0;
};

struct NavMeshSourceVertex {
    f32 x = 0, y = 0, z = 0;
};

struct NavMeshSource {
    std::vector<NavMeshSourceVertex> vertices;
    std::vector<NavMeshSourcePolygon> polygons;
    std::vector<NavMeshSourceNode> nodes;

    /// Appends a polygon with these corners (at most 6; the rest stay 0xFFFF).
    void add_polygon(std::initializer_list<u16> corners);
    void add_polygon(const std::vector<u16> &corners);
};

/// The block bytes: counts from the vectors, the three address words 0, then the tables.
std::vector<u8> write_nav_mesh(const NavMeshSource &mesh);

/// Fills every polygon's neighbours (polygons sharing an edge's two vertices) and replaces
/// the nodes by a box tree over the polygons in depth-first order with skip links. The
/// format cannot name polygon 0 in a leaf (a link of 0 is not a leaf): its leaf is written
/// with link 0 and the mesh finds it by its fallback search.
void build_nav_mesh_links(NavMeshSource &mesh);

/// A test mesh: a grid of `columns` x `rows` cells of `cell` units from (0, 0), its inner
/// vertices shifted by up to a quarter cell and its height sloped, each cell one quad or two
/// triangles, about one cell in `hole_one_in` left out (0: none). Links built. Deterministic
/// in `seed`.
NavMeshSource grid_nav_mesh(u32 columns, u32 rows, f32 cell, u32 seed, u32 hole_one_in = 0);

} // namespace tallow::test
