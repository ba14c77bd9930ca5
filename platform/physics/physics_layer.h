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
    shape_ccd = 32,
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
};

struct ActorDesc {
    const ShapeDesc *shapes = nullptr;
    u32 shape_count = 0;
    Matrix4x4 pose = matrix4x4_identity;
    bool dynamic = false;
    /// > 0: the body's mass; else the mass comes from the shapes' densities and volumes
    /// (times `density`).
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

/// What a contact report carries for a pair of actors.
struct ContactPair {
    Actor *actors[2] = {};
    bool deleted[2] = {};  // an actor released during the step (the pair is reported, marked)
    bool has_point = false;
    Vector3 point;         // the first contact point; meaningful only with has_point
    Vector3 normal_force;  // summed over the pair's contacts
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
};

/// A debug line.
struct DebugLine {
    Vector3 from, to;
    u32 color = 0; // 0xRRGGBB
};

struct SceneDesc {
    Vector3 gravity = {0, 0, -9.82f};
    f32 sub_step_s = 1.0f / 240; // fixed sub-steps
    u32 max_sub_steps = 4;       // per simulate; time beyond is dropped
    ISceneCallbacks *callbacks = nullptr;
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
    /// The closest hit of a ray against shapes whose mask passes `groups`; false when none.
    virtual bool raycast_closest(const Vector3 &origin, const Vector3 &direction, f32 length,
                                 const GroupsMask &groups, Actor *&out_actor, Vector3 &out_point) const = 0;
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
/// goes). The Bullet backend is given none (it steps on the calling thread); a backend that
/// splits its step would be.
class IScheduler {
  public:
    virtual ~IScheduler() = default;
    virtual void add_task(ITask *task) = 0;
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
/// Releases any SDK made by this layer (every scene and mesh must be released first).
inline void release_sdk(ISdk *sdk)
{
    if (sdk)
        sdk->release();
}

} // namespace px
} // namespace tallow
