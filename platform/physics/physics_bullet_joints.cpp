// Joints of the Bullet backend. Every kind but the distance joint is one six-degree
// constraint with its axes locked, limited or free (and motors and springs on the axes
// that have them); the distance joint is a constraint of our own that keeps the anchors'
// distance in its range, and a spherical joint's swing cone is one beside its six-degree
// constraint. Breaking reads each joint's applied force, and its torque about its anchor,
// after every sub-step; a joint above either limit is switched off and reported once at the
// next fetch_results. The two joined bodies do not collide with each other.
#include "platform/physics/physics_bullet_internal.h"

#include <BulletDynamics/ConstraintSolver/btGeneric6DofSpring2Constraint.h>

namespace tallow::px {
namespace bullet {

namespace {

btVector3 bt(const Vector3 &v) { return btVector3(v.x, v.y, v.z); }

/// A frame whose x is the axis and y the normal (made square to the axis).
btTransform joint_frame(const Vector3 &anchor, const Vector3 &axis_in, const Vector3 &normal_in)
{
    btVector3 x = bt(axis_in);
    if (x.length2() < 1e-12f)
        x = btVector3(1, 0, 0);
    x.normalize();
    btVector3 y = bt(normal_in) - x * x.dot(bt(normal_in));
    if (y.length2() < 1e-12f) {
        btVector3 z;
        btPlaneSpace1(x, y, z);
    }
    y.normalize();
    btVector3 z = x.cross(y);
    btMatrix3x3 basis(x.x(), y.x(), z.x(), x.y(), y.y(), z.y(), x.z(), y.z(), z.z());
    return btTransform(basis, bt(anchor));
}

/// Keeps the distance between two anchors within [min, max]: one row, only while the
/// distance is outside the range.
class DistanceConstraint final : public btTypedConstraint {
  public:
    DistanceConstraint(btRigidBody &a, btRigidBody &b, const btVector3 &anchor_a, const btVector3 &anchor_b, bool has_min,
                       f32 min, bool has_max, f32 max)
        : btTypedConstraint(POINT2POINT_CONSTRAINT_TYPE, a, b), _anchors{anchor_a, anchor_b}, _has_min(has_min),
          _has_max(has_max), _min(min), _max(max)
    {
    }

    void getInfo1(btConstraintInfo1 *info) override
    {
        f32 d = distance();
        info->m_numConstraintRows = (_has_max && d > _max) || (_has_min && d < _min) ? 1 : 0;
        info->nub = info->m_numConstraintRows ? 5 : 6;
    }

    void getInfo2(btConstraintInfo2 *info) override
    {
        btVector3 wa = m_rbA.getCenterOfMassTransform() * _anchors[0];
        btVector3 wb = m_rbB.getCenterOfMassTransform() * _anchors[1];
        btVector3 delta = wb - wa;
        f32 d = delta.length();
        btVector3 n = d > 1e-6f ? delta / d : btVector3(0, 0, 1);
        btVector3 ra = wa - m_rbA.getCenterOfMassPosition();
        btVector3 rb = wb - m_rbB.getCenterOfMassPosition();
        btVector3 ja = -ra.cross(n), jb = rb.cross(n);
        for (int i = 0; i < 3; ++i) {
            info->m_J1linearAxis[i] = -n[i];
            info->m_J1angularAxis[i] = ja[i];
            if (info->m_J2linearAxis)
                info->m_J2linearAxis[i] = n[i];
            if (info->m_J2angularAxis)
                info->m_J2angularAxis[i] = jb[i];
        }
        f32 k = info->fps * info->erp;
        if (_has_max && d > _max) {
            info->m_constraintError[0] = k * (_max - d);
            info->m_lowerLimit[0] = -SIMD_INFINITY;
            info->m_upperLimit[0] = 0;
        } else {
            info->m_constraintError[0] = k * (_min - d);
            info->m_lowerLimit[0] = 0;
            info->m_upperLimit[0] = SIMD_INFINITY;
        }
    }

    void setParam(int, btScalar, int) override {}
    btScalar getParam(int, int) const override { return 0; }

  private:
    f32 distance() const
    {
        return (m_rbB.getCenterOfMassTransform() * _anchors[1] - m_rbA.getCenterOfMassTransform() * _anchors[0]).length();
    }
    btVector3 _anchors[2];
    bool _has_min, _has_max;
    f32 _min, _max;
};

/// Keeps the angle between the two sides' axes (the swing) at most a cone's half angle:
/// one angular row, only while the swing is beyond it.
class ConeLimit final : public btTypedConstraint {
  public:
    ConeLimit(btRigidBody &a, btRigidBody &b, const btVector3 &axis_a, const btVector3 &axis_b, f32 half_angle)
        : btTypedConstraint(CONETWIST_CONSTRAINT_TYPE, a, b), _axes{axis_a, axis_b}, _half_angle(half_angle)
    {
    }

    void getInfo1(btConstraintInfo1 *info) override
    {
        info->m_numConstraintRows = swing() > _half_angle ? 1 : 0;
        info->nub = info->m_numConstraintRows ? 5 : 6;
    }

    void getInfo2(btConstraintInfo2 *info) override
    {
        btVector3 a = m_rbA.getCenterOfMassTransform().getBasis() * _axes[0];
        btVector3 b = m_rbB.getCenterOfMassTransform().getBasis() * _axes[1];
        btVector3 n = a.cross(b);
        f32 length = n.length();
        n = length > 1e-6f ? n / length : any_normal(a);
        // Turning the second side about n (against the first) widens the swing.
        for (int i = 0; i < 3; ++i) {
            info->m_J1angularAxis[i] = -n[i];
            if (info->m_J2angularAxis)
                info->m_J2angularAxis[i] = n[i];
        }
        info->m_constraintError[0] = info->fps * info->erp * (_half_angle - swing());
        info->m_lowerLimit[0] = -SIMD_INFINITY;
        info->m_upperLimit[0] = 0;
    }

    void setParam(int, btScalar, int) override {}
    btScalar getParam(int, int) const override { return 0; }

  private:
    static btVector3 any_normal(const btVector3 &a)
    {
        btVector3 p(0, 0, 0), q(0, 0, 0);
        btPlaneSpace1(a, p, q);
        return p;
    }
    f32 swing() const
    {
        btVector3 a = m_rbA.getCenterOfMassTransform().getBasis() * _axes[0];
        btVector3 b = m_rbB.getCenterOfMassTransform().getBasis() * _axes[1];
        return std::acos(std::clamp(f32(a.dot(b)), -1.0f, 1.0f));
    }
    btVector3 _axes[2];
    f32 _half_angle;
};

bool finite_desc(const JointDesc &d)
{
    for (int k = 0; k < 2; ++k)
        if (!finite(d.anchors[k]) || !finite(d.axes[k]) || !finite(d.normals[k]))
            return false;
    const f32 numbers[] = {d.limit_low,      d.limit_high,      d.swing,        d.motor_velocity,
                           d.motor_max_force, d.spring.spring,   d.spring.damper, d.spring.target,
                           d.min_distance,   d.max_distance};
    for (f32 v : numbers)
        if (std::isnan(v))
            return false;
    return !std::isnan(d.max_force) && !std::isnan(d.max_torque);
}

void set_spring(btGeneric6DofSpring2Constraint &c, int index, const JointSpring &s)
{
    if (!s.on)
        return;
    c.enableSpring(index, true);
    c.setStiffness(index, s.spring);
    c.setDamping(index, s.damper);
    c.setEquilibriumPoint(index, index == 3 ? -s.target : s.target); // the twist's sign, as above
}

} // namespace

Joint *BulletScene::create_joint(const JointDesc &desc)
{
    BulletActor *a = cast(desc.actors[0]), *b = cast(desc.actors[1]);
    const char *error = nullptr;
    if (!a && !b)
        error = "create_joint: a joint needs at least one actor";
    else if (a == b)
        error = "create_joint: a joint joins two different actors";
    else if ((a && !a->dynamic && (!b || !b->dynamic)) || (b && !b->dynamic && !a))
        error = "create_joint: a joint needs a dynamic actor";
    else if (!finite_desc(desc) || u32(desc.type) > u32(JointType::PointOnLine))
        error = "create_joint: a number is not finite or the kind is unknown";
    if (error) {
        report(error_invalid_parameter, error);
        return nullptr;
    }
    btRigidBody &body_a = a ? *a->body : btTypedConstraint::getFixedBody();
    btRigidBody &body_b = b ? *b->body : btTypedConstraint::getFixedBody();
    // The description's frames are in the actors' frames; Bullet's in the bodies' (their
    // centres of mass).
    const btTransform to_body_a = a ? a->mass_frame_inverse : btTransform::getIdentity();
    const btTransform to_body_b = b ? b->mass_frame_inverse : btTransform::getIdentity();
    const btVector3 anchor_a = to_body_a * bt(desc.anchors[0]), anchor_b = to_body_b * bt(desc.anchors[1]);
    btTypedConstraint *constraint = nullptr;
    btTypedConstraint *cone = nullptr; // a spherical joint's swing cone
    if (desc.type == JointType::Distance) {
        constraint = new DistanceConstraint(body_a, body_b, anchor_a, anchor_b, desc.min_distance_on, desc.min_distance,
                                            desc.max_distance_on, desc.max_distance);
    } else {
        btTransform fa = to_body_a * joint_frame(desc.anchors[0], desc.axes[0], desc.normals[0]);
        btTransform fb = to_body_b * joint_frame(desc.anchors[1], desc.axes[1], desc.normals[1]);
        auto *c = new btGeneric6DofSpring2Constraint(body_a, body_b, fa, fb, RO_XYZ);
        // Index 0-2: motion along x (the axis), y, z; 3-5: rotation about them. A lower
        // limit above the upper one frees the axis; equal limits lock it.
        f32 lin_lo[3] = {0, 0, 0}, lin_hi[3] = {0, 0, 0}, ang_lo[3] = {0, 0, 0}, ang_hi[3] = {0, 0, 0};
        auto free_linear = [&](int i) { lin_lo[i] = 1, lin_hi[i] = -1; };
        auto free_angular = [&](int i) { ang_lo[i] = 1, ang_hi[i] = -1; };
        // This constraint measures the angle about x as the first frame's turn against the
        // second's; ours is the second actor's turn against the first's: the opposite sign.
        auto twist = [&](f32 low, f32 high) { ang_lo[0] = -high, ang_hi[0] = -low; };
        switch (desc.type) {
        case JointType::Spherical:
            for (int i = 0; i < 3; ++i)
                free_angular(i);
            if (desc.limit)
                twist(desc.limit_low, desc.limit_high);
            // The swing cone is a constraint of its own (below). The whole-joint spring
            // lets the anchors be pulled apart, held together by the spring.
            if (desc.joint_spring.on)
                for (int i = 0; i < 3; ++i)
                    free_linear(i);
            break;
        case JointType::Revolute:
            free_angular(0);
            if (desc.limit)
                twist(desc.limit_low, desc.limit_high);
            break;
        case JointType::Prismatic: free_linear(0); break;
        case JointType::Cylindrical:
            free_linear(0);
            free_angular(0);
            break;
        case JointType::PointInPlane:
            free_linear(1);
            free_linear(2);
            for (int i = 0; i < 3; ++i)
                free_angular(i);
            break;
        case JointType::PointOnLine:
            free_linear(0);
            for (int i = 0; i < 3; ++i)
                free_angular(i);
            break;
        default: break; // fixed: everything locked
        }
        c->setLinearLowerLimit(btVector3(lin_lo[0], lin_lo[1], lin_lo[2]));
        c->setLinearUpperLimit(btVector3(lin_hi[0], lin_hi[1], lin_hi[2]));
        c->setAngularLowerLimit(btVector3(ang_lo[0], ang_lo[1], ang_lo[2]));
        c->setAngularUpperLimit(btVector3(ang_hi[0], ang_hi[1], ang_hi[2]));
        if (desc.type == JointType::Revolute) {
            if (desc.motor) {
                c->enableMotor(3, true);
                c->setTargetVelocity(3, -desc.motor_velocity); // see twist() below
                c->setMaxMotorForce(3, std::fabs(desc.motor_max_force));
            }
            set_spring(*c, 3, desc.spring);
        } else if (desc.type == JointType::Spherical) {
            set_spring(*c, 3, desc.spring);
            set_spring(*c, 4, desc.swing_spring);
            set_spring(*c, 5, desc.swing_spring);
            if (desc.joint_spring.on)
                for (int i = 0; i < 3; ++i) {
                    c->enableSpring(i, true);
                    c->setStiffness(i, desc.joint_spring.spring);
                    c->setDamping(i, desc.joint_spring.damper);
                    c->setEquilibriumPoint(i, 0); // the anchors together
                }
            if (desc.swing_limit)
                cone = new ConeLimit(body_a, body_b, fa.getBasis().getColumn(0), fb.getBasis().getColumn(0),
                                     std::min(std::fabs(desc.swing), 3.1f));
        }
        constraint = c;
    }
    void *block = _allocator.allocate(sizeof(BulletJoint), 16);
    if (!block) {
        delete constraint;
        delete cone;
        report(error_out_of_memory, "create_joint: out of memory");
        return nullptr;
    }
    BulletJoint *j = new (block) BulletJoint();
    j->user_data = desc.user_data;
    j->constraint = constraint;
    j->actors[0] = a;
    j->actors[1] = b;
    j->max_force = desc.max_force;
    j->max_torque = desc.max_torque;
    if (desc.type == JointType::Distance)
        j->spring = desc.spring;
    j->anchors[0] = anchor_a;
    j->anchors[1] = anchor_b;
    constraint->setJointFeedback(&j->feedback);
    constraint->enableFeedback(true);
    _world.addConstraint(constraint, true);
    if (cone) {
        j->cone = cone;
        cone->setJointFeedback(&j->cone_feedback);
        cone->enableFeedback(true);
        _world.addConstraint(cone, true);
    }
    for (BulletActor *actor : {a, b})
        if (actor && actor->dynamic && !actor->kinematic)
            actor->body->activate(true);
    _joints.push_back(j);
    return j;
}

void BulletScene::release_joint(Joint *joint)
{
    auto it = std::find(_joints.begin(), _joints.end(), joint);
    if (it == _joints.end())
        return;
    BulletJoint *j = *it;
    for (btTypedConstraint *c : {j->constraint, j->cone})
        if (c) {
            _world.removeConstraint(c);
            delete c;
        }
    for (BulletActor *actor : j->actors)
        if (actor && actor->dynamic && !actor->kinematic)
            actor->body->activate(true);
    _joints.erase(it);
    j->~BulletJoint();
    _allocator.deallocate(j);
}

namespace {

/// The side of a joint its load is read on: a moving body when it has one.
bool load_on_b(const BulletJoint &j) { return j.actors[1] && j.actors[1]->dynamic && !j.actors[1]->kinematic; }

} // namespace

void BulletScene::before_sub_step(f32)
{
    for (BulletJoint *j : _joints) {
        if (!j->constraint || j->broken)
            continue;
        // A constraint with no rows in a sub-step is not written back: start from nothing.
        for (btJointFeedback *f : {&j->feedback, &j->cone_feedback}) {
            f->m_appliedForceBodyA.setZero();
            f->m_appliedTorqueBodyA.setZero();
            f->m_appliedForceBodyB.setZero();
            f->m_appliedTorqueBodyB.setZero();
        }
        bool use_b = load_on_b(*j);
        const btRigidBody &body = use_b ? j->constraint->getRigidBodyB() : j->constraint->getRigidBodyA();
        j->lever = body.getCenterOfMassTransform().getBasis() * j->anchors[use_b ? 1 : 0];
    }
    for (BulletJoint *j : _joints) {
        if (!j->spring.on || j->broken || !j->constraint)
            continue;
        btRigidBody &a = j->constraint->getRigidBodyA(), &b = j->constraint->getRigidBodyB();
        btVector3 wa = a.getCenterOfMassTransform() * j->anchors[0];
        btVector3 wb = b.getCenterOfMassTransform() * j->anchors[1];
        btVector3 delta = wb - wa;
        f32 d = delta.length();
        if (d < 1e-6f)
            continue;
        btVector3 n = delta / d;
        btVector3 ra = wa - a.getCenterOfMassPosition(), rb = wb - b.getCenterOfMassPosition();
        f32 closing = n.dot(b.getVelocityInLocalPoint(rb) - a.getVelocityInLocalPoint(ra));
        // Pulls the anchors towards the target distance, damped along the line.
        btVector3 f = n * (j->spring.spring * (d - j->spring.target) + j->spring.damper * closing);
        if (!a.isStaticOrKinematicObject()) {
            a.applyForce(f, ra);
            a.activate();
        }
        if (!b.isStaticOrKinematicObject()) {
            b.applyForce(-f, rb);
            b.activate();
        }
    }
}

void BulletScene::after_sub_step(f32)
{
    add_step_impulses();
    for (BulletJoint *j : _joints) {
        if (j->broken || !j->constraint)
            continue;
        // Each side's feedback is the same force with opposite sign. Its torque is about
        // that body's centre of mass (the world's origin for the world side); the joint's
        // load is the torque about its anchor, read on a moving side.
        const btJointFeedback &f = j->feedback;
        const bool use_b = load_on_b(*j);
        const btVector3 &body_force = use_b ? f.m_appliedForceBodyB : f.m_appliedForceBodyA;
        const btVector3 &body_torque = use_b ? f.m_appliedTorqueBodyB : f.m_appliedTorqueBodyA;
        btVector3 at_anchor = body_torque - j->lever.cross(body_force);
        if (j->cone) // a pure torque
            at_anchor += use_b ? j->cone_feedback.m_appliedTorqueBodyB : j->cone_feedback.m_appliedTorqueBodyA;
        f32 force = std::max(f.m_appliedForceBodyA.length(), f.m_appliedForceBodyB.length());
        f32 torque = at_anchor.length();
        if (force > j->max_force || torque > j->max_torque) {
            j->broken = true;
            j->constraint->setEnabled(false);
            if (j->cone)
                j->cone->setEnabled(false);
        }
    }
}

} // namespace bullet
} // namespace tallow::px
