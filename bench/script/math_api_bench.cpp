// The math script tables against their alternatives, in one run: a Lua loop of a million
// `r = a + b * s`, `dot(r, b)` and `cross(r, a)` (three vector results and a number per
// pass) written four ways:
//  - through the engine's bindings, every result a temporary of the frame;
//  - through a binding that makes a full userdata (with its metatable) per result, the
//    usual way to hand C values to Lua;
//  - on plain Lua tables {x, y, z}, compiled by the JIT, and once more with the JIT off.
// The million passes run as 100 frames of 10,000, the temporaries reset before each frame
// as the game's calls do. Prints the time per pass and the ratios.

#include "bench/script/script_frames.h"
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "script/runtime/lua_environment.h"
#include "script/script_api.h"

#include <benchmark/benchmark.h>
#include <lua.hpp>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace tallow;

constexpr int passes_per_frame = 10000;
constexpr int frames = 100;

// --- The full-userdata alternative: one allocation per result -------------------------

const char *const boxed_name = "BoxedVector3";

f32 *boxed_arg(lua_State *L, int index) { return static_cast<f32 *>(luaL_checkudata(L, index, boxed_name)); }

void push_boxed(lua_State *L, f32 x, f32 y, f32 z)
{
    auto *v = static_cast<f32 *>(lua_newuserdata(L, 3 * sizeof(f32)));
    v[0] = x;
    v[1] = y;
    v[2] = z;
    luaL_getmetatable(L, boxed_name);
    lua_setmetatable(L, -2);
}

int boxed_new(lua_State *L)
{
    push_boxed(L, f32(luaL_checknumber(L, 2)), f32(luaL_checknumber(L, 3)), f32(luaL_checknumber(L, 4)));
    return 1;
}
int boxed_add(lua_State *L)
{
    const f32 *a = boxed_arg(L, 1), *b = boxed_arg(L, 2);
    push_boxed(L, a[0] + b[0], a[1] + b[1], a[2] + b[2]);
    return 1;
}
int boxed_multiply(lua_State *L)
{
    const f32 *v = boxed_arg(L, 1);
    f32 s = f32(luaL_checknumber(L, 2));
    push_boxed(L, v[0] * s, v[1] * s, v[2] * s);
    return 1;
}
int boxed_dot(lua_State *L)
{
    const f32 *a = boxed_arg(L, 1), *b = boxed_arg(L, 2);
    lua_pushnumber(L, a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
    return 1;
}
int boxed_cross(lua_State *L)
{
    const f32 *a = boxed_arg(L, 1), *b = boxed_arg(L, 2);
    push_boxed(L, a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]);
    return 1;
}

void register_boxed(lua_State *L)
{
    luaL_newmetatable(L, boxed_name);
    const luaL_Reg methods[] = {{"__add", boxed_add}, {"__mul", boxed_multiply}, {"dot", boxed_dot},
                                {"cross", boxed_cross}, {nullptr, nullptr}};
    luaL_register(L, nullptr, methods);
    lua_newtable(L); // the constructor: BoxedVector3(x, y, z)
    lua_pushcfunction(L, boxed_new);
    lua_setfield(L, -2, "__call");
    lua_setmetatable(L, -2);
    lua_setglobal(L, boxed_name);
}

class NoScripts final : public IScriptSource {
  public:
    bool find_script(const char *, const u8 *&, u64 &) override { return false; }
};

// The loop over a vector binding: `type` is the script table that makes the vectors and
// holds dot and cross (its values carry + and * as metamethods).
std::string binding_loop(const char *name, const char *type)
{
    const std::string t = type;
    return std::string("function ") + name +
           "(n)\n"
           "  local dot, cross = " + t + ".dot, " + t + ".cross\n"
           "  local a, b, s, d = " + t + "(1, 2, 3), " + t + "(0.5, 0.25, 0.125), 0.5, 0\n"
           "  for i = 1, n do\n"
           "    local r = a + b * s\n"
           "    d = d + dot(r, b)\n"
           "    local c = cross(r, a)\n"
           "  end\n"
           "  return d\n"
           "end\n";
}

// The table version, helpers inside so that jit.off(f, true) reaches them too; loaded
// once per name so the two copies share no function prototypes.
std::string tables_loop(const char *name)
{
    return std::string("function ") + name +
           "(n)\n"
           "  local function add(a, b) return {a[1] + b[1], a[2] + b[2], a[3] + b[3]} end\n"
           "  local function scale(v, s) return {v[1] * s, v[2] * s, v[3] * s} end\n"
           "  local function dot(a, b) return a[1] * b[1] + a[2] * b[2] + a[3] * b[3] end\n"
           "  local function cross(a, b)\n"
           "    return {a[2] * b[3] - a[3] * b[2], a[3] * b[1] - a[1] * b[3], a[1] * b[2] - a[2] * b[1]}\n"
           "  end\n"
           "  local a, b, s, d = {1, 2, 3}, {0.5, 0.25, 0.125}, 0.5, 0\n"
           "  for i = 1, n do\n"
           "    local r = add(a, scale(b, s))\n"
           "    d = d + dot(r, b)\n"
           "    local c = cross(r, a)\n"
           "  end\n"
           "  return d\n"
           "end\n";
}

struct Bench {
    NoScripts source;
    LuaEnvironment env{&source, default_allocator()};
    Bench()
    {
        register_script_api(env, nullptr, nullptr, default_allocator());
        register_boxed(env.state());
        const std::string chunks[] = {binding_loop("temporaries_frame", "Vector3"),
                                      binding_loop("boxed_frame", boxed_name), tables_loop("tables_frame"),
                                      tables_loop("tables_interpreted_frame"), "jit.off(tables_interpreted_frame, true)"};
        for (const std::string &chunk : chunks)
            bench::run_script_chunk(env, chunk.c_str());
    }
    /// A million passes as 100 frames of game calls, each followed by its collection budget.
    double frames_of(const char *function) { return bench::run_script_frames(env, function, frames, passes_per_frame); }
};

Bench *the_bench = nullptr;
Bench &bench()
{
    if (!the_bench)
        the_bench = new Bench;
    return *the_bench;
}

template <const char *function> void loop(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(bench().frames_of(function));
    state.SetItemsProcessed(state.iterations() * frames * passes_per_frame);
}

constexpr char temporaries[] = "temporaries_frame";
constexpr char boxed[] = "boxed_frame";
constexpr char tables_jit[] = "tables_frame";
constexpr char tables_interpreted[] = "tables_interpreted_frame";

BENCHMARK(loop<temporaries>)->Name("temporaries x1e6")->Unit(benchmark::kMillisecond);
BENCHMARK(loop<boxed>)->Name("full userdata x1e6")->Unit(benchmark::kMillisecond);
BENCHMARK(loop<tables_jit>)->Name("Lua tables, JIT on x1e6")->Unit(benchmark::kMillisecond);
BENCHMARK(loop<tables_interpreted>)->Name("Lua tables, JIT off x1e6")->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    const bench::RatioReporter &runs = program.run();
    const bench::TimeRatio ratios[] = {
        {"full userdata per result", "full userdata x1e6", "temporaries x1e6"},
        {"plain Lua tables, JIT on", "Lua tables, JIT on x1e6", "temporaries x1e6"},
        {"plain Lua tables, JIT off", "Lua tables, JIT off x1e6", "temporaries x1e6"},
    };
    bench::print_time_ratios(runs, "alternative time / temporaries time (above 1: the temporaries are faster)",
                             ratios);
    if (runs.has("temporaries x1e6"))
        std::printf("temporaries: %.1f ns per pass of a + b * s, dot, cross\n",
                    runs.seconds("temporaries x1e6") * 1e9 / (frames * passes_per_frame));
    delete the_bench; // closed while the global allocators still exist
    return 0;
}
