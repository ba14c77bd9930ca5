// The engine program.
#include "application/game.h"
#include "application/program.h"
#include "application/application.h"
#include "save/save_system.h"

int main()
{
    tallow::ProgramSetup setup;
    setup.game_factory = tallow::make_game;
    setup.services.create_save = [](tallow::Allocator &allocator, tallow::Application &application,
                                    const char *save_dir) -> tallow::ISaveService * {
        return tallow::save::create_save_service(allocator, *application.thread_registry(), save_dir);
    };
    // Each service joins this build here as it lands: setup.game_factory, setup.services.*.
    return tallow::program_main(setup);
}
