#pragma once
// Compiles a sound environment source (config text) into the "sound_environment" resource: the
// 52-byte I3DL2 reverb block a world's sound takes (platform/audio/audio_reverb.h,
// World.set_sound_environment).
//
// Source layout (every key optional; a key left out takes the default shown):
//
//   wet_dry_mix = 100          // percent of the reverb in the output, 0 to 100
//   room = -1000               // mB, -10000 to 0: the room effect's level
//   room_hf = -100             // mB, -10000 to 0: its level at hf_reference
//   room_rolloff_factor = 0    // 0 to 10
//   decay_time = 1.49          // s, 0.1 to 20: the tail falls 60 dB in this time
//   decay_hf_ratio = 0.83      // 0.1 to 2: the high end's decay time to the low end's
//   reflections = -2602        // mB, -10000 to 1000: the early reflections' level
//   reflections_delay = 0.007  // s, 0 to 0.3
//   reverb = 200               // mB, -10000 to 2000: the tail's level
//   reverb_delay = 0.011       // s, 0 to 0.1: from the reflections to the tail
//   diffusion = 100            // percent, 0 to 100
//   density = 100              // percent, 0 to 100
//   hf_reference = 5000        // Hz, 20 to 20000
//
// A key the layout does not have, a value that is not a number or lies outside its range is
// an error with its line. A source of exactly 52 bytes that is not text (the block written by
// hand, as before this compiler) is taken as it is.
//
// Tool code: single-threaded.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

/// Compiles a source; false with `error` ("<line>: <what>" where a line is known).
bool compile_sound_environment_source(const char *text, u64 size_bytes, std::vector<u8> &out, std::string &error);

} // namespace tallow
