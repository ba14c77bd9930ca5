// Joints, character movers and spawned one-shape actors of a PhysicsWorld.
//
// Joints are made from the 47-word template of world/units/physics_records.h. A joint that breaks
// in a step is switched off by the layer and reported once (logged here); it stays a record
// until its owner destroys it, and destroying it releases the layer joint exactly once.
//
// A mover is a capsule controller standing on its feet: the capsule's cylinder is height -
// 2 radius long (at least 0.001) and its centre sits radius + cylinder / 2 above the feet.
// A move asks the layer to move the capsule and then judges "standing": the move went down
// (z below -0.001) and was stopped short by at least a tenth of that.
#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "physics/physics_properties.h"
#include "physics/physics_world.h"
#include "world/units/unit.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace tallow {

namespace {

Vector3 rotate_into(const Matrix4x4 &pose, const Vector3 &world_direction)
{
    // The pose's rotation rows are orthonormal: its inverse rotation is the transpose.
    return {dot(world_direction, axis(pose, 0)), dot(world_direction, axis(pose, 1)), dot(world_direction, axis(pose, 2))};
}

Vector3 point_into(const Matrix4x4 &pose, const Vector3 &world_point) { return rotate_into(pose, world_point - translation(pose)); }

Vector3 perpendicular(const Vector3 &v)
{
    Vector3 other = std::fabs(v.x) < 0.9f ? Vector3{1, 0, 0} : Vector3{0, 1, 0};
    return normalize(cross(v, other));
}

px::JointSpring spring_at(const JointTemplate &t, u32 first)
{
    px::JointSpring s;
    s.spring = t.parameter(first);
    s.damper = t.parameter(first + 1);
    s.target = t.parameter(first + 2);
    s.on = s.spring != 0;
    return s;
}

} // namespace

PhysicsJoint *PhysicsWorld::create_joint(const JointCreateParams &params)
{
    return create_joint_from(params.joint, params.actors[0], params.actors[1]);
}

PhysicsJoint *PhysicsWorld::create_joint_from(const JointTemplate &t, PhysicsActor *a, PhysicsActor *b)
{
    if (!_scene)
        return nullptr;
    PhysicsActor *actors[2] = {a, b};
    for (PhysicsActor *&actor : actors)
        if (actor && (actor->tag != physics_actor_tag || actor->world != this))
            actor = nullptr;
    if (u32(t.kind()) >= joint_kind_count) {
        log_message("physics", "joint %08x: unknown kind %u; not made", t.name_id(), u32(t.kind()));
        return nullptr;
    }
    px::JointDesc d;
    d.type = px::JointType(u32(t.kind()));
    Matrix4x4 poses[2];
    for (u32 k = 0; k < 2; ++k) {
        d.actors[k] = actors[k] ? actors[k]->actor : nullptr;
        poses[k] = actors[k] ? _scene->global_pose(actors[k]->actor) : matrix4x4_identity;
        d.anchors[k] = t.local_anchor(k);
        d.axes[k] = t.local_axis(k);
        d.normals[k] = t.local_normal(k);
    }
    if (t.flags() & joint_flag_global_axis) {
        Vector3 axis_world = normalize(t.global_axis());
        Vector3 normal_world = perpendicular(axis_world);
        for (u32 k = 0; k < 2; ++k) {
            d.axes[k] = rotate_into(poses[k], axis_world);
            d.normals[k] = rotate_into(poses[k], normal_world);
        }
    }
    if (t.flags() & joint_flag_global_anchor)
        for (u32 k = 0; k < 2; ++k)
            d.anchors[k] = point_into(poses[k], t.global_anchor());
    d.max_force = t.max_force();
    d.max_torque = t.max_torque();
    switch (t.kind()) {
    case JointKind::Spherical:
        d.limit = t.parameter(3) > -FLT_MAX || t.parameter(4) < FLT_MAX;
        d.limit_low = std::fmax(t.parameter(3), -3.14159265f);
        d.limit_high = std::fmin(t.parameter(4), 3.14159265f);
        d.swing_limit = t.parameter(5) > -FLT_MAX;
        d.swing = t.parameter(5);
        d.spring = spring_at(t, 6);
        d.swing_spring = spring_at(t, 9);
        d.joint_spring = spring_at(t, 12);
        break;
    case JointKind::Revolute:
        d.limit = t.parameter(0) > -FLT_MAX;
        d.limit_low = t.parameter(0);
        d.limit_high = t.parameter(1);
        d.motor_velocity = t.parameter(2);
        d.motor_max_force = t.parameter(3);
        d.motor = d.motor_max_force != 0;
        d.spring = spring_at(t, 4);
        break;
    case JointKind::Distance:
        d.min_distance_on = t.parameter(0) > -FLT_MAX;
        d.min_distance = t.parameter(0);
        d.max_distance_on = t.parameter(1) < FLT_MAX;
        d.max_distance = t.parameter(1);
        d.spring = spring_at(t, 2);
        break;
    default: break;
    }
    PhysicsJoint *j = make_new<PhysicsJoint>(_allocator);
    if (!j || !_joints.push_back(j)) {
        if (j)
            delete_with_allocator(_allocator, j);
        log_message("physics", "joint %08x: out of memory; not made", t.name_id());
        return nullptr;
    }
    j->world = this;
    d.user_data = j;
    j->joint = _scene->create_joint(d);
    if (!j->joint) {
        log_message("physics", "joint %08x was refused by the physics layer; not made", t.name_id());
        _joints.pop_back();
        delete_with_allocator(_allocator, j);
        return nullptr;
    }
    return j;
}

void PhysicsWorld::destroy_joint(PhysicsJoint *j)
{
    if (!j || j->tag != physics_joint_tag || j->world != this)
        return;
    for (u32 i = 0; i < _joints.size(); ++i)
        if (_joints[i] == j) {
            _joints[i] = _joints.back();
            _joints.pop_back();
            break;
        }
    // A broken joint is still the layer's until released here: released once, whatever broke.
    if (_scene)
        _scene->release_joint(j->joint);
    j->tag = 0;
    delete_with_allocator(_allocator, j);
}

void PhysicsWorld::on_joint_break(px::Joint *joint)
{
    auto *j = joint ? static_cast<PhysicsJoint *>(joint->user_data) : nullptr;
    if (!j || j->tag != physics_joint_tag || j->world != this || j->broken)
        return;
    j->broken = true;
    log_message("physics", "a joint broke (force or torque above its limit)");
}

// Movers ---------------------------------------------------------------------------------

PhysicsMover *PhysicsWorld::create_mover(const MoverCreateParams &params)
{
    if (!params.mover)
        return nullptr;
    return create_mover_from(*params.mover, params.position, params.unit ? params.unit->handle() : 0);
}

PhysicsMover *PhysicsWorld::create_mover_from(const MoverTemplate &t, const Vector3 &feet, UnitHandle unit)
{
    if (!_scene)
        return nullptr;
    CollisionFilter filter{~0ull, ~0ull}; // no name: it meets everything
    if (t.collision_filter) {
        const PhysicsProperties *p = current_physics_properties();
        const CollisionFilter *found = p ? p->find_collision_filter(t.collision_filter) : nullptr;
        if (!found) {
            log_message("physics", "mover: collision filter %08x is not in the physics properties; not made",
                        t.collision_filter);
            return nullptr;
        }
        filter = *found;
    }
    if (!(t.radius > 0) || !std::isfinite(t.radius) || !std::isfinite(t.height)) {
        log_message("physics", "mover: radius %g and height %g are not a capsule; not made", t.radius, t.height);
        return nullptr;
    }
    // A height below two radii (or a negative one) leaves the thinnest capsule, not an
    // inverted one.
    f32 h = t.height - 2 * t.radius;
    if (!(h > 0.001f))
        h = 0.001f;
    u32 slot = 0;
    while (slot < _movers.size() && _movers[slot])
        ++slot;
    if (slot >= 0xFFFF) {
        log_message("physics", "mover: 65535 movers in one world; not made");
        return nullptr;
    }
    if (slot == _movers.size() && (!_movers.push_back(nullptr) || !_mover_generations.push_back(0))) {
        if (_movers.size() > _mover_generations.size())
            _movers.pop_back();
        return nullptr;
    }
    PhysicsMover *m = make_new<PhysicsMover>(_allocator);
    if (!m)
        return nullptr;
    m->world = this;
    m->unit = unit;
    m->shape_hit_target = t.shape_hit_target;
    m->mover_hit_target = t.mover_hit_target;
    m->static_changes = _static_changes;
    m->filter = filter;
    m->radius = t.radius;
    m->height = h;
    u16 generation = u16(_mover_generations[slot] + 1);
    if (generation == 0)
        generation = 1; // id 0 is never a mover
    _mover_generations[slot] = generation;
    m->id = u32(generation) << 16 | slot;
    px::ControllerDesc d;
    d.position[0] = feet.x;
    d.position[1] = feet.y;
    d.position[2] = f64(feet.z) + t.radius + h / 2;
    d.radius = t.radius;
    d.height = h;
    d.slope_limit = t.slope_limit;
    d.step_offset = std::isfinite(t.step_offset) ? std::fmax(t.step_offset, 0.0f) : 0.0f;
    d.skin_width = 0.1f;
    d.groups = groups_mask(filter);
    d.user_data = m;
    m->controller = _scene->create_controller(d);
    if (!m->controller) {
        log_message("physics", "mover was refused by the physics layer; not made");
        delete_with_allocator(_allocator, m);
        return nullptr;
    }
    _movers[slot] = m;
    return m;
}

void PhysicsWorld::destroy_mover(PhysicsMover *m)
{
    if (!m || m->tag != physics_mover_tag || m->world != this)
        return;
    u32 slot = m->id & 0xFFFF;
    if (slot < _movers.size() && _movers[slot] == m)
        _movers[slot] = nullptr;
    if (_scene)
        _scene->release_controller(m->controller);
    m->tag = 0;
    delete_with_allocator(_allocator, m);
}

u32 PhysicsWorld::mover_count() const
{
    u32 n = 0;
    for (const PhysicsMover *m : _movers)
        n += m ? 1 : 0;
    return n;
}

bool PhysicsWorld::resolve_mover(u32 id, PhysicsMoverInfo &out) const
{
    u32 slot = id & 0xFFFF;
    if (slot >= _movers.size() || !_movers[slot] || _movers[slot]->id != id)
        return false;
    out.unit = _movers[slot]->unit;
    out.target = _movers[slot]->shape_hit_target;
    return true;
}

bool PhysicsWorld::move_mover(PhysicsMover *m, const Vector3 &d)
{
    if (!m || m->tag != physics_mover_tag || m->world != this || !_scene)
        return false;
    f64 before[3];
    _scene->controller_position(m->controller, before);
    if (m->static_changes != _static_changes) {
        _scene->report_scene_changed(m->controller);
        m->static_changes = _static_changes;
    }
    m->collision = _scene->move_controller(m->controller, d, 0.001f, groups_mask(m->filter));
    f64 after[3];
    _scene->controller_position(m->controller, after);
    // Stopped short: the move down went less than nine tenths of the way.
    m->standing = d.z < -0.001f && after[2] > before[2] + 0.9 * f64(d.z);
    if (m->standing) {
        ++m->standing_frames;
        m->flying_frames = 0;
    } else {
        ++m->flying_frames;
        m->standing_frames = 0;
    }
    return m->standing;
}

void PhysicsWorld::set_mover_collision_filter(PhysicsMover *m, const CollisionFilter &filter)
{
    // Used by the moves that follow; other movers' sweeps do not read it.
    if (m && m->tag == physics_mover_tag && m->world == this)
        m->filter = filter;
}

Vector3 PhysicsWorld::mover_position(const PhysicsMover *m) const
{
    if (!m || m->tag != physics_mover_tag || !_scene)
        return {};
    f64 p[3];
    _scene->controller_position(m->controller, p);
    return {f32(p[0]), f32(p[1]), f32(p[2] - (m->radius + m->height / 2))};
}

void PhysicsWorld::set_mover_position(PhysicsMover *m, const Vector3 &feet)
{
    if (!m || m->tag != physics_mover_tag || !_scene)
        return;
    f64 p[3] = {feet.x, feet.y, f64(feet.z) + (m->radius + m->height / 2)};
    _scene->set_controller_position(m->controller, p);
}

void PhysicsWorld::on_controller_hit(const px::ControllerHit &hit)
{
    auto *m = hit.controller ? static_cast<PhysicsMover *>(hit.controller->user_data) : nullptr;
    if (!m || m->tag != physics_mover_tag || m->world != this)
        return;
    if (hit.other) {
        auto *o = static_cast<PhysicsMover *>(hit.other->user_data);
        if (!o || o->tag != physics_mover_tag || o->world != this)
            return;
        MoverMoverPayload p{m->id, o->id};
        (void)append_world_event(_events, physics_mover_hit_mover_event, &p, sizeof p);
        return;
    }
    PhysicsActor *a = record_of(hit.actor);
    // Only what the mover can push is reported: a dynamic actor.
    if (!a || !_scene->is_dynamic(a->actor))
        return;
    MoverHitPayload p;
    p.mover = m->id;
    p.actor = id_of(a);
    p.position = {f32(hit.position[0]), f32(hit.position[1]), f32(hit.position[2])};
    p.normal = hit.normal;
    p.motion = hit.direction;
    p.length = hit.length;
    (void)append_world_event(_events, physics_mover_hit_shape_event, &p, sizeof p);
}

void PhysicsWorld::release_joints_and_movers()
{
    while (!_joints.empty())
        destroy_joint(_joints.back());
    for (PhysicsMover *m : _movers)
        if (m)
            destroy_mover(m);
    _movers.clear();
    _mover_generations.clear();
}

// Spawned actors ---------------------------------------------------------------------------

PhysicsActor *PhysicsWorld::spawn_actor(const px::ShapeDesc &shape, const Matrix4x4 &pose, u32 actor_template,
                                        u32 shape_template, u32 material)
{
    const PhysicsProperties *p = current_physics_properties();
    const ActorTemplate *at = p ? p->find_actor_template(actor_template) : nullptr;
    const ShapeTemplate *st = p ? p->find_shape_template(shape_template) : nullptr;
    const PhysicsMaterial *found = p ? p->find_material(material) : nullptr;
    if (!at || !st || !found) {
        log_message("physics", "spawn: %s %08x is not in the physics properties; no actor made",
                    !at ? "actor template" : !st ? "shape template" : "material",
                    !at ? actor_template : !st ? shape_template : material);
        return nullptr;
    }
    px::ShapeDesc s = shape;
    s.flags = st->flags & ~u32(px::shape_trigger); // spawned actors have no trigger targets
    s.groups = groups_mask(st->filter);
    s.density = found->values[3];
    s.material = material_index(*found);
    s.local_pose = matrix4x4_identity;
    s.size = {s.size.x + physics_shape_skin, s.size.y + physics_shape_skin, s.size.z + physics_shape_skin};
    s.skin_width = physics_shape_skin;
    if (s.kind == px::ShapeKind::Sphere)
        s.size.y = s.size.z = 0;
    return create_actor_from(*at, &s, 1, pose, nullptr);
}

} // namespace tallow
