// The capsule character controller of the Bullet backend (Bullet has none that answers a
// move at once): a move is three swept passes of the capsule, z up. (1) Up by the move's
// rise plus the step offset when the move goes sideways; (2) sideways, sliding along what
// blocks it (at most four times); (3) down by the move's fall plus the step taken. Every
// pass stops the skin width short of what it meets. Raised by a step, everything the
// sideways pass meets is a wall, so it climbs steps up to its step offset and no higher;
// on its feet (no step offset, or a ceiling in the way) it walks up ground no steeper than
// its slope limit. When the step lands it on ground steeper than that, the move is tried
// again without the step: it climbs no slope beyond its limit. A landing on ground it may
// stand on sets "down"; a blocking hit sideways, or steep ground below, "sides"; a hit in
// the up pass while rising "up". Hits are reported for the try that is kept. Other
// controllers block it; triggers and actors without contact response do not.
//
// Dynamic bodies stop against it too: each controller carries a kinematic body, its
// capsule grown by the skin width, that is placed with every move. The move stops the
// capsule a skin short of a body it walks into, so the grown capsule touches that body,
// and the next step gives the kinematic body the velocity that carries it from where the
// step before left it, plus the part of the walk such bodies held back: the solver pushes
// them along at the speed of the walk. Rays see
// the controller's own capsule (a dynamic shape of its groups, with no actor); overlaps do
// not report it.
#include "platform/physics/physics_bullet_internal.h"

namespace tallow::px {
namespace bullet {

namespace {

constexpr int max_slides = 4;
// How far past the skin a surface still counts as touched at the end of a move.
constexpr f32 touch_margin = 0.01f;

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
        // A shape of an actor with per-shape rules that this controller may not touch.
        if (const ShapeRule *rule = r.m_localShapeInfo ? rule_of(actor_of(r.m_hitCollisionObject),
                                                                   r.m_localShapeInfo->m_triangleIndex)
                                                       : nullptr)
            if ((rule->flags & (shape_disable_collision | shape_disable_response | shape_trigger)) ||
                !groups_collide(rule->groups, groups))
                return m_closestHitFraction;
        btVector3 n = normal_in_world ? r.m_hitNormalLocal
                                      : r.m_hitCollisionObject->getWorldTransform().getBasis() * r.m_hitNormalLocal;
        // Surfaces the capsule slides along or moves away from do not stop it.
        if (n.dot(direction) > -1e-4f)
            return m_closestHitFraction;
        if (r.m_hitFraction < m_closestHitFraction) {
            m_closestHitFraction = r.m_hitFraction;
            normal = n;
            point = r.m_hitPointLocal; // in the world, as the sweep gives it
            object = r.m_hitCollisionObject;
        }
        return m_closestHitFraction;
    }
    const btCollisionObject *self;
    GroupsMask groups;
    btVector3 direction;
    btVector3 normal{0, 0, 1};
    btVector3 point{0, 0, 0};
    const btCollisionObject *object = nullptr;
};

/// A ray that sees what blocks the controller.
struct GroundRay final : btCollisionWorld::ClosestRayResultCallback {
    GroundRay(const btCollisionObject *self, const GroupsMask &groups, const btVector3 &from, const btVector3 &to)
        : ClosestRayResultCallback(from, to), self(self), groups(groups)
    {
    }
    btScalar addSingleResult(btCollisionWorld::LocalRayResult &r, bool normal_in_world) override
    {
        const ShapeRule *rule =
            r.m_localShapeInfo ? rule_of(actor_of(r.m_collisionObject), r.m_localShapeInfo->m_triangleIndex) : nullptr;
        if (rule && ((rule->flags & (shape_disable_collision | shape_disable_response | shape_trigger)) ||
                     !groups_collide(rule->groups, groups)))
            return m_closestHitFraction;
        return ClosestRayResultCallback::addSingleResult(r, normal_in_world);
    }
    bool needsCollision(btBroadphaseProxy *proxy) const override
    {
        auto *o = static_cast<const btCollisionObject *>(proxy->m_clientObject);
        if (o == self || controller_of(o))
            return false;
        const BulletActor *a = actor_of(o);
        return a && !a->disable_collision && !a->trigger &&
               !(o->getCollisionFlags() & btCollisionObject::CF_NO_CONTACT_RESPONSE) && groups_collide(a->groups, groups);
    }
    const btCollisionObject *self;
    GroupsMask groups;
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
    c->groups = desc.groups;
    c->body_shape = new btCapsuleShapeZ(desc.radius + desc.skin_width, desc.height);
    btRigidBody::btRigidBodyConstructionInfo info(0, nullptr, c->body_shape);
    info.m_friction = 0; // it pushes, it does not drag
    info.m_restitution = 0;
    c->body = new btRigidBody(info);
    c->body->setUserPointer(c);
    c->body->setUserIndex(object_controller_body);
    c->body->setCollisionFlags(c->body->getCollisionFlags() | btCollisionObject::CF_KINEMATIC_OBJECT);
    // The filter callback decides its pairs (free bodies of its groups).
    _world.addRigidBody(c->body, -1, -1);
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
    _world.removeRigidBody(c->body);
    delete c->body;
    delete c->body_shape;
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
    place_controller(c, position);
    // Placed, not moved: no velocity to push with.
    c->body->setInterpolationWorldTransform(c->body->getWorldTransform());
    c->body->setLinearVelocity(btVector3(0, 0, 0));
}

void BulletScene::place_controller(BulletController *c, const f64 position[3])
{
    for (int i = 0; i < 3; ++i)
        c->position[i] = position[i];
    const btTransform pose(btQuaternion::getIdentity(),
                           btVector3(btScalar(position[0]), btScalar(position[1]), btScalar(position[2])));
    c->object.setWorldTransform(pose);
    _world.updateSingleAabb(&c->object);
    // The step takes the body's velocity from its interpolation pose (where the last step
    // left it) to this one, over the step's time. Left where it was, it may fall asleep, so
    // that the bodies it rests against may too.
    if (pose.getOrigin() == c->body->getWorldTransform().getOrigin())
        return;
    c->body->setWorldTransform(pose);
    c->body->activate(true);
    _world.updateSingleAabb(c->body);
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
    set_controller_groups(c, groups);
    const btVector3 start(btScalar(c->position[0]), btScalar(c->position[1]), btScalar(c->position[2]));
    btVector3 pos = start;
    const f32 motion_length = length(displacement);
    const Vector3 motion_direction = motion_length > 0 ? displacement * (1.0f / motion_length) : Vector3{};

    // The hits of a try, reported once the try is kept.
    ControllerHit hits[2 + max_slides];
    u32 hit_count = 0;
    // The part of the walk that free bodies held back, to be pushed through them.
    btVector3 push(0, 0, 0);
    auto hit_report = [&](const Sweep &s, const btVector3 &at) {
        if (!_desc.callbacks || !s.object || hit_count == std::size(hits))
            return;
        ControllerHit &hit = hits[hit_count++];
        hit.controller = c;
        hit.actor = actor_of(s.object);
        hit.other = controller_of(s.object);
        hit.position[0] = at.x(), hit.position[1] = at.y(), hit.position[2] = at.z();
        hit.normal = from_bt(s.normal);
        hit.direction = motion_direction;
        hit.length = motion_length;
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
        // (And a touch further, so a surface the move ends within the skin of is seen.)
        f32 reach = len + c->skin + touch_margin;
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
            // But the move ends within the skin of it: touched. A body it pushes ahead
            // of it is met that way, move after move.
            hit_report(out, pos - out.normal * c->radius);
            out.object = nullptr;
            return;
        }
        if (keep > 0)
            pos += dir * keep;
        hit_report(out, pos - out.normal * c->radius);
    };
    // Whether ground met by a downward sweep may be stood on. The sweep's normal at an
    // edge or a corner points at the capsule; the face there says what the ground is, so
    // a short ray looks at it just past the point touched.
    auto walkable = [&](const Sweep &s) {
        if (c->slope_limit <= 0)
            return true;
        if (s.normal.z() >= c->slope_limit)
            return true;
        btVector3 beyond(-s.normal.x(), -s.normal.y(), 0);
        if (beyond.length2() > 1e-12f)
            beyond.normalize();
        btVector3 top = s.point + beyond * 0.005f + btVector3(0, 0, 0.2f);
        btVector3 bottom = top - btVector3(0, 0, 0.4f);
        GroundRay ray(&c->object, groups, top, bottom);
        _world.rayTest(top, bottom, ray);
        return ray.hasHit() && ray.m_hitNormalWorld.z() >= c->slope_limit;
    };
    // Sideways: slides along what blocks it. With `climb`, ground it may stand on is
    // slid up; anything else is a wall, slid along level.
    auto sideways = [&](const btVector3 &side, bool climb, u32 &flags) {
        btVector3 remaining = side;
        for (int i = 0; i < max_slides && remaining.length2() > 1e-10f; ++i) {
            Sweep s(&c->object, groups, remaining.normalized());
            btVector3 before = pos;
            pass(remaining, s);
            if (!s.object)
                break;
            // What is left of the move, with the part into the surface taken out.
            btVector3 left = remaining - (pos - before);
            if (controller_pushes(c, actor_of(s.object))) {
                btVector3 n(s.normal.x(), s.normal.y(), 0);
                if (n.length2() > 1e-10f) {
                    n.normalize();
                    push += n * std::min(left.dot(n), 0.0f);
                }
            }
            bool ground = climb && c->slope_limit > 0 && s.normal.z() >= c->slope_limit;
            if (ground) {
                remaining = left - s.normal * left.dot(s.normal);
                continue;
            }
            flags |= collision_sides;
            btVector3 n(s.normal.x(), s.normal.y(), 0);
            if (n.length2() < 1e-10f)
                break;
            n.normalize();
            left.setZ(0);
            remaining = left - n * left.dot(n);
        }
    };

    const btVector3 side(displacement.x, displacement.y, 0);
    const f32 rise = std::max(displacement.z, 0.0f);
    const f32 fall = std::max(-displacement.z, 0.0f);
    const bool moving_sideways = side.length2() > 1e-12f;

    // One try: up by the rise (and the step offset when it steps), sideways, down by the
    // fall and what the step took up. Answers the flags and whether the ground it came
    // down on may be stood on.
    // The ground it stood on before the move (the skin below its feet).
    const f32 ground_before = start.z() - (c->height * 0.5f + c->radius) - c->skin;
    auto attempt = [&](f32 step, bool &landed_walkable, bool &stepped_any) {
        hit_count = 0;
        push.setZero();
        u32 flags = 0;
        f32 raised = 0;
        if (rise + step > 0) {
            f32 before = pos.z();
            Sweep up(&c->object, groups, btVector3(0, 0, 1));
            pass(btVector3(0, 0, rise + step), up);
            raised = pos.z() - before;
            if (up.object && rise > 0 && raised < rise)
                flags |= collision_up;
        }
        const f32 stepped = std::max(raised - rise, 0.0f);
        stepped_any = stepped > 1e-5f;
        // Raised by a step, it clears only what the step cleared: everything it meets is a
        // wall. On its feet it walks up ground it may stand on.
        sideways(side, !stepped_any, flags);
        landed_walkable = true;
        if (fall + stepped > 0) {
            Sweep down(&c->object, groups, btVector3(0, 0, -1));
            pass(btVector3(0, 0, -(fall + stepped)), down);
            if (down.object) {
                landed_walkable = walkable(down);
                flags |= landed_walkable ? collision_down : collision_sides;
                // Come down on an edge above its step offset: that step was too high.
                if (stepped_any && down.point.z() - ground_before > c->step_offset + 0.01f)
                    landed_walkable = false;
            }
        }
        return flags;
    };

    bool landed_walkable = true, stepped = false;
    const f32 step = moving_sideways ? c->step_offset : 0.0f;
    u32 flags = attempt(step, landed_walkable, stepped);
    if (stepped && !landed_walkable) {
        // The step brought it onto ground too steep to stand on, or onto an edge higher than
        // its step offset: it may not climb that way.
        pos = start;
        flags = attempt(0, landed_walkable, stepped);
    }
    for (u32 i = 0; i < hit_count; ++i)
        _desc.callbacks->on_controller_hit(hits[i]);

    f64 p[3] = {pos.x(), pos.y(), pos.z()};
    // Keep the double precision of the part that did not move.
    for (int i = 0; i < 3; ++i)
        if (pos[i] == btScalar(c->position[i]))
            p[i] = c->position[i];
    place_controller(c, p);
    // The body is carried as far as the walk went, plus what free bodies held back: it
    // comes from that much further back over the next step, so it meets them at the
    // speed of the walk.
    if (!push.isZero()) {
        btTransform from = c->body->getInterpolationWorldTransform();
        from.setOrigin(from.getOrigin() - push);
        c->body->setInterpolationWorldTransform(from);
        c->body->activate(true);
    }
    return flags;
}

void BulletScene::set_controller_groups(BulletController *c, const GroupsMask &groups)
{
    if (std::equal(std::begin(groups.bits), std::end(groups.bits), std::begin(c->groups.bits)))
        return;
    c->groups = groups;
    // Pairs the new groups refuse go now; the ones they allow are found again.
    if (btBroadphaseProxy *proxy = c->body->getBroadphaseHandle())
        _world.getPairCache()->cleanProxyFromPairs(proxy, &_dispatcher);
    _world.removeRigidBody(c->body);
    _world.addRigidBody(c->body, -1, -1);
}

} // namespace bullet
} // namespace tallow::px
