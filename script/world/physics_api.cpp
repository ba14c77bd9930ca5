// Script tables `PhysicsWorld` and `Raycast`, the physics functions of `Unit` and `World`,
// and the registration of every physics table (`Actor` is in actor_api.cpp, `Mover` in
// mover_api.cpp). See script/world/physics_api.h.

#include "script/world/physics_api.h"

#include "foundation/deferred_release.h"

#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "physics/physics_properties.h"
#include "physics/physics_world.h"
#include "physics/world_physics_service.h"
#include "script/runtime/lua_environment.h"
#include "script/math/math_api_internal.h"
#include "script/world/physics_api_internal.h"
#include "script/world/world_api.h"
#include "world/units/unit.h"
#include "world/units/unit_handle.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <lua.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace tallow {

namespace {

using math_api::matrix4x4_arg;
using math_api::push;
using math_api::quaternion_arg;
using math_api::vector3_arg;

constexpr const char *physics_world_table = "PhysicsWorld";
constexpr const char *raycast_table = "Raycast";
// Registry key of the metatable of pending overlap records (not a script table).
constexpr const char *overlap_record_key = "tallow.physics_overlap";

} // namespace

namespace physics_api {

// Arguments -------------------------------------------------------------------------------

PhysicsActor &actor_arg(const LuaStack &stack, i32 arg)
{
    PhysicsActor *a = PhysicsWorld::find_actor(stack.get_pointer(arg));
    if (!a)
        stack.argument_message(arg, "the actor has been destroyed");
    return *a;
}

PhysicsMover &mover_arg(const LuaStack &stack, i32 arg)
{
    PhysicsMover *m = PhysicsWorld::find_mover(stack.get_pointer(arg));
    if (!m)
        stack.argument_message(arg, "the mover has been destroyed");
    return *m;
}

/// The physics world of a World: raises when the World has none.
PhysicsWorld &physics_of(const LuaStack &stack, World &world, i32 arg)
{
    PhysicsWorld *pw = physics_world_of(world.physics());
    if (!pw)
        stack.argument_message(arg, "the world has no physics (no physics SDK)");
    return *pw;
}

PhysicsWorld &physics_world_arg(const LuaStack &stack, i32 arg)
{
    auto *world = static_cast<World *>(stack.get_object(arg, physics_world_table));
    if (!World::is_live(world))
        stack.argument_message(arg, "the World of this physics world has been released");
    return physics_of(stack, *world, arg);
}

CollisionFilter filter_arg(const LuaStack &stack, i32 arg)
{
    NameId32 name = stack.get_id32(arg);
    const PhysicsProperties *p = current_physics_properties();
    const CollisionFilter *f = p ? p->find_collision_filter(name.value()) : nullptr;
    if (!f)
        stack.argument_message(arg, "no collision filter of that name in the physics properties");
    return *f;
}

/// A finite vector (NaN or infinity in a script's vector is a mistake, never physics).
Vector3 finite_vector3_arg(const LuaStack &stack, i32 arg)
{
    Vector3 v = vector3_arg(stack, arg);
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z))
        stack.argument_message(arg, "the vector must be finite");
    return v;
}

f32 finite_float_arg(const LuaStack &stack, i32 arg)
{
    f32 v = stack.get_float(arg);
    if (!std::isfinite(v))
        stack.argument_message(arg, "the number must be finite");
    return v;
}

void push_actor(const LuaStack &stack, PhysicsActor *a)
{
    if (a)
        stack.push_lightuserdata(a);
    else
        stack.push_nil();
}

void push_actor_id(const LuaStack &stack, PhysicsWorld &world, PhysicsActorId id) { push_actor(stack, world.resolve(id)); }

/// Queries see statics (1), dynamics (2) or both (3).
u32 types_value(const LuaStack &stack, i32 arg, u32 fallback)
{
    const char *s = stack.get_string(arg);
    if (!strcmp(s, "statics"))
        return px::query_statics;
    if (!strcmp(s, "dynamics"))
        return px::query_dynamics;
    if (!strcmp(s, "both"))
        return px::query_all;
    return fallback; // a name of nothing known leaves the setting as it was
}
} // namespace physics_api

using namespace physics_api;

namespace {

// Query answers -------------------------------------------------------------------------------

/// Runs `body(state, record, result)` in a protected call, so that pushing temporaries
/// and the script's own errors unwind to here; an error is logged with `format`.
void answer(lua_State *L, lua_CFunction body, void *record, const void *result, PhysicsWorld *world,
            const char *format)
{
    i32 top = lua_gettop(L);
    lua_pushcfunction(L, body);
    lua_pushlightuserdata(L, record);
    lua_pushlightuserdata(L, const_cast<void *>(result));
    lua_pushlightuserdata(L, world);
    LuaEnvironment &env = LuaEnvironment::from_state(L);
    if (env.pcall(3, 0).error)
        env.report_error(format);
    lua_settop(L, top);
}

struct OverlapRecord {
    lua_State *state = nullptr;
    i32 callback = LUA_NOREF;
    i32 self = LUA_NOREF; // keeps the record's userdata until its answer
};

int overlap_body(lua_State *L)
{
    auto *r = static_cast<OverlapRecord *>(lua_touserdata(L, 1));
    auto *result = static_cast<const OverlapResult *>(lua_touserdata(L, 2));
    auto *world = static_cast<PhysicsWorld *>(lua_touserdata(L, 3));
    LuaStack stack(L);
    stack.push_registry_reference(r->callback);
    lua_createtable(L, i32(result->actors.size()), 0);
    i32 n = 0;
    for (PhysicsActorId id : result->actors)
        if (PhysicsActor *a = world->resolve(id)) { // actors gone since are left out
            stack.push_lightuserdata(a);
            lua_rawseti(L, -2, ++n);
        }
    lua_call(L, 1, 0);
    return 0;
}

void overlap_done(PhysicsWorld &world, const OverlapResult &result)
{
    auto *r = static_cast<OverlapRecord *>(result.user);
    lua_State *L = r->state;
    answer(L, overlap_body, r, &result, &world, "Overlap callback error: %s");
    luaL_unref(L, LUA_REGISTRYINDEX, r->callback);
    r->callback = LUA_NOREF;
    i32 self = r->self;
    r->self = LUA_NOREF;
    luaL_unref(L, LUA_REGISTRYINDEX, self); // the record may be collected from now on
}

int overlap_record_gc(lua_State *L)
{
    auto *r = static_cast<OverlapRecord *>(lua_touserdata(L, 1));
    if (!r)
        return 0;
    // Collected unanswered (the state closes): no world may answer into it any more.
    PhysicsWorld::cancel_queries(r);
    if (r->callback != LUA_NOREF)
        luaL_unref(L, LUA_REGISTRYINDEX, r->callback);
    r->callback = LUA_NOREF;
    return 0;
}

struct RaycastRecord {
    lua_State *state = nullptr;
    World *world = nullptr;
    RaycastMode mode = RaycastMode::Closest;
    u32 types = px::query_all;
    CollisionFilter filter{0, ~0ull};
    i32 callback = LUA_NOREF;
    i32 self = LUA_NOREF; // the userdata, while casts are in flight
    u32 in_flight = 0;
    DeferredRelease answering; // its callback is on the stack: a collection waits for it
};

int raycast_body(lua_State *L)
{
    auto *r = static_cast<RaycastRecord *>(lua_touserdata(L, 1));
    auto *result = static_cast<const RaycastResult *>(lua_touserdata(L, 2));
    auto *world = static_cast<PhysicsWorld *>(lua_touserdata(L, 3));
    LuaStack stack(L);
    stack.push_registry_reference(r->callback);
    i32 args = 0;
    switch (result->mode) {
    case RaycastMode::Any:
        stack.push_bool(result->hit);
        args = 1;
        break;
    case RaycastMode::Closest:
        stack.push_bool(result->hit);
        args = 1;
        if (result->hit) {
            push(stack, result->position);
            stack.push_float(result->distance);
            push(stack, result->normal);
            push_actor_id(stack, *world, result->actor);
            args = 5;
        }
        break;
    case RaycastMode::All: {
        if (result->hits.empty())
            break; // no hits: the callback gets no arguments
        // Sorted by increasing distance: the layer reports hits in its own order.
        // The order is a Lua userdata: pushing a temporary below may raise, which skips
        // destructors.
        const u32 n = result->hits.size();
        u32 *order = static_cast<u32 *>(lua_newuserdata(L, sizeof(u32) * n));
        const i32 order_slot = lua_gettop(L); // kept on the stack while read
        for (u32 i = 0; i < n; ++i)
            order[i] = i;
        std::sort(order, order + n, [&](u32 a, u32 b) { return result->hits[a].distance < result->hits[b].distance; });
        lua_createtable(L, i32(n), 0);
        for (u32 i = 0; i < n; ++i) {
            const RaycastHit &h = result->hits[order[i]];
            lua_createtable(L, 4, 0);
            push(stack, h.position);
            lua_rawseti(L, -2, 1);
            stack.push_float(h.distance);
            lua_rawseti(L, -2, 2);
            push(stack, h.normal);
            lua_rawseti(L, -2, 3);
            push_actor_id(stack, *world, h.actor);
            lua_rawseti(L, -2, 4);
            lua_rawseti(L, -2, i32(i + 1));
        }
        lua_remove(L, order_slot);
        args = 1;
        break;
    }
    }
    lua_call(L, args, 0);
    return 0;
}

void raycast_done(PhysicsWorld &world, const RaycastResult &result)
{
    auto *r = static_cast<RaycastRecord *>(result.user);
    lua_State *L = r->state;
    r->answering.enter();
    answer(L, raycast_body, r, &result, &world, "Raycast callback error: %s");
    if (r->answering.leave()) {
        // Collected by its own callback (Raycast.__gc): its references went then.
        delete_with_allocator(LuaEnvironment::from_state(L).allocator(), r);
        return;
    }
    if (r->in_flight && --r->in_flight == 0) {
        i32 self = r->self;
        r->self = LUA_NOREF;
        luaL_unref(L, LUA_REGISTRYINDEX, self); // the object may be collected from now on
    }
}

// PhysicsWorld --------------------------------------------------------------------------------

template <bool Kinematic> int physics_world_set_kinematic(lua_State *L)
{
    LuaStack stack(L);
    PhysicsWorld &pw = physics_world_arg(stack, 1);
    PhysicsActor &a = actor_arg(stack, 2);
    if (a.world != &pw)
        stack.argument_message(2, "the actor belongs to another physics world");
    pw.set_kinematic_flag(&a, Kinematic);
    return 0;
}

int physics_world_destroy(lua_State *L)
{
    LuaStack stack(L);
    PhysicsWorld &pw = physics_world_arg(stack, 1);
    PhysicsActor &a = actor_arg(stack, 2);
    if (a.world != &pw)
        stack.argument_message(2, "the actor belongs to another physics world");
    // An actor of a unit leaves its slot in the unit first, so the unit never holds it.
    if (Unit *u = a.unit ? unit_handle_table().get(a.unit) : nullptr)
        for (u32 i = 0; i < u->actor_count(); ++i)
            if (u->actor(i) == &a) {
                u->destroy_actor(i);
                return 0;
            }
    if (a.level_actor)
        stack.argument_message(2, "a level's actor is destroyed with its level");
    pw.destroy_actor(&a);
    return 0;
}

int physics_world_overlap(lua_State *L)
{
    LuaStack stack(L);
    PhysicsWorld &pw = physics_world_arg(stack, 1);
    if (lua_type(L, 2) != LUA_TFUNCTION)
        stack.argument_error(2, "function");
    OverlapDesc shape;
    QuerySettings settings;
    i32 count = stack.count();
    if ((count - 2) % 2)
        stack.argument_message(count, "options come in key and value pairs");
    for (i32 arg = 3; arg + 1 <= count; arg += 2) {
        const char *key = stack.get_string(arg);
        i32 v = arg + 1;
        if (!strcmp(key, "shape")) {
            const char *s = stack.get_string(v);
            static const char *shapes[] = {"sphere", "aabb", "oobb", "capsule"};
            for (u32 i = 0; i < 4; ++i)
                if (!strcmp(s, shapes[i]))
                    shape.kind = OverlapShapeKind(i);
        } else if (!strcmp(key, "position")) {
            set_translation(shape.pose, finite_vector3_arg(stack, v));
        } else if (!strcmp(key, "rotation")) {
            shape.pose = matrix4x4_from_quaternion(normalize(quaternion_arg(stack, v)), translation(shape.pose));
        } else if (!strcmp(key, "pose")) {
            shape.pose = matrix4x4_arg(stack, v);
        } else if (!strcmp(key, "size")) {
            if (stack.is_number(v)) {
                f32 s = finite_float_arg(stack, v);
                shape.extents = {s, s, s};
            } else {
                shape.extents = finite_vector3_arg(stack, v);
            }
        } else if (!strcmp(key, "types")) {
            settings.shapes = types_value(stack, v, settings.shapes);
        } else if (!strcmp(key, "collision_filter")) {
            settings.filter = filter_arg(stack, v);
        } else {
            stack.argument_message(arg, "unknown option '%s'", key);
        }
    }
    // The record is a userdata of this state, anchored until its answer: when the state
    // closes first, its collection cancels the query.
    auto *r = static_cast<OverlapRecord *>(lua_newuserdata(L, sizeof(OverlapRecord)));
    new (r) OverlapRecord();
    r->state = stack.environment().state(); // answered on the main state, also when asked in a coroutine
    lua_getfield(L, LUA_REGISTRYINDEX, overlap_record_key);
    lua_setmetatable(L, -2);
    r->self = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_pushvalue(L, 2);
    r->callback = luaL_ref(L, LUA_REGISTRYINDEX);
    OverlapResult result(stack.environment().allocator());
    result.user = r;
    result.callback = overlap_done;
    if (!pw.overlap(shape, settings, result)) {
        luaL_unref(L, LUA_REGISTRYINDEX, r->callback);
        r->callback = LUA_NOREF;
        luaL_unref(L, LUA_REGISTRYINDEX, r->self);
        r->self = LUA_NOREF;
        stack.error("no memory for the query");
    }
    stack.push_lightuserdata(r);
    return 1;
}

int physics_world_make_raycast(lua_State *L)
{
    LuaStack stack(L);
    auto *world = static_cast<World *>(stack.get_object(1, physics_world_table));
    (void)physics_world_arg(stack, 1);
    if (lua_type(L, 2) != LUA_TFUNCTION)
        stack.argument_error(2, "function");
    RaycastRecord options;
    i32 count = stack.count();
    for (i32 arg = 3; arg <= count; ++arg) {
        const char *o = stack.get_string(arg);
        if (!strcmp(o, "any"))
            options.mode = RaycastMode::Any;
        else if (!strcmp(o, "closest"))
            options.mode = RaycastMode::Closest;
        else if (!strcmp(o, "all"))
            options.mode = RaycastMode::All;
        else if (!strcmp(o, "types") && arg < count)
            options.types = types_value(stack, ++arg, options.types);
        else if (!strcmp(o, "collision_filter") && arg < count)
            options.filter = filter_arg(stack, ++arg);
        else
            stack.argument_message(arg, "unknown option '%s'", o);
    }
    LuaEnvironment &env = stack.environment();
    RaycastRecord *r = make_new<RaycastRecord>(env.allocator(), options);
    if (!r)
        stack.error("no memory for a raycast");
    r->state = env.state(); // answered on the main state, also when made in a coroutine
    r->world = world;
    lua_pushvalue(L, 2);
    r->callback = luaL_ref(L, LUA_REGISTRYINDEX);
    stack.push_object(r, raycast_table);
    return 1;
}

template <bool Sphere> int physics_world_spawn(lua_State *L)
{
    LuaStack stack(L);
    PhysicsWorld &pw = physics_world_arg(stack, 1);
    Vector3 position = finite_vector3_arg(stack, 2);
    px::ShapeDesc shape;
    if (Sphere) {
        f32 radius = finite_float_arg(stack, 3);
        if (!(radius > 0))
            stack.argument_message(3, "a radius must be above zero");
        shape.kind = px::ShapeKind::Sphere;
        shape.size = {radius, 0, 0};
    } else {
        Vector3 half = finite_vector3_arg(stack, 3);
        if (!(half.x > 0 && half.y > 0 && half.z > 0))
            stack.argument_message(3, "half extents must be above zero");
        shape.kind = px::ShapeKind::Box;
        shape.size = half;
    }
    u32 names[3];
    const char *what[3] = {"actor template", "shape template", "material"};
    const PhysicsProperties *p = current_physics_properties();
    for (i32 i = 0; i < 3; ++i) {
        names[i] = stack.get_id32(4 + i).value();
        bool found = p && (i == 0 ? p->find_actor_template(names[i]) != nullptr
                                  : i == 1 ? p->find_shape_template(names[i]) != nullptr
                                           : p->find_material(names[i]) != nullptr);
        if (!found)
            stack.argument_message(4 + i, "no %s of that name in the physics properties", what[i]);
    }
    Matrix4x4 pose = matrix4x4_identity;
    set_translation(pose, position);
    push_actor(stack, pw.spawn_actor(shape, pose, names[0], names[1], names[2]));
    return 1;
}

// Raycast ---------------------------------------------------------------------------------------

int raycast_cast(lua_State *L)
{
    LuaStack stack(L);
    auto *r = static_cast<RaycastRecord *>(stack.get_object(1, raycast_table));
    Vector3 from = finite_vector3_arg(stack, 2);
    Vector3 direction = finite_vector3_arg(stack, 3);
    f32 length = FLT_MAX;
    if (stack.count() == 4) {
        length = stack.get_float(4);
        if (std::isnan(length) || length < 0)
            stack.argument_message(4, "a length must be zero or more");
    }
    if (!World::is_live(r->world))
        stack.argument_message(1, "the World of this raycast has been released");
    PhysicsWorld &pw = physics_of(stack, *r->world, 1);
    f32 l = ::tallow::length(direction);
    if (!(l >= normalize_min_length) || length == 0)
        return 0; // nothing to cast: no answer comes
    PhysicsRay ray{from, direction * (1.0f / l), length};
    QuerySettings settings{r->types, r->filter};
    RaycastResult result(stack.environment().allocator());
    result.user = r;
    result.callback = raycast_done;
    bool ok = r->mode == RaycastMode::Any       ? pw.raycast_any(ray, settings, result)
              : r->mode == RaycastMode::Closest ? pw.raycast_closest(ray, settings, result)
                                                : pw.raycast_all(ray, settings, result);
    if (!ok)
        stack.error("no memory for the query");
    if (++r->in_flight == 1) {
        // Pending casts keep the object alive until their answers.
        lua_pushvalue(L, 1);
        r->self = luaL_ref(L, LUA_REGISTRYINDEX);
    }
    return 0;
}

int raycast_gc(lua_State *L)
{
    // Only a Raycast userdata is one (a script may call this with anything).
    if (lua_type(L, 1) != LUA_TUSERDATA || !lua_getmetatable(L, 1))
        return 0;
    lua_getfield(L, LUA_REGISTRYINDEX, raycast_table);
    bool same = lua_rawequal(L, -1, -2);
    lua_pop(L, 2);
    void **block = static_cast<void **>(lua_touserdata(L, 1));
    if (!same || !block || !*block)
        return 0;
    auto *r = static_cast<RaycastRecord *>(*block);
    *block = nullptr;
    // Collected with casts in flight only when the state closes: no world may answer them.
    PhysicsWorld::cancel_queries(r);
    if (r->callback != LUA_NOREF)
        luaL_unref(L, LUA_REGISTRYINDEX, r->callback);
    r->callback = LUA_NOREF;
    if (r->self != LUA_NOREF)
        luaL_unref(L, LUA_REGISTRYINDEX, r->self);
    r->self = LUA_NOREF;
    if (r->answering.defer())
        return 0; // its answer is on the stack and frees it when done
    delete_with_allocator(LuaEnvironment::from_state(L).allocator(), r);
    return 0;
}

// Unit and World --------------------------------------------------------------------------------

Unit &unit_arg(const LuaStack &stack, i32 arg)
{
    Unit *unit = unit_handle_table().get(stack.get_unit_handle(arg));
    if (!unit)
        stack.argument_message(arg, "the unit has been destroyed");
    return *unit;
}

/// The unit's world must have physics for these functions to mean anything.
Unit &physics_unit_arg(const LuaStack &stack, i32 arg)
{
    Unit &u = unit_arg(stack, arg);
    (void)physics_of(stack, u.world(), arg);
    return u;
}

/// An actor slot by name (or, for `actor`, also by number); raises for a name the unit lacks.
u32 actor_slot_arg(const LuaStack &stack, const Unit &u, i32 arg)
{
    i32 i = u.find_actor_index(stack.get_id32(arg).value());
    if (i < 0)
        stack.argument_message(arg, "the unit has no actor of that name");
    return u32(i);
}

u32 joint_slot_arg(const LuaStack &stack, const Unit &u, i32 arg)
{
    i32 i = u.find_joint_index(stack.get_id32(arg).value());
    if (i < 0)
        stack.argument_message(arg, "the unit has no joint of that name");
    return u32(i);
}

int unit_actor(lua_State *L)
{
    LuaStack stack(L);
    Unit &u = physics_unit_arg(stack, 1);
    i64 i = stack.is_number(2) ? stack.get_integer(2) : u.find_actor_index(stack.get_id32(2).value());
    if (i < 0 || i >= i64(u.actor_count()))
        return 0; // no value: no such slot
    push_actor(stack, u.actor(u32(i)));
    return 1;
}

int unit_create_actor(lua_State *L)
{
    LuaStack stack(L);
    Unit &u = physics_unit_arg(stack, 1);
    u32 i = actor_slot_arg(stack, u, 2);
    u.create_actor(i);
    push_actor(stack, u.actor(i));
    return 1;
}

int unit_destroy_actor(lua_State *L)
{
    LuaStack stack(L);
    Unit &u = physics_unit_arg(stack, 1);
    u.destroy_actor(actor_slot_arg(stack, u, 2));
    return 0;
}

int unit_mover(lua_State *L)
{
    LuaStack stack(L);
    Unit &u = physics_unit_arg(stack, 1);
    if (u.mover())
        stack.push_lightuserdata(u.mover());
    else
        stack.push_nil();
    return 1;
}

int unit_create_joint(lua_State *L)
{
    LuaStack stack(L);
    Unit &u = physics_unit_arg(stack, 1);
    u32 i = joint_slot_arg(stack, u, 2);
    u.create_joint(i);
    if (u.joint(i))
        stack.push_lightuserdata(u.joint(i));
    else
        stack.push_nil();
    return 1;
}

int unit_create_custom_joint(lua_State *L)
{
    LuaStack stack(L);
    Unit &u = physics_unit_arg(stack, 1);
    PhysicsWorld &pw = physics_of(stack, u.world(), 1);
    u32 slot = joint_slot_arg(stack, u, 2);
    JointTemplate t = u.resource().joints[slot].joint;
    PhysicsActor *actors[2] = {};
    for (u32 k = 0; k < 2; ++k) {
        i32 a = t.actor_name(k) ? u.find_actor_index(t.actor_name(k)) : -1;
        actors[k] = a >= 0 ? u.actor(u32(a)) : nullptr;
    }
    i32 count = stack.count();
    if ((count - 2) % 2)
        stack.argument_message(count, "options come in key and value pairs");
    for (i32 arg = 3; arg + 1 <= count; arg += 2) {
        const char *key = stack.get_string(arg);
        i32 v = arg + 1;
        if (!strcmp(key, "actor_1") || !strcmp(key, "actor_2"))
            actors[key[6] - '1'] = &actor_arg(stack, v);
        else if (!strcmp(key, "anchor_1") || !strcmp(key, "anchor_2"))
            t.set_vector(19 + 3 * u32(key[7] - '1'), finite_vector3_arg(stack, v));
        else if (!strcmp(key, "global_anchor")) {
            t.set_vector(25, finite_vector3_arg(stack, v));
            t.words[30] |= joint_flag_global_anchor;
        } else if (!strcmp(key, "global_axis")) {
            t.set_vector(16, finite_vector3_arg(stack, v));
            t.words[30] |= joint_flag_global_axis;
        } // other keys are skipped with their values
    }
    for (PhysicsActor *a : actors)
        if (a && a->world != &pw)
            stack.error("an actor belongs to another physics world");
    PhysicsJoint *j = pw.create_joint_from(t, actors[0], actors[1]);
    if (!j) {
        stack.push_nil();
        return 1;
    }
    // The unit's slot holds it when free, so the unit destroys it with the others.
    if (!u.adopt_joint(slot, j)) {
        // The slot's joint stays; this one belongs to the physics world until it goes.
    }
    stack.push_lightuserdata(j);
    return 1;
}

int unit_destroy_joint(lua_State *L)
{
    LuaStack stack(L);
    Unit &u = physics_unit_arg(stack, 1);
    u.destroy_joint(joint_slot_arg(stack, u, 2));
    return 0;
}

template <bool Enable> int unit_physics(lua_State *L)
{
    LuaStack stack(L);
    Unit &u = physics_unit_arg(stack, 1);
    if (Enable)
        u.enable_physics();
    else
        u.disable_physics();
    return 0;
}

int world_physics_world(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    (void)physics_of(stack, *world, 1);
    stack.push_object(world, physics_world_table);
    return 1;
}

} // namespace

void register_physics_api(LuaEnvironment &env)
{
    physics_api::register_actor(env);
    physics_api::register_mover(env);
    static const ScriptFunction functions[] = {
        {"PhysicsWorld", "set_kinematic", physics_world_set_kinematic<true>, nullptr},
        {"PhysicsWorld", "clear_kinematic", physics_world_set_kinematic<false>, nullptr},
        {"PhysicsWorld", "destroy", physics_world_destroy, nullptr},
        {"PhysicsWorld", "overlap", physics_world_overlap, nullptr},
        {"PhysicsWorld", "make_raycast", physics_world_make_raycast, nullptr},
        {"PhysicsWorld", "spawn_box", physics_world_spawn<false>, nullptr},
        {"PhysicsWorld", "spawn_sphere", physics_world_spawn<true>, nullptr},
        {"Raycast", "cast", raycast_cast, nullptr},
        {"Raycast", "__gc", raycast_gc, nullptr},
        {"Unit", "actor", unit_actor, nullptr},
        {"Unit", "create_actor", unit_create_actor, nullptr},
        {"Unit", "destroy_actor", unit_destroy_actor, nullptr},
        {"Unit", "mover", unit_mover, nullptr},
        {"Unit", "create_joint", unit_create_joint, nullptr},
        {"Unit", "create_custom_joint", unit_create_custom_joint, nullptr},
        {"Unit", "destroy_joint", unit_destroy_joint, nullptr},
        {"Unit", "enable_physics", unit_physics<true>, nullptr},
        {"Unit", "disable_physics", unit_physics<false>, nullptr},
        {"World", "physics_world", world_physics_world, nullptr},
    };
    add_script_functions(env, functions, sizeof functions / sizeof functions[0]);
    // The metatable of pending overlap records: only a collector, no script table.
    lua_State *L = env.state();
    lua_newtable(L);
    lua_pushcfunction(L, overlap_record_gc);
    lua_setfield(L, -2, "__gc");
    lua_setfield(L, LUA_REGISTRYINDEX, overlap_record_key);
}

} // namespace tallow