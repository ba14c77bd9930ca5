#pragma once
// The AI script tables `Broadphase`, `Flock`, `FlockVisualizer` and `AI`, and
// `Level.navigation_mesh`.
//
//   local grid = Broadphase(2.0, 100)                  -- largest radius, expected count
//   local id = Broadphase.add(grid, unit, Unit.world_position(unit, 0), 1.5)
//   local found, n = Broadphase.query(grid, Vector3(0, 0, 0), 5, {})
//
//   local flock = Flock()
//   Flock.set_navigation_mesh(flock, Level.navigation_mesh(World.level(world)))
//   local a = Flock.add_agent(flock, Vector3(0, 0, 0), 0.5, 2)
//   Flock.go_to(flock, a, Vector3(10, 0, 0))
//   Flock.update(flock, dt)
//
//   local view = FlockVisualizer(world, flock, 0)      -- shows agents from index 0 on
//   FlockVisualizer.add_unit(view, "units/walker")     -- one visual unit per call
//   FlockVisualizer.set_templates(view, templates)     -- 15 animated units
//   FlockVisualizer.visualize(view, dt)
//
//   local pairs = AI.find_intersecting_units({u1, u2, u3}, 1.0)   -- {i, j, ...}, 0-based
//
// Broadphase, Flock and FlockVisualizer objects are full userdata holding the object, destroyed by `__gc`.
// Every argument is checked: an agent, path or entry index out of range, a removed agent, a
// value that is not finite or a destroyed unit raises an error naming the function and the
// argument. A navigation mesh is the light userdata `Level.navigation_mesh` returns (nil when
// the level has none); a flock holding the mesh of a level since unloaded lets it go.
// Main state only.

namespace tallow {

class Allocator;
class LuaEnvironment;
class StateHasher;
class ThreadPool;

/// Registers the tables; objects are made from `allocator`, which must outlive the state.
/// Installs the level navigation mesh reader (ai/nav_mesh.h) too.
void register_ai_api(LuaEnvironment &env, Allocator &allocator);

/// The pool the state's flocks made from now on run their avoidance job on (null, the
/// default: the calling thread). The Application's layer sets it; it must outlive the state.
void set_ai_thread_pool(LuaEnvironment &env, ThreadPool *pool);

/// Adds the state of every flock the state's scripts made and still hold, in the order
/// they were made (Flock::hash_state), to `hasher`.
void hash_flocks(LuaEnvironment &env, StateHasher &hasher);

} // namespace tallow
