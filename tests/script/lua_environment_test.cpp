#include "script_fixture.h"

#include "script/runtime/registration.h"

#include <algorithm>

namespace tallow::test {
namespace {

using LuaEnvironmentTest = ScriptTest;

TEST_F(LuaEnvironmentTest, RequireRunsEachFileOnceAndRecordsFirstRequireOrder)
{
    source.set("a", "trace = (trace or '') .. 'a'; require 'b'; return {name = 'a'}");
    // b requires a while a is still running: the cycle ends because a is already marked.
    source.set("b", "trace = (trace or '') .. 'b'; inner = tostring(require 'a')");
    ASSERT_EQ(run("local x = require 'a'; local y = require 'a'\n"
                  "same = x == y; name = x.name; b_value = tostring(require 'b')\n"
                  "order = table.concat(package.load_order, ',')"),
              "");
    EXPECT_EQ(string("trace"), "ab");
    EXPECT_EQ(string("inner"), "true");
    EXPECT_EQ(string("name"), "a");
    EXPECT_EQ(run("assert(same == true)"), "");
    EXPECT_EQ(string("b_value"), "true"); // a file that returns nothing is recorded as true
    EXPECT_EQ(string("order"), "b,a");
}

TEST_F(LuaEnvironmentTest, ReloadRerunsChangedFilesInLoadOrderAndSurvivesFailures)
{
    source.set("x", "trace = (trace or '') .. 'x'");
    source.set("y", "trace = (trace or '') .. 'y'");
    source.set("z", "trace = (trace or '') .. 'z'");
    source.set("once", "trace = (trace or '') .. 'o'");
    ASSERT_EQ(run("require 'x'; require 'y'; require 'z'; dofile 'once'; dofile 'once'"), "");
    EXPECT_EQ(string("trace"), "xyzoo"); // dofile runs every time

    source.set("x", "trace = trace .. 'X'");
    source.set("y", "error('broken y')");
    source.set("z", "trace = trace .. 'Z'; value = 42");
    int top = lua_gettop(env.state());
    env.reload_all();
    EXPECT_EQ(lua_gettop(env.state()), top);
    EXPECT_EQ(string("trace"), "xyzooXZ"); // dofile'd files are not re-run
    EXPECT_EQ(number("value"), 42);
    EXPECT_EQ(log.count("reload of y failed"), 1);
    EXPECT_EQ(run("assert(table.concat(package.load_order, ',') == 'x,y,z')"), "");
}

TEST_F(LuaEnvironmentTest, BadRequireAndDofileArgumentsAreScriptErrors)
{
    struct Case {
        const char *name;
        const char *code;
        const char *message;
    };
    const Case cases[] = {
        {"missing script", "require 'nope'", "script not found: nope"},
        {"nil name", "require(nil)", "bad argument #1 to 'require'"},
        {"table name", "require({})", "bad argument #1 to 'require'"},
        {"dofile missing", "dofile 'nope'", "script not found: nope"},
        {"dofile nil", "dofile()", "bad argument #1 to 'dofile'"},
        {"compile error", "require 'bad_syntax'", "bad_syntax.lua:1:"},
        {"run error", "require 'raises'", "raises.lua:1: boom"},
    };
    source.set("bad_syntax", "this is not lua");
    source.set("raises", "error('boom')");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string error = run(c.code);
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    // A missing script ran nothing, so once it is loaded a require runs it.
    source.set("nope", "return 'now here'");
    EXPECT_EQ(run("assert(require 'nope' == 'now here')"), "");
}

TEST_F(LuaEnvironmentTest, TruncatedScriptResourceFailsCleanly)
{
    source.set_raw("short", std::string("\x10\x00\x00\x00" "abc", 7));
    source.set_raw("tiny", std::string("\x01\x00", 2));
    EXPECT_NE(run("require 'short'").find("script resource truncated: short"), std::string::npos);
    EXPECT_NE(run("require 'tiny'").find("script resource truncated: tiny"), std::string::npos);
}

TEST_F(LuaEnvironmentTest, BaseLibraryIsReplaced)
{
    EXPECT_EQ(run("assert(load == nil and loadfile == nil)"), "");
    EXPECT_EQ(run("print(1, 'x', true)"), "");
    EXPECT_EQ(log.count("[Lua] 1\tx\ttrue"), 1);
    std::string error = run("tostring = function() return {} end; print(1)");
    EXPECT_NE(error.find("'tostring' must return a string to 'print'"), std::string::npos) << error;
}

TEST_F(LuaEnvironmentTest, EveryEntryPointLeavesTheStackAsItWas)
{
    source.set("mod", "return 1");
    ASSERT_EQ(run("function ok(a) return a, 2 end\n"
                  "function bad() error('bad') end\n"
                  "Obj = {hit = function(self) end, fail = function(self) error('x') end}\n"
                  "T = {f = function() end, g = function() error('g') end}"),
              "");
    lua_State *L = env.state();
    lua_getglobal(L, "Obj");
    i32 reference = luaL_ref(L, LUA_REGISTRYINDEX);
    struct Case {
        const char *name;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"call_function ok", [&] { CallResult r = env.call_function("ok"); EXPECT_FALSE(r.error); lua_settop(L, r.base); }},
        {"call_function error", [&] { CallResult r = env.call_function("bad"); EXPECT_TRUE(r.error); lua_settop(L, r.base); }},
        {"call_function missing", [&] { CallResult r = env.call_function("missing"); EXPECT_TRUE(r.error); lua_settop(L, r.base); }},
        {"require", [&] { CallResult r = env.require("mod"); EXPECT_FALSE(r.error); lua_settop(L, r.base); }},
        {"require missing", [&] { CallResult r = env.require("none"); EXPECT_TRUE(r.error); lua_settop(L, r.base); }},
        {"callback ok", [&] { env.callback(reference, "hit", {}); }},
        {"callback missing method", [&] { env.callback(reference, "nothing", {}); }},
        {"callback error", [&] { env.callback(reference, "fail", {}); }},
        {"callback no reference", [&] { env.callback(no_script_reference, "hit", {}); }},
        {"method ok", [&] { env.call_method_with_args("T", "f", 0, nullptr, nullptr); }},
        {"method error", [&] { env.call_method_with_args("T", "g", 0, nullptr, nullptr); }},
        {"method missing table", [&] { env.call_method_with_args("None", "g", 0, nullptr, nullptr); }},
        {"method missing", [&] { env.call_method_with_table("T", "none", 0, nullptr, nullptr, nullptr); }},
        {"do_string ok", [&] { env.do_string("local a = 1"); }},
        {"do_string compile", [&] { env.do_string("local = "); }},
        {"do_string run", [&] { env.do_string("error('r')"); }},
        {"reload_all", [&] { env.reload_all(); }},
    };
    lua_pushinteger(L, 7); // something of the caller's below
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int top = lua_gettop(L);
        c.call();
        EXPECT_EQ(lua_gettop(L), top);
    }
    EXPECT_EQ(lua_tointeger(L, -1), 7);
    EXPECT_EQ(log.count("Callback function not found: nothing"), 1);
    EXPECT_EQ(log.count("Lua event callback error:"), 2);
    EXPECT_EQ(log.count("Global table not found: None"), 1);
    EXPECT_EQ(log.count("Method not found: none"), 1);
    EXPECT_EQ(log.count("Lua do_string compile error:"), 1);
    EXPECT_EQ(log.count("Lua do_string run error:"), 1);
    EXPECT_EQ(errors_reported, 4); // callback, flow call, compile, run
}

TEST_F(LuaEnvironmentTest, CallFunctionPassesArgumentsAndKeepsResults)
{
    ASSERT_EQ(run("function add(a, b) return a + b, 'sum' end"), "");
    lua_State *L = env.state();
    LuaStack args(L, lua_gettop(L));
    lua_pushnumber(L, 2);
    lua_pushnumber(L, 3);
    CallResult r = env.call_function("add", &args);
    ASSERT_FALSE(r.error);
    ASSERT_EQ(lua_gettop(L) - r.base, 2);
    EXPECT_EQ(lua_tonumber(L, r.base + 1), 5);
    EXPECT_STREQ(lua_tostring(L, r.base + 2), "sum");
    lua_settop(L, r.base);

    r = env.call_function("absent");
    ASSERT_TRUE(r.error);
    EXPECT_NE(std::string(lua_tostring(L, -1)).find("attempt to call a nil value"), std::string::npos);
    lua_settop(L, r.base);
}

TEST_F(LuaEnvironmentTest, StrictGlobalsCannotEscapeTheProtectedCalls)
{
    // A script that makes reading unknown globals an error must not end the program when
    // the engine looks up a global it lacks.
    ASSERT_EQ(run("setmetatable(_G, {__index = function(t, k) error('undefined global ' .. k) end})"), "");
    CallResult r = env.call_function("render");
    EXPECT_TRUE(r.error);
    EXPECT_NE(std::string(lua_tostring(env.state(), -1)).find("undefined global render"), std::string::npos);
    lua_settop(env.state(), r.base);
    EXPECT_FALSE(env.call_method("Missing", "f"));
    EXPECT_FALSE(env.call_method(nullptr, "g"));
}

TEST_F(LuaEnvironmentTest, RaisingMetatablesOnPackageTablesAreScriptErrors)
{
    // The engine's own require and reload reach `package`, which scripts can replace or
    // give metatables: a raising __index or __newindex is a reported error there, never an
    // unprotected one (which ends the process through the panic handler).
    struct Case {
        const char *name;
        const char *setup;
        const char *message;
    };
    const Case cases[] = {
        {"_G without package", "package = nil setmetatable(_G, {__index = function(t, k) error('no global ' .. k) end})",
         "no global package"},
        {"_G refusing new keys", "package = nil setmetatable(_G, {__newindex = function(t, k) error('read-only ' .. k) end})",
         "read-only package"},
        {"package.loaded raising", "setmetatable(package.loaded, {__index = function(t, k) error('no module ' .. k) end})",
         "no module fresh"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LuaEnvironment fresh_env(&source, default_allocator());
        lua_State *L = fresh_env.state();
        source.set("fresh", "return 1");
        ASSERT_EQ(luaL_dostring(L, c.setup), 0) << lua_tostring(L, -1);
        i32 top = lua_gettop(L);
        CallResult r = fresh_env.require("fresh");
        ASSERT_TRUE(r.error);
        EXPECT_EQ(r.base, top);
        EXPECT_NE(std::string(lua_tostring(L, -1)).find(c.message), std::string::npos) << lua_tostring(L, -1);
        lua_settop(L, top);
        fresh_env.reload_all();
        EXPECT_EQ(lua_gettop(L), top);
    }
}

TEST_F(LuaEnvironmentTest, CallbackPassesSelfAndTheEventUnit)
{
    ASSERT_EQ(run("Listener = {}; function Listener:spawn_unit(unit) got_self = self; got_unit = unit end"), "");
    lua_State *L = env.state();
    lua_getglobal(L, "Listener");
    i32 reference = luaL_ref(L, LUA_REGISTRYINDEX);
    ScriptEvent event{unit_event_tag, 0x00050007};
    env.callback(reference, "spawn_unit", event);
    EXPECT_EQ(run("assert(got_self == Listener)"), "");
    lua_getglobal(L, "got_unit");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(lua_touserdata(L, -1)), unit_reference_value(0x00050007));
    EXPECT_EQ(LuaStack(L).get_unit_handle(-1), 0x00050007u);
    lua_pop(L, 1);
    env.callback(reference, "spawn_unit", ScriptEvent{});
    EXPECT_EQ(run("assert(got_unit == nil)"), "");
    env.unref(reference);
}

TEST_F(LuaEnvironmentTest, FlowValuesReachScriptsAsTheirKinds)
{
    u32 unit = 0x00020003;
    int object = 0;
    f32 position[3] = {1, 2, 3};
    f32 amount = 2.5f;
    u32 flag = 1;
    u64 id = 0xabcdef;
    f32 rotation[4] = {0, 0, 0, 1};
    const FlowValueType types[] = {FlowValueType::None,   FlowValueType::Unit,  FlowValueType::Pointer,
                                   FlowValueType::Vector3, FlowValueType::Float, FlowValueType::Bool,
                                   FlowValueType::String, FlowValueType::Id64,  FlowValueType::Quaternion,
                                   FlowValueType(10),     FlowValueType::Float};
    const void *values[] = {nullptr, &unit, &object, position, &amount, &flag, "text", &id, rotation, nullptr, &amount};
    env.do_string("args = {...}; n = select('#', ...)", 11, types, values);
    EXPECT_EQ(number("n"), 10); // code 10 pushes nothing
    EXPECT_EQ(run("assert(args[1] == nil and type(args[2]) == 'userdata' and type(args[3]) == 'userdata')\n"
                  "assert(args[5] == 2.5 and args[6] == true and args[7] == 'text' and args[8] == '#ID[abcdef]')\n"
                  "assert(args[10] == 2.5)"),
              "");
    EXPECT_EQ(env.vector3_temps().count(), 1u);
    EXPECT_EQ(env.quaternion_temps().count(), 1u);

    env.call_method_with_table(nullptr, "record", 0, nullptr, nullptr, nullptr);
    ASSERT_EQ(run("function record(t) recorded = t end"), "");
    const char *names[] = {"a", "b"};
    const FlowValueType two[] = {FlowValueType::Float, FlowValueType::String};
    const void *two_values[] = {&amount, "hello"};
    env.call_method_with_table(nullptr, "record", 2, two, two_values, names);
    EXPECT_EQ(run("assert(recorded.a == 2.5 and recorded.b == 'hello')"), "");
}

TEST_F(LuaEnvironmentTest, EveryReportedScriptErrorCarriesItsTraceback)
{
    // Script errors used to show only the top frame: a helper that raised could not be
    // told apart from the caller that passed it the bad value.
    source.set("deep", "function inner() error('deep boom') end\n"
                       "function outer() inner() end\n");
    source.set("wrapper", "require 'deep'\nouter()\n");
    source.set("loaded", "require 'deep'\n");
    ASSERT_EQ(run("require 'loaded'; Listener = {}; function Listener:go() outer() end"), "");
    lua_State *L = env.state();
    lua_getglobal(L, "Listener");
    i32 listener = luaL_ref(L, LUA_REGISTRYINDEX);
    struct Case {
        const char *name;
        std::function<void()> report;
        const char *message;
        std::vector<const char *> frames; // in this order after "stack traceback:"
    };
    const Case cases[] = {
        {"call_function",
         [&] {
             ASSERT_TRUE(env.call_function("outer").error);
             log_message("Lua", "update: %s", lua_tostring(L, -1));
             env.log_traceback();
             lua_pop(L, 1);
         },
         "[Lua] update: deep.lua:1: deep boom", {"deep.lua:1: in function", "deep.lua:2: in function"}},
        // The traceback is the one of the file that raised, not of the require that passed it on.
        {"require", [&] {
             ASSERT_TRUE(env.require("wrapper").error);
             log_message("Lua", "boot script: %s", lua_tostring(L, -1));
             env.log_traceback();
             lua_pop(L, 1);
         },
         "[Lua] boot script: deep.lua:1: deep boom",
         {"deep.lua:1: in function", "deep.lua:2: in function", "wrapper.lua:2: in main chunk"}},
        {"callback", [&] { env.callback(listener, "go", ScriptEvent{}); },
         "[Lua] Lua event callback error: deep.lua:1: deep boom",
         {"deep.lua:1: in function", "deep.lua:2: in function", "in function <[string"}},
        {"flow call", [&] { env.call_method_with_args(nullptr, "outer", 0, nullptr, nullptr); },
         "[Lua] Lua event callback error: deep.lua:1: deep boom", {"deep.lua:1: in function", "deep.lua:2: in function"}},
        {"do_string", [&] { env.do_string("local x = 1\nouter()"); },
         "[Lua] Lua do_string run error: deep.lua:1: deep boom",
         {"deep.lua:1: in function", "deep.lua:2: in function", "[string \"local x = 1...\"]:2: in main chunk"}},
        {"reload", [&] {
             source.set("loaded", "require 'deep'\nouter()\n");
             env.reload_all();
         },
         "[Lua] reload of loaded failed: deep.lua:1: deep boom",
         {"deep.lua:1: in function", "deep.lua:2: in function", "loaded.lua:2: in main chunk"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        int top = lua_gettop(L);
        c.report();
        EXPECT_EQ(lua_gettop(L), top);
        std::vector<std::string> lines = log.lines();
        auto at = std::find(lines.begin(), lines.end(), c.message);
        ASSERT_NE(at, lines.end()) << ::testing::PrintToString(lines);
        ASSERT_NE(++at, lines.end());
        EXPECT_EQ(*at, "[Lua] stack traceback:");
        for (const char *frame : c.frames) {
            at = std::find_if(at, lines.end(), [&](const std::string &line) {
                return line.rfind("[Lua]   ", 0) == 0 && line.find(frame) != std::string::npos;
            });
            EXPECT_NE(at, lines.end()) << frame << " in " << ::testing::PrintToString(lines);
        }
    }
    env.unref(listener);

    // What a script catches is what was raised, and a compile error has no traceback.
    source.set("wrapper2", "require 'deep'\nouter()\n");
    EXPECT_EQ(run("local ok, e = pcall(require, 'wrapper2')\n"
                  "assert(not ok and e == 'deep.lua:1: deep boom', tostring(e))"),
              "");
    log.clear();
    env.do_string("this is not lua");
    EXPECT_EQ(log.count("do_string compile error"), 1);
    EXPECT_EQ(log.count("stack traceback"), 0);
}

TEST(IdText, FormatsLowerCaseWithoutLeadingZerosInARing)
{
    EXPECT_STREQ(id_text(NameId64::from_value(0)), "#ID[0]");
    EXPECT_STREQ(id_text(NameId64::from_value(0xABCDEF0123456789ull)), "#ID[abcdef0123456789]");
    const char *first = id_text(NameId64::from_value(1));
    std::string kept = first;
    for (int i = 0; i < 20; ++i)
        id_text(NameId64::from_value(0x1000 + i));
    EXPECT_NE(std::string(first), kept); // overwritten once the ring wrapped
}

TEST(LuaAllocationHook, EveryBlockIsReturnedWhenTheEnvironmentCloses)
{
    CountingAllocator counting;
    StringScriptSource source;
    source.set("garbage", "local t = {} for i = 1, 10000 do t[i] = {i, tostring(i)} end return #t");
    {
        LuaEnvironment env(&source, counting);
        ASSERT_TRUE(env.is_valid());
        CallResult r = env.require("garbage");
        ASSERT_FALSE(r.error);
        EXPECT_EQ(lua_tonumber(r.state, -1), 10000);
        EXPECT_GT(env.allocated_bytes(), 100000u);
        EXPECT_GT(counting.live(), 3);
    }
    EXPECT_EQ(counting.live(), 0);
}

} // namespace
} // namespace tallow::test
