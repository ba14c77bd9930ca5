#pragma once
// How engine values are shown to scripts, beyond what LuaStack reads and pushes.
// The registration helpers themselves are members of LuaEnvironment.

#include "foundation/strings/name_id.h"
#include "foundation/types.h"

namespace tallow {

/// "#ID[%s]": the id in lower-case hexadecimal without leading zeros. The text lives in a
/// per-thread ring of 200 characters and stays valid for the next few id texts only;
/// push it to Lua at once.
const char *id_text(NameId64 id);

/// Tag words at the start of the engine objects the global `tostring` names when a script
/// holds them as light userdata.
constexpr u32 actor_object_tag = 0x1CC84619;
constexpr u32 gui_object_tag = 0x45324383;
/// How an actor begins in memory: its tag, one word the physics layer uses, then the
/// actor's name id. An actor type puts this header first.
struct ActorObjectHeader {
    u32 tag;
    u32 reserved;
    u32 name; // NameId32 value
};
static_assert(sizeof(ActorObjectHeader) == 12);

} // namespace tallow

struct lua_State;

namespace tallow {

class ChunkStore;
class ConfigValue;

/// Chunk kind of a script value kept in a script data store: a ScriptReference.
constexpr u32 script_reference_chunk_kind = 105;
/// What a script data store keeps for a Lua table or function: the state and the registry
/// reference in it. Stored as bytes (read and written with memcpy; chunks are 4-aligned).
struct ScriptReference {
    lua_State *state;
    i32 reference;
};

/// Releases the registry reference of every script-reference chunk in `store` (nested
/// lists included), so the values they kept can be collected. Call when the owner of the
/// store (Application, World, Level, Unit) is destroyed, while the states still exist.
void release_script_references(ChunkStore &store);
/// The same for the list whose head is at `head` (a nested list's head) only.
void release_script_references(ChunkStore &store, u32 head);

/// Most nesting levels converted between config values and Lua tables; deeper (or cyclic)
/// values are a script error (to config) or cut off as nil (to Lua).
constexpr u32 script_config_max_depth = 64;
/// Largest array index a Lua table may use when it becomes a config array.
constexpr u32 script_config_max_array = 65536;

/// Pushes `value` as Lua values: nil, boolean, number, string (byte data as a string),
/// arrays as tables indexed from 1, objects as tables keyed by member name.
void push_config_value(lua_State *state, const ConfigValue &value);
/// Converts the Lua value at `index` into `out`: boolean, number (float), string, Vector3
/// (object x, y, z), Quaternion (object x, y, z, w), table (object when it has a string
/// key, else an array of its integer keys from 1); other values leave `out` nil. Raises a
/// Lua error for a table nested deeper than script_config_max_depth (or cyclic) or an
/// array index above script_config_max_array. Call from a binding.
void to_config_value(lua_State *state, i32 index, ConfigValue &out);
/// Raises the errors to_config_value would raise, changing nothing.
void check_config_value(lua_State *state, i32 index);

} // namespace tallow
