#include "ai/flock_visualizer.h"

#include "ai/flock.h"
#include "foundation/log.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/temp_allocator.h"
#include "world/units/scene_graph.h"
#include "world/units/unit.h"
#include "world/world.h"

#include <algorithm>

namespace tallow {

namespace {

Unit *live(UnitHandle handle) { return handle ? unit_handle_table().get(handle) : nullptr; }

} // namespace

u32 flock_speed_band(u32 band, f32 s)
{
    switch (band) {
    default:
    case 0:
        return s > 0.75f ? 2 : s > 0.15f ? 1 : 0;
    case 1:
        return s < 0.05f ? 0 : s > 0.4f ? 2 : 1;
    case 2:
        return s < 0.1f ? 0 : s < 0.3f ? 1 : 2;
    }
}

f32 flock_depth_key(const Vector3 &agent, const Vector3 &camera, const Vector3 &view_direction)
{
    const Vector3 offset = agent - camera;
    const f32 d2 = length_squared(offset);
    return dot(view_direction, offset) < 0.0f ? 2.0f * d2 + 100.0f : d2;
}

FlockVisualizer::FlockVisualizer(Allocator &parent, World &world, Flock &flock, u32 first_agent)
    : _allocator("flock_visualizer", parent), _world(world), _flock(flock), _first_agent(first_agent),
      _units(_allocator), _agent_slot(_allocator), _agent_band(_allocator), _agent_template(_allocator),
      _order(_allocator)
{
}

FlockVisualizer::~FlockVisualizer() { clear_units(); }

bool FlockVisualizer::add_unit(NameId64 unit_name, NameId64 material)
{
    if (!World::is_live(&_world))
        return false;
    Unit *u = _world.spawn_unit_with_material(unit_name, material, matrix4x4_identity);
    if (!u)
        return false;
    if (!_units.push_back({u->handle(), unit_name, 1.0f, -1})) {
        _world.destroy_unit(*u);
        return false;
    }
    u->set_all_visible(false); // shown once an agent has it
    _world.wake_unit(*u, 1);
    return true;
}

void FlockVisualizer::clear_units()
{
    const bool world_lives = World::is_live(&_world);
    for (const Slot &slot : _units)
        if (Unit *u = world_lives ? live(slot.unit) : nullptr)
            _world.destroy_unit(*u);
    _units.clear();
    for (i32 &s : _agent_slot)
        s = -1;
}

bool FlockVisualizer::set_templates(const UnitHandle *templates, u32 count)
{
    // The template index runs to (4 + 5 x 2): fewer than 15 would be read past.
    if (count != flock_template_count) {
        log_message("ai", "flock visualizer: %u templates given, 15 needed (5 phases x 3 speed bands)", count);
        return false;
    }
    for (u32 i = 0; i < count; ++i)
        if (!live(templates[i]))
            return false;
    for (u32 i = 0; i < count; ++i) {
        _templates[i] = templates[i];
        live(templates[i])->set_all_visible(false);
    }
    _has_templates = true;
    return true;
}

void FlockVisualizer::set_camera(const Vector3 &position, const Vector3 &direction)
{
    _camera = position;
    _view = direction;
}

void FlockVisualizer::hide(UnitHandle handle)
{
    if (Unit *u = live(handle))
        u->set_all_visible(false);
}

void FlockVisualizer::pose_unit(u32 i, Slot &slot, f32 dt, bool template_changed)
{
    Unit *u = live(slot.unit);
    if (!u)
        return;
    SceneGraph &graph = u->scene_graph();
    if (graph.node_count() == 0)
        return;
    const FlockAgent &a = _flock.agent(i);
    Vector3 up = normalize(a.up);
    if (up == Vector3{})
        up = {0, 0, 1};
    Vector3 forward = normalize(a.heading - up * dot(a.heading, up));
    if (forward == Vector3{}) // heading along up: any direction across it
        forward = normalize(up.x * up.x < 0.81f ? cross(up, Vector3{1, 0, 0}) : cross(up, Vector3{0, 1, 0}));
    const f32 scale = 1.0f + (f32(i % 11) - 5.0f) * 0.02f;
    Matrix4x4 root = matrix4x4_identity;
    set_axis(root, 0, cross(forward, up) * scale);
    set_axis(root, 1, forward * scale);
    set_axis(root, 2, up * scale);
    set_translation(root, a.position);
    graph.set_local_pose(0, root);
    if (template_changed)
        slot.blend = dt * 4.0f; // a running agent does not snap to the new template's pose
    Unit *t = _has_templates ? live(_templates[_agent_template[i]]) : nullptr;
    if (t) {
        // Units of another detail level may have fewer nodes than the template.
        const u32 nodes = std::min(graph.node_count(), t->scene_graph().node_count());
        for (u32 k = 1; k < nodes; ++k) {
            const Matrix4x4 &target = t->scene_graph().local_pose(k);
            if (slot.blend < 1.0f) {
                Matrix4x4 m = graph.local_pose(k);
                for (int row = 0; row < 3; ++row)
                    set_axis(m, row, axis(m, row) * (1.0f - slot.blend) + axis(target, row) * slot.blend);
                graph.set_local_pose(k, m);
            } else {
                graph.set_local_pose(k, target);
            }
        }
        if (slot.blend < 1.0f)
            slot.blend += dt * 4.0f;
    }
    for (u32 k = 0; k < graph.node_count(); ++k)
        graph.mark_changed(k);
    _world.wake_unit(*u, 1);
}

void FlockVisualizer::visualize(f32 dt)
{
    if (!World::is_live(&_world))
        return;
    const u32 n = _flock.agent_count();
    const u32 known = _agent_slot.size();
    _agent_slot.resize(n), _agent_band.resize(n), _agent_template.resize(n);
    if (_agent_slot.size() != n || _agent_band.size() != n || _agent_template.size() != n)
        return;
    for (u32 i = known; i < n; ++i)
        _agent_slot[i] = -1;
    // Agents that hold leave the scene; removed ones lose their unit.
    _order.clear();
    for (u32 i = _first_agent; i < n; ++i) {
        if (_flock.agent(i).mode == FlockMode::Hold)
            _flock.remove_agent(i);
        if (_flock.agent(i).mode == FlockMode::Removed) {
            if (_agent_slot[i] >= 0) {
                Slot &slot = _units[u32(_agent_slot[i])];
                hide(slot.unit);
                slot.agent = -1;
                _agent_slot[i] = -1;
            }
            continue;
        }
        _order.push_back(i);
    }
    // Nearest first.
    TempAllocator temp;
    Array<f32> key(temp);
    key.resize(n);
    for (u32 i : _order)
        key[i] = flock_depth_key(_flock.agent(i).position, _camera, _view);
    std::stable_sort(_order.begin(), _order.end(), [&](u32 a, u32 b) { return key[a] < key[b]; });
    // Detail hand-out: rank r wants the type of the r-th unit added. A slot stays with its
    // agent while the agent's rank wants its type; the others are freed and handed out
    // again, type by type (there are exactly as many slots of a type as ranks wanting it).
    const u32 ranks = std::min(_order.size(), _units.size());
    Array<i32> rank(temp);
    rank.resize(n);
    for (u32 i = 0; i < n; ++i)
        rank[i] = -1;
    for (u32 r = 0; r < ranks; ++r)
        rank[_order[r]] = i32(r);
    for (u32 s = 0; s < _units.size(); ++s) {
        Slot &slot = _units[s];
        if (slot.agent < 0)
            continue;
        const i32 r = u32(slot.agent) < n ? rank[u32(slot.agent)] : -1;
        if (r < 0 || !(_units[u32(r)].name == slot.name)) {
            if (u32(slot.agent) < n)
                _agent_slot[u32(slot.agent)] = -1;
            slot.agent = -1;
            hide(slot.unit);
        }
    }
    for (u32 r = 0; r < ranks; ++r) {
        const u32 agent = _order[r];
        if (_agent_slot[agent] >= 0)
            continue;
        for (u32 s = 0; s < _units.size(); ++s) {
            Slot &slot = _units[s];
            if (slot.agent >= 0 || !(slot.name == _units[r].name))
                continue;
            slot.agent = i32(agent);
            slot.blend = 0.0f; // from the unit's last pose to the agent's template
            _agent_slot[agent] = i32(s);
            if (Unit *u = live(slot.unit))
                u->set_all_visible(true);
            break;
        }
    }
    // Bands, templates and poses.
    for (u32 i : _order) {
        const u32 band = flock_speed_band(_agent_band[i], length(_flock.agent(i).velocity) * 0.2f);
        _agent_band[i] = band;
        const u32 template_index = i % flock_phase_count + flock_phase_count * band;
        const bool changed = template_index != _agent_template[i];
        _agent_template[i] = template_index;
        if (_agent_slot[i] >= 0)
            pose_unit(i, _units[u32(_agent_slot[i])], dt, changed);
    }
}

} // namespace tallow
