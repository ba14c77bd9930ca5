#pragma once
// The physics script tables: `Actor`, `Mover`, `PhysicsWorld` and `Raycast`, the physics
// functions of `Unit` (actor, create_actor, destroy_actor, mover, create_joint,
// create_custom_joint, destroy_joint, enable_physics, disable_physics) and
// `World.physics_world`.
//
//   local pw = World.physics_world(w)
//   local ray = PhysicsWorld.make_raycast(pw, function(hit, pos, dist, normal, actor) ... end,
//                                         "closest", "types", "dynamics")
//   Raycast.cast(ray, Vector3(0, 0, 10), Vector3(0, 0, -1))      -- answered after two updates
//   PhysicsWorld.overlap(pw, function(actors) ... end, "shape", "sphere", "size", 2,
//                        "position", Vector3(0, 0, 1))
//   local crate = Unit.actor(u, "crate")
//   if crate and Actor.is_physical(crate) then Actor.add_impulse(crate, Vector3(0, 0, 5)) end
//   local mover = Unit.mover(u)
//   if mover then Mover.move(mover, Vector3(0.1, 0, -0.2)) end
//
// Actors and movers cross as light userdata holding their records' addresses; every call
// checks the address against the live physics worlds, so one kept after its actor was
// destroyed raises "the actor has been destroyed" (a record reused by a new actor is that
// new actor). A physics world userdata holds its World and raises once the World is
// released. Every wrong argument raises a Lua error naming the function and the argument.
// Query callbacks run inside World.update, after the physics step, through protected calls:
// an error is logged ("Raycast callback error: ...", "Overlap callback error: ...") and
// reported to the environment's error handler. A Raycast kept alive by casts in flight is
// collected after its last answer; when a Raycast or a pending overlap is collected (also
// when the state closes) its queries are cancelled in every world, so no world answers into
// a closed state. Main state only.

namespace tallow {

class LuaEnvironment;

void register_physics_api(LuaEnvironment &env);

} // namespace tallow
