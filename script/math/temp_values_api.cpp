// Script table `Script`: the temporary-value counts.
//
//   local v, q, m = Script.temp_count()
//   for i = 1, n do
//       ...                                   -- makes temporaries
//       Script.set_temp_count(v, q, m)        -- drops this pass's temporaries
//   end

#include "script/script_api.h"

#include "script/runtime/lua_environment.h"

namespace tallow {

namespace {

int temp_count(lua_State *L)
{
    LuaStack stack(L);
    LuaEnvironment &env = stack.environment();
    stack.push_integer(env.vector3_temps().count());
    stack.push_integer(env.quaternion_temps().count());
    stack.push_integer(env.matrix4x4_temps().count());
    return 3;
}

int set_temp_count(lua_State *L)
{
    LuaStack stack(L);
    LuaEnvironment &env = stack.environment();
    u32 v = u32(stack.get_integer(1, 0, temp_max_entries));
    u32 q = u32(stack.get_integer(2, 0, temp_max_entries));
    u32 m = u32(stack.get_integer(3, 0, temp_max_entries));
    if (!env.vector3_temps().set_count(v) || !env.quaternion_temps().set_count(q) ||
        !env.matrix4x4_temps().set_count(m))
        stack.error("out of memory for temporary values");
    return 0;
}

} // namespace

void register_temp_values_api(LuaEnvironment &env)
{
    env.add_module_function("Script", "temp_count", temp_count);
    env.add_module_function("Script", "set_temp_count", set_temp_count);
}

} // namespace tallow
