#include "physics/world_physics_service.h"

#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "physics/physics_sdk.h"
#include "physics/physics_world.h"

namespace tallow {

namespace {

// The World destroys its service through its own allocator; the PhysicsWorld belongs to
// the SDK's. This shell hands the calls on and gives the world back to the SDK.
class PhysicsService final : public IPhysicsWorld {
  public:
    PhysicsService(PhysicsSdk &sdk, PhysicsWorld &world) : _sdk(sdk), _world(world) {}
    ~PhysicsService() override { _sdk.destroy_world(&_world); }

    PhysicsWorld &world() { return _world; }

    void update(f32 dt) override { _world.update(dt); }
    PhysicsActor *create_actor(const ActorCreateParams &p) override { return _world.create_actor(p); }
    void destroy_actor(PhysicsActor *a) override { _world.destroy_actor(a); }
    bool is_dynamic(const PhysicsActor *a) const override { return _world.is_dynamic(a); }
    bool is_sleeping(const PhysicsActor *a) const override { return _world.is_sleeping(a); }
    bool is_kinematic(const PhysicsActor *a) const override { return _world.is_kinematic(a); }
    void set_kinematic(PhysicsActor *a, bool k) override { _world.set_kinematic(a, k); }
    PhysicsJoint *create_joint(const JointCreateParams &p) override { return _world.create_joint(p); }
    void destroy_joint(PhysicsJoint *j) override { _world.destroy_joint(j); }
    PhysicsMover *create_mover(const MoverCreateParams &p) override { return _world.create_mover(p); }
    void destroy_mover(PhysicsMover *m) override { _world.destroy_mover(m); }
    void set_pair_collision(PhysicsActor *a, PhysicsActor *b, bool c) override { _world.set_pair_collision(a, b, c); }
    Array<u8> *event_stream() override { return _world.event_stream(); }
    bool resolve_actor(PhysicsActorId id, PhysicsActorInfo &out) const override { return _world.resolve_actor(id, out); }
    bool resolve_mover(u32 m, PhysicsMoverInfo &out) const override { return _world.resolve_mover(m, out); }
    PhysicsActor *create_trigger_volume(const TriggerVolumeParams &p) override { return _world.create_trigger_volume(p); }
    bool raycast(const Vector3 &o, const Vector3 &d, f32 l, Vector3 &out) const override { return _world.raycast(o, d, l, out); }
    void hash_state(StateHasher &hasher) const override { _world.hash_state(hasher); }

  private:
    PhysicsSdk &_sdk;
    PhysicsWorld &_world;
};

} // namespace

IPhysicsWorld *create_physics_service(const WorldServiceParams &params)
{
    PhysicsSdk *sdk = current_physics_sdk();
    PhysicsWorld *world = sdk ? sdk->create_world(&params.world) : nullptr;
    if (!world) {
        log_message("physics", "%s; this world runs without physics",
                    sdk ? "the physics world could not be made" : "no physics SDK");
        return create_null_physics_world(params);
    }
    PhysicsService *service = make_new<PhysicsService>(params.allocator, *sdk, *world);
    if (!service) {
        sdk->destroy_world(world);
        return create_null_physics_world(params);
    }
    return service;
}

PhysicsWorld *physics_world_of(IPhysicsWorld &service)
{
    auto *s = dynamic_cast<PhysicsService *>(&service);
    return s ? &s->world() : nullptr;
}

} // namespace tallow
