#include "world/world.h"

#include "foundation/log.h"
#include "foundation/math/state_hasher.h"
#include "render/world/deferred_release_queue.h"
#include "resource/resource_manager.h"
#include "world/levels/level.h"
#include "world/services/world_animation.h"
#include "world/world_internal.h"

namespace tallow {

namespace {

template <typename T> T *make_service(T *(*factory)(const WorldServiceParams &), T *(*fallback)(const WorldServiceParams &),
                                      const WorldServiceParams &params)
{
    T *service = factory ? factory(params) : nullptr;
    return service ? service : fallback(params);
}

constexpr u32 max_live_worlds = 256;
std::mutex live_worlds_lock;
const World *live_worlds[max_live_worlds];
ScriptDataReleaser script_data_releaser = nullptr;

} // namespace

void release_script_data(ChunkStore &store)
{
    if (script_data_releaser)
        script_data_releaser(store);
}

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
