#pragma once
// The "physics_properties" resource: the game's named materials, shape templates, actor
// templates and collision filters, looked up by the NameId32 of their names. Compiled data,
// little-endian:
//
//   u32 version (9; read, not compared)
//   u32 count, count x 28 bytes: u32 name, 6 x f32 material values
//   u32 count, count x 24 bytes: u32 name, u32 shape flags, u64 belongs_to, u64 collides_with
//   u32 count, count x 36 bytes: u32 name, u32 actor flags, f32 mass, f32 minimum inertia
//                                ratio, 3 x f32 mass-space inertia, f32 linear damping,
//                                f32 angular damping
//   u32 count, count x 20 bytes: u32 name, u64 belongs_to, u64 collides_with
//
// Each table is sorted by name, ascending and unique; nothing follows the last table. A
// resource whose counts run past its bytes, whose tables are not sorted and unique, or that
// has bytes left over does not load (logged). Tests, the fuzz target and the compiler
// (tools/physics/physics_properties_compiler.h) write it with tests/support/writers/physics_properties_writer.h.
//
//   register_physics_resource_types(manager);          // at start-up, main thread
//   ... load and bring in "physics_properties" ...
//   if (const PhysicsProperties *p = current_physics_properties())
//       if (const ActorTemplate *t = p->find_actor_template(NameId32("box").value())) ...
//
// The current properties are the last set brought in; bringing out a set clears it only
// when it is the current one. Lookups are read-only and safe from any thread; bring-in and
// bring-out run on the main thread, between frames.

#include "foundation/containers/array.h"
#include "foundation/strings/name_id.h"
#include "foundation/types.h"

namespace tallow {

class Allocator;
class InputArchive;
class ResourceManager;
struct ResourceTypeCallbacks;

constexpr NameId64 physics_properties_type("physics_properties");
constexpr u32 physics_properties_version = 9;

/// What a shape collides with: the 16-byte filter (belongs_to, then collides_with).
struct CollisionFilter {
    u64 belongs_to = 0;
    u64 collides_with = 0;
};
static_assert(sizeof(CollisionFilter) == 16);

/// A material's six values: [1] static friction, [2] restitution, [3] dynamic friction and
/// the density of shapes using it; [0], [4], [5] are kept as given.
struct PhysicsMaterial {
    f32 values[6] = {0.1f, 0.1f, 0.2f, 1.0f, 0.0f, 0.0f}; // an absent material's values
};

/// The 24-byte shape template payload.
struct ShapeTemplate {
    u32 flags = 0; // px::ShapeFlag
    u32 zero = 0;
    CollisionFilter filter;
};
static_assert(sizeof(ShapeTemplate) == 24);

/// Actor flags.
enum ActorTemplateFlag : u32 {
    actor_dynamic = 1,
    actor_kinematic = 2,
    actor_disable_collision = 4,
    actor_disable_response = 8,
    actor_force_cone_friction = 16,
    actor_disable_gravity = 32,
    actor_filter_sleep_velocity = 64,
    actor_energy_sleep_test = 128,
};

/// The 32-byte actor template payload.
struct ActorTemplate {
    u32 flags = 0;
    f32 mass = 0;
    f32 min_inertia_ratio = 0;
    f32 inertia[3] = {};
    f32 linear_damping = 0;
    f32 angular_damping = 0;
};
static_assert(sizeof(ActorTemplate) == 32);

template <typename T> struct NamedEntry {
    u32 name = 0;
    T value;
};

class PhysicsProperties {
  public:
    explicit PhysicsProperties(Allocator &allocator);

    /// Reads the tables; false (with `out_reason`) when the bytes are not sound.
    [[nodiscard]] bool read(InputArchive &archive, const char **out_reason = nullptr);

    /// Null when the name is not in its table.
    const PhysicsMaterial *find_material(u32 name) const;
    const ShapeTemplate *find_shape_template(u32 name) const;
    const ActorTemplate *find_actor_template(u32 name) const;
    const CollisionFilter *find_collision_filter(u32 name) const;

    Array<NamedEntry<PhysicsMaterial>> materials;
    Array<NamedEntry<ShapeTemplate>> shape_templates;
    Array<NamedEntry<ActorTemplate>> actor_templates;
    Array<NamedEntry<CollisionFilter>> collision_filters;
};

/// The current properties, or null. Main thread (and jobs it waits for).
const PhysicsProperties *current_physics_properties();
/// Makes `properties` current (null clears); tests use it without a resource manager.
void set_current_physics_properties(const PhysicsProperties *properties);

/// Registers "physics_properties" (load, unload, bring-in, bring-out). Main thread.
void register_physics_resource_types(ResourceManager &manager);
/// The callbacks it registers (tests drive them without a manager).
ResourceTypeCallbacks physics_properties_callbacks();

} // namespace tallow
