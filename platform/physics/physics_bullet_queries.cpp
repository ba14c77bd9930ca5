// Rays and overlaps of the Bullet backend. Bullet's rayTest and contactTest do the
// geometry; our callbacks apply the query's rules (actor kinds, the 128-bit group filter,
// shapes switched off for queries). Rays also see character controllers' capsules (hits
// without an actor); overlaps skip everything that is not an actor.
#include "platform/physics/physics_bullet_internal.h"

namespace tallow::px {
namespace bullet {

namespace {

/// Rays longer than Bullet's float build can cast are cut to the longest it can: a ray at
/// the float maximum would otherwise compute an end point at infinity and miss everything.
f32 clamp_length(f32 length) { return std::isfinite(length) && length < max_ray_length ? length : max_ray_length; }

bool unit_direction(const Vector3 &d)
{
    f32 l = length_squared(d);
    return std::isfinite(l) && l > 0.5f && l < 1.5f;
}

struct RayFilter {
    u32 shapes;
    GroupsMask groups;
    bool sees(const btCollisionObject *o) const
    {
        // A controller's capsule is a moving (dynamic) shape of no actor.
        if (const BulletController *c = controller_of(o))
            return (shapes & query_dynamics) && groups_collide(c->groups, groups);
        return query_sees(actor_of(o), shapes, groups, true);
    }
    /// A hit on one child shape of an actor whose shapes have rules of their own.
    bool sees(const btCollisionWorld::LocalRayResult &r) const
    {
        const BulletActor *a = actor_of(r.m_collisionObject);
        return !a || a->rules.empty() || !r.m_localShapeInfo ||
               query_sees_child(a, r.m_localShapeInfo->m_triangleIndex, groups, true);
    }
};

struct AnyRay final : btCollisionWorld::RayResultCallback {
    explicit AnyRay(const RayFilter &f) : filter(f) {}
    bool needsCollision(btBroadphaseProxy *proxy) const override
    {
        return m_closestHitFraction > 0 && filter.sees(static_cast<btCollisionObject *>(proxy->m_clientObject));
    }
    btScalar addSingleResult(btCollisionWorld::LocalRayResult &r, bool) override
    {
        if (!filter.sees(r))
            return m_closestHitFraction;
        m_collisionObject = r.m_collisionObject;
        m_closestHitFraction = 0; // stops the walk
        return 0;
    }
    RayFilter filter;
};

struct ClosestRay final : btCollisionWorld::ClosestRayResultCallback {
    ClosestRay(const btVector3 &from, const btVector3 &to, const RayFilter &f) : ClosestRayResultCallback(from, to), filter(f) {}
    bool needsCollision(btBroadphaseProxy *proxy) const override
    {
        return filter.sees(static_cast<btCollisionObject *>(proxy->m_clientObject));
    }
    btScalar addSingleResult(btCollisionWorld::LocalRayResult &r, bool normal_in_world) override
    {
        return filter.sees(r) ? ClosestRayResultCallback::addSingleResult(r, normal_in_world) : m_closestHitFraction;
    }
    RayFilter filter;
};

struct AllRays final : btCollisionWorld::RayResultCallback {
    AllRays(const btVector3 &from, const btVector3 &to, f32 length, const RayFilter &f, IRayHitReport &r)
        : from(from), to(to), length(length), filter(f), report(r)
    {
    }
    bool needsCollision(btBroadphaseProxy *proxy) const override
    {
        return !stopped && filter.sees(static_cast<btCollisionObject *>(proxy->m_clientObject));
    }
    btScalar addSingleResult(btCollisionWorld::LocalRayResult &r, bool normal_in_world) override
    {
        if (stopped)
            return 0;
        if (!filter.sees(r))
            return m_closestHitFraction;
        m_collisionObject = r.m_collisionObject;
        btVector3 n = normal_in_world ? r.m_hitNormalLocal
                                      : r.m_collisionObject->getWorldTransform().getBasis() * r.m_hitNormalLocal;
        RayHit hit;
        hit.actor = actor_of(r.m_collisionObject);
        btVector3 p = from.lerp(to, r.m_hitFraction);
        hit.point = from_bt(p);
        hit.normal = from_bt(n);
        hit.distance = r.m_hitFraction * length;
        ++count;
        if (!report.on_hit(hit)) {
            stopped = true;
            m_closestHitFraction = 0;
        }
        return m_closestHitFraction; // keep the whole ray
    }
    btVector3 from, to;
    f32 length;
    RayFilter filter;
    IRayHitReport &report;
    u32 count = 0;
    bool stopped = false;
};

struct OverlapCollector final : btCollisionWorld::ContactResultCallback {
    OverlapCollector(const btCollisionObject *probe, u32 shapes, const GroupsMask &groups, Actor **out, u32 capacity)
        : probe(probe), shapes(shapes), groups(groups), out(out), capacity(capacity)
    {
    }
    bool needsCollision(btBroadphaseProxy *proxy) const override
    {
        return count < capacity && query_sees(actor_of(static_cast<btCollisionObject *>(proxy->m_clientObject)), shapes,
                                              groups, false);
    }
    btScalar addSingleResult(btManifoldPoint &point, const btCollisionObjectWrapper *a, int, int,
                             const btCollisionObjectWrapper *b, int, int) override
    {
        // A shape that only comes near (within Bullet's margin) does not overlap.
        if (point.getDistance() > 0 || count >= capacity)
            return 0;
        const btCollisionObject *other = a->getCollisionObject() == probe ? b->getCollisionObject() : a->getCollisionObject();
        BulletActor *actor = actor_of(other);
        if (!actor)
            return 0;
        // One entry per (actor, child shape) touched; consecutive points of one pair are one.
        int part = a->getCollisionObject() == probe ? b->m_index : a->m_index;
        if (!query_sees_child(actor, part, groups, false))
            return 0;
        if (count && out[count - 1] == actor && last_part == part)
            return 0;
        out[count++] = actor;
        last_part = part;
        return 0;
    }
    const btCollisionObject *probe;
    u32 shapes;
    GroupsMask groups;
    Actor **out;
    u32 capacity;
    u32 count = 0;
    int last_part = -1;
};

} // namespace

bool BulletScene::raycast_any(const Vector3 &origin, const Vector3 &direction, f32 length, u32 shapes,
                              const GroupsMask &groups) const
{
    length = clamp_length(length);
    if (!(length > 0) || !unit_direction(direction))
        return false;
    btVector3 from(origin.x, origin.y, origin.z);
    btVector3 to = from + btVector3(direction.x, direction.y, direction.z) * length;
    AnyRay ray(RayFilter{shapes, groups});
    _world.rayTest(from, to, ray);
    return ray.m_collisionObject != nullptr;
}

bool BulletScene::raycast_closest(const Vector3 &origin, const Vector3 &direction, f32 length, u32 shapes,
                                  const GroupsMask &groups, RayHit &out_hit) const
{
    length = clamp_length(length);
    if (!(length > 0) || !unit_direction(direction))
        return false;
    btVector3 from(origin.x, origin.y, origin.z);
    btVector3 to = from + btVector3(direction.x, direction.y, direction.z) * length;
    ClosestRay ray(from, to, RayFilter{shapes, groups});
    _world.rayTest(from, to, ray);
    if (!ray.hasHit())
        return false;
    out_hit.actor = actor_of(ray.m_collisionObject);
    out_hit.point = from_bt(ray.m_hitPointWorld);
    out_hit.normal = from_bt(ray.m_hitNormalWorld.normalized());
    out_hit.distance = ray.m_closestHitFraction * length;
    return true;
}

u32 BulletScene::raycast_all(const Vector3 &origin, const Vector3 &direction, f32 length, u32 shapes,
                             const GroupsMask &groups, IRayHitReport &report) const
{
    length = clamp_length(length);
    if (!(length > 0) || !unit_direction(direction))
        return 0;
    btVector3 from(origin.x, origin.y, origin.z);
    btVector3 to = from + btVector3(direction.x, direction.y, direction.z) * length;
    AllRays ray(from, to, length, RayFilter{shapes, groups}, report);
    _world.rayTest(from, to, ray);
    return ray.count;
}

u32 BulletScene::overlap(const OverlapShape &s, u32 shapes, const GroupsMask &groups, Actor **out_actors,
                         u32 capacity) const
{
    if (!out_actors || capacity == 0)
        return 0;
    btTransform pose = btTransform::getIdentity();
    btCollisionShape *shape = nullptr;
    btSphereShape sphere(1);
    btBoxShape box(btVector3(1, 1, 1));
    btCapsuleShapeZ capsule(1, 1);
    switch (s.kind) {
    case OverlapKind::Sphere:
        if (!finite_positive(s.radius) || !finite(s.center))
            return 0;
        sphere = btSphereShape(s.radius);
        shape = &sphere;
        pose.setOrigin(btVector3(s.center.x, s.center.y, s.center.z));
        break;
    case OverlapKind::Aabb:
    case OverlapKind::Obb: {
        if (!finite_positive(s.half_extents.x) || !finite_positive(s.half_extents.y) ||
            !finite_positive(s.half_extents.z) || !finite(s.center))
            return 0;
        box = btBoxShape(btVector3(s.half_extents.x, s.half_extents.y, s.half_extents.z));
        // Bullet's box keeps a margin inside its extents: the box tested is exactly the one given.
        shape = &box;
        Matrix4x4 m = s.kind == OverlapKind::Obb ? s.rotation : matrix4x4_identity;
        set_translation(m, s.center);
        pose = to_bt(m);
        break;
    }
    case OverlapKind::Capsule: {
        if (!finite_positive(s.radius) || !finite(s.p0) || !finite(s.p1))
            return 0;
        Vector3 d = s.p1 - s.p0;
        f32 h = length(d);
        capsule = btCapsuleShapeZ(s.radius, std::max(h, 0.0f));
        shape = &capsule;
        Vector3 c = (s.p0 + s.p1) * 0.5f;
        btQuaternion q = btQuaternion::getIdentity();
        if (h > 1e-6f) {
            btVector3 z(0, 0, 1), dir(d.x / h, d.y / h, d.z / h);
            btVector3 axis = z.cross(dir);
            f32 sin = axis.length(), cos = z.dot(dir);
            if (sin > 1e-6f)
                q = btQuaternion(axis / sin, std::atan2(sin, cos));
            else if (cos < 0)
                q = btQuaternion(btVector3(1, 0, 0), SIMD_PI);
        }
        pose = btTransform(q, btVector3(c.x, c.y, c.z));
        break;
    }
    default: return 0;
    }
    btCollisionObject probe;
    probe.setCollisionShape(shape);
    probe.setWorldTransform(pose);
    OverlapCollector collector(&probe, shapes, groups, out_actors, capacity);
    const_cast<SplitWorld &>(_world).contactTest(&probe, collector);
    return collector.count;
}

} // namespace bullet
} // namespace tallow::px
