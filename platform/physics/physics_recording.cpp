#include "platform/physics/physics_recording.h"

#include "platform/physics/cooked_mesh.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace tallow::px {

struct Mesh {
    CookedMeshKind kind;
};

RecordingScene::~RecordingScene()
{
    for (RecordedActor *a : _actors)
        delete a;
    for (RecordedJoint *j : _joints)
        delete j;
    for (RecordedController *c : _controllers)
        delete c;
}

void RecordingScene::log(const char *format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    _journal.emplace_back(line);
}

RecordedActor *RecordingScene::recorded(const Actor *actor) const
{
    for (RecordedActor *a : _actors)
        if (a == actor)
            return a;
    return nullptr;
}

RecordedActor *RecordingScene::checked(const Actor *actor, const char *call)
{
    RecordedActor *a = recorded(actor);
    if (!a)
        log("%s: bad actor", call);
    return a;
}

namespace {

ContactPair pair_of(Actor *a, Actor *b)
{
    ContactPair p;
    p.actors[0] = a;
    p.actors[1] = b;
    return p;
}

} // namespace

void RecordingScene::queue_wake(Actor *actor) { _reports.push_back({0, pair_of(actor, nullptr), 0}); }
void RecordingScene::queue_sleep(Actor *actor) { _reports.push_back({1, pair_of(actor, nullptr), 0}); }
void RecordingScene::queue_contact(const ContactPair &pair, u32 events) { _reports.push_back({2, pair, events}); }
void RecordingScene::queue_trigger(Actor *trigger, Actor *other, u32 status)
{
    _reports.push_back({3, pair_of(trigger, other), status});
}

u32 RecordingScene::create_material(const Material &m)
{
    log("create_material %.2f %.2f %.2f", m.static_friction, m.restitution, m.dynamic_friction);
    return _materials++;
}

Actor *RecordingScene::create_actor(const ActorDesc &desc)
{
    bool sound = desc.shapes && desc.shape_count > 0;
    for (u32 i = 0; sound && i < desc.shape_count; ++i) {
        const ShapeDesc &s = desc.shapes[i];
        if (s.kind <= ShapeKind::Capsule)
            sound = std::isfinite(s.size.x) && s.size.x > 0;
        else
            sound = s.mesh != nullptr && !(s.kind == ShapeKind::TriangleMesh && desc.dynamic);
    }
    if (!sound) {
        log("create_actor refused");
        return nullptr;
    }
    auto *a = new RecordedActor();
    a->desc = desc;
    a->shapes.assign(desc.shapes, desc.shapes + desc.shape_count);
    a->desc.shapes = a->shapes.data();
    a->user_data = desc.user_data;
    a->pose = desc.pose;
    a->groups = desc.shapes[0].groups;
    a->kinematic = desc.dynamic && (desc.body_flags & body_kinematic);
    _actors.push_back(a);
    log("create_actor dynamic=%d shapes=%u", desc.dynamic ? 1 : 0, desc.shape_count);
    return a;
}

void RecordingScene::release_actor(Actor *actor)
{
    RecordedActor *a = checked(actor, "release_actor");
    if (!a)
        return;
    log("release_actor");
    _actors.erase(std::find(_actors.begin(), _actors.end(), a));
    // Queued reports naming it are marked deleted (contacts) or dropped.
    for (Report &r : _reports)
        for (int k = 0; k < 2; ++k)
            if (r.pair.actors[k] == actor)
                r.pair.deleted[k] = true;
    delete a;
}

bool RecordingScene::is_dynamic(const Actor *actor) const
{
    RecordedActor *a = recorded(actor);
    return a && a->desc.dynamic;
}

bool RecordingScene::is_sleeping(const Actor *actor) const
{
    RecordedActor *a = recorded(actor);
    return a && a->sleeping;
}

bool RecordingScene::read_body_flag(const Actor *actor, BodyFlag flag) const
{
    RecordedActor *a = recorded(actor);
    if (!a)
        return false;
    return flag == body_kinematic ? a->kinematic : (a->desc.body_flags & flag) != 0;
}

void RecordingScene::raise_body_flag(Actor *actor, BodyFlag flag)
{
    if (RecordedActor *a = checked(actor, "raise_body_flag")) {
        log("raise_body_flag %u", u32(flag));
        if (flag == body_kinematic && a->desc.dynamic)
            a->kinematic = true;
    }
}

void RecordingScene::clear_body_flag(Actor *actor, BodyFlag flag)
{
    if (RecordedActor *a = checked(actor, "clear_body_flag")) {
        log("clear_body_flag %u", u32(flag));
        if (flag == body_kinematic)
            a->kinematic = false;
    }
}

Matrix4x4 RecordingScene::global_pose(const Actor *actor) const
{
    RecordedActor *a = recorded(actor);
    return a ? a->pose : matrix4x4_identity;
}

void RecordingScene::set_global_pose(Actor *actor, const Matrix4x4 &pose)
{
    if (RecordedActor *a = checked(actor, "set_global_pose")) {
        a->pose = pose;
        log("set_global_pose %.2f %.2f %.2f", pose.m[3][0], pose.m[3][1], pose.m[3][2]);
    }
}

void RecordingScene::move_global_pose(Actor *actor, const Matrix4x4 &pose)
{
    if (RecordedActor *a = checked(actor, "move_global_pose")) {
        a->pose = pose;
        log("move_global_pose %.2f %.2f %.2f", pose.m[3][0], pose.m[3][1], pose.m[3][2]);
    }
}

Vector3 RecordingScene::linear_velocity(const Actor *) const { return {}; }
void RecordingScene::set_linear_velocity(Actor *actor, const Vector3 &) { (void)checked(actor, "set_linear_velocity"); }

void RecordingScene::set_groups_mask(Actor *actor, const GroupsMask &mask)
{
    if (RecordedActor *a = checked(actor, "set_groups_mask")) {
        a->groups = mask;
        log("set_groups_mask %08x %08x %08x %08x", mask.bits[0], mask.bits[1], mask.bits[2], mask.bits[3]);
    }
}

void RecordingScene::set_contact_report_flags(Actor *actor, u32 flags)
{
    if (RecordedActor *a = checked(actor, "set_contact_report_flags")) {
        a->contact_flags = flags;
        log("set_contact_report_flags %u", flags);
    }
}

void RecordingScene::ignore_pair(Actor *a, Actor *b)
{
    if (checked(a, "ignore_pair") && checked(b, "ignore_pair"))
        log("ignore_pair");
}

void RecordingScene::simulate(f32 dt) { log("simulate %.4f", dt); }

void RecordingScene::fetch_results()
{
    log("fetch_results");
    std::vector<Report> reports;
    reports.swap(_reports);
    ISceneCallbacks *cb = _desc.callbacks;
    for (RecordedJoint *j : _joints)
        if (j->broken && !j->reported) {
            j->reported = true;
            if (cb)
                cb->on_joint_break(j);
        }
    for (const Report &r : reports) {
        if (!cb)
            break;
        Actor *a = r.pair.actors[0];
        switch (r.kind) {
        case 0:
            if (recorded(a)) {
                recorded(a)->sleeping = false;
                cb->on_wake(&a, 1);
            }
            break;
        case 1:
            if (recorded(a)) {
                recorded(a)->sleeping = true;
                cb->on_sleep(&a, 1);
            }
            break;
        case 2: cb->on_contact(r.pair, r.value); break;
        default:
            if (!r.pair.deleted[0] && !r.pair.deleted[1])
                cb->on_trigger(a, r.pair.actors[1], r.value);
            break;
        }
    }
    if (_debug)
        _lines = _next_lines;
}

bool RecordingScene::collision_disabled(const Actor *actor) const
{
    RecordedActor *a = recorded(actor);
    return a && a->desc.disable_collision;
}

void RecordingScene::set_collision_disabled(Actor *actor, bool disabled)
{
    if (RecordedActor *a = checked(actor, "set_collision_disabled")) {
        a->desc.disable_collision = disabled;
        log("set_collision_disabled %d", disabled ? 1 : 0);
    }
}

f32 RecordingScene::mass(const Actor *actor) const
{
    RecordedActor *a = recorded(actor);
    return a && a->desc.dynamic ? (a->desc.mass > 0 ? a->desc.mass : 1.0f) : 0.0f;
}

f32 RecordingScene::linear_damping(const Actor *actor) const
{
    RecordedActor *a = recorded(actor);
    return a ? a->desc.linear_damping : 0.0f;
}

f32 RecordingScene::angular_damping(const Actor *actor) const
{
    RecordedActor *a = recorded(actor);
    return a ? a->desc.angular_damping : 0.0f;
}

void RecordingScene::set_damping(Actor *actor, f32 linear, f32 angular)
{
    if (RecordedActor *a = checked(actor, "set_damping")) {
        a->desc.linear_damping = linear;
        a->desc.angular_damping = angular;
        log("set_damping %.2f %.2f", linear, angular);
    }
}

void RecordingScene::set_angular_velocity(Actor *actor, const Vector3 &) { (void)checked(actor, "set_angular_velocity"); }

void RecordingScene::add_force(Actor *actor, const Vector3 &f, ForceMode mode, bool wake)
{
    if (checked(actor, "add_force"))
        log("add_force %.2f %.2f %.2f mode=%u wake=%d", f.x, f.y, f.z, u32(mode), wake ? 1 : 0);
}

void RecordingScene::add_force_at_position(Actor *actor, const Vector3 &f, const Vector3 &p, ForceMode mode, bool wake)
{
    if (checked(actor, "add_force_at_position"))
        log("add_force_at_position %.2f %.2f %.2f at %.2f %.2f %.2f mode=%u wake=%d", f.x, f.y, f.z, p.x, p.y, p.z,
            u32(mode), wake ? 1 : 0);
}

void RecordingScene::add_torque(Actor *actor, const Vector3 &t, ForceMode mode, bool wake)
{
    if (checked(actor, "add_torque"))
        log("add_torque %.2f %.2f %.2f mode=%u wake=%d", t.x, t.y, t.z, u32(mode), wake ? 1 : 0);
}

void RecordingScene::wake_up(Actor *actor, f32 counter)
{
    if (RecordedActor *a = checked(actor, "wake_up")) {
        a->sleeping = false;
        log("wake_up %.8f", counter);
    }
}

Vector3 RecordingScene::mass_space_inertia(const Actor *actor) const
{
    RecordedActor *a = recorded(actor);
    return a ? a->desc.inertia : Vector3{};
}

bool RecordingScene::raycast_any(const Vector3 &, const Vector3 &, f32, u32, const GroupsMask &) const
{
    return !_ray_hits.empty();
}

bool RecordingScene::raycast_closest(const Vector3 &, const Vector3 &, f32, u32, const GroupsMask &, RayHit &out_hit) const
{
    if (_ray_hits.empty())
        return false;
    out_hit = _ray_hits[0];
    return true;
}

u32 RecordingScene::raycast_all(const Vector3 &, const Vector3 &, f32, u32, const GroupsMask &, IRayHitReport &report) const
{
    u32 n = 0;
    for (const RayHit &h : _ray_hits) {
        ++n;
        if (!report.on_hit(h))
            break;
    }
    return n;
}

u32 RecordingScene::overlap(const OverlapShape &, u32, const GroupsMask &, Actor **out_actors, u32 capacity) const
{
    u32 n = 0;
    for (Actor *a : _overlap)
        if (n < capacity)
            out_actors[n++] = a;
    return n;
}

Joint *RecordingScene::create_joint(const JointDesc &desc)
{
    if (!desc.actors[0] && !desc.actors[1]) {
        log("create_joint refused");
        return nullptr;
    }
    auto *j = new RecordedJoint();
    j->desc = desc;
    j->user_data = desc.user_data;
    _joints.push_back(j);
    log("create_joint type=%u", u32(desc.type));
    return j;
}

void RecordingScene::release_joint(Joint *joint)
{
    auto it = std::find(_joints.begin(), _joints.end(), joint);
    if (it == _joints.end()) {
        log("bad joint release_joint");
        return;
    }
    log("release_joint");
    delete *it;
    _joints.erase(it);
}

bool RecordingScene::is_joint_broken(const Joint *joint) const
{
    for (RecordedJoint *j : _joints)
        if (j == joint)
            return j->broken;
    return false;
}

void RecordingScene::queue_joint_break(Joint *joint)
{
    for (RecordedJoint *j : _joints)
        if (j == joint) {
            j->broken = true;
            j->reported = false;
        }
}

Controller *RecordingScene::create_controller(const ControllerDesc &desc)
{
    if (!(desc.radius > 0) || !(desc.height > 0)) {
        log("create_controller refused");
        return nullptr;
    }
    auto *c = new RecordedController();
    c->desc = desc;
    c->user_data = desc.user_data;
    _controllers.push_back(c);
    log("create_controller radius=%.3f height=%.3f at %.3f %.3f %.3f", desc.radius, desc.height, desc.position[0],
        desc.position[1], desc.position[2]);
    return c;
}

void RecordingScene::release_controller(Controller *controller)
{
    auto it = std::find(_controllers.begin(), _controllers.end(), controller);
    if (it == _controllers.end()) {
        log("bad controller release_controller");
        return;
    }
    log("release_controller");
    delete *it;
    _controllers.erase(it);
}

u32 RecordingScene::move_controller(Controller *controller, const Vector3 &d, f32 min_distance, const GroupsMask &groups)
{
    auto it = std::find(_controllers.begin(), _controllers.end(), controller);
    if (it == _controllers.end()) {
        log("bad controller move_controller");
        return 0;
    }
    log("move_controller %.3f %.3f %.3f min=%.3f mask=%08x", d.x, d.y, d.z, min_distance, groups.bits[2]);
    RecordedController *c = *it;
    f32 dz = _allowed_fall >= 0 && d.z < -_allowed_fall ? -_allowed_fall : d.z;
    c->desc.position[0] += d.x;
    c->desc.position[1] += d.y;
    c->desc.position[2] += dz;
    if ((_move_hit.actor || _move_hit.other) && _desc.callbacks) {
        ControllerHit hit = _move_hit;
        hit.controller = c;
        _desc.callbacks->on_controller_hit(hit);
    }
    u32 flags = _move_flags;
    _move_flags = 0;
    _allowed_fall = -1;
    _move_hit = {};
    return flags;
}

void RecordingScene::controller_position(const Controller *controller, f64 out_position[3]) const
{
    for (RecordedController *c : _controllers)
        if (c == controller) {
            for (int i = 0; i < 3; ++i)
                out_position[i] = c->desc.position[i];
            return;
        }
    out_position[0] = out_position[1] = out_position[2] = 0;
}

void RecordingScene::set_controller_position(Controller *controller, const f64 position[3])
{
    for (RecordedController *c : _controllers)
        if (c == controller)
            for (int i = 0; i < 3; ++i)
                c->desc.position[i] = position[i];
    log("set_controller_position %.3f %.3f %.3f", position[0], position[1], position[2]);
}

void RecordingScene::report_scene_changed(Controller *)
{
    log("report_scene_changed");
}

void RecordingScene::set_debug_lines(bool on)
{
    _debug = on;
    _lines.clear();
}

u32 RecordingScene::debug_lines(const DebugLine *&out_lines) const
{
    out_lines = _lines.data();
    return u32(_lines.size());
}

IScene *RecordingSdk::create_scene(const SceneDesc &desc)
{
    if (_fail_scene) {
        _fail_scene = false;
        return nullptr;
    }
    ++_scenes;
    return new RecordingScene(desc);
}

void RecordingSdk::release_scene(IScene *scene)
{
    if (!scene)
        return;
    --_scenes;
    delete scene;
}

Mesh *RecordingSdk::create_triangle_mesh(const u8 *bytes, u64 size)
{
    CookedMesh m;
    if (!read_cooked_mesh(bytes, size, m) || m.kind != CookedMeshKind::Triangles)
        return nullptr;
    ++_meshes;
    return new Mesh{CookedMeshKind::Triangles};
}

Mesh *RecordingSdk::create_convex_mesh(const u8 *bytes, u64 size)
{
    CookedMesh m;
    if (!read_cooked_mesh(bytes, size, m) || m.kind != CookedMeshKind::Convex)
        return nullptr;
    ++_meshes;
    return new Mesh{CookedMeshKind::Convex};
}

void RecordingSdk::release_mesh(Mesh *mesh)
{
    if (!mesh)
        return;
    --_meshes;
    delete mesh;
}

} // namespace tallow::px
