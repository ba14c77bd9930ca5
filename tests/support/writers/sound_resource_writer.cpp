#include "tests/support/writers/sound_resource_writer.h"

#include <cstring>

namespace tallow::test {

namespace {

void put_u32(std::vector<u8> &out, u32 at, u32 v) { memcpy(out.data() + at, &v, 4); }

} // namespace

std::vector<u8> write_sound_resource(const audio::WaveFormat &format, const u8 *data, u32 size_bytes, u32 default_bus)
{
    std::vector<u8> out(64 + size_bytes, 0);
    put_u32(out, 0, 64);
    put_u32(out, 4, size_bytes);
    put_u32(out, 8, default_bus);
    audio::write_wave_format(format, out.data() + 44);
    if (size_bytes)
        memcpy(out.data() + 64, data, size_bytes);
    return out;
}

std::vector<u8> write_pcm16_resource(u16 channels, u32 rate, const std::vector<i16> &samples, u32 default_bus)
{
    audio::WaveFormat f;
    f.format_tag = audio::wave_format_pcm;
    f.channels = channels;
    f.samples_per_second = rate;
    f.block_align = u16(2 * channels);
    f.average_bytes_per_second = rate * f.block_align;
    f.bits_per_sample = 16;
    return write_sound_resource(f, reinterpret_cast<const u8 *>(samples.data()), u32(samples.size() * 2), default_bus);
}

std::vector<u8> write_float_resource(u16 channels, u32 rate, const std::vector<f32> &samples, u32 default_bus)
{
    audio::WaveFormat f;
    f.format_tag = audio::wave_format_float;
    f.channels = channels;
    f.samples_per_second = rate;
    f.block_align = u16(4 * channels);
    f.average_bytes_per_second = rate * f.block_align;
    f.bits_per_sample = 32;
    return write_sound_resource(f, reinterpret_cast<const u8 *>(samples.data()), u32(samples.size() * 4), default_bus);
}

std::vector<u8> write_vorbis_resource(const std::vector<u8> &ogg, u16 channels, u32 rate, u32 default_bus)
{
    audio::WaveFormat f;
    f.format_tag = 0x566F;
    f.channels = channels;
    f.samples_per_second = rate;
    f.block_align = 0;
    f.average_bytes_per_second = 0;
    f.bits_per_sample = 0;
    return write_sound_resource(f, ogg.data(), u32(ogg.size()), default_bus);
}

std::vector<u8> write_sound_environment(const audio::I3dl2Reverb &reverb)
{
    std::vector<u8> out(audio::i3dl2_reverb_size_bytes);
    audio::write_i3dl2_reverb(reverb, out.data());
    return out;
}

} // namespace tallow::test
