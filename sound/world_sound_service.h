#pragma once
// The World's sound service: a SoundWorld whose sounds are "wav" resources found by name
// through the World's resource manager, and whose links follow units of that World.
//
//   WorldServiceFactories factories;
//   factories.sound = create_sound_service;          // SDL output
//   factories.sound = create_manual_sound_service;   // tests: nothing mixes until
//                                                     // sound_world_of(...)->device()->engine()->render
// The setting "sound" . "disabled" reaches it as WorldServiceParams::sound_disabled.
// Main thread only, like the World.

#include "world/services/world_services.h"

namespace tallow {

class SoundWorld;

/// A service whose device plays through the process-wide SDL audio device.
ISoundWorld *create_sound_service(const WorldServiceParams &params);
/// A service whose device has a manual output: 2 channels at 48 kHz, mixed only when a
/// test calls the engine's render.
ISoundWorld *create_manual_sound_service(const WorldServiceParams &params);
/// The SoundWorld behind a service made here; null for any other ISoundWorld.
SoundWorld *sound_world_of(ISoundWorld &service);

} // namespace tallow
