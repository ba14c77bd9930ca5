#pragma once
// The services the engine program runs with: every factory, World service and resource type
// of this build, in one place, so the program and the tests that run the shipped sample start
// the same engine.
//
//   int main() { return tallow::program_main(tallow::engine_setup()); }

#include "application/program.h"

namespace tallow {

/// The program's setup: the game object, the process-wide services and what every World gets.
ProgramSetup engine_setup();

} // namespace tallow
