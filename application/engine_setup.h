#pragma once
// The services the engine program runs with: every factory, World service and resource type
// of this build, in one place, so the program and the tests that run the shipped sample start
// the same engine.
//
//   int main() { return tallow::program_main(tallow::engine_setup()); }

#include "application/application.h"
#include "application/program.h"

namespace tallow {

/// The program's setup: the game object, the process-wide services and what every World gets.
ProgramSetup engine_setup();

/// The parameters of an Application of this engine over `options` and `window_system`
/// (borrowed: both outlive the Application); every other field keeps its default.
ApplicationParams engine_params(const ApplicationOptions &options, platform::IWindowSystem &window_system);

/// Undoes what registering this engine's resource types installed; once its Application is gone.
void release_engine_resource_types();

} // namespace tallow
