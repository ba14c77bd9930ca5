// The physics layer over Bullet. What Bullet does not have is written here: the 128-bit
// group filter (an overlap filter callback), contact and trigger reports (the touching
// actor pairs of a step diffed against the last step's), wake and sleep reports (activation
// states polled after the step), teleports that infer no velocity, and meshes from our own
// cooked bytes. Queries, joints and the character controller have files of their own.
#include "platform/physics/physics_bullet_internal.h"

#include <LinearMath/btConvexHullComputer.h>

#include <cstring>

namespace tallow::px {
namespace bullet {

btCollisionShape *BulletScene::make_shape(const ShapeDesc &s, bool dynamic, BulletActor &a, const char *&error)
{
    btCollisionShape *shape = nullptr;
    switch (s.kind) {
    case ShapeKind::Sphere:
        if (!finite_positive(s.size.x))
            return error = "a sphere radius must be above zero", nullptr;
        shape = new btSphereShape(s.size.x);
        break;
    case ShapeKind::Box:
        if (!finite_positive(s.size.x) || !finite_positive(s.size.y) || !finite_positive(s.size.z))
            return error = "box half extents must be above zero", nullptr;
        shape = new btBoxShape(btVector3(s.size.x, s.size.y, s.size.z));
        break;
    case ShapeKind::Capsule:
        if (!finite_positive(s.size.x) || !(std::isfinite(s.size.y) && s.size.y >= 0))
            return error = "a capsule needs a radius above zero and a height of zero or more", nullptr;
        shape = new btCapsuleShape(s.size.x, s.size.y);
        break;
    case ShapeKind::TriangleMesh:
        if (!s.mesh || s.mesh->kind != CookedMeshKind::Triangles)
            return error = "a triangle mesh shape without a triangle mesh", nullptr;
        if (dynamic)
            return error = "a triangle mesh on a dynamic actor", nullptr;
        return s.mesh->shape; // shared, owned by the mesh
    case ShapeKind::ConvexMesh:
        if (!s.mesh || s.mesh->kind != CookedMeshKind::Convex)
            return error = "a convex shape without a convex mesh", nullptr;
        return s.mesh->shape;
    default:
        return error = "an unknown shape kind", nullptr;
    }
    a.owned_shapes.push_back(shape);
    return shape;
}

namespace {

constexpr f32 pi = 3.14159265f;

btMatrix3x3 diagonal(f32 x, f32 y, f32 z) { return btMatrix3x3(x, 0, 0, 0, y, 0, 0, 0, z); }

btMatrix3x3 outer(const btVector3 &a, const btVector3 &b)
{
    return btMatrix3x3(a.x() * b.x(), a.x() * b.y(), a.x() * b.z(), a.y() * b.x(), a.y() * b.y(), a.y() * b.z(),
                       a.z() * b.x(), a.z() * b.y(), a.z() * b.z());
}

btMatrix3x3 add(const btMatrix3x3 &a, const btMatrix3x3 &b)
{
    btMatrix3x3 r;
    for (int i = 0; i < 3; ++i)
        r[i] = a[i] + b[i];
    return r;
}

btMatrix3x3 scaled(const btMatrix3x3 &a, f32 k)
{
    btMatrix3x3 r;
    for (int i = 0; i < 3; ++i)
        r[i] = a[i] * k;
    return r;
}

/// The closed forms of the primitives; a hull's were worked out when its mesh was made.
/// Moments: the integral of r r^T (so the inertia is trace x identity minus the moment).
MassShape mass_shape(const ShapeDesc &s)
{
    MassShape m;
    f32 r = s.size.x;
    switch (s.kind) {
    case ShapeKind::Sphere:
        m.volume = 4.0f / 3.0f * pi * r * r * r;
        m.moment = diagonal(1, 1, 1);
        m.moment = scaled(m.moment, m.volume * r * r / 5);
        break;
    case ShapeKind::Box: {
        const Vector3 &h = s.size;
        m.volume = 8.0f * h.x * h.y * h.z;
        m.moment = scaled(diagonal(h.x * h.x, h.y * h.y, h.z * h.z), m.volume / 3);
        break;
    }
    case ShapeKind::Capsule: {
        // A cylinder of height h along y and two half balls on its ends.
        f32 h = s.size.y;
        f32 cylinder = pi * r * r * h, ball = 4.0f / 3.0f * pi * r * r * r;
        m.volume = cylinder + ball;
        f32 across = cylinder * r * r / 4 + ball * r * r / 5;               // per axis at right angles to y
        f32 along = cylinder * h * h / 12 + ball * (h * h / 4 + 3 * h * r / 8 + r * r / 5);
        m.moment = diagonal(across, along, across);
        break;
    }
    case ShapeKind::ConvexMesh:
        if (s.mesh)
            m = s.mesh->mass;
        break;
    default: break;
    }
    return m;
}

/// A hull's volume, centroid and moment from its faces, as tetrahedra from an inner point.
MassShape hull_mass(const std::vector<f32> &points)
{
    MassShape m;
    btConvexHullComputer hull;
    if (points.size() < 12 || hull.compute(points.data(), 12, int(points.size() / 3), 0, 0) < 0 ||
        hull.vertices.size() < 4)
        return m;
    btVector3 inner(0, 0, 0);
    for (int i = 0; i < hull.vertices.size(); ++i)
        inner += hull.vertices[i];
    inner /= btScalar(hull.vertices.size());
    f64 volume = 0;
    btVector3 first(0, 0, 0);
    btMatrix3x3 second(0, 0, 0, 0, 0, 0, 0, 0, 0);
    for (int f = 0; f < hull.faces.size(); ++f) {
        const btConvexHullComputer::Edge *start = &hull.edges[hull.faces[f]];
        btVector3 a = hull.vertices[start->getSourceVertex()] - inner;
        for (const btConvexHullComputer::Edge *e = start->getNextEdgeOfFace(); e->getTargetVertex() != start->getSourceVertex();
             e = e->getNextEdgeOfFace()) {
            btVector3 b = hull.vertices[e->getSourceVertex()] - inner;
            btVector3 c = hull.vertices[e->getTargetVertex()] - inner;
            f32 v = a.dot(b.cross(c)) / 6;
            volume += v;
            first += (a + b + c) * (v / 4);
            btVector3 sum = a + b + c;
            btMatrix3x3 t = add(add(outer(a, a), outer(b, b)), add(outer(c, c), outer(sum, sum)));
            second = add(second, scaled(t, v / 20));
        }
    }
    if (volume < 0) { // faces turned the other way
        volume = -volume;
        first = -first;
        second = scaled(second, -1);
    }
    if (!(volume > 0))
        return m;
    m.volume = f32(volume);
    btVector3 centroid = first / m.volume;
    m.centroid = centroid + inner;
    m.moment = add(second, scaled(outer(centroid, centroid), -m.volume));
    return m;
}

} // namespace

Actor *BulletScene::create_actor(const ActorDesc &desc)
{
    const char *error = nullptr;
    if (!desc.shapes || desc.shape_count == 0) {
        report(error_invalid_parameter, "create_actor: an actor needs at least one shape");
        return nullptr;
    }
    void *block = _allocator.allocate(sizeof(BulletActor), 16);
    if (!block) {
        report(error_out_of_memory, "create_actor: out of memory");
        return nullptr;
    }
    BulletActor *a = new (block) BulletActor();
    a->scene = this;
    a->user_data = desc.user_data;
    a->dynamic = desc.dynamic;
    a->disable_collision = desc.disable_collision;
    a->disable_gravity = (desc.body_flags & body_disable_gravity) != 0;
    a->groups = desc.shapes[0].groups;
    std::vector<btCollisionShape *> shapes(desc.shape_count, nullptr);
    // Mass, first moment and second moment (about the actor's origin) of the solid shapes.
    f32 shape_mass = 0;
    btVector3 first(0, 0, 0);
    btMatrix3x3 second(0, 0, 0, 0, 0, 0, 0, 0, 0);
    f32 static_friction = 0, dynamic_friction = 0, restitution = 0;
    f32 ccd_radius = 0;
    for (u32 i = 0; i < desc.shape_count && !error; ++i) {
        const ShapeDesc &s = desc.shapes[i];
        shapes[i] = make_shape(s, desc.dynamic, *a, error);
        if (!shapes[i])
            break;
        if (!(std::isfinite(s.skin_width) && s.skin_width >= 0)) {
            error = "a skin width must be zero or more";
            break;
        }
        a->skin = std::max(a->skin, s.skin_width);
        if (s.flags & shape_trigger) {
            a->trigger_status |= s.trigger_status;
        } else if (desc.dynamic) {
            MassShape ms = mass_shape(s);
            f32 m = s.density * ms.volume;
            if (m > 0 && std::isfinite(m)) {
                btTransform pose = to_bt(s.local_pose);
                btVector3 c = pose * ms.centroid;
                const btMatrix3x3 &r = pose.getBasis();
                shape_mass += m;
                first += c * m;
                second = add(second, add(scaled(r * ms.moment * r.transpose(), s.density), scaled(outer(c, c), m)));
            }
        }
        if ((s.flags & shape_ccd) && desc.dynamic) {
            // The sweep's sphere: well inside the shape, so a hit it finds is a real one.
            btVector3 lo, hi;
            shapes[i]->getAabb(btTransform::getIdentity(), lo, hi);
            btVector3 d = (hi - lo) * 0.5f;
            f32 inner = 0.8f * std::min(d.x(), std::min(d.y(), d.z()));
            ccd_radius = ccd_radius > 0 ? std::min(ccd_radius, inner) : inner;
        }
        if (s.flags & shape_disable_collision)
            a->disable_collision = a->disable_collision || desc.shape_count == 1;
        const Material &m = s.material < _materials.size() ? _materials[s.material] : _materials[0];
        static_friction += m.static_friction;
        dynamic_friction += m.dynamic_friction;
        restitution += m.restitution;
    }
    if (!error) {
        // Shapes that differ in their filters or in what they switch off keep rules of
        // their own; the actor then answers to the union of their masks.
        constexpr u32 rule_flags = shape_disable_collision | shape_disable_response | shape_disable_raycasting |
                                   shape_disable_scene_queries | shape_trigger;
        const ShapeDesc &first_shape = desc.shapes[0];
        bool differ = false;
        for (u32 i = 1; i < desc.shape_count; ++i)
            differ = differ || (desc.shapes[i].flags & rule_flags) != (first_shape.flags & rule_flags) ||
                     memcmp(desc.shapes[i].groups.bits, first_shape.groups.bits, sizeof first_shape.groups.bits) != 0;
        a->query_flags = first_shape.flags & (shape_disable_raycasting | shape_disable_scene_queries);
        // Only an actor whose shapes are all triggers is a trigger as a whole.
        a->trigger = !differ && (first_shape.flags & shape_trigger);
        if (differ) {
            a->rules.resize(desc.shape_count);
            for (u32 i = 0; i < desc.shape_count; ++i) {
                a->rules[i] = {desc.shapes[i].groups, desc.shapes[i].flags & rule_flags};
                a->query_flags &= desc.shapes[i].flags;
                for (int k = 0; k < 4; ++k)
                    a->groups.bits[k] |= desc.shapes[i].groups.bits[k];
            }
        }
    }
    if (error) {
        report(error_invalid_parameter, error);
        for (btCollisionShape *s : a->owned_shapes)
            delete s;
        a->~BulletActor();
        _allocator.deallocate(block);
        return nullptr;
    }
    btMatrix3x3 inertia_tensor(0, 0, 0, 0, 0, 0, 0, 0, 0);
    if (desc.dynamic) {
        a->mass = desc.mass > 0 ? desc.mass : shape_mass * desc.density;
        if (!(a->mass > 0) || !std::isfinite(a->mass))
            a->mass = 1.0f; // trigger-only or massless shapes
        if (length_squared(desc.inertia) == 0 && shape_mass > 0) {
            // The body turns about the shapes' centre of mass, on their principal axes.
            btVector3 com = first / shape_mass;
            btMatrix3x3 moment = add(second, scaled(outer(com, com), -shape_mass));
            f32 trace = moment[0][0] + moment[1][1] + moment[2][2];
            inertia_tensor = add(scaled(diagonal(1, 1, 1), trace), scaled(moment, -1));
            inertia_tensor = scaled(inertia_tensor, a->mass / shape_mass);
            btMatrix3x3 axes = btMatrix3x3::getIdentity();
            f32 largest = std::max(std::fabs(inertia_tensor[0][0]),
                                   std::max(std::fabs(inertia_tensor[1][1]), std::fabs(inertia_tensor[2][2])));
            f32 off = std::max(std::fabs(inertia_tensor[0][1]),
                               std::max(std::fabs(inertia_tensor[0][2]), std::fabs(inertia_tensor[1][2])));
            if (off > 1e-6f * largest)
                inertia_tensor.diagonalize(axes, 1e-9f, 32);
            a->inertia = btVector3(inertia_tensor[0][0], inertia_tensor[1][1], inertia_tensor[2][2]);
            a->mass_frame = btTransform(axes, com);
            a->mass_frame_inverse = a->mass_frame.inverse();
        }
    }
    bool offset = !(a->mass_frame.getOrigin().isZero() && a->mass_frame.getBasis() == btMatrix3x3::getIdentity());
    btCollisionShape *root = nullptr;
    if (desc.shape_count == 1 && desc.shapes[0].local_pose == matrix4x4_identity && !offset) {
        root = shapes[0];
    } else {
        auto *compound = new btCompoundShape(true, int(desc.shape_count));
        for (u32 i = 0; i < desc.shape_count; ++i)
            compound->addChildShape(a->mass_frame_inverse * to_bt(desc.shapes[i].local_pose), shapes[i]);
        a->owned_shapes.push_back(compound);
        root = compound;
    }
    if (desc.dynamic) {
        if (length_squared(desc.inertia) > 0)
            a->inertia = btVector3(desc.inertia.x, desc.inertia.y, desc.inertia.z);
        else if (!(shape_mass > 0))
            root->calculateLocalInertia(a->mass, a->inertia);
    }
    a->static_friction = static_friction / f32(desc.shape_count);
    a->dynamic_friction = dynamic_friction / f32(desc.shape_count);
    a->motion.m_centerOfMassOffset = a->mass_frame_inverse;
    a->motion.m_graphicsWorldTrans = to_bt(desc.pose);
    a->motion.m_startWorldTrans = a->motion.m_graphicsWorldTrans;
    btRigidBody::btRigidBodyConstructionInfo info(a->mass, &a->motion, root, a->inertia);
    info.m_linearDamping = desc.linear_damping;
    info.m_angularDamping = desc.angular_damping;
    info.m_friction = a->dynamic_friction;
    info.m_restitution = restitution / f32(desc.shape_count);
    a->body = new btRigidBody(info);
    a->body->setUserPointer(a);
    a->body->setUserIndex(object_actor);
    if (a->trigger || desc.disable_response)
        a->body->setCollisionFlags(a->body->getCollisionFlags() | btCollisionObject::CF_NO_CONTACT_RESPONSE);
    if (ccd_radius > 0) {
        // Swept whenever a sub-step moves it further than the sweep's sphere is wide.
        a->body->setCcdSweptSphereRadius(ccd_radius);
        a->body->setCcdMotionThreshold(std::min(1.0f, ccd_radius));
    }
    a->order = _next_order++;
    // Counted asleep until the first step sees it: a body made awake then reports its wake
    // like any other, so its unit is put among the awake ones.
    a->awake = false;
    if (desc.dynamic && (desc.body_flags & body_kinematic)) {
        a->kinematic = true;
        apply_body_state(a);
    }
    add_body(a);
    _actors.push_back(a);
    return a;
}

void BulletScene::apply_body_state(BulletActor *a)
{
    btRigidBody *b = a->body;
    if (a->kinematic) {
        b->setCollisionFlags(b->getCollisionFlags() | btCollisionObject::CF_KINEMATIC_OBJECT);
        b->setMassProps(0, btVector3(0, 0, 0));
        b->setLinearVelocity(btVector3(0, 0, 0));
        b->setAngularVelocity(btVector3(0, 0, 0));
        b->forceActivationState(DISABLE_DEACTIVATION);
        a->motion.m_graphicsWorldTrans = b->getWorldTransform() * a->mass_frame_inverse;
    } else {
        b->setCollisionFlags(b->getCollisionFlags() & ~btCollisionObject::CF_KINEMATIC_OBJECT);
        b->setMassProps(a->mass, a->inertia);
        b->forceActivationState(ACTIVE_TAG);
        b->setDeactivationTime(0);
    }
    b->updateInertiaTensor();
}

void BulletScene::set_body_flag(BulletActor *a, BodyFlag flag, bool on)
{
    if (!a || !a->dynamic)
        return;
    if (flag == body_kinematic) {
        if (a->kinematic == on)
            return;
        // Bullet sorts bodies into static, kinematic and dynamic when they are added.
        _world.removeRigidBody(a->body);
        a->kinematic = on;
        apply_body_state(a);
        add_body(a);
    } else if (flag == body_disable_gravity) {
        a->disable_gravity = on;
        a->body->setGravity(on ? btVector3(0, 0, 0) : _world.getGravity());
    }
}

void BulletScene::release_actor(Actor *actor)
{
    if (!actor)
        return;
    BulletActor *a = cast(actor);
    // Joints holding the actor hold nothing from now on; their owners release them.
    for (BulletJoint *j : _joints) {
        if (j->actors[0] != a && j->actors[1] != a)
            continue;
        for (btTypedConstraint **c : {&j->constraint, &j->cone})
            if (*c) {
                _world.removeConstraint(*c);
                delete *c;
                *c = nullptr;
            }
        j->broken = true;
        j->reported = true; // no break report: nothing broke
        j->actors[0] = j->actors[1] = nullptr;
    }
    for (BulletActor *other : a->ignored) {
        other->body->setIgnoreCollisionCheck(a->body, false);
        other->ignored.erase(std::remove(other->ignored.begin(), other->ignored.end(), a), other->ignored.end());
    }
    // Pairs with a released actor end without a report: nobody may read it again.
    auto names = [a](const TouchPair &p) { return p.a == a || p.b == a; };
    _contacts.erase(std::remove_if(_contacts.begin(), _contacts.end(), names), _contacts.end());
    _triggers.erase(std::remove_if(_triggers.begin(), _triggers.end(), names), _triggers.end());
    _world.removeRigidBody(a->body);
    delete a->body;
    for (btCollisionShape *s : a->owned_shapes)
        delete s;
    _actors.erase(std::find(_actors.begin(), _actors.end(), a));
    a->~BulletActor();
    _allocator.deallocate(a);
}

namespace {

/// Below this sliding speed (m/s) two touching shapes stick: static friction holds them.
constexpr f32 sticking_speed = 0.02f;

} // namespace

btScalar ContactSolver::solveGroup(btCollisionObject **bodies, int body_count, btPersistentManifold **manifolds,
                                   int manifold_count, btTypedConstraint **constraints, int constraint_count,
                                   const btContactSolverInfo &info, btIDebugDraw *draw, btDispatcher *dispatcher)
{
    for (int i = 0; i < manifold_count; ++i) {
        btPersistentManifold &m = *manifolds[i];
        const BulletActor *a = actor_of(m.getBody0());
        const BulletActor *b = actor_of(m.getBody1());
        if (!a || !b) {
            drop_refused_controller_points(m);
            continue;
        }
        if (!a->rules.empty() || !b->rules.empty())
            for (int k = m.getNumContacts() - 1; k >= 0; --k) {
                btManifoldPoint &p = m.getContactPoint(k);
                if (shapes_collide(a, p.m_index0, b, p.m_index1))
                    continue;
                if (trigger_child(a, p.m_index0) || trigger_child(b, p.m_index1)) {
                    // Kept for the trigger's report, but out of reach: it pushes nothing.
                    p.m_distance1 = 1e30f;
                    p.m_combinedFriction = 0;
                    p.m_combinedRestitution = 0;
                } else {
                    m.removeContactPoint(k);
                }
            }
        const f32 skin = a->skin + b->skin;
        const bool rules = !a->rules.empty() || !b->rules.empty();
        const f32 static_friction = (a->static_friction + b->static_friction) * 0.5f;
        const f32 dynamic_friction = (a->dynamic_friction + b->dynamic_friction) * 0.5f;
        const btTransform &ta = m.getBody0()->getWorldTransform(), &tb = m.getBody1()->getWorldTransform();
        const auto *ra = btRigidBody::upcast(m.getBody0()), *rb = btRigidBody::upcast(m.getBody1());
        // Most pairs need neither a skin nor a second friction: kept cheap for them.
        const bool sticks = static_friction != dynamic_friction;
        for (int k = 0; k < m.getNumContacts(); ++k) {
            btManifoldPoint &p = m.getContactPoint(k);
            if (rules && p.m_distance1 >= 1e30f)
                continue; // a trigger shape's
            p.m_combinedFriction = dynamic_friction;
            if (skin == 0 && !sticks)
                continue;
            btVector3 pa = ta * p.m_localPointA, pb = tb * p.m_localPointB;
            // The distance from where the bodies are now (so it holds however often it
            // is done), less the depth the two skins allow.
            if (skin > 0)
                p.m_distance1 = (pa - pb).dot(p.m_normalWorldOnB) + skin;
            if (sticks) {
                btVector3 v = ra->getVelocityInLocalPoint(pa - ra->getCenterOfMassPosition()) -
                              rb->getVelocityInLocalPoint(pb - rb->getCenterOfMassPosition());
                btVector3 slide = v - p.m_normalWorldOnB * v.dot(p.m_normalWorldOnB);
                if (slide.length2() < sticking_speed * sticking_speed)
                    p.m_combinedFriction = static_friction;
            }
        }
    }
    return btSequentialImpulseConstraintSolver::solveGroup(bodies, body_count, manifolds, manifold_count, constraints,
                                                           constraint_count, info, draw, dispatcher);
}

void BulletScene::add_step_impulses()
{
    ++_sub_steps;
    int manifolds = _dispatcher.getNumManifolds();
    for (int i = 0; i < manifolds; ++i) {
        btPersistentManifold *m = _dispatcher.getManifoldByIndexInternal(i);
        BulletActor *a = actor_of(m->getBody0());
        BulletActor *b = actor_of(m->getBody1());
        if (!a || !b || a->trigger || b->trigger || !((a->contact_flags | b->contact_flags) & notify_on_start_touch))
            continue;
        PairImpulse sum{std::min(a->order, b->order), std::max(a->order, b->order), {0, 0, 0}, {0, 0, 0}};
        for (int k = 0; k < m->getNumContacts(); ++k) {
            const btManifoldPoint &p = m->getContactPoint(k);
            sum.normal += p.m_normalWorldOnB * p.getAppliedImpulse();
            sum.friction += p.m_lateralFrictionDir1 * p.m_appliedImpulseLateral1 +
                            p.m_lateralFrictionDir2 * p.m_appliedImpulseLateral2;
        }
        if (!sum.normal.isZero() || !sum.friction.isZero())
            _impulses.push_back(sum);
    }
}

bool BulletScene::pushed(u64 key_a, u64 key_b) const
{
    auto it = std::lower_bound(_impulses.begin(), _impulses.end(), PairImpulse{key_a, key_b, {}, {}});
    return it != _impulses.end() && it->key_a == key_a && it->key_b == key_b;
}

void BulletScene::collect_touching_shapes(const btPersistentManifold &m, BulletActor *a, BulletActor *b,
                                          std::vector<TouchPair> &contacts, std::vector<TouchPair> &triggers)
{
    // Shape by shape: trigger shapes make a trigger pair (the trigger's actor first), the
    // shapes that may touch a contact pair.
    const bool reports = ((a->contact_flags | b->contact_flags) & (notify_on_start_touch | notify_on_end_touch)) != 0;
    const bool pushing = pushed(std::min(a->order, b->order), std::max(a->order, b->order)) ||
                         ((!a->dynamic || !a->body->isActive()) && (!b->dynamic || !b->body->isActive()));
    const btTransform &ta = m.getBody0()->getWorldTransform(), &tb = m.getBody1()->getWorldTransform();
    bool trigger_found = false, contact_found = false;
    for (int k = 0; k < m.getNumContacts(); ++k) {
        const btManifoldPoint &p = m.getContactPoint(k);
        bool ta_trigger = trigger_child(a, p.m_index0) || a->trigger;
        bool tb_trigger = trigger_child(b, p.m_index1) || b->trigger;
        if (ta_trigger != tb_trigger) {
            BulletActor *trigger = ta_trigger ? a : b, *other = ta_trigger ? b : a;
            // Where the bodies are now: the solver was told this point is out of reach.
            f32 d = (ta * p.m_localPointA - tb * p.m_localPointB).dot(p.m_normalWorldOnB);
            if (!trigger_found && trigger->trigger_status && d <= touch_distance) {
                trigger_found = true;
                triggers.push_back({trigger, other, trigger->order, other->order, from_bt(p.getPositionWorldOnB()), {}, {}});
            }
        } else if (!ta_trigger && reports && !contact_found && shapes_collide(a, p.m_index0, b, p.m_index1)) {
            f32 d = p.getDistance();
            if (d <= touch_distance && (d <= 0 || pushing)) {
                contact_found = true;
                BulletActor *first = a->order < b->order ? a : b, *second = first == a ? b : a;
                contacts.push_back(
                    {first, second, first->order, second->order, from_bt(p.getPositionWorldOnB()), {}, {}});
            }
        }
    }
}

void BulletScene::collect_touching(std::vector<TouchPair> &contacts, std::vector<TouchPair> &triggers)
{
    contacts.clear();
    triggers.clear();
    std::sort(_impulses.begin(), _impulses.end());
    int manifolds = _dispatcher.getNumManifolds();
    for (int i = 0; i < manifolds; ++i) {
        btPersistentManifold *m = _dispatcher.getManifoldByIndexInternal(i);
        BulletActor *a = actor_of(m->getBody0());
        BulletActor *b = actor_of(m->getBody1());
        if (!a || !b)
            continue;
        if (!a->rules.empty() || !b->rules.empty()) {
            collect_touching_shapes(*m, a, b, contacts, triggers);
            continue;
        }
        bool is_trigger = a->trigger != b->trigger; // trigger against trigger reports nothing
        if (!is_trigger && !((a->contact_flags | b->contact_flags) & (notify_on_start_touch | notify_on_end_touch)))
            continue;
        if (is_trigger && !(a->trigger ? a->trigger_status : b->trigger_status))
            continue;
        // Touching: a point within reach that overlaps or pushed in this step (a point a
        // little short of its surface that took no impulse has not been reached yet).
        bool pushing = !is_trigger && pushed(std::min(a->order, b->order), std::max(a->order, b->order));
        // Asleep, nothing is solved: the pair keeps touching as it lay.
        pushing = pushing || ((!a->dynamic || !a->body->isActive()) && (!b->dynamic || !b->body->isActive()));
        int first = -1;
        for (int k = 0; k < m->getNumContacts() && first < 0; ++k) {
            f32 d = m->getContactPoint(k).getDistance();
            if (d <= touch_distance && (d <= 0 || pushing || is_trigger))
                first = k;
        }
        if (first < 0)
            continue;
        if (is_trigger ? b->trigger : a->order > b->order)
            std::swap(a, b);
        TouchPair pair{a, b, a->order, b->order, from_bt(m->getContactPoint(first).getPositionWorldOnB()), {}, {}};
        (is_trigger ? triggers : contacts).push_back(pair);
    }
    // One entry per actor pair (compounds give several manifolds), in creation order.
    for (std::vector<TouchPair> *list : {&contacts, &triggers}) {
        std::sort(list->begin(), list->end());
        u32 out = 0;
        for (u32 i = 0; i < list->size(); ++i) {
            TouchPair &p = (*list)[i];
            if (!out || (*list)[out - 1].key_a != p.key_a || (*list)[out - 1].key_b != p.key_b)
                (*list)[out++] = p;
        }
        list->resize(out);
    }
    // The forces: the impulses of every sub-step since the last fetch over their time.
    const f32 inverse_time = _sub_steps ? 1.0f / (f32(_sub_steps) * _desc.sub_step_s) : 0.0f;
    auto impulse = _impulses.begin();
    for (TouchPair &p : contacts) {
        impulse = std::lower_bound(impulse, _impulses.end(), PairImpulse{p.key_a, p.key_b, {}, {}});
        btVector3 normal(0, 0, 0), friction(0, 0, 0);
        for (auto it = impulse; it != _impulses.end() && it->key_a == p.key_a && it->key_b == p.key_b; ++it) {
            normal += it->normal;
            friction += it->friction;
        }
        p.normal_force = from_bt(normal * inverse_time);
        p.friction_force = from_bt(friction * inverse_time);
    }
    _impulses.clear();
    _sub_steps = 0;
}

void BulletScene::fetch_results()
{
    ISceneCallbacks *cb = _desc.callbacks;
    _woke.clear();
    _slept.clear();
    for (BulletActor *a : _actors) {
        if (!a->dynamic || a->kinematic)
            continue;
        bool awake = a->body->isActive();
        if (awake != a->awake)
            (awake ? _woke : _slept).push_back(a);
        a->awake = awake;
    }
    collect_touching(_new_contacts, _new_triggers);
    if (cb) {
        if (!_slept.empty())
            cb->on_sleep(_slept.data(), u32(_slept.size()));
        if (!_woke.empty())
            cb->on_wake(_woke.data(), u32(_woke.size()));
        // Merge walk of two sorted lists: only in the new one = start, only in the old = end.
        auto diff = [&](const std::vector<TouchPair> &old, const std::vector<TouchPair> &now, bool triggers) {
            u32 i = 0, j = 0;
            while (i < old.size() || j < now.size()) {
                bool take_old = j == now.size() || (i < old.size() && old[i] < now[j]);
                bool take_new = i == old.size() || (j < now.size() && now[j] < old[i]);
                const TouchPair &p = take_old ? old[i] : now[j];
                u32 bit;
                if (triggers)
                    bit = take_old ? u32(trigger_on_leave) : take_new ? u32(trigger_on_enter) : u32(trigger_on_stay);
                else
                    bit = take_old ? u32(notify_on_end_touch) : take_new ? u32(notify_on_start_touch) : 0u;
                if (triggers) {
                    if (p.a->trigger_status & bit)
                        cb->on_trigger(p.a, p.b, bit);
                } else if (bit && ((p.a->contact_flags | p.b->contact_flags) & bit)) {
                    ContactPair pair;
                    pair.actors[0] = p.a;
                    pair.actors[1] = p.b;
                    pair.has_point = true;
                    pair.point = p.point;
                    pair.normal_force = p.normal_force;
                    pair.friction_force = p.friction_force;
                    cb->on_contact(pair, bit);
                }
                i += take_new ? 0 : 1;
                j += take_old ? 0 : 1;
            }
        };
        diff(_contacts, _new_contacts, false);
        diff(_triggers, _new_triggers, true);
    }
    // Joints that broke in this step's sub-steps, each reported once.
    for (BulletJoint *j : _joints)
        if (j->broken && !j->reported) {
            j->reported = true;
            if (cb)
                cb->on_joint_break(j);
        }
    std::swap(_contacts, _new_contacts);
    std::swap(_triggers, _new_triggers);
    if (_lines.mode != btIDebugDraw::DBG_NoDebug) {
        _lines.lines.clear();
        _world.debugDrawWorld();
    }
}

class BulletSdk final : public ISdk {
  public:
    BulletSdk(Allocator &allocator, IErrorSink *errors) : _allocator(allocator), _errors(errors) {}
    ~BulletSdk() override
    {
        if (_scenes || _meshes)
            log_message("physics", "physics layer released with %u scenes and %u meshes alive", _scenes, _meshes);
    }

    IScene *create_scene(const SceneDesc &desc) override
    {
        if (!finite_positive(desc.sub_step_s) || desc.max_sub_steps == 0) {
            report(error_invalid_parameter, "create_scene: a sub-step must be above zero");
            return nullptr;
        }
        void *block = _allocator.allocate(sizeof(BulletScene), 16);
        if (!block) {
            report(error_out_of_memory, "create_scene: out of memory");
            return nullptr;
        }
        ++_scenes;
        return new (block) BulletScene(_allocator, _errors, desc);
    }

    void release_scene(IScene *scene) override
    {
        if (!scene)
            return;
        --_scenes;
        scene->~IScene();
        _allocator.deallocate(scene);
    }

    Mesh *create_triangle_mesh(const u8 *bytes, u64 size) override { return create_mesh(bytes, size, CookedMeshKind::Triangles); }
    Mesh *create_convex_mesh(const u8 *bytes, u64 size) override { return create_mesh(bytes, size, CookedMeshKind::Convex); }

    void release_mesh(Mesh *mesh) override
    {
        if (!mesh)
            return;
        --_meshes;
        delete mesh->shape;
        delete mesh->triangles;
        mesh->~Mesh();
        _allocator.deallocate(mesh);
    }

    u32 mesh_count() const override { return _meshes; }

    void release() override
    {
        Allocator &allocator = _allocator;
        this->~BulletSdk();
        allocator.deallocate(this);
    }

  private:
    void report(u32 code, const char *message)
    {
        if (_errors)
            _errors->report_error(code, message, __FILE__, __LINE__);
    }

    Mesh *create_mesh(const u8 *bytes, u64 size, CookedMeshKind kind)
    {
        CookedMesh cooked;
        const char *reason = nullptr;
        if (!read_cooked_mesh(bytes, size, cooked, &reason) || cooked.kind != kind) {
            report(error_invalid_parameter, reason ? reason : "cooked bytes of the other mesh kind");
            return nullptr;
        }
        void *block = _allocator.allocate(sizeof(Mesh), 16);
        if (!block) {
            report(error_out_of_memory, "create_mesh: out of memory");
            return nullptr;
        }
        Mesh *m = new (block) Mesh();
        m->kind = kind;
        m->vertices.resize(u64(cooked.vertex_count) * 3);
        for (u32 i = 0; i < cooked.vertex_count; ++i)
            cooked.vertex(i, &m->vertices[u64(i) * 3]);
        if (kind == CookedMeshKind::Convex) {
            m->shape = new btConvexHullShape(m->vertices.data(), int(cooked.vertex_count), 12);
            m->mass = hull_mass(m->vertices);
        } else {
            m->indices.resize(u64(cooked.triangle_count) * 3);
            for (u32 i = 0; i < cooked.triangle_count; ++i) {
                u32 t[3];
                cooked.triangle(i, t);
                for (int k = 0; k < 3; ++k)
                    m->indices[u64(i) * 3 + k] = i32(t[k]);
            }
            m->triangles = new btTriangleIndexVertexArray(int(cooked.triangle_count), m->indices.data(), 12,
                                                          int(cooked.vertex_count), m->vertices.data(), 12);
            m->shape = new btBvhTriangleMeshShape(m->triangles, true);
        }
        ++_meshes;
        return m;
    }

    Allocator &_allocator;
    IErrorSink *_errors;
    u32 _scenes = 0;
    u32 _meshes = 0;
};

void BulletScene::set_collision_disabled(Actor *actor, bool disabled)
{
    if (!actor || cast(actor)->disable_collision == disabled)
        return;
    BulletActor *a = cast(actor);
    a->disable_collision = disabled;
    // The filter decides pairs when they are made: drop the old ones and look again.
    if (btBroadphaseProxy *proxy = a->body->getBroadphaseHandle())
        _world.getPairCache()->cleanProxyFromPairs(proxy, &_dispatcher);
    _world.removeRigidBody(a->body);
    add_body(a);
    if (a->dynamic && !a->kinematic)
        a->body->activate(true);
}

namespace {

bool takes_forces(const BulletActor *a) { return a && a->dynamic && !a->kinematic && a->mass > 0; }

} // namespace

void BulletScene::add_force(Actor *actor, const Vector3 &force, ForceMode mode, bool wake)
{
    // At the centre of mass: it pushes without turning.
    BulletActor *a = cast(actor);
    if (!takes_forces(a))
        return;
    add_force_at_position(actor, force, from_bt(a->body->getCenterOfMassPosition()), mode, wake);
}

void BulletScene::add_force_at_position(Actor *actor, const Vector3 &force, const Vector3 &position, ForceMode mode,
                                        bool wake)
{
    BulletActor *a = cast(actor);
    if (!takes_forces(a) || !finite(force) || !finite(position))
        return;
    btRigidBody *b = a->body;
    btVector3 f(force.x, force.y, force.z);
    btVector3 r = btVector3(position.x, position.y, position.z) - b->getCenterOfMassPosition();
    switch (mode) {
    case ForceMode::Impulse:
    case ForceMode::SmoothImpulse: b->applyImpulse(f, r); break;
    case ForceMode::VelocityChange:
    case ForceMode::SmoothVelocityChange: b->applyImpulse(f * a->mass, r); break;
    case ForceMode::Acceleration: b->applyForce(f * a->mass, r); break;
    default: b->applyForce(f, r); break;
    }
    if (wake)
        b->activate(true);
}

void BulletScene::add_torque(Actor *actor, const Vector3 &torque, ForceMode mode, bool wake)
{
    BulletActor *a = cast(actor);
    if (!takes_forces(a) || !finite(torque))
        return;
    btRigidBody *b = a->body;
    btVector3 t(torque.x, torque.y, torque.z);
    switch (mode) {
    case ForceMode::Impulse:
    case ForceMode::SmoothImpulse: b->applyTorqueImpulse(t); break;
    case ForceMode::VelocityChange:
    case ForceMode::SmoothVelocityChange: b->setAngularVelocity(b->getAngularVelocity() + t); break;
    case ForceMode::Acceleration: b->applyTorque(b->getInvInertiaTensorWorld().inverse() * t); break;
    default: b->applyTorque(t); break;
    }
    if (wake)
        b->activate(true);
}

void BulletScene::wake_up(Actor *actor, f32 counter)
{
    BulletActor *a = cast(actor);
    if (!a || !a->dynamic || a->kinematic)
        return;
    a->body->activate(true);
    // Bullet puts a body to sleep after 2 s at rest: starting the clock later keeps it
    // awake for `counter` seconds more than that at least.
    a->body->setDeactivationTime(std::isfinite(counter) && counter > 0 ? -counter : 0);
}

} // namespace bullet

using bullet::BulletSdk;

bool groups_collide(const GroupsMask &a, const GroupsMask &b)
{
    return ((a.bits[0] & b.bits[2]) | (a.bits[1] & b.bits[3]) | (a.bits[2] & b.bits[0]) | (a.bits[3] & b.bits[1])) != 0;
}

bool bullet_step_splits() { return bullet::split_step_available(); }

ISdk *create_bullet_sdk(Allocator &allocator, IErrorSink *errors)
{
    bullet::split_step_available(); // Bullet's task scheduler is set from this thread
    void *block = allocator.allocate(sizeof(BulletSdk), 16);
    if (!block)
        return nullptr;
    return new (block) BulletSdk(allocator, errors);
}

} // namespace tallow::px
