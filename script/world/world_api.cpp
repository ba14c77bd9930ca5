// Script tables `World` and `Level`: how scripts drive a world.
//
//   local w = Application.new_world()
//   local crate = World.spawn_unit(w, "units/crate", Vector3(0, 0, 1), Quaternion.identity())
//   World.set_data(w, "score", 10)
//   World.update(w)                           -- or World.update(w, 1 / 60)
//
// See script/world/world_api.h for the rules on released worlds, stale units and services that
// are not built yet; the shading environment functions are in script/render/viewport_api.cpp.

#include "script/world/world_api.h"

#include "foundation/math/quaternion.h"
#include "resource/resource_manager.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_flow_script.h"
#include "script/math/math_api_internal.h"
#include "script/render/render_api.h"
#include "script/runtime/script_data_store.h"
#include "world/flow/flow.h"
#include "world/levels/level.h"
#include "world/units/unit.h"
#include "world/world.h"

#include <lua.hpp>

#include <cstring>

namespace tallow {

namespace {

constexpr const char *world_table = "World";
// Registry key of the state's flow script object (a full userdata holding a LuaFlowScript).
constexpr const char *flow_script_key = "tallow.flow_script";
FrameStepSource frame_step_source = nullptr;

f32 dt_arg(const LuaStack &stack, i32 arg)
{
    if (!stack.is_none_or_nil(arg)) {
        const f64 dt = stack.get_number(arg);
        if (!(dt >= 0 && dt <= 3.4e38))
            stack.argument_message(arg, "a time step must be a finite number, zero or more");
        return f32(dt);
    }
    return frame_step_source ? frame_step_source(stack.environment()) : 1.0f / 30.0f;
}

/// The unit at `arg` when it is alive and in `world`; null for a stale unit or one of
/// another world. Anything that is not a unit reference raises.
Unit *world_unit_arg(const LuaStack &stack, World &world, i32 arg) { return world.unit(stack.get_unit_handle(arg)); }

ChunkStore &world_data(const LuaStack &stack) { return get_world(stack, 1)->data(); }

int missing_service(lua_State *L)
{
    LuaStack stack(L);
    stack.error("the %s service is not built yet", static_cast<const char *>(stack.upvalue()));
}

/// The world at argument 1, when it may be updated: not from inside its own flow runs
/// (a level or unit callback), where an update would walk lists the run is changing.
World *world_to_update(const LuaStack &stack)
{
    World *world = get_world(stack, 1);
    if (world->in_flow_run())
        stack.error("a world cannot be updated from inside its own flow run");
    return world;
}

int world_update(lua_State *L)
{
    LuaStack stack(L);
    World *world = world_to_update(stack);
    world->update(dt_arg(stack, 2));
    return 0;
}

int world_update_animations(lua_State *L)
{
    LuaStack stack(L);
    World *world = world_to_update(stack);
    world->update_animations(dt_arg(stack, 2));
    return 0;
}

int world_time(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(get_world(stack, 1)->world_time());
    return 1;
}

int world_debug_camera_pose(lua_State *L)
{
    LuaStack stack(L);
    math_api::push(stack, get_world(stack, 1)->debug_camera_pose());
    return 1;
}

int world_delta_time(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(get_world(stack, 1)->frame_step());
    return 1;
}

int world_spawn_unit(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    NameId64 name = stack.get_id64(2);
    // An argument that is nil counts as not given (a nil position is no Vector3).
    Vector3 position = stack.is_none_or_nil(3) ? Vector3{0, 0, 0} : math_api::vector3_arg(stack, 3);
    Quaternion rotation = stack.is_none_or_nil(4) ? Quaternion{0, 0, 0, 1} : math_api::quaternion_arg(stack, 4);
    Matrix4x4 pose = pose_from_quaternion(rotation, position);
    Unit *unit = stack.is_none_or_nil(5) ? world->spawn_unit(name, pose)
                                          : world->spawn_unit_with_material(name, stack.get_id64(5), pose);
    // A unit resource that is not loaded (or a full handle table) gives nil, logged.
    if (unit)
        stack.push_unit_reference(unit->handle());
    else
        stack.push_nil();
    return 1;
}

int world_destroy_unit(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    if (Unit *unit = world_unit_arg(stack, *world, 2))
        world->destroy_unit(*unit);
    return 0;
}

int world_num_units(lua_State *L)
{
    LuaStack stack(L);
    stack.push_integer(get_world(stack, 1)->units().size());
    return 1;
}

int world_units(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    const Array<Unit *> &units = world->units();
    lua_createtable(L, i32(units.size()), 0);
    for (u32 i = 0; i < units.size(); ++i) {
        stack.push_unit_reference(units[i]->handle());
        lua_rawseti(L, -2, i32(i + 1));
    }
    return 1;
}

int world_link_unit(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    Unit *child = world_unit_arg(stack, *world, 2);
    Unit *parent = world_unit_arg(stack, *world, 3);
    u32 node = u32(stack.get_integer(4, 0, 0xFFFFFFFFll));
    // Cycles and nodes out of range are refused by the World (logged).
    if (child && parent)
        (void)world->link_unit(*child, *parent, node);
    return 0;
}

int world_unlink_unit(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    if (Unit *unit = world_unit_arg(stack, *world, 2))
        world->unlink_unit(*unit);
    return 0;
}

int world_update_unit(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    if (Unit *unit = world_unit_arg(stack, *world, 2))
        world->update_unit(*unit);
    return 0;
}

int world_load_level(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    NameId64 name = stack.get_id64(2);
    const auto *resource = world->resource_manager()
                               ? static_cast<const LevelResource *>(world->resource_manager()->get(level_type, name))
                               : nullptr;
    if (!resource)
        stack.argument_message(2, "no \"level\" resource of that name is loaded");
    if (!world->script())
        world->set_script(flow_script_for(L));
    // The level's script value: the level gives the reference back when it goes.
    i32 reference = flow_no_script_reference;
    if (stack.count() >= 3) {
        stack.push_copy(3);
        reference = luaL_ref(L, LUA_REGISTRYINDEX);
    }
    Level *level = world->load_level(*resource, reference);
    if (!level) {
        if (reference != flow_no_script_reference)
            luaL_unref(L, LUA_REGISTRYINDEX, reference);
        stack.error("the level could not be made");
    }
    push_level(L, level);
    return 1;
}

int world_level(lua_State *L)
{
    LuaStack stack(L);
    push_level(L, get_world(stack, 1)->level());
    return 1;
}

ChunkStore &level_data(const LuaStack &stack) { return get_level(stack, 1).data(); }

int level_trigger_level_loaded(lua_State *L)
{
    LuaStack stack(L);
    get_level(stack, 1).trigger_level_loaded();
    return 0;
}

int level_trigger_event(lua_State *L)
{
    LuaStack stack(L);
    Level &level = get_level(stack, 1);
    level.trigger_event(stack.get_id32(2).value(), 0);
    return 0;
}

int level_spline(lua_State *L)
{
    LuaStack stack(L);
    Level &level = get_level(stack, 1);
    u32 count = 0;
    const Vector3 *points = level.resource().find_spline(stack.get_id32(2).value(), count);
    lua_createtable(L, i32(count), 0);
    for (u32 i = 0; i < count; ++i) {
        stack.push_vector3(points[i].x, points[i].y, points[i].z);
        lua_rawseti(L, -2, i32(i + 1));
    }
    return 1;
}

} // namespace

IFlowScript *flow_script_for(lua_State *L)
{
    lua_getfield(L, LUA_REGISTRYINDEX, flow_script_key);
    void *block = lua_touserdata(L, -1);
    lua_pop(L, 1);
    if (!block) {
        // Kept in the registry for the state's whole life; LuaFlowScript holds only a
        // reference to the environment, so it needs no finaliser.
        block = lua_newuserdata(L, sizeof(LuaFlowScript));
        new (block) LuaFlowScript(LuaEnvironment::from_state(L));
        lua_setfield(L, LUA_REGISTRYINDEX, flow_script_key);
    }
    return static_cast<LuaFlowScript *>(block);
}

bool is_level_reference(const void *value, u32 &out_serial)
{
    u64 v = reinterpret_cast<uintptr_t>(value);
    if ((v & ~u64(0x1FFFFFFFFull)) != level_reference_tag || !(v & 1))
        return false;
    out_serial = u32(v >> 1);
    return true;
}

void push_level(lua_State *L, const Level *level)
{
    lua_pushlightuserdata(L, level ? reinterpret_cast<void *>(uintptr_t(level_reference_value(level->serial())))
                                   : nullptr);
}

Level &get_level(const LuaStack &stack, i32 arg)
{
    lua_State *L = stack.state();
    u32 serial = 0;
    Level *level = nullptr;
    if (lua_type(L, stack.index(arg)) == LUA_TLIGHTUSERDATA &&
        is_level_reference(lua_touserdata(L, stack.index(arg)), serial))
        level = level_by_serial(serial);
    if (!level)
        stack.argument_message(arg, "not a live Level (released, replaced or another value)");
    return *level;
}

void push_world(lua_State *L, World *world) { LuaStack(L).push_object(world, world_table); }

World *get_world(const LuaStack &stack, i32 arg)
{
    auto *world = static_cast<World *>(stack.get_object(arg, world_table));
    if (!World::is_live(world))
        stack.argument_message(arg, "World has been released");
    return world;
}

void set_frame_step_source(FrameStepSource source) { frame_step_source = source; }

void add_missing_service_function(LuaEnvironment &env, const char *table, const char *name, const char *service)
{
    env.add_module_function(table, name, missing_service, const_cast<char *>(service));
}

void add_script_functions(LuaEnvironment &env, const ScriptFunction *functions, u32 count)
{
    for (u32 i = 0; i < count; ++i) {
        const ScriptFunction &f = functions[i];
        if (f.function)
            env.add_module_function(f.table, f.name, f.function);
        else
            add_missing_service_function(env, f.table, f.name, f.service);
    }
}

void register_world_api(LuaEnvironment &env)
{
    static const ScriptFunction world[] = {
        {"World", "update", world_update, nullptr},
        {"World", "update_animations", world_update_animations, nullptr},
        {"World", "update_scene", world_update_animations, nullptr},
        {"World", "time", world_time, nullptr},
        {"World", "delta_time", world_delta_time, nullptr},
        {"World", "spawn_unit", world_spawn_unit, nullptr},
        {"World", "destroy_unit", world_destroy_unit, nullptr},
        {"World", "num_units", world_num_units, nullptr},
        {"World", "units", world_units, nullptr},
        {"World", "link_unit", world_link_unit, nullptr},
        {"World", "unlink_unit", world_unlink_unit, nullptr},
        {"World", "update_unit", world_update_unit, nullptr},
        {"World", "create_line_object", world_create_line_object, nullptr},
        {"World", "destroy_line_object", world_destroy_line_object, nullptr},
        {"World", "create_screen_gui", world_create_screen_gui, nullptr},
        {"World", "create_world_gui", world_create_world_gui, nullptr},
        {"World", "destroy_gui", world_destroy_gui, nullptr},
        {"World", "load_level", world_load_level, nullptr},
        {"World", "level", world_level, nullptr},
        {"World", "set_data", script_data_set_binding<world_data, 2>, nullptr},
        {"World", "get_data", script_data_get_binding<world_data, 2>, nullptr},
        {"World", "has_data", script_data_has_binding<world_data, 2>, nullptr},
        {"World", "clear_permanent_lines", world_clear_permanent_lines, nullptr},
        {"World", "debug_camera_pose", world_debug_camera_pose, nullptr},
        {"World", "create_shading_environment", world_create_shading_environment, nullptr},
        {"World", "set_shading_environment", world_set_shading_environment, nullptr},
        {"World", "destroy_shading_environment", world_destroy_shading_environment, nullptr},
    };
    add_script_functions(env, world, sizeof(world) / sizeof(world[0]));
    register_world_sound_api(env);
    register_world_particle_api(env);
    env.add_module_function("Level", "trigger_level_loaded", level_trigger_level_loaded);
    env.add_module_function("Level", "trigger_event", level_trigger_event);
    env.add_module_function("Level", "get_data", script_data_get_binding<level_data, 2>);
    env.add_module_function("Level", "has_data", script_data_has_binding<level_data, 2>);
    env.add_module_function("Level", "spline", level_spline);
}

} // namespace tallow
