// The "level" resource reader with the flow graph reader inside it: any bytes either load
// to a level whose content and flow graph are safe to spawn and run, or fail cleanly. The
// first byte picks the reader: odd bytes go to the flow graph reader alone, which must
// accept only graphs whose every node, list, variable and text lies in the blob.
#include "fuzz/fuzz_support.h"
#include "world/flow/flow.h"
#include "world/flow/flow_graph.h"
#include "world/levels/level.h"

#include <vector>

using namespace tallow;

namespace {

// Runs every event of the graph and every input of every node over a zeroed variable
// block with no world: a graph that validated must not read or write outside.
void run_graph(const u8 *graph, u32 size, u32 block_size)
{
    FlowGraphInfo info;
    if (!validate_flow_graph(graph, size, info) || info.variable_block_size != block_size)
        return;
    std::vector<u8> variables(block_size);
    FlowContext c;
    c.graph = make_flow_blob(graph, size);
    c.variables = variables.data();
    c.variable_size = block_size;
    u32 events = c.graph.word(8), table = c.graph.word(12);
    for (u32 i = 0; i < events && i < 64; ++i)
        flow_trigger_event(c, c.graph.word(table + 8 * i));
    for (u32 n = 0; n < info.node_count && n < 64; ++n)
        for (u32 input = 0; input < 4; ++input) {
            c.stopped = false, c.steps = 0;
            flow_trigger_output(c, n | input << 16);
            flow_trigger_input_by_index(c, n | input << 16);
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    if (size < 1)
        return 0;
    if (data[0] & 1) {
        if (size - 1 < flow_header_size)
            return 0;
        u32 block;
        memcpy(&block, data + 1 + 24, 4);
        run_graph(data + 1, u32(size - 1), block);
        return 0;
    }
    Allocator &a = default_allocator();
    LevelResource *r = read_level_resource(data + 1, size - 1, a);
    if (!r)
        return 0;
    if (r->graph_size)
        run_graph(r->at(r->header(6)), r->graph_size, r->variable_block_size);
    u32 count = 0;
    const Vector3 *points = r->find_spline(r->word(r->header(17)), count);
    u64 sum = count ? u64(points[count - 1].x) : 0;
    ChunkStore store(a);
    if (r->header(13))
        apply_level_script_data(*r, r->header(13), store);
    destroy_level_resource(r, a);
    return int(sum & 0);
}
