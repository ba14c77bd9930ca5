// The physics layer over Bullet. What Bullet does not have is written here: the 128-bit
// group filter (an overlap filter callback), contact and trigger reports (the touching
// actor pairs of a step diffed against the last step's), wake and sleep reports (activation
// states polled after the step), teleports that infer no velocity, and meshes from our own
// cooked bytes.
#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "platform/physics/cooked_mesh.h"
#include "platform/physics/physics_layer.h"

#include <btBulletDynamicsCommon.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace tallow::px {

namespace {

// A ray longer than this misses in Bullet's float build; no scene is that large.
constexpr f32 max_ray_length = 1.0e6f;
// Points of a manifold closer than this count as touching.
constexpr f32 touch_distance = 0.01f;

btTransform to_bt(const Matrix4x4 &m)
{
    // Engine rows are the axes; Bullet's basis columns are the axes.
    btMatrix3x3 basis(m.m[0][0], m.m[1][0], m.m[2][0], m.m[0][1], m.m[1][1], m.m[2][1], m.m[0][2], m.m[1][2],
                      m.m[2][2]);
    return btTransform(basis, btVector3(m.m[3][0], m.m[3][1], m.m[3][2]));
}

Matrix4x4 from_bt(const btTransform &t)
{
    const btMatrix3x3 &b = t.getBasis();
    const btVector3 &p = t.getOrigin();
    Matrix4x4 m = matrix4x4_identity;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            m.m[row][col] = b[col][row];
    m.m[3][0] = p.x();
    m.m[3][1] = p.y();
    m.m[3][2] = p.z();
    return m;
}

Vector3 from_bt(const btVector3 &v) { return {v.x(), v.y(), v.z()}; }

bool finite_positive(f32 v) { return std::isfinite(v) && v > 0; }

} // namespace

struct Mesh {
    CookedMeshKind kind = CookedMeshKind::Convex;
    std::vector<f32> vertices;
    std::vector<i32> indices;
    btTriangleIndexVertexArray *triangles = nullptr;
    btCollisionShape *shape = nullptr;
};

namespace {

class BulletScene;

struct BulletActor final : Actor {
    BulletScene *scene = nullptr;
    btRigidBody *body = nullptr;
    btDefaultMotionState motion;
    std::vector<btCollisionShape *> owned_shapes; // the compound (if any) last
    std::vector<BulletActor *> ignored;
    GroupsMask groups;
    u64 order = 0; // creation order, for sorted reports
    u32 contact_flags = 0;
    u32 trigger_status = 0;
    bool trigger = false;
    bool dynamic = false;
    bool kinematic = false;
    bool awake = false;
    bool disable_collision = false;
    bool disable_gravity = false;
    f32 mass = 0;
    btVector3 inertia{0, 0, 0};
};

/// A touching pair of a step, ordered by creation order (first < second, except that a
/// trigger's pair names the trigger first).
struct TouchPair {
    BulletActor *a;
    BulletActor *b;
    u64 key_a, key_b;
    Vector3 point;
    Vector3 normal_force;
    Vector3 friction_force;
    bool operator<(const TouchPair &o) const { return key_a != o.key_a ? key_a < o.key_a : key_b < o.key_b; }
};

BulletActor *actor_of(const btCollisionObject *o)
{
    return o ? static_cast<BulletActor *>(o->getUserPointer()) : nullptr;
}

struct GroupFilter final : btOverlapFilterCallback {
    bool needBroadphaseCollision(btBroadphaseProxy *p0, btBroadphaseProxy *p1) const override
    {
        BulletActor *a = actor_of(static_cast<btCollisionObject *>(p0->m_clientObject));
        BulletActor *b = actor_of(static_cast<btCollisionObject *>(p1->m_clientObject));
        if (!a || !b)
            return false; // query objects of our own never pair
        if (a->disable_collision || b->disable_collision)
            return false;
        if (!a->dynamic && !b->dynamic)
            return false; // statics never pair with statics
        return groups_collide(a->groups, b->groups);
    }
};

class LineCollector final : public btIDebugDraw {
  public:
    std::vector<DebugLine> lines;
    int mode = DBG_NoDebug;
    void drawLine(const btVector3 &from, const btVector3 &to, const btVector3 &color) override
    {
        u32 c = u32(std::clamp(color.x(), 0.0f, 1.0f) * 255) << 16 | u32(std::clamp(color.y(), 0.0f, 1.0f) * 255) << 8 |
                u32(std::clamp(color.z(), 0.0f, 1.0f) * 255);
        lines.push_back({from_bt(from), from_bt(to), c});
    }
    void drawContactPoint(const btVector3 &, const btVector3 &, btScalar, int, const btVector3 &) override {}
    void reportErrorWarning(const char *) override {}
    void draw3dText(const btVector3 &, const char *) override {}
    void setDebugMode(int m) override { mode = m; }
    int getDebugMode() const override { return mode; }
};

class BulletSdk;

class BulletScene final : public IScene {
  public:
    BulletScene(Allocator &allocator, IErrorSink *errors, const SceneDesc &desc)
        : _allocator(allocator), _errors(errors), _desc(desc), _dispatcher(&_config), _world(&_dispatcher, &_broadphase, &_solver, &_config)
    {
        _world.setGravity(btVector3(desc.gravity.x, desc.gravity.y, desc.gravity.z));
        _world.getPairCache()->setOverlapFilterCallback(&_filter);
        _world.setDebugDrawer(&_lines);
        _materials.push_back(Material{});
    }

    ~BulletScene() override
    {
        while (!_actors.empty())
            release_actor(_actors.back());
    }

    u32 create_material(const Material &material) override
    {
        _materials.push_back(material);
        return u32(_materials.size() - 1);
    }

    Actor *create_actor(const ActorDesc &desc) override;
    void release_actor(Actor *actor) override;

    bool is_dynamic(const Actor *a) const override { return a && cast(a)->dynamic; }
    bool is_sleeping(const Actor *a) const override
    {
        return a && cast(a)->dynamic && !cast(a)->kinematic && !cast(a)->body->isActive();
    }
    bool read_body_flag(const Actor *a, BodyFlag flag) const override
    {
        if (!a)
            return false;
        return flag == body_kinematic ? cast(a)->kinematic : cast(a)->disable_gravity;
    }
    void raise_body_flag(Actor *a, BodyFlag flag) override { set_body_flag(cast(a), flag, true); }
    void clear_body_flag(Actor *a, BodyFlag flag) override { set_body_flag(cast(a), flag, false); }

    Matrix4x4 global_pose(const Actor *a) const override
    {
        return a ? from_bt(cast(a)->body->getWorldTransform()) : matrix4x4_identity;
    }

    void set_global_pose(Actor *actor, const Matrix4x4 &pose) override
    {
        if (!actor)
            return;
        BulletActor *a = cast(actor);
        btTransform t = to_bt(pose);
        a->body->setWorldTransform(t);
        a->body->setInterpolationWorldTransform(t);
        a->motion.m_graphicsWorldTrans = t;
        if (a->dynamic) {
            a->body->setLinearVelocity(btVector3(0, 0, 0));
            a->body->setAngularVelocity(btVector3(0, 0, 0));
            a->body->setInterpolationLinearVelocity(btVector3(0, 0, 0));
            a->body->setInterpolationAngularVelocity(btVector3(0, 0, 0));
            a->body->activate(true);
        }
        _world.updateSingleAabb(a->body);
    }

    void move_global_pose(Actor *actor, const Matrix4x4 &pose) override
    {
        if (!actor || !cast(actor)->kinematic)
            return;
        // Bullet takes a kinematic body's target from its motion state at the next step
        // and infers the velocity that pushes what it meets.
        cast(actor)->motion.m_graphicsWorldTrans = to_bt(pose);
        cast(actor)->body->activate(true);
    }

    Vector3 linear_velocity(const Actor *a) const override
    {
        return a ? from_bt(cast(a)->body->getLinearVelocity()) : Vector3{};
    }
    void set_linear_velocity(Actor *a, const Vector3 &v) override
    {
        if (a && cast(a)->dynamic) {
            cast(a)->body->setLinearVelocity(btVector3(v.x, v.y, v.z));
            cast(a)->body->activate(true);
        }
    }

    void set_groups_mask(Actor *actor, const GroupsMask &mask) override
    {
        if (!actor)
            return;
        BulletActor *a = cast(actor);
        a->groups = mask;
        // Pairs the new mask refuses must go now, and pairs it allows must be found again.
        btBroadphaseProxy *proxy = a->body->getBroadphaseHandle();
        if (proxy)
            _world.getPairCache()->cleanProxyFromPairs(proxy, &_dispatcher);
        _world.removeRigidBody(a->body);
        add_body(a);
    }

    void set_contact_report_flags(Actor *a, u32 flags) override
    {
        if (a)
            cast(a)->contact_flags = flags;
    }

    void ignore_pair(Actor *actor_a, Actor *actor_b) override
    {
        if (!actor_a || !actor_b || actor_a == actor_b)
            return;
        BulletActor *a = cast(actor_a), *b = cast(actor_b);
        a->body->setIgnoreCollisionCheck(b->body, true);
        b->body->setIgnoreCollisionCheck(a->body, true);
        a->ignored.push_back(b);
        b->ignored.push_back(a);
    }

    void simulate(f32 dt) override
    {
        if (!(dt >= 0) || !std::isfinite(dt))
            return;
        _world.stepSimulation(dt, int(_desc.max_sub_steps), _desc.sub_step_s);
    }

    void fetch_results() override;

    bool raycast_closest(const Vector3 &origin, const Vector3 &direction, f32 length, const GroupsMask &groups,
                         Actor *&out_actor, Vector3 &out_point) const override;

    void set_debug_lines(bool on) override
    {
        _lines.setDebugMode(on ? btIDebugDraw::DBG_DrawWireframe : btIDebugDraw::DBG_NoDebug);
        _lines.lines.clear();
    }
    u32 debug_lines(const DebugLine *&out_lines) const override
    {
        out_lines = _lines.lines.data();
        return u32(_lines.lines.size());
    }
    u32 actor_count() const override { return u32(_actors.size()); }

    void report(u32 code, const char *message)
    {
        if (_errors)
            _errors->report_error(code, message, __FILE__, __LINE__);
    }

  private:
    static BulletActor *cast(Actor *a) { return static_cast<BulletActor *>(a); }
    static const BulletActor *cast(const Actor *a) { return static_cast<const BulletActor *>(a); }

    btCollisionShape *make_shape(const ShapeDesc &s, bool dynamic, BulletActor &a, const char *&error);
    void set_body_flag(BulletActor *a, BodyFlag flag, bool on);
    void apply_body_state(BulletActor *a);
    void add_body(BulletActor *a)
    {
        // The filter callback decides every pair; Bullet's own groups stay all-pass.
        _world.addRigidBody(a->body, -1, -1);
        if (a->dynamic && !a->kinematic && a->disable_gravity)
            a->body->setGravity(btVector3(0, 0, 0));
    }
    void collect_touching(std::vector<TouchPair> &contacts, std::vector<TouchPair> &triggers);

    Allocator &_allocator;
    IErrorSink *_errors;
    SceneDesc _desc;
    btDefaultCollisionConfiguration _config;
    btCollisionDispatcher _dispatcher;
    btDbvtBroadphase _broadphase;
    btSequentialImpulseConstraintSolver _solver;
    btDiscreteDynamicsWorld _world;
    GroupFilter _filter;
    LineCollector _lines;
    std::vector<Material> _materials;
    std::vector<BulletActor *> _actors; // in creation order
    u64 _next_order = 1;
    std::vector<TouchPair> _contacts, _triggers;         // touching at the last step
    std::vector<TouchPair> _new_contacts, _new_triggers; // scratch, kept for its capacity
    std::vector<Actor *> _woke, _slept;
};

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
    if (a->trigger || desc.disable_response)
        a->body->setCollisionFlags(a->body->getCollisionFlags() | btCollisionObject::CF_NO_CONTACT_RESPONSE);
    a->order = _next_order++;
    a->awake = desc.dynamic;
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
    std::swap(_contacts, _new_contacts);
    std::swap(_triggers, _new_triggers);
    if (_lines.mode != btIDebugDraw::DBG_NoDebug) {
        _lines.lines.clear();
        _world.debugDrawWorld();
    }
}

struct FilteredRay final : btCollisionWorld::ClosestRayResultCallback {
    FilteredRay(const btVector3 &from, const btVector3 &to, const GroupsMask &groups)
        : ClosestRayResultCallback(from, to), groups(groups)
    {
    }
    bool needsCollision(btBroadphaseProxy *proxy) const override
    {
        BulletActor *a = actor_of(static_cast<btCollisionObject *>(proxy->m_clientObject));
        return a && groups_collide(a->groups, groups);
    }
    GroupsMask groups;
};

bool BulletScene::raycast_closest(const Vector3 &origin, const Vector3 &direction, f32 length, const GroupsMask &groups,
                                  Actor *&out_actor, Vector3 &out_point) const
{
    if (!std::isfinite(length) || length > max_ray_length)
        length = max_ray_length;
    if (!(length > 0))
        return false;
    btVector3 from(origin.x, origin.y, origin.z);
    btVector3 to = from + btVector3(direction.x, direction.y, direction.z) * length;
    FilteredRay ray(from, to, groups);
    _world.rayTest(from, to, ray);
    if (!ray.hasHit())
        return false;
    out_actor = actor_of(ray.m_collisionObject);
    out_point = from_bt(ray.m_hitPointWorld);
    return true;
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

} // namespace

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
