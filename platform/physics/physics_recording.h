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
    bool raycast_closest(const Vector3 &origin, const Vector3 &direction, f32 length, const GroupsMask &groups,
                         Actor *&out_actor, Vector3 &out_point) const override;
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
