// The "unit" resource reader and its validation: any bytes either load to a resource whose
// every range and index is usable, or fail cleanly. A resource that loads is spawned as a
// unit into a World over the null services; every value of its script data store is read
// back as Unit.get_data reads it, and the unit is destroyed, which releases the store's
// script references as World.destroy_unit does.
#include "foundation/io/chunk_store.h"
#include "fuzz/fuzz_support.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_stack.h"
#include "script/runtime/script_data_store.h"
#include "script/world/world_api.h"
#include "world/units/unit.h"
#include "world/units/unit_render_objects.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <lua.hpp>

#include <cstring>
#include <vector>

using namespace tallow;

namespace {

ChunkStore *g_store = nullptr;

// get_data and has_data with the key path on the stack.
int read_value(lua_State *L)
{
    LuaStack stack(L);
    script_data_has(stack, *g_store, 1);
    lua_pop(L, 1);
    script_data_get(stack, *g_store, 1);
    return 1;
}

u32 store_word(const ChunkStore &store, u32 offset)
{
    u32 v = ChunkStore::not_found;
    if (u64(offset) + 4 <= store.bytes().size())
        memcpy(&v, store.bytes().data() + offset, 4);
    return v;
}

// Every key path of the store, as the store's own walks bound them.
void collect_paths(const ChunkStore &store, u32 head, std::vector<u32> &path, std::vector<std::vector<u32>> &out,
                   u32 &steps)
{
    if (path.size() > 64)
        return;
    for (u32 chunk = store_word(store, head); chunk != ChunkStore::not_found && steps > 0;
         chunk = store_word(store, chunk + 4)) {
        --steps;
        if (u64(chunk) + ChunkStore::header_bytes > store.bytes().size())
            return;
        path.push_back(store_word(store, chunk));
        out.push_back(path);
        if (store_word(store, chunk + 8) == ChunkStore::nested_list)
            collect_paths(store, ChunkStore::nested_head(chunk), path, out, steps);
        path.pop_back();
    }
}

LuaEnvironment &environment()
{
    static LuaEnvironment *env = [] {
        auto *e = make_new<LuaEnvironment>(default_allocator(), nullptr, default_allocator());
        install_script_data_releaser();
        return e;
    }();
    return *env;
}

} // namespace

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
    // Every mesh and LOD object as the render link builds them: what a description points
    // at must lie inside the resource, whatever the counts said.
    {
        UnitMeshBuilder builder(a);
        for (u32 i = 0; i < r->meshes.size(); ++i) {
            MeshDesc d;
            if (!builder.build(*r, i, 0, nullptr, d))
                continue;
            const u32 index_bytes = d.index_32bit ? 4 : 2;
            if (d.vertex_count)
                sum += static_cast<const u8 *>(d.vertices)[u64(d.vertex_count) * d.vertex_stride - 1];
            if (d.index_count)
                sum += static_cast<const u8 *>(d.indices)[u64(d.index_count) * index_bytes - 1];
            for (u32 b = 0; b < d.batch_count; ++b)
                sum += d.batches[b].triangle_count;
            if (d.skin)
                for (u32 l = 0; l < d.skin->list_count; ++l)
                    for (u32 k = 0; k < d.skin->lists[l].count; ++k)
                        sum += d.skin->lists[l].bones[k];
        }
        Array<LodStepDesc> steps(a);
        Array<u32> handles(a);
        const u32 meshes[4] = {1, 2, 3, 4};
        for (u32 i = 0; i < r->lod_objects.size(); ++i) {
            LodObjectDesc lod;
            build_unit_lod(*r, i, 0, meshes, 4, steps, handles, lod);
            for (u32 s = 0; s < lod.step_count; ++s)
                for (u32 k = 0; k < lod.steps[s].mesh_count; ++k)
                    sum += lod.steps[s].meshes[k];
        }
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

    LuaEnvironment &env = environment();
    lua_State *L = env.state();
    {
        World world(a, WorldParams{});
        Unit *unit = world.spawn_unit_from_resource(*r, nullptr, matrix4x4_identity);
        if (unit) {
            g_store = &unit->data();
            std::vector<u32> path;
            std::vector<std::vector<u32>> paths;
            u32 steps = u32(g_store->bytes().size() / ChunkStore::header_bytes + 1);
            collect_paths(*g_store, ChunkStore::root_list, path, paths, steps);
            for (const std::vector<u32> &keys : paths) {
                lua_settop(L, 0);
                lua_pushcfunction(L, read_value);
                for (u32 key : keys)
                    lua_pushnumber(L, f64(key));
                lua_pcall(L, int(keys.size()), 1, 0);
            }
            lua_settop(L, 0);
            env.reset_temps();
            world.update(1 / 30.0f);
            world.destroy_unit(*unit);
            g_store = nullptr;
        }
    }
    destroy_unit_resource(r, a);
    return int(sum & 0);
}
