// Test entry: the global allocators live for the whole run, as in the program.
#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    tallow::memory_globals_init();
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    tallow::memory_globals_shutdown();
    return result;
}
