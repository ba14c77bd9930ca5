// The core set every Lua state gets: `Profiler` (hooks that do nothing in this build) and a
// global `tostring` that knows the engine's values.
//
//   Profiler.start("ai"); ...; Profiler.stop()
//   print(Vector3(1, 2, 3))          -- "Vector3(1, 2, 3)" (print goes through tostring)
//   print(tostring(0.1))             -- "0.1": numbers show as 32-bit floats, six digits
//
// tostring texts, by kind: numbers as 32-bit floats ("%g"); strings as they are; "true",
// "false", "nil"; a full userdata as "[" + its metatable's _name + "]" ("[userdata]" when it
// has none); light userdata as "[NULL]", "Vector3(x, y, z)", "Quaternion(x, y, z, w)",
// "Matrix4x4(...)" (four lines), "[Unit '#ID[..]']" for a unit reference ("[Unit (deleted)]"
// once destroyed, "[World unit]" for a unit without a resource name), "[Level]" ("[Level
// (released)]" once gone), "[Actor '#ID[..]']",
// "[GUI]" or "[Unknown C object 0x...]" by the object's tag; "table", "function", and
// "[Unknown]" for anything else.

#include "script/runtime/lua_environment.h"
#include "script/runtime/registration.h"
#include "script/script_api.h"
#include "script/runtime/value_text.h"
#include "script/world/world_api.h"
#include "physics/physics_world.h"
#include "world/levels/level.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <lua.hpp>

#include <cstdio>
#include <cstring>

namespace tallow {

namespace {

int profiler_hook(lua_State *) { return 0; }

/// "[name]" from the metatable's `_name` (read raw: a metatable's own metamethods never run).
void append_userdata(lua_State *L, TextBuffer &text)
{
    const char *name = nullptr;
    if (lua_getmetatable(L, 1)) {
        lua_pushliteral(L, "_name");
        lua_rawget(L, -2);
        if (lua_type(L, -1) == LUA_TSTRING)
            name = lua_tostring(L, -1); // kept alive by the metatable until the text is built
    }
    append_text(text, "[");
    append_text(text, name ? name : "userdata");
    append_text(text, "]");
}

void append_light_userdata(lua_State *L, TextBuffer &text)
{
    void *p = lua_touserdata(L, 1);
    if (!p) {
        append_text(text, "[NULL]");
        return;
    }
    if (u32 serial = 0; is_level_reference(p, serial)) {
        append_text(text, level_by_serial(serial) ? "[Level]" : "[Level (released)]");
        return;
    }
    if (reinterpret_cast<uintptr_t>(p) & 1) {
        // A unit reference is never read through: the handle table says whether it is alive.
        const Unit *unit = unit_handle_table().get(unit_handle_from_script_value(p));
        if (!unit) {
            append_text(text, "[Unit (deleted)]");
        } else if (unit->resource().name.value() == 0) {
            append_text(text, "[World unit]");
        } else {
            append_text(text, "[Unit '");
            append_text(text, id_text(unit->resource().name));
            append_text(text, "']");
        }
        return;
    }
    LuaEnvironment &env = LuaEnvironment::from_state(L);
    // Any slot of the temporaries (a value of an earlier frame too) is readable memory.
    const f32 *payload = reinterpret_cast<const f32 *>(static_cast<const u8 *>(p) + sizeof(u32));
    if (env.vector3_temps().contains(p)) {
        append_vector3(text, payload, "Vector3(", ")");
        return;
    }
    if (env.quaternion_temps().contains(p)) {
        append_quaternion(text, payload, "Quaternion(", ")");
        return;
    }
    if (env.matrix4x4_temps().contains(p)) {
        append_matrix4x4_value(text, payload);
        return;
    }
    // Every other light userdata a script holds is an engine object the engine handed out,
    // or was one: its memory is read only once a live list of its kind holds it (the
    // handle of a collected overlap, a destroyed actor or GUI is freed memory).
    u32 tag = 0;
    if (PhysicsWorld::find_actor(p) || World::gui_owner(static_cast<const Gui *>(p)))
        std::memcpy(&tag, p, sizeof(tag));
    if (tag == actor_object_tag) {
        ActorObjectHeader header;
        std::memcpy(&header, p, sizeof(header));
        append_text(text, "[Actor '");
        append_text(text, id_text(NameId64::from_value(header.name)));
        append_text(text, "']");
    } else if (tag == gui_object_tag) {
        append_text(text, "[GUI]");
    } else {
        char address[48];
        std::snprintf(address, sizeof(address), "[Unknown C object %p]", p);
        append_text(text, address);
    }
}

int engine_tostring(lua_State *L)
{
    LuaStack stack(L);
    TextBuffer text;
    switch (lua_type(L, 1)) {
    case LUA_TNONE: stack.argument_error(1, "value");
    case LUA_TNUMBER: append_float(text, f32(lua_tonumber(L, 1))); break;
    case LUA_TSTRING: lua_settop(L, 1); return 1;
    case LUA_TBOOLEAN: append_text(text, lua_toboolean(L, 1) ? "true" : "false"); break;
    case LUA_TNIL: append_text(text, "nil"); break;
    case LUA_TUSERDATA: append_userdata(L, text); break;
    case LUA_TLIGHTUSERDATA: append_light_userdata(L, text); break;
    case LUA_TTABLE: append_text(text, "table"); break;
    case LUA_TFUNCTION: append_text(text, "function"); break;
    default: append_text(text, "[Unknown]"); break;
    }
    stack.push_string(text.data, text.length);
    return 1;
}

} // namespace

void register_core_api(LuaEnvironment &env)
{
    env.add_module_function("Profiler", "start", profiler_hook);
    env.add_module_function("Profiler", "stop", profiler_hook);
    env.add_global_function("tostring", engine_tostring);
}

} // namespace tallow
