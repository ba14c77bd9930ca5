#include "sound/world_sound_service.h"

#include "foundation/log.h"
#include "resource/resource_manager.h"
#include "sound/sound_world.h"
#include "world/units/scene_graph.h"
#include "world/units/unit.h"
#include "world/world.h"

namespace tallow {

namespace {

bool unit_node_pose(void *context, u32 unit_handle, u32 node, Matrix4x4 &out)
{
    Unit *unit = static_cast<World *>(context)->unit(unit_handle);
    if (!unit || node >= unit->scene_graph().node_count())
        return false;
    out = unit->scene_graph().world_pose(node);
    return true;
}

// A playing sound reads its "wav" resource (a sample voice its PCM, a stream its Vorbis
// bytes) until its source and decoder are gone: the service holds the resource per source
// and lets go once the sound world no longer uses it (checked after each update).
class SoundService final : public ISoundWorld {
  public:
    SoundService(const WorldServiceParams &params, const SoundSettings &settings)
        : _resources(params.resource_manager), _links{&params.world, unit_node_pose},
          _held{params.resource_manager, Array<HeldSound>(params.allocator)},
          _sounds(params.allocator, settings, params.sound_disabled, &_links)
    {
    }

    bool is_available() const override { return true; }
    void update(f32) override
    {
        _sounds.update();
        release_unused();
    }
    u32 play(u64 name, bool looping, u32 bus) override
    {
        const SoundResource *wav = find(wav_type, name);
        if (!wav && _sounds.has_device())
            log_message("sound", "sound %016llx is not loaded; not played", (unsigned long long)name);
        u32 id = _sounds.play(wav, looping, bus);
        if (id && _resources) {
            HeldSound held{id, {}};
            if (held.hold.hold_data(*_resources, wav_type, NameId64::from_value(name), wav) &&
                !_held.list.push_back(held)) {
                // Nothing would let go of it: the sound cannot play without its data held.
                held.hold.release(*_resources);
                _sounds.stop(id);
                return no_sound_source;
            }
        }
        return id ? id : no_sound_source;
    }
    void stop(u32 id) override { _sounds.stop(id); }
    void set_source_range(u32 id, f32 range) override { _sounds.set_source_range(id, range); }
    void set_source_volume(u32 id, f32 volume) override { _sounds.set_source_volume(id, volume); }
    void set_source_pose(u32 id, const Matrix4x4 &pose) override { _sounds.set_source_pose(id, pose); }
    void link_source(u32 id, UnitHandle unit, u32 node) override { _sounds.link_source(id, unit, node); }
    void set_listener(const Matrix4x4 &pose) override { _sounds.set_listener(pose); }
    void set_bus_volume(u32 bus, f32 volume) override { _sounds.set_bus_volume(bus, volume); }
    bool set_environment(u64 name) override
    {
        const SoundResource *environment = find(sound_environment_type, name);
        _sounds.set_environment(environment);
        return environment != nullptr;
    }

    SoundWorld &sounds() { return _sounds; }

  private:
    struct HeldSound {
        u32 id;
        ResourceHold hold;
    };
    // Declared before the sound world, so it lets go only once every source is gone.
    struct HeldSounds {
        ResourceManager *resources;
        Array<HeldSound> list;
        ~HeldSounds()
        {
            for (HeldSound &h : list)
                h.hold.release(*resources);
        }
    };
    void release_unused()
    {
        Array<HeldSound> &list = _held.list;
        for (u32 i = 0; i < list.size();) {
            if (_sounds.is_using(list[i].id)) {
                ++i;
                continue;
            }
            list[i].hold.release(*_resources);
            list[i] = list.back();
            list.pop_back();
        }
    }

    const SoundResource *find(NameId64 type, u64 name) const
    {
        return _resources ? static_cast<const SoundResource *>(_resources->get(type, NameId64::from_value(name)))
                          : nullptr;
    }

    ResourceManager *_resources;
    SoundLinkResolver _links;
    HeldSounds _held; // the "wav" resources of live sources
    SoundWorld _sounds;
};

ISoundWorld *make_service(const WorldServiceParams &params, audio::AudioOutputKind output)
{
    SoundSettings settings;
    settings.output = output;
    return make_new<SoundService>(params.allocator, params, settings);
}

} // namespace

ISoundWorld *create_sound_service(const WorldServiceParams &params)
{
    return make_service(params, audio::AudioOutputKind::Sdl);
}

ISoundWorld *create_manual_sound_service(const WorldServiceParams &params)
{
    return make_service(params, audio::AudioOutputKind::Manual);
}

SoundWorld *sound_world_of(ISoundWorld &service)
{
    auto *s = dynamic_cast<SoundService *>(&service);
    return s ? &s->sounds() : nullptr;
}

} // namespace tallow
