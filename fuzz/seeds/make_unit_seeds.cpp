// Writes unit resource seeds with the shared writer: make_unit_seeds <dir>.
#include "foundation/io/chunk_store.h"
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/writers/unit_resource_writer.h"
#include "world/units/unit_resource.h"

#include <cstdio>
#include <string>

using namespace tallow;

namespace {
void save(const std::string &path, const std::vector<u8> &bytes) { fuzz::write_seed(path, bytes.data(), bytes.size()); }
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
    u.joints.push_back({1, default_joint_template(JointKind::Revolute)});
    u.movers.push_back(MoverTemplate{});
    u.named_strings.push_back({1, {"x", "yz"}});
    u.visibility_groups.push_back({1, {0}});
    u.simple_animations.push_back({0, {1}});
    u.state_machine = "machine";
    u.flow_graph = {1, 2, 3, 4};
    u.flow_variable_defaults = {0, 0, 0, 0};
    save(std::string(argv[1]) + "/full.unit", test::write_unit_resource(u));
    // Data defaults with a value of every kind, some in a group.
    {
        ChunkStore store(default_allocator());
        const f32 m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 4, 5, 6, 1};
        u8 yes = 1;
        u32 handle = 0x00010002, none = ChunkStore::not_found;
        store.set(ChunkStore::root_list, 1, data_store_kind::boolean, 1, &yes);
        store.set(ChunkStore::root_list, 2, data_store_kind::number, 4, m);
        store.set(ChunkStore::root_list, 3, data_store_kind::string, 4, "abc");
        store.set(ChunkStore::root_list, 4, data_store_kind::vector3, 12, m);
        u32 group = store.set(ChunkStore::root_list, 5, ChunkStore::nested_list, 4, &none);
        store.set(ChunkStore::nested_head(group), 6, data_store_kind::quaternion, 16, m);
        store.set(ChunkStore::nested_head(group), 7, data_store_kind::matrix4x4, 64, m);
        store.set(ChunkStore::nested_head(group), 8, data_store_kind::unit, 4, &handle);
        test::UnitSource with_data;
        with_data.add_node("root", matrix4x4_identity, test::no_parent);
        with_data.data_defaults.assign(store.bytes().begin(), store.bytes().end());
        save(std::string(argv[1]) + "/data.unit", test::write_unit_resource(with_data));
    }
    memory_globals_shutdown();
    return 0;
}
