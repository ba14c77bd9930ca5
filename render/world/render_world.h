#pragma once
// The render thread's mirror of one World: its render objects by handle, their record
// sets, and the pool of state buffers that carry each frame's changes across.
//
//   // game side (main thread), with the world's WorldRenderLink:
//   u32 h = render_world->create_scene_graph(link, graph.render_handle_field(),
//                                            graph.world_matrices(), graph.node_count());
//   graph.collect_changes(link.state()->update_stream(0), mask);   // updates
//   render_world->destroy_object(link, graph.render_handle_field());
//   // render thread, message 7 (RenderInterface::update_world):
//   render_world->update_state(*buffer, context);   // creates, updates in jobs, destroys
//   render_world->release_state_buffer(buffer);
//
// Records name objects by handle. Applying a buffer runs every create record first, then
// the update streams in parallel (one job per stream, each stream in order), then every
// destroy record. A record for a handle with no live object, for the wrong class, or for a
// class whose render side is not built yet is logged and dropped without touching any
// object. Slots of destroyed objects are reused.
//
// Threads: construction, the create/destroy writers and acquire_state_buffer run on the
// game side; everything else on the render thread. The buffer lists have their own lock.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_pool.h"
#include "render/world/render_camera.h"
#include "render/world/render_object.h"
#include "render/world/render_record.h"

namespace tallow {

class LayerConfigSet;
class ResourceGenerators;
class VariableOverrideMap;
class RenderContext;
class RenderDevice;
class RenderParticleWorld;
class RenderResourceContext;
class RenderResourceSet;
class RenderSceneGraph;
class RenderShadingEnvironment;
class RenderStateQueue;
class ShaderManager;
struct ViewportPlacement;
class RenderStateStream;
class ThreadPool;
class WorldRenderLink;

/// The handle of no render object.
constexpr u32 no_render_handle = 0xFFFFFFFF;

/// What RenderWorld::render draws with.
struct RenderWorldParams {
    RenderDevice *device = nullptr;
    u32 camera = 0xFFFFFFFFu;              // a RenderCamera's handle; none: the built-in camera
    u32 viewport = 0xFFFFFFFFu;            // a RenderViewport's handle; none: `default_viewport`
    u32 shading_environment = 0xFFFFFFFFu; // a RenderShadingEnvironment's handle, or none
    const RenderResourceSet *global_resources = nullptr; // the output and layer targets
    const LayerConfigSet *layer_configs = nullptr;
    const ViewportPlacement *default_viewport = nullptr; // used without a viewport handle (may be null)
    const u32 *texture_channels = nullptr; // names of the material texture channels (NameId32)
    u32 texture_channel_count = 0;
    f32 aspect = -1.0f;                    // -1: the output's width / height
    ResourceGenerators *generators = nullptr; // run for the view's layers after light culling (may be null)
    VariableOverrideMap *generator_overrides = nullptr;
    u32 frame_index = 0;                   // the same for every view of one frame
};

/// What one render produced.
struct RenderWorldStats {
    bool drawn = false;        // false: skipped (no viewport, layer configuration or output; logged)
    u32 visible_records = 0;   // records drawn after culling (unculled ones included)
    u32 visible_lights = 0;
    u32 render_batches = 0;    // batches of the render kernel (one context each)
    u32 contexts = 0;          // contexts dispatched (the layer set-up's included)
    u32 generator_contexts = 0; // of those, filled by the resource generators
};

/// Records per render-kernel batch (each batch fills its own RenderContext).
constexpr u32 render_batch_records = 100;

/// The live RenderSceneGraph filed under `handle` in `world`, or null.
const RenderSceneGraph *scene_graph_of(const RenderWorld &world, u32 handle);

class RenderWorld final : public RenderObject {
  public:
    /// `parent` (thread-safe, outliving the world) backs the "RenderWorld" and
    /// "state_reflection" trace allocators. `pool` runs the update streams in parallel;
    /// null applies them one after another on the calling thread.
    RenderWorld(Allocator &parent, ThreadPool *pool);
    /// Destroys every object still alive (without a resource context) and every state
    /// buffer, including objects of create records never applied. Render thread.
    ~RenderWorld() override;

    /// Render objects of this world are made from it; thread-safe.
    Allocator &allocator() { return _allocator; }

    // --- Game side --------------------------------------------------------------------
    /// A reset buffer from the pool, or a new one; null when memory runs out (logged).
    /// Any thread.
    RenderStateQueue *acquire_state_buffer();
    /// Resets `buffer` and returns it to the pool. Render thread (after applying it).
    void release_state_buffer(RenderStateQueue *buffer);

    /// Files `object` (made from allocator()) under a new handle with a create record in
    /// the link's create stream, and stores the handle in `handle_field`. When
    /// `handle_field` already holds a handle the object is not needed: it is destroyed and
    /// the old handle returned. Returns no_render_handle (object destroyed, logged) when
    /// no handle or record can be had.
    u32 create_object(WorldRenderLink &link, u32 &handle_field, RenderObject *object);
    /// Makes the RenderSceneGraph of a unit from its world matrices (create_object).
    u32 create_scene_graph(WorldRenderLink &link, u32 &handle_field, const Matrix4x4 *world_matrices, u32 node_count);
    /// Files a destroy record for the object in `handle_field`, holds its handle back
    /// (six frames) and sets the field to no_render_handle. Nothing for no_render_handle.
    void destroy_object(WorldRenderLink &link, u32 &handle_field);

    // --- Render thread ----------------------------------------------------------------
    /// Applies a filled buffer: creates, update streams (in parallel jobs), destroys. Each
    /// call is a new state frame.
    void update_state(RenderStateQueue &buffer, RenderResourceContext *context);
    /// How many buffers update_state has applied; the frame the objects' per-frame change
    /// flags (RenderSceneGraph::changes) are read against. Render thread.
    u64 state_frame() const { return _state_frame; }
    /// Applies one stream in order; the body of each "update_state_job" item. Create and
    /// destroy records change the object tables, so they are taken only when `lifecycle`
    /// is set (the serial create and destroy streams); elsewhere they are logged and dropped.
    void apply_stream(const RenderStateStream &stream, RenderResourceContext *context, bool lifecycle);

    /// The live object filed under `handle`, or null.
    RenderObject *object(u32 handle) const;
    /// The live object in `slot`, or null.
    RenderObject *object_in_slot(u32 slot) const;
    /// The object's slot, or 0xFFFFFFFF.
    u32 slot_of(u32 handle) const;
    u32 live_object_count() const { return _live_count; }
    /// Slots ever used (live objects plus reusable empty slots).
    u32 slot_count() const { return _objects.size(); }
    u32 buffer_count();

    /// Records of drawable objects by visibility-flag bit 0 and bit 1, of lights, and of
    /// objects drawn without culling (line drawers, GUIs).
    RenderRecordSet &flag1_set() { return _flag1; }
    RenderRecordSet &flag2_set() { return _flag2; }
    RenderRecordSet &light_set() { return _lights; }
    Array<RenderRecord> &unculled() { return _unculled; }

    /// Draws the world from a camera into a viewport (message 6): computes the camera,
    /// culls the lights and the main record set on the thread pool, fills one render
    /// context with the layers' set-up and one per batch of at most render_batch_records
    /// visible records (meshes, LOD objects; the batches run on the pool while the layers'
    /// resource generators fill their contexts, and are listed after them), draws the line
    /// drawers and GUIs one after another into one more context (their new vertex buffers
    /// in a resource context that runs first), and dispatches them all to the device.
    /// The resource generators may read the world's objects and lights, never change them.
    /// Render thread.
    RenderWorldStats render(const RenderWorldParams &params);
    /// The lights the last render found visible, sorted by (class, slot).
    const Array<RenderRecord> &visible_lights() const { return _visible_lights; }
    /// The camera a render without a camera handle draws with (near 0.1, far 1000, field
    /// of view 1.22, perspective, identity pose).
    RenderCamera &default_camera() { return _default_camera; }

    /// The shader manager materials are made with (null until a render configuration is
    /// loaded). Set on the game side while the render thread is idle.
    void set_shader_manager(ShaderManager *shaders) { _shaders = shaders; }
    ShaderManager *shader_manager() const { return _shaders; }
    /// Has every object instantiate its shader contexts again when the shader manager's
    /// shaders or templates changed since the last call (a reload of the render
    /// configuration), so objects made before a reload keep drawing. render() calls it
    /// first. Render thread.
    void refresh_shaders();

    /// Time and step of the last update (message 7).
    void set_time(f32 time, f32 delta_time)
    {
        _time = time;
        _delta_time = delta_time;
    }
    f32 time() const { return _time; }
    f32 delta_time() const { return _delta_time; }

    /// The world's particle world (filed through a create record), or null. Render thread.
    RenderParticleWorld *particle_world() const { return _particle_world; }
    void set_particle_world(RenderParticleWorld *particles) { _particle_world = particles; }

    /// Checks the handle and slot maps against the objects; for tests and debug builds.
    bool validate() const;

  private:
    void drop_lifecycle_record(u32 kind, const u8 *payload, u32 payload_bytes);
    void apply_create(const u8 *payload, u32 payload_bytes, RenderResourceContext *context);
    void apply_destroy(const u8 *payload, u32 payload_bytes, RenderResourceContext *context);
    void destroy_slot(u32 slot, RenderResourceContext *context);
    void delete_retired();
    void free_unapplied_creates(RenderStateQueue &buffer);

    void update_transforms(RenderRecordSet &set);
    /// Sorts the drawn records, gives each batch a context and starts the render kernel on
    /// the pool (returns its job, or no_job once the batches have run here without one).
    JobId start_render_records(const RenderWorldParams &params, const struct LayerConfig &config,
                               const struct RenderKernelParams &kernel, RenderWorldStats &stats);
    /// Waits for the kernel and appends the batches' contexts to the frame's list.
    void finish_render_records(RenderDevice &device, JobId job, RenderWorldStats &stats);
    void render_unculled(const RenderWorldParams &params, const RenderCamera &camera, const struct LayerConfig &config,
                         f32 width, f32 height, const struct ViewportPlacement &rect, RenderWorldStats &stats);

    TraceAllocator _allocator;                 // "RenderWorld": objects, records, arrays
    TraceAllocator _state_allocator;           // "state_reflection": state buffers
    ThreadPool *_pool;
    u64 _state_frame = 0;
    f32 _time = 0;
    f32 _delta_time = 0;
    RenderParticleWorld *_particle_world = nullptr;
    Array<RenderObject *> _objects; // by slot; null for a free slot
    Array<u32> _free_slots;
    // Objects destroyed under a resource context: that context may still name their bytes
    // (a mesh made and destroyed in one frame hands the device its own vertex copy), so
    // they are deleted at the next update_state, once the device has run it.
    Array<RenderObject *> _retired;
    Array<u32> _slot_of;            // slot by handle, 0xFFFFFFFF for none
    u32 _live_count = 0;
    RenderRecordSet _flag1;
    RenderRecordSet _flag2;
    RenderRecordSet _lights;
    Array<RenderRecord> _unculled;
    Array<RenderStateStream *> _job_streams; // update_state's list of streams for the job
    Mutex _buffer_lock;                      // guards the two arrays below
    Array<RenderStateQueue *> _buffers;      // every buffer made
    Array<RenderStateQueue *> _free_buffers;
    ShaderManager *_shaders = nullptr;
    u32 _shader_epoch = 0;                // the shader manager's epoch the objects were refreshed for
    u32 _cull_kernel;
    RenderCamera _default_camera;
    Array<RenderRecord> _culled;          // the main set after culling, then the drawn records
    Array<RenderRecord> _culled_lights;
    Array<RenderRecord> _visible_lights;
    Array<RenderContext *> _contexts;     // of the render in progress
    Array<RenderContext *> _record_contexts; // the render kernel's, listed once the generators are
    u32 _logged_skips = 0;
};

} // namespace tallow
