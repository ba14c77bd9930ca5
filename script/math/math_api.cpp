// Script table `Math`: ray and box tests and the program's random sequence.
//
//   local t = Math.ray_box_intersection(origin, direction, pose, half_extents)  -- -1: miss
//   local inside = Math.point_in_box(p, pose, half_extents)
//   local pose, half = Math.merge_boxes(pose_a, half_a, pose_b, half_b)
//   local roll = Math.random(6)                 -- 1..6, the same sequence in every run
//
// Boxes are oriented: a pose (Matrix4x4) and half extents along its axes (Vector3).

#include "foundation/math/oriented_box.h"
#include "script/math/math_api_internal.h"

#include <lua.hpp>

#include <atomic>
#include <cfloat>
#include <cmath>

namespace tallow::math_api {

namespace {

// One generator for the whole program, never reseeded. Job-thread states draw from it
// too; the atomic keeps their draws whole (their order is not reproducible).
std::atomic<u32> random_state{0};

u32 next_random()
{
    u32 state = random_state.load(std::memory_order_relaxed);
    u32 next;
    do
        next = state * 1664525u + 1013904223u;
    while (!random_state.compare_exchange_weak(state, next, std::memory_order_relaxed));
    return next;
}

/// Largest number of values `Math.random(a, b)` may choose from.
constexpr i64 random_max_span = i64(1) << 32;
constexpr i64 random_limit = i64(1) << 53;

int random(lua_State *L)
{
    LuaStack stack(L);
    i32 n = stack.count();
    if (n == 0) {
        stack.push_number(f64(next_random()) / 4294967296.0);
        return 1;
    }
    i64 low = 1, high = 0;
    if (n == 1) {
        high = stack.get_integer(1, 1, random_max_span);
    } else {
        low = stack.get_integer(1, -random_limit, random_limit);
        high = stack.get_integer(2, -random_limit, random_limit);
        if (high < low)
            stack.argument_message(2, "interval is empty (%lld < %lld)", (long long)high, (long long)low);
        if (high - low + 1 > random_max_span)
            stack.argument_message(2, "interval larger than 2^32 values");
    }
    // floor(span * r) in integers: exact for every span up to 2^32, so the result never
    // leaves [low, high] (a float result would round up past `high` above 2^24).
    u64 span = u64(high - low + 1);
    stack.push_integer(low + i64((span * next_random()) >> 32));
    return 1;
}

/// Corner `i` (bit 0 +x, bit 1 +y, bit 2 +z) of the box `pose`, `half`.
Vector3 box_corner(const Matrix4x4 &pose, Vector3 half, u32 i)
{
    Vector3 local{(i & 1) ? half.x : -half.x, (i & 2) ? half.y : -half.y, (i & 4) ? half.z : -half.z};
    return transform_point(pose, local);
}

int ray_box_intersection(lua_State *L)
{
    LuaStack stack(L);
    Vector3 origin = vector3_arg(stack, 1);
    Vector3 direction = vector3_arg(stack, 2);
    Matrix4x4 pose = matrix4x4_arg(stack, 3);
    Vector3 half = vector3_arg(stack, 4);
    Matrix4x4 to_local;
    if (!matrix4x4_inverse(pose, to_local)) {
        stack.push_float(-1); // a flat box: nothing to hit
        return 1;
    }
    Vector3 o = transform_point(to_local, origin);
    Vector3 d = transform_without_translation(to_local, direction);
    const f32 os[3] = {o.x, o.y, o.z}, ds[3] = {d.x, d.y, d.z}, es[3] = {half.x, half.y, half.z};
    f32 t_min = -FLT_MAX, t_max = FLT_MAX;
    for (u32 i = 0; i < 3; ++i) {
        if (ds[i] != 0) {
            f32 t1 = (-es[i] - os[i]) / ds[i];
            f32 t2 = (es[i] - os[i]) / ds[i];
            t_min = std::fmax(t_min, std::fmin(t1, t2));
            t_max = std::fmin(t_max, std::fmax(t1, t2));
        } else if (os[i] < -es[i] || os[i] > es[i]) {
            stack.push_float(-1);
            return 1;
        }
    }
    if (t_min > t_max || t_max < 0)
        stack.push_float(-1);
    else
        stack.push_float(t_min < 0 ? t_max : t_min);
    return 1;
}

int point_in_box(lua_State *L)
{
    LuaStack stack(L);
    Vector3 p = vector3_arg(stack, 1);
    Matrix4x4 pose = matrix4x4_arg(stack, 2);
    Vector3 half = vector3_arg(stack, 3);
    Vector3 offset = p - translation(pose);
    const f32 es[3] = {half.x, half.y, half.z};
    bool inside = true;
    for (int i = 0; i < 3 && inside; ++i) {
        f32 d = dot(offset, axis(pose, i));
        inside = d > -es[i] && d < es[i];
    }
    stack.push_bool(inside);
    return 1;
}

int box_in_frustum(lua_State *L)
{
    LuaStack stack(L);
    Matrix4x4 pose = matrix4x4_arg(stack, 1);
    Vector3 half = vector3_arg(stack, 2);
    Vector3 corners[8];
    for (u32 i = 0; i < 8; ++i)
        corners[i] = box_corner(pose, half, i);
    i32 n = stack.count();
    for (i32 arg = 3; arg <= n; arg += 2) {
        Vector3 normal = vector3_arg(stack, arg);
        f32 distance = stack.get_float(arg + 1);
        for (const Vector3 &c : corners) {
            if (dot(normal, c) - distance > 0) {
                stack.push_bool(false);
                return 1;
            }
        }
    }
    stack.push_bool(true);
    return 1;
}

int merge_boxes(lua_State *L)
{
    LuaStack stack(L);
    Matrix4x4 first = matrix4x4_arg(stack, 1); // at least one box: raises for none
    vector3_arg(stack, 2);
    Matrix4x4 to_local;
    if (!matrix4x4_inverse(first, to_local))
        stack.argument_message(1, "the pose has no inverse");
    OrientedBox box = oobb_empty(first);
    i32 n = stack.count();
    for (i32 arg = 1; arg <= n; arg += 2) {
        Matrix4x4 pose = matrix4x4_arg(stack, arg);
        Vector3 half = vector3_arg(stack, arg + 1);
        for (u32 i = 0; i < 8; ++i)
            box = oobb_add_point(box, to_local, box_corner(pose, half, i));
    }
    // The first pose's axes around the centre of the gathered bounds.
    Vector3 centre = (box.min + box.max) * 0.5f;
    Matrix4x4 result = first;
    set_translation(result, transform_point(first, centre));
    push(stack, result);
    push(stack, (box.max - box.min) * 0.5f);
    return 2;
}

} // namespace

void register_math(LuaEnvironment &env)
{
    const char *t = "Math";
    env.add_module_function(t, "ray_box_intersection", ray_box_intersection);
    env.add_module_function(t, "point_in_box", point_in_box);
    env.add_module_function(t, "box_in_frustum", box_in_frustum);
    env.add_module_function(t, "merge_boxes", merge_boxes);
    env.add_module_function(t, "random", random);
}

} // namespace tallow::math_api

namespace tallow {

void set_math_random_state(u32 state) { math_api::random_state.store(state, std::memory_order_relaxed); }

} // namespace tallow
