#include "render/particles/particle_world.h"

#include "foundation/log.h"
#include "render/materials/material_resource.h"
#include "render/particles/render_particle_world.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"

#include <cstring>

namespace tallow {

ParticleWorld::ParticleWorld(Allocator &allocator, RenderWorld &render_world, WorldRenderLink &link, ThreadPool *pool,
                             ShaderManager *shaders)
    : _allocator("particle_world", allocator), _link(link), _render_world(render_world),
      _feedback(ParticleFeedback::create(render_world.allocator())), _tables_sent(_allocator)
{
    if (!_feedback)
        return;
    _render = make_new<RenderParticleWorld>(render_world.allocator(), render_world.allocator(), pool, shaders,
                                            *_feedback);
    if (_render)
        _render->set_render_world(&render_world);
    render_world.create_object(link, _handle, _render);
    if (_handle == 0xFFFFFFFFu)
        _render = nullptr; // destroyed by create_object
}

ParticleWorld::~ParticleWorld()
{
    if (_handle != 0xFFFFFFFFu)
        _render_world.destroy_object(_link, _handle);
    if (_feedback)
        _feedback->release();
}

template <typename T> void ParticleWorld::send(ParticleMessage kind, T &message)
{
    if (!is_valid() || !_link.state())
        return;
    message.head.handle = _handle;
    if (!_link.state()->update_stream(0).write(u32(kind), message))
        log_message("particles", "no room for a particle message of kind %u; dropped", u32(kind));
}

u32 ParticleWorld::create_particles(u64 name, const ParticleEffectResource &effect, const MaterialResource *materials,
                                    const Matrix4x4 &pose)
{
    const u32 id = _next_id++;
    bool sent = false;
    for (u64 n : _tables_sent)
        sent = sent || n == name;
    // Without materials an empty table goes across: it replaces one the render side may
    // keep from effects of this name whose material resource is gone.
    if (!sent && is_valid() && _link.state()) {
        const u32 count = materials ? materials->entries.size() : 0;
        const u32 bytes = sizeof(ParticleMaterialsMessage) + count * sizeof(ParticleMaterialPair);
        u8 *payload = static_cast<u8 *>(_link.state()->update_stream(0).append(u32(ParticleMessage::Materials), bytes));
        if (payload) {
            ParticleMaterialsMessage m;
            m.head.handle = _handle;
            m.name = name;
            m.count = count;
            memcpy(payload, &m, sizeof m);
            for (u32 i = 0; i < count; ++i) {
                ParticleMaterialPair pair{materials->entries[i]->name, 0, materials->entries[i]};
                memcpy(payload + sizeof m + i * sizeof pair, &pair, sizeof pair);
            }
            _tables_sent.push_back(name);
        }
    }
    ParticleCreateMessage m;
    m.id = id;
    m.name = name;
    m.effect = &effect;
    m.pose = pose;
    send(ParticleMessage::Create, m);
    return id;
}

void ParticleWorld::destroy_particles(u32 id)
{
    ParticleIdMessage m;
    m.id = id;
    send(ParticleMessage::Destroy, m);
}

void ParticleWorld::stop_spawning(u32 id)
{
    ParticleIdMessage m;
    m.id = id;
    send(ParticleMessage::Stop, m);
}

void ParticleWorld::move_particles(u32 id, const Matrix4x4 &pose)
{
    ParticleMoveMessage m;
    m.id = id;
    m.pose = pose;
    send(ParticleMessage::Move, m);
}

void ParticleWorld::link_particles(u32 id, u32 scene_graph, u32 node, const Matrix4x4 &offset,
                                   ParticleLinkPolicy policy)
{
    ParticleLinkMessage m;
    m.id = id;
    m.scene_graph = scene_graph;
    m.node = node;
    m.policy = policy;
    m.offset = offset;
    send(ParticleMessage::Link, m);
}

void ParticleWorld::forget_material_table(u64 name)
{
    for (u32 i = 0; i < _tables_sent.size(); ++i)
        if (_tables_sent[i] == name) {
            _tables_sent[i] = _tables_sent.back();
            _tables_sent.pop_back();
            return;
        }
}

void ParticleWorld::post_reload(const ParticleEffectResource &old_effect, const ParticleEffectResource &new_effect)
{
    ParticleReloadMessage m;
    m.old_effect = &old_effect;
    m.new_effect = &new_effect;
    send(ParticleMessage::Reload, m);
}

void ParticleWorld::send_heights(const ParticleGridRequest &request, const f32 *heights)
{
    if (!is_valid() || !_link.state())
        return;
    const u32 n = request.header.n;
    const u64 bytes = sizeof(ParticleHeightsMessage) + u64(n) * n * 4;
    if (n < 2 || n > particle_grid_max_points)
        return;
    u8 *payload = static_cast<u8 *>(_link.state()->update_stream(0).append(u32(ParticleMessage::Heights), u32(bytes)));
    if (!payload)
        return;
    ParticleHeightsMessage m;
    m.head.handle = _handle;
    m.id = request.id;
    m.system = request.system;
    m.state_offset = request.state_offset;
    m.n = n;
    memcpy(payload, &m, sizeof m);
    memcpy(payload + sizeof m, heights, size_t(n) * n * 4);
}

void ParticleWorld::take_feedback(Array<u8> &out)
{
    if (_feedback)
        _feedback->take(out);
}

} // namespace tallow
