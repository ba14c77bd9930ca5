#pragma once
// Writes "physics_properties" resources (layout in physics/physics_properties.h) and our
// cooked mesh bytes (platform/physics/cooked_mesh.h) from readable values; shared by the
// physics tests, the fuzz targets' seeds, the benchmark and the physics_properties compiler.
//
//   PhysicsPropertiesWriter w;
//   w.material("wood", {0, 0.5f, 0.1f, 0.5f, 0, 0});
//   w.shape_template("solid", 0, {1, 1});
//   w.actor_template("crate", actor_dynamic, 10.0f);
//   std::vector<u8> bytes = w.write();          // tables sorted by name id
//   std::vector<u8> hull = write_convex_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}});

#include "foundation/math/vector3.h"
#include "foundation/types.h"
#include "physics/physics_properties.h"

#include <array>
#include <vector>

namespace tallow::test {

class PhysicsPropertiesWriter {
  public:
    /// By text name (NameId32) or by id.
    void material(const char *name, const std::array<f32, 6> &values);
    void material(u32 id, const std::array<f32, 6> &values);
    void shape_template(const char *name, u32 flags, CollisionFilter filter);
    void shape_template(u32 id, u32 flags, CollisionFilter filter);
    void actor_template(const char *name, const ActorTemplate &payload);
    void actor_template(u32 id, const ActorTemplate &payload);
    void collision_filter(const char *name, CollisionFilter filter);
    void collision_filter(u32 id, CollisionFilter filter);
    void set_version(u32 version) { _version = version; }
    /// Keep the tables in the order given (to write broken data on purpose).
    void set_unsorted(bool unsorted) { _unsorted = unsorted; }

    std::vector<u8> write() const;

  private:
    u32 _version = physics_properties_version;
    bool _unsorted = false;
    std::vector<NamedEntry<PhysicsMaterial>> _materials;
    std::vector<NamedEntry<ShapeTemplate>> _shapes;
    std::vector<NamedEntry<ActorTemplate>> _actors;
    std::vector<NamedEntry<CollisionFilter>> _filters;
};

/// Cooked hull bytes of `points`.
std::vector<u8> write_convex_mesh(const std::vector<Vector3> &points);
/// Cooked triangle mesh bytes; `indices` three per triangle.
std::vector<u8> write_triangle_mesh(const std::vector<Vector3> &vertices, const std::vector<u32> &indices);

} // namespace tallow::test
