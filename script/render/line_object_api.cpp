// Script table `LineObject` and the World's line-object functions: debug lines, circles,
// spheres, boxes, capsules and axes. See script/render/render_api.h.

#include "foundation/math/quaternion.h"
#include "render/lines/line_object.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_stack.h"
#include "script/math/math_api_internal.h"
#include "script/render/render_api.h"
#include "script/world/world_api.h"
#include "world/world.h"

#include <lua.hpp>

namespace tallow {

namespace {

/// Counts scripts pass are read within this range; the line object clamps them further.
constexpr i64 count_min = -(i64(1) << 31);
constexpr i64 count_max = (i64(1) << 31) - 1;

LineObject *line_object_arg(const LuaStack &stack, i32 arg)
{
    auto *object = static_cast<LineObject *>(stack.get_pointer(arg));
    if (!World::line_object_owner(object))
        stack.argument_message(arg, "not a live LineObject (destroyed, of a released world, or another value)");
    return object;
}

/// A Color temporary: a Quaternion holding (a, r, g, b) in 0 to 255.
u32 color_arg(const LuaStack &stack, i32 arg)
{
    const f32 *c = stack.get_quaternion(arg);
    return pack_line_color(c[0], c[1], c[2], c[3]);
}

i32 count_arg(const LuaStack &stack, i32 arg, i32 fallback)
{
    return i32(stack.opt_integer(arg, fallback, count_min, count_max));
}

int add_line(lua_State *L)
{
    LuaStack stack(L);
    LineObject *lines = line_object_arg(stack, 1);
    lines->add_line(color_arg(stack, 2), math_api::vector3_arg(stack, 3), math_api::vector3_arg(stack, 4));
    return 0;
}

int add_circle(lua_State *L)
{
    LuaStack stack(L);
    LineObject *lines = line_object_arg(stack, 1);
    lines->add_circle(color_arg(stack, 2), math_api::vector3_arg(stack, 3), stack.get_float(4),
                      math_api::vector3_arg(stack, 5), count_arg(stack, 6, 20));
    return 0;
}

int add_sphere(lua_State *L)
{
    LuaStack stack(L);
    LineObject *lines = line_object_arg(stack, 1);
    u32 color = color_arg(stack, 2);
    Vector3 centre = math_api::vector3_arg(stack, 3);
    f32 radius = stack.get_float(4);
    i32 segments = count_arg(stack, 5, 20), parts = count_arg(stack, 6, 2);
    if (stack.count() > 6)
        return 0; // more arguments than the function takes: nothing is drawn
    lines->add_sphere(color, centre, radius, segments, parts);
    return 0;
}

int add_half_sphere(lua_State *L)
{
    LuaStack stack(L);
    LineObject *lines = line_object_arg(stack, 1);
    u32 color = color_arg(stack, 2);
    Vector3 centre = math_api::vector3_arg(stack, 3);
    f32 radius = stack.get_float(4);
    Vector3 normal = math_api::vector3_arg(stack, 5);
    i32 segments = count_arg(stack, 6, 20), parts = count_arg(stack, 7, 2);
    if (stack.count() > 7)
        return 0;
    lines->add_half_sphere(color, centre, radius, normal, segments, parts);
    return 0;
}

int add_box(lua_State *L)
{
    LuaStack stack(L);
    LineObject *lines = line_object_arg(stack, 1);
    lines->add_box(color_arg(stack, 2), math_api::matrix4x4_arg(stack, 3), math_api::vector3_arg(stack, 4));
    return 0;
}

int add_capsule(lua_State *L)
{
    LuaStack stack(L);
    LineObject *lines = line_object_arg(stack, 1);
    u32 color = color_arg(stack, 2);
    Vector3 from = math_api::vector3_arg(stack, 3), to = math_api::vector3_arg(stack, 4);
    f32 radius = stack.get_float(5);
    i32 segments = count_arg(stack, 6, 20), parts = count_arg(stack, 7, 4), sides = count_arg(stack, 8, 10);
    if (stack.count() > 8)
        return 0;
    lines->add_capsule(color, from, to, radius, segments, parts, sides);
    return 0;
}

int add_axes(lua_State *L)
{
    LuaStack stack(L);
    LineObject *lines = line_object_arg(stack, 1);
    Matrix4x4 pose = math_api::matrix4x4_arg(stack, 2);
    f32 length = stack.opt_float(3, 1.0f);
    Vector3 origin = translation(pose);
    const u32 colors[3] = {0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu};
    for (int i = 0; i < 3; ++i)
        lines->add_line(colors[i], origin, origin + axis(pose, i) * length);
    return 0;
}

int reset(lua_State *L)
{
    LuaStack stack(L);
    line_object_arg(stack, 1)->reset();
    return 0;
}

int dispatch(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    LineObject *lines = line_object_arg(stack, 2);
    if (World::line_object_owner(lines) != world)
        stack.argument_message(2, "the line object belongs to another world");
    world->dispatch_line_object(*lines);
    return 0;
}

} // namespace

int world_create_line_object(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    LineObject *lines = world->create_line_object(stack.opt_bool(2, false));
    if (!lines)
        stack.error("no line object could be made (out of memory)");
    stack.push_lightuserdata(lines);
    return 1;
}

int world_destroy_line_object(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    LineObject *lines = line_object_arg(stack, 2);
    if (!world->destroy_line_object(lines))
        stack.argument_message(2, "the line object belongs to another world");
    return 0;
}

int world_clear_permanent_lines(lua_State *L)
{
    LuaStack stack(L);
    get_world(stack, 1)->clear_permanent_lines();
    return 0;
}

void register_line_object_api(LuaEnvironment &env)
{
    static const ScriptFunction functions[] = {
        {"LineObject", "add_line", add_line, nullptr},
        {"LineObject", "add_circle", add_circle, nullptr},
        {"LineObject", "add_sphere", add_sphere, nullptr},
        {"LineObject", "add_half_sphere", add_half_sphere, nullptr},
        {"LineObject", "add_box", add_box, nullptr},
        {"LineObject", "add_capsule", add_capsule, nullptr},
        {"LineObject", "add_axes", add_axes, nullptr},
        {"LineObject", "reset", reset, nullptr},
        {"LineObject", "dispatch", dispatch, nullptr},
    };
    add_script_functions(env, functions, sizeof(functions) / sizeof(functions[0]));
}

} // namespace tallow
