#pragma once
// The World's particle service: a ParticleWorld (render/particles/particle_world.h) whose
// effects are "particles" resources found by name through the World's resource manager,
// with the "material" resource of the same name as their material table, and whose links
// follow units of that World. Each update answers the render side's height-grid requests
// with physics rays (by effect id, system and grid offset: no memory is shared).
//
//   WorldServiceFactories factories;
//   factories.particles = create_particle_service;   // needs the World's render world
//
// Without a render world (or when its render object cannot be made) the World gets the
// null service. Main thread only, like the World.

#include "world/services/world_services.h"

namespace tallow {

class ParticleWorld;

IParticleWorld *create_particle_service(const WorldServiceParams &params);
/// The ParticleWorld behind a service made here; null for any other IParticleWorld.
ParticleWorld *particle_world_of(IParticleWorld &service);

} // namespace tallow
