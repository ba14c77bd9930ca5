#include "tools/sound/sound_compiler.h"

#include "foundation/log.h"
#include "platform/audio/audio_engine.h"
#include "tests/support/writers/sound_resource_writer.h"

#define STB_VORBIS_HEADER_ONLY 1
#define STB_VORBIS_NO_STDIO 1
#define STB_VORBIS_NO_PUSHDATA_API 1
#include <stb/stb_vorbis.h>

#include <cstring>

namespace tallow {

namespace {

u32 u32_at(const u8 *p)
{
    u32 v;
    memcpy(&v, p, 4);
    return v;
}

bool ends_with(const std::string &s, const char *suffix)
{
    size_t n = strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool compile_wave(const std::string &name, const std::vector<u8> &src, std::vector<u8> &out, u32 default_bus)
{
    if (src.size() < 12 || memcmp(src.data(), "RIFF", 4) != 0 || memcmp(src.data() + 8, "WAVE", 4) != 0) {
        log_message("sound_compiler", "%s: not a RIFF WAVE file", name.c_str());
        return false;
    }
    const u8 *fmt = nullptr;
    u32 fmt_size = 0;
    const u8 *data = nullptr;
    u32 data_size = 0;
    // Chunks: id, u32 size, bytes padded to an even count; each bounded by the file.
    u64 at = 12;
    while (at + 8 <= src.size()) {
        u32 size = u32_at(src.data() + at + 4);
        u64 body = at + 8;
        u64 available = src.size() - body;
        u32 kept = size > available ? u32(available) : size;
        if (memcmp(src.data() + at, "fmt ", 4) == 0) {
            fmt = src.data() + body;
            fmt_size = kept;
        } else if (memcmp(src.data() + at, "data", 4) == 0) {
            data = src.data() + body;
            data_size = kept;
        }
        at = body + u64(size) + (size & 1);
    }
    if (!fmt || fmt_size < 16 || !data) {
        log_message("sound_compiler", "%s: no \"fmt \" or \"data\" chunk", name.c_str());
        return false;
    }
    u8 packed[audio::wave_format_size_bytes] = {};
    memcpy(packed, fmt, 16);
    audio::WaveFormat format = audio::read_wave_format(packed);
    format.extra_size = 0;
    if (format.format_tag == 0xFFFE && fmt_size >= 40) {
        // The extensible form: the sub-format's first two bytes are the plain tag.
        u16 tag;
        memcpy(&tag, fmt + 24, 2);
        format.format_tag = tag;
    }
    if (!audio::is_supported_format(format)) {
        log_message("sound_compiler", "%s: %u channels of %u-bit format %u at %u Hz is not played", name.c_str(),
                    format.channels, format.bits_per_sample, format.format_tag, format.samples_per_second);
        return false;
    }
    u32 whole = data_size - data_size % format.block_align;
    if (whole == 0) {
        log_message("sound_compiler", "%s: no sound data", name.c_str());
        return false;
    }
    out = test::write_sound_resource(format, data, whole, default_bus);
    return true;
}

bool compile_vorbis(const std::string &name, const std::vector<u8> &src, std::vector<u8> &out, u32 default_bus)
{
    if (src.empty() || src.size() >= 0x80000000u) {
        log_message("sound_compiler", "%s: %zu bytes of Ogg Vorbis cannot be played", name.c_str(), src.size());
        return false;
    }
    int error = 0;
    stb_vorbis *v = stb_vorbis_open_memory(src.data(), int(src.size()), &error, nullptr);
    if (!v) {
        log_message("sound_compiler", "%s: not an Ogg Vorbis file (error %d)", name.c_str(), error);
        return false;
    }
    stb_vorbis_info info = stb_vorbis_get_info(v);
    stb_vorbis_close(v);
    if (info.channels < 1 || info.channels > 8 || info.sample_rate < 8000 || info.sample_rate > 192000) {
        log_message("sound_compiler", "%s: %d channels at %u Hz is not played", name.c_str(), info.channels,
                    info.sample_rate);
        return false;
    }
    out = test::write_vorbis_resource(src, u16(info.channels), info.sample_rate, default_bus);
    return true;
}

} // namespace

bool compile_sound_source(const std::string &file_name, const std::vector<u8> &source, std::vector<u8> &out_resource,
                          u32 default_bus)
{
    if (ends_with(file_name, ".ogg"))
        return compile_vorbis(file_name, source, out_resource, default_bus);
    if (ends_with(file_name, ".wav"))
        return compile_wave(file_name, source, out_resource, default_bus);
    log_message("sound_compiler", "%s: sound sources are .wav or .ogg files", file_name.c_str());
    return false;
}

} // namespace tallow
