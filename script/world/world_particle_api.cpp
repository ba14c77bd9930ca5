// The particle functions of the `World` table: they forward to the world's particle service.
//
//   local id = World.create_particles(w, "effects/sparks", Vector3(0, 0, 1))
//   World.link_particles(w, id, unit, 0, Matrix4x4.identity(), "stop")
//   World.move_particles(w, id, Vector3(2, 0, 0), Quaternion.identity())
//   World.stop_spawning_particles(w, id)     -- the effect ends when its particles die
//   World.destroy_particles(w, id)
//
// Ids are integers (-1: no effect was made). Operations on an id that finished or was
// destroyed do nothing. A world without a particle service raises "the particle service is
// not built yet".

#include "foundation/math/matrix4x4.h"
#include "foundation/math/quaternion.h"
#include "script/runtime/lua_stack.h"
#include "script/math/math_api_internal.h"
#include "script/world/world_api.h"
#include "world/units/scene_graph.h"
#include "world/units/unit.h"
#include "world/world.h"

#include <cstring>
#include <lua.hpp>

namespace tallow {

namespace {

IParticleWorld &particles_arg(const LuaStack &stack)
{
    World *world = get_world(stack, 1);
    IParticleWorld &particles = world->particles();
    if (!particles.is_available())
        stack.error("the particle service is not built yet");
    return particles;
}

u32 id_arg(const LuaStack &stack, i32 arg) { return u32(stack.get_integer(arg, -1, 0xFFFFFFFFll)); }

// A position and an optional rotation (nil: identity); a zero-length quaternion counts as
// length 1.
Matrix4x4 pose_arg(const LuaStack &stack, i32 position_arg)
{
    Vector3 position = math_api::vector3_arg(stack, position_arg);
    Quaternion q{0, 0, 0, 1};
    if (!stack.is_none_or_nil(position_arg + 1))
        q = math_api::quaternion_arg(stack, position_arg + 1);
    f32 n = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
    if (n > 0)
        q = normalize(q);
    else
        q = {0, 0, 0, 1};
    return matrix4x4_from_quaternion(q, position);
}

int create_particles(lua_State *L)
{
    LuaStack stack(L);
    IParticleWorld &particles = particles_arg(stack);
    NameId64 name = stack.get_id64(2);
    Matrix4x4 pose = pose_arg(stack, 3);
    u32 id = particles.create_particles(name.value(), pose);
    stack.push_integer(id == no_particle_effect ? -1 : i64(id));
    return 1;
}

int destroy_particles(lua_State *L)
{
    LuaStack stack(L);
    particles_arg(stack).destroy_particles(id_arg(stack, 2));
    return 0;
}

int stop_spawning_particles(lua_State *L)
{
    LuaStack stack(L);
    particles_arg(stack).stop_spawning(id_arg(stack, 2));
    return 0;
}

int move_particles(lua_State *L)
{
    LuaStack stack(L);
    IParticleWorld &particles = particles_arg(stack);
    u32 id = id_arg(stack, 2);
    particles.move_particles(id, pose_arg(stack, 3));
    return 0;
}

int link_particles(lua_State *L)
{
    LuaStack stack(L);
    IParticleWorld &particles = particles_arg(stack);
    World *world = get_world(stack, 1);
    u32 id = id_arg(stack, 2);
    Unit *unit = world->unit(stack.get_unit_handle(3));
    u32 node = u32(stack.get_integer(4, 0, 0xFFFFFFFFll));
    Matrix4x4 offset = math_api::matrix4x4_arg(stack, 5);
    const char *policy_name = stack.get_string(6);
    u32 policy = 0;
    if (std::strcmp(policy_name, "destroy") == 0)
        policy = 0;
    else if (std::strcmp(policy_name, "stop") == 0)
        policy = 1;
    else if (std::strcmp(policy_name, "unlink") == 0)
        policy = 2;
    else
        stack.argument_message(6, "orphan policy '%s' is not \"destroy\", \"stop\" or \"unlink\"", policy_name);
    if (!unit)
        return 0; // a stale unit: nothing to follow
    u32 nodes = unit->scene_graph().node_count();
    if (node >= nodes)
        stack.argument_message(4, "node index %u is out of range (the unit has %u nodes)", node, nodes);
    particles.link_particles(id, unit->handle(), node, offset, policy);
    return 0;
}

} // namespace

void register_world_particle_api(LuaEnvironment &env)
{
    static const ScriptFunction functions[] = {
        {"World", "create_particles", create_particles, nullptr},
        {"World", "destroy_particles", destroy_particles, nullptr},
        {"World", "stop_spawning_particles", stop_spawning_particles, nullptr},
        {"World", "move_particles", move_particles, nullptr},
        {"World", "link_particles", link_particles, nullptr},
    };
    add_script_functions(env, functions, sizeof(functions) / sizeof(functions[0]));
}

} // namespace tallow
