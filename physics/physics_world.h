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
// inverse(parent world); a linked root's parent world is the matrix it took from the node
// it is linked under), the node flagged as changed, and its unit put in the World's awake
// list so that the World brings the unit's other nodes along and reflects it this frame.
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
#include "world/services/world_services.h"

namespace tallow {

class LineObject;
class PhysicsSdk;
class PhysicsWorld;
class SceneGraph;
class Unit;
class World;

constexpr u32 physics_actor_tag = 0x1CC84619u;
constexpr u32 physics_no_index = 0xFFFFFFFFu;
constexpr u32 physics_actor_block = 1024;
/// Every primitive size grows by this much when its shape is made, and every shape may sink
/// this deep into what it touches (its skin width): two grown shapes at rest just meet.
constexpr f32 physics_shape_skin = 0.025f;

/// The 128-bit groups mask of a filter: belongs_to low/high, collides_with low/high.
px::GroupsMask groups_mask(const CollisionFilter &filter);

/// The engine's record of one scene actor; the layer actor's user data points at it.
/// Scripts hold its address; it begins like every script-visible actor: tag, a word of
/// ours, the actor's name id.
struct PhysicsActor {
    u32 tag = 0;        // physics_actor_tag while alive, 0 once freed
    u32 pool_index = 0; // block << 10 | slot
    u32 name = 0;       // NameId32 of its unit template (0 for spawned and level actors)
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
    u32 targets[5] = {physics_no_index, physics_no_index, physics_no_index, physics_no_index, physics_no_index};
    u8 teleport = 0; // the next step hard-sets the pose of this kinematic actor, then clears it
    px::Actor *actor = nullptr;
};

constexpr u32 physics_joint_tag = 0x4A0E1A7Bu;
constexpr u32 physics_mover_tag = 0xC0FE81E1u;

/// The engine's record of a joint; the layer joint's user data points at it.
struct PhysicsJoint {
    u32 tag = physics_joint_tag; // 0 once freed
    PhysicsWorld *world = nullptr;
    px::Joint *joint = nullptr;
    bool broken = false; // broke in a step (reported once in the log); holds nothing now
};

/// A character mover: a capsule controller of the layer and what its moves found.
struct PhysicsMover {
    u32 tag = physics_mover_tag; // 0 once freed
    PhysicsWorld *world = nullptr;
    UnitHandle unit = 0;
    u32 id = 0; // the u32 events and resolve_mover name it by: generation << 16 | slot
    u32 shape_hit_target = physics_no_index;
    u32 mover_hit_target = physics_no_index;
    bool standing = false;            // what the last move answered
    u32 collision = 0;                // px::ControllerCollision bits of the last move
    u32 standing_frames = 0;
    u32 flying_frames = 0;
    u32 static_changes = 0;           // the world's count when the mover last looked
    px::Controller *controller = nullptr;
    CollisionFilter filter;
    f32 radius = 0;
    f32 height = 0; // of the capsule's cylinder
};

// Queries ----------------------------------------------------------------------------------

/// One hit of an all-hits ray (36 bytes).
struct RaycastHit {
    Vector3 position;
    Vector3 normal;
    f32 distance = 0;
    PhysicsActorId actor;
};
static_assert(sizeof(RaycastHit) == 36);

struct PhysicsRay {
    Vector3 origin;
    Vector3 direction; // unit length
    f32 length = 0;    // may be FLT_MAX: the whole ray
};

/// Which actors a query sees: px::QueryShapes, and a filter ({0, all}: every shape that
/// belongs to any group).
struct QuerySettings {
    u32 shapes = px::query_all;
    CollisionFilter filter{0, ~0ull};
};

enum class RaycastMode : u32 { Any = 0, Closest = 1, All = 2 };

struct RaycastResult;
struct OverlapResult;
/// Called in a later update with the answer of a batched query; main thread.
using RaycastCallback = void (*)(PhysicsWorld &world, const RaycastResult &result);
using OverlapCallback = void (*)(PhysicsWorld &world, const OverlapResult &result);

/// A raycast's answer. Left as the caller set it when nothing is hit (but `hit`).
struct RaycastResult {
    explicit RaycastResult(Allocator &allocator) : hits(allocator) {}
    void *user = nullptr;              // the caller's
    RaycastCallback callback = nullptr; // null: answered at once
    RaycastMode mode = RaycastMode::Closest;
    bool hit = false;
    Vector3 position, normal;  // the closest hit
    f32 distance = 0;
    PhysicsActorId actor{physics_no_index, physics_no_index};
    Array<RaycastHit> hits; // all hits (in the layer's order)
};

enum class OverlapShapeKind : u32 { Sphere = 0, Aabb = 1, Obb = 2, Capsule = 3 };

/// An overlap shape as scripts give it: a kind, a pose and three extents. Sphere: radius =
/// the largest extent; boxes: half extents; capsule: radius = the larger of x and z, half
/// its length = y - radius (at least 0), along the pose's y axis.
struct OverlapDesc {
    OverlapShapeKind kind = OverlapShapeKind::Sphere;
    Matrix4x4 pose = matrix4x4_identity;
    Vector3 extents{1, 1, 1};
};

struct OverlapResult {
    explicit OverlapResult(Allocator &allocator) : actors(allocator) {}
    void *user = nullptr;
    OverlapCallback callback = nullptr; // null: answered at once
    Array<PhysicsActorId> actors;      // each actor once, in the order its shapes came
};

/// Shapes a synchronous overlap reports at most.
constexpr u32 physics_overlap_limit = 300;

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
    bool resolve_mover(u32 id, PhysicsMoverInfo &out) const override;
    PhysicsActor *create_trigger_volume(const TriggerVolumeParams &params) override;
    bool raycast(const Vector3 &origin, const Vector3 &direction, f32 length, Vector3 &out_hit) const override;

    // Queries (physics/physics_queries.cpp). With a null callback the answer is in
    // `result` at once; else the query is recorded, run at the start of the next update and
    // answered through the callback at the start of the update after it (never inside the
    // call that asked). False when a batched query cannot be recorded (out of memory).
    bool raycast_any(const PhysicsRay &ray, const QuerySettings &settings, RaycastResult &result);
    bool raycast_closest(const PhysicsRay &ray, const QuerySettings &settings, RaycastResult &result);
    bool raycast_all(const PhysicsRay &ray, const QuerySettings &settings, RaycastResult &result);
    bool overlap(const OverlapDesc &shape, const QuerySettings &settings, OverlapResult &result);
    /// Batched queries not yet answered.
    u32 pending_queries() const { return _collecting.size() + _executing.size(); }
    /// Drops the callbacks of every pending query of `user` in every live world: their
    /// records are freed without an answer. For owners that go first (script objects).
    static void cancel_queries(const void *user);
    /// The live world whose actor record this is, or null (any pointer may be passed).
    static PhysicsActor *find_actor(const void *pointer);
    /// The same for movers.
    static PhysicsMover *find_mover(const void *pointer);

    // Joints and movers (physics/physics_joints_movers.cpp).
    /// A joint from a template between two actors (null: the world), as given.
    PhysicsJoint *create_joint_from(const JointTemplate &joint, PhysicsActor *a, PhysicsActor *b);
    /// A mover from a template, feet at `feet`; null when refused (logged).
    PhysicsMover *create_mover_from(const MoverTemplate &mover, const Vector3 &feet, UnitHandle unit);
    /// Moves and counts standing and flying frames; answers standing.
    bool move_mover(PhysicsMover *mover, const Vector3 &displacement);
    void set_mover_collision_filter(PhysicsMover *mover, const CollisionFilter &filter);
    /// The feet position.
    Vector3 mover_position(const PhysicsMover *mover) const;
    void set_mover_position(PhysicsMover *mover, const Vector3 &feet);
    u32 joint_count() const { return _joints.size(); }
    u32 mover_count() const;

    /// A one-shape actor from named templates of the current physics properties (spawned
    /// boxes and spheres); null when a name is not there (logged) or the layer refuses.
    PhysicsActor *spawn_actor(const px::ShapeDesc &shape, const Matrix4x4 &pose, u32 actor_template,
                              u32 shape_template, u32 material);

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

    /// Switched on, every step's debug lines of the actors' shapes are kept here and, in a
    /// world, drawn through a line object of the world's made for them (and destroyed
    /// when they are switched off or the physics world goes).
    void set_debug_lines(bool on);
    /// The lines of the last step (when switched on).
    const Array<px::DebugLine> &debug_lines() const { return _lines; }
    /// The world's line object that holds them (null when off or without a world).
    const LineObject *debug_line_object() const { return _line_object; }

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
    /// Every live actor in pool order (pose; sleeping and velocities when dynamic), then
    /// every mover by slot (position, standing). See IPhysicsWorld.
    void hash_state(StateHasher &hasher) const override;

    // See px::ISceneCallbacks
    void on_wake(px::Actor *const *actors, u32 count) override;
    void on_sleep(px::Actor *const *actors, u32 count) override;
    void on_contact(const px::ContactPair &pair, u32 events) override;
    void on_trigger(px::Actor *trigger, px::Actor *other, u32 status) override;
    void on_joint_break(px::Joint *joint) override;
    void on_controller_hit(const px::ControllerHit &hit) override;

  private:
    struct QueryRecord;
    void answer_queries();
    void run_query(QueryRecord &record);
    void free_query(QueryRecord *record);
    bool record_raycast(const PhysicsRay &ray, const QuerySettings &settings, RaycastResult &result, RaycastMode mode);
    void raycast_now(const PhysicsRay &ray, const QuerySettings &settings, RaycastMode mode, RaycastResult &result);
    void overlap_now(const OverlapDesc &shape, const QuerySettings &settings, OverlapResult &result);
    void release_joints_and_movers();
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
    LineObject *_line_object = nullptr; // in _world's line objects, while debug lines are on
    bool _debug = false;
    u32 _static_changes = 0;
    Array<MaterialEntry> _materials; // sorted by the six values, compared in order
    Array<MeshEntry> _meshes;
    PhysicsTaskScheduler _scheduler;
    Array<PhysicsJoint *> _joints;
    Array<PhysicsMover *> _movers;   // by slot; null: free
    Array<u16> _mover_generations;   // by slot
    Array<QueryRecord *> _collecting; // asked since the last update
    Array<QueryRecord *> _executing;  // run at the last update, answered at the next
    Array<QueryRecord *> _answering;  // being answered (null once done)
    PhysicsWorld *_next_live = nullptr; // the list of live worlds (main thread)
    static PhysicsWorld *live_worlds;
};

} // namespace tallow
