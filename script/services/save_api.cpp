// Script tables of the main state for saves and downloadable content: `SaveSystem` and `DLC`.
//
//   local token = SaveSystem.auto_save("slot_1", {level = 3, score = 1200})
//   ... each frame:
//   local p = SaveSystem.progress(token)          -- {done = false, progress = 0.5}
//   if p.done then
//       if p.error then print("save failed: " .. p.error) end
//       SaveSystem.close(token)
//   end
//   local load = SaveSystem.auto_load("slot_1")   -- when done without error, p.data is the value
//
//   DLC.scan_for_dlc()
//   ... later: if DLC.scan_done() then for _, c in ipairs(DLC.scan_result()) do
//                  print(c.name, c.package) end end
//
// A token is a full userdata holding the save system's token number. `close` zeroes it, so a
// closed token given again (to `close` or `progress`) raises an error naming the function,
// as does any value that is not a token. A token the save system does not know gives nil from
// `progress`. Without a save system (no "save_dir" setting) every `SaveSystem` function raises
// "the save system is not available"; without the content list the `DLC` functions raise the
// same way for it. Failures of the save itself are not raised: they arrive as the progress
// table's "error" string (see save/save_system.h for the codes).
#include "script/script_api.h"

#include "foundation/io/memory_buffer.h"
#include "foundation/io/output_archive.h"
#include "foundation/io/shared_reference.h"
#include "resource/dlc_list.h"
#include "save/save_system.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_stack.h"
#include "script/runtime/save_encoding.h"

#include <lua.hpp>

#include <cstring>

namespace tallow {

namespace {

constexpr const char *token_table = "SaveToken";

save::SaveSystem &saves(const LuaStack &stack)
{
    save::SaveSystem *system = save::save_system();
    if (!system)
        stack.error("the save system is not available (no \"save_dir\" setting)");
    return *system;
}

DlcList &content(const LuaStack &stack)
{
    DlcList *list = dlc_list();
    if (!list)
        stack.error("the downloadable-content list is not available");
    return *list;
}

void push_token(const LuaStack &stack, u32 token)
{
    void *block = lua_newuserdata(stack.state(), sizeof(u32));
    std::memcpy(block, &token, sizeof(token));
    stack.push_class_table(token_table);
    lua_setmetatable(stack.state(), -2);
}

/// The token userdata at `arg`; raises for another value or a closed token.
u32 *token_arg(const LuaStack &stack, i32 arg)
{
    lua_State *L = stack.state();
    const i32 i = stack.index(arg);
    if (lua_type(L, i) == LUA_TUSERDATA && lua_objlen(L, i) == sizeof(u32) && lua_getmetatable(L, i)) {
        lua_getfield(L, LUA_REGISTRYINDEX, token_table);
        const bool same = lua_rawequal(L, -1, -2);
        lua_pop(L, 2);
        if (same) {
            u32 *token = static_cast<u32 *>(lua_touserdata(L, i));
            if (*token == 0)
                stack.argument_message(arg, "SaveToken has been closed");
            return token;
        }
    }
    stack.argument_error(arg, token_table);
}

/// A save name: not empty and without zero bytes (the file name would end there); the
/// save system refuses the other names it cannot use through the token's error.
const char *name_arg(const LuaStack &stack, i32 arg)
{
    u64 length = 0;
    const char *name = stack.get_string(arg, &length);
    if (length == 0)
        stack.argument_message(arg, "a save name must not be empty");
    if (std::strlen(name) != length)
        stack.argument_message(arg, "a save name must not hold a zero byte");
    return name;
}

/// Encodes argument `arg` with the script value encoding into `out`; false when it has none.
bool encode_value(lua_State *L, i32 arg, Allocator &allocator, Array<u8> &out)
{
    lua_pushvalue(L, arg);
    bool ok;
    {
        auto memory = make_shared_reference<MemoryOutputBuffer>(allocator, allocator);
        {
            OutputArchive archive(memory);
            ok = write_script_value(L, archive) && archive.flush();
        }
        if (ok) {
            out.resize(u32(memory->total_size()));
            memory->copy_to(out.begin());
        }
    }
    lua_pop(L, 1);
    return ok;
}

int auto_save(lua_State *L)
{
    LuaStack stack(L);
    save::SaveSystem &system = saves(stack);
    const char *name = name_arg(stack, 1);
    if (stack.is_none_or_nil(2))
        stack.argument_message(2, "a value to save expected");
    Allocator &allocator = stack.environment().allocator();
    u32 token = 0;
    bool encoded;
    {
        // Scoped so that every owner is gone before a Lua error unwinds past this frame.
        Array<u8> bytes(allocator);
        encoded = encode_value(L, stack.index(2), allocator, bytes);
        if (encoded)
            token = system.auto_save(name, bytes.begin(), bytes.size());
    }
    if (!encoded)
        stack.argument_message(2, "value cannot be saved (see the log)");
    if (token == 0)
        stack.error("the save system could not start the save (out of memory)");
    push_token(stack, token);
    return 1;
}

int auto_load(lua_State *L)
{
    LuaStack stack(L);
    save::SaveSystem &system = saves(stack);
    const u32 token = system.auto_load(name_arg(stack, 1));
    if (token == 0)
        stack.error("the save system could not start the load (out of memory)");
    push_token(stack, token);
    return 1;
}

int progress(lua_State *L)
{
    LuaStack stack(L);
    save::SaveSystem &system = saves(stack);
    const save::ProgressInformation *record = system.progress(*token_arg(stack, 1));
    if (!record) {
        stack.push_nil();
        return 1;
    }
    lua_createtable(L, 0, 4);
    lua_pushboolean(L, record->done);
    lua_setfield(L, -2, "done");
    if (record->error) {
        lua_pushstring(L, record->error);
        lua_setfield(L, -2, "error");
    }
    lua_pushnumber(L, record->progress);
    lua_setfield(L, -2, "progress");
    if (record->kind == save::ProgressKind::Load && record->done && !record->error) {
        const auto *load = static_cast<const save::LoadProgressInformation *>(record);
        if (load->data && load->size > 0) {
            // The save file's checksum passed, yet the value inside may still be damaged:
            // a value that does not decode is reported as a broken save, never as data.
            if (read_script_value(load->data, load->size, L)) {
                lua_setfield(L, -2, "data");
            } else {
                lua_pushstring(L, save::error_broken);
                lua_setfield(L, -2, "error");
            }
        }
    }
    return 1;
}

int close(lua_State *L)
{
    LuaStack stack(L);
    save::SaveSystem &system = saves(stack);
    u32 *token = token_arg(stack, 1);
    system.close(*token);
    *token = 0;
    return 0;
}

int token_gc(lua_State *L)
{
    // Called by the collector (or a script, with anything): an unclosed token's record goes.
    if (lua_type(L, 1) != LUA_TUSERDATA || lua_objlen(L, 1) != sizeof(u32) || !lua_getmetatable(L, 1))
        return 0;
    lua_getfield(L, LUA_REGISTRYINDEX, token_table);
    const bool same = lua_rawequal(L, -1, -2);
    lua_pop(L, 2);
    u32 *token = static_cast<u32 *>(lua_touserdata(L, 1));
    if (!same || *token == 0)
        return 0;
    if (save::SaveSystem *system = save::save_system())
        system->close(*token);
    *token = 0;
    return 0;
}

int scan_for_dlc(lua_State *L)
{
    LuaStack stack(L);
    // A scan already running is left to finish (the list logs the refusal).
    (void)content(stack).start_scan();
    return 0;
}

int scan_done(lua_State *L)
{
    LuaStack stack(L);
    stack.push_bool(content(stack).scan_done());
    return 1;
}

int scan_result(lua_State *L)
{
    LuaStack stack(L);
    DlcList &list = content(stack);
    u32 count;
    {
        Array<DlcEntry> found(stack.environment().allocator());
        list.result(found);
        count = found.size();
        lua_createtable(L, i32(count), 0);
        for (u32 i = 0; i < count; ++i) {
            lua_createtable(L, 0, 2);
            lua_pushstring(L, found[i].name.c_str());
            lua_setfield(L, -2, "name");
            lua_pushstring(L, found[i].package.c_str());
            lua_setfield(L, -2, "package");
            lua_rawseti(L, -2, i32(i + 1));
        }
    }
    return 1;
}

} // namespace

void register_save_api(LuaEnvironment &env)
{
    env.class_table(token_table);
    lua_pop(env.state(), 1);
    env.add_module_function("SaveSystem", "auto_save", auto_save);
    env.add_module_function("SaveSystem", "auto_load", auto_load);
    env.add_module_function("SaveSystem", "progress", progress);
    env.add_module_function("SaveSystem", "close", close);
    env.add_module_function(token_table, "__gc", token_gc);
    env.add_module_function("DLC", "scan_for_dlc", scan_for_dlc);
    env.add_module_function("DLC", "scan_done", scan_done);
    env.add_module_function("DLC", "scan_result", scan_result);
}

} // namespace tallow
