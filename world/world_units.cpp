#include "world/world_internal.h"

#include "foundation/log.h"
#include "render/world/render_state_stream.h"
#include "resource/resource_manager.h"
#include "world/units/unit_resource.h"

#include <algorithm>

namespace tallow {

// Units ------------------------------------------------------------------------------------

Unit *World::spawn_unit(NameId64 name, const Matrix4x4 &pose) { return spawn_unit_with_material(name, name, pose); }

Unit *World::spawn_unit_with_material(NameId64 name, NameId64 material, const Matrix4x4 &pose)
{
    const auto *resource =
        _resource_manager ? static_cast<const UnitResource *>(_resource_manager->get(unit_type, name)) : nullptr;
    if (!resource) {
        log_message("world", "cannot spawn unit %016llx: its \"unit\" resource is not loaded",
                    (unsigned long long)name.value());
        return nullptr;
    }
    const void *m = nullptr;
    if (_resource_manager->can_get(NameId64("material"), material))
        m = _resource_manager->get(NameId64("material"), material);
    // Held before the spawn event's flow can run (it may unload the package).
    Unit *u = make_new<Unit>(_allocator, *this, *resource, m);
    if (u)
        u->hold_material(material, m);
    return add_spawned_unit(u, *resource, pose);
}

Unit *World::spawn_unit_from_resource(const UnitResource &resource, const void *material, const Matrix4x4 &pose)
{
    return add_spawned_unit(make_new<Unit>(_allocator, *this, resource, material), resource, pose);
}

Unit *World::add_spawned_unit(Unit *u, const UnitResource &resource, const Matrix4x4 &pose)
{
    if (!u)
        return nullptr;
    if (!u->init(pose) || !add_to_units(*u)) {
        log_message("world", "cannot spawn unit %016llx (no unit handle or memory left)",
                    (unsigned long long)resource.name.value());
        delete_with_allocator(_allocator, u);
        return nullptr;
    }
    if (u->needs_update() & unit_needs_scene_update)
        wake_unit(*u, 1);
    UnitHandle handle = u->handle();
    // The spawn event runs once the unit is in the world, so a flow that destroys its own
    // unit finds a whole unit to destroy (at the end of the run).
    if (resource.has_flow()) {
        const UnitFlowRunner &runner = unit_flow_runner();
        if (runner.spawn_event) {
            begin_flow_run();
            runner.spawn_event(runner.context, *this, *u);
            end_flow_run();
        }
    }
    return unit(handle);
}

void World::destroy_unit(Unit &u)
{
    if (&u.world() != this)
        return;
    if (_flow_run.defer()) {
        UnitHandle h = u.handle();
        if (std::find(_pending_destroy.begin(), _pending_destroy.end(), h) == _pending_destroy.end())
            _pending_destroy.push_back(h);
        return;
    }
    destroy_now(u);
}

void World::destroy_now(Unit &u)
{
    // Children would keep pointing at the freed parent: free them where they stand.
    for (u32 i = 0; i < _linked_list.size();) {
        if (_linked_list[i]->parent_unit() == &u)
            unlink_unit(*_linked_list[i]); // swap-removes position i
        else
            ++i;
    }
    unlink_unit(u);
    for (u32 i = 0; i < _units.size(); ++i)
        if (_units[i] == &u) {
            _units.erase(i); // keeps spawn order
            _reflection.erase(i);
            break;
        }
    remove_from_list(_update_list, &Unit::_update_index, u);
    remove_from_list(_awake_list, &Unit::_awake_index, u);
    release_script_data(u.data());
    delete_with_allocator(_allocator, &u);
}

void World::remove_from_list(Array<Unit *> &list, u32 Unit::*index, Unit &u)
{
    u32 i = u.*index;
    if (i == unit_not_listed || i >= list.size() || list[i] != &u)
        return;
    Unit *last = list.back();
    list[i] = last;
    last->*index = i;
    list.pop_back();
    u.*index = unit_not_listed;
}

void World::wake_unit(Unit &u, u32 frames)
{
    u._awake_until = _frame_counter + frames;
    // The membership test sits inside the lock: two threads waking one unit append once.
    std::lock_guard<std::mutex> lock(_list_lock);
    add_to_update_list(u);
}

void World::add_to_update_list(Unit &u)
{
    if (u._update_index != unit_not_listed)
        return;
    if (_update_list.push_back(&u))
        u._update_index = _update_list.size() - 1;
}

void World::add_to_awake_list(Unit &u)
{
    if (u._awake_index != unit_not_listed)
        return;
    if (_awake_list.push_back(&u))
        u._awake_index = _awake_list.size() - 1;
}

void World::add_to_awake_list_locked(Unit &u)
{
    std::lock_guard<std::mutex> lock(_list_lock);
    add_to_awake_list(u);
}

bool World::link_unit(Unit &u, Unit &parent, u32 node)
{
    for (const Unit *p = &parent; p; p = p->parent_unit())
        if (p == &u) {
            log_message("world", "unit %08x cannot be linked under itself or its own descendant", u.handle());
            return false;
        }
    if (u.scene_graph().node_count() == 0 || node >= parent.scene_graph().node_count() || &parent.world() != this) {
        log_message("world", "cannot link unit %08x under node %u of unit %08x", u.handle(), node, parent.handle());
        return false;
    }
    SceneGraph &graph = u.scene_graph();
    if (!graph.link_root(make_node_ref(&parent.scene_graph(), node)))
        return false;
    // The root sits on the node at once and the nodes under it follow, so a query or an
    // unlink before the next update sees the linked pose. Change bits stay as they are:
    // the next update recomputes and reflects the whole linked tree anyway.
    NodeChangeMask under_root;
    under_root.set(0);
    graph.set_world_pose(0, graph.local_pose(0) * graph.parent_matrix());
    for (u32 i = 1; i < graph.node_count(); ++i) {
        u32 p = graph.parent(i);
        if (p < i && under_root.test(p)) {
            under_root.set(i);
            graph.set_world_pose(i, graph.local_pose(i) * graph.world_pose(p));
        }
    }
    if (u._linked_index == unit_not_listed && _linked_list.push_back(&u))
        u._linked_index = _linked_list.size() - 1;
    u._parent = &parent;
    return true;
}

void World::unlink_unit(Unit &u)
{
    if (!u._parent)
        return;
    remove_from_list(_linked_list, &Unit::_linked_index, u);
    u.scene_graph().unlink_root();
    u._parent = nullptr;
}

void World::update_unit(Unit &u)
{
    SceneGraph &graph = u.scene_graph();
    graph.copy_parent_world();
    NodeChangeMask mask;
    graph.update_world(&mask);
    RenderStateStream *stream = nullptr;
    if (_render->begin_change_records(1, &stream))
        graph.collect_changes(*stream, mask);
    _render->collect_deferred_releases();
}

void World::reload_units_of_resource(const UnitResource &old_resource, const UnitResource &new_resource)
{
    for (Unit *u : _units)
        if (&u->resource() == &old_resource)
            u->reload(new_resource);
}

bool World::add_to_units(Unit &u)
{
    if (!_units.push_back(&u))
        return false;
    if (!_reflection.push_back({unit_handle_index(u.handle())})) {
        _units.pop_back();
        return false;
    }
    return true;
}

Unit *World::unit(UnitHandle handle) const
{
    Unit *u = unit_handle_table().get(handle);
    return u && &u->world() == this ? u : nullptr;
}
} // namespace tallow
