// The engine program.
#include "application/engine_setup.h"

int main()
{
    return tallow::program_main(tallow::engine_setup());
}
