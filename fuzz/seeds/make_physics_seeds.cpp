// Writes "physics_properties" and cooked mesh seeds with the shared writer:
// make_physics_seeds <properties dir> <cooked mesh dir>
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/writers/physics_properties_writer.h"

#include <cstdio>
#include <string>

using namespace tallow;

namespace {
void save(const std::string &path, const std::vector<u8> &bytes) { fuzz::write_seed(path, bytes.data(), bytes.size()); }
} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: make_physics_seeds <properties dir> <cooked mesh dir>\n");
        return 2;
    }
    memory_globals_init();
    std::string properties = argv[1], meshes = argv[2];
    test::PhysicsPropertiesWriter w;
    save(properties + "/empty.physics_properties", w.write());
    w.material("wood", {0, 0.5f, 0.1f, 0.6f, 0, 0});
    w.material("stone", {0, 0.8f, 0, 2.5f, 0, 0});
    w.shape_template("default", 0, {1, ~0ull});
    w.shape_template("trigger", 64, {2, 1});
    ActorTemplate dynamic;
    dynamic.flags = actor_dynamic;
    dynamic.mass = 10;
    w.actor_template("dynamic", dynamic);
    w.actor_template("static", ActorTemplate{});
    w.collision_filter("all", {~0ull, ~0ull});
    save(properties + "/sample.physics_properties", w.write());
    save(meshes + "/hull.mesh", test::write_convex_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));
    save(meshes + "/ground.mesh",
         test::write_triangle_mesh({{-5, -5, 0}, {5, -5, 0}, {5, 5, 0}, {-5, 5, 0}}, {0, 1, 2, 0, 2, 3}));
    memory_globals_shutdown();
    return 0;
}
