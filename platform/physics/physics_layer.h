#pragma once
// Our rigid-body physics layer: an SDK that makes scenes and meshes, scenes that hold actors
// made of shapes, 128-bit group filtering, kinematic targets and teleports, pair ignores,
// debug lines, and the reports a step produces (wake, sleep, contact, trigger) delivered to a
// callback interface on the stepping thread. Two backends: Bullet (physics_bullet.cpp) and a
// recording fake for engine-side tests (physics_recording.h).
//
//   px::ISdk *sdk = px::create_bullet_sdk(allocator, &errors);     // null: cannot be made
//   px::SceneDesc sd; sd.gravity = {0, 0, -9.82f}; sd.callbacks = &report;
//   px::IScene *scene = sdk->create_scene(sd);
//   px::ShapeDesc box; box.kind = px::ShapeKind::Box; box.size = {0.5f, 0.5f, 0.5f};
//   px::ActorDesc ad; ad.shapes = &box; ad.shape_count = 1; ad.dynamic = true; ad.mass = 1;
//   px::Actor *a = scene->create_actor(ad);                        // null: refused (logged)
//   scene->simulate(1 / 60.0f); scene->fetch_results();            // reports arrive in here
//   Matrix4x4 pose = scene->global_pose(a);
//   scene->release_actor(a); sdk->release_scene(scene); px::release_sdk(sdk);
//
// What a new backend implements: ISdk and IScene below, reporting through ISceneCallbacks
// with the rules written at each call. Everything runs on the thread that owns the scene;
// the callbacks run inside fetch_results (wake and sleep, contacts, triggers), in a fixed
// order, so the same calls give the same reports.
//
// Poses are engine matrices: rotation rows 0-2, translation row 3, z up.

#include "foundation/math/matrix4x4.h"
#include "foundation/math/vector3.h"
#include "foundation/types.h"

namespace tallow {

class Allocator;

namespace px {

/// The 128-bit group mask of a shape: bits[0..1] what it belongs to (low, high), bits[2..3]
/// what it collides with. Two shapes collide exactly when (A.belongs & B.collides) |
/// (A.collides & B.belongs) is not zero; queries use the same rule.
struct GroupsMask {
    u32 bits[4] = {};
};

/// True when two masks pass the filter rule.
bool groups_collide(const GroupsMask &a, const GroupsMask &b);

enum class ShapeKind : u32 { Sphere = 0, Box = 1, Capsule = 2, TriangleMesh = 3, ConvexMesh = 4 };

/// Shape flags (the engine's numbering).
enum ShapeFlag : u32 {
    shape_disable_collision = 1,
    shape_disable_raycasting = 2,
    shape_disable_response = 4,
    shape_disable_scene_queries = 8,
    shape_smooth_mesh = 16,
    shape_ccd = 32, // swept each sub-step it moves far, so it cannot pass through thin walls
    shape_trigger = 64,
};

/// Trigger status bits a trigger shape reports (set per shape at creation).
enum TriggerStatus : u32 { trigger_on_enter = 1, trigger_on_leave = 2, trigger_on_stay = 4 };

/// Contact report flags of an actor: start and end of touch, and forces.
enum ContactFlag : u32 { notify_on_start_touch = 2, notify_on_end_touch = 4, notify_forces = 128 };

/// Body flags.
enum BodyFlag : u32 { body_disable_gravity = 1, body_kinematic = 128 };

/// A mesh made from our cooked bytes (platform/physics/cooked_mesh.h); owned by the SDK.
struct Mesh;

/// Two touching shapes use the average of their materials' frictions: the static one while
/// they stick, the dynamic one while they slide.
struct Material {
    f32 static_friction = 0.5f;
    f32 restitution = 0.0f;
    f32 dynamic_friction = 0.5f;
};

struct ShapeDesc {
    ShapeKind kind = ShapeKind::Sphere;
    Vector3 size;              // sphere: x radius; box: half extents; capsule: x radius, y height
    const Mesh *mesh = nullptr; // the two mesh kinds
    Matrix4x4 local_pose = matrix4x4_identity;
    GroupsMask groups;
    u32 flags = 0;          // ShapeFlag
    u32 trigger_status = 0; // TriggerStatus bits, for a trigger shape
    f32 density = 1.0f;
    u32 material = 0;       // from IScene::create_material; 0 is the default material
    /// How deep the shape may sink into what it touches: two touching shapes come to rest
    /// overlapping by the sum of their skins (shapes made that much larger then meet).
    f32 skin_width = 0;
};

struct ActorDesc {
    const ShapeDesc *shapes = nullptr;
    u32 shape_count = 0;
    Matrix4x4 pose = matrix4x4_identity;
    bool dynamic = false;
    /// > 0: the body's mass; else the mass comes from the shapes' densities and volumes
    /// (times `density`). The body turns about the centre of mass of its shapes, unless
    /// `inertia` is given: then about the actor's origin.
    f32 mass = 0;
    f32 density = 1.0f;
    Vector3 inertia;      // mass-space inertia; zero: from the shapes
    f32 linear_damping = 0;
    f32 angular_damping = 0.05f;
    u32 body_flags = 0;   // BodyFlag
    bool disable_collision = false;
    bool disable_response = false;
    void *user_data = nullptr;
};

/// An actor of a scene; backends derive from it. `user_data` is the caller's.
struct Actor {
    void *user_data = nullptr;
};

/// How add_force, add_force_at_position and add_torque apply their vector: a force (or
/// acceleration) spread over the next step, or at once as an impulse or a velocity change.
/// The smoothed kinds act like the plain ones here.
enum class ForceMode : u32 {
    Force = 0,
    Impulse = 1,
    VelocityChange = 2,
    SmoothImpulse = 3,
    SmoothVelocityChange = 4,
    Acceleration = 5,
};

/// Which actors a query sees.
enum QueryShapes : u32 { query_statics = 1, query_dynamics = 2, query_all = 3 };

/// One ray hit. `actor` is null for something in the scene that is not an actor: a
/// character controller's capsule (rays see controllers as dynamic shapes of the
/// controller's groups; overlaps never report them, having no actor to name).
struct RayHit {
    Actor *actor = nullptr;
    Vector3 point;
    Vector3 normal;
    f32 distance = 0;
};

/// Receives the hits of raycast_all, in the backend's order; answer false to stop.
class IRayHitReport {
  public:
    virtual ~IRayHitReport() = default;
    virtual bool on_hit(const RayHit &hit) = 0;
};

enum class OverlapKind : u32 { Sphere = 0, Aabb = 1, Obb = 2, Capsule = 3 };

/// A shape to test for overlap. Sphere: `center`, `radius`. Aabb: `center`, `half_extents`.
/// Obb: `center`, `half_extents`, `rotation` (rows are the box's axes). Capsule: the
/// segment `p0`-`p1` and `radius`.
struct OverlapShape {
    OverlapKind kind = OverlapKind::Sphere;
    Vector3 center;
    Vector3 half_extents;
    Matrix4x4 rotation = matrix4x4_identity;
    Vector3 p0, p1;
    f32 radius = 0;
};

/// A joint of a scene; backends derive from it. `user_data` is the caller's.
struct Joint {
    void *user_data = nullptr;
};

enum class JointType : u32 {
    Spherical = 0,
    Revolute = 1,
    Prismatic = 2,
    Cylindrical = 3,
    Fixed = 4,
    Distance = 5,
    PointInPlane = 6,
    PointOnLine = 7,
};

struct JointSpring {
    bool on = false;
    f32 spring = 0, damper = 0, target = 0;
};

/// A joint between two actors (either may be null: that side is fixed in the world, and
/// its frame is given in world space). Each side's frame: the anchor, the axis (the
/// joint's first direction: the hinge of a revolute joint, the slide of a prismatic one,
/// the twist of a spherical one, the normal of point-in-plane and the line of
/// point-on-line) and a normal at right angles to it, in that actor's frame.
struct JointDesc {
    JointType type = JointType::Fixed;
    Actor *actors[2] = {};
    Vector3 anchors[2];
    Vector3 axes[2] = {{1, 0, 0}, {1, 0, 0}};
    Vector3 normals[2] = {{0, 1, 0}, {0, 1, 0}};
    /// The joint breaks when its force or torque goes above these (infinite: never); it is
    /// then reported once (ISceneCallbacks::on_joint_break) and holds nothing, until
    /// released.
    f32 max_force = 3.4e38f, max_torque = 3.4e38f;
    // Revolute: the angle about the axis; spherical: the twist about the axis.
    bool limit = false;
    f32 limit_low = 0, limit_high = 0;
    // Spherical: the swing of the axis away from its rest direction, in radians (a cone).
    bool swing_limit = false;
    f32 swing = 0;
    // Revolute: a motor driving the angular velocity about the axis.
    bool motor = false;
    f32 motor_velocity = 0, motor_max_force = 0;
    // Revolute: spring about the axis; spherical: twist, swing and whole-joint springs (the
    // whole-joint one lets the anchors part, pulling them together); distance: along the
    // line between the anchors.
    JointSpring spring, swing_spring, joint_spring;
    // Distance: the range of the anchors' distance.
    bool min_distance_on = false, max_distance_on = false;
    f32 min_distance = 0, max_distance = 0;
    void *user_data = nullptr;
};

/// A capsule character controller, upright along +z; backends derive from it.
struct Controller {
    void *user_data = nullptr;
};

struct ControllerDesc {
    f64 position[3] = {}; // the capsule's centre
    f32 radius = 0.5f;
    f32 height = 1.0f;       // of the cylinder between the two half spheres; above zero
    f32 slope_limit = 0.707f; // cosine of the steepest ground walked on; 0: any
    f32 step_offset = 0.5f;   // steps up to this height are climbed
    f32 skin_width = 0.1f;    // distance kept from what it touches
    /// What its capsule belongs to and collides with, for the bodies it pushes and the
    /// rays that see it; each move's groups replace it.
    GroupsMask groups;
    void *user_data = nullptr;
};

/// Collision flags a move answers.
enum ControllerCollision : u32 { collision_sides = 1, collision_up = 2, collision_down = 4 };

/// What a controller's move touched.
struct ControllerHit {
    Controller *controller = nullptr;
    Actor *actor = nullptr;           // the actor hit (null when `other` is set)
    Controller *other = nullptr;      // the controller hit
    f64 position[3] = {};
    Vector3 normal;
    Vector3 direction;                // of the motion
    f32 length = 0;                   // of the motion
};

/// What a contact report carries for a pair of actors.
struct ContactPair {
    Actor *actors[2] = {};
    bool deleted[2] = {};  // an actor released during the step (the pair is reported, marked)
    bool has_point = false;
    Vector3 point;         // the first contact point; meaningful only with has_point
    /// Summed over the pair's contacts: the impulses of the step over its simulated time
    /// (so an impact shows as the force that stopped it).
    Vector3 normal_force;
    Vector3 friction_force;
};

/// The reports of a step. A backend calls them inside fetch_results on the scene's thread,
/// in a fixed order: sleeps, wakes, contacts, triggers; pairs sorted by actor creation order.
class ISceneCallbacks {
  public:
    virtual ~ISceneCallbacks() = default;
    virtual void on_wake(Actor *const *actors, u32 count) = 0;
    virtual void on_sleep(Actor *const *actors, u32 count) = 0;
    /// `events`: ContactFlag start and/or end bits; only for pairs where an actor asked for
    /// them (set_contact_report_flags).
    virtual void on_contact(const ContactPair &pair, u32 events) = 0;
    /// `status`: one TriggerStatus bit; only the bits the trigger shape was given.
    virtual void on_trigger(Actor *trigger, Actor *other, u32 status) = 0;
    /// A joint broke during the step; reported once. The joint stays until released.
    virtual void on_joint_break(Joint *) {}
    /// A controller's move touched something; called inside move_controller.
    virtual void on_controller_hit(const ControllerHit &) {}
};

/// A debug line.
struct DebugLine {
    Vector3 from, to;
    u32 color = 0; // 0xRRGGBB
};

class IScheduler;

struct SceneDesc {
    Vector3 gravity = {0, 0, -9.82f};
    f32 sub_step_s = 1.0f / 240; // fixed sub-steps
    u32 max_sub_steps = 4;       // per simulate; time beyond is dropped
    ISceneCallbacks *callbacks = nullptr;
    /// Where the step posts its parallel work (null: all of it on the calling thread), and
    /// how many threads run those tasks.
    IScheduler *scheduler = nullptr;
    u32 scheduler_threads = 0;
};

class IScene {
  public:
    virtual ~IScene() = default;
    /// Index of a material for shape descriptions; equal materials are not shared here.
    virtual u32 create_material(const Material &material) = 0;
    /// Null when the description is unsound (no shapes, a size not above zero or not
    /// finite, a mesh kind without a mesh, a triangle mesh on a dynamic actor); logged.
    virtual Actor *create_actor(const ActorDesc &desc) = 0;
    /// The actor is gone at once; a report of this step still naming it marks it deleted.
    virtual void release_actor(Actor *actor) = 0;
    virtual bool is_dynamic(const Actor *actor) const = 0;
    virtual bool is_sleeping(const Actor *actor) const = 0;
    virtual bool read_body_flag(const Actor *actor, BodyFlag flag) const = 0;
    virtual void raise_body_flag(Actor *actor, BodyFlag flag) = 0;
    virtual void clear_body_flag(Actor *actor, BodyFlag flag) = 0;
    virtual Matrix4x4 global_pose(const Actor *actor) const = 0;
    /// Teleports: no velocity is inferred from the jump.
    virtual void set_global_pose(Actor *actor, const Matrix4x4 &pose) = 0;
    /// A kinematic actor's target for the next simulate; it moves there over the step,
    /// pushing what it meets.
    virtual void move_global_pose(Actor *actor, const Matrix4x4 &pose) = 0;
    virtual Vector3 linear_velocity(const Actor *actor) const = 0;
    virtual void set_linear_velocity(Actor *actor, const Vector3 &velocity) = 0;
    /// Sets the mask on every shape of the actor; existing pairs that the new mask refuses
    /// end at the next step.
    virtual void set_groups_mask(Actor *actor, const GroupsMask &mask) = 0;
    virtual void set_contact_report_flags(Actor *actor, u32 flags) = 0;
    /// Contacts between the two actors are ignored from now on.
    virtual void ignore_pair(Actor *a, Actor *b) = 0;
    /// Steps `dt` seconds in fixed sub-steps (the remainder carries over).
    virtual void simulate(f32 dt) = 0;
    /// Delivers the step's reports to the callbacks.
    virtual void fetch_results() = 0;

    // Actor state. Calls on an actor that is not dynamic read zero and change nothing.
    virtual bool collision_disabled(const Actor *actor) const = 0;
    /// Switches all contacts and query hits of the actor off (or on again).
    virtual void set_collision_disabled(Actor *actor, bool disabled) = 0;
    virtual f32 mass(const Actor *actor) const = 0;
    virtual f32 linear_damping(const Actor *actor) const = 0;
    virtual f32 angular_damping(const Actor *actor) const = 0;
    virtual void set_damping(Actor *actor, f32 linear, f32 angular) = 0;
    virtual Vector3 angular_velocity(const Actor *actor) const = 0;
    virtual void set_angular_velocity(Actor *actor, const Vector3 &velocity) = 0;
    /// Velocity of the body at a world point.
    virtual Vector3 point_velocity(const Actor *actor, const Vector3 &point) const = 0;
    /// Forces act on a dynamic actor that is not kinematic; `wake` wakes it.
    virtual void add_force(Actor *actor, const Vector3 &force, ForceMode mode, bool wake) = 0;
    virtual void add_force_at_position(Actor *actor, const Vector3 &force, const Vector3 &position, ForceMode mode,
                                       bool wake) = 0;
    virtual void add_torque(Actor *actor, const Vector3 &torque, ForceMode mode, bool wake) = 0;
    /// Wakes the actor; it may sleep again after `counter` seconds at rest.
    virtual void wake_up(Actor *actor, f32 counter) = 0;
    /// The body's inertia in its mass frame (zero for a static actor).
    virtual Vector3 mass_space_inertia(const Actor *actor) const = 0;

    // Queries. `shapes`: QueryShapes; a shape is seen when its groups pass `groups` and it
    // is not switched off for queries (shape_disable_scene_queries, and for rays
    // shape_disable_raycasting). Kinematic actors count as dynamic. Lengths are clamped to
    // what the backend can cast (a length at the float maximum hits what lies on the ray).
    // Directions are unit length. The actors of a shape that has several count once per
    // shape touched.
    virtual bool raycast_any(const Vector3 &origin, const Vector3 &direction, f32 length, u32 shapes,
                             const GroupsMask &groups) const = 0;
    virtual bool raycast_closest(const Vector3 &origin, const Vector3 &direction, f32 length, u32 shapes,
                                 const GroupsMask &groups, RayHit &out_hit) const = 0;
    /// Every hit goes to `report`; answers the number reported.
    virtual u32 raycast_all(const Vector3 &origin, const Vector3 &direction, f32 length, u32 shapes,
                            const GroupsMask &groups, IRayHitReport &report) const = 0;
    /// The actors whose shapes overlap `shape` (exact geometry), at most `capacity` into
    /// `out_actors`; answers how many were written.
    virtual u32 overlap(const OverlapShape &shape, u32 shapes, const GroupsMask &groups, Actor **out_actors,
                        u32 capacity) const = 0;

    // Joints. Null when the description is unsound (both actors null, an actor not
    // dynamic on both sides, a non-finite number); logged through the error sink.
    virtual Joint *create_joint(const JointDesc &desc) = 0;
    virtual void release_joint(Joint *joint) = 0;
    virtual bool is_joint_broken(const Joint *joint) const = 0;

    // Character controllers: capsules that move only when told and are not pushed. A
    // controller carries a kinematic body one skin width wider than its capsule: bodies
    // that fall or slide into it stop against it, and a move carries it along, so the
    // solver pushes the dynamic bodies the controller walks into (at the speed of its
    // move over the next simulate).
    virtual Controller *create_controller(const ControllerDesc &desc) = 0;
    virtual void release_controller(Controller *controller) = 0;
    /// Moves by `displacement`, climbing steps, sliding along what blocks it and keeping
    /// the skin width away; a move shorter than `min_distance` is skipped. Only shapes
    /// whose groups pass `groups` block it. Answers ControllerCollision bits. Hits are
    /// reported to on_controller_hit during the call.
    virtual u32 move_controller(Controller *controller, const Vector3 &displacement, f32 min_distance,
                                const GroupsMask &groups) = 0;
    virtual void controller_position(const Controller *controller, f64 out_position[3]) const = 0;
    virtual void set_controller_position(Controller *controller, const f64 position[3]) = 0;
    /// The static scene changed (an actor removed or re-filtered): cached contacts are
    /// stale. Counted by backends that keep none.
    virtual void report_scene_changed(Controller *controller) = 0;
    /// Debug lines of every actor's shapes, when switched on (off at creation).
    virtual void set_debug_lines(bool on) = 0;
    virtual u32 debug_lines(const DebugLine *&out_lines) const = 0;
    virtual u32 actor_count() const = 0;
};

/// A unit of work a backend hands to a scheduler.
class ITask {
  public:
    virtual ~ITask() = default;
    virtual void execute() = 0;
};

/// Runs a backend's tasks on the engine's workers. add_task's tasks are waited for by
/// wait_tasks_complete; background tasks are not (the scheduler waits for them when it
/// goes). A scene given one (SceneDesc::scheduler) splits its step over it.
class IScheduler {
  public:
    virtual ~IScheduler() = default;
    virtual void add_task(ITask *task) = 0;
    /// add_task for each of `count` tasks; the array (as the tasks) must stay until
    /// wait_tasks_complete returns. A scheduler may post them together, at the cost of one.
    virtual void add_tasks(ITask *const *tasks, u32 count)
    {
        for (u32 i = 0; i < count; ++i)
            add_task(tasks[i]);
    }
    virtual void add_background_task(ITask *task) = 0;
    /// Blocks (helping run queued jobs) until every add_task task has run; at once when none.
    virtual void wait_tasks_complete() = 0;
};

/// Where the layer reports errors (invalid parameters, out of memory). Code 206 is a debug
/// warning; others are errors.
class IErrorSink {
  public:
    virtual ~IErrorSink() = default;
    virtual void report_error(u32 code, const char *message, const char *file, int line) = 0;
};

constexpr u32 error_invalid_parameter = 1;
constexpr u32 error_out_of_memory = 4;
constexpr u32 error_debug_warning = 206;

class ISdk {
  public:
    virtual ~ISdk() = default;
    /// Null when it cannot be made (reported).
    virtual IScene *create_scene(const SceneDesc &desc) = 0;
    virtual void release_scene(IScene *scene) = 0;
    /// Meshes from our cooked bytes; null when the bytes are broken (reported).
    virtual Mesh *create_triangle_mesh(const u8 *bytes, u64 size) = 0;
    virtual Mesh *create_convex_mesh(const u8 *bytes, u64 size) = 0;
    virtual void release_mesh(Mesh *mesh) = 0;
    virtual u32 mesh_count() const = 0;
    /// Frees the SDK itself (release_sdk).
    virtual void release() = 0;
};

/// The Bullet backend. All memory it and Bullet take comes from `allocator` (16-aligned).
/// Null when it cannot be made.
ISdk *create_bullet_sdk(Allocator &allocator, IErrorSink *errors);
/// True when the Bullet backend splits a scene's step over its scheduler: Bullet was built
/// thread-safe (.ci/build-bullet) and took our task scheduler. Otherwise scenes step on the
/// calling thread whatever scheduler they are given.
bool bullet_step_splits();
/// Releases any SDK made by this layer (every scene and mesh must be released first).
inline void release_sdk(ISdk *sdk)
{
    if (sdk)
        sdk->release();
}

} // namespace px
} // namespace tallow
