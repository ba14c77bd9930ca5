// Writes unit resource seeds with the shared writer: make_unit_seeds <dir>.
#include "foundation/memory/memory_globals.h"
#include "tests/support/unit_resource_writer.h"

#include <cstdio>
#include <string>

using namespace tallow;

namespace {
void save(const std::string &path, const std::vector<u8> &bytes)
{
    if (FILE *f = fopen(path.c_str(), "wb")) {
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
}
} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_unit_seeds <dir>\n");
        return 2;
    }
    memory_globals_init();
    test::UnitSource empty;
    save(std::string(argv[1]) + "/empty.unit", test::write_unit_resource(empty));
    test::UnitSource u;
    u32 root = u.add_node("root", matrix4x4_identity, test::no_parent);
    u.add_node("arm", matrix4x4_identity, root);
    u.meshes.push_back({1, 1, {0, 0}, 1});
    test::UnitSourceActor actor;
    for (u32 kind = 0; kind < 5; ++kind) {
        test::UnitSourceShape s;
        s.kind = kind;
        s.parameters.assign(kind == 0 ? 1 : kind == 1 ? 3 : kind == 2 ? 2 : 0, 1);
        if (kind >= 3)
            s.mesh_data = {1, 2, 3};
        actor.shapes.push_back(s);
    }
    u.actors = {actor, actor};
    u.collision_pairs = {0, 1};
    u.geometries.push_back({{1}, {}, {}, 0, {2}, {1, 2, 3, 4}, {}, {{1, "a"}}});
    u.skins.push_back({{1}, {{2, 3}}});
    u.lod_objects.push_back({1, {{{1, 2}, {3}}}, {}, 2});
    u.joints.push_back({});
    u.movers.push_back({1, 2, 3, 4, 5, 6});
    u.named_strings.push_back({1, {"x", "yz"}});
    u.visibility_groups.push_back({1, {0}});
    u.simple_animations.push_back({0, {1}});
    u.state_machine = "machine";
    u.flow_graph = {1, 2, 3, 4};
    u.flow_variable_defaults = {0, 0, 0, 0};
    save(std::string(argv[1]) + "/full.unit", test::write_unit_resource(u));
    memory_globals_shutdown();
    return 0;
}
