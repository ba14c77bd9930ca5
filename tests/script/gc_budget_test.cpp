#include "script_fixture.h"

#include "script/runtime/gc_budget.h"

namespace tallow::test {
namespace {

TEST(GcBudgetDecision, RatioFollowsHeapGrowthOverTheSmallestEstimate)
{
    struct Case {
        const char *name;
        GcStatistics before;
        i32 count_kb, estimate_kb;
        bool full;
        f32 ratio;
    };
    GcStatistics fresh;
    GcStatistics previous = fresh;
    previous.prev_max = 5000;
    previous.prev_min = 1000;
    const Case cases[] = {
        {"fresh state, heap near its estimate: floor", fresh, 1000, 1000, false, gc_ratio_floor},
        {"estimate 0: ratio -1.1 raised to the floor", fresh, 1000, 0, false, gc_ratio_floor},
        {"moderate growth", fresh, 1600, 1000, false, 1.6f - 1.1f},
        {"exactly 2.1 times: no full collection", fresh, 2100, 1000, false, 1.0f},
        {"more than 2.1 times: full collection and a whole frame", fresh, 2200, 1000, true, 1.0f},
        {"previous period's peak still counts", previous, 1000, 1000, true, 1.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        GcStatistics s = c.before;
        GcDecision d = gc_budget_decide(s, c.count_kb, c.estimate_kb);
        EXPECT_EQ(d.full_collection, c.full);
        EXPECT_NEAR(d.ratio, c.ratio, 1e-5);
        if (c.full) {
            // The period ended: this period's numbers became the previous ones.
            EXPECT_EQ(s.max_count, 0);
            EXPECT_EQ(s.min_estimate, 2147483647);
            EXPECT_EQ(s.prev_max, std::max(c.count_kb, c.before.max_count));
        }
    }
}

using GcBudgetTest = ScriptTest;

TEST_F(GcBudgetTest, BudgetKeepsTheHeapBoundedOverManyFramesOfGarbage)
{
    // Each frame makes about 300 KB of tables and strings that die at once, and keeps a
    // small live set that slowly changes.
    ASSERT_EQ(run("live = {}\n"
                  "function update(frame)\n"
                  "  local junk = {}\n"
                  "  for i = 1, 2000 do junk[i] = {i, i * 2, tostring(frame * 10000 + i)} end\n"
                  "  live[frame % 500] = string.rep('k', 200)\n"
                  "end"),
              "");
    lua_State *L = env.state();
    i32 peak_kb = 0;
    i32 first_kb = 0;
    for (int frame = 1; frame <= 1000; ++frame) {
        env.collect_garbage();
        lua_pushnumber(L, frame);
        LuaStack args(L, lua_gettop(L) - 1);
        CallResult r = env.call_function("update", &args);
        ASSERT_FALSE(r.error);
        lua_settop(L, r.base);
        i32 kb = lua_gc(L, LUA_GCCOUNT, 0);
        if (frame == 100)
            first_kb = kb;
        if (frame > 100)
            peak_kb = std::max(peak_kb, kb);
    }
    // Unbudgeted, the stopped collector would hold 1000 x 290 KB; the budget keeps the heap
    // within a small multiple of its early size.
    EXPECT_GT(first_kb, 0);
    EXPECT_LT(peak_kb, 6 * first_kb + 2048) << "first " << first_kb;
    EXPECT_LT(peak_kb, 40 * 1024);
    EXPECT_GT(env.gc_statistics().completed_cycles + env.gc_statistics().full_collections, 10u);
}

TEST_F(GcBudgetTest, CollectorStaysStoppedBetweenBudgets)
{
    lua_State *L = env.state();
    env.collect_garbage();
    i32 before = lua_gc(L, LUA_GCCOUNT, 0);
    // Several MB of garbage that dies at once, without a budget: a running collector would
    // reclaim most of it as it goes; a stopped one reclaims nothing in between.
    // (Stored in a global so the compiler cannot sink the allocation.)
    ASSERT_EQ(run("for i = 1, 100000 do last = {i, i, i} end last = nil"), "");
    i32 after = lua_gc(L, LUA_GCCOUNT, 0);
    EXPECT_GT(after - before, 4000);
    // The next budgets reclaim it (a full collection once the growth passes 2.1 times).
    for (int i = 0; i < 3; ++i)
        env.collect_garbage();
    EXPECT_LT(lua_gc(L, LUA_GCCOUNT, 0), after / 2);
    EXPECT_GE(env.gc_statistics().full_collections, 1u);
}

} // namespace
} // namespace tallow::test
