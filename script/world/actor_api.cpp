// The `Actor` script table (see script/world/physics_api.h).
#include "script/world/physics_api_internal.h"

#include "physics/physics_world.h"
#include "script/math/math_api_internal.h"
#include "script/world/world_api.h"
#include "world/units/unit_handle.h"

#include <lua.hpp>

namespace tallow {

using namespace physics_api;

namespace {

using math_api::push;
using math_api::quaternion_arg;
using math_api::vector3_arg;

/// The wake counter Actor.wake_up gives (the float with bits 0x3ECCCCCC).
constexpr f32 wake_counter = 0.39999998f;

// Actor -------------------------------------------------------------------------------------

px::IScene &scene_of(const PhysicsActor &a) { return *a.world->scene(); }

template <bool Disabled> int actor_set_collision(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    scene_of(a).set_collision_disabled(a.actor, Disabled);
    return 0;
}

int actor_collision_disabled(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    stack.push_bool(scene_of(a).collision_disabled(a.actor));
    return 1;
}

template <bool Disabled> int actor_set_gravity(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    if (Disabled)
        scene_of(a).raise_body_flag(a.actor, px::body_disable_gravity);
    else
        scene_of(a).clear_body_flag(a.actor, px::body_disable_gravity);
    return 0;
}

int actor_gravity_disabled(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    stack.push_bool(scene_of(a).is_dynamic(a.actor) && scene_of(a).read_body_flag(a.actor, px::body_disable_gravity));
    return 1;
}

enum class Kind { Static, Dynamic, Kinematic, Physical };

template <Kind K> int actor_is(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    bool dynamic = scene_of(a).is_dynamic(a.actor);
    bool kinematic = dynamic && scene_of(a).read_body_flag(a.actor, px::body_kinematic);
    bool answer = K == Kind::Static ? !dynamic : K == Kind::Dynamic ? dynamic : K == Kind::Kinematic ? kinematic
                                                                                                     : dynamic && !kinematic;
    stack.push_bool(answer);
    return 1;
}

template <bool Angular> int actor_damping(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    stack.push_float(Angular ? scene_of(a).angular_damping(a.actor) : scene_of(a).linear_damping(a.actor));
    return 1;
}

template <bool Angular> int actor_set_damping(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    f32 v = finite_float_arg(stack, 2);
    if (v < 0)
        stack.argument_message(2, "damping must be zero or more");
    px::IScene &s = scene_of(a);
    if (Angular)
        s.set_damping(a.actor, s.linear_damping(a.actor), v);
    else
        s.set_damping(a.actor, v, s.angular_damping(a.actor));
    return 0;
}

template <bool Angular> int actor_velocity(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    push(stack, Angular ? scene_of(a).angular_velocity(a.actor) : scene_of(a).linear_velocity(a.actor));
    return 1;
}

template <bool Angular> int actor_set_velocity(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    Vector3 v = finite_vector3_arg(stack, 2);
    if (Angular)
        scene_of(a).set_angular_velocity(a.actor, v);
    else
        scene_of(a).set_linear_velocity(a.actor, v);
    return 0;
}

int actor_point_velocity(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    push(stack, scene_of(a).point_velocity(a.actor, finite_vector3_arg(stack, 2)));
    return 1;
}

/// Forces act only on a dynamic actor whose kinematic flag is clear.
bool takes_forces(const PhysicsActor &a)
{
    px::IScene &s = *a.world->scene();
    return s.is_dynamic(a.actor) && !s.read_body_flag(a.actor, px::body_kinematic);
}

enum class Force { Impulse, ImpulseAt, Velocity, VelocityAt, TorqueImpulse, AngularVelocity };

template <Force F> int actor_force(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    Vector3 v = finite_vector3_arg(stack, 2);
    bool at = F == Force::ImpulseAt || F == Force::VelocityAt;
    Vector3 position = at ? finite_vector3_arg(stack, 3) : Vector3{};
    if (!takes_forces(a))
        return 0;
    px::IScene &s = scene_of(a);
    px::ForceMode mode = F == Force::Impulse || F == Force::ImpulseAt || F == Force::TorqueImpulse
                             ? px::ForceMode::SmoothImpulse
                             : px::ForceMode::SmoothVelocityChange;
    if (F == Force::TorqueImpulse || F == Force::AngularVelocity)
        s.add_torque(a.actor, v, mode, true);
    else if (at)
        s.add_force_at_position(a.actor, v, position, mode, true);
    else
        s.add_force(a.actor, v, mode, true);
    return 0;
}

template <bool At> int actor_push(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    Vector3 velocity = finite_vector3_arg(stack, 2);
    f32 mass = finite_float_arg(stack, 3);
    if (mass < 0)
        stack.argument_message(3, "a mass must be zero or more");
    Vector3 position = At ? finite_vector3_arg(stack, 4) : Vector3{};
    if (!takes_forces(a))
        return 0;
    px::IScene &s = scene_of(a);
    f32 total = s.mass(a.actor) + mass;
    if (!(total > 0))
        return 0; // nothing has mass: there is no share to give (never a division by zero)
    Vector3 change = velocity * (mass / total);
    if (At)
        s.add_force_at_position(a.actor, change, position, px::ForceMode::SmoothVelocityChange, true);
    else
        s.add_force(a.actor, change, px::ForceMode::SmoothVelocityChange, true);
    return 0;
}

int actor_is_sleeping(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    stack.push_bool(scene_of(a).is_sleeping(a.actor));
    return 1;
}

int actor_wake_up(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    scene_of(a).wake_up(a.actor, wake_counter);
    return 0;
}

int actor_unit(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    // Spawned and level actors have no unit: nil, never a reference to nothing.
    if (a.unit && unit_handle_table().get(a.unit))
        stack.push_unit_reference(a.unit);
    else
        stack.push_nil();
    return 1;
}

int actor_set_collision_filter(lua_State *L)
{
    LuaStack stack(L);
    PhysicsActor &a = actor_arg(stack, 1);
    a.world->set_collision_filter(&a, filter_arg(stack, 2));
    return 0;
}

} // namespace

void physics_api::register_actor(LuaEnvironment &env)
{
    static const ScriptFunction functions[] = {
        {"Actor", "collision_disabled", actor_collision_disabled, nullptr},
        {"Actor", "disable_collision", actor_set_collision<true>, nullptr},
        {"Actor", "enable_collision", actor_set_collision<false>, nullptr},
        {"Actor", "gravity_disabled", actor_gravity_disabled, nullptr},
        {"Actor", "disable_gravity", actor_set_gravity<true>, nullptr},
        {"Actor", "enable_gravity", actor_set_gravity<false>, nullptr},
        {"Actor", "is_static", actor_is<Kind::Static>, nullptr},
        {"Actor", "is_dynamic", actor_is<Kind::Dynamic>, nullptr},
        {"Actor", "is_kinematic", actor_is<Kind::Kinematic>, nullptr},
        {"Actor", "is_physical", actor_is<Kind::Physical>, nullptr},
        {"Actor", "linear_damping", actor_damping<false>, nullptr},
        {"Actor", "angular_damping", actor_damping<true>, nullptr},
        {"Actor", "set_linear_damping", actor_set_damping<false>, nullptr},
        {"Actor", "set_angular_damping", actor_set_damping<true>, nullptr},
        {"Actor", "velocity", actor_velocity<false>, nullptr},
        {"Actor", "angular_velocity", actor_velocity<true>, nullptr},
        {"Actor", "set_velocity", actor_set_velocity<false>, nullptr},
        {"Actor", "set_angular_velocity", actor_set_velocity<true>, nullptr},
        {"Actor", "point_velocity", actor_point_velocity, nullptr},
        {"Actor", "add_impulse", actor_force<Force::Impulse>, nullptr},
        {"Actor", "add_impulse_at", actor_force<Force::ImpulseAt>, nullptr},
        {"Actor", "add_velocity", actor_force<Force::Velocity>, nullptr},
        {"Actor", "add_velocity_at", actor_force<Force::VelocityAt>, nullptr},
        {"Actor", "add_torque_impulse", actor_force<Force::TorqueImpulse>, nullptr},
        {"Actor", "add_angular_velocity", actor_force<Force::AngularVelocity>, nullptr},
        {"Actor", "push", actor_push<false>, nullptr},
        {"Actor", "push_at", actor_push<true>, nullptr},
        {"Actor", "is_sleeping", actor_is_sleeping, nullptr},
        {"Actor", "wake_up", actor_wake_up, nullptr},
        {"Actor", "unit", actor_unit, nullptr},
        {"Actor", "set_collision_filter", actor_set_collision_filter, nullptr},
    };
    add_script_functions(env, functions, sizeof functions / sizeof functions[0]);
}

} // namespace tallow
