#pragma once
// A World's physics: one scene of our physics layer with the engine's bookkeeping around it.
// The World makes it when it is constructed (through its physics service), steps it once
// per update, walks its event stream afterwards and destroys it with itself. z is up:
// gravity points along -z.
//
//   PhysicsWorld *pw = sdk.create_world(&world);        // physics/physics_sdk.h
//   PhysicsActor *a = pw->create_actor({resource, &resource->actors[0], pose, unit});
//   pw->update(1 / 60.0f);   // kinematic actors follow their nodes, the scene steps,
//                            // awake actors' poses go to their nodes, reports -> events
//   walk_world_events(*pw->event_stream(), ...);         // world/world_events.h
//   sdk.destroy_world(pw);
//
// Actor records come from a pool in blocks of 1024 and are named outside by weak ids
// {index, serial}: an id taken before its actor is destroyed resolves to nothing
// afterwards, also when the record is reused. The awake and kinematic lists are dense
// arrays with back-indices in the records (constant-time removal); `validate` checks them.
//
// The step, in order: (1) kinematic actors with a node take the node's pose (a teleport
// flag makes it a hard set, once); (2) the scene steps dt in fixed 1/240 s sub-steps (at
// most 4) and its reports become event records: actor woke, contact start/end, trigger
// enter/leave/stay (world/world_events.h payloads); (3) debug lines are taken when switched
// on; (4) each awake actor's pose becomes its node's world pose (local = world x
// inverse(parent world)), the node flagged as changed.
//
// Main thread (the World's) only; the reports arrive inside update on that thread.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"
#include "physics/physics_properties.h"
#include "physics/physics_task_scheduler.h"
#include "platform/physics/physics_layer.h"
#include "world/world_events.h"
#include "world/world_services.h"

namespace tallow {

class PhysicsSdk;
class PhysicsWorld;
class SceneGraph;
class Unit;
class World;

constexpr u32 physics_actor_tag = 0x1CC84619u;
constexpr u32 physics_no_index = 0xFFFFFFFFu;
constexpr u32 physics_actor_block = 1024;
/// Every primitive size grows by this much when its shape is made (a skin).
constexpr f32 physics_shape_skin = 0.025f;

/// The 128-bit groups mask of a filter: belongs_to low/high, collides_with low/high.
px::GroupsMask groups_mask(const CollisionFilter &filter);

/// The engine's record of one scene actor; the layer actor's user data points at it.
struct PhysicsActor {
    u32 tag = 0; // physics_actor_tag while alive, 0 once freed
    PhysicsWorld *world = nullptr;
    PhysicsActor *next_free = nullptr;
    SceneGraph *scene_graph = nullptr; // the unit's scene graph, or null
    u32 node = 0;                      // in scene_graph
    Matrix4x4 actor_in_node = matrix4x4_identity; // the actor's pose relative to its node
    Matrix4x4 node_in_actor = matrix4x4_identity; // its inverse
    UnitHandle unit = 0;
    u32 actor_index = 0; // in its unit's resource, or the level's trigger volume index
    bool level_actor = false;
    u32 awake_index = physics_no_index;
    u32 kinematic_index = physics_no_index;
    u32 serial = physics_no_index; // given on first use as an id
    u32 pool_index = 0;            // block << 10 | slot
    u32 targets[5] = {physics_no_index, physics_no_index, physics_no_index, physics_no_index, physics_no_index};
    u8 teleport = 0; // the next step hard-sets the pose of this kinematic actor, then clears it
    px::Actor *actor = nullptr;
};

class PhysicsWorld final : public IPhysicsWorld, public px::ISceneCallbacks {
  public:
    /// `world` may be null (tests): actors then carry no unit.
    PhysicsWorld(Allocator &allocator, PhysicsSdk &sdk, World *world);
    ~PhysicsWorld() override;

    /// Makes the scene; false when the layer refused (logged). Run by PhysicsSdk::create_world.
    [[nodiscard]] bool create_scene();
    /// Releases every actor and the scene. Run by PhysicsSdk::destroy_world.
    void destroy_pending();

    // See IPhysicsWorld
    void update(f32 dt) override;
    PhysicsActor *create_actor(const ActorCreateParams &params) override;
    void destroy_actor(PhysicsActor *actor) override;
    bool is_dynamic(const PhysicsActor *actor) const override;
    bool is_sleeping(const PhysicsActor *actor) const override;
    bool is_kinematic(const PhysicsActor *actor) const override;
    void set_kinematic(PhysicsActor *actor, bool kinematic) override;
    PhysicsJoint *create_joint(const JointCreateParams &params) override;
    void destroy_joint(PhysicsJoint *joint) override;
    PhysicsMover *create_mover(const MoverCreateParams &params) override;
    void destroy_mover(PhysicsMover *mover) override;
    void set_pair_collision(PhysicsActor *a, PhysicsActor *b, bool collide) override;
    Array<u8> *event_stream() override { return &_events; }
    bool resolve_actor(PhysicsActorId id, PhysicsActorInfo &out) const override;
    bool resolve_mover(u32, PhysicsMoverInfo &) const override { return false; }
    PhysicsActor *create_trigger_volume(const TriggerVolumeParams &params) override;
    bool raycast(const Vector3 &origin, const Vector3 &direction, f32 length, Vector3 &out_hit) const override;

    /// An actor from layer shape descriptions (spawned actors, tests): the template flags
    /// and payload as the properties give them; `targets` may be null. Null when refused.
    PhysicsActor *create_actor_from(const ActorTemplate &actor, const px::ShapeDesc *shapes, u32 shape_count,
                                    const Matrix4x4 &pose, const u32 *targets);
    /// Makes kinematic (true) or dynamic again (false); a static actor is left alone.
    void set_kinematic_flag(PhysicsActor *actor, bool kinematic);
    void clear_kinematic(PhysicsActor *actor) { set_kinematic_flag(actor, false); }
    /// Sets the filter on every shape of the actor; a static actor's change is counted.
    void set_collision_filter(PhysicsActor *actor, const CollisionFilter &filter);
    /// The id the World and events use; gives the actor its serial on first use.
    PhysicsActorId id_of(PhysicsActor *actor);
    /// The live actor an id names, or null.
    PhysicsActor *resolve(PhysicsActorId id) const;

    /// Index of the layer material for six values; equal values share one.
    u32 material_index(const PhysicsMaterial &material);

    void set_debug_lines(bool on);
    /// The lines of the last step (when switched on).
    const Array<px::DebugLine> &debug_lines() const { return _lines; }

    px::IScene *scene() const { return _scene; }
    /// Runs layer tasks on the SDK's thread pool (the Bullet scene steps on the calling
    /// thread and is given none).
    PhysicsTaskScheduler &scheduler() { return _scheduler; }
    /// The World this physics world belongs to (null in tests).
    World *owner() const { return _world; }
    u32 static_changes() const { return _static_changes; }
    const Array<PhysicsActor *> &awake_actors() const { return _awake; }
    const Array<PhysicsActor *> &kinematic_actors() const { return _kinematic; }
    u32 actor_count() const { return _live_actors; }
    /// True when the lists and their back-indices agree.
    bool validate() const;

    // See px::ISceneCallbacks
    void on_wake(px::Actor *const *actors, u32 count) override;
    void on_sleep(px::Actor *const *actors, u32 count) override;
    void on_contact(const px::ContactPair &pair, u32 events) override;
    void on_trigger(px::Actor *trigger, px::Actor *other, u32 status) override;

  private:
    PhysicsActor *allocate_record();
    void free_record(PhysicsActor *record);
    static void list_add(Array<PhysicsActor *> &list, u32 PhysicsActor::*index, PhysicsActor *a);
    static void list_remove(Array<PhysicsActor *> &list, u32 PhysicsActor::*index, PhysicsActor *a);
    px::Mesh *mesh_for(const u8 *bytes, u32 size, bool convex);
    PhysicsActor *record_of(px::Actor *actor) const;

    struct MaterialEntry {
        PhysicsMaterial material;
        u32 index = 0;
    };
    struct MeshEntry {
        u64 key = 0;
        px::Mesh *mesh = nullptr;
    };

    TraceAllocator _allocator; // "physics_world"
    PhysicsSdk &_sdk;
    World *_world;
    px::IScene *_scene = nullptr;
    Array<PhysicsActor *> _blocks;
    u32 _used_in_newest = physics_actor_block;
    PhysicsActor *_free = nullptr;
    u32 _next_serial = 1;
    u32 _live_actors = 0;
    Array<PhysicsActor *> _awake;
    Array<PhysicsActor *> _kinematic;
    Array<u8> _events;
    Array<px::DebugLine> _lines;
    bool _debug = false;
    u32 _static_changes = 0;
    Array<MaterialEntry> _materials; // sorted by the six values, compared in order
    Array<MeshEntry> _meshes;
    PhysicsTaskScheduler _scheduler;
    bool _said_no_joints = false;
    bool _said_no_movers = false;
};

} // namespace tallow
