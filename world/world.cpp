#include "world/world.h"

#include "foundation/log.h"
#include "foundation/math/state_hasher.h"
#include "foundation/memory/temp_allocator.h"
#include "foundation/threads/thread_pool.h"
#include "render/world/render_shading_environment.h"
#include "render/lines/render_line_object_drawer.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_state_stream.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "render/world/deferred_release_queue.h"
#include "resource/resource_manager.h"
#include "world/scene_graph.h"
#include "world/flow.h"
#include "world/level.h"
#include "world/unit.h"
#include "world/unit_resource.h"
#include "world/world_animation.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace tallow {

// What the reflection batches share.
struct ReflectionShared {
    u8 *changed;                     // by handle slot: reflect_* flags
    std::atomic<bool> failed{false}; // a batch's stream could not grow
};

// World::_changed flags of a unit (by handle slot).
constexpr u8 reflect_changed = 1;        // its graph has unreflected nodes
constexpr u8 reflect_update_linked = 2;  // a linked unit the reflection brings up to date first

namespace {

template <typename T> T *make_service(T *(*factory)(const WorldServiceParams &), T *(*fallback)(const WorldServiceParams &),
                                      const WorldServiceParams &params)
{
    T *service = factory ? factory(params) : nullptr;
    return service ? service : fallback(params);
}

/// Brings the unit's graph up to date, keeps what changed for the frame's reflection and
/// flags the unit (by handle slot) for it.
void update_for_reflection(Unit &unit, u8 *changed)
{
    NodeChangeMask mask;
    SceneGraph &graph = unit.scene_graph();
    graph.update_world(&mask);
    if (mask.any()) {
        graph.add_unreflected(mask);
        changed[unit_handle_index(unit.handle())] |= reflect_changed;
    }
}

// Graphs live apart in memory and were last written on other cores (the game thread's
// poses, last frame's updates), so each unit's lines are asked for a few units ahead.
void prefetch_graph(const SceneGraph &graph)
{
    const char *g = reinterpret_cast<const char *>(&graph);
    for (u32 at = 0; at < sizeof(SceneGraph); at += 64)
        __builtin_prefetch(g + at, 1);
}

void prefetch_graph_nodes(const SceneGraph &graph)
{
    const char *local = reinterpret_cast<const char *>(graph.local_matrices());
    const char *world = reinterpret_cast<const char *>(graph.world_matrices());
    for (u32 i = 0; i < graph.node_count(); ++i) {
        __builtin_prefetch(local + 64 * i, 0);
        __builtin_prefetch(world + 64 * i, 1);
    }
}

/// The node a linked unit's root reads (its graph's lines must be in already).
void prefetch_parent_node(const SceneGraph &graph)
{
    const NodeRef link = graph.parent_link();
    if (link.graph && link.index < link.graph->node_count())
        __builtin_prefetch(link.graph->world_matrices() + link.index, 0);
}

/// A unit of the update list whose record can be written as soon as its graph is up to
/// date: one the frame does not update again (not linked, not in the awake list). The
/// others keep their flag for the reflection, which writes one record of all that changed.
bool reflects_early(const Unit *unit)
{
    return unit && !unit->parent_unit() && unit->awake_index() == unit_not_listed;
}

/// Writes the change records of the flagged units among `units` that reflect early into
/// `stream` as one block and clears their flags. False when the stream cannot grow: the
/// graphs and flags then keep what is unreflected for the reflection.
bool reflect_early(Unit *const *units, u32 count, u8 *changed, RenderStateStream &stream)
{
    u32 bytes = 0;
    for (u32 k = 0; k < count; ++k)
        if (reflects_early(units[k]) && changed[unit_handle_index(units[k]->handle())])
            bytes += units[k]->scene_graph().change_record_bytes();
    if (bytes == 0)
        return true;
    u8 *at = stream.reserve(bytes);
    if (!at)
        return false;
    for (u32 k = 0; k < count; ++k) {
        if (!reflects_early(units[k]))
            continue;
        u8 &flag = changed[unit_handle_index(units[k]->handle())];
        if (flag) {
            at += units[k]->scene_graph().write_change_record(at);
            flag = 0;
        }
    }
    stream.commit(bytes);
    return true;
}

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

// world_reflection_job: stream 0 the shared state, stream 1 the unit list, stream 2 the
// units' reflection entries, stream 3 the batch's change-record stream. One record per
// changed unit, in spawn order, after the batch's units flagged reflect_update_linked are
// brought up to date; a unit that did not change is passed over from its entry alone,
// without touching the unit, and gets no record (the render side reads a graph without a
// record as unchanged this frame). The batch's records are sized first and written into
// one block, so the stream grows and commits once.
void world_reflection_job(const JobData &batch)
{
    ReflectionShared &shared = *batch.stream_as<ReflectionShared>(0);
    Unit **units = batch.stream_as<Unit *>(1);
    const UnitReflectionEntry *entries = batch.stream_as<UnitReflectionEntry>(2);
    RenderStateStream &stream = **batch.stream_as<RenderStateStream *>(3);
    u8 *changed = shared.changed;
    const u32 n = batch.count();
    u32 bytes = 0;
    // The flagged units of a stretch of the batch first, so that their graphs (and a linked
    // unit's parent) can be fetched a few units ahead of their use.
    constexpr u32 stretch = 64;
    u32 flagged[stretch];
    for (u32 k = 0; k < n;) {
        u32 m = 0;
        for (; k < n && m < stretch; ++k)
            if (changed[entries[k].handle_slot])
                flagged[m++] = k;
        for (u32 j = 0; j < m; ++j) {
            if (j + 4 < m)
                prefetch_graph(units[flagged[j + 4]]->scene_graph());
            if (j + 3 < m && (changed[entries[flagged[j + 3]].handle_slot] & reflect_update_linked))
                if (const SceneGraph *parent = units[flagged[j + 3]]->scene_graph().parent_link().graph)
                    prefetch_graph(*parent);
            if (j + 2 < m) {
                // A linked unit whose parent did not move reads only its root; a changed
                // unit's record reads every node.
                const SceneGraph &graph = units[flagged[j + 2]]->scene_graph();
                const u8 ahead = changed[entries[flagged[j + 2]].handle_slot];
                if (ahead & reflect_changed)
                    prefetch_graph_nodes(graph);
                if (ahead & reflect_update_linked) {
                    __builtin_prefetch(graph.local_matrices(), 0);
                    __builtin_prefetch(graph.world_matrices(), 0);
                    prefetch_parent_node(graph);
                }
            }
            const u32 at = flagged[j];
            u8 &flag = changed[entries[at].handle_slot];
            if (flag & reflect_update_linked) {
                // The deepest linked units: their parents are final, and no other unit reads them.
                units[at]->scene_graph().copy_parent_world();
                update_for_reflection(*units[at], changed);
                flag &= u8(~reflect_update_linked);
            }
            if (flag)
                bytes += units[at]->scene_graph().change_record_bytes();
        }
    }
    if (bytes == 0)
        return;
    u8 *at = stream.reserve(bytes);
    if (!at) {
        // The graphs keep their unreflected nodes (and flags) for the next frame's records.
        shared.failed.store(true, std::memory_order_relaxed);
        return;
    }
    for (u32 k = 0; k < n; ++k) {
        u8 &flag = changed[entries[k].handle_slot];
        if (flag) {
            at += units[k]->scene_graph().write_change_record(at);
            flag = 0;
        }
    }
    stream.commit(bytes);
}

u32 node_depth(const Unit &unit)
{
    u32 depth = 0;
    for (const Unit *p = unit.parent_unit(); p; p = p->parent_unit())
        ++depth;
    return depth;
}

} // namespace

namespace {

constexpr u32 max_live_worlds = 256;
std::mutex live_worlds_lock;
const World *live_worlds[max_live_worlds];
ScriptDataReleaser script_data_releaser = nullptr;

void release_script_data(ChunkStore &store)
{
    if (script_data_releaser)
        script_data_releaser(store);
}

} // namespace

void set_script_data_releaser(ScriptDataReleaser releaser) { script_data_releaser = releaser; }

bool World::is_live(const World *world)
{
    if (!world)
        return false;
    std::lock_guard<std::mutex> lock(live_worlds_lock);
    for (const World *w : live_worlds)
        if (w == world)
            return true;
    return false;
}

World::ScriptObject World::find_script_object(ScriptObjectKind kind, u32 serial)
{
    if (serial == 0)
        return {};
    std::lock_guard<std::mutex> lock(live_worlds_lock);
    for (const World *w : live_worlds)
        if (w)
            for (const ScriptEntry &e : w->_script_objects)
                if (e.serial == serial && e.kind == kind)
                    return {const_cast<World *>(w), const_cast<void *>(e.object), e.id};
    return {};
}

World::World(Allocator &parent, const WorldParams &params)
    : _allocator("world", parent), _resource_manager(params.resource_manager), _thread_pool(params.thread_pool),
      _update_list(_allocator), _awake_list(_allocator), _linked_list(_allocator), _units(_allocator),
      _reflection(_allocator), _changed(_allocator),
      _data(_allocator), _timed_events(_allocator), _pending_destroy(_allocator), _script(params.script),
      _retired_levels(_allocator), _event_walk(_allocator), _script_lines(_allocator), _viewports(_allocator),
      _script_objects(_allocator), _held_environments(_allocator), _deferred_holds(_allocator)
{

    _changed.resize(unit_handle_slots); // zeroed; update_scene tries again when this fails
    static const WorldServiceFactories none;
    const WorldServiceFactories &f = params.factories ? *params.factories : none;
    WorldServiceParams p{_allocator,          *this, params.resource_manager, params.thread_pool, params.sound_disabled,
                         params.render_world, params.render_link};
    _render = make_service(f.render,
                           params.render_world && params.render_link ? create_render_world_link : create_null_render_link,
                           p);
    create_line_pools(params.render_world && params.render_link ? params.render_world : nullptr,
                      params.render_world ? params.render_link : nullptr);
    _physics = make_service(f.physics, create_null_physics_world, p);
    _animation = make_service(f.animation, create_null_world_animation, p);
    _particles = make_service(f.particles, create_null_particle_world, p);
    _sound = make_service(f.sound, create_null_sound_world, p);
    _gui = make_service(f.gui,
                        params.render_world && params.render_link ? create_render_gui_world : create_null_gui_world, p);
    std::lock_guard<std::mutex> lock(live_worlds_lock);
    for (const World *&w : live_worlds)
        if (!w) {
            w = this;
            return;
        }
    log_message("world", "more than %u worlds at once: scripts cannot reach this one", max_live_worlds);
}

World::~World()
{
    {
        std::lock_guard<std::mutex> lock(live_worlds_lock);
        for (const World *&w : live_worlds)
            if (w == this)
                w = nullptr;
    }
    for (Unit *u : _units)
        release_script_data(u->data());
    release_script_data(_data);
    for (Level *level : _retired_levels)
        delete_with_allocator(_allocator, level);
    delete_with_allocator(_allocator, _level);
    _level = nullptr;
    // Units first (they release their render objects, actors and animation through the
    // services), all at once rather than one list removal at a time.
    for (Unit *u : _units)
        delete_with_allocator<Unit>(_allocator, u);
    _units.clear();
    _reflection.clear();
    delete_with_allocator(_allocator, _gui);
    delete_with_allocator(_allocator, _sound);
    delete_with_allocator(_allocator, _particles);
    delete_with_allocator(_allocator, _animation);
    delete_with_allocator(_allocator, _physics);
    while (_viewports.size() > 0)
        (void)destroy_viewport(_viewports.back());
    destroy_line_pools();
    delete_with_allocator(_allocator, _render);
    while (!_held_environments.empty())
        release_environment(*_held_environments.back().environment);
    release_deferred_holds(true);
}

void World::release_after_render(ResourceHold &hold)
{
    if (!hold.is_held() || !_resource_manager)
        return;
    if (!_deferred_holds.push_back(DeferredHold{hold, _update_count})) {
        // No room to wait: the render side must be done with it now.
        log_message("world", "no memory to defer a resource release; releasing it now");
        hold.release(*_resource_manager);
        return;
    }
    hold = ResourceHold{};
}

void World::release_deferred_holds(bool all)
{
    for (u32 i = 0; i < _deferred_holds.size();) {
        DeferredHold &d = _deferred_holds[i];
        if (!all && _update_count - d.update < render_handle_release_frames) {
            ++i;
            continue;
        }
        d.hold.release(*_resource_manager);
        _deferred_holds[i] = _deferred_holds.back();
        _deferred_holds.pop_back();
    }
}

// Jobs of one stretch of the frame: each starts when the one added before it completes,
// and wait() returns when all are done. Each counter is let go as soon as the next job
// is posted against it, so it completes on whichever member finishes its last batch and
// the workers go from one job to the next without the main thread handing them over.
// Without a pool each job runs at once on this thread, in the same batches.
class World::JobChain {
  public:
    JobChain(ThreadPool *pool, Allocator &temp) : _pool(pool), _ids(temp) {}
    ~JobChain() { wait(); }
    JobChain(const JobChain &) = delete;
    JobChain &operator=(const JobChain &) = delete;

    void add(const Job &job, const JobSplit &split)
    {
        if (!_pool) {
            run_inline(job, split);
            return;
        }
        const JobId id = run_job(*_pool, job, _last, &split);
        if (id == no_job)
            return;
        // The job that depends on the previous one is posted: the previous counter may
        // complete without us (a completed one is forgotten; waiting on it returns at once).
        if (_last != no_job)
            _pool->job_done(_last);
        _last = id;
        if (!_ids.push_back(id)) {
            // No room to keep the id: finish it now.
            _pool->wait(id);
            _pool->job_done(id);
            _last = no_job;
        }
    }

    void wait()
    {
        for (JobId id : _ids)
            _pool->wait(id);
        if (_last != no_job)
            _pool->job_done(_last);
        _ids.clear();
        _last = no_job;
    }

  private:
    static void run_inline(const Job &job, const JobSplit &split)
    {
        const u32 size = split.batch_size(), batches = split.batch_count(), count = job.count();
        for (u32 i = 0; i < batches; ++i) {
            Job copy = job;
            JobData data(copy);
            u32 first = u64(i) * size < count ? i * size : count;
            data.set_count(count - first < size ? count - first : size);
            data.advance(first, i);
            job.function()(data);
        }
    }

    ThreadPool *_pool;
    Array<JobId> _ids;
    JobId _last = no_job;
};

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

namespace {

constexpr NameId64 shading_environment_type("shading_environment");

/// The loaded resource of `type` and `name`, or null (without a manager too).
const void *loaded(ResourceManager *manager, NameId64 type, NameId64 name)
{
    return manager && !name.is_empty() && manager->can_get(type, name) ? manager->get(type, name) : nullptr;
}

const MaterialResource *environment_material_resource(ResourceManager *manager, const ShadingEnvironmentResource &r)
{
    return static_cast<const MaterialResource *>(loaded(manager, NameId64("material"), NameId64::from_value(r.material)));
}

} // namespace

ShadingEnvironment *World::create_shading_environment(NameId64 name)
{
    const auto *r = static_cast<const ShadingEnvironmentResource *>(loaded(_resource_manager, shading_environment_type, name));
    if (!r) {
        log_message("world", "shading environment %016llx: its \"shading_environment\" resource is not loaded",
                    (unsigned long long)name.value());
        return nullptr;
    }
    ShadingEnvironment *environment = _render->create_shading_environment(r, environment_material_resource(_resource_manager, *r));
    if (!environment) {
        log_message("world", "shading environment %016llx not made: the world has no render world",
                    (unsigned long long)name.value());
        return nullptr;
    }
    if (!add_script_object(ScriptObjectKind::ShadingEnvironment, environment, 0, name.value())) {
        log_message("world", "no memory to file shading environment %016llx", (unsigned long long)name.value());
        _render->destroy_shading_environment(*environment);
        return nullptr;
    }
    hold_environment(*environment, name, r);
    return environment;
}

void World::hold_environment(const ShadingEnvironment &environment, NameId64 name, const void *resource)
{
    if (!_resource_manager)
        return;
    HeldEnvironment *held = nullptr;
    for (HeldEnvironment &h : _held_environments)
        if (h.environment == &environment)
            held = &h;
    if (!held) {
        if (!_held_environments.push_back(HeldEnvironment{&environment, {}, {}})) {
            log_message("world", "no memory to hold the resources of a shading environment");
            return;
        }
        held = &_held_environments.back();
    }
    // The new holds first: the same data held again is never freed in between.
    const auto *r = static_cast<const ShadingEnvironmentResource *>(resource);
    ResourceHold fresh, material;
    fresh.hold_data(*_resource_manager, shading_environment_type, name, r);
    if (const MaterialResource *m = r ? environment_material_resource(_resource_manager, *r) : nullptr)
        material.hold_data(*_resource_manager, NameId64("material"), NameId64::from_value(r->material), m);
    release_after_render(held->resource);
    release_after_render(held->material);
    held->resource = fresh;
    held->material = material;
}

void World::release_environment(const ShadingEnvironment &environment)
{
    for (u32 i = 0; i < _held_environments.size(); ++i)
        if (_held_environments[i].environment == &environment) {
            release_after_render(_held_environments[i].resource);
            release_after_render(_held_environments[i].material);
            _held_environments[i] = _held_environments.back();
            _held_environments.pop_back();
            return;
        }
}

void World::set_shading_environment(ShadingEnvironment &environment, NameId64 name)
{
    if (name.is_empty())
        return;
    const auto *r = static_cast<const ShadingEnvironmentResource *>(loaded(_resource_manager, shading_environment_type, name));
    if (!r) {
        log_message("world", "shading environment %016llx is not loaded; the environment keeps its resource",
                    (unsigned long long)name.value());
        return;
    }
    _render->set_shading_environment(environment, r, environment_material_resource(_resource_manager, *r));
    hold_environment(environment, name, r);
    for (ScriptEntry &e : _script_objects)
        if (e.kind == ScriptObjectKind::ShadingEnvironment && e.object == &environment)
            e.resource = name.value();
}

void World::destroy_shading_environment(ShadingEnvironment &environment)
{
    remove_script_objects(&environment);
    _render->destroy_shading_environment(environment);
    release_environment(environment);
}

void World::reload_shading_environments(const void *old_resource, const void *new_resource)
{
    const auto *fresh = static_cast<const ShadingEnvironmentResource *>(new_resource);
    for (u32 i = 0; i < _render->shading_environment_count(); ++i) {
        ShadingEnvironment *e = _render->shading_environment(i);
        if (e && e->resource() == old_resource) {
            _render->set_shading_environment(*e, fresh, fresh ? environment_material_resource(_resource_manager, *fresh) : nullptr);
            for (const HeldEnvironment &h : _held_environments)
                if (h.environment == e && fresh) {
                    hold_environment(*e, h.resource.name, fresh);
                    break;
                }
        }
    }
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

bool World::begin_reflection(Array<RenderStateStream *> &streams)
{
    if (_units.empty())
        return true;
    Job job("world_reflection_job");
    JobData(job).set_count(_units.size());
    JobSplit split(job);
    split.mode = 0;
    split.limit = job_batch_limit;
    split.granularity = 1;
    streams.resize(split.batch_count());
    if (streams.size() != split.batch_count() || !_render->begin_change_records(streams.size(), streams.data())) {
        log_message("world", "no change records for %u units this frame", _units.size());
        streams.clear();
        return false;
    }
    return true;
}

void World::add_reflection_job(JobChain &chain, Array<RenderStateStream *> &streams, ReflectionShared &shared)
{
    if (_units.empty())
        return;
    shared.changed = _changed.data();
    Job job("world_reflection_job");
    job.set_function(world_reflection_job);
    JobData data(job);
    data.set_count(_units.size());
    JobSplit split(job);
    split.mode = 0;
    split.limit = job_batch_limit;
    split.granularity = 1;
    TALLOW_ASSERT(streams.size() == split.batch_count(), "one change-record stream per batch");
    data.set_stream(0, {&shared, 0}, stream_kind_shared);
    data.set_stream(1, {_units.data(), sizeof(Unit *)});
    data.set_stream(2, {_reflection.data(), sizeof(UnitReflectionEntry)});
    data.set_stream(3, {streams.data(), sizeof(RenderStateStream *)}, stream_kind_per_batch);
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

// Flow -------------------------------------------------------------------------------------

void World::fire_timed_event(void *context, u32 handle, u32 target)
{
    World &world = *static_cast<World *>(context);
    if (Unit *u = world.unit(handle))
        world.flow_event_by_index(*u, target);
}

void World::schedule_timed_events(UnitHandle handle, const TimedDelay *delays, u32 count)
{
    begin_flow_run();
    _timed_events.schedule(_world_time, handle, delays, count, fire_timed_event, this);
    end_flow_run();
}

void World::run_timed_events()
{
    begin_flow_run();
    _timed_events.run(_world_time, fire_timed_event, this);
    end_flow_run();
}

void World::flow_event_by_index(Unit &u, u32 target)
{
    const UnitFlowRunner &runner = unit_flow_runner();
    if (!runner.event_by_index)
        return;
    begin_flow_run();
    runner.event_by_index(runner.context, *this, u, target);
    end_flow_run();
}

void World::end_flow_run()
{
    if (!_flow_run.leave())
        return; // still inside a run, or nothing was asked to go
    // Destruction asked for during the run happens now, in the order it was asked for.
    for (u32 i = 0; i < _pending_destroy.size(); ++i)
        if (Unit *u = unit(_pending_destroy[i]))
            destroy_now(*u);
    _pending_destroy.clear();
    for (Level *level : _retired_levels)
        delete_with_allocator(_allocator, level);
    _retired_levels.clear();
}

// Levels and events ------------------------------------------------------------------------

Level *World::load_level(const LevelResource &resource, i32 script_reference)
{
    if (_level) {
        if (_flow_run.defer()) {
            _level->retire();
            _retired_levels.push_back(_level);
        } else {
            delete_with_allocator(_allocator, _level);
        }
        _level = nullptr;
    }
    _script_reference = script_reference;
    _level = make_new<Level>(_allocator, *this, resource, _script, script_reference);
    if (_level)
        _level->spawn_units();
    return _level;
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

void World::hash_state(StateHasher &hasher) const
{
    hasher.add(u32(_units.size()));
    for (const Unit *unit : _units) {
        const SceneGraph &graph = unit->scene_graph();
        hasher.add(graph.node_count());
        for (u32 node = 0; node < graph.node_count(); ++node)
            hasher.add(graph.world_pose(node));
    }
    _physics->hash_state(hasher);
    _animation->hash_state(hasher);
    _particles->hash_state(hasher);
}

bool World::validate() const
{
    struct ListCheck {
        const Array<Unit *> *list;
        u32 Unit::*index;
        const char *name;
    };
    const ListCheck lists[] = {{&_update_list, &Unit::_update_index, "update"},
                               {&_awake_list, &Unit::_awake_index, "awake"},
                               {&_linked_list, &Unit::_linked_index, "linked"}};
    for (const ListCheck &c : lists) {
        for (u32 i = 0; i < c.list->size(); ++i)
            if ((*c.list)[i]->*c.index != i) {
                log_message("world", "%s list position %u holds a unit whose index is %u", c.name, i,
                            (*c.list)[i]->*c.index);
                return false;
            }
        for (const Unit *u : _units) {
            u32 i = u->*c.index;
            if (i != unit_not_listed && (i >= c.list->size() || (*c.list)[i] != u)) {
                log_message("world", "unit %08x says it is at %u of the %s list", u->handle(), i, c.name);
                return false;
            }
        }
    }
    if (_reflection.size() != _units.size())
        return false;
    for (u32 i = 0; i < _units.size(); ++i) {
        const Unit &u = *_units[i];
        if (_reflection[i].handle_slot != unit_handle_index(u.handle())) {
            log_message("world", "reflection entry %u does not match unit %08x", i, u.handle());
            return false;
        }
    }
    for (const Unit *u : _units) {
        if (unit(u->handle()) != u)
            return false;
        if ((u->parent_unit() != nullptr) != (u->linked_index() != unit_not_listed))
            return false;
    }
    return _timed_events.validate();
}

} // namespace tallow

namespace tallow {

// Debug lines --------------------------------------------------------------------------------

void World::create_line_pools(RenderWorld *render_world, WorldRenderLink *link)
{
    _render_world = render_world;
    _render_link = link;
    static const char *const templates[3] = {"line_object", "line_object:DEPTH_TEST_DISABLED",
                                             "line_object:DEPTH_TEST_DISABLED"};
    for (u32 i = 0; i < 3; ++i) {
        if (render_world) {
            LineDrawerDescription description{NameId32(templates[i]).value(), false};
            RenderLineObjectDrawer *drawer = make_new<RenderLineObjectDrawer>(
                render_world->allocator(), render_world->allocator(), description);
            render_world->create_object(*link, _line_drawers[i], drawer);
        }
        _line_pools[i] = make_new<LineObjects>(_allocator, _allocator, _line_drawers[i]);
    }
    // Two from the plain pool (frame lines, permanent lines), one from the second pool
    // without depth test (particle debug lines).
    const u32 pool_of[3] = {0, 0, 2};
    for (u32 i = 0; i < 3; ++i)
        _world_lines[i] = _line_pools[pool_of[i]] ? _line_pools[pool_of[i]]->create() : nullptr;
}

void World::destroy_line_pools()
{
    _script_lines.clear();
    for (u32 i = 0; i < 3; ++i) {
        if (_render_world && _render_link)
            _render_world->destroy_object(*_render_link, _line_drawers[i]);
        delete_with_allocator(_allocator, _line_pools[i]);
        _line_pools[i] = nullptr;
    }
    for (LineObject *&l : _world_lines)
        l = nullptr;
}

RenderStateStream *World::line_stream() const
{
    RenderStateQueue *state = _render_link ? _render_link->state() : nullptr;
    return state ? &state->update_stream(0) : nullptr;
}

LineObject *World::create_line_object(bool disable_depth_test)
{
    LineObjects *pool = _line_pools[disable_depth_test ? 1 : 0];
    LineObject *object = pool ? pool->create() : nullptr;
    if (object && !_script_lines.push_back(ScriptLineObject{object, pool})) {
        pool->destroy(object, nullptr);
        object = nullptr;
    }
    return object;
}

bool World::owns_line_object(const LineObject *object) const
{
    for (const ScriptLineObject &s : _script_lines)
        if (s.object == object)
            return true;
    return false;
}

bool World::destroy_line_object(LineObject *object)
{
    for (u32 i = 0; i < _script_lines.size(); ++i) {
        if (_script_lines[i].object != object)
            continue;
        LineObjects *pool = _script_lines[i].pool;
        _script_lines[i] = _script_lines.back();
        _script_lines.pop_back();
        // Only objects whose drawer exists have lines to forget.
        RenderStateStream *stream = pool->drawer() != no_render_handle ? line_stream() : nullptr;
        return pool->destroy(object, stream);
    }
    return false;
}

void World::dispatch_line_object(const LineObject &object)
{
    RenderStateStream *stream = line_stream();
    if (!stream)
        return;
    for (LineObjects *pool : _line_pools)
        if (pool && pool->drawer() != no_render_handle && pool->owns(&object)) {
            if (!object.dispatch(*stream, pool->drawer()))
                log_message("world", "no room in the state stream for the lines of line object %u", object.id());
            return;
        }
}

void World::clear_permanent_lines()
{
    if (_world_lines[1])
        _world_lines[1]->reset();
}

void World::dispatch_world_lines()
{
    for (LineObject *lines : _world_lines)
        if (lines)
            dispatch_line_object(*lines);
    if (_world_lines[0])
        _world_lines[0]->reset();
    if (_world_lines[2])
        _world_lines[2]->reset();
}

World *World::line_object_owner(const LineObject *object)
{
    if (!object)
        return nullptr;
    std::lock_guard<std::mutex> lock(live_worlds_lock);
    for (const World *w : live_worlds)
        if (w && w->owns_line_object(object))
            return const_cast<World *>(w);
    return nullptr;
}

World *World::gui_owner(const Gui *gui)
{
    if (!gui)
        return nullptr;
    std::lock_guard<std::mutex> lock(live_worlds_lock);
    for (const World *w : live_worlds)
        if (w && w->_gui && w->_gui->owns(gui))
            return const_cast<World *>(w);
    return nullptr;
}

} // namespace tallow
