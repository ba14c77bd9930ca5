#include "sound/vorbis_stream.h"

#include "foundation/log.h"
#include "sound/ogg_headers.h"

#define STB_VORBIS_HEADER_ONLY 1
#define STB_VORBIS_NO_STDIO 1
#define STB_VORBIS_NO_PUSHDATA_API 1
#include <stb/stb_vorbis.h>

#include <cstring>

namespace tallow {

namespace {

constexpr u32 first_decoder_bytes = 256u << 10;

} // namespace

VorbisPingPongDecoder::VorbisPingPongDecoder(Allocator &parent, Allocator &buffers, bool looping)
    : _decoder_allocator("vorbis_decoder", parent), _buffers(buffers), _looping(looping)
{
}

VorbisPingPongDecoder *VorbisPingPongDecoder::create(Allocator &parent, Allocator &buffers, const SoundData &data,
                                                     f32 block_seconds, bool looping)
{
    auto *decoder = make_new<VorbisPingPongDecoder>(buffers, parent, buffers, looping);
    if (!decoder)
        return nullptr;
    if (!decoder->open(data, block_seconds)) {
        delete_with_allocator(buffers, decoder);
        return nullptr;
    }
    return decoder;
}

bool VorbisPingPongDecoder::open(const SoundData &data, f32 block_seconds)
{
    if (data.size_bytes >= 0x80000000u) {
        log_message("sound", "Vorbis data of %u bytes is too large to stream", data.size_bytes);
        return false;
    }
    const char *reason = nullptr;
    if (!check_vorbis_headers(data.data, data.size_bytes, &reason)) {
        log_message("sound", "Vorbis data is broken (%s); not played", reason);
        return false;
    }
    // The decoder keeps its tables at the front of one block and its per-call scratch at
    // the back; grow the block until the stream's tables fit.
    for (u32 size = first_decoder_bytes; size <= max_decoder_bytes; size *= 2) {
        _decoder_memory = _decoder_allocator.allocate(size, 16);
        if (!_decoder_memory) {
            log_message("sound", "no memory for a Vorbis decoder (%u bytes)", size);
            return false;
        }
        stb_vorbis_alloc alloc{static_cast<char *>(_decoder_memory), int(size)};
        int error = 0;
        _vorbis = stb_vorbis_open_memory(data.data, int(data.size_bytes), &error, &alloc);
        if (_vorbis)
            break;
        _decoder_allocator.deallocate(_decoder_memory);
        _decoder_memory = nullptr;
        if (error != VORBIS_outofmem) {
            log_message("sound", "Vorbis data does not open (error %d); not played", error);
            return false;
        }
    }
    if (!_vorbis) {
        log_message("sound", "a Vorbis stream needs more than %u bytes of decoder memory; not played", max_decoder_bytes);
        return false;
    }
    stb_vorbis_info info = stb_vorbis_get_info(_vorbis);
    if (info.channels < 1 || info.channels > 8 || info.sample_rate < 8000 || info.sample_rate > 192000) {
        log_message("sound", "a Vorbis stream of %d channels at %u Hz is not played", info.channels, info.sample_rate);
        return false;
    }
    _format.format_tag = audio::wave_format_pcm;
    _format.channels = u16(info.channels);
    _format.samples_per_second = info.sample_rate;
    _format.average_bytes_per_second = 2 * u32(info.channels) * info.sample_rate;
    _format.block_align = u16(2 * info.channels);
    _format.bits_per_sample = 16;
    _format.extra_size = 0;
    f32 seconds = block_seconds > 0 && block_seconds <= 10.0f ? block_seconds : 0.1f;
    _samples_per_block = u32(f32(info.sample_rate) * seconds);
    if (_samples_per_block == 0)
        _samples_per_block = 1;
    u64 bytes = u64(2) * u32(info.channels) * _samples_per_block + sound_head_size_bytes;
    for (u8 *&block : _blocks) {
        block = static_cast<u8 *>(_buffers.allocate(bytes, 4));
        if (!block) {
            log_message("sound", "no memory for the blocks of a Vorbis stream");
            return false;
        }
        memset(block, 0, sound_head_size_bytes);
    }
    return true;
}

VorbisPingPongDecoder::~VorbisPingPongDecoder()
{
    for (u8 *block : _blocks)
        _buffers.deallocate(block);
    if (_vorbis)
        stb_vorbis_close(_vorbis);
    _decoder_allocator.deallocate(_decoder_memory);
}

const u8 *VorbisPingPongDecoder::fill()
{
    u8 *block = _blocks[_next];
    _next ^= 1;
    u32 offset = sound_head_size_bytes;
    memcpy(block, &offset, 4);
    audio::write_wave_format(_format, block + sound_format_offset);
    short *samples = reinterpret_cast<short *>(block + sound_head_size_bytes);
    int channels = _format.channels;
    int wanted = int(_samples_per_block) * channels;
    int got = stb_vorbis_get_samples_short_interleaved(_vorbis, channels, samples, wanted);
    if (got == 0 && _looping) {
        stb_vorbis_seek_start(_vorbis);
        got = stb_vorbis_get_samples_short_interleaved(_vorbis, channels, samples, wanted);
    }
    if (got <= 0)
        return nullptr;
    u32 size = u32(got) * u32(channels) * 2;
    memcpy(block + 4, &size, 4);
    return block;
}

} // namespace tallow
