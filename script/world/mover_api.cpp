// The `Mover` script table (see script/world/physics_api.h).
#include "script/world/physics_api_internal.h"

#include "physics/physics_world.h"
#include "script/math/math_api_internal.h"
#include "script/world/world_api.h"
#include "world/units/unit_handle.h"

#include <lua.hpp>

namespace tallow {

using namespace physics_api;

namespace {

using math_api::push;
using math_api::quaternion_arg;
using math_api::vector3_arg;

// Mover -------------------------------------------------------------------------------------

int mover_move(lua_State *L)
{
    LuaStack stack(L);
    PhysicsMover &m = mover_arg(stack, 1);
    m.world->move_mover(&m, finite_vector3_arg(stack, 2));
    return 0;
}

int mover_position(lua_State *L)
{
    LuaStack stack(L);
    PhysicsMover &m = mover_arg(stack, 1);
    push(stack, m.world->mover_position(&m));
    return 1;
}

int mover_set_position(lua_State *L)
{
    LuaStack stack(L);
    PhysicsMover &m = mover_arg(stack, 1);
    m.world->set_mover_position(&m, finite_vector3_arg(stack, 2));
    return 0;
}

int mover_unit(lua_State *L)
{
    LuaStack stack(L);
    PhysicsMover &m = mover_arg(stack, 1);
    if (m.unit && unit_handle_table().get(m.unit))
        stack.push_unit_reference(m.unit);
    else
        stack.push_nil();
    return 1;
}

int mover_standing(lua_State *L)
{
    LuaStack stack(L);
    stack.push_bool(mover_arg(stack, 1).standing);
    return 1;
}

template <bool Standing> int mover_frames(lua_State *L)
{
    LuaStack stack(L);
    PhysicsMover &m = mover_arg(stack, 1);
    stack.push_integer(Standing ? m.standing_frames : m.flying_frames);
    return 1;
}

int mover_collision(lua_State *L)
{
    LuaStack stack(L);
    PhysicsMover &m = mover_arg(stack, 1);
    stack.push_bool(m.collision & px::collision_sides);
    stack.push_bool(m.collision & px::collision_up);
    stack.push_bool(m.collision & px::collision_down);
    return 3;
}

int mover_set_collision_filter(lua_State *L)
{
    LuaStack stack(L);
    PhysicsMover &m = mover_arg(stack, 1);
    m.world->set_mover_collision_filter(&m, filter_arg(stack, 2));
    return 0;
}

} // namespace

void physics_api::register_mover(LuaEnvironment &env)
{
    static const ScriptFunction functions[] = {
        {"Mover", "move", mover_move, nullptr},
        {"Mover", "position", mover_position, nullptr},
        {"Mover", "set_position", mover_set_position, nullptr},
        {"Mover", "unit", mover_unit, nullptr},
        {"Mover", "standing", mover_standing, nullptr},
        {"Mover", "standing_frames", mover_frames<true>, nullptr},
        {"Mover", "flying_frames", mover_frames<false>, nullptr},
        {"Mover", "collision", mover_collision, nullptr},
        {"Mover", "set_collision_filter", mover_set_collision_filter, nullptr},
    };
    add_script_functions(env, functions, sizeof functions / sizeof functions[0]);
}

} // namespace tallow
