#include "world/units/unit.h"

#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "resource/resource_manager.h"
#include "world/units/unit_resource.h"
#include "world/world.h"
#include "world/services/world_animation.h"

#include <cstring>

namespace tallow {

namespace {

UnitFlowRunner g_flow_runner;

template <typename T> void fill(Array<T> &array, u32 n, T value)
{
    array.resize(n);
    for (u32 i = 0; i < array.size(); ++i)
        array[i] = value;
}

template <typename R> i32 find_by_name(const Array<R> &records, u32 name_id)
{
    for (u32 i = 0; i < records.size(); ++i)
        if (records[i].name_id == name_id)
            return i32(i);
    return -1;
}

} // namespace

void set_unit_flow_runner(const UnitFlowRunner &runner) { g_flow_runner = runner; }
const UnitFlowRunner &unit_flow_runner() { return g_flow_runner; }

Unit::Unit(World &world, const UnitResource &resource, const void *material)
    : _allocator("unit", default_allocator(), false), _world(&world), _resource(&resource), _material(material),
      _graph(_allocator), _node_refs(_allocator), _meshes(_allocator), _lods(_allocator), _cameras(_allocator),
      _lights(_allocator), _actors(_allocator), _joints(_allocator), _data(_allocator), _flow_variables(_allocator)
{
}

Unit::~Unit()
{
    unit_handle_table().free(_handle);
    release_components();
    // The render side may still have records of this unit that read its data.
    _world->release_after_render(_held_material);
    _world->release_after_render(_held);
}

void Unit::hold_resource(NameId64 type, NameId64 name)
{
    // The new reference first: holding the same resource again must not free it between.
    ResourceManager *manager = _world->resource_manager();
    ResourceHold fresh;
    if (manager)
        fresh.hold(*manager, type, name);
    _world->release_after_render(_held);
    _held = fresh;
}

void Unit::hold_material(NameId64 name, const void *data)
{
    if (ResourceManager *manager = _world->resource_manager(); manager && data && data == _material)
        _held_material.hold_data(*manager, NameId64("material"), name, data);
}

bool Unit::init(const Matrix4x4 &pose)
{
    const UnitResource &r = *_resource;
    if (ResourceManager *manager = _world->resource_manager())
        _held.hold_data(*manager, unit_type, r.name, &r);
    _handle = unit_handle_table().allocate(this);
    if (_handle == null_unit_handle)
        return false;
    if (!_data.assign_bytes(r.bytes(r.data_defaults), r.data_defaults.size))
        return false;
    if (r.has_flow()) {
        _flow_variables.resize(r.flow_variable_defaults.size);
        if (_flow_variables.size() != r.flow_variable_defaults.size)
            return false;
        if (r.flow_variable_defaults.size)
            memcpy(_flow_variables.data(), r.bytes(r.flow_variable_defaults), r.flow_variable_defaults.size);
    }
    build(pose);
    return _graph.node_count() == r.node_count;
}

void Unit::build(const Matrix4x4 &pose)
{
    const UnitResource &r = *_resource;
    World &w = *_world;
    _spawn_pose = pose;
    // 1. The resource's graph placed at the spawn pose.
    if (_graph.reset(r.node_count)) {
        for (u32 i = 0; i < r.node_count; ++i) {
            (void)_graph.set_parent(i, r.parents[i]);
            _graph.set_node_name(i, NameId32::from_value(r.node_names[i]));
            _graph.set_local_pose(i, r.local_matrices[i]);
            _graph.set_world_pose(i, r.world_matrices[i]);
        }
        _graph.transform_all(pose);
    }
    // 2.-5. Render side.
    w.render_link().create_scene_graph(_graph);
    _node_refs.clear();
    for (const UnitNodeReference &n : r.node_references)
        _node_refs.push_back(make_node_ref(&_graph, n.node));
    UnitRenderParams params;
    params.resource = &r;
    params.graph = &_graph;
    params.material = _material;
    fill(_meshes, r.meshes.size(), no_render_handle);
    for (u32 i = 0; i < _meshes.size(); ++i)
        if (r.meshes[i].flags & 3) {
            params.index = i;
            _meshes[i] = w.render_link().create_object(UnitRenderObject::Mesh, params);
        }
    fill(_cameras, r.cameras.size(), no_render_handle);
    for (u32 i = 0; i < _cameras.size(); ++i) {
        params.index = i;
        _cameras[i] = w.render_link().create_object(UnitRenderObject::Camera, params);
    }
    fill(_lights, r.lights.size(), no_render_handle);
    for (u32 i = 0; i < _lights.size(); ++i) {
        params.index = i;
        _lights[i] = w.render_link().create_object(UnitRenderObject::Light, params);
    }
    params.meshes = _meshes.data();
    params.mesh_count = _meshes.size();
    fill(_lods, r.lod_objects.size(), no_render_handle);
    for (u32 i = 0; i < _lods.size(); ++i) {
        params.index = i;
        _lods[i] = w.render_link().create_object(UnitRenderObject::LodObject, params);
    }
    // 6.-9. Physics.
    fill<PhysicsActor *>(_actors, r.actors.size(), nullptr);
    fill<PhysicsJoint *>(_joints, r.joints.size(), nullptr);
    enable_physics_at(pose);
    // 10.
    _graph.update_world();
    // 11. Animation.
    if (r.animated) {
        const void *bones = w.resource_manager() ? w.resource_manager()->get(NameId64("bones"), r.name) : nullptr;
        if (!bones)
            log_message("world", "unit %016llx is animated but its \"bones\" resource is not loaded",
                        (unsigned long long)r.name.value());
        else
            _blender = w.animation().create_blender(_graph, bones);
        if (_blender && r.state_machine.size)
            set_animation_state_machine();
    }
}

void Unit::release_components()
{
    World &w = *_world;
    _node_refs.clear();
    // LOD objects first (they name meshes), the scene graph last (the others follow it).
    for (u32 h : _lods)
        if (h != no_render_handle)
            w.render_link().destroy_object(UnitRenderObject::LodObject, h);
    for (u32 h : _meshes)
        if (h != no_render_handle)
            w.render_link().destroy_object(UnitRenderObject::Mesh, h);
    for (u32 h : _cameras)
        if (h != no_render_handle)
            w.render_link().destroy_object(UnitRenderObject::Camera, h);
    for (u32 h : _lights)
        if (h != no_render_handle)
            w.render_link().destroy_object(UnitRenderObject::Light, h);
    w.render_link().destroy_scene_graph(_graph);
    _meshes.clear();
    _cameras.clear();
    _lights.clear();
    _lods.clear();
    disable_physics();
    if (_resource->simple_animations.size())
        w.animation().stop_unit(_graph);
    disable_animation_state_machine();
    if (_blender)
        w.animation().destroy_blender(_blender);
    _blender = nullptr;
}

void Unit::set_awake_until(u32 frames) { _awake_until = _world->frame_counter() + frames; }

u32 Unit::needs_update() const
{
    u32 flags = _parent ? _parent->needs_update() : 0;
    if (_awake_until >= _world->frame_counter() || _blender ||
        (_resource->simple_animations.size() && _world->animation().has_playback(_graph)))
        flags |= unit_needs_scene_update;
    for (const PhysicsActor *a : _actors)
        if (a && _world->physics().is_dynamic(a) && !_world->physics().is_sleeping(a)) {
            flags |= unit_needs_awake_update;
            break;
        }
    return flags;
}

Camera *Unit::camera(u32 i) const { return _world->render_link().camera(camera_handle(i)); }
Light *Unit::light(u32 i) const { return _world->render_link().light(light_handle(i)); }
Mesh *Unit::mesh(u32 i) const { return _world->render_link().mesh(mesh_handle(i)); }

OrientedBox Unit::box() const
{
    const Matrix4x4 pose = _graph.node_count() ? _graph.world_pose(0) : _spawn_pose;
    OrientedBox box = oobb_empty(pose);
    Matrix4x4 to_local;
    if (!matrix4x4_inverse(pose, to_local))
        to_local = matrix4x4_identity;
    bool any = false;
    for (const UnitMesh &m : _resource->meshes) {
        if (m.words[0] >= _resource->geometries.size() || m.node >= _graph.node_count())
            continue;
        const UnitBox &b = _resource->geometries[m.words[0]].box;
        const OrientedBox mesh_box{_graph.world_pose(m.node), {b.min[0], b.min[1], b.min[2]},
                                   {b.max[0], b.max[1], b.max[2]}};
        box = oobb_merge(box, to_local, mesh_box);
        any = true;
    }
    if (!any)
        box.min = box.max = {0, 0, 0};
    return box;
}

i32 Unit::find_mesh(u32 name_id) const { return find_by_name(_resource->meshes, name_id); }
i32 Unit::find_camera(u32 name_id) const { return find_by_name(_resource->cameras, name_id); }
i32 Unit::find_light(u32 name_id) const { return find_by_name(_resource->lights, name_id); }
i32 Unit::find_actor_index(u32 name_id) const { return find_by_name(_resource->actors, name_id); }

i32 Unit::find_joint_index(u32 name_id) const
{
    for (u32 i = 0; i < _resource->joints.size(); ++i)
        if (_resource->joints[i].name_id() == name_id)
            return i32(i);
    return -1;
}

PhysicsActor *Unit::make_actor(u32 i, const Matrix4x4 &spawn_pose)
{
    const UnitActorTemplate &t = _resource->actors[i];
    ActorCreateParams params{_resource, &t, t.pose * spawn_pose, this};
    return _world->physics().create_actor(params);
}

PhysicsJoint *Unit::make_joint(u32 i, const Matrix4x4 &spawn_pose)
{
    const UnitJointTemplate &t = _resource->joints[i];
    JointCreateParams params{t.joint, {nullptr, nullptr}};
    JointTemplate &j = params.joint;
    for (u32 k = 0; k < 2; ++k) {
        u32 name = t.actor_name(k);
        i32 actor = name ? find_actor_index(name) : -1;
        if (name && actor < 0) {
            // Names are resolved here, not at load: only this joint is lost, not the unit.
            log_message("world", "unit %016llx: joint %08x names actor %08x, which the unit does not have; joint not created",
                        (unsigned long long)_resource->name.value(), t.name_id(), name);
            return nullptr;
        }
        params.actors[k] = actor >= 0 ? _actors[u32(actor)] : nullptr;
        // A frame without a body is anchored in the world where the spawn pose puts it.
        if (!params.actors[k]) {
            j.set_vector(19 + 3 * k, transform_point(spawn_pose, j.local_anchor(k)));
            j.set_vector(10 + 3 * k, transform_without_translation(spawn_pose, j.local_axis(k)));
            j.set_vector(4 + 3 * k, transform_without_translation(spawn_pose, j.local_normal(k)));
        }
    }
    // The global anchor and axis are given in the unit's space.
    j.set_vector(25, transform_point(spawn_pose, j.global_anchor()));
    j.set_vector(16, transform_without_translation(spawn_pose, j.global_axis()));
    return _world->physics().create_joint(params);
}

void Unit::create_actor(u32 i)
{
    if (i >= _actors.size() || _actors[i])
        return;
    _actors[i] = make_actor(i, _graph.node_count() ? _graph.world_pose(0) : _spawn_pose);
}

void Unit::destroy_actor(u32 i)
{
    if (i >= _actors.size() || !_actors[i])
        return;
    _world->physics().destroy_actor(_actors[i]);
    _actors[i] = nullptr;
}

void Unit::create_joint(u32 i)
{
    if (i >= _joints.size() || _joints[i])
        return;
    _joints[i] = make_joint(i, _graph.node_count() ? _graph.world_pose(0) : _spawn_pose);
}

void Unit::destroy_joint(u32 i)
{
    if (i >= _joints.size() || !_joints[i])
        return;
    _world->physics().destroy_joint(_joints[i]);
    _joints[i] = nullptr;
}

bool Unit::adopt_joint(u32 i, PhysicsJoint *joint)
{
    if (i >= _joints.size() || _joints[i] || !joint)
        return false;
    _joints[i] = joint;
    return true;
}

void Unit::apply_collision_pairs()
{
    for (const UnitCollisionPair &p : _resource->collision_pairs) {
        // Slots of actors whose create flag is clear are null.
        PhysicsActor *a = actor(p.actors[0]);
        PhysicsActor *b = actor(p.actors[1]);
        if (a && b)
            _world->physics().set_pair_collision(a, b, false);
    }
}

void Unit::enable_physics() { enable_physics_at(_graph.node_count() ? _graph.world_pose(0) : _spawn_pose); }

void Unit::enable_physics_at(const Matrix4x4 &pose)
{
    const UnitResource &r = *_resource;
    for (u32 i = 0; i < _actors.size(); ++i)
        if (!_actors[i] && r.actors[i].create)
            _actors[i] = make_actor(i, pose);
    for (u32 i = 0; i < _joints.size(); ++i)
        if (!_joints[i] && r.joints[i].create)
            _joints[i] = make_joint(i, pose);
    if (!_mover && r.movers.size())
        _mover = _world->physics().create_mover({&r.movers[0].mover, translation(pose), this});
    apply_collision_pairs();
}

void Unit::disable_physics()
{
    for (u32 i = 0; i < _joints.size(); ++i)
        destroy_joint(i);
    for (u32 i = 0; i < _actors.size(); ++i)
        destroy_actor(i);
    if (_mover)
        _world->physics().destroy_mover(_mover);
    _mover = nullptr;
}

void Unit::set_animation_state_machine(u64 name)
{
    if (!_blender)
        return;
    const UnitResource &r = *_resource;
    NameId64 id = name ? NameId64::from_value(name)
                       : NameId64(reinterpret_cast<const char *>(r.bytes(r.state_machine)), r.state_machine.size);
    if (id.is_empty())
        return;
    // The machine reads its resource every frame: the unit holds it while the machine lives.
    ResourceManager *manager = _world->resource_manager();
    ResourceHold held;
    if (!manager || !held.hold(*manager, NameId64("state_machine"), id)) {
        log_message("world", "\"state_machine\" resource %016llx is not loaded", (unsigned long long)id.value());
        return;
    }
    disable_animation_state_machine();
    _state_machine = _world->animation().create_state_machine(held.data, _blender, this);
    if (_state_machine)
        _held_machine = held;
    else
        held.release(*manager);
}

void Unit::disable_animation_state_machine()
{
    if (_state_machine)
        _world->animation().destroy_state_machine(_state_machine);
    _state_machine = nullptr;
    if (ResourceManager *manager = _world->resource_manager())
        _held_machine.release(*manager);
    // What the machine started would play on with nothing to steer it.
    if (_blender)
        _world->animation().clear_blender(_blender);
}

bool Unit::set_visibility(u32 group_name_id, bool visible)
{
    for (const UnitVisibilityGroup &g : _resource->visibility_groups) {
        if (g.name_id != group_name_id)
            continue;
        for (u32 k = 0; k < g.members.count; ++k) {
            u32 mesh = _resource->word(g.members, k);
            if (mesh < _meshes.size() && _meshes[mesh] != no_render_handle)
                _world->render_link().set_visible(UnitRenderObject::Mesh, _meshes[mesh], visible);
        }
        return true;
    }
    return false;
}

void Unit::set_all_visible(bool visible)
{
    for (u32 h : _meshes)
        if (h != no_render_handle)
            _world->render_link().set_visible(UnitRenderObject::Mesh, h, visible);
}

bool Unit::reload(const UnitResource &resource)
{
    Matrix4x4 pose = _graph.node_count() ? _graph.world_pose(0) : _spawn_pose;
    bool had_physics = _mover != nullptr;
    u32 dynamic = 0, kinematic = 0;
    for (const PhysicsActor *a : _actors) {
        had_physics = had_physics || a;
        if (a && _world->physics().is_dynamic(a)) {
            ++dynamic;
            kinematic += _world->physics().is_kinematic(a) ? 1 : 0;
        }
    }
    bool had_state_machine = _state_machine != nullptr;
    release_components();
    _resource = &resource;
    if (ResourceManager *manager = _world->resource_manager()) {
        ResourceHold fresh;
        fresh.hold_data(*manager, unit_type, resource.name, &resource);
        _world->release_after_render(_held);
        _held = fresh;
    }
    _data.assign_bytes(resource.bytes(resource.data_defaults), resource.data_defaults.size);
    _flow_variables.resize(resource.has_flow() ? resource.flow_variable_defaults.size : 0);
    if (_flow_variables.size() && resource.flow_variable_defaults.size == _flow_variables.size())
        memcpy(_flow_variables.data(), resource.bytes(resource.flow_variable_defaults), _flow_variables.size());
    build(pose);
    if (!had_physics)
        disable_physics();
    if (!had_state_machine)
        disable_animation_state_machine();
    // "All dynamic actors were kinematic" needs at least one dynamic actor: otherwise every
    // dynamic actor the new resource brings would be forced kinematic.
    if (dynamic > 0 && kinematic == dynamic)
        for (PhysicsActor *a : _actors)
            if (a && _world->physics().is_dynamic(a) && !_world->physics().is_kinematic(a))
                _world->physics().set_kinematic(a, true);
    return _graph.node_count() == resource.node_count;
}

} // namespace tallow
