#include "network/unit_synchronizer.h"

#include "foundation/log.h"
#include "foundation/math/rotation.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "world/units/unit.h"
#include "world/world.h"

#include <cmath>
#include <cstring>

namespace tallow::network {

namespace {

const char *const log_category = "network";
constexpr u32 no_field = 0xFFFFFFFF;
constexpr u32 no_object = 0xFFFFFFFF;
constexpr u32 remote_wake_frames = 5;
// Farther out a float has no useful precision left for a pose, and physics breaks down.
constexpr f32 max_remote_coordinate = 1.0e6f;

} // namespace

UnitSynchronizer::UnitSynchronizer(INetworkGame &game, const NetworkGameConfig &config, u32 synchronizer_id,
                                   Allocator &parent)
    : _allocator("unit_synchronizer", parent), _game(game), _config(config), _id(synchronizer_id), _units(_allocator)
{
}

World *UnitSynchronizer::world() const { return _world && World::is_live(_world) ? _world : nullptr; }

bool UnitSynchronizer::fields_of(const GameObjectType &type, Fields &out) const
{
    out.position = type.find_field(NameId32("position").value());
    out.rotation = type.find_field(NameId32("rotation").value());
    out.unit_name = type.find_field(NameId32("unit_name").value());
    out.synchronizer_id = type.find_field(NameId32("synchronizer_id").value());
    return out.position != no_field && type.fields[out.position].field_type() == FieldType::Vector3 &&
           out.rotation != no_field && type.fields[out.rotation].field_type() == FieldType::Quaternion &&
           out.unit_name != no_field && type.fields[out.unit_name].field_type() == FieldType::Id &&
           out.synchronizer_id != no_field && type.fields[out.synchronizer_id].field_type() == FieldType::Int;
}

bool UnitSynchronizer::can_synchronize(u32 type_index) const
{
    const GameObjectType *type = _config.object_type(type_index);
    Fields fields;
    return type && fields_of(*type, fields);
}

i32 UnitSynchronizer::find_object(u32 id) const
{
    for (u32 i = 0; i < _units.size(); ++i)
        if (_units[i].object == id)
            return i32(i);
    return -1;
}

i32 UnitSynchronizer::find_unit(UnitHandle unit) const
{
    if (unit == null_unit_handle)
        return -1;
    for (u32 i = 0; i < _units.size(); ++i)
        if (_units[i].unit == unit)
            return i32(i);
    return -1;
}

UnitHandle UnitSynchronizer::unit_of(u32 object_id) const
{
    const i32 i = find_object(object_id);
    return i < 0 ? null_unit_handle : _units[u32(i)].unit;
}

u32 UnitSynchronizer::object_of(UnitHandle unit) const
{
    const i32 i = find_unit(unit);
    return i < 0 ? no_object : _units[u32(i)].object;
}

bool UnitSynchronizer::is_owned(UnitHandle unit) const
{
    const i32 i = find_unit(unit);
    return i >= 0 && _units[u32(i)].owned;
}

Unit *UnitSynchronizer::spawn(u64 name, const Matrix4x4 &pose)
{
    World *w = world();
    if (!w)
        return nullptr;
    if (_source.find) {
        const UnitResource *resource = _source.find(_source.user, name);
        return resource ? w->spawn_unit_from_resource(*resource, nullptr, pose) : nullptr;
    }
    return w->spawn_unit(NameId64::from_value(name), pose);
}

Unit *UnitSynchronizer::spawn_unit(u64 unit_name, const Matrix4x4 &pose, u32 type_index)
{
    const GameObjectType *type = _config.object_type(type_index);
    Fields fields;
    if (!type || !fields_of(*type, fields)) {
        log_message(log_category, "unit synchronizer: object type %u lacks position, rotation, unit_name or "
                                  "synchronizer_id; no unit spawned", type_index);
        return nullptr;
    }
    if (!world()) {
        log_message(log_category, "unit synchronizer: no world is set; call set_world first");
        return nullptr;
    }
    Unit *unit = spawn(unit_name, pose);
    if (!unit)
        return nullptr;
    memset(_scratch, 0, type->state_size);
    const Vector3 position = translation(pose);
    const Quaternion rotation = matrix_to_quaternion(pose);
    const i32 id = i32(_id);
    memcpy(_scratch + type->field_offset(fields.position), &position, sizeof(position));
    memcpy(_scratch + type->field_offset(fields.rotation), &rotation, sizeof(rotation));
    memcpy(_scratch + type->field_offset(fields.unit_name), &unit_name, sizeof(unit_name));
    memcpy(_scratch + type->field_offset(fields.synchronizer_id), &id, sizeof(id));
    const u32 object = _game.create_object(type_index, _scratch);
    if (object == no_object) {
        log_message(log_category, "unit synchronizer: the game refused the unit's object; unit not spawned");
        world()->destroy_unit(*unit);
        return nullptr;
    }
    _units.push_back({object, unit->handle(), true});
    return unit;
}

void UnitSynchronizer::destroy_world_unit(UnitHandle handle)
{
    World *w = world();
    if (!w)
        return;
    if (Unit *unit = w->unit(handle))
        w->destroy_unit(*unit);
}

bool UnitSynchronizer::destroy_unit(UnitHandle unit)
{
    const i32 i = find_unit(unit);
    if (i < 0)
        return false;
    const Entry entry = _units[u32(i)];
    _units[u32(i)] = _units.back(); // the last unit moves into its place
    _units.pop_back();
    destroy_world_unit(entry.unit);
    if (entry.owned)
        _game.destroy_object(entry.object);
    return true;
}

Matrix4x4 UnitSynchronizer::pose_from_state(const GameObjectType &type, const Fields &fields, const u8 *state)
{
    Vector3 p;
    Quaternion q;
    memcpy(&p, state + type.field_offset(fields.position), sizeof(p));
    memcpy(&q, state + type.field_offset(fields.rotation), sizeof(q));
    // s = 2 / |q|^2 keeps an unnormalised quaternion a rotation.
    const f32 n = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
    const f32 s = n > 0 ? 2.0f / n : 1.0f;
    const f32 xx = q.x * q.x * s, yy = q.y * q.y * s, zz = q.z * q.z * s;
    const f32 xy = q.x * q.y * s, xz = q.x * q.z * s, yz = q.y * q.z * s;
    const f32 wx = q.w * q.x * s, wy = q.w * q.y * s, wz = q.w * q.z * s;
    Matrix4x4 m = matrix4x4_identity;
    m.m[0][0] = 1 - (yy + zz), m.m[0][1] = xy + wz, m.m[0][2] = xz - wy;
    m.m[1][0] = xy - wz, m.m[1][1] = 1 - (xx + zz), m.m[1][2] = yz + wx;
    m.m[2][0] = xz + wy, m.m[2][1] = yz - wx, m.m[2][2] = 1 - (xx + yy);
    set_translation(m, p);
    return m;
}

bool UnitSynchronizer::pose_is_usable(const GameObjectType &type, const Fields &fields, const u8 *state)
{
    f32 p[3], q[4];
    memcpy(p, state + type.field_offset(fields.position), sizeof(p));
    memcpy(q, state + type.field_offset(fields.rotation), sizeof(q));
    for (f32 c : p)
        if (!(std::fabs(c) <= max_remote_coordinate))
            return false;
    f32 n = 0;
    for (f32 c : q) {
        if (!std::isfinite(c))
            return false;
        n += c * c;
    }
    return n > 1e-6f && std::isfinite(n);
}

Unit *UnitSynchronizer::spawn_from_state(u32 id, const GameObjectType &type, const u8 *state)
{
    Fields fields;
    fields_of(type, fields);
    u64 name;
    memcpy(&name, state + type.field_offset(fields.unit_name), sizeof(name));
    Unit *unit = spawn(name, pose_from_state(type, fields, state));
    if (!unit)
        log_message(log_category, "unit synchronizer: object %u names unit %016llx, which did not spawn", id,
                    static_cast<unsigned long long>(name));
    return unit;
}

void UnitSynchronizer::make_remote_driven(Unit &unit)
{
    IPhysicsWorld &physics = world()->physics();
    for (u32 i = 0; i < unit.actor_count(); ++i) {
        PhysicsActor *actor = unit.actor(i);
        if (actor && physics.is_dynamic(actor) && !physics.is_kinematic(actor))
            physics.set_kinematic(actor, true);
    }
    // Loose nodes follow the root, which the network moves.
    SceneGraph &graph = unit.scene_graph();
    for (u32 node = 1; node < graph.node_count(); ++node)
        if (graph.parent(node) == scene_graph_root)
            (void)graph.set_parent(node, 0);
}

void UnitSynchronizer::object_event(u32 id, ObjectEvent event)
{
    const i32 known = find_object(id);
    if (event == ObjectEvent::Destroyed) {
        // The object may be gone already: only the mapping is needed.
        if (known < 0)
            return;
        const UnitHandle unit = _units[u32(known)].unit;
        _units.erase(u32(known));
        destroy_world_unit(unit);
        return;
    }
    if (event != ObjectEvent::Created && event != ObjectEvent::MigratedToMe && event != ObjectEvent::MigratedAway)
        return;
    const u8 *state = _game.object_state(id);
    const GameObjectType *type = _game.object_type(id);
    Fields fields;
    if (!state || !type || type->find_field(NameId32("synchronizer_id").value()) == no_field)
        return;
    i32 owner_id;
    memcpy(&owner_id, state + type->field_offset(type->find_field(NameId32("synchronizer_id").value())), 4);
    if (u32(owner_id) != _id || !fields_of(*type, fields))
        return;
    if (event == ObjectEvent::Created && known >= 0)
        return;
    if (known >= 0) {
        destroy_world_unit(_units[u32(known)].unit);
        _units.erase(u32(known));
    }
    if (!world()) {
        log_message(log_category, "unit synchronizer: object %u has no world to appear in", id);
        return;
    }
    if (!pose_is_usable(*type, fields, state)) {
        log_message(log_category, "unit synchronizer: object %u from peer %llx has a pose that is not finite, "
                                  "beyond %g or has no rotation; no unit spawned", id,
                    static_cast<unsigned long long>(_game.object_owner(id)), f64(max_remote_coordinate));
        return;
    }
    Unit *unit = spawn_from_state(id, *type, state);
    if (!unit)
        return;
    const bool owned = event == ObjectEvent::MigratedToMe;
    if (!owned)
        make_remote_driven(*unit);
    _units.push_back({id, unit->handle(), owned});
}

void UnitSynchronizer::write(f32)
{
    World *w = world();
    if (!w)
        return;
    for (u32 i = 0; i < _units.size();) {
        const Entry entry = _units[i];
        if (!entry.owned) {
            ++i;
            continue;
        }
        Unit *unit = w->unit(entry.unit);
        if (!unit) {
            // Destroyed behind the synchronizer's back: its object goes too.
            _units.erase(i);
            _game.destroy_object(entry.object);
            continue;
        }
        ++i;
        if (unit->update_index() == unit_not_listed && unit->awake_index() == unit_not_listed)
            continue;
        const GameObjectType *type = _game.object_type(entry.object);
        Fields fields;
        if (!type || !fields_of(*type, fields))
            continue;
        const Matrix4x4 &pose = unit->scene_graph().world_pose(0);
        const Vector3 position = translation(pose);
        const Quaternion rotation = matrix_to_quaternion(pose);
        _game.set_object_field(entry.object, fields.position, &position);
        _game.set_object_field(entry.object, fields.rotation, &rotation);
    }
}

void UnitSynchronizer::apply(f32, const u32 *ids, u32 count)
{
    World *w = world();
    if (!w)
        return;
    for (u32 k = 0; k < count; ++k) {
        const i32 i = find_object(ids[k]);
        if (i < 0 || _units[u32(i)].owned)
            continue;
        Unit *unit = w->unit(_units[u32(i)].unit);
        const u8 *state = _game.object_state(ids[k]);
        const GameObjectType *type = _game.object_type(ids[k]);
        Fields fields;
        if (!unit) {
            _units.erase(u32(i)); // a script destroyed the remote unit
            continue;
        }
        if (!state || !type || !fields_of(*type, fields) || unit->scene_graph().node_count() == 0 ||
            !pose_is_usable(*type, fields, state))
            continue;
        unit->scene_graph().set_local_pose(0, pose_from_state(*type, fields, state));
        w->wake_unit(*unit, remote_wake_frames);
    }
}

ISynchronizer *create_unit_synchronizer(INetworkGame &game, const NetworkGameConfig &config)
{
    return make_new<UnitSynchronizer>(default_allocator(), game, config, 0u, default_allocator());
}

} // namespace tallow::network
