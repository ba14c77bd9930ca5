// The physics layer over Bullet. What Bullet does not have is written here: the 128-bit
// group filter (an overlap filter callback), contact and trigger reports (the touching
// actor pairs of a step diffed against the last step's), wake and sleep reports (activation
// states polled after the step), teleports that infer no velocity, and meshes from our own
// cooked bytes. Queries, joints and the character controller have files of their own.
#include "platform/physics/physics_bullet_internal.h"

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

f32 shape_volume(const ShapeDesc &s)
{
    constexpr f32 pi = 3.14159265f;
    switch (s.kind) {
    case ShapeKind::Sphere: return 4.0f / 3.0f * pi * s.size.x * s.size.x * s.size.x;
    case ShapeKind::Box: return 8.0f * s.size.x * s.size.y * s.size.z;
    case ShapeKind::Capsule: return pi * s.size.x * s.size.x * (s.size.y + 4.0f / 3.0f * s.size.x);
    case ShapeKind::ConvexMesh: {
        btVector3 lo, hi;
        s.mesh->shape->getAabb(btTransform::getIdentity(), lo, hi);
        btVector3 d = hi - lo;
        return d.x() * d.y() * d.z();
    }
    default: return 0;
    }
}

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
    bool single = desc.shape_count == 1 && desc.shapes[0].local_pose == matrix4x4_identity;
    btCompoundShape *compound = single ? nullptr : new btCompoundShape(true, int(desc.shape_count));
    btCollisionShape *root = nullptr;
    f32 mass_from_shapes = 0;
    f32 friction = 0, restitution = 0;
    u32 solid_shapes = 0;
    for (u32 i = 0; i < desc.shape_count && !error; ++i) {
        const ShapeDesc &s = desc.shapes[i];
        btCollisionShape *shape = make_shape(s, desc.dynamic, *a, error);
        if (!shape)
            break;
        if (s.flags & shape_trigger) {
            a->trigger = true;
            a->trigger_status |= s.trigger_status;
        } else {
            ++solid_shapes;
            mass_from_shapes += s.density * shape_volume(s);
        }
        a->query_flags |= s.flags & (shape_disable_raycasting | shape_disable_scene_queries);
        if (s.flags & shape_disable_collision)
            a->disable_collision = a->disable_collision || desc.shape_count == 1;
        const Material &m = s.material < _materials.size() ? _materials[s.material] : _materials[0];
        friction += m.dynamic_friction;
        restitution += m.restitution;
        if (compound)
            compound->addChildShape(to_bt(s.local_pose), shape);
        else
            root = shape;
    }
    if (error) {
        report(error_invalid_parameter, error);
        delete compound;
        for (btCollisionShape *s : a->owned_shapes)
            delete s;
        a->~BulletActor();
        _allocator.deallocate(block);
        return nullptr;
    }
    if (compound) {
        a->owned_shapes.push_back(compound);
        root = compound;
    }
    if (desc.dynamic) {
        a->mass = desc.mass > 0 ? desc.mass : mass_from_shapes * desc.density;
        if (!(a->mass > 0) || !std::isfinite(a->mass))
            a->mass = 1.0f; // trigger-only or massless shapes
        if (length_squared(desc.inertia) > 0)
            a->inertia = btVector3(desc.inertia.x, desc.inertia.y, desc.inertia.z);
        else
            root->calculateLocalInertia(a->mass, a->inertia);
    }
    a->motion.m_graphicsWorldTrans = to_bt(desc.pose);
    a->motion.m_startWorldTrans = a->motion.m_graphicsWorldTrans;
    btRigidBody::btRigidBodyConstructionInfo info(a->mass, &a->motion, root, a->inertia);
    info.m_linearDamping = desc.linear_damping;
    info.m_angularDamping = desc.angular_damping;
    info.m_friction = friction / f32(desc.shape_count);
    info.m_restitution = restitution / f32(desc.shape_count);
    a->body = new btRigidBody(info);
    a->body->setUserPointer(a);
    a->body->setUserIndex(object_actor);
    if (a->trigger || desc.disable_response)
        a->body->setCollisionFlags(a->body->getCollisionFlags() | btCollisionObject::CF_NO_CONTACT_RESPONSE);
    a->order = _next_order++;
    // Counted asleep until the first step sees it: a body made awake then reports its wake
    // like any other, so its unit is put among the awake ones.
    a->awake = false;
    (void)solid_shapes;
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
        a->motion.m_graphicsWorldTrans = b->getWorldTransform();
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
        if (j->constraint) {
            _world.removeConstraint(j->constraint);
            delete j->constraint;
            j->constraint = nullptr;
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

void BulletScene::collect_touching(std::vector<TouchPair> &contacts, std::vector<TouchPair> &triggers)
{
    contacts.clear();
    triggers.clear();
    const f32 inverse_dt = 1.0f / _desc.sub_step_s;
    int manifolds = _dispatcher.getNumManifolds();
    for (int i = 0; i < manifolds; ++i) {
        btPersistentManifold *m = _dispatcher.getManifoldByIndexInternal(i);
        BulletActor *a = actor_of(m->getBody0());
        BulletActor *b = actor_of(m->getBody1());
        if (!a || !b)
            continue;
        bool is_trigger = a->trigger != b->trigger; // trigger against trigger reports nothing
        if (!is_trigger && !((a->contact_flags | b->contact_flags) & (notify_on_start_touch | notify_on_end_touch)))
            continue;
        if (is_trigger && !(a->trigger ? a->trigger_status : b->trigger_status))
            continue;
        int first = -1;
        Vector3 normal{}, friction{};
        for (int k = 0; k < m->getNumContacts(); ++k) {
            const btManifoldPoint &p = m->getContactPoint(k);
            if (p.getDistance() > touch_distance)
                continue;
            if (first < 0)
                first = k;
            normal = normal + from_bt(p.m_normalWorldOnB * p.getAppliedImpulse() * inverse_dt);
            friction = friction + from_bt((p.m_lateralFrictionDir1 * p.m_appliedImpulseLateral1 +
                                           p.m_lateralFrictionDir2 * p.m_appliedImpulseLateral2) *
                                          inverse_dt);
        }
        if (first < 0)
            continue;
        if (is_trigger ? b->trigger : a->order > b->order)
            std::swap(a, b);
        TouchPair pair{a, b, a->order, b->order, from_bt(m->getContactPoint(first).getPositionWorldOnB()), normal, friction};
        (is_trigger ? triggers : contacts).push_back(pair);
    }
    // One entry per actor pair (compounds give several manifolds), in creation order.
    for (std::vector<TouchPair> *list : {&contacts, &triggers}) {
        std::sort(list->begin(), list->end());
        u32 out = 0;
        for (u32 i = 0; i < list->size(); ++i) {
            TouchPair &p = (*list)[i];
            if (out && (*list)[out - 1].key_a == p.key_a && (*list)[out - 1].key_b == p.key_b) {
                (*list)[out - 1].normal_force = (*list)[out - 1].normal_force + p.normal_force;
                (*list)[out - 1].friction_force = (*list)[out - 1].friction_force + p.friction_force;
            } else {
                (*list)[out++] = p;
            }
        }
        list->resize(out);
    }
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
    add_force_at_position(actor, force, translation(global_pose(actor)), mode, wake);
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

ISdk *create_bullet_sdk(Allocator &allocator, IErrorSink *errors)
{
    void *block = allocator.allocate(sizeof(BulletSdk), 16);
    if (!block)
        return nullptr;
    return new (block) BulletSdk(allocator, errors);
}

} // namespace tallow::px
