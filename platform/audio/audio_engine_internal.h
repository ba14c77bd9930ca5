#pragma once
// Between the mixer and its SDL output (platform/audio/audio_sdl_output.cpp).

#include "platform/audio/audio_engine.h"

namespace tallow::audio {

/// Opens the process-wide SDL audio device, or takes another reference to it; fills the
/// device's channels and rate. False (logged) when SDL cannot open one.
bool open_sdl_output(const EngineParams &params, DeviceDetails &out_details);
/// Drops a reference taken by open_sdl_output for an engine that was never attached.
void close_sdl_output();
/// The device starts pulling `engine` (the reference of open_sdl_output now belongs to it).
bool attach_output(AudioEngine *engine);
/// Stops pulling `engine` and drops its reference; waits for a pull in progress. Nothing
/// for an engine that is not attached.
void detach_output(AudioEngine *engine);

} // namespace tallow::audio
