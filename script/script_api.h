#pragma once
// The registration driver: puts the engine's script tables into an environment, in a fixed
// order, once, right after the environment is built and before any script runs.
//
//   LuaEnvironment env(source, allocator);
//   register_script_api(env, &application, application.resource_manager(), script_allocator, register_application_api);
//   env.require("boot");
//
// Each table group lives in its own file and has one registrar below; a registrar may add
// to a table another one made (class_table reuses existing tables).

#include "foundation/types.h"

struct lua_State;

namespace tallow {

class Allocator;
class LuaStack;
class Application;
class LuaEnvironment;
class ResourceManager;
class ResourcePackage;

/// Puts the Application's own script table in (it lives in the Application's layer, which
/// stands on this one; see application/application_api.h).
using ApplicationTableRegistrar = void (*)(LuaEnvironment &env, Application &application);

/// The whole API of the game's main state. `application` and `resources` may be null (tests):
/// the tables that need them are then left out. `register_application_table` puts the
/// Application table in at its place in the order (skipped when null).
void register_script_api(LuaEnvironment &env, Application *application, ResourceManager *resources,
                         Allocator &script_allocator, ApplicationTableRegistrar register_application_table = nullptr);
/// The reduced API of job-thread states (math, Unit, Script, Profiler, tostring).
void register_job_thread_script_api(LuaEnvironment &env);

// Registrars, in the driver's order.
void register_math_api(LuaEnvironment &env); // Vector3 and the light-userdata metatable, Quaternion, Matrix4x4, Math
void register_temp_values_api(LuaEnvironment &env); // Script.temp_count, set_temp_count
/// Profiler and the global tostring (every state).
void register_core_api(LuaEnvironment &env);
/// ResourcePackage and, with a manager, Localizer over its "strings" resources (main state).
void register_resource_api(LuaEnvironment &env, ResourceManager *resources);

/// SaveSystem (over the process-wide save system) and DLC (over the content list), main state.
void register_save_api(LuaEnvironment &env);

/// Sets the state of the program's one `Math.random` generator (0 at start); for tests.
void set_math_random_state(u32 state);

/// Pushes a full userdata holding `package` with the metatable of the script table
/// `ResourcePackage` (made by the Application's `resource_package`).
void push_resource_package(lua_State *state, ResourcePackage *package);
/// The package held by the `ResourcePackage` userdata at argument `arg`; raises a Lua error
/// for another value or a released package.
ResourcePackage *get_resource_package(const LuaStack &stack, i32 arg);
/// Marks the userdata at argument `arg` released: later calls with it raise an error.
void clear_resource_package(const LuaStack &stack, i32 arg);

} // namespace tallow
