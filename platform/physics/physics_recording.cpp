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

bool RecordingScene::raycast_closest(const Vector3 &, const Vector3 &, f32, const GroupsMask &, Actor *&, Vector3 &) const
{
    return false;
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
