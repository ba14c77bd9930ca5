#pragma once
// What the online-services script tables share (script/services/steam_api.cpp and
// script/services/steam_leaderboard_api.cpp): typed userdata blocks and table fields.

#include "foundation/types.h"

struct lua_State;

namespace tallow {

class LuaEnvironment;
class LuaStack;

namespace steam_script {

/// A new userdata holding a copy of `size` bytes, with the script table `type_name` as
/// its metatable.
void *push_block(const LuaStack &s, const char *type_name, const void *bytes, u32 size);
/// The block of argument `arg`: a userdata of `type_name` exactly `size` bytes long
/// (raises a bad-argument error otherwise).
const void *check_block(const LuaStack &s, i32 arg, const char *type_name, u32 size);
void set_field_string(lua_State *L, const char *key, const char *value);
void set_field_number(lua_State *L, const char *key, f64 value);
void set_field_bool(lua_State *L, const char *key, bool value);
/// A function that does nothing (the class tables that exist for their metatable).
int nothing(lua_State *L);
/// `Leaderboard`, `INT`, `UINT`, `STRING`; `upvalue` goes to every function.
void register_leaderboard_tables(LuaEnvironment &env, void *upvalue);

} // namespace steam_script
} // namespace tallow
