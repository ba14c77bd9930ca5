#pragma once
// The services a World drives but does not build: physics, sound, particles, GUI and the
// render world. Each is a narrow interface of exactly the calls the World and its units
// make; a World made without one gets the null implementation, which does nothing visible
// and says so once in the log. Animation has its own header (world/services/world_animation.h).
//
//   WorldServiceFactories factories;             // all null: every service is a null one
//   factories.physics = &my_physics_factory;     // a physics backend plugs in here
//   World *world = make_new<World>(allocator, WorldParams{..., &factories});
//
// A new backend implements its interface and a factory function that makes it from the
// allocator in `WorldServiceParams`; the World destroys it through the same allocator
// (virtual destructor), in the fixed order World's header gives. All calls come from the
// main thread inside World operations, except where an interface says otherwise.

#include "foundation/math/matrix4x4.h"
#include "foundation/types.h"
#include "render/world/render_world.h" // no_render_handle
#include "world/units/physics_records.h"
#include "world/world_events.h"

namespace tallow {

class Allocator;
class IWorldAnimation;
class StateHasher;
class RenderStateStream;
class RenderWorld;
class ResourceManager;
class SceneGraph;
class ThreadPool;
class Unit;
class World;
class WorldRenderLink;
class Camera;
class Light;
class MaterialResource;
class Mesh;
class ShadingEnvironment;
class ShadingEnvironmentResource;
class UnitResource;
struct ParticleEffectResource;
struct UnitActorTemplate;
struct UnitCamera;
struct UnitJointTemplate;
struct UnitLight;
struct UnitLodObject;
struct UnitMesh;
struct UnitMover;
class UnitResource;

/// What a factory receives.
struct WorldServiceParams {
    Allocator &allocator; // the World's allocator: make the service from it
    World &world;
    ResourceManager *resource_manager; // may be null (tests)
    ThreadPool *thread_pool;
    bool sound_disabled;
    RenderWorld *render_world;       // may be null (no render side)
    WorldRenderLink *render_link;    // the world's half of it
};

// Physics -------------------------------------------------------------------------------

struct PhysicsActor;
struct PhysicsJoint;
struct PhysicsMover;

struct ActorCreateParams {
    const UnitResource *resource;
    const UnitActorTemplate *actor; // the template, its shapes in resource->shapes
    Matrix4x4 pose;                 // template pose x spawn pose
    Unit *unit;
};

struct JointCreateParams {
    /// The template (world/units/physics_records.h). The unit has already put into world space
    /// what is not relative to a body: the local frame (anchor, axis, normal) of a side
    /// anchored in the world, and the global anchor and axis.
    JointTemplate joint;
    PhysicsActor *actors[2]; // null: that side is anchored in the world
};

struct MoverCreateParams {
    const MoverTemplate *mover;
    Vector3 position; // the feet, in world space
    Unit *unit;
};

struct TriggerVolumeParams {
    Matrix4x4 pose;
    Vector3 box;               // as the level gives it
    u32 actor_template = 0;    // physics properties' actor template id
    u32 shape_template = 0;
    u32 volume_index = 0;      // the level's trigger volume index (its actor reference)
    u32 targets[5];            // node high, input low; 0xFFFFFFFF: none
};

class IPhysicsWorld {
  public:
    virtual ~IPhysicsWorld() = default;
    /// Steps the simulation; writes dynamic actors' poses into their units' nodes and may
    /// wake units (World::add_to_awake_list_locked).
    virtual void update(f32 dt) = 0;
    /// Null when the actor cannot be made.
    virtual PhysicsActor *create_actor(const ActorCreateParams &params) = 0;
    virtual void destroy_actor(PhysicsActor *actor) = 0;
    virtual bool is_dynamic(const PhysicsActor *actor) const = 0;
    virtual bool is_sleeping(const PhysicsActor *actor) const = 0;
    virtual bool is_kinematic(const PhysicsActor *actor) const = 0;
    virtual void set_kinematic(PhysicsActor *actor, bool kinematic) = 0;
    virtual PhysicsJoint *create_joint(const JointCreateParams &params) = 0;
    virtual void destroy_joint(PhysicsJoint *joint) = 0;
    virtual PhysicsMover *create_mover(const MoverCreateParams &params) = 0;
    virtual void destroy_mover(PhysicsMover *mover) = 0;
    /// Switches collision between the two actors on or off.
    virtual void set_pair_collision(PhysicsActor *a, PhysicsActor *b, bool collide) = 0;

    // Events and level actors (a backend without them reports nothing).

    /// The stream of trigger, wake, contact and mover records the step wrote
    /// (world/world_events.h); the World empties it after its walk. Null: none.
    virtual Array<u8> *event_stream() { return nullptr; }
    /// What an actor id names now; false when the actor is gone.
    virtual bool resolve_actor(PhysicsActorId, PhysicsActorInfo &) const { return false; }
    virtual bool resolve_mover(u32, PhysicsMoverInfo &) const { return false; }
    /// A level's trigger volume: a box actor with `half_extents`, flagged as a level actor,
    /// whose trigger enter and leave targets are given. Null when it cannot be made.
    virtual PhysicsActor *create_trigger_volume(const TriggerVolumeParams &) { return nullptr; }
    /// A synchronous ray query; true with the first hit point in `out_hit`.
    virtual bool raycast(const Vector3 & /*origin*/, const Vector3 & /*direction*/, f32 /*length*/,
                         Vector3 & /*out_hit*/) const
    {
        return false;
    }
    /// Adds every body's state (pose; velocities of the moving ones) and every mover's
    /// position to `hasher`, in an order fixed by the calls that made them (World::hash_state).
    virtual void hash_state(StateHasher & /*hasher*/) const {}
};

// Sound, particles, GUI ------------------------------------------------------------------

constexpr u32 no_sound_source = 0xFFFFFFFFu;
constexpr u32 no_particle_effect = 0xFFFFFFFFu;

class ISoundWorld {
  public:
    virtual ~ISoundWorld() = default;
    /// False for the null service: the script functions of sound then raise that the
    /// service is not built.
    virtual bool is_available() const { return false; }
    virtual void update(f32 dt) = 0;
    // Flow sound nodes and the World script table (a backend without sound plays nothing).
    /// Plays the "wav" resource `name` on `bus` (NameId32 of the bus name; 0: the sound's
    /// own); no_sound_source when it cannot (not loaded, broken, no voice, sound off).
    virtual u32 play(u64 /*name*/, bool /*looping*/, u32 /*bus*/) { return no_sound_source; }
    virtual void stop(u32 /*source*/) {}
    virtual void set_source_range(u32 /*source*/, f32 /*range*/) {}
    virtual void set_source_volume(u32 /*source*/, f32 /*volume*/) {}
    virtual void set_source_pose(u32 /*source*/, const Matrix4x4 & /*pose*/) {}
    /// Follows `node` of the unit; a link to a unit gone or a node it lacks is dropped.
    virtual void link_source(u32 /*source*/, UnitHandle /*unit*/, u32 /*node*/) {}
    virtual void set_listener(const Matrix4x4 & /*pose*/) {}
    virtual void set_bus_volume(u32 /*bus*/, f32 /*volume*/) {}
    /// Sets the reverb from the "sound_environment" resource `name`; false when it is not
    /// loaded (nothing changes).
    virtual bool set_environment(u64 /*name*/) { return false; }
};

class IParticleWorld {
  public:
    virtual ~IParticleWorld() = default;
    /// False for the null service: the script functions of particles then raise that the
    /// service is not built.
    virtual bool is_available() const { return false; }
    /// Once per World update: answers the render side's height-grid requests (physics
    /// rays) and takes its debug lines.
    virtual void update(f32 dt) = 0;
    // Flow particle nodes, level effects and the World script table (a backend without
    // particles makes none). Ids that name no live effect are ignored.
    virtual u32 create_particles(u64 /*effect*/, const Matrix4x4 & /*pose*/) { return no_particle_effect; }
    /// `policy` when the unit goes: 0 destroy the effect, 1 stop its spawning, 2 leave it.
    virtual void link_particles(u32 /*id*/, UnitHandle /*unit*/, u32 /*node*/, const Matrix4x4 & /*offset*/,
                                u32 /*policy*/ = 0)
    {
    }
    virtual void stop_spawning(u32 /*id*/) {}
    virtual void destroy_particles(u32 /*id*/) {}
    virtual void move_particles(u32 /*id*/, const Matrix4x4 & /*pose*/) {}
    /// Live effects of `old_data` restart on `new_data` (same name), keeping ids and poses.
    /// Call while the render side is idle; the old data may go right after.
    virtual void post_reload(const ParticleEffectResource * /*old_data*/, const ParticleEffectResource * /*new_data*/) {}
    /// Adds every live effect's particles and state to `hasher`, in creation order. The
    /// effects live on the render side: call while it is idle (after the frame's fence).
    virtual void hash_state(StateHasher & /*hasher*/) const {}
};

class Gui;
struct GuiCreateParams;

class IGuiWorld {
  public:
    virtual ~IGuiWorld() = default;
    virtual void update(f32 dt) = 0;
    /// False for the null service: the GUI script functions then raise that the service
    /// is not built.
    virtual bool is_available() const { return false; }
    /// A new gui (render/gui/gui.h); null when none can be made (logged).
    virtual Gui *create_gui(const GuiCreateParams & /*params*/) { return nullptr; }
    /// False when `gui` is not one of this world's.
    virtual bool destroy_gui(Gui * /*gui*/) { return false; }
    virtual bool owns(const Gui * /*gui*/) const { return false; }
};

// Render world ----------------------------------------------------------------------------

/// Render-side object kinds a unit creates.
enum class UnitRenderObject : u32 { Mesh, Camera, Light, LodObject };

/// What the render link makes a unit's render object from.
struct UnitRenderParams {
    const UnitResource *resource = nullptr;
    u32 index = 0;                // of the record in the resource's meshes, cameras, lights or LOD objects
    SceneGraph *graph = nullptr;  // the unit's (its render scene graph already made)
    const void *material = nullptr; // the unit's "material" resource (a MaterialResource), or null
    const u32 *meshes = nullptr;  // LOD objects: the unit's mesh handles by mesh index
    u32 mesh_count = 0;
};

/// The World's link to its render world: render objects of units, the per-frame change
/// records of the reflection job, and the end-of-frame release step.
class IWorldRenderLink {
  public:
    virtual ~IWorldRenderLink() = default;
    /// Creates the unit's render scene graph and stores its handle in the graph.
    virtual void create_scene_graph(SceneGraph &graph) = 0;
    virtual void destroy_scene_graph(SceneGraph &graph) = 0;
    /// Creates one render object of a unit from its resource record; no_render_handle when
    /// none is made (logged).
    virtual u32 create_object(UnitRenderObject kind, const UnitRenderParams &params) = 0;
    /// Destroys it (a mesh with its materials).
    virtual void destroy_object(UnitRenderObject kind, u32 handle) = 0;
    virtual void set_visible(UnitRenderObject kind, u32 handle, bool visible) = 0;
    /// The game-side objects behind a handle, or null (another kind, none, or no render
    /// world). Valid until the object is destroyed; main thread.
    virtual Camera *camera(u32 /*handle*/) { return nullptr; }
    virtual Light *light(u32 /*handle*/) { return nullptr; }
    virtual Mesh *mesh(u32 /*handle*/) { return nullptr; }
    /// Makes a shading environment of `resource` (with `material`, the "material" resource
    /// its first field names, or null), kept until destroyed or the link goes; null without a
    /// render world.
    virtual ShadingEnvironment *create_shading_environment(const ShadingEnvironmentResource * /*resource*/,
                                                           const MaterialResource * /*material*/)
    {
        return nullptr;
    }
    /// Gives an environment of this link another resource.
    virtual void set_shading_environment(ShadingEnvironment & /*environment*/,
                                         const ShadingEnvironmentResource * /*resource*/,
                                         const MaterialResource * /*material*/)
    {
    }
    virtual void destroy_shading_environment(ShadingEnvironment & /*environment*/) {}
    /// This link's environments, in creation order (swap-removed on destroy).
    virtual u32 shading_environment_count() const { return 0; }
    virtual ShadingEnvironment *shading_environment(u32 /*i*/) { return nullptr; }
    /// Adds `count` change-record streams for this frame's reflection batches and stores
    /// them in `out_streams`; batch k writes only stream k (from a worker thread). False
    /// when the streams cannot be had (the World then reflects nothing this frame, logged).
    virtual bool begin_change_records(u32 count, RenderStateStream **out_streams) = 0;
    /// Called after the reflection: releases whose delay has run out.
    virtual void collect_deferred_releases() = 0;
    /// Applies a level's 40-byte light property block to a unit light (nothing without
    /// render lights).
    virtual void set_light_properties(u32 /*light*/, const u8 * /*block*/) {}
};

/// A factory per service; a null entry gives the null service.
struct WorldServiceFactories {
    IPhysicsWorld *(*physics)(const WorldServiceParams &) = nullptr;
    ISoundWorld *(*sound)(const WorldServiceParams &) = nullptr;
    IParticleWorld *(*particles)(const WorldServiceParams &) = nullptr;
    IGuiWorld *(*gui)(const WorldServiceParams &) = nullptr;
    IWorldRenderLink *(*render)(const WorldServiceParams &) = nullptr;
    IWorldAnimation *(*animation)(const WorldServiceParams &) = nullptr; // world/services/world_animation.h
};

/// The null services (each logs once, at first use, that its service is missing).
IPhysicsWorld *create_null_physics_world(const WorldServiceParams &params);
ISoundWorld *create_null_sound_world(const WorldServiceParams &params);
IParticleWorld *create_null_particle_world(const WorldServiceParams &params);
IGuiWorld *create_null_gui_world(const WorldServiceParams &params);
IWorldRenderLink *create_null_render_link(const WorldServiceParams &params);
/// The GUIs of a world with a real render world (params.render_world and params.render_link
/// set; otherwise the null service).
IGuiWorld *create_render_gui_world(const WorldServiceParams &params);
/// The link to a real render world (params.render_world and params.render_link set):
/// scene graphs, change records and the units' meshes, cameras, lights and LOD objects go
/// to it (world/units/unit_render_objects.h has how they are read from the unit resource).
IWorldRenderLink *create_render_world_link(const WorldServiceParams &params);

} // namespace tallow
