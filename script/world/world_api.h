#pragma once
// The script tables `World`, `Level` and `Unit`, and how worlds cross into scripts.
//
//   local w = Application.new_world()              -- a World userdata (push_world)
//   local u = World.spawn_unit(w, "units/crate", Vector3(0, 0, 1))
//   Unit.set_local_position(u, 0, Vector3(1, 0, 0))
//   World.update(w)                                -- dt defaults to the frame time
//
// A World userdata holds the World's address; every call checks the address against the
// worlds alive (World::is_live), so one kept after `Application.release_world` raises "World
// has been released" instead of reading freed memory. Unit references are handles: `Unit.*`
// functions other than `alive` raise "the unit has been destroyed" for a stale one; the
// World functions that take a unit do nothing for a stale unit or one of another world.
// A level crosses as a light userdata that carries its serial, a number no other level of
// the program gets (`level_reference_value`); a level value is accepted only while that
// very level lives, so one kept after its level was replaced or released raises, even
// when a new level took the old one's memory. A world is neither
// updated nor released from inside its own flow run (a level or unit callback).
// Functions whose service is not part of this build yet (camera rendering), or not part of
// this world (particles, GUI, animation) are registered and raise
// "<Table.function>: the <service> service is not built yet"; the sound functions raise
// the same for a world made without a sound service. Main state only.

#include "foundation/types.h"

struct lua_State;

namespace tallow {

class IFlowScript;
class LuaEnvironment;
class Level;
class LuaStack;
class World;

/// Pushes a World userdata (metatable: the `World` table) holding `world`.
void push_world(lua_State *state, World *world);
/// The live World held by the userdata at `arg`; raises for anything else or a released one.
World *get_world(const LuaStack &stack, i32 arg);

/// The light-userdata value that stands for the level of `serial`: odd (never an object
/// address or temporary) and above 2^32 (never a unit reference).
constexpr u64 level_reference_tag = u64(1) << 36;
constexpr u64 level_reference_value(u32 serial) { return level_reference_tag | (u64(serial) << 1) | 1u; }
/// True for a value made by level_reference_value; `out_serial` receives its serial.
bool is_level_reference(const void *value, u32 &out_serial);
/// Pushes the level's value (a null light userdata for no level).
void push_level(lua_State *state, const Level *level);
/// The live level whose value is at `arg`; raises for anything else.
Level &get_level(const LuaStack &stack, i32 arg);

/// What flow graphs of worlds made from this state call (one object per state, kept in its
/// registry; it lives as long as the state).
IFlowScript *flow_script_for(lua_State *state);

/// The frame time `World.update` uses without a dt; the Application's layer sets it (the
/// script layer does not know the Application). Without it the default is 1/30 s.
using FrameStepSource = f32 (*)(LuaEnvironment &env);
void set_frame_step_source(FrameStepSource source);

/// Registers a binding that raises "the `service` service is not built yet".
void add_missing_service_function(LuaEnvironment &env, const char *table, const char *name, const char *service);

/// One entry of a script table: the function, or (function null) the service it waits for.
struct ScriptFunction {
    const char *table;
    const char *name;
    int (*function)(lua_State *);
    const char *service;
};
/// Registers the entries in order: functions, and the missing-service raisers.
void add_script_functions(LuaEnvironment &env, const ScriptFunction *functions, u32 count);

void register_world_api(LuaEnvironment &env); // World and Level
void register_world_sound_api(LuaEnvironment &env); // World's sound functions (script/world/world_sound_api.cpp)
void register_world_particle_api(LuaEnvironment &env); // World's particle functions (script/world/world_particle_api.cpp)
void register_unit_api(LuaEnvironment &env);  // Unit
/// Installs the World's hook that gives back the registry references of unit and world
/// data stores (called by register_script_api).
void install_script_data_releaser();

} // namespace tallow
