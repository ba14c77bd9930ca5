#pragma once
// The World's physics service: a PhysicsWorld made from the current physics SDK
// (physics/physics_sdk.h), which the Application makes at start-up.
//
//   WorldServiceFactories factories;
//   factories.physics = create_physics_service;
//
// Without a current SDK, or when its scene cannot be made, the World gets the null physics
// service (logged). Main thread only, like the World.

#include "world/services/world_services.h"

namespace tallow {

class PhysicsWorld;

IPhysicsWorld *create_physics_service(const WorldServiceParams &params);
/// The PhysicsWorld behind a service made here; null for any other IPhysicsWorld.
PhysicsWorld *physics_world_of(IPhysicsWorld &service);

} // namespace tallow
