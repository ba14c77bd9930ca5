// Every binding raises without keeping memory: each registered function is called with a
// set of wrong argument lists (missing, wrong kinds, a destroyed unit, a table holding one,
// a stale temporary); the lists that raise are raised again many times, and the scratch
// pool, the Lua allocator and the default allocator end where they began.
#include "all_services_fixture.h"

#include "application/my_game.h"
#include "foundation/memory/scratch_pool.h"

namespace tallow::test {
namespace {

using BindingErrorsTest = AllServicesTest;

/// Pushes the function `name` ("Table.function", "Table.__call" or a global); false when
/// it is gone (a call before may have replaced it).
bool push_function(lua_State *L, const std::string &name, bool &out_self)
{
    out_self = false;
    const size_t dot = name.find('.');
    if (dot == std::string::npos) {
        lua_getglobal(L, name.c_str());
    } else {
        lua_getfield(L, LUA_REGISTRYINDEX, name.substr(0, dot).c_str());
        if (!lua_istable(L, -1)) {
            lua_pop(L, 1);
            return false;
        }
        const std::string field = name.substr(dot + 1);
        if (field == "__call") {
            out_self = true; // called as Table(...): the table is the first argument
            if (!lua_getmetatable(L, -1)) {
                lua_pop(L, 1);
                return false;
            }
            lua_getfield(L, -1, "__call"); // table, metatable, function
            lua_remove(L, -2);
            lua_insert(L, -2); // function, table
        } else {
            lua_getfield(L, -1, field.c_str());
            lua_remove(L, -2);
        }
    }
    if (!lua_isfunction(L, -1)) {
        lua_settop(L, lua_gettop(L) - (out_self ? 2 : 1));
        return false;
    }
    return true;
}

struct Counts {
    u32 scratch_frames;
    u32 scratch_blocks;
    u64 lua_allocations;
    u64 default_bytes; // shared with the Application's other threads: not exact
};

Counts counts(LuaEnvironment &env)
{
    lua_gc(env.state(), LUA_GCCOLLECT, 0);
    lua_gc(env.state(), LUA_GCCOLLECT, 0);
    ScratchPool *pool = thread_scratch_pool();
    return {pool->open_frame_count(), pool->block_count(), env.allocation_count(), default_allocator().total_allocated()};
}

TEST_F(BindingErrorsTest, RaisingCallsKeepNoMemory)
{
    source.set("boot", "function setup()\n"
                       "  if not pcall(World.num_units, w) then w = Application.new_world() end\n"
                       "  if not (u and Unit.alive(u)) then u = World.spawn_unit(w, 'units/crate') end\n"
                       "  dead = World.spawn_unit(w, 'units/crate')\n"
                       "  World.destroy_unit(w, dead)\n"
                       "  graveyard = {u, dead}\n"
                       "end\n"
                       "function init()\n"
                       "  stale = Vector3(1, 2, 3)\n"
                       "  Script.set_temp_count(0, 0, 0)\n"
                       "  v = Vector3(4, 5, 6)\n"
                       "  setup()\n"
                       "end\n"
                       "function update() end\nfunction render() end\n");
    ASSERT_TRUE(make().init()) << [&] {
        std::string lines;
        for (const std::string &line : log.lines())
            lines += line + "\n";
        return lines;
    }();
    LuaEnvironment &env = static_cast<MyGame *>(app->game())->lua();
    lua_State *L = env.state();
    const std::vector<std::string> names = registered_functions(L);
    ASSERT_GT(names.size(), 500u);

    // Values by global name ("" is nil); lists of up to three of them.
    const std::vector<std::string> values = {"", "one", "text", "empty", "w", "u", "dead", "graveyard", "stale", "v"};
    luaL_dostring(L, "one, text, empty = 1, 'x', {}");
    std::vector<std::vector<std::string>> lists = {{}};
    for (const std::string &a : values)
        lists.push_back({a});
    for (const char *a : {"w", "u", "dead", "graveyard", "text", ""})
        for (const std::string &b : values)
            lists.push_back({a, b});
    for (const char *a : {"u", "text", "one"})
        for (const std::string &b : values)
            lists.push_back({"w", a, b});

    // Functions that end the run or wait on the world outside.
    const std::set<std::string> skipped = {"Application.quit"};
    const u32 repeats = 8;
    u32 raising = 0;
    std::vector<std::string> leaking;
    for (const std::string &name : names) {
        if (skipped.count(name))
            continue;
        auto call = [&](const std::vector<std::string> &list) {
            const i32 top = lua_gettop(L);
            bool self = false;
            if (!push_function(L, name, self))
                return false;
            for (const std::string &value : list)
                value.empty() ? lua_pushnil(L) : lua_getglobal(L, value.c_str());
            const bool raised = lua_pcall(L, i32(list.size()) + (self ? 1 : 0), 0, 0) != 0;
            lua_settop(L, top);
            return raised;
        };
        luaL_dostring(L, "setup()");
        std::vector<const std::vector<std::string> *> raised;
        for (const auto &list : lists)
            if (call(list))
                raised.push_back(&list);
        luaL_dostring(L, "setup()");
        // Once more before counting: first calls may make lasting things (a class table).
        for (const auto *list : raised)
            call(*list);
        // Other threads free and allocate meanwhile: a growth of the default allocator
        // counts only when a second round grows it too. A kept allocation per call (16
        // bytes or more) shows above one byte a call in both.
        Counts before{}, after{};
        bool flat = false;
        for (u32 round = 0; round < 2 && !flat; ++round) {
            before = counts(env);
            u32 calls = 0;
            for (u32 r = 0; r < repeats; ++r)
                for (const auto *list : raised)
                    calls += call(*list);
            raising += calls;
            after = counts(env);
            flat = after.scratch_frames == before.scratch_frames && after.scratch_blocks == before.scratch_blocks &&
                   after.lua_allocations == before.lua_allocations &&
                   i64(after.default_bytes - before.default_bytes) <= i64(calls);
        }
        if (!flat)
            leaking.push_back(name + " (scratch frames " + std::to_string(before.scratch_frames) + " -> " +
                              std::to_string(after.scratch_frames) + ", blocks " +
                              std::to_string(before.scratch_blocks) + " -> " + std::to_string(after.scratch_blocks) +
                              ", Lua allocations " + std::to_string(before.lua_allocations) + " -> " +
                              std::to_string(after.lua_allocations) + ", default bytes " +
                              std::to_string(before.default_bytes) + " -> " + std::to_string(after.default_bytes) +
                              ")");
    }
    EXPECT_GT(raising, 100000u);
    std::string list;
    for (const std::string &line : leaking)
        list += "  " + line + "\n";
    EXPECT_TRUE(leaking.empty()) << "memory kept by raising calls of:\n" << list;
}

} // namespace
} // namespace tallow::test
