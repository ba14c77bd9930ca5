#include "sound/sound_resource.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "platform/audio/audio_reverb.h"
#include "resource/resource_manager.h"

#include <cstring>

namespace tallow {

namespace {

u32 load_u32(const u8 *p)
{
    u32 v;
    memcpy(&v, p, 4);
    return v;
}

bool fail(const char **out_reason, const char *reason)
{
    if (out_reason)
        *out_reason = reason;
    return false;
}

// The loaded object and its bytes share one block: the record, then the bytes from 16 on.
constexpr u64 record_size = 32;
static_assert(sizeof(SoundResource) <= record_size);

void *load_sound(const ResourceLoadParams &params, bool environment)
{
    const char *kind = environment ? "sound_environment" : "wav";
    if (params.size_bytes > 0xFFFFFFFFu) {
        log_message("sound", "%s resource %016llx: %llu bytes is too large", kind,
                    (unsigned long long)params.name.value(), (unsigned long long)params.size_bytes);
        return nullptr;
    }
    u8 *block = static_cast<u8 *>(params.allocator.allocate(record_size + params.size_bytes, 16));
    if (!block) {
        log_message("sound", "%s resource %016llx: no memory for %llu bytes", kind, (unsigned long long)params.name.value(),
                    (unsigned long long)params.size_bytes);
        return nullptr;
    }
    auto *resource = new (block) SoundResource{block + record_size, params.size_bytes};
    if (!params.archive.read(block + record_size, params.size_bytes)) {
        log_message("sound", "%s resource %016llx: cannot read its bytes", kind, (unsigned long long)params.name.value());
        params.allocator.deallocate(block);
        return nullptr;
    }
    const char *reason = nullptr;
    SoundData data;
    bool ok = environment ? params.size_bytes == audio::i3dl2_reverb_size_bytes
                          : read_sound_data(*resource, data, &reason);
    if (!ok) {
        log_message("sound", "%s resource %016llx is broken (%s); not loaded", kind,
                    (unsigned long long)params.name.value(), environment ? "not 52 bytes" : reason);
        params.allocator.deallocate(block);
        return nullptr;
    }
    return resource;
}

void *load_wav(const ResourceLoadParams &params) { return load_sound(params, false); }
void *load_environment(const ResourceLoadParams &params) { return load_sound(params, true); }
void unload_sound(const ResourceUnloadParams &params) { params.allocator.deallocate(params.data); }

} // namespace

bool read_sound_data(const SoundResource &resource, SoundData &out, const char **out_reason)
{
    if (!resource.bytes || resource.size_bytes < sound_head_size_bytes)
        return fail(out_reason, "shorter than its 64-byte head");
    u32 offset = load_u32(resource.bytes);
    u32 size = load_u32(resource.bytes + 4);
    if (offset < sound_head_size_bytes || u64(offset) + size > resource.size_bytes)
        return fail(out_reason, "its data lies outside the resource");
    SoundData d;
    d.data = resource.bytes + offset;
    d.size_bytes = size;
    d.default_bus = load_u32(resource.bytes + 8);
    d.format = audio::read_wave_format(resource.bytes + sound_format_offset);
    if (d.is_vorbis()) {
        if (size >= 0x80000000u)
            return fail(out_reason, "Vorbis data of 2 GiB or more");
        if (size == 0)
            return fail(out_reason, "no Vorbis data");
    } else {
        if (!audio::is_supported_format(d.format))
            return fail(out_reason, "a wave format the mixer does not play");
        if (size == 0 || size % d.format.block_align != 0)
            return fail(out_reason, "PCM data that is not whole frames");
    }
    out = d;
    return true;
}

void register_sound_resource_types(ResourceManager &manager)
{
    ResourceTypeCallbacks wav;
    wav.load = load_wav;
    wav.unload = unload_sound;
    ResourceTypeCallbacks environment;
    environment.load = load_environment;
    environment.unload = unload_sound;
    (void)manager.register_type(wav_type, wav);
    (void)manager.register_type(sound_environment_type, environment);
}

} // namespace tallow
