#include "script/runtime/gc_budget.h"

#include "script/runtime/lua_environment.h"

#include <lua.hpp>

#include <algorithm>
#include <chrono>

namespace tallow {

GcDecision gc_budget_decide(GcStatistics &s, i32 count_kb, i32 estimate_kb)
{
    s.max_count = std::max(s.max_count, count_kb);
    i32 a = std::max(s.max_count, s.prev_max);
    s.min_estimate = std::min(s.min_estimate, estimate_kb);
    i32 b = std::min(s.min_estimate, s.prev_min);
    f32 quotient = b > 0 ? f32(a) / f32(b) : 0.0f;
    GcDecision d;
    d.ratio = quotient - gc_growth_allowance;
    if (d.ratio > gc_ratio_ceiling) {
        d.full_collection = true;
        d.ratio = gc_ratio_ceiling;
        s.reset();
    } else if (d.ratio < gc_ratio_floor) {
        d.ratio = gc_ratio_floor;
    }
    return d;
}

void LuaEnvironment::collect_garbage()
{
    lua_State *L = _state;
    i32 count = lua_gc(L, LUA_GCCOUNT, 0);
    // Never let a missing estimate through: a negative one would keep the ratio negative
    // and the forced full collection would never come.
    i32 estimate = _gc.live_estimate >= 0 ? _gc.live_estimate : count;
    GcDecision d = gc_budget_decide(_gc, count, estimate);
    if (d.full_collection) {
        lua_gc(L, LUA_GCCOLLECT, 0);
        _gc.live_estimate = lua_gc(L, LUA_GCCOUNT, 0);
        ++_gc.full_collections;
    }
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::nanoseconds(i64(f64(d.ratio) * f64(gc_frame_seconds) * 1e9));
    for (u32 i = 1;; ++i) {
        if (i > 1 && (i > gc_max_steps || Clock::now() > deadline))
            break;
        if (lua_gc(L, LUA_GCSTEP, 0) == 1) {
            _gc.live_estimate = lua_gc(L, LUA_GCCOUNT, 0);
            ++_gc.completed_cycles;
            _gc.reset();
        }
    }
    lua_gc(L, LUA_GCSTOP, 0);
}

} // namespace tallow
