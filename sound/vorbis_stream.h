#pragma once
// Streams: sound data produced block by block. The one kind decodes Ogg Vorbis held in
// memory into two alternating PCM blocks (the "wav" head layout: offset 64 at byte 0, size
// at byte 4, the format at byte 44, samples from byte 64).
//
//   VorbisPingPongDecoder *d = VorbisPingPongDecoder::create(parent, buffers, data, 0.1f, true);
//   while (source->queued_buffers() < 2)        // never more: the block being filled is
//       if (const u8 *block = d->fill())        // then never one the voice still holds
//           source->submit(block);
//
// The decoder's memory comes from a "vorbis_decoder" TraceAllocator over `parent` (one
// block, sized at open) and its two buffers from `buffers`; `fill` allocates nothing.
// Main thread (or any one thread at a time).

#include "foundation/memory/trace_allocator.h"
#include "platform/audio/audio_engine.h"
#include "sound/sound_resource.h"

struct stb_vorbis;

namespace tallow {

class StreamSource {
  public:
    virtual ~StreamSource() = default;
    /// The next filled data block, or null when the stream has no more data.
    virtual const u8 *fill() = 0;
};

class VorbisPingPongDecoder final : public StreamSource {
  public:
    static constexpr u32 max_decoder_bytes = 16u << 20;

    /// Null (logged) when the data does not open as Vorbis, has 0 or more than 8 channels,
    /// a rate outside 8000 to 192000 Hz, or memory runs out. `data` must outlive it.
    static VorbisPingPongDecoder *create(Allocator &parent, Allocator &buffers, const SoundData &data,
                                         f32 block_seconds, bool looping);
    ~VorbisPingPongDecoder() override;

    const u8 *fill() override; // See StreamSource

    const audio::WaveFormat &format() const { return _format; }
    u32 samples_per_block() const { return _samples_per_block; }
    TraceAllocator &decoder_allocator() { return _decoder_allocator; }

    VorbisPingPongDecoder(Allocator &parent, Allocator &buffers, bool looping);

  private:
    bool open(const SoundData &data, f32 block_seconds);

    TraceAllocator _decoder_allocator;
    Allocator &_buffers;
    stb_vorbis *_vorbis = nullptr;
    void *_decoder_memory = nullptr;
    audio::WaveFormat _format;
    u32 _samples_per_block = 0;
    bool _looping;
    u8 *_blocks[2] = {};
    u32 _next = 0;
};

} // namespace tallow
