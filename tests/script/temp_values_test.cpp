#include "script_fixture.h"
#include "script_probe.h"

#include "script/script_api.h"

namespace tallow::test {
namespace {

class TempValuesTest : public ScriptTest {
  protected:
    TempValuesTest()
    {
        register_script_api(env, nullptr, nullptr, default_allocator());
        register_probe(env);
    }
    /// One frame: call_function resets the temporaries first, as the game's calls do.
    void frame(const char *function)
    {
        CallResult r = env.call_function(function);
        if (r.error)
            ADD_FAILURE() << lua_tostring(r.state, -1);
        lua_settop(r.state, r.base);
    }
};

TEST_F(TempValuesTest, ManyTemporariesInOneFrameKeepTheirValues)
{
    // Far more than the reserved 50,000 per kind: later blocks must not move earlier ones.
    ASSERT_EQ(run("function many()\n"
                  "  local held = {}\n"
                  "  for i = 1, 180000 do held[i] = Probe.vec(i, -i, i * 0.5) end\n"
                  "  local q = {} for i = 1, 60000 do q[i] = Probe.quat(i, 0, 0, -i) end\n"
                  "  local m = {} for i = 1, 60000 do m[i] = Probe.matrix(i) end\n"
                  "  for i = 1, 180000 do\n"
                  "    local x, y, z = Probe.xyz(held[i])\n"
                  "    assert(x == i and y == -i and z == i * 0.5, 'vector ' .. i)\n"
                  "  end\n"
                  "  for i = 1, 60000 do assert(Probe.w(q[i]) == -i and Probe.m15(m[i]) == 15 * i, 'q/m ' .. i) end\n"
                  "  counts = {Script.temp_count()}\n"
                  "end\n"
                  "function count() after = {Script.temp_count()} end"),
              "");
    frame("many");
    EXPECT_EQ(run("assert(counts[1] == 180000 and counts[2] == 60000 and counts[3] == 60000)"), "");
    EXPECT_EQ(env.vector3_temps().count(), 180000u);
    frame("count"); // the next frame starts from zero
    EXPECT_EQ(run("assert(after[1] == 0 and after[2] == 0 and after[3] == 0)"), "");
}

TEST_F(TempValuesTest, SetTempCountReusesAndTagsSlots)
{
    ASSERT_EQ(run("function loop()\n"
                  "  local v0, q0, m0 = Script.temp_count()\n"
                  "  local keep = Probe.vec(7, 8, 9)\n"
                  "  local v1 = Script.temp_count()\n"
                  "  for pass = 1, 1000 do\n"
                  "    for i = 1, 100 do Probe.add(keep, Probe.vec(i, i, i)) end\n"
                  "    Script.set_temp_count(v1, q0, m0)\n"
                  "  end\n"
                  "  peak = Script.temp_count()\n"
                  "  assert(Probe.length(keep) == Probe.length(Probe.vec(7, 8, 9)))\n"
                  "  Script.set_temp_count(0, 0, 0)\n"
                  "  first = Probe.vec(1, 2, 3)\n"
                  "  Script.set_temp_count(5, 0, 0)\n"
                  "  sixth = Probe.vec(4, 5, 6)\n"
                  "end"),
              "");
    frame("loop");
    EXPECT_EQ(number("peak"), 1); // the loop's temporaries never pile up
    lua_State *L = env.state();
    lua_getglobal(L, "first");
    lua_getglobal(L, "sixth");
    auto *first = static_cast<u8 *>(lua_touserdata(L, -2));
    auto *sixth = static_cast<u8 *>(lua_touserdata(L, -1));
    EXPECT_EQ(sixth - first, 5 * i64(sizeof(Vector3Temp))); // slots 0 and 5
    for (int i = 0; i < 6; ++i) {
        u32 tag;
        std::memcpy(&tag, first + i * sizeof(Vector3Temp), 4);
        EXPECT_EQ(tag, vector3_tag);
    }
    lua_pop(L, 2);
}

TEST_F(TempValuesTest, TemporariesDieWithTheFrame)
{
    // The next frame makes its own value first: the kept one must not read as it.
    ASSERT_EQ(run("function make() held = Probe.vec(1, 2, 2) end\n"
                  "function use() local new = Probe.vec(0, 3, 4); ok, message = pcall(Probe.length, held) end"),
              "");
    frame("make");
    frame("use");
    EXPECT_EQ(run("assert(not ok)"), "");
    EXPECT_NE(string("message").find("stale temporary"), std::string::npos);
    // Callbacks and do_string do not reset: their temporaries live until the next frame.
    env.do_string("made = Probe.vec(1, 1, 1)");
    env.do_string("assert(Probe.length(made) > 1.7)");
    EXPECT_EQ(errors_reported, 0);
}

TEST_F(TempValuesTest, RunawayTemporariesAreAScriptError)
{
    ASSERT_EQ(run("function runaway() for i = 1, 2000000 do Probe.vec(1, 2, 3) end end"), "");
    CallResult r = env.call_function("runaway");
    ASSERT_TRUE(r.error);
    EXPECT_NE(std::string(lua_tostring(r.state, -1)).find("too many temporary Vector3 values this frame"),
              std::string::npos);
    lua_settop(r.state, r.base);
    EXPECT_EQ(env.vector3_temps().count(), temp_max_entries);
    ASSERT_EQ(run("function after() v = Probe.vec(1, 2, 3) end"), "");
    frame("after"); // the next frame starts afresh
    EXPECT_EQ(env.vector3_temps().count(), 1u);
}

} // namespace
} // namespace tallow::test
