#pragma once
// Keeps units of a World in step with replicated game objects. A unit spawned through the
// synchronizer gets an object holding its unit name, position and rotation; every update
// the owner writes its moving units' root poses into their objects; every other peer
// spawns a matching unit when the object appears, moves it as values arrive, and makes its
// physics kinematic so only the network drives it. Migration swaps the roles by
// destroying and respawning the unit (its handle changes; `unit_of` gives the new one).
//
//   NetworkManagerSettings settings;
//   settings.game.create_synchronizer = create_unit_synchronizer;  // every game gets one
//   auto *sync = static_cast<UnitSynchronizer *>(game->unit_synchronizer());
//   sync->set_world(world);
//   Unit *u = sync->spawn_unit(NameId64("units/crate").value(), pose, type_index);
//   ... units move; the game's update sends and applies ...
//   sync->destroy_unit(u->handle());
//
// The object type must have the fields "position" (Vector3), "rotation" (Quaternion),
// "unit_name" (id: the unit resource's name) and "synchronizer_id" (int); objects of types
// without them, or of another synchronizer id, are left alone. Units are held by handle:
// one a script destroyed is let go (an owned one's object is destroyed with it), and a
// released world is never touched. Main thread only, inside the game's update.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/trace_allocator.h"
#include "network/network_game.h"
#include "world/units/unit_handle.h"

namespace tallow {
class Unit;
class UnitResource;
class World;
} // namespace tallow

namespace tallow::network {

/// Finds a unit resource by name for spawning, in place of the World's resource manager
/// (tools and tests); null: not found.
struct UnitResourceSource {
    const UnitResource *(*find)(void *user, u64 name) = nullptr;
    void *user = nullptr;
};

class UnitSynchronizer final : public ISynchronizer {
  public:
    UnitSynchronizer(INetworkGame &game, const NetworkGameConfig &config, u32 synchronizer_id, Allocator &parent);
    ~UnitSynchronizer() override = default;

    /// The world units are spawned into (not owned); null detaches.
    void set_world(World *world) { _world = world; }
    World *world() const;
    void set_resource_source(const UnitResourceSource &source) { _source = source; }

    /// Spawns the unit and creates its object of type `type_index`; the unit is owned
    /// here. Null (logged) without a live world, for a type without the four fields, when
    /// the unit does not spawn, or when the game refuses the object.
    Unit *spawn_unit(u64 unit_name, const Matrix4x4 &pose, u32 type_index);
    /// Destroys the unit and, when owned here, its object; false for a unit it does not hold.
    bool destroy_unit(UnitHandle unit);
    /// The unit mirroring object `id`; null_unit_handle when none.
    UnitHandle unit_of(u32 object_id) const;
    /// The object of the unit; 0xFFFFFFFF when none.
    u32 object_of(UnitHandle unit) const;
    bool is_owned(UnitHandle unit) const;
    u32 unit_count() const { return _units.size(); }
    /// True when `type_index` has the four fields a synchronized unit needs.
    bool can_synchronize(u32 type_index) const;

    void object_event(u32 id, ObjectEvent event) override; // See ISynchronizer
    void write(f32 dt_s) override;
    void apply(f32 dt_s, const u32 *ids, u32 count) override;

  private:
    struct Entry {
        u32 object;
        UnitHandle unit;
        bool owned;
    };
    struct Fields {
        u32 position, rotation, unit_name, synchronizer_id; // field indices
    };

    bool fields_of(const GameObjectType &type, Fields &out) const;
    i32 find_object(u32 id) const;
    i32 find_unit(UnitHandle unit) const;
    Unit *spawn(u64 name, const Matrix4x4 &pose);
    Unit *spawn_from_state(u32 id, const GameObjectType &type, const u8 *state);
    void make_remote_driven(Unit &unit);
    void destroy_world_unit(UnitHandle handle);
    static Matrix4x4 pose_from_state(const GameObjectType &type, const Fields &fields, const u8 *state);
    /// A finite position within a million units of the origin and a rotation of nonzero length.
    static bool pose_is_usable(const GameObjectType &type, const Fields &fields, const u8 *state);

    TraceAllocator _allocator;
    INetworkGame &_game;
    const NetworkGameConfig &_config;
    World *_world = nullptr;
    u32 _id;
    Array<Entry> _units; // owned ones in spawn order among the rest
    UnitResourceSource _source;
    u8 _scratch[max_object_state_bytes];
};

/// A SynchronizerFactory: a UnitSynchronizer with id 0 from the default allocator.
ISynchronizer *create_unit_synchronizer(INetworkGame &game, const NetworkGameConfig &config);

} // namespace tallow::network
