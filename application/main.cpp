// The engine program.
#include "application/game.h"
#include "application/program.h"

int main()
{
    tallow::ProgramSetup setup;
    setup.game_factory = tallow::make_game;
    // Each service joins this build here as it lands: setup.game_factory, setup.services.*.
    return tallow::program_main(setup);
}
