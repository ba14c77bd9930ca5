// Script costs against plain Lua in the same run:
//  - a Vector3 binding over the tagged temporaries (add, then length), called a million
//    times from a script, against the same loop on plain Lua tables {x, y, z} (compiled by
//    the JIT, and once more with the JIT off for that loop);
//  - one protected call into a script function through LuaEnvironment::call_function
//    (temporaries reset, global looked up inside the protected call), against a bare
//    lua_pcall of the same function.
// Prints the time per operation and the ratios.

#include "bench/script/script_frames.h"
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "script/runtime/lua_environment.h"
#include "script/script_api.h"

#include <benchmark/benchmark.h>
#include <lua.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace tallow;

constexpr int calls_per_frame = 10000; // a million calls = 100 frames (temporaries reset per frame)
constexpr int frames = 100;

int vector3_new(lua_State *L)
{
    LuaStack s(L, 1); // __call: the table comes first
    s.push_vector3(s.get_float(1), s.get_float(2), s.get_float(3));
    return 1;
}
int vector3_add(lua_State *L)
{
    LuaStack s(L);
    const f32 *a = s.get_vector3(1);
    const f32 *b = s.get_vector3(2);
    s.push_vector3(a[0] + b[0], a[1] + b[1], a[2] + b[2]);
    return 1;
}
int vector3_length(lua_State *L)
{
    LuaStack s(L);
    const f32 *v = s.get_vector3(1);
    s.push_float(std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]));
    return 1;
}

class NoScripts final : public IScriptSource {
  public:
    bool find_script(const char *, const u8 *&, u64 &) override { return false; }
};

struct Bench {
    NoScripts source;
    LuaEnvironment env{&source, default_allocator()};
    Bench()
    {
        register_script_api(env, nullptr, nullptr, default_allocator());
        env.add_module_metamethod("Vector3", "__call", vector3_new);
        env.add_module_function("Vector3", "add", vector3_add);
        env.add_module_function("Vector3", "length", vector3_length);
        run("function binding_frame(n)\n"
            "  local add, length = Vector3.add, Vector3.length\n"
            "  local a, b, s = Vector3(1, 2, 3), Vector3(0.5, 0.25, 0.125), 0\n"
            "  for i = 1, n do s = s + length(add(a, b)) end\n"
            "  return s\n"
            "end\n"
            "local sqrt = math.sqrt\n"
            "local function add(a, b) return {a[1] + b[1], a[2] + b[2], a[3] + b[3]} end\n"
            "local function length(v) return sqrt(v[1] * v[1] + v[2] * v[2] + v[3] * v[3]) end\n"
            "function table_frame(n)\n"
            "  local a, b, s = {1, 2, 3}, {0.5, 0.25, 0.125}, 0\n"
            "  for i = 1, n do s = s + length(add(a, b)) end\n"
            "  return s\n"
            "end\n"
            "function table_frame_interpreted(n)\n"
            "  local a, b, s = {1, 2, 3}, {0.5, 0.25, 0.125}, 0\n"
            "  for i = 1, n do s = s + length(add(a, b)) end\n"
            "  return s\n"
            "end\n"
            "jit.off(table_frame_interpreted, true)\n"
            "function noop() end\n");
    }
    void run(const char *code) { bench::run_script_chunk(env, code); }
    /// One million calls as 100 frames of game calls.
    double frames_of(const char *function) { return bench::run_script_frames(env, function, frames, calls_per_frame); }
};

Bench *the_bench = nullptr;
Bench &bench()
{
    if (!the_bench)
        the_bench = new Bench;
    return *the_bench;
}

void vector3_binding(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(bench().frames_of("binding_frame"));
    state.SetItemsProcessed(state.iterations() * frames * calls_per_frame);
}
void plain_lua_tables(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(bench().frames_of("table_frame"));
    state.SetItemsProcessed(state.iterations() * frames * calls_per_frame);
}
void plain_lua_tables_interpreted(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(bench().frames_of("table_frame_interpreted"));
    state.SetItemsProcessed(state.iterations() * frames * calls_per_frame);
}
void call_function(benchmark::State &state)
{
    LuaEnvironment &env = bench().env;
    for (auto _ : state) {
        CallResult r = env.call_function("noop");
        lua_settop(r.state, r.base);
    }
}
void raw_pcall(benchmark::State &state)
{
    lua_State *L = bench().env.state();
    lua_getglobal(L, "noop");
    int function = lua_gettop(L);
    for (auto _ : state) {
        lua_pushvalue(L, function);
        lua_pcall(L, 0, 0, 0);
    }
    lua_settop(L, 0);
}

BENCHMARK(vector3_binding)->Name("Vector3 binding add+length x1e6")->Unit(benchmark::kMillisecond);
BENCHMARK(plain_lua_tables)->Name("plain Lua tables add+length x1e6")->Unit(benchmark::kMillisecond);
BENCHMARK(plain_lua_tables_interpreted)->Name("plain Lua tables, JIT off x1e6")->Unit(benchmark::kMillisecond);
BENCHMARK(call_function)->Name("LuaEnvironment::call_function noop");
BENCHMARK(raw_pcall)->Name("lua_pcall noop");

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    const bench::RatioReporter &runs = program.run();
    const double binding = runs.seconds("Vector3 binding add+length x1e6");
    const double tables = runs.seconds("plain Lua tables add+length x1e6");
    const double interpreted = runs.seconds("plain Lua tables, JIT off x1e6");
    const double call = runs.seconds("LuaEnvironment::call_function noop"), raw = runs.seconds("lua_pcall noop");
    std::printf("\n");
    if (binding > 0 && tables > 0)
        std::printf("Vector3 binding: %.1f ns per add+length, plain Lua tables %.1f ns; tables / binding = %.2f "
                    "(above 1: the binding is faster)\n",
                    binding * 1e9 / 1e6, tables * 1e9 / 1e6, tables / binding);
    if (binding > 0 && interpreted > 0)
        std::printf("  (the JIT compiles the table loop and sinks its tables; with the JIT off for that loop the\n"
                    "   tables take %.1f ns, tables / binding = %.2f)\n",
                    interpreted * 1e9 / 1e6, interpreted / binding);
    if (call > 0 && raw > 0)
        std::printf("protected call into a script function: %.1f ns, bare lua_pcall %.1f ns; ratio %.2f\n", call * 1e9,
                    raw * 1e9, call / raw);
    delete the_bench; // closed while the global allocators still exist
    return 0;
}
