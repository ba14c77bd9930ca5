#include "world/services/world_particle_service.h"

#include "foundation/containers/hash_map.h"
#include "foundation/log.h"
#include "foundation/math/state_hasher.h"
#include "render/materials/material_resource.h"
#include "render/particles/particle_world.h"
#include "render/particles/render_particle_world.h"
#include "resource/resource_manager.h"
#include "world/levels/height_grid.h"
#include "world/units/scene_graph.h"
#include "world/units/unit.h"
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

// Effects read their "particles" resource (and the "material" resource of the same name)
// on the render side for as long as they live: the service holds both per name from the
// first effect until the render side reports the last one freed.
class ParticleService final : public IParticleWorld {
  public:
    ParticleService(const WorldServiceParams &p)
        : _world(p.world), _resources(p.resource_manager),
          _held{p.resource_manager, Array<HeldEffect>(p.allocator)}, _effect_data(p.allocator),
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
            else if (id == particle_gone_feedback && payload_size == sizeof(ParticleGoneRecord)) {
                ParticleGoneRecord r;
                memcpy(&r, record + 8, sizeof r);
                gone(r.id);
            }
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
        HeldEffect *held = hold(name, effect, materials);
        if (!held)
            return no_particle_effect;
        const void *data = held->effect.data;
        const u32 id = _particles.create_particles(name, *static_cast<const ParticleEffectResource *>(data),
                                                   static_cast<const MaterialResource *>(held->materials.data), pose);
        const u32 slot = _effect_data.find_or_insert(id);
        if (slot == HashMap<u32, const void *>::no_entry) {
            // Untracked, the data would never be let go of: end the effect at once.
            _particles.destroy_particles(id);
            _effect_data.erase(id);
            ++held->live;
            return id;
        }
        _effect_data.value(slot) = data;
        ++held->live;
        return id;
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
        if (!old_data || !new_data)
            return;
        _particles.post_reload(*old_data, *new_data);
        for (auto &e : _effect_data)
            if (e.value == old_data)
                e.value = new_data;
        // The live effects move to the new data: hold it in place of the old.
        // The old data goes once the render side has applied the reload: effects created
        // this frame still name it on their way there.
        if (_resources)
            for (HeldEffect &h : _held.list) {
                ResourceHold fresh;
                if (h.effect.data != old_data ||
                    !fresh.hold_data(*_resources, particles_type, NameId64::from_value(h.name), new_data))
                    continue;
                _world.release_after_render(h.effect);
                h.effect = fresh;
            }
    }
    void hash_state(StateHasher &hasher) const override
    {
        const RenderParticleWorld *side = _particles.render_object();
        hasher.add(side ? side->live_count() : 0u);
        hasher.add(side ? side->state_hash() : u64(0));
    }

  private:
    struct HeldEffect {
        u64 name;
        ResourceHold effect;
        ResourceHold materials;
        u32 live; // effects made and not yet reported freed
    };
    // Declared before the particle world, so it lets go only once the effects are gone.
    struct HeldEffects {
        ResourceManager *resources;
        Array<HeldEffect> list;
        ~HeldEffects()
        {
            for (HeldEffect &h : list) {
                h.effect.release(*resources);
                h.materials.release(*resources);
            }
        }
    };

    /// The held data of `name`, holding it when no effect of it is live; null when it
    /// cannot be held. Data handed in from elsewhere (no manager) is not held.
    HeldEffect *hold(u64 name, const void *effect, const void *materials)
    {
        for (HeldEffect &h : _held.list)
            if (h.name == name && (h.effect.data == effect || !_resources))
                return &h;
        HeldEffect h{name, {}, {}, 0};
        if (_resources) {
            if (!h.effect.hold_data(*_resources, particles_type, NameId64::from_value(name), effect))
                return nullptr;
            if (materials)
                h.materials.hold_data(*_resources, material_type, NameId64::from_value(name), materials);
        } else {
            h.effect.data = effect;
            h.materials.data = materials;
        }
        if (!_held.list.push_back(h)) {
            if (_resources) {
                h.effect.release(*_resources);
                h.materials.release(*_resources);
            }
            return nullptr;
        }
        // A new table goes with the first effect: the render side may keep one whose
        // materials were let go.
        _particles.forget_material_table(name);
        return &_held.list.back();
    }

    void gone(u32 id)
    {
        const u32 slot = _effect_data.find(id);
        if (slot == HashMap<u32, const void *>::no_entry)
            return;
        const void *effect = _effect_data.value(slot);
        _effect_data.erase(id);
        for (u32 i = 0; i < _held.list.size(); ++i) {
            HeldEffect &h = _held.list[i];
            if (h.effect.data != effect || h.live == 0)
                continue;
            if (--h.live == 0) {
                if (_resources) {
                    h.effect.release(*_resources);
                    h.materials.release(*_resources);
                }
                _held.list[i] = _held.list.back();
                _held.list.pop_back();
            }
            return;
        }
    }

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
    HeldEffects _held;
    HashMap<u32, const void *> _effect_data; // live effect id -> the "particles" data it plays
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
