#pragma once
// Script values kept in a ChunkStore under key paths: the `set_data`, `get_data` and
// `has_data` functions of the Application, World, Level and Unit tables.
//
//   -- Unit.set_data(u, "inventory", 3, "count", 5)
//   script_data_set(stack, unit.data(), 2);      // keys from argument 2, value last
//   script_data_get(stack, unit.data(), 2);      // pushes 5 (read back as a 32-bit float)
//
// Each key is a string (stored as its NameId32) or an integer in [0, 2^32 - 1] (stored as
// itself; the two share one key space). Keys before the last name groups (nested lists).
// Values by chunk kind: 1 boolean, 2 number (f32), 3 string, 100 Vector3, 101 Quaternion,
// 102 Matrix4x4, 103 unit reference (the handle), 104 other light userdata (the pointer),
// 105 table or function (a ScriptReference to the value itself, not a copy of it). Setting
// nil removes the entry. An entry replaced or removed (a whole group included) gives back
// the registry references it held. Reads never change the store. A table or function
// stored from another Lua state reads as nil. Main thread (the store's owner's thread).

#include "foundation/types.h"
#include "script/runtime/lua_stack.h"

namespace tallow {

class ChunkStore;

/// Stores the last argument under the keys from `first` to the one before it. Raises a
/// Lua error for a missing key or value, a key of another kind, a value that cannot be
/// stored (nil aside) or a full store.
void script_data_set(const LuaStack &stack, ChunkStore &store, i32 first);
/// Pushes the value under the keys from `first` to the last argument, or nil.
void script_data_get(const LuaStack &stack, ChunkStore &store, i32 first);
/// Pushes whether a value (or a group) is stored under the keys from `first` on.
void script_data_has(const LuaStack &stack, ChunkStore &store, i32 first);
/// Gives back every registry reference held in `store` (nested groups included) and
/// empties those entries' references; for the store's owner as it goes.
void script_data_release(ChunkStore &store);

/// The store a binding works on, found from its arguments (the owner is argument 1 for a
/// unit, world or level; the Application's comes from the environment). Raises for a
/// stale owner.
using ScriptDataStoreOf = ChunkStore &(*)(const LuaStack &stack);

/// The set_data, get_data and has_data bindings over the store `store_of` finds; keys
/// start at argument `first`.
template <ScriptDataStoreOf store_of, i32 first> int script_data_set_binding(lua_State *L)
{
    LuaStack stack(L);
    script_data_set(stack, store_of(stack), first);
    return 0;
}
template <ScriptDataStoreOf store_of, i32 first> int script_data_get_binding(lua_State *L)
{
    LuaStack stack(L);
    script_data_get(stack, store_of(stack), first);
    return 1;
}
template <ScriptDataStoreOf store_of, i32 first> int script_data_has_binding(lua_State *L)
{
    LuaStack stack(L);
    script_data_has(stack, store_of(stack), first);
    return 1;
}

} // namespace tallow
