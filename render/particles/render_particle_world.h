#pragma once
// The render side of a World's particles (class ParticleWorld): the playing effects, the
// messages of the game side's ParticleWorld, links to unit scene graphs, the per-update
// job that steps every effect, the per-view job that builds their vertices, and the
// billboard draws.
//
//   // render thread, the world-update message, after the state buffer was applied:
//   particle_world->update_from_world(dt, resource_context);   // links, frees, job, feedback
//   // per view, into a context bound to the view's layer configuration:
//   particle_world->render(particle_view, render_context);
//
// An update: links first (an effect whose unit's scene graph is gone is destroyed, stopped or
// left running by the link's policy), then the effects queued last update are freed, then
// finished or destroyed effects leave the live array (freed one update later), stops and
// moves apply, the job "particle_world_job" steps every live effect (one item each, on
// the pool), and their feedback goes to the shared feedback buffer in live-array order, so
// the game side sees the same records whatever the worker count. A render builds every
// live effect's vertices for the view with the job "particle_vertex_job" (one item each, on
// the pool) and then files the draws in live-array order. Steady frames allocate nothing
// here: every array keeps its memory from frame to frame.
//
// Messages come through apply (render thread, from update stream 0). An id that names no
// live effect changes nothing. Material tables are kept by the particles resource's name,
// so they survive a reload of its data.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/threads/thread.h"
#include "render/particles/particle_effect.h"
#include "render/particles/particle_messages.h"
#include "render/world/render_object.h"

#include <atomic>

namespace tallow {

class RenderContext;
class RenderResourceContext;
class RenderWorld;
class ShaderManager;
class ThreadPool;

/// The feedback buffer both sides share: the render side appends, the game side takes.
/// Freed by whichever side releases it last. Any thread.
class ParticleFeedback {
  public:
    static ParticleFeedback *create(Allocator &allocator);
    void acquire() { _references.fetch_add(1, std::memory_order_relaxed); }
    void release();
    /// Appends whole records.
    void append(const u8 *records, u32 bytes);
    /// Moves every record into `out` (appended) and empties the buffer.
    void take(Array<u8> &out);

    /// Use create; freed by the last release.
    explicit ParticleFeedback(Allocator &allocator) : _allocator(allocator), _bytes(allocator) {}

  private:
    Allocator &_allocator;
    Mutex _lock;
    Array<u8> _bytes;
    std::atomic<u32> _references{1};
};

class RenderParticleWorld final : public RenderObject {
  public:
    /// Made on the game side from the RenderWorld's allocator. `pool` runs the update and
    /// vertex jobs (null: on the calling thread); `shaders` makes the emitters' materials
    /// (null: the render world's, as meshes use; with neither, effects simulate and draw
    /// nothing).
    /// Takes a reference to `feedback`.
    RenderParticleWorld(Allocator &allocator, ThreadPool *pool, ShaderManager *shaders, ParticleFeedback &feedback);
    ~RenderParticleWorld() override;

    /// The scene graphs links look up; set when the world files the object.
    void set_render_world(RenderWorld *world) { _render_world = world; }
    RenderWorld *render_world() const { return _render_world; }
    /// Releases every live effect's render resources. See RenderObject.
    void destroy_resources(RenderResourceContext *context) override;
    /// One message of the game side (particle_messages.h). See RenderObject.
    void apply_message(u32 kind, const u8 *payload, u32 payload_bytes) override;
    /// The live effects' materials. See RenderObject
    void refresh_shaders() override;

    /// The per-world-update step (see the top). `context` (may be null) takes the
    /// resources of new emitters and releases those of leaving effects.
    void update_from_world(f32 dt, RenderResourceContext *context);
    /// Builds every live effect's vertices for the view's camera (the job
    /// "particle_vertex_job" on the pool, one item per effect, waited for here) and files
    /// their draws into `context` in live order, under the layers their shaders' passes
    /// name. The vertices come out the same whatever the worker count. Render thread.
    void render(const ParticleView &view, RenderContext &context);

    u32 live_count() const { return _live.size(); }
    /// The live effect `id`, or null.
    ParticleEffect *find(u32 id) const;
    ParticleEffect *live(u32 i) const { return _live[i]; }
    /// Number of material tables kept.
    u32 material_table_count() const { return _tables.size(); }
    /// Hash of every live effect's state in live-array order.
    u64 state_hash() const;

  private:
    struct Link {
        u32 id;
        u32 scene_graph;
        u32 node;
        ParticleLinkPolicy policy;
        Matrix4x4 offset;
    };
    struct Move {
        u32 id;
        Matrix4x4 pose;
    };
    struct Table {
        explicit Table(Allocator &allocator) : pairs(allocator) {}
        u64 name = 0;
        Array<ParticleMaterialPair> pairs; // sorted by name
    };

    void create_effect(const ParticleCreateMessage &m);
    void reload(const ParticleReloadMessage &m);
    void set_heights(const u8 *payload, u32 payload_bytes);
    void set_materials(const u8 *payload, u32 payload_bytes);
    const Table *table(u64 name) const;
    const MaterialEntry *material(u64 name, u32 material) const;
    bool contains(const Array<u32> &ids, u32 id) const;
    void apply_links();
    void make_resources(ParticleEffect &effect, RenderResourceContext &context);
    ShaderManager *shaders() const;

    TraceAllocator _allocator;
    ThreadPool *_pool;
    ShaderManager *_shaders;
    ParticleFeedback *_feedback;
    RenderWorld *_render_world = nullptr;
    u32 _seed = 0x2545F491u; // advanced once per created effect
    Array<ParticleEffect *> _live;
    Array<ParticleEffect *> _to_free;   // finished or destroyed: reported gone when freed
    Array<ParticleEffect *> _replaced;  // replaced by a reload (their ids live on)
    Array<u32> _destroy_ids;
    Array<u32> _stop_ids;
    Array<Move> _moves;
    Array<Link> _links;
    Array<Table *> _tables;
    Array<u8> _gathered; // feedback of one update, in live order
};

} // namespace tallow
