#include "sound/sound_world.h"

#include "foundation/log.h"
#include "platform/audio/audio_reverb.h"
#include "sound/vorbis_stream.h"

namespace tallow {

namespace {

template <typename T> bool has_room(Array<T> &a)
{
    a.reserve(a.size() + 1);
    return a.capacity() > a.size();
}

} // namespace

SoundWorld::SoundWorld(Allocator &parent, const SoundSettings &settings, bool disabled, const SoundLinkResolver *links)
    : _allocator("sound_world", parent), _index_by_id(_allocator), _sources(_allocator), _started(_allocator),
      _links(_allocator), _streams(_allocator), _bus_volumes(_allocator)
{
    if (links)
        _resolver = *links;
    if (disabled)
        return;
    _device = make_new<SoundDevice>(_allocator, _allocator, settings);
    if (_device && !_device->init()) {
        // A partial start: the device frees whatever it made.
        _device->shutdown();
        delete_with_allocator(_allocator, _device);
        _device = nullptr;
    }
}

SoundWorld::~SoundWorld()
{
    if (_device) {
        for (SoundSource *s : _sources)
            _device->destroy_source(s);
        _sources.clear();
        _device->shutdown();
        delete_with_allocator(_allocator, _device);
        _device = nullptr;
    }
    // Streams go after the voices that read their blocks.
    for (StreamEntry &e : _streams)
        delete_with_allocator(_allocator, e.decoder);
    _streams.clear();
}

SoundSource *SoundWorld::source(u32 id)
{
    u32 i = _index_by_id.find(id);
    return i == decltype(_index_by_id)::no_entry ? nullptr : _sources[_index_by_id.value(i)];
}

u32 SoundWorld::give_id(SoundSource *source)
{
    u32 id = ++_last_id;
    if (id == 0)
        id = ++_last_id; // after 2^32 plays: 0 stays "none"
    u32 entry = _index_by_id.find_or_insert(id);
    if (entry == decltype(_index_by_id)::no_entry || !_sources.push_back(source)) {
        if (entry != decltype(_index_by_id)::no_entry)
            _index_by_id.erase(id);
        return 0;
    }
    _index_by_id.value(entry) = _sources.size() - 1;
    source->id = id;
    return id;
}

void SoundWorld::drop_id(u32 id)
{
    u32 entry = _index_by_id.find(id);
    if (entry == decltype(_index_by_id)::no_entry)
        return;
    u32 index = _index_by_id.value(entry);
    u32 last = _sources.size() - 1;
    if (index != last) {
        _sources[index] = _sources[last];
        _index_by_id.value(_index_by_id.find(_sources[index]->id)) = index;
    }
    _sources.pop_back();
    _index_by_id.erase(id);
}

u32 SoundWorld::play(const SoundResource *resource, bool looping, u32 bus)
{
    if (!_device)
        return 0;
    if (!resource) {
        log_message("sound", "a sound that is not loaded is not played");
        return 0;
    }
    SoundData data;
    const char *reason = nullptr;
    if (!read_sound_data(*resource, data, &reason)) {
        log_message("sound", "a broken sound (%s) is not played", reason);
        return 0;
    }
    if (bus == 0)
        bus = data.default_bus;
    // Room first, so a full table fails before a voice or decoder exists.
    if (!has_room(_sources) || !has_room(_started) || !has_room(_streams)) {
        log_message("sound", "no memory for another sound");
        return 0;
    }
    SoundSource *source = nullptr;
    VorbisPingPongDecoder *decoder = nullptr;
    if (data.is_vorbis()) {
        decoder = VorbisPingPongDecoder::create(_allocator, _allocator, data, stream_block_seconds, looping);
        if (!decoder)
            return 0;
        source = _device->create_stream_source(decoder->format());
    } else {
        source = _device->create_sample_source(data, looping);
    }
    u32 id = source ? give_id(source) : 0;
    if (!id) {
        _device->destroy_source(source);
        delete_with_allocator(_allocator, decoder);
        return 0;
    }
    if (decoder)
        (void)_streams.push_back({id, decoder});
    source->bus = bus;
    source->bus_volume = bus_volume(bus);
    (void)_started.push_back(id);
    return id;
}

bool SoundWorld::is_using(u32 id) const
{
    if (_index_by_id.find(id) != HashMap<u32, u32>::no_entry)
        return true;
    for (const StreamEntry &e : _streams)
        if (e.id == id)
            return true;
    return false;
}

void SoundWorld::stop(u32 id)
{
    SoundSource *s = source(id);
    if (!s)
        return;
    drop_id(id);
    _device->destroy_source(s);
}

void SoundWorld::set_source_pose(u32 id, const Matrix4x4 &pose)
{
    if (SoundSource *s = source(id)) {
        s->pose = pose;
        s->positional = true;
    }
}

void SoundWorld::set_source_range(u32 id, f32 range)
{
    if (SoundSource *s = source(id))
        s->range = range;
}

void SoundWorld::set_source_volume(u32 id, f32 volume)
{
    if (SoundSource *s = source(id))
        s->volume = volume;
}

void SoundWorld::link_source(u32 id, u32 unit, u32 node)
{
    if (!_device)
        return;
    if (!_links.push_back({id, unit, node}))
        log_message("sound", "no memory to link sound %u to a unit", id);
}

f32 SoundWorld::bus_volume(u32 bus) const
{
    u32 i = _bus_volumes.find_index(bus);
    return i == _bus_volumes.size() ? 1.0f : _bus_volumes.value(i);
}

void SoundWorld::set_bus_volume(u32 bus, f32 volume)
{
    f32 current = bus_volume(bus);
    if (volume == current)
        return;
    if (volume == 1.0f)
        (void)_bus_volumes.erase(bus);
    else if (!_bus_volumes.insert(bus, volume))
        return; // logged by the map; the buses keep their volume
    for (SoundSource *s : _sources)
        if (s->bus == bus)
            s->bus_volume = volume;
}

void SoundWorld::set_environment(const SoundResource *environment)
{
    if (!_device || !environment)
        return;
    if (environment->size_bytes != audio::i3dl2_reverb_size_bytes) {
        log_message("sound", "a sound environment of %llu bytes is not 52; ignored",
                    (unsigned long long)environment->size_bytes);
        return;
    }
    _device->set_reverb(environment->bytes);
}

void SoundWorld::update()
{
    if (!_device)
        return;
    // 1. Links: the node's pose now, through the unit's handle.
    for (u32 i = 0; i < _links.size();) {
        SourceLink &link = _links[i];
        SoundSource *s = source(link.id);
        Matrix4x4 pose;
        bool live = s && _resolver.world_pose && _resolver.world_pose(_resolver.context, link.unit, link.node, pose);
        if (!live) {
            link = _links.back();
            _links.pop_back();
            continue;
        }
        s->pose = pose;
        s->positional = true;
        ++i;
    }
    // 2. Streams: at most one block each, never more than two queued.
    for (u32 i = 0; i < _streams.size();) {
        StreamEntry &e = _streams[i];
        SoundSource *s = source(e.id);
        if (!s) {
            delete_with_allocator(_allocator, e.decoder);
            e = _streams.back();
            _streams.pop_back();
            continue;
        }
        if (!s->has_stream_ended() && s->queued_buffers() < 2) {
            const u8 *block = e.decoder->fill();
            if (!block || !s->submit(block))
                s->end_stream();
        }
        ++i;
    }
    // 3. Levels, before the starts below, so a sound never starts with default levels.
    for (SoundSource *s : _sources)
        s->update_3d(_listener);
    // 4. Starts.
    for (u32 id : _started)
        if (SoundSource *s = source(id))
            s->start();
    _started.clear();
    // 5. Finished sounds go.
    for (u32 i = 0; i < _sources.size();) {
        SoundSource *s = _sources[i];
        if (s->is_playing()) {
            ++i;
            continue;
        }
        drop_id(s->id);
        _device->destroy_source(s);
    }
}

bool SoundWorld::validate() const
{
    if (_index_by_id.size() != _sources.size())
        return false;
    for (u32 i = 0; i < _sources.size(); ++i) {
        u32 entry = _index_by_id.find(_sources[i]->id);
        if (entry == decltype(_index_by_id)::no_entry || _index_by_id.value(entry) != i)
            return false;
    }
    return true;
}

} // namespace tallow
