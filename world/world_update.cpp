#include "world/world_internal.h"

#include "foundation/log.h"
#include "foundation/memory/temp_allocator.h"
#include "render/world/render_state_stream.h"
#include "world/flow/flow.h"
#include "world/levels/level.h"
#include "world/services/world_animation.h"
#include "world/world_events.h"

#include <algorithm>
#include <utility>

namespace tallow {

namespace {

// scene_graph_update_job: stream 0 the units (null past the list's end), stream 1 the
// shared changed flags, stream 2 (when given) the batch's change-record stream, a group
// applied before the reflection's. Each batch touches only its own graphs and their flags.
// Writing a record while the unit's matrices are still in this core's cache saves the
// reflection fetching them again; the graphs are fetched a few units ahead of their update.
// A unit the physics step moves after all goes into the awake list and gets a second
// record, in the later group.
void scene_graph_update_job(const JobData &batch)
{
    Unit **units = batch.stream_as<Unit *>(0);
    u8 *changed = batch.stream_as<u8>(1);
    const u32 n = batch.count();
    constexpr u32 graphs_ahead = 8, nodes_ahead = 4;
    for (u32 k = 0; k < n && k < graphs_ahead; ++k)
        if (units[k]) {
            prefetch_graph(units[k]->scene_graph());
            __builtin_prefetch(units[k]->list_fields(), 0);
        }
    for (u32 k = 0; k < n && k < nodes_ahead; ++k)
        if (units[k])
            prefetch_graph_nodes(units[k]->scene_graph());
    for (u32 k = 0; k < n; ++k) {
        if (k + graphs_ahead < n && units[k + graphs_ahead]) {
            prefetch_graph(units[k + graphs_ahead]->scene_graph());
            __builtin_prefetch(units[k + graphs_ahead]->list_fields(), 0);
        }
        if (k + nodes_ahead < n && units[k + nodes_ahead])
            prefetch_graph_nodes(units[k + nodes_ahead]->scene_graph());
        if (units[k])
            update_for_reflection(*units[k], changed);
    }
    if (RenderStateStream **stream = batch.stream_as<RenderStateStream *>(2))
        (void)reflect_early(units, n, changed, **stream);
}

// linked_update_job: stream 0 linked units of one depth, whose parents are up to date;
// stream 1 the shared changed flags. Each batch touches only its own graphs and flags and
// reads their parents' graphs.
void linked_update_job(const JobData &batch)
{
    Unit **units = batch.stream_as<Unit *>(0);
    u8 *changed = batch.stream_as<u8>(1);
    for (u32 k = 0; k < batch.count(); ++k) {
        units[k]->scene_graph().copy_parent_world();
        update_for_reflection(*units[k], changed);
    }
}

u32 node_depth(const Unit &unit)
{
    u32 depth = 0;
    for (const Unit *p = unit.parent_unit(); p; p = p->parent_unit())
        ++depth;
    return depth;
}

} // namespace

// Frame ------------------------------------------------------------------------------------

WorldUpdateFlags World::update(f32 dt)
{
    update_animations(dt);
    return update_scene(dt);
}

void World::update_animations(f32 dt)
{
    ++_frame_counter;
    _frame_step = dt;
    _world_time += dt;
    _animation->update_state_machines(dt);
    _animation->update_simple(dt);
    _animation->update_player();
    _animation->update_blenders(dt);
    _animation->write_poses();
    dispatch_animation_events();
}

bool World::add_scene_graph_job(JobChain &chain, const Array<Unit *> &list, Array<Unit *> &units,
                                Array<RenderStateStream *> *streams)
{
    if (list.empty())
        return true;
    // A copy: wake_unit may grow the list while the jobs run.
    const u32 m = (list.size() + 3) & ~3u;
    units.resize(m);
    if (units.size() != m)
        return false;
    for (u32 i = 0; i < m; ++i)
        units[i] = i < list.size() ? list[i] : nullptr;
    Job job("scene_graph_update_job");
    job.set_function(scene_graph_update_job);
    JobData data(job);
    data.set_stream(0, {units.data(), sizeof(Unit *)});
    data.set_stream(1, {_changed.data(), 0}, stream_kind_shared);
    data.set_count(m);
    JobSplit split(job);
    split.mode = 0;
    split.limit = job_batch_limit;
    split.granularity = 4;
    if (streams) {
        streams->resize(split.batch_count());
        if (streams->size() == split.batch_count() && _render->begin_change_records(streams->size(), streams->data()))
            data.set_stream(2, {streams->data(), sizeof(RenderStateStream *)}, stream_kind_per_batch);
    }
    chain.add(job, split);
    return true;
}

bool World::order_linked_units(Array<Unit *> &order, Array<u32> &starts, Allocator &temp)
{
    const u32 n = _linked_list.size();
    if (n == 0)
        return true;
    // Parents first: order by depth (a counting sort, stable in list order). Units of one
    // depth follow parents of smaller depth only, so each depth may be one job.
    Array<u32> depths(temp);
    depths.resize(n);
    order.resize(n);
    if (depths.size() != n || order.size() != n) {
        order.clear();
        return false;
    }
    u32 deepest = 0;
    for (u32 i = 0; i < n; ++i) {
        depths[i] = node_depth(*_linked_list[i]);
        deepest = std::max(deepest, depths[i]);
    }
    Array<u32> at(temp);
    starts.resize(deepest + 2);
    at.resize(deepest + 2);
    if (starts.size() != deepest + 2 || at.size() != deepest + 2) {
        order.clear();
        starts.clear();
        return false;
    }
    for (u32 i = 0; i < n; ++i)
        ++starts[depths[i] + 1];
    for (u32 d = 1; d < starts.size(); ++d)
        starts[d] += starts[d - 1];
    for (u32 d = 0; d < starts.size(); ++d)
        at[d] = starts[d];
    for (u32 i = 0; i < n; ++i)
        order[at[depths[i]]++] = _linked_list[i];
    return true;
}

void World::add_linked_job(JobChain &chain, Array<Unit *> &order, u32 first, u32 count)
{
    Job job("linked_update_job");
    job.set_function(linked_update_job);
    JobData data(job);
    data.set_stream(0, {order.data() + first, sizeof(Unit *)});
    data.set_stream(1, {_changed.data(), 0}, stream_kind_shared);
    data.set_count(count);
    JobSplit split(job);
    split.mode = 0;
    split.limit = job_batch_limit;
    split.granularity = 1;
    chain.add(job, split);
}

WorldUpdateFlags World::update_scene(f32 dt)
{
    WorldUpdateFlags flags = WorldUpdateFlags::None;
    TempAllocator temp;
    bool ok = true;
    if (_changed.size() != unit_handle_slots) {
        _changed.resize(unit_handle_slots);
        if (_changed.size() != unit_handle_slots) {
            log_message("world", "no memory for the reflection flags: no scene graph is updated this frame");
            _physics->update(dt);
            flags = WorldUpdateFlags::OutOfMemory | WorldUpdateFlags::NoChangeRecords;
            finish_update(dt);
            return flags;
        }
    }
    // Each scene graph update adds its changed nodes to the graph's unreflected mask, so a
    // unit in both lists, woken during the physics step or linked reflects all that
    // changed this frame.
    Array<Unit *> linked(temp);
    Array<u32> depth_starts(temp); // of depth d in `linked`: [depth_starts[d], depth_starts[d + 1])
    Array<RenderStateStream *> streams(temp);
    bool reflected;
    {
        // 1.-2. Scene graphs of the update list, then the physics step. The update's batches
        // write the records of the units nothing else updates this frame into a group of
        // their own, applied before the reflection's. While the workers update the graphs,
        // this thread orders the linked units and opens the reflection's records: neither
        // reads what the jobs write.
        Array<Unit *> units(temp);
        Array<RenderStateStream *> early(temp);
        JobChain chain(_thread_pool, temp);
        ok = add_scene_graph_job(chain, _update_list, units, &early);
        ok = order_linked_units(linked, depth_starts, temp) && ok;
        reflected = begin_reflection(streams);
        chain.wait();
    }
    _physics->update(dt);
    {
        // 3.-5. The awake list, linked units parent first (in a list or not), then the
        // reflection of the changed nodes, one after the other on the workers. The
        // deepest linked units have no linked children, so the reflection batches bring
        // them up to date just before writing their records: one hand-over fewer.
        Array<Unit *> units(temp);
        ReflectionShared shared;
        const u32 deepest = depth_starts.size() >= 2 ? depth_starts.size() - 2 : 0;
        const u32 fused = reflected && !_units.empty() ? deepest : 0;
        if (fused)
            for (u32 i = depth_starts[fused]; i < depth_starts[fused + 1]; ++i)
                _changed[unit_handle_index(linked[i]->handle())] |= reflect_update_linked;
        JobChain chain(_thread_pool, temp);
        ok = add_scene_graph_job(chain, _awake_list, units) && ok;
        for (u32 d = 1; d <= deepest; ++d)
            if (d != fused)
                add_linked_job(chain, linked, depth_starts[d], depth_starts[d + 1] - depth_starts[d]);
        if (reflected)
            add_reflection_job(chain, streams, shared);
        chain.wait();
        if (shared.failed.load(std::memory_order_relaxed)) {
            log_message("world", "change records could not grow this frame; the nodes go with the next frame's");
            reflected = false;
        }
    }
    if (!ok) {
        log_message("world", "no scratch memory for this frame's scene graph updates");
        flags = flags | WorldUpdateFlags::OutOfMemory;
    }
    if (!reflected)
        flags = flags | WorldUpdateFlags::NoChangeRecords;
    finish_update(dt);
    return flags;
}

void World::finish_update(f32 dt)
{
    // 6.
    _render->collect_deferred_releases();
    ++_update_count;
    release_deferred_holds(false);
    // 7.
    drop_idle_units();
    // 8.
    _gui->update(dt);
    _sound->update(dt);
    _particles->update(dt);
    // 9.
    dispatch_world_lines();
    // 10.
    process_physics_events();
    if (_level)
        _level->update(dt);
    // 12.
    run_timed_events();
}

void World::drop_idle(Array<Unit *> &list, u32 &cursor, u32 Unit::*index, u32 flag)
{
    u32 checks = list.size() < idle_checks_per_frame ? list.size() : idle_checks_per_frame;
    for (u32 k = 0; k < checks && list.size() > 0; ++k) {
        cursor %= list.size();
        Unit &u = *list[cursor];
        if (u.needs_update() & flag)
            ++cursor;
        else
            remove_from_list(list, index, u); // the last unit moves into the cursor's place
    }
}

void World::drop_idle_units()
{
    drop_idle(_update_list, _update_cursor, &Unit::_update_index, unit_needs_scene_update);
    drop_idle(_awake_list, _awake_cursor, &Unit::_awake_index, unit_needs_awake_update);
}

void World::dispatch_animation_events()
{
    Array<u8> *stream = _animation->event_stream();
    if (!stream || stream->empty())
        return;
    Array<u8> walk(_allocator);
    std::swap(walk, *stream);
    stream->clear();
    begin_flow_run();
    walk_world_events(walk, [&](u32 id, const u8 *record, u32 size) {
        AnimationEventPayload p;
        if (id == animation_flow_event && read_world_event(record, size, p))
            if (Unit *u = unit(p.unit)) // a unit destroyed by an earlier record is gone
                flow_unit_event(*this, *u, p.event_id);
    });
    end_flow_run();
    walk.clear();
    if (stream->empty())
        std::swap(walk, *stream);
}

void World::process_physics_events()
{
    Array<u8> *stream = _physics->event_stream();
    if (!stream || stream->empty())
        return;
    // Flow runs may add records (spawned actors) while we walk: walk a copy taken out.
    std::swap(_event_walk, *stream);
    stream->clear();
    begin_flow_run();
    walk_world_events(_event_walk, [&](u32 id, const u8 *record, u32 size) {
        auto to_unit = [&](UnitHandle h, u32 target) {
            if (target == 0xFFFFFFFFu)
                return;
            if (Unit *u = unit(h))
                flow_unit_trigger_input(*this, *u, target, record);
        };
        if (id == physics_trigger_event) {
            TriggerPayload p;
            PhysicsActorInfo actor;
            if (!read_world_event(record, size, p) || p.kind > 2 || !_physics->resolve_actor(p.trigger, actor))
                return;
            u32 target = actor.targets[trigger_enter + p.kind];
            if (target == 0xFFFFFFFFu)
                return;
            if (actor.level_actor) {
                if (_level)
                    _level->trigger_flow_input(target >> 16 | (target & 0xFFFF) << 16);
            } else {
                to_unit(actor.unit, target);
            }
        } else if (id == physics_actor_woke_event) {
            PhysicsActorId a;
            PhysicsActorInfo actor;
            if (read_world_event(record, size, a) && _physics->resolve_actor(a, actor))
                if (Unit *u = unit(actor.unit))
                    add_to_awake_list_locked(*u);
        } else if (id == physics_contact_event) {
            ContactPayload p;
            PhysicsActorInfo a, b;
            if (!read_world_event(record, size, p) || p.kind > 1 || !_physics->resolve_actor(p.a, a) ||
                !_physics->resolve_actor(p.b, b))
                return;
            to_unit(a.unit, a.targets[touch_begin + p.kind]);
            to_unit(b.unit, b.targets[touch_begin + p.kind]);
        } else if (id == physics_mover_hit_shape_event || id == physics_mover_hit_mover_event) {
            u32 mover;
            PhysicsMoverInfo m;
            if (read_world_event(record, size, mover) && _physics->resolve_mover(mover, m))
                to_unit(m.unit, m.target);
        }
    });
    end_flow_run();
    // Keep the larger buffer with the physics world when nothing was added meanwhile.
    _event_walk.clear();
    if (stream->empty())
        std::swap(_event_walk, *stream);
}

} // namespace tallow
