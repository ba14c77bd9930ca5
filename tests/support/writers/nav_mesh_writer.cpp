#include "tests/support/writers/nav_mesh_writer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

namespace tallow::test {

namespace {

template <typename T> void put(std::vector<u8> &out, T v)
{
    const size_t at = out.size();
    out.resize(at + sizeof v);
    std::memcpy(out.data() + at, &v, sizeof v);
}

u32 corner_count(const NavMeshSourcePolygon &p)
{
    u32 n = 0;
    while (n < 6 && p.corners[n] != 0xFFFF)
        ++n;
    return n;
}

struct Box {
    f32 min_x, min_y, max_x, max_y;
};

Box polygon_box(const NavMeshSource &mesh, u32 i)
{
    const NavMeshSourcePolygon &p = mesh.polygons[i];
    Box b{1e30f, 1e30f, -1e30f, -1e30f};
    for (u32 k = 0; k < corner_count(p); ++k) {
        if (p.corners[k] >= mesh.vertices.size())
            continue;
        const NavMeshSourceVertex &v = mesh.vertices[p.corners[k]];
        b.min_x = std::min(b.min_x, v.x), b.min_y = std::min(b.min_y, v.y);
        b.max_x = std::max(b.max_x, v.x), b.max_y = std::max(b.max_y, v.y);
    }
    return b;
}

void build_tree(NavMeshSource &mesh, const std::vector<Box> &boxes, std::vector<u32> &items, u32 first, u32 count)
{
    Box b{1e30f, 1e30f, -1e30f, -1e30f};
    for (u32 i = first; i < first + count; ++i) {
        const Box &p = boxes[items[i]];
        b.min_x = std::min(b.min_x, p.min_x), b.min_y = std::min(b.min_y, p.min_y);
        b.max_x = std::max(b.max_x, p.max_x), b.max_y = std::max(b.max_y, p.max_y);
    }
    const u32 at = u32(mesh.nodes.size());
    mesh.nodes.push_back({b.min_x, b.min_y, b.max_x, b.max_y, 0});
    if (count == 1) {
        mesh.nodes[at].link = i32(items[first]); // polygon 0 gives 0: never tested
        return;
    }
    const bool along_x = b.max_x - b.min_x >= b.max_y - b.min_y;
    auto centre = [&](u32 i) {
        const Box &p = boxes[i];
        return along_x ? p.min_x + p.max_x : p.min_y + p.max_y;
    };
    std::sort(items.begin() + first, items.begin() + first + count,
              [&](u32 a, u32 c) { return centre(a) < centre(c) || (centre(a) == centre(c) && a < c); });
    const u32 half = count / 2;
    build_tree(mesh, boxes, items, first, half);
    build_tree(mesh, boxes, items, first + half, count - half);
    mesh.nodes[at].link = -i32(mesh.nodes.size());
}

} // namespace

void NavMeshSource::add_polygon(std::initializer_list<u16> corners)
{
    add_polygon(std::vector<u16>(corners));
}

void NavMeshSource::add_polygon(const std::vector<u16> &corners)
{
    NavMeshSourcePolygon p;
    for (size_t k = 0; k < corners.size() && k < 6; ++k)
        p.corners[k] = corners[k];
    polygons.push_back(p);
}

std::vector<u8> write_nav_mesh(const NavMeshSource &mesh)
{
    std::vector<u8> out;
    put<u32>(out, u32(mesh.polygons.size()));
    put<u32>(out, u32(mesh.vertices.size()));
    put<u32>(out, u32(mesh.nodes.size()));
    put<u32>(out, 0), put<u32>(out, 0), put<u32>(out, 0);
    for (const NavMeshSourcePolygon &p : mesh.polygons) {
        for (u16 c : p.corners)
            put<u16>(out, c);
        for (u16 n : p.neighbours)
            put<u16>(out, n);
    }
    for (const NavMeshSourceVertex &v : mesh.vertices)
        put<f32>(out, v.x), put<f32>(out, v.y), put<f32>(out, v.z);
    for (const NavMeshSourceNode &n : mesh.nodes) {
        put<f32>(out, n.min_x), put<f32>(out, n.min_y), put<f32>(out, n.max_x), put<f32>(out, n.max_y);
        put<i32>(out, n.link);
    }
    return out;
}

void build_nav_mesh_links(NavMeshSource &mesh)
{
    std::map<std::pair<u16, u16>, std::vector<std::pair<u32, u32>>> edges; // sorted pair -> (polygon, edge)
    for (u32 i = 0; i < mesh.polygons.size(); ++i) {
        NavMeshSourcePolygon &p = mesh.polygons[i];
        const u32 n = corner_count(p);
        for (u32 k = 0; k < 6; ++k)
            p.neighbours[k] = 0xFFFF;
        for (u32 k = 0; k < n; ++k) {
            u16 a = p.corners[k], b = p.corners[(k + 1) % n];
            edges[{std::min(a, b), std::max(a, b)}].push_back({i, k});
        }
    }
    for (const auto &[key, list] : edges) {
        if (list.size() != 2)
            continue;
        mesh.polygons[list[0].first].neighbours[list[0].second] = u16(list[1].first);
        mesh.polygons[list[1].first].neighbours[list[1].second] = u16(list[0].first);
    }
    mesh.nodes.clear();
    if (mesh.polygons.empty())
        return;
    std::vector<Box> boxes;
    std::vector<u32> items;
    for (u32 i = 0; i < mesh.polygons.size(); ++i) {
        boxes.push_back(polygon_box(mesh, i));
        items.push_back(i);
    }
    build_tree(mesh, boxes, items, 0, u32(items.size()));
}

NavMeshSource grid_nav_mesh(u32 columns, u32 rows, f32 cell, u32 seed, u32 hole_one_in)
{
    u32 state = seed * 2654435761u + 12345u;
    auto next = [&]() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    auto unit = [&]() { return f32(next() & 0xFFFF) / 65535.0f; }; // [0, 1]
    NavMeshSource mesh;
    for (u32 y = 0; y <= rows; ++y)
        for (u32 x = 0; x <= columns; ++x) {
            f32 fx = f32(x) * cell, fy = f32(y) * cell;
            if (x > 0 && x < columns && y > 0 && y < rows) {
                fx += (unit() - 0.5f) * 0.5f * cell;
                fy += (unit() - 0.5f) * 0.5f * cell;
            }
            mesh.vertices.push_back({fx, fy, 0.05f * fx + 0.02f * fy});
        }
    auto v = [&](u32 x, u32 y) { return u16(y * (columns + 1) + x); };
    for (u32 y = 0; y < rows; ++y)
        for (u32 x = 0; x < columns; ++x) {
            if (hole_one_in && next() % hole_one_in == 0 && mesh.polygons.size() > 0)
                continue;
            // On a sloped plane every quad is planar: z is linear in x and y.
            if (next() % 2)
                mesh.add_polygon({v(x, y), v(x + 1, y), v(x + 1, y + 1), v(x, y + 1)});
            else {
                mesh.add_polygon({v(x, y), v(x + 1, y), v(x + 1, y + 1)});
                mesh.add_polygon({v(x, y), v(x + 1, y + 1), v(x, y + 1)});
            }
        }
    build_nav_mesh_links(mesh);
    return mesh;
}

} // namespace tallow::test
