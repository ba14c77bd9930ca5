#pragma once
// How the script benchmarks call into Lua: as the game does, one call of a script global per
// frame through LuaEnvironment::call_function (the temporaries reset first), each call
// handed the number of passes to make, each frame ended by the collection budget.

#include "script/runtime/lua_environment.h"

#include <lua.hpp>

#include <cstdio>

namespace tallow::bench {

/// Runs a chunk of set-up code; an error is printed.
inline void run_script_chunk(LuaEnvironment &env, const char *code)
{
    lua_State *L = env.state();
    if (luaL_loadstring(L, code) || lua_pcall(L, 0, 0, 0))
        std::fprintf(stderr, "bench script: %s\n", lua_tostring(L, -1));
    lua_settop(L, 0);
}

/// Calls global `function(passes_per_frame)` for `frames` frames; returns the sum of the
/// numbers it returned (for DoNotOptimize). Errors are printed.
inline double run_script_frames(LuaEnvironment &env, const char *function, int frames, int passes_per_frame)
{
    lua_State *L = env.state();
    double sum = 0;
    for (int f = 0; f < frames; ++f) {
        lua_pushnumber(L, passes_per_frame);
        LuaStack args(L, lua_gettop(L) - 1);
        CallResult r = env.call_function(function, &args);
        if (r.error)
            std::fprintf(stderr, "%s: %s\n", function, lua_tostring(L, -1));
        sum += lua_tonumber(L, -1);
        lua_settop(L, 0);
        env.collect_garbage();
    }
    return sum;
}

} // namespace tallow::bench
