// Writes "particles" seeds with the shared writer: make_particle_seeds <dir>
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "tests/render/particles/particle_fixture.h"

#include <cstdio>
#include <string>

using namespace tallow;

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: make_particle_seeds <dir>\n");
        return 2;
    }
    memory_globals_init();
    const std::string dir = argv[1];
    const std::vector<u8> typical = write_particle_effect(test::typical_effect(64));
    fuzz::write_seed(dir + "/typical.particles", typical.data(), typical.size());
    ParticleEffectSource two = test::typical_effect(32);
    two.systems.push_back(test::typical_system(16, 1));
    two.systems[0].simulate[0].operands[21] = 1; // the first system feeds the second
    const std::vector<u8> chained = write_particle_effect(two);
    fuzz::write_seed(dir + "/chained.particles", chained.data(), chained.size());
    memory_globals_shutdown();
    return 0;
}
