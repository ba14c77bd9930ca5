#pragma once
// Between the physics script tables: script/world/physics_api.cpp (PhysicsWorld, Raycast,
// the physics functions of Unit and World, and the registration), actor_api.cpp (Actor)
// and mover_api.cpp (Mover).

#include "physics/physics_world.h"
#include "script/runtime/lua_stack.h"

namespace tallow {

class LuaEnvironment;
class World;

namespace physics_api {

// Arguments: each raises a Lua error naming the argument when it is wrong.

PhysicsActor &actor_arg(const LuaStack &stack, i32 arg);
PhysicsMover &mover_arg(const LuaStack &stack, i32 arg);
/// The physics world of a World: raises when the World has none.
PhysicsWorld &physics_of(const LuaStack &stack, World &world, i32 arg);
PhysicsWorld &physics_world_arg(const LuaStack &stack, i32 arg);
CollisionFilter filter_arg(const LuaStack &stack, i32 arg);
/// A finite vector (NaN or infinity in a script's vector is a mistake, never physics).
Vector3 finite_vector3_arg(const LuaStack &stack, i32 arg);
f32 finite_float_arg(const LuaStack &stack, i32 arg);
/// Pushes the actor's light userdata, or nil for null.
void push_actor(const LuaStack &stack, PhysicsActor *a);
void push_actor_id(const LuaStack &stack, PhysicsWorld &world, PhysicsActorId id);
/// Queries see statics (1), dynamics (2) or both (3); `fallback` for any other name.
u32 types_value(const LuaStack &stack, i32 arg, u32 fallback);

/// Adds the `Actor` table's functions.
void register_actor(LuaEnvironment &env);
/// Adds the `Mover` table's functions.
void register_mover(LuaEnvironment &env);

} // namespace physics_api

} // namespace tallow
