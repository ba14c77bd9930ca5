#pragma once
// The script table `Application` (quit, argv, user settings, the resource preference
// order, ...): the Application's own table, put into the game's main Lua state by the
// registration driver.
//
//   register_script_api(env, &application, application.resource_manager(), script_allocator, register_application_api);
//
// Main thread, once per environment, before any script runs.

namespace tallow {

class Application;
class LuaEnvironment;

/// Adds the `Application` table's functions to `env`; the bindings reach `application`
/// through the environment.
void register_application_api(LuaEnvironment &env, Application &application);

} // namespace tallow
