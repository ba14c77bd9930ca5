#pragma once
// A unit: one game object of a World, built from a "unit" resource. It owns its scene
// graph, its render objects, physics actors, joints and mover, animation blender and
// state machine, its script data store and its flow variables.
//
//   Unit *crate = world.spawn_unit(NameId64("units/crate"), pose);   // null on failure
//   UnitHandle h = crate->handle();            // hold this, not the pointer, across frames
//   crate->scene_graph().set_local_pose(0, pose); world.wake_unit(*crate, 1);
//   world.destroy_unit(*crate);                // h is stale from now on
//
// Units are made and destroyed only by their World (main thread). The first four bytes of
// a unit are `unit_type_tag`, by which script bindings recognise one.

#include "foundation/containers/array.h"
#include "foundation/io/chunk_store.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/math/oriented_box.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/strings/name_id.h"
#include "resource/resource_hold.h"
#include "world/units/scene_graph.h"
#include "world/units/unit_handle.h"

namespace tallow {

class Camera;
class Light;
class Mesh;
class UnitResource;
class World;
struct AnimationBlender;
struct AnimationStateMachine;
struct PhysicsActor;
struct PhysicsJoint;
struct PhysicsMover;

constexpr u32 unit_type_tag = 0x19C562A3;
constexpr u32 unit_not_listed = 0xFFFFFFFFu;
/// The spawn flow event, and the flow value type of "unit".
constexpr u32 unit_spawn_event = 0xC72F6848;
constexpr u32 unit_flow_value_type = 0xE0A48D0B;

/// `Unit::needs_update` flags.
constexpr u32 unit_needs_scene_update = 1; // bit 0: keep in the update list
constexpr u32 unit_needs_awake_update = 2; // bit 1: keep in the awake list

/// How the World runs unit flow graphs. The flow system installs one; without it units
/// with a flow graph run no flow (logged once).
struct UnitFlowRunner {
    void *context = nullptr;
    /// Triggers the unit's spawn event.
    void (*spawn_event)(void *context, World &world, Unit &unit) = nullptr;
    /// Triggers flow target `target` (node index low 16 bits, input index high 16 bits).
    void (*event_by_index)(void *context, World &world, Unit &unit, u32 target) = nullptr;
};
/// Installs the flow runner (main thread, before worlds run).
void set_unit_flow_runner(const UnitFlowRunner &runner);
const UnitFlowRunner &unit_flow_runner();

class Unit {
  public:
    /// Use World::spawn_unit. Builds nothing yet; World calls `init`.
    Unit(World &world, const UnitResource &resource, const void *material);
    ~Unit();
    Unit(const Unit &) = delete;
    Unit &operator=(const Unit &) = delete;

    /// Takes a handle, fills the data store and flow variables, builds the components at
    /// `pose`. False when no handle is left or memory ran out (logged).
    bool init(const Matrix4x4 &pose);

    u32 type_tag() const { return _type_tag; }
    UnitHandle handle() const { return _handle; }
    World &world() const { return *_world; }
    const UnitResource &resource() const { return *_resource; }
    const void *material() const { return _material; }
    SceneGraph &scene_graph() { return _graph; }
    const SceneGraph &scene_graph() const { return _graph; }
    Unit *parent_unit() const { return _parent; }
    ChunkStore &data() { return _data; }
    Array<u8> &flow_variables() { return _flow_variables; }
    Allocator &allocator() { return _allocator; }

    // Index list membership (the World's update, awake and linked lists).
    u32 update_index() const { return _update_index; }
    u32 awake_index() const { return _awake_index; }
    /// Where the list indices, parent and handle sit, side by side: the frame's jobs fetch
    /// them ahead of the units they update.
    const void *list_fields() const { return &_update_index; }
    u32 linked_index() const { return _linked_index; }
    u32 awake_until() const { return _awake_until; }
    /// Keeps the unit in the update list for `frames` more frames.
    void set_awake_until(u32 frames);
    /// unit_needs_scene_update and unit_needs_awake_update, inherited from the parent unit.
    u32 needs_update() const;

    // Components built from the resource.
    u32 mesh_count() const { return _meshes.size(); }
    u32 mesh_handle(u32 i) const { return i < _meshes.size() ? _meshes[i] : 0xFFFFFFFFu; }
    u32 camera_handle(u32 i) const { return i < _cameras.size() ? _cameras[i] : 0xFFFFFFFFu; }
    u32 light_handle(u32 i) const { return i < _lights.size() ? _lights[i] : 0xFFFFFFFFu; }
    u32 lod_handle(u32 i) const { return i < _lods.size() ? _lods[i] : 0xFFFFFFFFu; }
    const Array<NodeRef> &node_references() const { return _node_refs; }
    u32 actor_count() const { return _actors.size(); }
    PhysicsActor *actor(u32 i) const { return i < _actors.size() ? _actors[i] : nullptr; }
    u32 joint_count() const { return _joints.size(); }
    PhysicsJoint *joint(u32 i) const { return i < _joints.size() ? _joints[i] : nullptr; }
    PhysicsMover *mover() const { return _mover; }
    AnimationBlender *blender() const { return _blender; }
    AnimationStateMachine *state_machine() const { return _state_machine; }

    /// The game-side camera, light or mesh `i` (scene graph poses move them; these set
    /// their own properties). Null when out of range, not made (a mesh without geometry),
    /// or the world has no render world. Valid until the unit is destroyed or reloaded.
    Camera *camera(u32 i) const;
    Light *light(u32 i) const;
    Mesh *mesh(u32 i) const;
    /// The unit's box: oriented by its root node, holding every mesh's local box placed by
    /// its node (meshes without geometry add nothing; a unit without any is a point at the
    /// root).
    OrientedBox box() const;

    /// Index of the record of that name id, or -1.
    i32 find_mesh(u32 name_id) const;
    i32 find_camera(u32 name_id) const;
    i32 find_light(u32 name_id) const;
    i32 find_actor_index(u32 name_id) const;
    i32 find_joint_index(u32 name_id) const;

    /// Creates actor template `i` at its node's pose (no-op when it exists or is out of range).
    void create_actor(u32 i);
    void destroy_actor(u32 i);
    /// Creates joint template `i` (no-op when it exists or is out of range); a joint that
    /// names an actor the unit does not have is not created (logged).
    void create_joint(u32 i);
    void destroy_joint(u32 i);
    /// Makes `joint` (made by the caller in this unit's physics world) the joint of slot
    /// `i`; false (nothing changes) when the slot is out of range or holds one already.
    bool adopt_joint(u32 i, PhysicsJoint *joint);
    /// Actors (created flag set), joints, mover and collision pairs again / all destroyed.
    void enable_physics();
    void disable_physics();
    /// Starts the state machine named by the resource, or `name` (a "state_machine"
    /// resource name id; 0 for the resource's). Needs a blender.
    void set_animation_state_machine(u64 name = 0);
    /// Destroys the state machine and stops what the blender plays.
    void disable_animation_state_machine();
    /// Shows or hides the meshes of the resource's visibility group; false when the unit
    /// has no group of that name.
    bool set_visibility(u32 group_name_id, bool visible);
    /// Shows or hides every mesh.
    void set_all_visible(bool visible);

    /// Holds a reference on the loaded resource (type, name) for as long as the unit lives
    /// (in place of the one it held, let go once the render side is past it): the resource
    /// it was built from stays loaded while the unit points into it, even when the package
    /// it came from is unloaded. `init`
    /// holds the unit resource when it is the resource manager's; a unit built from data
    /// inside another resource (a level's prototype) holds that one. No-op without a
    /// resource manager or when (type, name) is not loaded.
    void hold_resource(NameId64 type, NameId64 name);
    /// Holds the "material" resource `name` when `data` is its loaded data (the material
    /// the unit's meshes draw with, which the render side reads after the spawn).
    void hold_material(NameId64 name, const void *data);

    /// Rebuilds the unit from `resource` where it stands, keeping its handle; physics off
    /// stays off, no state machine stays none, and all-kinematic dynamic actors stay so.
    bool reload(const UnitResource &resource);

  private:
    friend class World;

    void build(const Matrix4x4 &pose);
    void release_components();
    PhysicsActor *make_actor(u32 i, const Matrix4x4 &spawn_pose);
    PhysicsJoint *make_joint(u32 i, const Matrix4x4 &spawn_pose);
    void apply_collision_pairs();
    void enable_physics_at(const Matrix4x4 &pose);

    u32 _type_tag = unit_type_tag; // first: script bindings read it at offset 0
    TraceAllocator _allocator;
    World *_world;
    const UnitResource *_resource;
    const void *_material;
    SceneGraph _graph;
    Array<NodeRef> _node_refs;
    Array<u32> _meshes; // render handles, no_render_handle for meshes not created
    Array<u32> _lods;
    Array<u32> _cameras;
    Array<u32> _lights;
    Array<PhysicsActor *> _actors;
    Array<PhysicsJoint *> _joints;
    PhysicsMover *_mover = nullptr;
    AnimationBlender *_blender = nullptr;
    AnimationStateMachine *_state_machine = nullptr;
    ChunkStore _data;
    u32 _update_index = unit_not_listed;
    u32 _awake_index = unit_not_listed;
    u32 _linked_index = unit_not_listed;
    u32 _awake_until = 0;
    Unit *_parent = nullptr;
    UnitHandle _handle = null_unit_handle;
    Array<u8> _flow_variables;
    Matrix4x4 _spawn_pose = matrix4x4_identity;
    ResourceHold _held;          // the unit resource, or the resource it lives inside
    ResourceHold _held_material; // the "material" its meshes draw with
    ResourceHold _held_machine;  // the "state_machine" its state machine runs
};

} // namespace tallow
