#include "tests/support/writers/physics_properties_writer.h"

#include "platform/physics/cooked_mesh.h"

#include <algorithm>
#include <cstring>

namespace tallow::test {

namespace {

template <typename T> void put(std::vector<u8> &out, const T &v)
{
    const size_t at = out.size();
    out.resize(at + sizeof(T));
    memcpy(out.data() + at, &v, sizeof(T));
}

template <typename T> std::vector<NamedEntry<T>> ordered(std::vector<NamedEntry<T>> t, bool unsorted)
{
    if (!unsorted)
        std::stable_sort(t.begin(), t.end(), [](const auto &a, const auto &b) { return a.name < b.name; });
    return t;
}

} // namespace

void PhysicsPropertiesWriter::material(const char *name, const std::array<f32, 6> &v) { material(NameId32(name).value(), v); }
void PhysicsPropertiesWriter::material(u32 id, const std::array<f32, 6> &v)
{
    NamedEntry<PhysicsMaterial> e;
    e.name = id;
    std::copy(v.begin(), v.end(), e.value.values);
    _materials.push_back(e);
}

void PhysicsPropertiesWriter::shape_template(const char *name, u32 flags, CollisionFilter f)
{
    shape_template(NameId32(name).value(), flags, f);
}
void PhysicsPropertiesWriter::shape_template(u32 id, u32 flags, CollisionFilter f)
{
    _shapes.push_back({id, ShapeTemplate{flags, 0, f}});
}

void PhysicsPropertiesWriter::actor_template(const char *name, const ActorTemplate &a) { actor_template(NameId32(name).value(), a); }
void PhysicsPropertiesWriter::actor_template(u32 id, const ActorTemplate &a) { _actors.push_back({id, a}); }

void PhysicsPropertiesWriter::collision_filter(const char *name, CollisionFilter f) { collision_filter(NameId32(name).value(), f); }
void PhysicsPropertiesWriter::collision_filter(u32 id, CollisionFilter f) { _filters.push_back({id, f}); }

std::vector<u8> PhysicsPropertiesWriter::write() const
{
    std::vector<u8> out;
    put(out, _version);
    auto materials = ordered(_materials, _unsorted);
    put(out, u32(materials.size()));
    for (const auto &e : materials) {
        put(out, e.name);
        for (f32 v : e.value.values)
            put(out, v);
    }
    auto shapes = ordered(_shapes, _unsorted);
    put(out, u32(shapes.size()));
    for (const auto &e : shapes) {
        put(out, e.name);
        put(out, e.value.flags);
        put(out, e.value.filter.belongs_to);
        put(out, e.value.filter.collides_with);
    }
    auto actors = ordered(_actors, _unsorted);
    put(out, u32(actors.size()));
    for (const auto &e : actors) {
        put(out, e.name);
        const ActorTemplate &a = e.value;
        put(out, a.flags);
        put(out, a.mass);
        put(out, a.min_inertia_ratio);
        for (f32 v : a.inertia)
            put(out, v);
        put(out, a.linear_damping);
        put(out, a.angular_damping);
    }
    auto filters = ordered(_filters, _unsorted);
    put(out, u32(filters.size()));
    for (const auto &e : filters) {
        put(out, e.name);
        put(out, e.value.belongs_to);
        put(out, e.value.collides_with);
    }
    return out;
}

std::vector<u8> write_convex_mesh(const std::vector<Vector3> &points)
{
    std::vector<u8> out;
    put(out, px::cooked_mesh_magic);
    put(out, px::cooked_mesh_version);
    put(out, u32(px::CookedMeshKind::Convex));
    put(out, u32(points.size()));
    put(out, u32(0));
    for (const Vector3 &p : points) {
        put(out, p.x);
        put(out, p.y);
        put(out, p.z);
    }
    return out;
}

std::vector<u8> write_triangle_mesh(const std::vector<Vector3> &vertices, const std::vector<u32> &indices)
{
    std::vector<u8> out;
    put(out, px::cooked_mesh_magic);
    put(out, px::cooked_mesh_version);
    put(out, u32(px::CookedMeshKind::Triangles));
    put(out, u32(vertices.size()));
    put(out, u32(indices.size() / 3));
    for (const Vector3 &p : vertices) {
        put(out, p.x);
        put(out, p.y);
        put(out, p.z);
    }
    for (u32 i = 0; i + 2 < indices.size(); i += 3)
        for (u32 k = 0; k < 3; ++k)
            put(out, indices[i + k]);
    return out;
}

} // namespace tallow::test
