// Navigation meshes: outside distance, clamping, point location and walking, each checked
// against a direct answer or a brute-force search over every polygon of generated meshes;
// malformed blocks are refused at read (run under AddressSanitizer by the sanitizer build).
#include "ai/nav_mesh.h"

#include "foundation/memory/memory_globals.h"
#include "tests/support/writers/level_writer.h"
#include "tests/support/log_capture.h"
#include "tests/support/writers/nav_mesh_writer.h"
#include "world/levels/level.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>

namespace tallow {
namespace {

struct MeshDeleter {
    void operator()(NavMesh *mesh) const { destroy_nav_mesh(mesh, default_allocator()); }
};
using MeshPtr = std::unique_ptr<NavMesh, MeshDeleter>;

MeshPtr read(const std::vector<u8> &bytes)
{
    return MeshPtr(read_nav_mesh(bytes.data(), bytes.size(), default_allocator()));
}
MeshPtr read(const test::NavMeshSource &source) { return read(test::write_nav_mesh(source)); }

// Two quads side by side, (0,0)-(1,1) and (1,0)-(2,1), on z = 0.
test::NavMeshSource two_squares()
{
    test::NavMeshSource s;
    s.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}, {2, 1, 0}};
    s.add_polygon({0, 1, 2, 3});
    s.add_polygon({1, 4, 5, 2});
    test::build_nav_mesh_links(s);
    return s;
}

f32 brute_force_distance(const NavMesh &mesh, const Vector3 &p)
{
    f32 best = FLT_MAX;
    for (u32 i = 0; i < mesh.polygon_count(); ++i)
        best = std::min(best, mesh.outside_distance(p, i));
    return best;
}

TEST(NavMesh, OutsideDistanceIsZeroInsideAndTheDistanceToThePolygonOutside)
{
    test::NavMeshSource slope;
    slope.vertices = {{0, 0, 0}, {2, 0, 2}, {2, 2, 2}, {0, 2, 0}}; // rises 1 in z per 1 in x
    slope.add_polygon({0, 1, 2, 3});
    MeshPtr square = read(two_squares()), sloped = read(slope);
    ASSERT_TRUE(square && sloped);
    struct Case {
        const char *name;
        const NavMesh *mesh;
        Vector3 point;
        f32 expected;
    };
    const Case cases[] = {
        {"inside", square.get(), {0.5f, 0.5f, 0}, 0},
        {"inside, above the plane", square.get(), {0.5f, 0.5f, 3}, 0},
        {"outside one edge", square.get(), {0.5f, -0.25f, 0}, 0.25f},
        {"beyond a corner: the distance to the corner", square.get(), {-0.5f, -0.25f, 0}, std::sqrt(0.3125f)},
        {"on an edge", square.get(), {0.5f, 0, 0}, 0},
        {"sloped, off the surface along its normal", sloped.get(), {0.5f, 1, 1.5f}, 0},
        // (3, 1, 3) lies on the plane, 1 unit beyond the top edge along the slope: sqrt(2) in 3D.
        {"sloped, past the high edge", sloped.get(), {3, 1, 3}, std::sqrt(2.0f)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(c.mesh->outside_distance(c.point, 0), c.expected, 1e-5f);
    }
}

TEST(NavMesh, TriangleEndsItsCornerListEarlyAndHexagonUsesAllSix)
{
    test::NavMeshSource s;
    for (int k = 0; k < 6; ++k)
        s.vertices.push_back({std::cos(f32(k) * 1.0471976f), std::sin(f32(k) * 1.0471976f), 0});
    s.vertices.push_back({3, 0, 0});
    s.add_polygon({0, 1, 2, 3, 4, 5});
    s.add_polygon({6, 1, 0});
    test::build_nav_mesh_links(s);
    MeshPtr mesh = read(s);
    ASSERT_TRUE(mesh);
    EXPECT_EQ(mesh->polygon(0).corner_count, 6u);
    EXPECT_EQ(mesh->polygon(1).corner_count, 3u);
    EXPECT_EQ(mesh->polygon(1).corners[3], nav_mesh_no_index);
    EXPECT_FLOAT_EQ(mesh->outside_distance({0.1f, 0.1f, 0}, 0), 0);
    EXPECT_GT(mesh->outside_distance({0.1f, 0.1f, 0}, 1), 0);
}

TEST(NavMesh, MoveAlongDropsInsidePointsOntoThePlaneCrossesWithinSlackAndClampsBack)
{
    MeshPtr mesh = read(two_squares());
    ASSERT_TRUE(mesh);
    struct Case {
        const char *name;
        Vector3 start;
        u32 polygon;
        u32 expected_polygon;
        Vector3 expected;
    };
    const Case cases[] = {
        {"inside keeps its polygon, only dropped", {0.5f, 0.5f, 2}, 0, 0, {0.5f, 0.5f, 0}},
        {"crossed into the neighbour", {1.2f, 0.5f, 0}, 0, 1, {1.2f, 0.5f, 0}},
        {"left the mesh: clamped back", {0.5f, -0.3f, 0}, 0, 0, {0.5f, 0, 0}},
        {"left past the far side of the neighbour", {2.4f, 0.5f, 0}, 1, 1, {2, 0.5f, 0}},
        {"polygon out of range: located first", {1.5f, 0.5f, 0}, 99, 1, {1.5f, 0.5f, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Vector3 p = c.start;
        u32 polygon = c.polygon;
        const Vector3 n = mesh->move_along(p, polygon);
        EXPECT_EQ(polygon, c.expected_polygon);
        EXPECT_NEAR(p.x, c.expected.x, 1e-5f);
        EXPECT_NEAR(p.y, c.expected.y, 1e-5f);
        EXPECT_NEAR(p.z, c.expected.z, 1e-5f);
        EXPECT_NEAR(n.z, 1.0f, 1e-6f);
    }
    // Up to 0.1 farther than the current polygon still crosses: the point sits 0.15 outside
    // polygon 0 and, in a neighbour's corner region, 0.2 outside the neighbour.
    test::NavMeshSource offset;
    offset.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {1, 1.2f, 0}, {2, 1.2f, 0}, {2, 2, 0}, {1, 2, 0}};
    offset.add_polygon({0, 1, 2, 3});
    offset.add_polygon({4, 5, 6, 7});
    offset.polygons[0].neighbours[1] = 1;
    MeshPtr gap = read(offset);
    ASSERT_TRUE(gap);
    Vector3 p{1.15f, 1.0f, 0};
    u32 polygon = 0;
    gap->move_along(p, polygon);
    EXPECT_EQ(polygon, 1u);
    EXPECT_NEAR(p.y, 1.2f, 1e-5f);
}

TEST(NavMesh, ClosestPolygonAgreesWithBruteForceOnGeneratedMeshes)
{
    std::mt19937 random(7);
    for (u32 seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        const test::NavMeshSource source = test::grid_nav_mesh(3 + seed % 5, 2 + seed % 4, 2.0f, seed, seed % 3 ? 5 : 0);
        MeshPtr mesh = read(source);
        ASSERT_TRUE(mesh);
        std::uniform_real_distribution<f32> x(-3.0f, 2.0f * (3 + seed % 5) + 3.0f), y(-3.0f, 2.0f * (2 + seed % 4) + 3.0f);
        for (int i = 0; i < 400; ++i) {
            // Points on the grid lines (box seams) as well as anywhere around the mesh.
            Vector3 p{x(random), y(random), 0};
            if (i % 4 == 0)
                p.x = std::round(p.x / 2.0f) * 2.0f;
            const u32 found = mesh->closest_polygon(p);
            ASSERT_LT(found, mesh->polygon_count());
            EXPECT_FLOAT_EQ(mesh->outside_distance(p, found), brute_force_distance(*mesh, p)) << p.x << " " << p.y;
        }
        // Polygon 0 cannot be a tree leaf; a point inside it is still found.
        const NavMeshPolygon &first = mesh->polygon(0);
        Vector3 centre;
        for (u32 k = 0; k < first.corner_count; ++k)
            centre = centre + mesh->vertex(first.corners[k]) * (1.0f / f32(first.corner_count));
        EXPECT_EQ(mesh->closest_polygon(centre), 0u);
    }
}

TEST(NavMesh, MoveAlongAgreesWithBruteForceOnGeneratedMeshes)
{
    std::mt19937 random(11);
    std::uniform_real_distribution<f32> step(-0.6f, 0.6f);
    for (u32 seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE(seed);
        MeshPtr mesh = read(test::grid_nav_mesh(6, 5, 2.0f, seed, seed % 2 ? 6 : 0));
        ASSERT_TRUE(mesh);
        for (u32 start = 0; start < mesh->polygon_count(); ++start) {
            const NavMeshPolygon &poly = mesh->polygon(start);
            Vector3 centre;
            for (u32 k = 0; k < poly.corner_count; ++k)
                centre = centre + mesh->vertex(poly.corners[k]) * (1.0f / f32(poly.corner_count));
            for (int i = 0; i < 8; ++i) {
                Vector3 p = centre + Vector3{step(random), step(random), 0};
                const f32 global = brute_force_distance(*mesh, p);
                // Which polygon within one step holds the point best, by brute force.
                f32 local = mesh->outside_distance(p, start);
                for (u16 n : poly.neighbours)
                    if (n != nav_mesh_no_index)
                        local = std::min(local, mesh->outside_distance(p, n));
                u32 polygon = start;
                const Vector3 before = p;
                mesh->move_along(p, polygon);
                const bool near = polygon == start || std::count(poly.neighbours, poly.neighbours + 6, u16(polygon));
                EXPECT_TRUE(near);
                if (local == global && global < 1e-6f) {
                    // Inside the mesh within one step: the walk lands in a polygon holding it.
                    EXPECT_NEAR(mesh->outside_distance(before, polygon), 0.0f, 1e-5f);
                }
                // Always on the plane of the polygon it reports, and finite.
                const NavMeshPolygon &q = mesh->polygon(polygon);
                EXPECT_NEAR(dot(q.unit_normal, p - mesh->vertex(q.corners[0])), 0.0f, 1e-4f);
                EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
            }
        }
    }
}

TEST(NavMesh, MalformedBlocksAreRefused)
{
    const test::NavMeshSource good = test::grid_nav_mesh(3, 3, 1.0f, 5);
    ASSERT_TRUE(read(good));
    struct Case {
        const char *name;
        std::function<void(test::NavMeshSource &)> damage;
        u32 cut_bytes = 0; // bytes dropped from the end
    };
    const Case cases[] = {
        {"truncated", [](test::NavMeshSource &) {}, 1},
        {"corner names a vertex out of range", [](test::NavMeshSource &s) { s.polygons[2].corners[1] = 999; }},
        {"neighbour out of range", [](test::NavMeshSource &s) { s.polygons[1].neighbours[4] = 500; }},
        {"fewer than 3 corners", [](test::NavMeshSource &s) { s.polygons[1].corners[2] = 0xFFFF; }},
        {"collinear first corners", [](test::NavMeshSource &s) {
             s.vertices.push_back({0, 0, 0}), s.vertices.push_back({1, 0, 0}), s.vertices.push_back({2, 0, 0});
             const u16 v = u16(s.vertices.size() - 3);
             s.add_polygon({v, u16(v + 1), u16(v + 2)});
         }},
        {"zero-length edge", [](test::NavMeshSource &s) { s.vertices[s.polygons[0].corners[1]] = s.vertices[s.polygons[0].corners[0]]; }},
        {"NaN vertex", [](test::NavMeshSource &s) { s.vertices[3].y = NAN; }},
        {"infinite vertex", [](test::NavMeshSource &s) { s.vertices[3].z = INFINITY; }},
        {"vertex too far out", [](test::NavMeshSource &s) { s.vertices[3].x = 1e30f; }},
        {"leaf out of range", [](test::NavMeshSource &s) { s.nodes.back().link = 10000; }},
        {"jump backwards", [](test::NavMeshSource &s) { s.nodes[1].link = -1; }},
        {"jump to itself", [](test::NavMeshSource &s) { s.nodes[2].link = -2; }},
        {"jump past the end", [](test::NavMeshSource &s) { s.nodes[0].link = -i32(s.nodes.size() + 1); }},
        {"jump by the smallest i32", [](test::NavMeshSource &s) { s.nodes[0].link = INT32_MIN; }},
        {"box not finite", [](test::NavMeshSource &s) { s.nodes[0].max_x = NAN; }},
    };
    test::LogCapture log("ai");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        test::NavMeshSource s = good;
        c.damage(s);
        std::vector<u8> bytes = test::write_nav_mesh(s);
        bytes.resize(bytes.size() - c.cut_bytes);
        // Copied to a block of exactly its size, so a read past it is caught.
        std::unique_ptr<u8[]> exact(new u8[bytes.size()]);
        std::memcpy(exact.get(), bytes.data(), bytes.size());
        EXPECT_EQ(read_nav_mesh(exact.get(), bytes.size(), default_allocator()), nullptr);
    }
    EXPECT_TRUE(log.contains("navigation mesh refused"));
    // Counts that overflow 32-bit arithmetic, and a header alone.
    std::vector<u8> huge = test::write_nav_mesh(good);
    const u32 many = 0x40000000u;
    std::memcpy(huge.data() + 4, &many, 4);
    EXPECT_EQ(read(huge), nullptr);
    std::vector<u8> header(10, 0);
    EXPECT_EQ(read(header), nullptr);
    EXPECT_EQ(read_nav_mesh(nullptr, 0, default_allocator()), nullptr);
}

TEST(NavMesh, LevelsReadTheirMeshAndAreRefusedWithABrokenOne)
{
    install_level_nav_mesh_reader();
    test::LevelSource level;
    level.navigation_mesh = test::write_nav_mesh(two_squares());
    std::vector<u8> bytes = test::write_level_resource(level);
    LevelResource *r = read_level_resource(bytes.data(), bytes.size(), default_allocator());
    ASSERT_NE(r, nullptr);
    ASSERT_NE(r->navigation_mesh, nullptr);
    const NavMesh *mesh = static_cast<const NavMesh *>(r->navigation_mesh);
    EXPECT_EQ(mesh->polygon_count(), 2u);
    const u32 serial = mesh->serial();
    EXPECT_TRUE(is_live_nav_mesh(mesh, serial));
    destroy_level_resource(r, default_allocator());
    EXPECT_FALSE(is_live_nav_mesh(mesh, serial));

    test::NavMeshSource broken = two_squares();
    broken.polygons[0].corners[0] = 77;
    level.navigation_mesh = test::write_nav_mesh(broken);
    bytes = test::write_level_resource(level);
    test::LogCapture log;
    EXPECT_EQ(read_level_resource(bytes.data(), bytes.size(), default_allocator()), nullptr);
    EXPECT_TRUE(log.contains("navigation mesh is refused"));
}

} // namespace
} // namespace tallow
