#pragma once
// One playing particle effect on the render side: its systems' particles, its emitters'
// vertices and billboard resources, and what one update asks of the game side.
//
//   ParticleEffect *e = ParticleEffect::create(allocator, resource, id, pose, seed);  // null: no memory
//   e->update(dt);                       // a "particle_world_job" item: one thread per effect
//   e->build_vertices(view.pose);        // a "particle_vertex_job" item: one thread per effect
//   e->emitter(k).draw(context, order, view);                           // render thread
//   if (e->is_finished()) ... ParticleEffect::destroy(e, resource_context);
//
// System memory is one zero-filled block per system, aligned to 16: the channels (capacity
// x bytes per particle), then the operators' state. An update walks its event buffer after
// every system has simulated: spawn requests spawn (while spawning is on), grid requests
// and trail lines go to the effect's feedback, which the render particle world hands on in
// the fixed order of its live effects.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "render/particles/particle_effect_resource.h"
#include "render/particles/particle_ops.h"
#include "render/resources/render_resource.h"

namespace tallow {

class RenderContext;
class RenderMaterial;
class RenderResourceContext;
class ShaderManager;
struct MaterialEntry;

/// One system's particles and operator state.
struct ParticleSystemInstance {
    const ParticleSystemInfo *info = nullptr;
    u8 *block = nullptr; // channels, then state; 16-aligned
    u32 live_count = 0;

    u8 *state() const { return block + size_t(info->capacity) * info->bytes_per_particle; }
    ParticleDataView view() { return {block, &live_count, info->capacity, info}; }
};

/// The channels of a system as the interpreters see them.
ParticleDataView particle_data_view(ParticleSystemInstance &instance);

/// One view's camera as particle draws need it.
struct ParticleView {
    Matrix4x4 pose = matrix4x4_identity;       // rows: right, forward, up, position
    Matrix4x4 view = matrix4x4_identity;       // the inverse of the pose
    Matrix4x4 projection = matrix4x4_identity;
    const u32 *texture_channels = nullptr;     // the render configuration's channel names
    u32 texture_channel_count = 0;
};

/// The shader template an emitter draws with: the material's template name, then ":PIVOT",
/// ":ROTATION" and ":VERTEX_COLOR" for the emitter's flags, in that order. Without name text
/// (material data that carries no names) the material's own template, and `out_named` false
/// when a suffix was asked for.
u32 particle_shader_template(const MaterialEntry &entry, u32 emitter_flags, bool *out_named = nullptr);

/// One billboard renderer of a system.
class ParticleEmitter {
  public:
    ParticleEmitter(Allocator &allocator, const ParticleEmitterInfo &info, ParticleSystemInstance &system);
    ~ParticleEmitter();
    ParticleEmitter(const ParticleEmitter &) = delete;
    ParticleEmitter &operator=(const ParticleEmitter &) = delete;

    /// Makes the material (from `entry` with the template particle_shader_template names,
    /// when both it and `shaders` are given: without them the emitter simulates but draws
    /// nothing) and the billboard resources. Render thread.
    bool init(RenderResourceContext &context, const MaterialEntry *entry, ShaderManager *shaders);
    /// Releases the resources and the material; safe when init never ran.
    void destroy(RenderResourceContext *context);
    /// Runs the output stream into the vertex array, then sorts back to front when the
    /// emitter asks (equal depths keep their order). `camera` rows: right, forward, up,
    /// position. Touches only this emitter's arrays and reads its system, so emitters build
    /// on any threads at once; the arrays are kept between builds (no allocation once they
    /// have reached the system's live count).
    void build_vertices(const Matrix4x4 &camera, f32 effect_time);
    /// One instanced draw of the 4-corner quad, one instance per vertex, filed for the
    /// passes of the material's shader (their layers) with `order` as its depth. The draw
    /// carries its own constants: the view's matrices (the particles are in world space),
    /// the camera values and the material's textures. Nothing without a material, resources
    /// or vertices. False when the context cannot take it.
    bool draw(RenderContext &context, f32 order, const ParticleView &view) const;
    /// The material's template (0 without a material).
    u32 shader_template() const;
    /// Instantiates the material's shaders again after the render configuration changed them.
    void refresh_shaders();

    const ParticleEmitterInfo &info() const { return *_info; }
    u32 vertex_count() const { return _vertex_count; }
    const u8 *vertices() const { return _vertices.data(); }
    bool has_resources() const { return _instances.resource.handle != invalid_render_handle; }
    const BufferDescription &corner_buffer() const { return _corners; }
    const BufferDescription &index_buffer() const { return _indices; }
    const BufferDescription &instance_buffer() const { return _instances; }
    const VertexDeclaration &declaration() const { return _declaration; }

  private:
    Allocator &_allocator;
    const ParticleEmitterInfo *_info;
    ParticleSystemInstance *_system;
    Array<u8> _vertices; // capacity x stride
    Array<u64> _sort_keys; // per vertex while sorting: farthest first, then vertex index (low 32 bits)
    u32 _vertex_count = 0;
    RenderMaterial *_material = nullptr;
    BufferDescription _corners;
    BufferDescription _indices;
    BufferDescription _instances;
    VertexDeclaration _declaration;
};

class ParticleEffect {
  public:
    /// Null when memory runs out (logged). `seed` is the effect's own seed.
    static ParticleEffect *create(Allocator &allocator, const ParticleEffectResource &resource, u64 name, u32 id,
                                  const Matrix4x4 &pose, u32 seed);
    /// Releases the emitters' resources through `context` (may be null) and frees the effect.
    static void destroy(ParticleEffect *effect, RenderResourceContext *context);

    /// One step: simulate every system, then spawn, then collect feedback. One thread.
    void update(f32 dt);
    /// Every emitter's vertices for `camera` (ParticleEmitter::build_vertices) at the
    /// effect's time. One thread per effect.
    void build_vertices(const Matrix4x4 &camera);
    /// True once older than its duration, or when spawning is off and no particle lives.
    bool is_finished() const;
    void set_pose(const Matrix4x4 &pose) { _pose = pose; }
    void stop_spawning() { _spawning = false; }
    /// Spawns up to `count` particles in `system` at `position` (the spawn request's work).
    void spawn(u32 system, Vector3 position, Vector3 velocity, u32 count);
    /// Copies the game side's n x n f32 heights (any alignment) into the grid at
    /// `state_offset` of `system`; false when nothing there matches (gone, another size).
    bool set_grid_heights(u32 system, u32 state_offset, u32 n, const void *heights);

    u32 id() const { return _id; }
    u64 name() const { return _name; }
    const ParticleEffectResource &resource() const { return *_resource; }
    const Matrix4x4 &pose() const { return _pose; }
    f32 time() const { return _time; }
    /// age / duration in [0, 1]; 1 for a duration of 0.
    f32 effect_time() const;
    u32 live_total() const { return _live_total; }
    bool is_spawning() const { return _spawning; }
    u32 system_count() const { return _systems.size(); }
    ParticleSystemInstance &system(u32 i) { return _systems[i]; }
    u32 emitter_count() const { return _emitters.size(); }
    ParticleEmitter &emitter(u32 i) { return *_emitters[i]; }
    /// The emitter's order value: later emitters and effects order slightly lower.
    f32 emitter_order(u32 i) const;
    /// Feedback records of the last update ({u32 size, u32 id, payload}); the owner empties it.
    Array<u8> &feedback() { return _feedback; }
    bool resources_made() const { return _resources_made; }
    void set_resources_made() { _resources_made = true; }
    /// Hash of every system's live channels and state, and the live counts (tests, determinism).
    u64 state_hash() const;

    /// Use create and destroy.
    ParticleEffect(Allocator &allocator, const ParticleEffectResource &resource, u64 name, u32 id,
                   const Matrix4x4 &pose, u32 seed);
    ~ParticleEffect();
    ParticleEffect(const ParticleEffect &) = delete;
    ParticleEffect &operator=(const ParticleEffect &) = delete;

  private:
    bool make_systems();

    Allocator &_allocator;
    const ParticleEffectResource *_resource;
    u64 _name;
    u32 _id;
    Matrix4x4 _pose;
    u32 _seed;
    f32 _time = 0;
    u32 _live_total = 0;
    bool _spawning = true;
    bool _resources_made = false;
    Array<ParticleSystemInstance> _systems;
    Array<ParticleEmitter *> _emitters;
    Array<u8> _events;
    Array<u8> _feedback;
};

} // namespace tallow
