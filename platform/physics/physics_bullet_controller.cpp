// The capsule character controller of the Bullet backend (Bullet has none that answers a
// move at once): a move is three swept passes of the capsule, z up. (1) Up by the move's
// rise plus the step offset when the move goes sideways; (2) sideways, sliding along what
// blocks it (at most four times); (3) down by the move's fall plus the step taken. Every
// pass stops the skin width short of what it meets. A hit on ground no steeper than the
// slope limit in the down pass sets "down"; a blocking hit in the side pass "sides"; a hit
// in the up pass while rising "up". Other controllers block it; triggers and actors
// without contact response do not. The controller's capsule is in the world only for
// other controllers: bodies, rays and overlaps never see it.
#include "platform/physics/physics_bullet_internal.h"

namespace tallow::px {
namespace bullet {

namespace {

constexpr int max_slides = 4;

struct Sweep final : btCollisionWorld::ConvexResultCallback {
    Sweep(const btCollisionObject *self, const GroupsMask &groups, const btVector3 &direction)
        : self(self), groups(groups), direction(direction)
    {
    }
    bool needsCollision(btBroadphaseProxy *proxy) const override
    {
        auto *o = static_cast<const btCollisionObject *>(proxy->m_clientObject);
        if (o == self)
            return false;
        if (controller_of(o))
            return true;
        const BulletActor *a = actor_of(o);
        if (!a || a->disable_collision || a->trigger ||
            (o->getCollisionFlags() & btCollisionObject::CF_NO_CONTACT_RESPONSE))
            return false;
        return groups_collide(a->groups, groups);
    }
    btScalar addSingleResult(btCollisionWorld::LocalConvexResult &r, bool normal_in_world) override
    {
        btVector3 n = normal_in_world ? r.m_hitNormalLocal
                                      : r.m_hitCollisionObject->getWorldTransform().getBasis() * r.m_hitNormalLocal;
        // Surfaces the capsule slides along or moves away from do not stop it.
        if (n.dot(direction) > -1e-4f)
            return m_closestHitFraction;
        if (r.m_hitFraction < m_closestHitFraction) {
            m_closestHitFraction = r.m_hitFraction;
            normal = n;
            object = r.m_hitCollisionObject;
        }
        return m_closestHitFraction;
    }
    const btCollisionObject *self;
    GroupsMask groups;
    btVector3 direction;
    btVector3 normal{0, 0, 1};
    const btCollisionObject *object = nullptr;
};

} // namespace

Controller *BulletScene::create_controller(const ControllerDesc &desc)
{
    bool sound = finite_positive(desc.radius) && finite_positive(desc.height) && std::isfinite(desc.slope_limit) &&
                 std::isfinite(desc.step_offset) && desc.step_offset >= 0 && std::isfinite(desc.skin_width) &&
                 desc.skin_width >= 0;
    for (f64 p : desc.position)
        sound = sound && std::isfinite(p);
    if (!sound) {
        report(error_invalid_parameter, "create_controller: radius and height must be above zero, numbers finite");
        return nullptr;
    }
    void *block = _allocator.allocate(sizeof(BulletController), 16);
    if (!block) {
        report(error_out_of_memory, "create_controller: out of memory");
        return nullptr;
    }
    BulletController *c = new (block) BulletController();
    c->user_data = desc.user_data;
    c->radius = desc.radius;
    c->height = desc.height;
    c->slope_limit = desc.slope_limit;
    c->step_offset = desc.step_offset;
    c->skin = desc.skin_width;
    c->shape = new btCapsuleShapeZ(desc.radius, desc.height);
    c->object.setCollisionShape(c->shape);
    c->object.setUserPointer(c);
    c->object.setUserIndex(object_controller);
    c->object.setCollisionFlags(btCollisionObject::CF_NO_CONTACT_RESPONSE | btCollisionObject::CF_KINEMATIC_OBJECT);
    _world.addCollisionObject(&c->object, btBroadphaseProxy::KinematicFilter, btBroadphaseProxy::AllFilter);
    _controllers.push_back(c);
    set_controller_position(c, desc.position);
    return c;
}

void BulletScene::release_controller(Controller *controller)
{
    auto it = std::find(_controllers.begin(), _controllers.end(), controller);
    if (it == _controllers.end())
        return;
    BulletController *c = *it;
    _world.removeCollisionObject(&c->object);
    delete c->shape;
    _controllers.erase(it);
    c->~BulletController();
    _allocator.deallocate(c);
}

void BulletScene::controller_position(const Controller *controller, f64 out_position[3]) const
{
    auto *c = static_cast<const BulletController *>(controller);
    for (int i = 0; i < 3; ++i)
        out_position[i] = c ? c->position[i] : 0.0;
}

void BulletScene::set_controller_position(Controller *controller, const f64 position[3])
{
    auto *c = static_cast<BulletController *>(controller);
    if (!c || !std::isfinite(position[0]) || !std::isfinite(position[1]) || !std::isfinite(position[2]))
        return;
    for (int i = 0; i < 3; ++i)
        c->position[i] = position[i];
    c->object.setWorldTransform(btTransform(btQuaternion::getIdentity(), btVector3(btScalar(position[0]),
                                                                                  btScalar(position[1]),
                                                                                  btScalar(position[2]))));
    _world.updateSingleAabb(&c->object);
}

void BulletScene::report_scene_changed(Controller *controller)
{
    // Nothing is cached between moves; counted so a caller can see it was told.
    if (controller)
        ++static_cast<BulletController *>(controller)->scene_changes;
}

u32 BulletScene::move_controller(Controller *controller, const Vector3 &displacement, f32 min_distance,
                                 const GroupsMask &groups)
{
    auto *c = static_cast<BulletController *>(controller);
    if (!c || !finite(displacement) || length(displacement) < min_distance)
        return 0;
    btVector3 pos(btScalar(c->position[0]), btScalar(c->position[1]), btScalar(c->position[2]));
    u32 flags = 0;
    const f32 motion_length = length(displacement);
    const Vector3 motion_direction = motion_length > 0 ? displacement * (1.0f / motion_length) : Vector3{};

    auto hit_report = [&](const Sweep &s, const btVector3 &at) {
        ISceneCallbacks *cb = _desc.callbacks;
        if (!cb || !s.object)
            return;
        ControllerHit hit;
        hit.controller = c;
        hit.actor = actor_of(s.object);
        hit.other = controller_of(s.object);
        hit.position[0] = at.x(), hit.position[1] = at.y(), hit.position[2] = at.z();
        hit.normal = from_bt(s.normal);
        hit.direction = motion_direction;
        hit.length = motion_length;
        cb->on_controller_hit(hit);
    };
    // Sweeps from `pos` by `delta`; moves as far as it may (the skin short of a hit).
    // Answers the sweep (its `object` is null when nothing was hit).
    auto pass = [&](const btVector3 &delta, Sweep &out) {
        f32 len = delta.length();
        if (len < 1e-7f)
            return;
        btVector3 dir = delta / len;
        out.direction = dir;
        // The sweep reaches a skin width further than the move, so a surface the skin
        // already touches stops it too (else the capsule would sink into its skin and
        // bounce back out on alternate moves).
        f32 reach = len + c->skin;
        btTransform from(btQuaternion::getIdentity(), pos), to(btQuaternion::getIdentity(), pos + dir * reach);
        _world.convexSweepTest(c->shape, from, to, out, 0);
        if (!out.object) {
            pos += delta;
            return;
        }
        // How far the capsule may go keeping the skin width from the surface, measured
        // along the surface normal.
        f32 along = -dir.dot(out.normal);
        f32 keep = reach * out.m_closestHitFraction - (along > 1e-3f ? c->skin / along : c->skin);
        if (keep >= len) {
            pos += delta; // the surface lies beyond the move: it did not stop it
            out.object = nullptr;
            return;
        }
        if (keep > 0)
            pos += dir * keep;
        hit_report(out, pos - out.normal * c->radius);
    };

    btVector3 side(displacement.x, displacement.y, 0);
    f32 rise = std::max(displacement.z, 0.0f);
    f32 fall = std::max(-displacement.z, 0.0f);
    f32 step = side.length2() > 1e-12f ? c->step_offset : 0.0f;

    // 1. Up.
    f32 raised = 0;
    if (rise + step > 0) {
        f32 before = pos.z();
        Sweep up(&c->object, groups, btVector3(0, 0, 1));
        pass(btVector3(0, 0, rise + step), up);
        raised = pos.z() - before;
        if (up.object && rise > 0 && raised < rise)
            flags |= collision_up;
    }
    f32 stepped = std::max(raised - rise, 0.0f);

    // 2. Sideways, sliding along what blocks.
    btVector3 remaining = side;
    for (int i = 0; i < max_slides && remaining.length2() > 1e-10f; ++i) {
        Sweep s(&c->object, groups, remaining.normalized());
        btVector3 start = pos;
        pass(remaining, s);
        if (!s.object)
            break;
        if (s.normal.z() < c->slope_limit || c->slope_limit <= 0)
            flags |= collision_sides;
        // What is left of the move, with the part into the surface taken out.
        btVector3 left = remaining - (pos - start);
        btVector3 n(s.normal.x(), s.normal.y(), 0);
        if (n.length2() < 1e-10f)
            break;
        n.normalize();
        remaining = left - n * left.dot(n);
        remaining.setZ(0);
    }

    // 3. Down.
    if (fall + stepped > 0) {
        Sweep down(&c->object, groups, btVector3(0, 0, -1));
        pass(btVector3(0, 0, -(fall + stepped)), down);
        if (down.object) {
            if (c->slope_limit <= 0 || down.normal.z() >= c->slope_limit)
                flags |= collision_down;
            else
                flags |= collision_sides;
        }
    }

    f64 p[3] = {pos.x(), pos.y(), pos.z()};
    // Keep the double precision of the part that did not move.
    for (int i = 0; i < 3; ++i)
        if (pos[i] == btScalar(c->position[i]))
            p[i] = c->position[i];
    set_controller_position(c, p);
    return flags;
}

} // namespace bullet
} // namespace tallow::px
