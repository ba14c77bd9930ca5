#include "world/world_particle_service.h"

#include "foundation/log.h"
#include "foundation/math/state_hasher.h"
#include "render/materials/material_resource.h"
#include "render/particles/particle_world.h"
#include "render/particles/render_particle_world.h"
#include "resource/resource_manager.h"
#include "world/height_grid.h"
#include "world/scene_graph.h"
#include "world/unit.h"
#include "world/world.h"
#include "world/world_events.h"

#include <atomic>
#include <cstring>

namespace tallow {

namespace {

const NameId64 particles_type("particles");
const NameId64 material_type("material");
/// Trail lines of effects are drawn yellow.
constexpr u32 particle_trail_color = 0xFFFFFF00u;

class ParticleService final : public IParticleWorld {
  public:
    ParticleService(const WorldServiceParams &p)
        : _world(p.world), _resources(p.resource_manager),
          _particles(p.allocator, *p.render_world, *p.render_link, p.thread_pool, nullptr), _feedback(p.allocator),
          _grid(p.allocator)
    {
    }

    bool is_available() const override { return true; }
    ParticleWorld &particles() { return _particles; }

    void update(f32) override
    {
        _feedback.clear();
        _particles.take_feedback(_feedback);
        walk_world_events(_feedback, [&](u32 id, const u8 *record, u32 payload_size) {
            ParticleGridRequest request;
            if (id == particle_grid_feedback && read_world_event(record, payload_size, request))
                answer(request);
            else if (id == particle_trail_feedback && _world.world_line_object(2))
                add_line_pairs(*_world.world_line_object(2), particle_trail_color, record + 8, payload_size);
        });
    }

    u32 create_particles(u64 name, const Matrix4x4 &pose) override
    {
        const void *effect = _resources ? _resources->get(particles_type, NameId64::from_value(name)) : nullptr;
        if (!effect) {
            log_message("particles", "particles %016llx is not loaded; no effect made", (unsigned long long)name);
            return no_particle_effect;
        }
        const void *materials =
            _resources && _resources->can_get(material_type, NameId64::from_value(name))
                ? _resources->get(material_type, NameId64::from_value(name))
                : nullptr;
        return _particles.create_particles(name, *static_cast<const ParticleEffectResource *>(effect),
                                           static_cast<const MaterialResource *>(materials), pose);
    }
    void link_particles(u32 id, UnitHandle unit, u32 node, const Matrix4x4 &offset, u32 policy) override
    {
        Unit *u = _world.unit(unit);
        if (!u || id == no_particle_effect || policy > 2)
            return;
        _particles.link_particles(id, u->scene_graph().render_handle(), node, offset, ParticleLinkPolicy(policy));
    }
    void stop_spawning(u32 id) override { _particles.stop_spawning(id); }
    void destroy_particles(u32 id) override { _particles.destroy_particles(id); }
    void move_particles(u32 id, const Matrix4x4 &pose) override { _particles.move_particles(id, pose); }
    void post_reload(const ParticleEffectResource *old_data, const ParticleEffectResource *new_data) override
    {
        if (old_data && new_data)
            _particles.post_reload(*old_data, *new_data);
    }
    void hash_state(StateHasher &hasher) const override
    {
        const RenderParticleWorld *side = _particles.render_object();
        hasher.add(side ? side->live_count() : 0u);
        hasher.add(side ? side->state_hash() : u64(0));
    }

  private:
    // Fills a copy of the requested grid with physics rays and sends the heights back.
    void answer(const ParticleGridRequest &request)
    {
        const u32 n = request.header.n;
        if (n < 2 || n > height_grid_max_points)
            return;
        _grid.resize(u32(height_grid_bytes(n)));
        if (_grid.size() != height_grid_bytes(n))
            return;
        HeightGridHeader header{request.header.origin_x, request.header.origin_y, request.header.spacing, n,
                                height_grid_header_bytes};
        memcpy(_grid.data(), &header, sizeof header);
        if (!height_grid_build(_grid.data(), _grid.size(), _world.physics(), request.start_z))
            return;
        _particles.send_heights(request, height_grid_heights(_grid.data()));
    }

    World &_world;
    ResourceManager *_resources;
    ParticleWorld _particles;
    Array<u8> _feedback;
    Array<u8> _grid;
};

} // namespace

IParticleWorld *create_particle_service(const WorldServiceParams &params)
{
    if (params.render_world && params.render_link) {
        ParticleService *service = make_new<ParticleService>(params.allocator, params);
        if (service && service->particles().is_valid())
            return service;
        delete_with_allocator(params.allocator, service);
    }
    return create_null_particle_world(params);
}

ParticleWorld *particle_world_of(IParticleWorld &service)
{
    return service.is_available() ? &static_cast<ParticleService &>(service).particles() : nullptr;
}

} // namespace tallow
