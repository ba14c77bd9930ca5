#include "script_fixture.h"
#include "script_probe.h"

#include "script/script_api.h"

namespace tallow::test {
namespace {

class RegistrationTest : public ScriptTest {
  protected:
    RegistrationTest()
    {
        register_script_api(env, nullptr, nullptr, default_allocator());
        register_probe(env);
    }
};

TEST_F(RegistrationTest, ScriptTablesAreSharedAndKeepTheirIdentity)
{
    env.add_module_function("Probe", "late", probe_slot);
    env.add_module_number("Probe", "answer", 42);
    EXPECT_EQ(run("assert(Probe._name == 'Probe' and Probe.__index == Probe)\n"
                  "assert(Probe.late(2) == 2 and Probe.answer == 42 and Probe.vec ~= nil)\n"
                  "assert(debug.getregistry().Probe == Probe)\n"
                  "local v = Probe(1, 2, 3)\n" // __call in the table's metatable
                  "assert(math.abs(Probe.length(v) - math.sqrt(14)) < 1e-5)"),
              "");
    // Functions carry the light-userdata upvalue given at registration.
    static int marker;
    env.add_module_function("Probe", "upvalue", [](lua_State *L) {
        LuaStack s(L);
        s.push_bool(s.upvalue() == &marker);
        return 1;
    }, &marker);
    EXPECT_EQ(run("assert(Probe.upvalue() == true)"), "");
}

TEST_F(RegistrationTest, UnitReferencesRoundTripAsOddValues)
{
    struct Case {
        UnitHandle handle;
    };
    const Case cases[] = {{0x00000000}, {0x00010000}, {0x00003FFF}, {0xFFFF3FFF}, {0x12340005}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.handle);
        EXPECT_EQ(unit_reference_value(c.handle) & 1, 1u);
        lua_pushnumber(env.state(), c.handle);
        lua_setglobal(env.state(), "h");
        EXPECT_EQ(run("assert(Probe.unit(Probe.make_unit(h)) == h)"), "");
    }
}

TEST_F(RegistrationTest, WrongScriptArgumentsRaiseErrorsNamingFunctionAndArgument)
{
    lua_State *L = env.state();
    // A World full userdata as the engine hands it out, and a released one.
    static int world_object;
    *static_cast<void **>(lua_newuserdata(L, sizeof(void *))) = &world_object;
    lua_getfield(L, LUA_REGISTRYINDEX, "World");
    lua_setmetatable(L, -2);
    lua_setglobal(L, "world");
    *static_cast<void **>(lua_newuserdata(L, sizeof(void *))) = nullptr;
    lua_getfield(L, LUA_REGISTRYINDEX, "World");
    lua_setmetatable(L, -2);
    lua_setglobal(L, "released_world");
    // A temporary from an earlier frame.
    ASSERT_EQ(run("function keep() kept = Probe.vec(1, 2, 3) end"), "");
    CallResult r = env.call_function("keep");
    ASSERT_FALSE(r.error);
    lua_settop(L, r.base);
    env.reset_temps();

    const ScriptErrorCase cases[] = {
        {"Probe.length(1)", "bad argument #1 to 'Probe.length' (Vector3 expected, got number)"},
        {"Probe.length(nil)", "bad argument #1 to 'Probe.length' (Vector3 expected, got nil)"},
        {"Probe.length()", "bad argument #1 to 'Probe.length' (Vector3 expected, got no value)"},
        {"Probe.length('1,2,3')", "(Vector3 expected, got string)"},
        {"Probe.length({1, 2, 3})", "(Vector3 expected, got table)"},
        {"Probe.length(Probe.quat(0, 0, 0, 1))", "(Vector3 expected, got Quaternion)"},
        {"Probe.length(Probe.make_unit(5))", "(Vector3 expected, got Unit)"},
        {"Probe.length(kept)", "(Vector3 expected, got a stale temporary"},
        {"Probe.length(Probe.object(Probe.matrix()))", "(Vector3 expected, got Matrix4x4)"},
        {"Probe.add(Probe.vec(1, 2, 3), 4)", "bad argument #2 to 'Probe.add' (Vector3 expected, got number)"},
        {"Probe.vec(1, nil, 3)", "bad argument #2 to 'Probe.vec' (number expected, got nil)"},
        {"Probe.w(Probe.vec(1, 2, 3))", "(Quaternion expected, got Vector3)"},
        {"Probe.m15(Probe.quat(1, 2, 3, 4))", "(Matrix4x4 expected, got Quaternion)"},
        {"Probe.slot(0)", "bad argument #1 to 'Probe.slot' (0 out of range [1, 3])"},
        {"Probe.slot(4)", "(4 out of range [1, 3])"},
        {"Probe.slot(-2^63)", "out of range [1, 3]"},
        {"Probe.slot(1/0)", "(integer expected, got inf)"},
        {"Probe.slot(0/0)", "integer expected"},
        {"Probe.slot('x')", "(number expected, got string)"},
        {"Probe.unit(Probe.vec(1, 2, 3))", "(Unit expected, got Vector3)"},
        {"Probe.unit(nil)", "(Unit expected, got nil)"},
        {"Probe.name(nil)", "bad argument #1 to 'Probe.name' (string expected, got nil)"},
        {"Probe.name({})", "(string expected, got table)"},
        {"Probe.object(nil)", "(engine object expected, got nil)"},
        {"Probe.object(Probe.make_unit(1))", "(engine object expected, got Unit)"},
        {"Probe.world({})", "(World expected, got table)"},
        {"Probe.world(io.stdout)", "(World expected, got userdata)"},
        {"Probe.world(released_world)", "(World has been released)"},
        {"Probe.flag(1)", "(boolean expected, got number)"},
        {"Script.set_temp_count(-1, 0, 0)", "bad argument #1 to 'Script.set_temp_count' (-1 out of range"},
        {"Script.set_temp_count(0, 1e12, 0)", "bad argument #2 to 'Script.set_temp_count' (1000000000000 out of range"},
        {"Script.set_temp_count(0, 0)", "bad argument #3 to 'Script.set_temp_count' (number expected, got no value)"},
        {"require(nil)", "bad argument #1 to 'require'"},
    };
    // Each message starts with the calling script's position.
    for (const std::string &error : expect_script_errors(cases, [&](const char *code) { return run(code); }))
        EXPECT_EQ(error.rfind("[string", 0), 0u) << error;
    EXPECT_EQ(run("assert(Probe.world(world) ~= nil and Probe.flag(nil) == false and Probe.flag(true))"), "");
}

} // namespace
} // namespace tallow::test

#include "foundation/io/chunk_store.h"
#include "foundation/config/config_value.h"
#include "script/runtime/registration.h"

namespace tallow::test {
namespace {

TEST_F(RegistrationTest, ScriptReferencesInADataStoreAreReleased)
{
    lua_State *L = env.state();
    ChunkStore store(default_allocator());
    ASSERT_EQ(run("kept = setmetatable({}, {__mode = 'v'}) kept[1] = {} kept[2] = function() end"), "");
    // One reference at the top level, one inside a nested list.
    u32 nested = store.set(ChunkStore::root_list, 7, ChunkStore::nested_list, 8, "\0\0\0\0\0\0\0\0");
    ASSERT_NE(nested, ChunkStore::not_found);
    lua_getglobal(L, "kept");
    for (int i = 1; i <= 2; ++i) {
        lua_rawgeti(L, -1, i);
        ScriptReference reference{L, luaL_ref(L, LUA_REGISTRYINDEX)};
        u32 head = i == 1 ? u32(ChunkStore::root_list) : ChunkStore::nested_head(nested);
        ASSERT_NE(store.set(head, 100 + i, script_reference_chunk_kind, sizeof(reference), &reference), ChunkStore::not_found);
    }
    lua_pop(L, 1);
    lua_gc(L, LUA_GCCOLLECT, 0);
    EXPECT_EQ(run("assert(kept[1] and kept[2])"), ""); // held by the registry
    release_script_references(store);
    lua_gc(L, LUA_GCCOLLECT, 0);
    EXPECT_EQ(run("assert(kept[1] == nil and kept[2] == nil)"), "");
}

TEST_F(RegistrationTest, ConfigValuesBecomeNestedTables)
{
    ConfigValue root(default_allocator());
    root.member("name").set_string("tallow");
    root.member("count").set_integer(3);
    root.member("scale").set_float(0.5f);
    root.member("on").set_bool(true);
    ConfigValue &list = root.member("list");
    list.push_back().set_integer(1);
    list.push_back().member("deep").set_string("x");
    push_config_value(env.state(), root);
    lua_setglobal(env.state(), "config");
    EXPECT_EQ(run("assert(config.name == 'tallow' and config.count == 3 and config.scale == 0.5 and config.on == true)\n"
                  "assert(#config.list == 2 and config.list[1] == 1 and config.list[2].deep == 'x')"),
              "");
}

} // namespace
} // namespace tallow::test
