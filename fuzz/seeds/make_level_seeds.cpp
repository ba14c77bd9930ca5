// Writes level and flow graph seeds with the shared writers: make_level_seeds <dir>.
// Level seeds start with an even byte, flow graph seeds with an odd one (see
// fuzz_level_resource.cpp).
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/writers/flow_graph_writer.h"
#include "tests/support/writers/level_writer.h"
#include "world/flow/flow_graph.h"

#include <cstdio>
#include <string>

using namespace tallow;

namespace {
void save(const std::string &path, u8 tag, const std::vector<u8> &bytes)
{
    std::vector<u8> seed(1, tag);
    seed.insert(seed.end(), bytes.begin(), bytes.end());
    fuzz::write_seed(path, seed.data(), seed.size());
}
} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_level_seeds <dir>\n");
        return 2;
    }
    memory_globals_init();
    std::string dir = argv[1];
    // A graph with one node of each kind of layout the reader knows.
    test::FlowGraphWriter g;
    u32 v4 = g.add_u32("a", 0), v8 = g.add_variable("b", 8), v12 = g.add_variable("c", 12),
        v16 = g.add_variable("d", 16), v40 = g.add_variable("e", 40), v48 = g.add_variable("f", 48);
    u32 text = g.add_text("hello");
    auto l = [](std::vector<u32> t) { return test::flow_list(t); };
    std::vector<std::vector<u32>> data = {
        {v4, 1, 1, 1, 2},                                     // 0 flag
        {},                                                   // 1
        {},                                                   // 2 (filled below)
        {},                                                   // 3
        {},                                                   // 4
        {text, v4, 1, 0},                                     // 5 script event
        {v4, 1, 0},                                           // 6 delay
        {v4, 1, 6},                                           // 7 source
        {v4, v4, v4, 0, v4, v8, 0, 0},                        // 8 simple animation
        {7, v4, 0},                                           // 9 animation event
        {1, g.add_words({5}), 1, g.add_words({0}), v4, 1, g.add_words({1, v4, 4}), 1, 0}, // 10
        {1, 0, v8, 0, v12, v16, v4, v4},                      // 11 particles
        {v8, 1, 0},                                           // 12
        {v40, 1, 0},                                          // 13
        {v48, 0},                                             // 14
        {v8, 0},                                              // 15
        {0, text, 5, v4, 0, ~0u, 0, ~0u, 0, ~0u, 0, ~0u},     // 16
        {0, text, 1, g.add_words({5, v4, 0x41})},             // 17 (field name "A")
        {text, 7, v4, 0, ~0u, 0, ~0u, 0, ~0u, 0, ~0u, 0},     // 18
        {v4, 0}, {v4, 0}, {v4, 0},                            // 19-21
        {1, 0, 1, 0, 0, v4, 0, 1, v12, v4},                   // 22 sound
        {v4, 7}, {7}, {v4, 0, 0},                             // 23-25
        {v4, 0, 0, 0, 0, 0, 0, 0, 0},                         // 26
        {v4, v8, v12, v16},                                   // 27
        {v4, v8, v4, 0},                                      // 28
        {1, 0, v12, v16, v4, 0, 0, 0},                        // 29
        {v4, v4, v4, 0, v4, v8, v4, 0, 0},                    // 30
        {0, v4, v4, 0},                                       // 31
        {v4, v4, 0, 0, 0, 0, 0},                              // 32
    };
    std::vector<u32> spawn;
    test::FlowGraphWriter::push(spawn, {1, 0});
    test::FlowGraphWriter::push_matrix(spawn, matrix4x4_identity);
    test::FlowGraphWriter::push(spawn, {v4, 0, 0});
    data[2] = spawn;
    std::vector<u32> pose;
    test::FlowGraphWriter::push_matrix(pose, matrix4x4_identity);
    test::FlowGraphWriter::push(pose, {v4, 0});
    data[4] = pose;
    for (u32 type = 0; type < data.size(); ++type)
        g.add_node(type, data[type]);
    (void)l;
    for (u32 type = 0; type < data.size(); ++type)
        g.add_event(NameId32("go").value(), test::flow_target(type));
    g.set_links(6, {test::flow_target(7), test::flow_target(19)});
    save(dir + "/all_nodes.flow", 1, g.write());

    test::LevelSource level;
    level.units.push_back({1, 0, {1, 2, 3}, {0, 0, 0, 1}});
    level.unit_script_data.push_back({{{1}, 3, 0, 0, "text"}, {{2}, 1, 1, 0, ""}});
    level.level_script_data.push_back({{3}, 2, 0, 1.5f, ""});
    level.lights.push_back({});
    level.flow_graph = g.write();
    level.flow_defaults = g.defaults();
    level.bindings.push_back({0, 7, 1});
    level.triggers.push_back({});
    level.particles.push_back({});
    level.splines.push_back({5, {1, 2, 3, 4, 5, 6}});
    save(dir + "/full.level", 0, test::write_level_resource(level));
    save(dir + "/empty.level", 0, test::write_level_resource({}));
    return 0;
}
