#pragma once
// The sounds playing in one world, known to scripts and flow graphs by 32-bit source ids
// (1, 2, ... never reused within a world; 0 is none).
//
//   SoundWorld sounds(allocator, settings, false, &links);   // links: see SoundLinkResolver
//   u32 id = sounds.play(wav, true, 0);    // 0: not played (no device, bad data, no voice)
//   sounds.set_source_range(id, 10);
//   sounds.update();                        // once per world update: links, streams, 3D
//                                           // levels, starts, removal of finished sounds
//   sounds.stop(id);
//
// A "wav" resource is played from memory (PCM) or streamed block by block (Ogg Vorbis).
// Each update gives a stream at most one new block and keeps at most two queued. Operations
// on an id that is not live do nothing. With sound disabled, or when the device does not
// start, play returns 0 and everything else does nothing. Main thread only.

#include "foundation/containers/array.h"
#include "foundation/containers/hash_map.h"
#include "foundation/containers/sort_map.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/trace_allocator.h"
#include "sound/sound_device.h"

namespace tallow {

class StreamSource;

/// How a link finds its unit's node: the world pose of `node` of the unit `unit` now, or
/// false when the unit is gone or has no such node (the link is then dropped). Asked
/// every update, so a unit whose scene graph was replaced is followed.
struct SoundLinkResolver {
    void *context = nullptr;
    bool (*world_pose)(void *context, u32 unit, u32 node, Matrix4x4 &out_pose) = nullptr;
};

class SoundWorld {
  public:
    static constexpr f32 stream_block_seconds = 0.1f;

    SoundWorld(Allocator &parent, const SoundSettings &settings, bool disabled, const SoundLinkResolver *links);
    ~SoundWorld();
    SoundWorld(const SoundWorld &) = delete;
    SoundWorld &operator=(const SoundWorld &) = delete;

    /// Plays a "wav" resource on `bus` (0: the resource's default bus). Returns the source
    /// id, or 0 when there is no device, no resource, the resource is broken or the
    /// sound cannot get a voice (logged).
    u32 play(const SoundResource *resource, bool looping, u32 bus);
    void stop(u32 id);
    /// Copies the pose and makes the source positional.
    void set_source_pose(u32 id, const Matrix4x4 &pose);
    void set_source_range(u32 id, f32 range);
    void set_source_volume(u32 id, f32 volume);
    /// The source follows `node` of `unit` from the next update on (the node is checked
    /// then, against the unit's graph of that moment).
    void link_source(u32 id, u32 unit, u32 node);
    void set_bus_volume(u32 bus, f32 volume);
    /// Sets the reverb from a "sound_environment" resource (52 bytes); null is ignored.
    void set_environment(const SoundResource *environment);
    void set_listener(const Matrix4x4 &pose) { _listener = pose; }
    const Matrix4x4 &listener() const { return _listener; }
    void update();

    bool has_device() const { return _device != nullptr; }
    SoundDevice *device() { return _device; }
    SoundSource *source(u32 id);
    /// True while anything of source `id` may still read its resource: the source, or its
    /// decoder (which goes at the update after the source).
    bool is_using(u32 id) const;
    u32 source_count() const { return _sources.size(); }
    u32 stream_count() const { return _streams.size(); }
    u32 link_count() const { return _links.size(); }
    f32 bus_volume(u32 bus) const;
    u32 listed_bus_count() const { return _bus_volumes.size(); }
    TraceAllocator &allocator() { return _allocator; }
    /// Checks the id table against the sources; tests and debug builds.
    bool validate() const;

  private:
    struct SourceLink {
        u32 id;
        u32 unit;
        u32 node;
    };
    struct StreamEntry {
        u32 id;
        StreamSource *decoder;
    };
    u32 give_id(SoundSource *source);
    void drop_id(u32 id);

    TraceAllocator _allocator;
    u32 _last_id = 0;
    HashMap<u32, u32> _index_by_id;
    Array<SoundSource *> _sources;
    Array<u32> _started;
    Matrix4x4 _listener = matrix4x4_identity;
    Array<SourceLink> _links;
    Array<StreamEntry> _streams;
    SoundDevice *_device = nullptr;
    SortMap<u32, f32> _bus_volumes; // only buses whose volume is not 1
    SoundLinkResolver _resolver;
};

} // namespace tallow
