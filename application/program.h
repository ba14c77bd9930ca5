#pragma once
// The outermost layer of the program: the entry's body and the driver that parses the
// command line, builds the Application, runs it and tears it down.
//
//   int main() { return program_main(ProgramSetup{make_game, services}); }
//
// Order: crash handlers, global allocators, SIGINT/SIGTERM as a close request, the
// Application's life, then the same in reverse. Main thread only.

#include "application/game_interface.h"
#include "application/services.h"
#include "foundation/types.h"
#include "world/services/world_services.h"

namespace tallow {

struct ApplicationParams;

/// What this build of the program is made of.
struct ProgramSetup {
    GameFactory game_factory = nullptr; // null: no game object
    ServiceFactories services;          // null entries: services not in this build
    WorldServiceFactories world_services; // what every new World gets
    void (*register_resource_types)(ResourceManager &manager) = nullptr; // sound's types
    void (*release_resource_types)() = nullptr; // undoes what that installed, once the Application is gone
};

/// Sets what `setup` says in `out_params` (game factory, services, World services, resource
/// types), as the program starts its Application; the rest of `out_params` is left as it is.
void apply_program_setup(const ProgramSetup &setup, ApplicationParams &out_params);

/// The entry's body: crash handlers and global allocators around `application_main`.
/// Returns the process exit code.
i32 program_main(const ProgramSetup &setup);

/// Parses the process's command line, waits for a debugger with "-hold", seeds the global
/// random generator, then creates, runs and destroys the Application. Returns 0 after an
/// orderly run (RunResult::Quit), 1 when start-up failed (the reason is logged).
i32 application_main(const ProgramSetup &setup);

} // namespace tallow
