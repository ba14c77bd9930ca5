#pragma once
// The recording backend of the physics layer, for engine-side tests: it keeps every actor
// with its description, pose and flags, journals each scene call as one line, simulates
// nothing, and delivers at the next fetch_results the reports a test queued. It enforces
// the rules a caller relies on: an unknown actor is refused (journalled as "bad actor"),
// a sound description is needed (as in the Bullet backend).
//
//   px::RecordingSdk sdk(allocator);
//   px::IScene *scene = sdk.create_scene(desc);
//   auto &rec = *static_cast<px::RecordingScene *>(scene);
//   rec.queue_wake(actor);  scene->fetch_results();   // on_wake(actor) now
//   EXPECT_EQ(rec.journal()[0], "create_actor dynamic=1 shapes=1");
//
// The engine never includes this header; tests and benchmarks do.

#include "platform/physics/physics_layer.h"

#include <string>
#include <vector>

namespace tallow::px {

struct RecordedActor final : Actor {
    ActorDesc desc;
    std::vector<ShapeDesc> shapes;
    Matrix4x4 pose = matrix4x4_identity;
    GroupsMask groups;
    u32 contact_flags = 0;
    bool kinematic = false;
    bool sleeping = false;
    bool released = false;
};

class RecordingScene final : public IScene {
  public:
    explicit RecordingScene(const SceneDesc &desc) : _desc(desc) {}
    ~RecordingScene() override;

    const std::vector<std::string> &journal() const { return _journal; }
    void clear_journal() { _journal.clear(); }
    const SceneDesc &desc() const { return _desc; }
    /// The actor as recorded; null for an unknown pointer.
    RecordedActor *recorded(const Actor *actor) const;

    // Reports delivered at the next fetch_results, in the order queued.
    void queue_wake(Actor *actor);
    void queue_sleep(Actor *actor);
    void queue_contact(const ContactPair &pair, u32 events);
    void queue_trigger(Actor *trigger, Actor *other, u32 status);

    u32 create_material(const Material &material) override;
    Actor *create_actor(const ActorDesc &desc) override;
    void release_actor(Actor *actor) override;
    bool is_dynamic(const Actor *actor) const override;
    bool is_sleeping(const Actor *actor) const override;
    bool read_body_flag(const Actor *actor, BodyFlag flag) const override;
    void raise_body_flag(Actor *actor, BodyFlag flag) override;
    void clear_body_flag(Actor *actor, BodyFlag flag) override;
    Matrix4x4 global_pose(const Actor *actor) const override;
    void set_global_pose(Actor *actor, const Matrix4x4 &pose) override;
    void move_global_pose(Actor *actor, const Matrix4x4 &pose) override;
    Vector3 linear_velocity(const Actor *actor) const override;
    void set_linear_velocity(Actor *actor, const Vector3 &velocity) override;
    void set_groups_mask(Actor *actor, const GroupsMask &mask) override;
    void set_contact_report_flags(Actor *actor, u32 flags) override;
    void ignore_pair(Actor *a, Actor *b) override;
    void simulate(f32 dt) override;
    void fetch_results() override;
    bool collision_disabled(const Actor *actor) const override;
    void set_collision_disabled(Actor *actor, bool disabled) override;
    f32 mass(const Actor *actor) const override;
    f32 linear_damping(const Actor *actor) const override;
    f32 angular_damping(const Actor *actor) const override;
    void set_damping(Actor *actor, f32 linear, f32 angular) override;
    Vector3 angular_velocity(const Actor *) const override { return {}; }
    void set_angular_velocity(Actor *actor, const Vector3 &velocity) override;
    Vector3 point_velocity(const Actor *, const Vector3 &) const override { return {}; }
    void add_force(Actor *actor, const Vector3 &force, ForceMode mode, bool wake) override;
    void add_force_at_position(Actor *actor, const Vector3 &force, const Vector3 &position, ForceMode mode,
                               bool wake) override;
    void add_torque(Actor *actor, const Vector3 &torque, ForceMode mode, bool wake) override;
    void wake_up(Actor *actor, f32 counter) override;
    Vector3 mass_space_inertia(const Actor *actor) const override;
    /// Queries hit nothing unless a test queued hits (queue_ray_hit, queue_overlap).
    bool raycast_any(const Vector3 &origin, const Vector3 &direction, f32 length, u32 shapes,
                     const GroupsMask &groups) const override;
    bool raycast_closest(const Vector3 &origin, const Vector3 &direction, f32 length, u32 shapes,
                         const GroupsMask &groups, RayHit &out_hit) const override;
    u32 raycast_all(const Vector3 &origin, const Vector3 &direction, f32 length, u32 shapes, const GroupsMask &groups,
                    IRayHitReport &report) const override;
    u32 overlap(const OverlapShape &shape, u32 shapes, const GroupsMask &groups, Actor **out_actors,
                u32 capacity) const override;
    Joint *create_joint(const JointDesc &desc) override;
    void release_joint(Joint *joint) override;
    bool is_joint_broken(const Joint *joint) const override;
    Controller *create_controller(const ControllerDesc &desc) override;
    void release_controller(Controller *controller) override;
    u32 move_controller(Controller *controller, const Vector3 &displacement, f32 min_distance,
                        const GroupsMask &groups) override;
    void controller_position(const Controller *controller, f64 out_position[3]) const override;
    void set_controller_position(Controller *controller, const f64 position[3]) override;
    void report_scene_changed(Controller *controller) override;

    /// Every ray answers these hits (closest: the first) until cleared.
    void set_ray_hits(std::vector<RayHit> hits) { _ray_hits = std::move(hits); }
    /// Every overlap answers these actors until cleared.
    void set_overlap_actors(std::vector<Actor *> actors) { _overlap = std::move(actors); }
    /// The next move_controller answers these collision flags, moves by the displacement
    /// with its z cut to `allowed_fall` (when >= 0), and reports `hit` first (when its
    /// actor or other is set).
    void set_next_move(u32 flags, f32 allowed_fall, const ControllerHit &hit = {})
    {
        _move_flags = flags;
        _allowed_fall = allowed_fall;
        _move_hit = hit;
    }
    /// Marks the joint broken; the next fetch_results reports it.
    void queue_joint_break(Joint *joint);
    u32 joint_count() const { return u32(_joints.size()); }
    u32 controller_count() const { return u32(_controllers.size()); }
    void set_debug_lines(bool on) override;
    u32 debug_lines(const DebugLine *&out_lines) const override;
    u32 actor_count() const override { return u32(_actors.size()); }

    /// Lines the next fetch_results reports as the debug lines (when switched on).
    void set_next_debug_lines(std::vector<DebugLine> lines) { _next_lines = std::move(lines); }

  private:
    struct Report {
        u32 kind; // 0 wake, 1 sleep, 2 contact, 3 trigger
        ContactPair pair;
        u32 value;
    };
    RecordedActor *checked(const Actor *actor, const char *call);
    void log(const char *format, ...) __attribute__((format(printf, 2, 3)));

    SceneDesc _desc;
    std::vector<RecordedActor *> _actors;
    std::vector<std::string> _journal;
    std::vector<Report> _reports;
    std::vector<DebugLine> _lines, _next_lines;
    struct RecordedJoint final : Joint {
        JointDesc desc;
        bool broken = false;
        bool reported = true;
    };
    struct RecordedController final : Controller {
        ControllerDesc desc;
    };
    std::vector<RecordedJoint *> _joints;
    std::vector<RecordedController *> _controllers;
    std::vector<RayHit> _ray_hits;
    std::vector<Actor *> _overlap;
    u32 _move_flags = 0;
    f32 _allowed_fall = -1;
    ControllerHit _move_hit;
    u32 _materials = 1;
    bool _debug = false;
};

class RecordingSdk final : public ISdk {
  public:
    IScene *create_scene(const SceneDesc &desc) override;
    void release_scene(IScene *scene) override;
    Mesh *create_triangle_mesh(const u8 *bytes, u64 size) override;
    Mesh *create_convex_mesh(const u8 *bytes, u64 size) override;
    void release_mesh(Mesh *mesh) override;
    u32 mesh_count() const override { return _meshes; }
    void release() override {} // owned by the test
    u32 scene_count() const { return _scenes; }
    /// Makes the next create_scene fail (as a backend out of memory would).
    void fail_next_scene() { _fail_scene = true; }

  private:
    u32 _scenes = 0;
    u32 _meshes = 0;
    bool _fail_scene = false;
};

} // namespace tallow::px
