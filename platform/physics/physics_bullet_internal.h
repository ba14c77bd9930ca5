#pragma once
// The Bullet backend's own types, shared by its files: physics_bullet.cpp (SDK, actors,
// the step and its reports), physics_bullet_queries.cpp (rays and overlaps),
// physics_bullet_joints.cpp and physics_bullet_controller.cpp. Nothing outside
// platform/physics/ includes this.
#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "platform/physics/cooked_mesh.h"
#include "platform/physics/physics_bullet_tasks.h"
#include "platform/physics/physics_layer.h"

#include <btBulletDynamicsCommon.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace tallow::px {

namespace bullet {

// A ray longer than this misses in Bullet's float build; no scene is that large.
constexpr f32 max_ray_length = 1.0e6f;
// Points of a manifold closer than this count as touching.
constexpr f32 touch_distance = 0.01f;

inline btTransform to_bt(const Matrix4x4 &m)
{
    // Engine rows are the axes; Bullet's basis columns are the axes.
    btMatrix3x3 basis(m.m[0][0], m.m[1][0], m.m[2][0], m.m[0][1], m.m[1][1], m.m[2][1], m.m[0][2], m.m[1][2],
                      m.m[2][2]);
    return btTransform(basis, btVector3(m.m[3][0], m.m[3][1], m.m[3][2]));
}

inline Matrix4x4 from_bt(const btTransform &t)
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

inline Vector3 from_bt(const btVector3 &v) { return {v.x(), v.y(), v.z()}; }

inline bool finite(const Vector3 &v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

inline bool finite_positive(f32 v) { return std::isfinite(v) && v > 0; }

} // namespace bullet

/// A solid's volume, centroid and second moment about its centroid (the integral of
/// r r^T over it, r from the centroid), in its own frame, for a density of 1.
struct MassShape {
    f32 volume = 0;
    btVector3 centroid{0, 0, 0};
    btMatrix3x3 moment{0, 0, 0, 0, 0, 0, 0, 0, 0};
};

struct Mesh {
    CookedMeshKind kind = CookedMeshKind::Convex;
    std::vector<f32> vertices;
    std::vector<i32> indices;
    btTriangleIndexVertexArray *triangles = nullptr;
    btCollisionShape *shape = nullptr;
    MassShape mass; // a hull's
};

namespace bullet {

class BulletScene;

/// What one shape of an actor whose shapes differ in their filters or flags says.
struct ShapeRule {
    GroupsMask groups;
    u32 flags = 0; // ShapeFlag
};

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
    u32 query_flags = 0; // shape_disable_raycasting / shape_disable_scene_queries of all its shapes
    // One rule per shape (its compound's child), when its shapes differ in their filters,
    // in the flags that switch collision or queries off, or in being triggers; empty when
    // they agree (then `groups`, `trigger` and the flags above hold for every shape). An
    // actor with trigger shapes among solid ones is no trigger itself: its trigger shapes
    // report, its solid ones collide. With rules, `groups` is the union
    // of the shapes' masks, which pairs and queries are first tested against.
    std::vector<ShapeRule> rules;
    f32 mass = 0;
    btVector3 inertia{0, 0, 0};
    f32 skin = 0; // how deep it may sink into what it touches
    f32 static_friction = 0, dynamic_friction = 0;
    // The body's frame (its centre of mass and principal axes) in the actor's frame, and
    // the inverse; Bullet's body transform is actor pose x mass_frame.
    btTransform mass_frame = btTransform::getIdentity();
    btTransform mass_frame_inverse = btTransform::getIdentity();
    Matrix4x4 pose() const
    {
        return from_bt(body->getWorldTransform() * mass_frame_inverse);
    }
};

/// What a collision object's user index says it is; its user pointer is then that thing.
constexpr int object_actor = 1;
constexpr int object_controller = 2;
constexpr int object_controller_body = 3; // the kinematic body a controller pushes with

struct BulletJoint final : Joint {
    btTypedConstraint *constraint = nullptr;
    btJointFeedback feedback;
    btTypedConstraint *cone = nullptr; // a spherical joint's swing cone, beside `constraint`
    btJointFeedback cone_feedback;
    BulletActor *actors[2] = {};
    f32 max_force = 0, max_torque = 0;
    bool broken = false;
    bool reported = false;
    // A distance joint's spring, applied by the scene before each sub-step.
    JointSpring spring;
    btVector3 anchors[2]; // in each body's frame (the world's for a missing actor)
    // From the centre of mass of the side its load is read on to its anchor, when the
    // sub-step was solved.
    btVector3 lever{0, 0, 0};
};

struct BulletController final : Controller {
    btCollisionObject object; // seen by other controllers' sweeps and by rays, never by bodies
    btCapsuleShapeZ *shape = nullptr;
    // Kinematic, a skin wider than `shape`: what dynamic bodies meet. It is placed with
    // every move; the step takes its velocity from where the last step left it.
    btRigidBody *body = nullptr;
    btCapsuleShapeZ *body_shape = nullptr;
    GroupsMask groups;
    f64 position[3] = {};
    f32 radius = 0, height = 0, slope_limit = 0, step_offset = 0, skin = 0;
    u32 scene_changes = 0;
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

inline BulletActor *actor_of(const btCollisionObject *o)
{
    return o && o->getUserIndex() == object_actor ? static_cast<BulletActor *>(o->getUserPointer()) : nullptr;
}

/// The rule of an actor's child shape `child` (null when its shapes share one).
inline const ShapeRule *rule_of(const BulletActor *a, int child)
{
    return a && !a->rules.empty() && child >= 0 && u32(child) < a->rules.size() ? &a->rules[u32(child)] : nullptr;
}

/// True when a child shape of an actor with rules is a trigger.
inline bool trigger_child(const BulletActor *a, int child)
{
    const ShapeRule *r = rule_of(a, child);
    return r && (r->flags & shape_trigger);
}

/// True when a shape of `a` (child `child`) may push one of `b` (neither is a trigger).
inline bool shapes_collide(const BulletActor *a, int child_a, const BulletActor *b, int child_b)
{
    const ShapeRule *ra = rule_of(a, child_a), *rb = rule_of(b, child_b);
    if (!ra && !rb)
        return true;
    constexpr u32 off = shape_disable_collision | shape_disable_response | shape_trigger;
    if ((ra && (ra->flags & off)) || (rb && (rb->flags & off)))
        return false;
    return groups_collide(ra ? ra->groups : a->groups, rb ? rb->groups : b->groups);
}

inline BulletController *controller_of(const btCollisionObject *o)
{
    return o && o->getUserIndex() == object_controller ? static_cast<BulletController *>(o->getUserPointer()) : nullptr;
}

/// The controller whose pushing body `o` is.
inline BulletController *controller_body_of(const btCollisionObject *o)
{
    return o && o->getUserIndex() == object_controller_body ? static_cast<BulletController *>(o->getUserPointer())
                                                             : nullptr;
}

/// True when a controller's pushing body meets the actor: a free dynamic body (not
/// kinematic, not a trigger, not switched off) whose groups pass the controller's.
inline bool controller_pushes(const BulletController *c, const BulletActor *a)
{
    return c && a && a->dynamic && !a->kinematic && !a->trigger && !a->disable_collision &&
           groups_collide(c->groups, a->groups);
}

/// Drops the points of a controller's pushing body on shapes of an actor with per-shape
/// rules that the controller may not push (triggers, shapes switched off, other groups).
inline void drop_refused_controller_points(btPersistentManifold &m)
{
    const BulletActor *a = actor_of(m.getBody0());
    const bool actor_first = a != nullptr;
    if (!a)
        a = actor_of(m.getBody1());
    const BulletController *c = controller_body_of(actor_first ? m.getBody1() : m.getBody0());
    if (!a || !c || a->rules.empty())
        return;
    constexpr u32 off = shape_disable_collision | shape_disable_response | shape_trigger;
    for (int k = m.getNumContacts() - 1; k >= 0; --k) {
        const btManifoldPoint &p = m.getContactPoint(k);
        const ShapeRule *r = rule_of(a, actor_first ? p.m_index0 : p.m_index1);
        if (r && ((r->flags & off) || !groups_collide(r->groups, c->groups)))
            m.removeContactPoint(k);
    }
}

/// True when a query with these settings sees the actor.
inline bool query_sees(const BulletActor *a, u32 shapes, const GroupsMask &groups, bool ray)
{
    if (!a || a->disable_collision || (a->query_flags & shape_disable_scene_queries))
        return false;
    if (ray && (a->query_flags & shape_disable_raycasting))
        return false;
    if (!(shapes & (a->dynamic ? query_dynamics : query_statics)))
        return false;
    return groups_collide(a->groups, groups);
}

/// The same for one child shape of an actor with per-shape rules.
inline bool query_sees_child(const BulletActor *a, int child, const GroupsMask &groups, bool ray)
{
    const ShapeRule *r = rule_of(a, child);
    if (!r)
        return true; // the actor's test held for all its shapes
    if (r->flags & (shape_disable_collision | shape_disable_scene_queries))
        return false;
    if (ray && (r->flags & shape_disable_raycasting))
        return false;
    return groups_collide(r->groups, groups);
}

struct GroupFilter final : btOverlapFilterCallback {
    bool needBroadphaseCollision(btBroadphaseProxy *p0, btBroadphaseProxy *p1) const override
    {
        auto *o0 = static_cast<btCollisionObject *>(p0->m_clientObject);
        auto *o1 = static_cast<btCollisionObject *>(p1->m_clientObject);
        BulletActor *a = actor_of(o0);
        BulletActor *b = actor_of(o1);
        if (!a || !b) {
            // A controller's pushing body pairs with the free bodies it may push; query
            // objects of our own never pair.
            if (BulletController *c = controller_body_of(o0))
                return controller_pushes(c, b);
            return controller_pushes(controller_body_of(o1), a);
        }
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

/// The solver, with what our contacts need before each sub-step is solved: shapes sink by
/// their skins, and friction is the average of the two actors', static while they stick.
class ContactSolver final : public btSequentialImpulseConstraintSolver {
  public:
    btScalar solveGroup(btCollisionObject **bodies, int body_count, btPersistentManifold **manifolds,
                        int manifold_count, btTypedConstraint **constraints, int constraint_count,
                        const btContactSolverInfo &info, btIDebugDraw *draw, btDispatcher *dispatcher) override;
};

inline btConstraintSolver *make_contact_solver() { return new ContactSolver; }

/// Impulses a reporting pair took in one sub-step.
struct PairImpulse {
    u64 key_a, key_b;
    btVector3 normal, friction;
    bool operator<(const PairImpulse &o) const { return key_a != o.key_a ? key_a < o.key_a : key_b < o.key_b; }
};

class BulletSdk;

class BulletScene final : public IScene {
  public:
    BulletScene(Allocator &allocator, IErrorSink *errors, const SceneDesc &desc)
        : _allocator(allocator), _errors(errors), _desc(desc), _dispatcher(&_config),
          _world(&_dispatcher, &_broadphase, &_solver, &_config, &make_contact_solver)
    {
        _world.set_scheduler(desc.scheduler, desc.scheduler_threads);
        _world.setGravity(btVector3(desc.gravity.x, desc.gravity.y, desc.gravity.z));
        _world.getPairCache()->setOverlapFilterCallback(&_filter);
        _world.setDebugDrawer(&_lines);
        _world.setInternalTickCallback(&BulletScene::pre_tick, this, true);
        _world.setInternalTickCallback(&BulletScene::post_tick, this, false);
        _materials.push_back(Material{});
    }

    ~BulletScene() override
    {
        while (!_joints.empty())
            release_joint(_joints.back());
        while (!_controllers.empty())
            release_controller(_controllers.back());
        while (!_actors.empty())
            release_actor(_actors.back());
    }

    static void pre_tick(btDynamicsWorld *world, btScalar dt)
    {
        static_cast<BulletScene *>(world->getWorldUserInfo())->before_sub_step(dt);
    }
    static void post_tick(btDynamicsWorld *world, btScalar dt)
    {
        static_cast<BulletScene *>(world->getWorldUserInfo())->after_sub_step(dt);
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

    Matrix4x4 global_pose(const Actor *a) const override { return a ? cast(a)->pose() : matrix4x4_identity; }

    void set_global_pose(Actor *actor, const Matrix4x4 &pose) override
    {
        if (!actor)
            return;
        BulletActor *a = cast(actor);
        btTransform t = to_bt(pose) * a->mass_frame;
        a->body->setWorldTransform(t);
        a->body->setInterpolationWorldTransform(t);
        a->motion.m_graphicsWorldTrans = to_bt(pose);
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
        for (ShapeRule &r : a->rules)
            r.groups = mask;
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

    bool collision_disabled(const Actor *a) const override { return a && cast(a)->disable_collision; }
    void set_collision_disabled(Actor *actor, bool disabled) override;
    f32 mass(const Actor *a) const override { return a && cast(a)->dynamic ? cast(a)->mass : 0.0f; }
    f32 linear_damping(const Actor *a) const override { return a ? cast(a)->body->getLinearDamping() : 0.0f; }
    f32 angular_damping(const Actor *a) const override { return a ? cast(a)->body->getAngularDamping() : 0.0f; }
    void set_damping(Actor *a, f32 linear, f32 angular) override
    {
        if (a && std::isfinite(linear) && std::isfinite(angular))
            cast(a)->body->setDamping(linear, angular);
    }
    Vector3 angular_velocity(const Actor *a) const override
    {
        return a ? from_bt(cast(a)->body->getAngularVelocity()) : Vector3{};
    }
    void set_angular_velocity(Actor *a, const Vector3 &v) override
    {
        if (a && cast(a)->dynamic && !cast(a)->kinematic) {
            cast(a)->body->setAngularVelocity(btVector3(v.x, v.y, v.z));
            cast(a)->body->activate(true);
        }
    }
    Vector3 point_velocity(const Actor *a, const Vector3 &point) const override
    {
        if (!a || !cast(a)->dynamic)
            return {};
        const btRigidBody *b = cast(a)->body;
        return from_bt(b->getVelocityInLocalPoint(btVector3(point.x, point.y, point.z) - b->getCenterOfMassPosition()));
    }
    void add_force(Actor *actor, const Vector3 &force, ForceMode mode, bool wake) override;
    void add_force_at_position(Actor *actor, const Vector3 &force, const Vector3 &position, ForceMode mode,
                               bool wake) override;
    void add_torque(Actor *actor, const Vector3 &torque, ForceMode mode, bool wake) override;
    void wake_up(Actor *a, f32 counter) override;
    Vector3 mass_space_inertia(const Actor *a) const override
    {
        return a && cast(a)->dynamic ? from_bt(cast(a)->inertia) : Vector3{};
    }

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
    bool is_joint_broken(const Joint *joint) const override
    {
        return joint && static_cast<const BulletJoint *>(joint)->broken;
    }

    Controller *create_controller(const ControllerDesc &desc) override;
    void release_controller(Controller *controller) override;
    u32 move_controller(Controller *controller, const Vector3 &displacement, f32 min_distance,
                        const GroupsMask &groups) override;
    void controller_position(const Controller *controller, f64 out_position[3]) const override;
    void set_controller_position(Controller *controller, const f64 position[3]) override;
    void report_scene_changed(Controller *controller) override;
    /// Puts a controller's capsule and body at `position` (the body to be carried there
    /// by the next step).
    void place_controller(BulletController *c, const f64 position[3]);
    void set_controller_groups(BulletController *c, const GroupsMask &groups);

    /// Before each sub-step: distance springs. After each: joint breaking.
    void before_sub_step(f32 dt);
    void after_sub_step(f32 dt);
    btDiscreteDynamicsWorld &world() { return _world; }

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
    void collect_touching_shapes(const btPersistentManifold &m, BulletActor *a, BulletActor *b,
                                 std::vector<TouchPair> &contacts, std::vector<TouchPair> &triggers);
    /// True when the pair (by creation order, first < second) took an impulse since the
    /// last fetch (the impulses sorted).
    bool pushed(u64 key_a, u64 key_b) const;
    void add_step_impulses();

    Allocator &_allocator;
    IErrorSink *_errors;
    SceneDesc _desc;
    btDefaultCollisionConfiguration _config;
    SplitDispatcher _dispatcher;
    btDbvtBroadphase _broadphase;
    ContactSolver _solver;
    SplitWorld _world;
    GroupFilter _filter;
    LineCollector _lines;
    std::vector<Material> _materials;
    std::vector<BulletActor *> _actors; // in creation order
    u64 _next_order = 1;
    std::vector<TouchPair> _contacts, _triggers;         // touching at the last step
    std::vector<TouchPair> _new_contacts, _new_triggers; // scratch, kept for its capacity
    std::vector<Actor *> _woke, _slept;
    std::vector<BulletJoint *> _joints;
    std::vector<BulletController *> _controllers;
    std::vector<PairImpulse> _impulses; // of the reporting pairs, each sub-step since the last fetch
    u32 _sub_steps = 0;                 // since the last fetch
};


} // namespace bullet
} // namespace tallow::px
