// The AI script tables: Broadphase, Flock, AI, and Level.navigation_mesh.
#include "script/world/ai_api.h"

#include "ai/broadphase.h"
#include "ai/flock.h"
#include "ai/flock_visualizer.h"
#include "ai/nav_mesh.h"
#include "ai/pair_search.h"
#include "foundation/math/rotation.h"
#include "foundation/math/state_hasher.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/memory/temp_allocator.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_stack.h"
#include "script/math/math_api_internal.h"
#include "script/world/world_api.h"
#include "world/levels/level.h"
#include "world/units/scene_graph.h"
#include "world/units/unit.h"
#include "world/units/unit_handle.h"
#include "world/world.h"

#include <lua.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tallow {

namespace {

using math_api::push;
using math_api::vector3_arg;

constexpr const char *broadphase_table = "Broadphase";
constexpr const char *flock_table = "Flock";
constexpr const char *visualizer_table = "FlockVisualizer";

constexpr const char *pool_key = "tallow.ai_thread_pool";
// The state's flocks in the order they were made: a table with weak values (a collected
// flock leaves a hole) and its count in field "n".
constexpr const char *flocks_key = "tallow.ai_flocks";

ThreadPool *state_pool(lua_State *L)
{
    lua_getfield(L, LUA_REGISTRYINDEX, pool_key);
    ThreadPool *pool = static_cast<ThreadPool *>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    return pool;
}

Allocator &ai_allocator(const LuaStack &stack) { return *static_cast<Allocator *>(stack.upvalue()); }

f32 finite_arg(const LuaStack &stack, i32 arg)
{
    const f32 v = stack.get_float(arg);
    if (!std::isfinite(v))
        stack.argument_message(arg, "a finite number expected");
    return v;
}

f32 non_negative_arg(const LuaStack &stack, i32 arg)
{
    const f32 v = finite_arg(stack, arg);
    if (v < 0.0f)
        stack.argument_message(arg, "a number of at least 0 expected");
    return v;
}

Vector3 point_arg(const LuaStack &stack, i32 arg)
{
    const Vector3 v = vector3_arg(stack, arg);
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z))
        stack.argument_message(arg, "a finite Vector3 expected");
    return v;
}

// Clears the userdata's pointer so a call after __gc (or a second __gc) finds it released.
template <typename T> T *take_object(const LuaStack &stack, const char *table)
{
    T *object = static_cast<T *>(stack.get_object(1, table));
    T *none = nullptr;
    std::memcpy(lua_touserdata(stack.state(), stack.index(1)), &none, sizeof(none));
    return object;
}

bool is_released(lua_State *L)
{
    void *p = nullptr;
    if (lua_type(L, 1) == LUA_TUSERDATA)
        std::memcpy(&p, lua_touserdata(L, 1), sizeof(p));
    return p == nullptr;
}

// Broadphase ---------------------------------------------------------------------------

Broadphase &broadphase_arg(const LuaStack &stack) { return *static_cast<Broadphase *>(stack.get_object(1, broadphase_table)); }

u32 entry_arg(const LuaStack &stack, Broadphase &grid, i32 arg)
{
    const u32 slot = u32(stack.get_integer(arg, 0, 0xFFFFFFFFll));
    if (!grid.is_used(slot))
        stack.argument_message(arg, "not an entry of this broadphase (removed or never added)");
    return slot;
}

int broadphase_call(lua_State *L)
{
    LuaStack s(L);
    // Argument 1 is the table itself.
    const f32 max_radius = finite_arg(s, 2);
    if (!(max_radius > 0.0f))
        s.argument_message(2, "the largest radius must be above 0");
    const u32 count = u32(s.get_integer(3, 0, 0x7FFFFFFF));
    Broadphase *grid = make_new<Broadphase>(ai_allocator(s), ai_allocator(s), max_radius, count);
    if (!grid)
        s.error("out of memory");
    s.push_object(grid, broadphase_table);
    return 1;
}

int broadphase_gc(lua_State *L)
{
    if (is_released(L))
        return 0;
    LuaStack s(L);
    delete_with_allocator(ai_allocator(s), take_object<Broadphase>(s, broadphase_table));
    return 0;
}

int broadphase_add(lua_State *L)
{
    LuaStack s(L);
    Broadphase &grid = broadphase_arg(s);
    const UnitHandle unit = s.get_unit_handle(2);
    if (!unit_handle_table().get(unit))
        s.argument_message(2, "the unit has been destroyed");
    const Vector3 position = point_arg(s, 3);
    const f32 radius = non_negative_arg(s, 4);
    const u32 slot = grid.add(unit, position, radius);
    if (slot == broadphase_no_slot)
        s.error("out of memory");
    s.push_integer(slot);
    return 1;
}

int broadphase_move(lua_State *L)
{
    LuaStack s(L);
    Broadphase &grid = broadphase_arg(s);
    const u32 slot = entry_arg(s, grid, 2);
    if (!grid.move(slot, point_arg(s, 3)))
        s.error("out of memory");
    return 0;
}

int broadphase_remove(lua_State *L)
{
    LuaStack s(L);
    Broadphase &grid = broadphase_arg(s);
    grid.remove(entry_arg(s, grid, 2));
    return 0;
}

int broadphase_query(lua_State *L)
{
    LuaStack s(L);
    Broadphase &grid = broadphase_arg(s);
    const Vector3 point = point_arg(s, 2);
    const f32 radius = non_negative_arg(s, 3);
    if (!s.is_table(4))
        s.argument_error(4, "table");
    TempAllocator temp;
    Array<BroadphaseObject> found(temp);
    grid.query(point, radius, found);
    std::stable_sort(found.begin(), found.end(), [&](const BroadphaseObject &a, const BroadphaseObject &b) {
        return length_squared(a.position - point) < length_squared(b.position - point);
    });
    const i32 table = s.index(4);
    for (u32 i = 0; i < found.size(); ++i) {
        s.push_unit_reference(UnitHandle(found[i].id));
        lua_rawseti(L, table, i32(i + 1));
    }
    lua_pushvalue(L, table);
    s.push_integer(found.size());
    return 2;
}

// Flock ---------------------------------------------------------------------------------

Flock &flock_arg(const LuaStack &stack) { return *static_cast<Flock *>(stack.get_object(1, flock_table)); }

u32 agent_arg(const LuaStack &stack, const Flock &flock, i32 arg, bool allow_removed = false)
{
    if (flock.agent_count() == 0)
        stack.argument_message(arg, "the flock has no agents");
    const u32 agent = u32(stack.get_integer(arg, 0, i64(flock.agent_count()) - 1));
    if (!allow_removed && flock.agent(agent).mode == FlockMode::Removed)
        stack.argument_message(arg, "the agent has been removed");
    return agent;
}

u32 path_arg(const LuaStack &stack, const Flock &flock, i32 arg)
{
    if (flock.path_count() == 0)
        stack.argument_message(arg, "the flock has no paths");
    return u32(stack.get_integer(arg, 0, i64(flock.path_count()) - 1));
}

int flock_call(lua_State *L)
{
    LuaStack s(L);
    Flock *flock = make_new<Flock>(ai_allocator(s), ai_allocator(s), state_pool(L));
    if (!flock)
        s.error("out of memory");
    s.push_object(flock, flock_table);
    lua_getfield(L, LUA_REGISTRYINDEX, flocks_key);
    if (lua_istable(L, -1)) {
        lua_getfield(L, -1, "n");
        const lua_Integer n = lua_tointeger(L, -1) + 1;
        lua_pop(L, 1);
        lua_pushinteger(L, n);
        lua_setfield(L, -2, "n");
        lua_pushvalue(L, -2);
        lua_rawseti(L, -2, int(n));
    }
    lua_pop(L, 1);
    return 1;
}

int flock_gc(lua_State *L)
{
    if (is_released(L))
        return 0;
    LuaStack s(L);
    delete_with_allocator(ai_allocator(s), take_object<Flock>(s, flock_table));
    return 0;
}

int flock_add_agent(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    const Vector3 p = point_arg(s, 2);
    const f32 radius = non_negative_arg(s, 3), speed = non_negative_arg(s, 4);
    const u32 agent = flock.add_agent(p, radius, speed);
    if (agent == flock_no_agent)
        s.error("out of memory");
    s.push_integer(agent);
    return 1;
}

int flock_remove_agent(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    flock.remove_agent(agent_arg(s, flock, 2, true));
    return 0;
}

int flock_hold(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    flock.hold(agent_arg(s, flock, 2));
    return 0;
}

int flock_go_to(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    const u32 agent = agent_arg(s, flock, 2);
    flock.go_to(agent, point_arg(s, 3));
    return 0;
}

int flock_follow(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    const u32 agent = agent_arg(s, flock, 2), other = agent_arg(s, flock, 3);
    if (other == agent)
        s.argument_message(3, "an agent cannot follow itself");
    flock.follow(agent, other);
    return 0;
}

int flock_follow_path(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    const u32 agent = agent_arg(s, flock, 2);
    flock.follow_path(agent, path_arg(s, flock, 3));
    return 0;
}

int flock_num_agents(lua_State *L)
{
    LuaStack s(L);
    s.push_integer(flock_arg(s).agent_count());
    return 1;
}

int flock_agent_position(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    push(s, flock.agent(agent_arg(s, flock, 2, true)).position);
    return 1;
}

int flock_agent_rotation(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    const FlockAgent &a = flock.agent(agent_arg(s, flock, 2, true));
    // Rows: right, forward (the heading made perpendicular to up), up.
    Vector3 up = normalize(a.up);
    if (up == Vector3{})
        up = {0, 0, 1};
    Vector3 forward = normalize(a.heading - up * dot(a.heading, up));
    if (forward == Vector3{}) // heading along up: any direction across it
        forward = normalize(std::fabs(up.x) < 0.9f ? cross(up, Vector3{1, 0, 0}) : cross(up, Vector3{0, 1, 0}));
    Matrix4x4 m = matrix4x4_identity;
    set_axis(m, 0, cross(forward, up));
    set_axis(m, 1, forward);
    set_axis(m, 2, up);
    push(s, matrix_to_quaternion(m));
    return 1;
}

int flock_agent_speed(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    s.push_float(length(flock.agent(agent_arg(s, flock, 2, true)).velocity));
    return 1;
}

int flock_agent_radius(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    s.push_float(flock.agent(agent_arg(s, flock, 2, true)).radius);
    return 1;
}

int flock_nearby(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    const FlockAgent &a = flock.agent(agent_arg(s, flock, 2, true));
    const FlockNeighbour &n = a.neighbours[s.get_integer(3, 0, flock_neighbour_count - 1)];
    if (n.agent == flock_no_agent)
        s.push_nil(); // no neighbour found for that record yet
    else
        push(s, n.position);
    return 1;
}

int flock_update(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    flock.update(non_negative_arg(s, 2));
    return 0;
}

int flock_set_navigation_mesh(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    if (s.is_none_or_nil(2) || (lua_type(L, s.index(2)) == LUA_TLIGHTUSERDATA && !lua_touserdata(L, s.index(2)))) {
        flock.set_navigation_mesh(nullptr);
        return 0;
    }
    if (lua_type(L, s.index(2)) != LUA_TLIGHTUSERDATA)
        s.argument_error(2, "navigation mesh");
    void *mesh = lua_touserdata(L, s.index(2));
    if (!live_nav_mesh_serial(mesh))
        s.argument_message(2, "not a navigation mesh that exists (its level may have been unloaded)");
    flock.set_navigation_mesh(static_cast<const NavMesh *>(mesh));
    return 0;
}

int flock_add_path(lua_State *L)
{
    LuaStack s(L);
    const u32 path = flock_arg(s).add_path();
    if (path == flock_no_agent)
        s.error("out of memory");
    s.push_integer(path);
    return 1;
}

int flock_add_path_point(lua_State *L)
{
    LuaStack s(L);
    Flock &flock = flock_arg(s);
    const u32 path = path_arg(s, flock, 2);
    const Vector3 p = point_arg(s, 3);
    if (!flock.add_path_point(path, p, non_negative_arg(s, 4)))
        s.error("out of memory");
    return 0;
}

// FlockVisualizer ---------------------------------------------------------------------------

// The visualizer userdata keeps its flock's userdata in its environment table, so the flock
// is not collected first; a flock released by hand (Flock.__gc) or a released world is an
// error, not a dangling pointer.
FlockVisualizer &visualizer_arg(const LuaStack &stack)
{
    lua_State *L = stack.state();
    auto *view = static_cast<FlockVisualizer *>(stack.get_object(1, visualizer_table));
    lua_getfenv(L, stack.index(1));
    lua_rawgeti(L, -1, 1);
    void *flock = nullptr;
    if (lua_type(L, -1) == LUA_TUSERDATA)
        std::memcpy(&flock, lua_touserdata(L, -1), sizeof(flock));
    lua_rawgeti(L, -2, 2);
    World *world = static_cast<World *>(lua_touserdata(L, -1));
    lua_pop(L, 3);
    if (!flock)
        stack.argument_message(1, "its Flock has been released");
    if (!World::is_live(world))
        stack.argument_message(1, "its World has been released");
    return *view;
}

int visualizer_call(lua_State *L)
{
    LuaStack s(L);
    // Argument 1 is the table itself.
    World *world = get_world(s, 2);
    Flock &flock = *static_cast<Flock *>(s.get_object(3, flock_table));
    const u32 first = u32(s.get_integer(4, 0, 0xFFFFFFFFll));
    FlockVisualizer *view = make_new<FlockVisualizer>(ai_allocator(s), ai_allocator(s), *world, flock, first);
    if (!view)
        s.error("out of memory");
    s.push_object(view, visualizer_table);
    lua_createtable(L, 2, 0);
    lua_pushvalue(L, s.index(3));
    lua_rawseti(L, -2, 1);
    lua_pushlightuserdata(L, world);
    lua_rawseti(L, -2, 2);
    lua_setfenv(L, -2);
    return 1;
}

int visualizer_gc(lua_State *L)
{
    if (is_released(L))
        return 0;
    LuaStack s(L);
    delete_with_allocator(ai_allocator(s), take_object<FlockVisualizer>(s, visualizer_table));
    return 0;
}

int visualizer_add_unit(lua_State *L)
{
    LuaStack s(L);
    FlockVisualizer &view = visualizer_arg(s);
    const NameId64 name = s.get_id64(2);
    const NameId64 material = s.is_none_or_nil(3) ? NameId64() : s.get_id64(3);
    if (!view.add_unit(name, material))
        s.error("the unit could not be spawned (is its \"unit\" resource loaded?)");
    return 0;
}

int visualizer_clear_units(lua_State *L)
{
    LuaStack s(L);
    visualizer_arg(s).clear_units();
    return 0;
}

int visualizer_set_templates(lua_State *L)
{
    LuaStack s(L);
    FlockVisualizer &view = visualizer_arg(s);
    if (!s.is_table(2))
        s.argument_error(2, "table of units");
    const i32 table = s.index(2);
    if (lua_objlen(L, table) != flock_template_count)
        s.argument_message(2, "%u template units needed (5 phases x 3 speed bands), got %u", flock_template_count,
                           u32(lua_objlen(L, table)));
    UnitHandle templates[flock_template_count];
    for (u32 i = 0; i < flock_template_count; ++i) {
        lua_rawgeti(L, table, i32(i + 1));
        templates[i] = s.get_unit_handle(-1);
        lua_pop(L, 1);
        if (!unit_handle_table().get(templates[i]))
            s.argument_message(2, "template %u has been destroyed", i + 1);
    }
    view.set_templates(templates, flock_template_count);
    return 0;
}

int visualizer_set_camera(lua_State *L)
{
    LuaStack s(L);
    FlockVisualizer &view = visualizer_arg(s);
    const Vector3 position = point_arg(s, 2);
    view.set_camera(position, point_arg(s, 3));
    return 0;
}

int visualizer_visualize(lua_State *L)
{
    LuaStack s(L);
    FlockVisualizer &view = visualizer_arg(s);
    view.visualize(non_negative_arg(s, 2));
    return 0;
}

// AI and Level ----------------------------------------------------------------------------

int ai_find_intersecting_units(lua_State *L)
{
    LuaStack s(L);
    if (!s.is_table(1))
        s.argument_error(1, "table of units");
    const f32 distance = non_negative_arg(s, 2);
    const i32 table = s.index(1);
    const u32 count = u32(lua_objlen(L, table));
    // Every unit is checked before any memory is taken: a raised error skips destructors.
    for (u32 i = 0; i < count; ++i) {
        lua_rawgeti(L, table, i32(i + 1));
        Unit *unit = unit_handle_table().get(s.get_unit_handle(-1));
        if (!unit)
            s.argument_message(1, "unit %u has been destroyed", i + 1);
        if (unit->scene_graph().node_count() == 0)
            s.argument_message(1, "unit %u has no nodes", i + 1);
        lua_pop(L, 1);
    }
    bool out_of_memory = false;
    {
        TempAllocator temp;
        Array<PairSearchPoint> points(temp);
        f32 low[2] = {INFINITY, INFINITY}, high[2] = {-INFINITY, -INFINITY};
        for (u32 i = 0; i < count && !out_of_memory; ++i) {
            lua_rawgeti(L, table, i32(i + 1));
            Unit *unit = unit_handle_table().get(s.get_unit_handle(-1)); // checked above: cannot raise
            lua_pop(L, 1);
            const Vector3 p = translation(unit->scene_graph().world_pose(0));
            for (int k = 0; k < 2; ++k) {
                const f32 v = k ? p.y : p.x;
                low[k] = std::min(low[k], v), high[k] = std::max(high[k], v);
            }
            out_of_memory = !points.push_back({{p.x, p.y, p.z}, i});
        }
        // Sweep along the axis the positions spread more on.
        const u32 axis = high[0] - low[0] >= high[1] - low[1] ? 0 : 1;
        Array<PairSearchPair> pairs(temp);
        out_of_memory = out_of_memory || !find_intersecting_units(points, distance, axis, pairs);
        if (!out_of_memory) {
            lua_createtable(L, i32(pairs.size() * 2), 0);
            for (u32 k = 0; k < pairs.size(); ++k) {
                lua_pushnumber(L, pairs[k].first);
                lua_rawseti(L, -2, i32(2 * k + 1));
                lua_pushnumber(L, pairs[k].second);
                lua_rawseti(L, -2, i32(2 * k + 2));
            }
        }
    }
    if (out_of_memory)
        s.error("out of memory");
    return 1;
}

int level_navigation_mesh(lua_State *L)
{
    LuaStack s(L);
    Level &level = get_level(s, 1);
    void *mesh = level.resource().navigation_mesh;
    if (mesh)
        s.push_lightuserdata(mesh);
    else
        s.push_nil();
    return 1;
}

struct Function {
    const char *table;
    const char *name;
    LuaFunction function;
};

} // namespace

void set_ai_thread_pool(LuaEnvironment &env, ThreadPool *pool)
{
    lua_State *L = env.state();
    lua_pushlightuserdata(L, pool);
    lua_setfield(L, LUA_REGISTRYINDEX, pool_key);
}

void hash_flocks(LuaEnvironment &env, StateHasher &hasher)
{
    lua_State *L = env.state();
    lua_getfield(L, LUA_REGISTRYINDEX, flocks_key);
    if (!lua_istable(L, -1)) {
        lua_pop(L, 1);
        return;
    }
    lua_getfield(L, -1, "n");
    const lua_Integer n = lua_tointeger(L, -1);
    lua_pop(L, 1);
    for (lua_Integer i = 1; i <= n; ++i) {
        lua_rawgeti(L, -1, int(i));
        Flock *flock = nullptr;
        if (lua_type(L, -1) == LUA_TUSERDATA)
            std::memcpy(&flock, lua_touserdata(L, -1), sizeof(flock));
        if (flock) {
            hasher.add(u32(i));
            flock->hash_state(hasher);
        }
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
}

void register_ai_api(LuaEnvironment &env, Allocator &allocator)
{
    install_level_nav_mesh_reader();
    {
        lua_State *L = env.state();
        lua_newtable(L);
        lua_newtable(L);
        lua_pushstring(L, "v");
        lua_setfield(L, -2, "__mode");
        lua_setmetatable(L, -2);
        lua_pushinteger(L, 0);
        lua_setfield(L, -2, "n");
        lua_setfield(L, LUA_REGISTRYINDEX, flocks_key);
    }
    void *a = &allocator;
    static const Function functions[] = {
        {"Broadphase", "add", broadphase_add},
        {"Broadphase", "move", broadphase_move},
        {"Broadphase", "remove", broadphase_remove},
        {"Broadphase", "query", broadphase_query},
        {"Flock", "add_agent", flock_add_agent},
        {"Flock", "remove_agent", flock_remove_agent},
        {"Flock", "hold", flock_hold},
        {"Flock", "go_to", flock_go_to},
        {"Flock", "follow", flock_follow},
        {"Flock", "follow_path", flock_follow_path},
        {"Flock", "num_agents", flock_num_agents},
        {"Flock", "agent_position", flock_agent_position},
        {"Flock", "agent_rotation", flock_agent_rotation},
        {"Flock", "agent_speed", flock_agent_speed},
        {"Flock", "agent_radius", flock_agent_radius},
        {"Flock", "nearby", flock_nearby},
        {"Flock", "update", flock_update},
        {"Flock", "set_navigation_mesh", flock_set_navigation_mesh},
        {"Flock", "add_path", flock_add_path},
        {"Flock", "add_path_point", flock_add_path_point},
        {"FlockVisualizer", "add_unit", visualizer_add_unit},
        {"FlockVisualizer", "clear_units", visualizer_clear_units},
        {"FlockVisualizer", "set_templates", visualizer_set_templates},
        {"FlockVisualizer", "set_camera", visualizer_set_camera},
        {"FlockVisualizer", "visualize", visualizer_visualize},
        {"AI", "find_intersecting_units", ai_find_intersecting_units},
        {"Level", "navigation_mesh", level_navigation_mesh},
    };
    for (const Function &f : functions)
        env.add_module_function(f.table, f.name, f.function);
    env.add_module_metamethod(broadphase_table, "__call", broadphase_call, a);
    env.add_module_function(broadphase_table, "__gc", broadphase_gc, a);
    env.add_module_metamethod(flock_table, "__call", flock_call, a);
    env.add_module_function(flock_table, "__gc", flock_gc, a);
    env.add_module_metamethod(visualizer_table, "__call", visualizer_call, a);
    env.add_module_function(visualizer_table, "__gc", visualizer_gc, a);
}

} // namespace tallow
