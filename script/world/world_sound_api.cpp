// The sound functions of the `World` table: they forward to the world's sound service.
//
//   local id = World.play_sound(w, "sounds/chime", false, 20, Vector3(2, 0, 0), "effects")
//   World.link_sound(w, id, unit, 0)          -- follows node 0 of the unit
//   World.set_mixer_volume(w, "effects", 0.5)
//   World.stop_sound(w, id)
//
// Ids are integers (0: not played). Operations on an id that finished or was stopped do
// nothing. A world without a sound service raises "the sound service is not built yet".

#include "foundation/math/matrix4x4.h"
#include "script/runtime/lua_stack.h"
#include "script/math/math_api_internal.h"
#include "script/world/world_api.h"
#include "world/units/scene_graph.h"
#include "world/units/unit.h"
#include "world/world.h"

#include <lua.hpp>

namespace tallow {

namespace {

ISoundWorld &sound_arg(const LuaStack &stack)
{
    World *world = get_world(stack, 1);
    ISoundWorld &sound = world->sound();
    if (!sound.is_available())
        stack.error("the sound service is not built yet");
    return sound;
}

u32 id_arg(const LuaStack &stack, i32 arg) { return u32(stack.get_integer(arg, 0, 0xFFFFFFFFll)); }

Matrix4x4 pose_at(Vector3 position)
{
    Matrix4x4 pose = matrix4x4_identity;
    set_translation(pose, position);
    return pose;
}

int play_sound(lua_State *L)
{
    LuaStack stack(L);
    ISoundWorld &sound = sound_arg(stack);
    NameId64 name = stack.get_id64(2);
    bool looping = stack.opt_bool(3, false);
    u32 bus = stack.count() >= 6 && !stack.is_none_or_nil(6) ? stack.get_id32(6).value() : 0;
    u32 id = sound.play(name.value(), looping, bus);
    if (id == no_sound_source) {
        stack.push_integer(0);
        return 1;
    }
    if (stack.is_number(4))
        sound.set_source_range(id, stack.get_float(4));
    if (stack.is_vector3(5))
        sound.set_source_pose(id, pose_at(math_api::vector3_arg(stack, 5)));
    stack.push_integer(id);
    return 1;
}

int stop_sound(lua_State *L)
{
    LuaStack stack(L);
    sound_arg(stack).stop(id_arg(stack, 2));
    return 0;
}

int set_listener(lua_State *L)
{
    LuaStack stack(L);
    sound_arg(stack).set_listener(math_api::matrix4x4_arg(stack, 2));
    return 0;
}

int set_sound_position(lua_State *L)
{
    LuaStack stack(L);
    ISoundWorld &sound = sound_arg(stack);
    u32 id = id_arg(stack, 2);
    sound.set_source_pose(id, pose_at(math_api::vector3_arg(stack, 3)));
    return 0;
}

int set_sound_range(lua_State *L)
{
    LuaStack stack(L);
    ISoundWorld &sound = sound_arg(stack);
    sound.set_source_range(id_arg(stack, 2), stack.get_float(3));
    return 0;
}

int set_sound_volume(lua_State *L)
{
    LuaStack stack(L);
    ISoundWorld &sound = sound_arg(stack);
    sound.set_source_volume(id_arg(stack, 2), stack.get_float(3));
    return 0;
}

int set_mixer_volume(lua_State *L)
{
    LuaStack stack(L);
    ISoundWorld &sound = sound_arg(stack);
    sound.set_bus_volume(stack.get_id32(2).value(), stack.get_float(3));
    return 0;
}

int set_sound_environment(lua_State *L)
{
    LuaStack stack(L);
    ISoundWorld &sound = sound_arg(stack);
    // An environment that is not loaded leaves the reverb as it is (the service logs it).
    (void)sound.set_environment(stack.get_id64(2).value());
    return 0;
}

int link_sound(lua_State *L)
{
    LuaStack stack(L);
    ISoundWorld &sound = sound_arg(stack);
    World *world = get_world(stack, 1);
    u32 id = id_arg(stack, 2);
    Unit *unit = world->unit(stack.get_unit_handle(3));
    u32 node = u32(stack.get_integer(4, 0, 0xFFFFFFFFll));
    if (!unit)
        return 0; // a stale unit: nothing to follow
    u32 nodes = unit->scene_graph().node_count();
    if (node >= nodes)
        stack.argument_message(4, "node index %u is out of range (the unit has %u nodes)", node, nodes);
    sound.link_source(id, unit->handle(), node);
    return 0;
}

} // namespace

void register_world_sound_api(LuaEnvironment &env)
{
    static const ScriptFunction functions[] = {
        {"World", "play_sound", play_sound, nullptr},
        {"World", "stop_sound", stop_sound, nullptr},
        {"World", "set_listener", set_listener, nullptr},
        {"World", "set_sound_position", set_sound_position, nullptr},
        {"World", "set_sound_range", set_sound_range, nullptr},
        {"World", "set_sound_volume", set_sound_volume, nullptr},
        {"World", "set_mixer_volume", set_mixer_volume, nullptr},
        {"World", "set_sound_environment", set_sound_environment, nullptr},
        {"World", "link_sound", link_sound, nullptr},
    };
    add_script_functions(env, functions, sizeof(functions) / sizeof(functions[0]));
}

} // namespace tallow
