// flow_bench: 10,000 units each running a small flow graph once per frame (a counter that
// climbs by a step and wraps at a limit, a flip-flop toggled at each wrap), against the
// same logic as a plain C++ loop over structs. Prints the time ratio.
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "tests/support/writers/flow_graph_writer.h"
#include "tests/support/writers/unit_resource_writer.h"
#include "world/flow/flow.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <memory>
#include <vector>

using namespace tallow;

namespace {

constexpr u32 unit_count = 10000;
constexpr u32 nc = flow_not_connected;

std::vector<u8> graph_unit()
{
    test::FlowGraphWriter g;
    u32 value = g.add_float("value", 0), step = g.add_float("step", 0.25f), limit = g.add_float("limit", 10);
    u32 state = g.add_u32("state", 0), wraps = g.add_float("wraps", 0), one = g.add_float("one", 1);
    // tick -> value += step -> compare(limit, value): greater -> value = 0, flip-flop
    u32 reset = g.add_node(flow_float_arithmetic, {test::flow_word(0), nc, value, 0});
    u32 count = g.add_node(flow_float_arithmetic, {0, one, wraps, 0});
    u32 flip = g.add_node(flow_flip_flop, {state, 1, test::flow_target(count), 0});
    std::vector<u32> compare{limit, value};
    test::FlowGraphWriter::push(compare, test::flow_list({test::flow_target(reset, 2), test::flow_target(flip)}));
    for (int i = 0; i < 4; ++i)
        test::FlowGraphWriter::push(compare, test::flow_list({}));
    u32 cmp = g.add_node(flow_compare, compare);
    u32 add = g.add_node(flow_float_arithmetic, {0, step, value, 1, test::flow_target(cmp)});
    std::vector<u32> source{nc};
    test::FlowGraphWriter::push(source, test::flow_list({test::flow_target(add)}));
    g.add_event(NameId32("tick").value(), test::flow_target(g.add_node(flow_unit_source, source)));
    test::UnitSource s;
    s.add_node("root", matrix4x4_identity, test::no_parent);
    s.flow_graph = g.write();
    s.flow_variable_defaults = g.defaults();
    return test::write_unit_resource(s);
}

struct Fixture {
    Fixture()
    {
        install_flow();
        bytes = graph_unit();
        resource = read_unit_resource(bytes.data(), bytes.size(), default_allocator());
        world = std::make_unique<World>(default_allocator(), WorldParams{});
        for (u32 i = 0; i < unit_count; ++i)
            units.push_back(world->spawn_unit_from_resource(*resource, nullptr, matrix4x4_identity));
    }
    ~Fixture()
    {
        world.reset();
        destroy_unit_resource(resource, default_allocator());
        uninstall_flow();
    }
    std::vector<u8> bytes;
    UnitResource *resource = nullptr;
    std::unique_ptr<World> world;
    std::vector<Unit *> units;
};

void BM_FlowGraphs(benchmark::State &state)
{
    Fixture f;
    const u32 tick = NameId32("tick").value();
    for (auto _ : state)
        for (Unit *u : f.units)
            flow_unit_event(*f.world, *u, tick);
    f32 wraps = 0;
    memcpy(&wraps, flow_unit_find_variable(*f.units[0], NameId32("wraps").value()), 4);
    benchmark::DoNotOptimize(wraps);
}

struct Plain {
    f32 value = 0, step = 0.25f, limit = 10;
    u32 state = 0;
    f32 wraps = 0;
};

void BM_PlainLoop(benchmark::State &state)
{
    std::vector<Plain> units(unit_count);
    for (auto _ : state) {
        for (Plain &p : units) {
            p.value += p.step;
            if (p.value > p.limit) {
                p.value = 0;
                if (p.state == 0)
                    p.wraps += 1;
                p.state = (p.state - 1) & 1;
            }
        }
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(units[0].wraps);
}

} // namespace

BENCHMARK(BM_FlowGraphs)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PlainLoop)->Unit(benchmark::kMicrosecond)->UseRealTime();

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    const bench::RatioReporter &runs = program.run();
    const bench::TimeRatio ratios[] = {{"10,000 units, one tick each", "BM_FlowGraphs", "BM_PlainLoop"}};
    bench::print_time_ratios(runs, "flow graph time / plain C++ loop time (above 1: the graphs are slower)", ratios);
    return 0;
}
