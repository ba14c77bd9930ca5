#pragma once
// Compiles sound source files into "wav" resources (layout in sound/sound_resource.h).
//
//   std::vector<u8> resource;
//   if (!compile_sound_source("sounds/wind.ogg", bytes, resource)) ... // logged
//
// Sources, chosen by the file's extension:
//   - ".wav": a RIFF WAVE file with a "fmt " chunk of 8 or 16-bit integer PCM or 32-bit
//     float, 1 to 8 channels, and a "data" chunk; other chunks are skipped. The data is
//     copied as it stands (whole frames; a trailing part frame is dropped).
//   - ".ogg": an Ogg Vorbis file, kept as it stands after a head whose format has tag
//     0x566F and the stream's channels and rate (read with stb_vorbis, which must open it).
// The default bus is the bus a sound plays on when the script names none (World.play_sound):
// `default_bus` is the NameId32 of its name, 0 for none. tallow_build_data takes it from an
// optional "<name>.sound" beside the sound file, config text naming it:
//
//   bus = "ambience"

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

bool compile_sound_source(const std::string &file_name, const std::vector<u8> &source, std::vector<u8> &out_resource,
                          u32 default_bus = 0);

} // namespace tallow
