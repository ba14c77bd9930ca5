#include "physics/physics_world.h"

#include "foundation/log.h"
#include "foundation/math/state_hasher.h"
#include "foundation/memory/allocator.h"
#include "foundation/strings/murmur_hash.h"
#include "foundation/threads/thread_pool.h"
#include "physics/physics_sdk.h"
#include "world/units/scene_graph.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <cmath>
#include <cstring>

namespace tallow {

PhysicsWorld *PhysicsWorld::live_worlds = nullptr;

namespace {

f32 as_f32(u32 bits)
{
    f32 v;
    memcpy(&v, &bits, 4);
    return v;
}

// Materials are told apart by the bits of their six values: a NaN (which compares with
// nothing) is then a value like any other, and the map stays sorted.
int compare_materials(const PhysicsMaterial &a, const PhysicsMaterial &b)
{
    for (int i = 0; i < 6; ++i) {
        u32 x, y;
        memcpy(&x, &a.values[i], 4);
        memcpy(&y, &b.values[i], 4);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

} // namespace

px::GroupsMask groups_mask(const CollisionFilter &f)
{
    px::GroupsMask m;
    m.bits[0] = u32(f.belongs_to);
    m.bits[1] = u32(f.belongs_to >> 32);
    m.bits[2] = u32(f.collides_with);
    m.bits[3] = u32(f.collides_with >> 32);
    return m;
}

PhysicsWorld::PhysicsWorld(Allocator &allocator, PhysicsSdk &sdk, World *world)
    : _allocator("physics_world", allocator), _sdk(sdk), _world(world), _blocks(_allocator), _awake(_allocator),
      _kinematic(_allocator), _events(_allocator), _lines(_allocator), _materials(_allocator), _meshes(_allocator),
      _scheduler(_allocator, sdk.thread_pool()), _joints(_allocator), _movers(_allocator),
      _mover_generations(_allocator), _collecting(_allocator), _executing(_allocator), _answering(_allocator)
{
    _next_live = live_worlds;
    live_worlds = this;
}

PhysicsWorld::~PhysicsWorld()
{
    for (PhysicsWorld **w = &live_worlds; *w; w = &(*w)->_next_live)
        if (*w == this) {
            *w = _next_live;
            break;
        }
    destroy_pending();
    for (PhysicsActor *block : _blocks)
        _allocator.deallocate(block);
    _blocks.clear();
}

bool PhysicsWorld::create_scene()
{
    px::SceneDesc desc;
    desc.gravity = {0, 0, -9.82f};
    desc.sub_step_s = 1.0f / 240;
    desc.max_sub_steps = 4;
    desc.callbacks = this;
    if (ThreadPool *pool = _sdk.thread_pool()) {
        desc.scheduler = &_scheduler;
        desc.scheduler_threads = pool->worker_count();
    }
    _scene = _sdk.sdk().create_scene(desc);
    if (!_scene) {
        log_message("physics", "the physics scene could not be made; this world has no physics");
        return false;
    }
    return true;
}

void PhysicsWorld::destroy_pending()
{
    if (_line_object) {
        _world->destroy_line_object(_line_object);
        _line_object = nullptr;
    }
    // Pending queries go unanswered; their owners learn nothing more from this world.
    for (Array<QueryRecord *> *list : {&_collecting, &_executing}) {
        for (QueryRecord *q : *list)
            free_query(q);
        list->clear();
    }
    if (!_scene)
        return;
    release_joints_and_movers();
    // Every record goes back to the pool; the scene releases what its actors hold.
    for (PhysicsActor *block : _blocks)
        for (u32 i = 0; i < physics_actor_block; ++i)
            if (block[i].tag == physics_actor_tag)
                destroy_actor(&block[i]);
    for (MeshEntry &m : _meshes)
        _sdk.release_mesh(m.mesh);
    _meshes.clear();
    _sdk.sdk().release_scene(_scene);
    _scene = nullptr;
    _awake.clear();
    _kinematic.clear();
    _events.clear();
}

// Records -----------------------------------------------------------------------------

PhysicsActor *PhysicsWorld::allocate_record()
{
    PhysicsActor *r = _free;
    if (r) {
        _free = r->next_free;
    } else {
        if (_used_in_newest == physics_actor_block) {
            if (_blocks.size() >= (1u << 22)) // the index keeps 22 bits of block
                return nullptr;
            void *block = _allocator.allocate(sizeof(PhysicsActor) * physics_actor_block, alignof(PhysicsActor));
            if (!block)
                return nullptr;
            auto *records = static_cast<PhysicsActor *>(block);
            for (u32 i = 0; i < physics_actor_block; ++i)
                new (&records[i]) PhysicsActor();
            if (!_blocks.push_back(records)) {
                _allocator.deallocate(block);
                return nullptr;
            }
            _used_in_newest = 0;
        }
        u32 slot = _used_in_newest++;
        r = &_blocks.back()[slot];
        r->pool_index = (_blocks.size() - 1) << 10 | slot;
    }
    u32 index = r->pool_index;
    *r = PhysicsActor();
    r->pool_index = index;
    r->tag = physics_actor_tag;
    r->world = this;
    ++_live_actors;
    return r;
}

void PhysicsWorld::free_record(PhysicsActor *r)
{
    r->tag = 0;
    r->serial = physics_no_index;
    r->actor = nullptr;
    r->next_free = _free;
    _free = r;
    --_live_actors;
}

PhysicsActorId PhysicsWorld::id_of(PhysicsActor *a)
{
    if (!a)
        return {physics_no_index, physics_no_index};
    if (a->serial == physics_no_index) {
        a->serial = _next_serial++;
        if (_next_serial == physics_no_index)
            _next_serial = 1; // the unassigned marker is never a serial
    }
    return {a->pool_index, a->serial};
}

PhysicsActor *PhysicsWorld::resolve(PhysicsActorId id) const
{
    u32 block = id.index >> 10, slot = id.index & (physics_actor_block - 1);
    if (block >= _blocks.size() || (block + 1 == _blocks.size() && slot >= _used_in_newest))
        return nullptr;
    PhysicsActor *a = &_blocks[block][slot];
    if (a->tag != physics_actor_tag || a->serial == physics_no_index || a->serial != id.serial)
        return nullptr;
    return a;
}

PhysicsActor *PhysicsWorld::record_of(px::Actor *actor) const
{
    auto *r = actor ? static_cast<PhysicsActor *>(actor->user_data) : nullptr;
    return r && r->tag == physics_actor_tag && r->world == this ? r : nullptr;
}

bool PhysicsWorld::resolve_actor(PhysicsActorId id, PhysicsActorInfo &out) const
{
    const PhysicsActor *a = resolve(id);
    if (!a)
        return false;
    out.unit = a->unit;
    out.actor_index = a->actor_index;
    out.level_actor = a->level_actor;
    memcpy(out.targets, a->targets, sizeof out.targets);
    return true;
}

void PhysicsWorld::list_add(Array<PhysicsActor *> &list, u32 PhysicsActor::*index, PhysicsActor *a)
{
    if (a->*index != physics_no_index)
        return;
    u32 at = list.size();
    if (list.push_back(a))
        a->*index = at;
}

void PhysicsWorld::list_remove(Array<PhysicsActor *> &list, u32 PhysicsActor::*index, PhysicsActor *a)
{
    u32 i = a->*index;
    if (i == physics_no_index || i >= list.size() || list[i] != a)
        return;
    PhysicsActor *last = list.back();
    list[i] = last;
    last->*index = i;
    list.pop_back();
    a->*index = physics_no_index;
}

void PhysicsWorld::hash_state(StateHasher &hasher) const
{
    // Records in pool order: the same creations and releases fill the same slots.
    hasher.add(_live_actors);
    if (!_scene)
        return;
    for (u32 b = 0; b < _blocks.size(); ++b) {
        const u32 used = b + 1 == _blocks.size() ? _used_in_newest : physics_actor_block;
        for (u32 i = 0; i < used; ++i) {
            const PhysicsActor &a = _blocks[b][i];
            if (a.tag != physics_actor_tag || !a.actor)
                continue;
            hasher.add(a.pool_index);
            hasher.add(_scene->global_pose(a.actor));
            if (_scene->is_dynamic(a.actor)) {
                hasher.add(u32(_scene->is_sleeping(a.actor)));
                hasher.add(_scene->linear_velocity(a.actor));
                hasher.add(_scene->angular_velocity(a.actor));
            }
        }
    }
    for (u32 slot = 0; slot < _movers.size(); ++slot) {
        const PhysicsMover *m = _movers[slot];
        if (!m || m->tag != physics_mover_tag || !m->controller)
            continue;
        f64 p[3];
        _scene->controller_position(m->controller, p);
        hasher.add(slot);
        hasher.add_bytes(p, sizeof p);
        hasher.add(u32(m->standing));
    }
}

bool PhysicsWorld::validate() const
{
    for (u32 i = 0; i < _awake.size(); ++i)
        if (_awake[i]->awake_index != i || _awake[i]->tag != physics_actor_tag || _awake[i]->kinematic_index != physics_no_index)
            return false;
    for (u32 i = 0; i < _kinematic.size(); ++i)
        if (_kinematic[i]->kinematic_index != i || _kinematic[i]->tag != physics_actor_tag)
            return false;
    u32 live = 0;
    for (u32 b = 0; b < _blocks.size(); ++b)
        for (u32 s = 0; s < physics_actor_block; ++s) {
            const PhysicsActor &a = _blocks[b][s];
            if (a.tag != physics_actor_tag)
                continue;
            ++live;
            if (a.awake_index != physics_no_index && (a.awake_index >= _awake.size() || _awake[a.awake_index] != &a))
                return false;
            if (a.kinematic_index != physics_no_index &&
                (a.kinematic_index >= _kinematic.size() || _kinematic[a.kinematic_index] != &a))
                return false;
        }
    return live == _live_actors;
}

// Actors ------------------------------------------------------------------------------

u32 PhysicsWorld::material_index(const PhysicsMaterial &m)
{
    u32 low = 0, high = _materials.size();
    while (low < high) {
        u32 mid = (low + high) / 2;
        int c = compare_materials(_materials[mid].material, m);
        if (c == 0)
            return _materials[mid].index;
        if (c < 0)
            low = mid + 1;
        else
            high = mid;
    }
    px::Material pm;
    pm.static_friction = m.values[1];
    pm.restitution = m.values[2];
    pm.dynamic_friction = m.values[3];
    MaterialEntry e{m, _scene->create_material(pm)};
    _materials.insert(low, e);
    return e.index;
}

px::Mesh *PhysicsWorld::mesh_for(const u8 *bytes, u32 size, bool convex)
{
    // Meshes are shared by content: equal cooked bytes make one mesh per world, kept until
    // the world goes (a resource brought out and in again finds it still here).
    u64 key = murmur_hash_64(bytes, size, convex ? 1 : 2);
    for (const MeshEntry &m : _meshes)
        if (m.key == key)
            return m.mesh;
    px::Mesh *mesh = convex ? _sdk.create_convex_mesh(bytes, size) : _sdk.create_triangle_mesh(bytes, size);
    if (mesh)
        _meshes.push_back({key, mesh});
    return mesh;
}

PhysicsActor *PhysicsWorld::create_actor_from(const ActorTemplate &t, const px::ShapeDesc *shapes, u32 shape_count,
                                              const Matrix4x4 &pose, const u32 *targets)
{
    if (!_scene)
        return nullptr;
    px::ActorDesc desc;
    desc.shapes = shapes;
    desc.shape_count = shape_count;
    desc.pose = pose;
    desc.dynamic = (t.flags & actor_dynamic) != 0;
    desc.disable_collision = (t.flags & actor_disable_collision) != 0;
    desc.disable_response = (t.flags & actor_disable_response) != 0;
    desc.body_flags = (t.flags & actor_disable_gravity ? px::body_disable_gravity : 0u) |
                      (desc.dynamic && (t.flags & actor_kinematic) ? px::body_kinematic : 0u);
    desc.linear_damping = t.linear_damping;
    desc.angular_damping = t.angular_damping;
    u32 solid = 0;
    for (u32 i = 0; i < shape_count; ++i)
        solid += shapes[i].flags & px::shape_trigger ? 0 : 1;
    Vector3 inertia{t.inertia[0], t.inertia[1], t.inertia[2]};
    if (t.mass > 0) {
        desc.mass = t.mass;
        if (length_squared(inertia) > 0) {
            // Components below ratio x the largest are raised to it.
            f32 m = std::fmax(inertia.x, std::fmax(inertia.y, inertia.z)) * t.min_inertia_ratio;
            desc.inertia = {std::fmax(inertia.x, m), std::fmax(inertia.y, m), std::fmax(inertia.z, m)};
        }
    } else if (solid == 0) {
        desc.mass = 1.0f;
        desc.inertia = {1, 1, 1};
    }
    PhysicsActor *r = allocate_record();
    if (!r) {
        log_message("physics", "no memory for an actor record");
        return nullptr;
    }
    desc.user_data = r;
    r->actor = _scene->create_actor(desc);
    if (!r->actor) {
        // The layer said why; this actor is not made and nothing refers to it.
        free_record(r);
        return nullptr;
    }
    if (targets)
        memcpy(r->targets, targets, sizeof r->targets);
    if (desc.dynamic) {
        if (desc.body_flags & px::body_kinematic)
            list_add(_kinematic, &PhysicsActor::kinematic_index, r);
        else
            list_add(_awake, &PhysicsActor::awake_index, r);
    }
    u32 flags = 0;
    if (r->targets[touch_begin] != physics_no_index)
        flags = px::notify_on_start_touch | px::notify_forces;
    if (r->targets[touch_end] != physics_no_index)
        flags |= px::notify_on_end_touch;
    _scene->set_contact_report_flags(r->actor, flags);
    return r;
}

PhysicsActor *PhysicsWorld::create_actor(const ActorCreateParams &params)
{
    const PhysicsProperties *properties = current_physics_properties();
    if (!params.resource || !params.actor || !_scene)
        return nullptr;
    const UnitResource &res = *params.resource;
    const UnitActorTemplate &t = *params.actor;
    if (!properties) {
        log_message("physics", "no physics properties are brought in; actor %08x not made", t.name_id);
        return nullptr;
    }
    const ActorTemplate *at = properties->find_actor_template(t.actor_template);
    if (!at) {
        log_message_once(res.name.value() ^ (u64(t.name_id) << 32 | t.actor_template) ^ 0xA7, "physics",
                         "unit %016llx, actor %08x: actor template %08x is not in the physics properties; the actor "
                         "is not made",
                         (unsigned long long)res.name.value(), t.name_id, t.actor_template);
        return nullptr;
    }
    if (t.shapes.count == 0 || u64(t.shapes.first) + t.shapes.count > res.shapes.size()) {
        log_message("physics", "actor %08x has no shapes; not made", t.name_id);
        return nullptr;
    }
    Array<px::ShapeDesc> shapes(_allocator);
    shapes.resize(t.shapes.count);
    if (shapes.size() != t.shapes.count)
        return nullptr;
    for (u32 i = 0; i < t.shapes.count; ++i) {
        const UnitShape &us = res.shapes[t.shapes.first + i];
        px::ShapeDesc &s = shapes[i];
        const ShapeTemplate *st = properties->find_shape_template(us.shape_template);
        if (!st) {
            log_message("physics", "shape template %08x is not in the physics properties; actor %08x not made",
                        us.shape_template, t.name_id);
            return nullptr;
        }
        const PhysicsMaterial *found = properties->find_material(us.material);
        if (!found)
            log_message_once(res.name.value() ^ (u64(t.name_id) << 32 | us.material) ^ 0x3A, "physics",
                             "unit %016llx, actor %08x: physics material %08x is not in the physics properties; the "
                             "shape takes the default material",
                             (unsigned long long)res.name.value(), t.name_id, us.material);
        PhysicsMaterial material = found ? *found : PhysicsMaterial{};
        s.kind = px::ShapeKind(us.kind);
        s.local_pose = us.pose;
        s.flags = st->flags;
        s.groups = groups_mask(st->filter);
        s.density = material.values[3];
        s.material = material_index(material);
        s.skin_width = physics_shape_skin;
        f32 p0 = as_f32(us.parameters[0]) + physics_shape_skin, p1 = as_f32(us.parameters[1]) + physics_shape_skin,
            p2 = as_f32(us.parameters[2]) + physics_shape_skin;
        switch (us.kind) {
        case 0: s.size = {p0, 0, 0}; break;
        case 1: s.size = {p0, p1, p2}; break;
        case 2: s.size = {p0, p1, 0}; break;
        case 3:
        case 4:
            if (us.mesh_data.size == 0 || u64(us.mesh_data.offset) + us.mesh_data.size > res.stream.size()) {
                log_message("physics", "actor %08x: a mesh shape without cooked bytes; not made", t.name_id);
                return nullptr;
            }
            s.mesh = mesh_for(res.bytes(us.mesh_data), us.mesh_data.size, us.kind == 4);
            if (!s.mesh) {
                log_message("physics", "actor %08x: broken cooked mesh; not made", t.name_id);
                return nullptr;
            }
            break;
        default: log_message("physics", "actor %08x: unknown shape kind %u; not made", t.name_id, us.kind); return nullptr;
        }
        if (s.flags & px::shape_trigger)
            s.trigger_status = (t.flow_targets[trigger_enter] != physics_no_index ? px::trigger_on_enter : 0u) |
                               (t.flow_targets[trigger_leave] != physics_no_index ? px::trigger_on_leave : 0u) |
                               (t.flow_targets[trigger_stay] != physics_no_index ? px::trigger_on_stay : 0u);
    }
    PhysicsActor *r = create_actor_from(*at, shapes.data(), shapes.size(), params.pose, t.flow_targets);
    if (!r) {
        log_message("physics", "actor %08x was refused by the physics layer", t.name_id);
        return nullptr;
    }
    if (params.unit) {
        r->scene_graph = &params.unit->scene_graph();
        r->node = t.node < r->scene_graph->node_count() ? t.node : 0;
        r->unit = params.unit->handle();
        if (r->scene_graph->node_count() == 0)
            r->scene_graph = nullptr;
    }
    r->actor_index = u32(&t - res.actors.data());
    r->name = t.name_id;
    r->actor_in_node = t.pose;
    if (!matrix4x4_inverse(t.pose, r->node_in_actor))
        r->node_in_actor = matrix4x4_identity;
    return r;
}

PhysicsActor *PhysicsWorld::create_trigger_volume(const TriggerVolumeParams &params)
{
    const PhysicsProperties *properties = current_physics_properties();
    ActorTemplate at; // a static actor when the level names no template the properties have
    ShapeTemplate st;
    st.filter = {~0ull, ~0ull};
    if (properties) {
        if (const ActorTemplate *t = properties->find_actor_template(params.actor_template))
            at = *t;
        if (const ShapeTemplate *t = properties->find_shape_template(params.shape_template))
            st = *t;
    }
    px::ShapeDesc s;
    s.kind = px::ShapeKind::Box;
    s.size = {std::fabs(params.box.x), std::fabs(params.box.y), std::fabs(params.box.z)};
    s.flags = st.flags | px::shape_trigger;
    s.groups = groups_mask(st.filter);
    s.trigger_status = (params.targets[trigger_enter] != physics_no_index ? px::trigger_on_enter : 0u) |
                       (params.targets[trigger_leave] != physics_no_index ? px::trigger_on_leave : 0u) |
                       (params.targets[trigger_stay] != physics_no_index ? px::trigger_on_stay : 0u);
    PhysicsActor *r = create_actor_from(at, &s, 1, params.pose, params.targets);
    if (!r)
        return nullptr;
    r->level_actor = true;
    r->actor_index = params.volume_index;
    return r;
}

void PhysicsWorld::destroy_actor(PhysicsActor *a)
{
    if (!a || a->tag != physics_actor_tag || a->world != this)
        return;
    if (!_scene->is_dynamic(a->actor))
        ++_static_changes;
    // Off both lists before the layer actor goes, so no list holds a released actor.
    list_remove(_awake, &PhysicsActor::awake_index, a);
    list_remove(_kinematic, &PhysicsActor::kinematic_index, a);
    _scene->release_actor(a->actor);
    free_record(a);
}

bool PhysicsWorld::is_dynamic(const PhysicsActor *a) const { return a && _scene && _scene->is_dynamic(a->actor); }
bool PhysicsWorld::is_sleeping(const PhysicsActor *a) const { return !a || !_scene || _scene->is_sleeping(a->actor); }
bool PhysicsWorld::is_kinematic(const PhysicsActor *a) const
{
    return a && _scene && _scene->read_body_flag(a->actor, px::body_kinematic);
}

void PhysicsWorld::set_kinematic(PhysicsActor *a, bool kinematic) { set_kinematic_flag(a, kinematic); }

void PhysicsWorld::set_kinematic_flag(PhysicsActor *a, bool kinematic)
{
    if (!a || !_scene || !_scene->is_dynamic(a->actor))
        return;
    if (_scene->read_body_flag(a->actor, px::body_kinematic) == kinematic)
        return;
    if (kinematic) {
        list_remove(_awake, &PhysicsActor::awake_index, a);
        list_add(_kinematic, &PhysicsActor::kinematic_index, a);
        _scene->raise_body_flag(a->actor, px::body_kinematic);
    } else {
        list_remove(_kinematic, &PhysicsActor::kinematic_index, a);
        list_add(_awake, &PhysicsActor::awake_index, a);
        _scene->clear_body_flag(a->actor, px::body_kinematic);
    }
}

void PhysicsWorld::set_collision_filter(PhysicsActor *a, const CollisionFilter &filter)
{
    if (!a || !_scene)
        return;
    _scene->set_groups_mask(a->actor, groups_mask(filter));
    if (!_scene->is_dynamic(a->actor))
        ++_static_changes;
}

void PhysicsWorld::set_pair_collision(PhysicsActor *a, PhysicsActor *b, bool collide)
{
    if (!a || !b || !_scene)
        return;
    if (collide)
        log_message("physics", "switching collision back on between two actors is not supported; unchanged");
    else
        _scene->ignore_pair(a->actor, b->actor);
}

bool PhysicsWorld::raycast(const Vector3 &origin, const Vector3 &direction, f32 length, Vector3 &out_hit) const
{
    if (!_scene)
        return false;
    px::GroupsMask all;
    for (u32 &b : all.bits)
        b = 0xFFFFFFFFu;
    px::RayHit hit;
    if (!_scene->raycast_closest(origin, direction, length, px::query_all, all, hit))
        return false;
    out_hit = hit.point;
    return true;
}

void PhysicsWorld::set_debug_lines(bool on)
{
    _debug = on;
    _lines.clear();
    if (_scene)
        _scene->set_debug_lines(on);
    if (on && _world && !_line_object)
        _line_object = _world->create_line_object(false);
    if (!on && _line_object) {
        _world->destroy_line_object(_line_object);
        _line_object = nullptr;
    }
}

// The step ------------------------------------------------------------------------------

void PhysicsWorld::update(f32 dt)
{
    if (!_scene)
        return;
    answer_queries();
    for (PhysicsActor *a : _kinematic) {
        if (!a->scene_graph)
            continue;
        Matrix4x4 pose = a->actor_in_node * a->scene_graph->world_pose(a->node);
        if (a->teleport) {
            _scene->set_global_pose(a->actor, pose);
            a->teleport = 0;
        } else {
            _scene->move_global_pose(a->actor, pose);
        }
    }
    _scene->simulate(dt);
    _scene->fetch_results();
    if (_debug) {
        const px::DebugLine *lines = nullptr;
        u32 n = _scene->debug_lines(lines);
        _lines.resize(n);
        if (_lines.size() == n && n)
            memcpy(_lines.data(), lines, sizeof(px::DebugLine) * n);
        if (_line_object) {
            _line_object->reset();
            for (const px::DebugLine &l : _lines)
                _line_object->add_line(pack_line_color(255, f32(l.color >> 16 & 0xFF), f32(l.color >> 8 & 0xFF),
                                                       f32(l.color & 0xFF)),
                                       l.from, l.to);
            _world->dispatch_line_object(*_line_object);
        }
    }
    for (PhysicsActor *a : _awake) {
        if (!a->scene_graph || a->node >= a->scene_graph->node_count())
            continue;
        SceneGraph &g = *a->scene_graph;
        Matrix4x4 world = a->node_in_actor * _scene->global_pose(a->actor);
        // The parent's world matrix: the node's parent in its own graph or, for the root of
        // a unit linked under another unit, the matrix the root last took from that unit's
        // node (the linked update then carries the root along with its parent).
        const u32 parent = g.parent(a->node);
        const Matrix4x4 *parent_world = parent == scene_graph_linked_root ? &g.parent_matrix()
                                        : parent < a->node                ? &g.world_pose(parent)
                                                                          : nullptr;
        Matrix4x4 local = world, parent_inverse;
        if (parent_world && matrix4x4_inverse(*parent_world, parent_inverse))
            local = world * parent_inverse;
        g.set_local_pose(a->node, local);
        g.set_world_pose(a->node, world);
        // The World brings the units of its awake list up to date and reflects them right
        // after the step, but walks the wake records only later in the frame: a unit whose
        // actor was made awake, woke in this step or was made dynamic again joins the list
        // here, so its other nodes follow and the render side gets it in this frame.
        if (_world && a->unit)
            if (Unit *u = _world->unit(a->unit))
                _world->add_to_awake_list(*u);
    }
}

// Reports -------------------------------------------------------------------------------

void PhysicsWorld::on_wake(px::Actor *const *actors, u32 count)
{
    for (u32 i = 0; i < count; ++i) {
        PhysicsActor *a = record_of(actors[i]);
        if (!a || _scene->read_body_flag(a->actor, px::body_kinematic))
            continue;
        list_add(_awake, &PhysicsActor::awake_index, a);
        PhysicsActorId id = id_of(a);
        (void)append_world_event(_events, physics_actor_woke_event, &id, sizeof id);
    }
}

void PhysicsWorld::on_sleep(px::Actor *const *actors, u32 count)
{
    for (u32 i = 0; i < count; ++i) {
        PhysicsActor *a = record_of(actors[i]);
        if (a && !_scene->read_body_flag(a->actor, px::body_kinematic))
            list_remove(_awake, &PhysicsActor::awake_index, a);
    }
}

void PhysicsWorld::on_contact(const px::ContactPair &pair, u32 events)
{
    if (pair.deleted[0] || pair.deleted[1])
        return;
    PhysicsActor *a = record_of(pair.actors[0]);
    PhysicsActor *b = record_of(pair.actors[1]);
    if (!a || !b)
        return;
    ContactPayload p;
    p.a = id_of(a);
    p.b = id_of(b);
    p.position = pair.has_point ? pair.point : Vector3{}; // no point: the origin, never a read past the stream
    p.normal = pair.normal_force;
    p.impulse = pair.friction_force;
    if (events & px::notify_on_start_touch) {
        p.kind = 0;
        (void)append_world_event(_events, physics_contact_event, &p, sizeof p);
    }
    if (events & px::notify_on_end_touch) {
        p.kind = 1;
        (void)append_world_event(_events, physics_contact_event, &p, sizeof p);
    }
}

void PhysicsWorld::on_trigger(px::Actor *trigger, px::Actor *other, u32 status)
{
    PhysicsActor *t = record_of(trigger);
    PhysicsActor *o = record_of(other);
    u32 kind = status == px::trigger_on_enter ? 0 : status == px::trigger_on_leave ? 1 : status == px::trigger_on_stay ? 2 : 3;
    if (!t || !o || kind > 2)
        return;
    TriggerPayload p;
    p.trigger = id_of(t);
    p.other = id_of(o);
    p.kind = kind;
    p.position = translation(_scene->global_pose(other));
    (void)append_world_event(_events, physics_trigger_event, &p, sizeof p);
}

} // namespace tallow
