#pragma once
// The game side of a World's particles: effect ids and the messages that carry every
// request to the world's RenderParticleWorld through the state stream, and the feedback
// the render side hands back.
//
//   ParticleWorld particles(allocator, render_world, link, pool, nullptr);
//   u32 id = particles.create_particles(name, effect, materials, pose);   // main thread
//   particles.link_particles(id, graph_handle, node, offset, ParticleLinkPolicy::Stop);
//   Array<u8> records(temp); particles.take_feedback(records);            // once per update
//
// Main thread only (the feedback buffer is the one shared piece, under its own lock). The
// effect data passed in must stay loaded while effects of it play (the world's particle
// service holds it until a particle_gone_feedback record says the last one is freed); a
// reload hands the new data over with post_reload, after the render side has gone idle.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/trace_allocator.h"
#include "render/particles/particle_messages.h"

namespace tallow {

class MaterialResource;
class ParticleFeedback;
class RenderParticleWorld;
class RenderWorld;
class ShaderManager;
class ThreadPool;
class WorldRenderLink;

class ParticleWorld {
  public:
    /// Files a RenderParticleWorld with `render_world` through `link`.
    ParticleWorld(Allocator &allocator, RenderWorld &render_world, WorldRenderLink &link, ThreadPool *pool,
                  ShaderManager *shaders);
    /// Sends the render object's destroy record and drops this side's feedback reference.
    ~ParticleWorld();
    ParticleWorld(const ParticleWorld &) = delete;
    ParticleWorld &operator=(const ParticleWorld &) = delete;

    /// False when the render object could not be filed (every call then does nothing).
    bool is_valid() const { return _handle != 0xFFFFFFFFu; }

    /// A new effect of `effect` (the "particles" resource `name`) at `pose`. The first
    /// effect of a name sends its material table (from `materials`, may be null). Returns
    /// the effect's id.
    u32 create_particles(u64 name, const ParticleEffectResource &effect, const MaterialResource *materials,
                         const Matrix4x4 &pose);
    void destroy_particles(u32 id);
    void stop_spawning(u32 id);
    void move_particles(u32 id, const Matrix4x4 &pose);
    /// Follows `node` of the scene graph with render handle `scene_graph`.
    void link_particles(u32 id, u32 scene_graph, u32 node, const Matrix4x4 &offset, ParticleLinkPolicy policy);
    /// The next effect of `name` sends its material table again (the game side let go of
    /// the material resource the last table pointed into).
    void forget_material_table(u64 name);
    /// Live effects of `old_effect` restart on `new_effect`, keeping ids and poses.
    void post_reload(const ParticleEffectResource &old_effect, const ParticleEffectResource &new_effect);
    /// The heights the game side measured for a grid request (n x n f32, row by row).
    void send_heights(const ParticleGridRequest &request, const f32 *heights);
    /// Appends the render side's records to `out` and empties its buffer.
    void take_feedback(Array<u8> &out);

    /// The render side's object (render thread only; tests).
    RenderParticleWorld *render_object() const { return _render; }
    u32 handle() const { return _handle; }

  private:
    template <typename T> void send(ParticleMessage kind, T &message);

    TraceAllocator _allocator;
    WorldRenderLink &_link;
    RenderWorld &_render_world;
    ParticleFeedback *_feedback;
    RenderParticleWorld *_render = nullptr;
    u32 _handle = 0xFFFFFFFFu;
    u32 _next_id = 0;
    Array<u64> _tables_sent; // names whose material table went across
};

} // namespace tallow
