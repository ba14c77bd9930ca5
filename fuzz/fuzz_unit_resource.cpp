// The "unit" resource reader and its validation: any bytes either load to a resource whose
// every range and index is usable, or fail cleanly.
#include "fuzz/fuzz_support.h"
#include "world/unit_resource.h"

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    Allocator &a = default_allocator();
    UnitResource *r = read_unit_resource(data, size, a);
    if (!r)
        return 0;
    // Touch what a unit built from it would read: every range must lie in the stream.
    u64 sum = 0;
    auto touch = [&](UnitBytes b) {
        if (b.size)
            sum += r->bytes(b)[0] + r->bytes(b)[b.size - 1];
    };
    for (const UnitMeshGeometry &g : r->geometries) {
        touch(g.first_block);
        touch(g.entries);
        for (u32 i = 0; i < g.names.count; ++i)
            touch(r->id_strings[g.names.first + i].text);
    }
    for (const UnitActorTemplate &actor : r->actors)
        for (u32 i = 0; i < actor.shapes.count; ++i)
            touch(r->shapes[actor.shapes.first + i].mesh_data);
    for (const UnitVisibilityGroup &g : r->visibility_groups)
        for (u32 i = 0; i < g.members.count; ++i)
            sum += r->meshes[r->word(g.members, i)].flags;
    for (u32 i = 0; i < r->node_count; ++i)
        sum += r->parents[i] == unit_no_parent ? 0 : r->node_names[r->parents[i]];
    touch(r->flow_graph);
    touch(r->state_machine);
    destroy_unit_resource(r, a);
    return int(sum & 0);
}
