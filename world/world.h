#pragma once
// A World: one game world with its units, their scene graphs, the world's services
// (render link, physics, animation, particles, sound, GUI), timed flow events and a script
// data store.
//
//   WorldParams params{resource_manager, thread_pool, &factories};   // factories may be null
//   World *world = make_new<World>(allocator, params);
//   Unit *u = world->spawn_unit(NameId64("units/crate"), pose);      // null on failure
//   world->update(dt);                                              // once per frame
//   world->destroy_unit(*u);
//   delete_with_allocator(allocator, world);
//
// Services are built in this order: render link, physics, animation, particles, sound,
// GUI; and released in the reverse order after every unit is gone.
//
// `update` runs, in order: frame counter and world time; the animation service's
// updates and pose writes; scene graphs of the update list (job); the physics step; scene
// graphs of the awake list (job); linked units parent first; reflection of the changed
// nodes into change records (job); the render link's deferred releases; idle-unit
// dropping (at most 20 checks per list); GUI, sound and particles; timed flow events.
//
// Spawning and destroying take effect at once. A unit destroyed while a flow run is on the
// stack (spawn events, timed events) is destroyed when the outermost run returns, so a
// flow node may destroy its own unit. Destroying a unit first unlinks its linked children
// (they stay where they are). All calls on the main thread; `wake_unit` and
// `add_to_awake_list_locked` may also come from jobs or physics callbacks.

#include "foundation/containers/array.h"
#include "foundation/deferred_release.h"
#include "foundation/io/chunk_store.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/strings/name_id.h"
#include "foundation/threads/job.h"
#include "render/lines/line_object.h"
#include "render/world/node_change_mask.h"
#include "world/flow/timed_events.h"
#include "resource/resource_hold.h"
#include "world/units/unit_handle.h"
#include "world/services/world_services.h"

#include <mutex>

namespace tallow {

class IFlowScript;
class IWorldAnimation;
class RenderStateStream;
struct ReflectionShared;
class Level;
class LevelResource;
class ResourceManager;
class ThreadPool;
class ShadingEnvironment;
class StateHasher;
class GameViewport;
class Material;
class ViewportTemplate;
class Unit;
class UnitResource;

struct WorldParams {
    ResourceManager *resource_manager = nullptr; // null: spawn only from resources
    ThreadPool *thread_pool = nullptr;           // null: jobs run on the calling thread
    const WorldServiceFactories *factories = nullptr;
    bool sound_disabled = false;
    RenderWorld *render_world = nullptr;    // with render_link: the render side to mirror into
    WorldRenderLink *render_link = nullptr; // (RenderInterface::create_render_world)
    IFlowScript *script = nullptr;          // what flow nodes call in scripts; may be null
};

/// Releases what a script data store keeps outside itself (registry references of the
/// script layer). The script layer installs it; the World calls it on each unit's store as
/// the unit is destroyed and on its own store as it goes. Main thread.
using ScriptDataReleaser = void (*)(ChunkStore &store);
void set_script_data_releaser(ScriptDataReleaser releaser);

/// What the reflection needs of a unit that did not change, kept beside the unit list so
/// that such units are passed over without being touched.
struct UnitReflectionEntry {
    u32 handle_slot; // unit_handle_index of its handle
};

/// What went wrong in a frame's update; the update goes on.
enum class WorldUpdateFlags : u32 { None = 0, OutOfMemory = 1, NoChangeRecords = 2 };

class World {
  public:
    static constexpr u32 idle_checks_per_frame = 20;
    static constexpr u32 job_batch_limit = 20;

    World(Allocator &parent, const WorldParams &params);
    ~World();
    /// Whether `world` is a World that exists now (scripts may hold a released one).
    /// Any thread; the first 256 worlds alive at once are known, later ones answer false.
    static bool is_live(const World *world);
    World(const World &) = delete;
    World &operator=(const World &) = delete;

    // Units --------------------------------------------------------------------------------

    /// Spawns the loaded "unit" resource `name` at `pose`, with the "material" resource of
    /// the same name when one is loaded. Null (logged) when the resource is not loaded, no
    /// handle is left or memory runs out.
    Unit *spawn_unit(NameId64 name, const Matrix4x4 &pose);
    Unit *spawn_unit_with_material(NameId64 name, NameId64 material, const Matrix4x4 &pose);
    /// Spawns from a resource already at hand (levels, tests). `material` may be null.
    Unit *spawn_unit_from_resource(const UnitResource &resource, const void *material, const Matrix4x4 &pose);
    /// Destroys the unit (deferred to the end of the flow run when one is running).
    void destroy_unit(Unit &unit);
    /// Keeps the unit in the update list for `frames` frames. Safe from jobs and callbacks.
    void wake_unit(Unit &unit, u32 frames);
    void add_to_update_list(Unit &unit);
    /// Main thread, no jobs running; the physics step calls it for each unit whose node it
    /// writes, so that the unit is brought up to date and reflected in the same frame.
    void add_to_awake_list(Unit &unit);
    /// add_to_awake_list under the list lock (physics wake messages).
    void add_to_awake_list_locked(Unit &unit);
    /// Links the unit's root under `node` of `parent`. False (logged) when the link would
    /// make a cycle, the node does not exist or either unit has no nodes.
    bool link_unit(Unit &unit, Unit &parent, u32 node);
    /// Frees the unit from its parent, leaving it where it is.
    void unlink_unit(Unit &unit);
    /// Brings one unit's world matrices up to date at once and reflects them.
    void update_unit(Unit &unit);
    /// Every unit built from `old_resource` is rebuilt from `new_resource`.
    void reload_units_of_resource(const UnitResource &old_resource, const UnitResource &new_resource);

    // Shading environments (render/world/render_shading_environment.h) -------------------
    /// Lets go of `hold` (emptied here) once no record still on its way to the render side
    /// can read its data: after as many world updates as render handles are held back.
    /// Holders whose records name resource data release through here.
    void release_after_render(ResourceHold &hold);

    /// Makes one with the loaded "shading_environment" resource `name` (and the "material"
    /// resource it names, when loaded). Null (logged) when the resource is not loaded or the
    /// world has no render world. The world owns it until destroy_shading_environment.
    ShadingEnvironment *create_shading_environment(NameId64 name);
    /// Gives it the loaded resource `name`; an empty name (or one not loaded, logged) does
    /// nothing.
    void set_shading_environment(ShadingEnvironment &environment, NameId64 name);
    void destroy_shading_environment(ShadingEnvironment &environment);
    /// Every environment using `old_resource` takes `new_resource` (after a reload).
    void reload_shading_environments(const void *old_resource, const void *new_resource);
    // Viewports (render/viewports/viewport.h) ---------------------------------------------
    /// Makes a viewport with the rectangle and ids of `viewport_template`, and its render
    /// twin. Null (logged) when the world has no render world or memory runs out. The world
    /// owns it until destroy_viewport or the world goes.
    GameViewport *create_viewport(const ViewportTemplate &viewport_template);
    /// Releases its render twin and frees it; false when it is not one of this world's.
    bool destroy_viewport(GameViewport *viewport);
    /// Stores the rectangle and sends it to the render twin with this frame's changes.
    void set_viewport_rect(GameViewport &viewport, f32 x, f32 y, f32 width, f32 height);
    const Array<GameViewport *> &viewports() const { return _viewports; }

    // Script references -------------------------------------------------------------------
    // Viewports, shading environments and their materials reach scripts by serial: a number
    // no other object of the program is ever given (a 32-bit count from 1), so a reference
    // kept after its object, or its world, went finds nothing, even when a new object took
    // the old one's memory.
    enum class ScriptObjectKind : u32 { Viewport, ShadingEnvironment, Material };
    /// What a serial names: its world (null: nothing), the object (a GameViewport or a
    /// ShadingEnvironment; for a material its environment) and, for a material, its value
    /// set's id.
    struct ScriptObject {
        World *world = nullptr;
        void *object = nullptr;
        u32 id = 0;
    };
    /// The live object of `kind` with `serial` in any live world. Main thread.
    static ScriptObject find_script_object(ScriptObjectKind kind, u32 serial);
    /// The serial of one of this world's viewports or environments; 0 for anything else.
    u32 script_serial(ScriptObjectKind kind, const void *object) const;
    /// The serial of value set `id` of `environment` (the same one on every call); 0 when
    /// the environment is not this world's, has no such value set, or memory runs out.
    u32 environment_material_serial(const ShadingEnvironment &environment, u32 id);
    /// The material of value set `id` of `environment`, sending into this frame's changes
    /// (it sends nothing when the value set is gone, after the environment switched data).
    Material environment_material(const ShadingEnvironment &environment, u32 id) const;
    /// The material of render handle `handle` (a unit mesh's slot), sending into this
    /// frame's changes; it sends nothing without a render world.
    Material mesh_material(u32 handle) const;
    /// Whether the resource `environment` reads is still the loaded one of its name: a
    /// package unloaded under it frees it, and the environment must then not be updated or
    /// applied. False for an environment that is not this world's.
    bool has_environment_resource(const ShadingEnvironment &environment) const;

    /// The unit of a handle, null when stale or of another world.
    Unit *unit(UnitHandle handle) const;
    const Array<Unit *> &units() const { return _units; }
    const Array<Unit *> &update_list() const { return _update_list; }
    const Array<Unit *> &awake_list() const { return _awake_list; }
    const Array<Unit *> &linked_list() const { return _linked_list; }

    // Frame --------------------------------------------------------------------------------

    /// One frame: see the header comment. Returns what overflowed (None normally).
    WorldUpdateFlags update(f32 dt);
    void update_animations(f32 dt);
    WorldUpdateFlags update_scene(f32 dt);
    void drop_idle_units();

    u32 frame_counter() const { return _frame_counter; }
    f32 world_time() const { return _world_time; }
    f32 frame_step() const { return _frame_step; }

    /// The pose of the camera the world was last rendered through (the identity before
    /// that); kept for debug views and tools. Main thread.
    const Matrix4x4 &debug_camera_pose() const { return _debug_camera_pose; }
    void set_debug_camera_pose(const Matrix4x4 &pose) { _debug_camera_pose = pose; }

    // Flow ---------------------------------------------------------------------------------

    /// Queues delayed flow events of a unit; zero delays fire at once.
    void schedule_timed_events(UnitHandle handle, const TimedDelay *delays, u32 count);
    void run_timed_events();
    const TimedEvents &timed_events() const { return _timed_events; }
    /// Runs flow target `target` of the unit (through the installed flow runner) inside a
    /// flow run: destruction it asks for waits until the run ends.
    void flow_event_by_index(Unit &unit, u32 target);
    /// Brackets a flow run started elsewhere (level flow, script calls into flow).
    void begin_flow_run() { _flow_run.enter(); }
    void end_flow_run();
    bool in_flow_run() const { return _flow_run.is_on_stack(); }
    IFlowScript *script() const { return _script; }
    /// The level script's reference (flow_no_script_reference: none).
    i32 script_reference() const { return _script_reference; }
    void set_script(IFlowScript *script) { _script = script; }

    // Levels and events ------------------------------------------------------------------------

    /// Replaces the current level with one made from `resource` and spawns its content;
    /// the old level's units stay. A level replaced during a flow run is freed when the run
    /// ends (its runs stop at once). `script_reference` is the level script's (the level
    /// releases it), or flow_no_script_reference. Returns the new level.
    Level *load_level(const LevelResource &resource, i32 script_reference);
    Level *level() const { return _level; }
    /// Walks the physics world's event stream into flow inputs and the awake list.
    void process_physics_events();
    /// Walks the animation service's event stream into unit flow events.
    void dispatch_animation_events();

    // Debug lines ---------------------------------------------------------------------------

    /// A line object for scripts, in a pool whose drawer tests depth or, with the flag, does
    /// not. Null when memory runs out (logged).
    LineObject *create_line_object(bool disable_depth_test);
    /// Destroys a line object made by create_line_object; its lines are no longer drawn.
    /// False when it is not one of this world's.
    bool destroy_line_object(LineObject *object);
    bool owns_line_object(const LineObject *object) const;
    /// Sends the line object's lines to its drawer (nothing when it holds none: the lines
    /// sent before stay drawn).
    void dispatch_line_object(const LineObject &object);
    /// The world's own line objects: 0 frame lines (emptied every frame), 1 permanent
    /// lines, 2 lines drawn without depth test (the particle world's trail lines, added in
    /// its update; emptied every frame).
    LineObject *world_line_object(u32 index) { return index < 3 ? _world_lines[index] : nullptr; }
    /// Empties the permanent line object.
    void clear_permanent_lines();
    /// Dispatches the world's line objects and empties the per-frame ones (step 9 of
    /// update_scene).
    void dispatch_world_lines();
    /// The live world that made `object` with create_line_object, or null. Main thread.
    static World *line_object_owner(const LineObject *object);
    /// The live world whose GUI service holds `gui`, or null. Main thread.
    static World *gui_owner(const Gui *gui);

    // Services and data ---------------------------------------------------------------------

    Allocator &allocator() { return _allocator; }
    ResourceManager *resource_manager() const { return _resource_manager; }
    IWorldRenderLink &render_link() { return *_render; }
    IPhysicsWorld &physics() { return *_physics; }
    IWorldAnimation &animation() { return *_animation; }
    IParticleWorld &particles() { return *_particles; }
    ISoundWorld &sound() { return *_sound; }
    IGuiWorld &gui() { return *_gui; }
    ChunkStore &data() { return _data; }

    /// Adds the world's state to `hasher`, in this order: each unit in spawn order (its
    /// nodes' world poses; not its handle, whose slots all worlds of the program share), then the physics, animation and particle
    /// services' own. Two runs that made the same calls with the same steps give the same
    /// hash on any number of workers. The particles live on the render side: call while it
    /// is idle. Main thread.
    void hash_state(StateHasher &hasher) const;

    /// Checks the list-index invariant (position i of an index list holds a unit whose index
    /// for that list is i, and units not in a list say so), spawn-order uniqueness and the
    /// timed-event heap. For tests and debug builds.
    bool validate() const;

  private:
    class JobChain;
    // The steps of update_scene as jobs of a chain; false when scratch memory ran out.
    bool add_scene_graph_job(JobChain &chain, const Array<Unit *> &list, Array<Unit *> &units,
                             Array<RenderStateStream *> *streams = nullptr);
    bool order_linked_units(Array<Unit *> &order, Array<u32> &starts, Allocator &temp);
    void add_linked_job(JobChain &chain, Array<Unit *> &order, u32 first, u32 count);
    bool begin_reflection(Array<RenderStateStream *> &streams);
    void add_reflection_job(JobChain &chain, Array<RenderStateStream *> &streams, ReflectionShared &shared);
    bool add_to_units(Unit &unit);
    /// Builds `u` (made for `resource`) at `pose` and puts it in the world; frees it and
    /// returns null when it cannot be built.
    Unit *add_spawned_unit(Unit *u, const UnitResource &resource, const Matrix4x4 &pose);
    /// Steps 6 on of update_scene: releases, idle dropping, services, events.
    void finish_update(f32 dt);
    void remove_from_list(Array<Unit *> &list, u32 Unit::*index, Unit &unit);
    void drop_idle(Array<Unit *> &list, u32 &cursor, u32 Unit::*index, u32 flag);
    void destroy_now(Unit &unit);
    void create_line_pools(RenderWorld *render_world, WorldRenderLink *link);
    void destroy_line_pools();
    RenderStateStream *line_stream() const;
    static void fire_timed_event(void *context, u32 handle, u32 target);

    TraceAllocator _allocator;
    ResourceManager *_resource_manager;
    ThreadPool *_thread_pool;
    std::mutex _list_lock;
    Array<Unit *> _update_list;
    u32 _update_cursor = 0;
    Array<Unit *> _awake_list;
    u32 _awake_cursor = 0;
    Array<Unit *> _linked_list;
    Array<Unit *> _units; // spawn order
    Array<UnitReflectionEntry> _reflection; // one per unit of _units, at the same position
    Array<u8> _changed; // by unit handle slot: the unit has nodes to reflect this frame
    f32 _frame_step = 0;
    f32 _world_time = 0;
    Matrix4x4 _debug_camera_pose = matrix4x4_identity;
    u32 _frame_counter = 1;
    ChunkStore _data;
    TimedEvents _timed_events;
    DeferredRelease _flow_run; // units and levels asked to go meanwhile go when it ends
    Array<UnitHandle> _pending_destroy; // asked for during flow runs
    IFlowScript *_script = nullptr;
    i32 _script_reference = -2;
    Level *_level = nullptr;
    Array<Level *> _retired_levels; // replaced during a flow run
    Array<u8> _event_walk;          // the stream being walked (swapped out of its owner)
    IWorldRenderLink *_render = nullptr;
    IPhysicsWorld *_physics = nullptr;
    IWorldAnimation *_animation = nullptr;
    IParticleWorld *_particles = nullptr;
    ISoundWorld *_sound = nullptr;
    IGuiWorld *_gui = nullptr;
    // Debug lines: the plain pool, then the two pools drawn without depth test.
    RenderWorld *_render_world = nullptr;
    WorldRenderLink *_render_link = nullptr;
    LineObjects *_line_pools[3] = {nullptr, nullptr, nullptr};
    u32 _line_drawers[3] = {no_render_handle, no_render_handle, no_render_handle};
    LineObject *_world_lines[3] = {nullptr, nullptr, nullptr};
    struct ScriptLineObject {
        LineObject *object;
        LineObjects *pool;
    };
    Array<ScriptLineObject> _script_lines;
    Array<GameViewport *> _viewports;
    struct ScriptEntry {
        u32 serial;
        ScriptObjectKind kind;
        const void *object; // a material's: its environment
        u32 id;             // a material's value set
        u64 resource;       // an environment's resource name (NameId64)
    };
    Array<ScriptEntry> _script_objects;
    // The "shading_environment" resource each environment reads, and the "material" its
    // render-side materials are made from: held while the environment uses them.
    struct HeldEnvironment {
        const ShadingEnvironment *environment;
        ResourceHold resource;
        ResourceHold material;
    };
    Array<HeldEnvironment> _held_environments;
    struct DeferredHold {
        ResourceHold hold;
        u32 update; // _update_count when it was handed over
    };
    Array<DeferredHold> _deferred_holds;
    u32 _update_count = 0; // world updates so far (finish_update)
    void release_deferred_holds(bool all);
    void hold_environment(const ShadingEnvironment &environment, NameId64 name, const void *resource);
    void release_environment(const ShadingEnvironment &environment);
    /// Files a new serial for `object`; 0 when memory runs out.
    u32 add_script_object(ScriptObjectKind kind, const void *object, u32 id, u64 resource = 0);
    /// Drops the entries of `object` (a material's too, when it is their environment).
    void remove_script_objects(const void *object);
};

inline WorldUpdateFlags operator|(WorldUpdateFlags a, WorldUpdateFlags b) { return WorldUpdateFlags(u32(a) | u32(b)); }

} // namespace tallow
