// Save files and encoded script values from outside: the first byte chooses whether the
// rest is a whole save file (checked, unpacked, and its payload decoded) or an encoded
// value alone. Every outcome must stay inside the bytes given.
#include "foundation/containers/array.h"
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "save/save_file.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/save_encoding.h"

#include <lua.hpp>

#include <cstring>
#include <vector>

using namespace tallow;

namespace {

struct NoScripts final : IScriptSource {
    bool find_script(const char *, const u8 *&, u64 &) override { return false; }
};

void decode(LuaEnvironment &env, const u8 *data, size_t size)
{
    // Blocks are read from 4-aligned memory, as save payloads are.
    std::vector<u32> words((size + 3) / 4);
    if (size)
        memcpy(words.data(), data, size);
    lua_State *L = env.state();
    int top = lua_gettop(L);
    (void)read_script_value(words.data(), size, L);
    lua_settop(L, top);
    env.reset_temps();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    static NoScripts scripts;
    static LuaEnvironment env(&scripts, default_allocator());
    if (size == 0)
        return 0;
    if (data[0] & 1) {
        decode(env, data + 1, size - 1);
        return 0;
    }
    std::vector<u8> file(data + 1, data + size);
    Array<u8> payload(default_allocator());
    if (save::read_save_file(file.data(), file.size(), default_allocator(), payload))
        decode(env, payload.data(), payload.size());
    return 0;
}
