// Writes navigation mesh seeds with the shared writer: make_nav_mesh_seeds <dir>.
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/writers/nav_mesh_writer.h"

#include <cstdio>
#include <string>

using namespace tallow;

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_nav_mesh_seeds <dir>\n");
        return 2;
    }
    memory_globals_init();
    const std::string dir = argv[1];
    test::NavMeshSource square;
    square.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    square.add_polygon({0, 1, 2, 3});
    test::build_nav_mesh_links(square);
    const test::NavMeshSource meshes[] = {
        square,
        test::grid_nav_mesh(3, 2, 1.0f, 1),
        test::grid_nav_mesh(5, 5, 2.0f, 2, 4),
    };
    int i = 0;
    for (const test::NavMeshSource &mesh : meshes) {
        const std::vector<u8> bytes = test::write_nav_mesh(mesh);
        fuzz::write_seed(dir + "/seed_" + std::to_string(i++), bytes.data(), bytes.size());
    }
    return 0;
}
