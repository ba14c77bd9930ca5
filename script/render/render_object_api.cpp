// Script tables `Camera`, `Light` and `Mesh` (the render objects of units), the Unit
// functions that hand them out, and the Material values `Mesh.material` names. See
// script/render/render_api.h.
//
// A script's Camera, Light, Mesh or Material value is a small full userdata whose metatable
// is its table; it holds the unit's handle and the object's index in the unit (and the
// material's slot), never an address. Every call looks the unit and the object up again,
// so a value kept past its unit's destruction raises instead of reading freed memory.

#include "foundation/math/rotation.h"
#include "render/world/render_camera.h"
#include "render/world/render_light.h"
#include "render/world/render_mesh_object.h"
#include "script/math/math_api_internal.h"
#include "script/render/render_api.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_stack.h"
#include "world/flow/flow.h"
#include "world/units/unit.h"
#include "world/units/unit_handle.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <lua.hpp>

#include <cfloat>
#include <cmath>
#include <cstring>

namespace tallow {

namespace {

using math_api::matrix4x4_arg;
using math_api::push;
using math_api::quaternion_arg;
using math_api::vector3_arg;

/// Frames a unit stays awake after a script moved one of its nodes.
constexpr u32 awake_frames_after_move = 5;

enum class Kind : u32 { Camera, Light, Mesh };
constexpr const char *table_of[] = {"Camera", "Light", "Mesh"};
constexpr const char *noun_of[] = {"camera", "light", "mesh"};
constexpr const char *material_table = "Material";

/// unit handle | index << 32 | slot << 48 (never 0: a live unit's handle is not).
u64 encode(UnitHandle unit, u32 index, u32 slot = 0) { return u64(unit) | u64(index) << 32 | u64(slot) << 48; }

struct Reference {
    Unit *unit;
    u32 index;
    u32 slot;
};

Reference reference_arg(const LuaStack &stack, i32 arg, const char *table)
{
    const u64 v = reinterpret_cast<uintptr_t>(stack.get_object(arg, table));
    Unit *unit = unit_handle_table().get(UnitHandle(v & 0xFFFFFFFFu));
    if (!unit)
        stack.argument_message(arg, "the %s's unit has been destroyed", table);
    return {unit, u32(v >> 32) & 0xFFFF, u32(v >> 48)};
}

template <Kind K> auto *object_of(const Reference &r)
{
    if constexpr (K == Kind::Camera)
        return r.unit->camera(r.index);
    else if constexpr (K == Kind::Light)
        return r.unit->light(r.index);
    else
        return r.unit->mesh(r.index);
}

template <Kind K> auto &object_arg(const LuaStack &stack, i32 arg, Reference *out_reference = nullptr)
{
    Reference r = reference_arg(stack, arg, table_of[u32(K)]);
    auto *object = object_of<K>(r);
    if (!object)
        stack.argument_message(arg, "the %s no longer exists", noun_of[u32(K)]);
    if (out_reference)
        *out_reference = r;
    return *object;
}

template <Kind K> u32 resource_node(const UnitResource &r, u32 index)
{
    if constexpr (K == Kind::Camera)
        return index < r.cameras.size() ? r.cameras[index].node : 0xFFFFFFFFu;
    else if constexpr (K == Kind::Light)
        return index < r.lights.size() ? r.lights[index].node : 0xFFFFFFFFu;
    else
        return index < r.meshes.size() ? r.meshes[index].node : 0xFFFFFFFFu;
}

/// The object's node in its unit's scene graph; raises when the graph lacks it.
template <Kind K> u32 node_arg(const LuaStack &stack, i32 arg, Reference &out_reference)
{
    object_arg<K>(stack, arg, &out_reference);
    const u32 node = resource_node<K>(out_reference.unit->resource(), out_reference.index);
    if (node >= out_reference.unit->scene_graph().node_count())
        stack.argument_message(arg, "the %s has no node in its unit's scene graph", noun_of[u32(K)]);
    return node;
}

template <Kind K> int object_node(lua_State *L)
{
    LuaStack stack(L);
    Reference r;
    stack.push_integer(node_arg<K>(stack, 1, r));
    return 1;
}

enum class Part { Position, Rotation, Pose };

template <Kind K, bool World, Part What> int object_pose_get(lua_State *L)
{
    LuaStack stack(L);
    Reference r;
    const u32 node = node_arg<K>(stack, 1, r);
    const SceneGraph &graph = r.unit->scene_graph();
    const Matrix4x4 &m = World ? graph.world_pose(node) : graph.local_pose(node);
    if (What == Part::Position)
        push(stack, translation(m));
    else if (What == Part::Rotation)
        push(stack, matrix_to_quaternion(m));
    else
        push(stack, m);
    return 1;
}

template <Kind K, Part What> int object_pose_set(lua_State *L)
{
    LuaStack stack(L);
    Reference r;
    const u32 node = node_arg<K>(stack, 1, r);
    // The unit is named again by the caller: it must be the object's own.
    if (unit_handle_table().get(stack.get_unit_handle(2)) != r.unit)
        stack.argument_message(2, "is not the unit of this %s", noun_of[u32(K)]);
    SceneGraph &graph = r.unit->scene_graph();
    Matrix4x4 m = graph.local_pose(node);
    if (What == Part::Position)
        set_translation(m, vector3_arg(stack, 3));
    else if (What == Part::Rotation)
        m = pose_from_quaternion(quaternion_arg(stack, 3), translation(m)); // scale dropped
    else
        m = matrix4x4_arg(stack, 3);
    graph.set_local_pose(node, m);
    r.unit->world().wake_unit(*r.unit, awake_frames_after_move);
    return 0;
}

template <Kind K> void register_node_functions(LuaEnvironment &env)
{
    const char *t = table_of[u32(K)];
    env.add_module_function(t, "node", object_node<K>);
    env.add_module_function(t, "local_position", object_pose_get<K, false, Part::Position>);
    env.add_module_function(t, "local_rotation", object_pose_get<K, false, Part::Rotation>);
    env.add_module_function(t, "local_pose", object_pose_get<K, false, Part::Pose>);
    env.add_module_function(t, "world_position", object_pose_get<K, true, Part::Position>);
    env.add_module_function(t, "world_rotation", object_pose_get<K, true, Part::Rotation>);
    env.add_module_function(t, "world_pose", object_pose_get<K, true, Part::Pose>);
    env.add_module_function(t, "set_local_position", object_pose_set<K, Part::Position>);
    env.add_module_function(t, "set_local_rotation", object_pose_set<K, Part::Rotation>);
    env.add_module_function(t, "set_local_pose", object_pose_set<K, Part::Pose>);
}

f32 finite_arg(const LuaStack &stack, i32 arg)
{
    const f32 v = stack.get_float(arg);
    if (!std::isfinite(v))
        stack.argument_message(arg, "a finite number expected");
    return v;
}

f32 positive_arg(const LuaStack &stack, i32 arg)
{
    const f32 v = finite_arg(stack, arg);
    if (!(v > 0))
        stack.argument_message(arg, "a positive number expected, got %g", f64(v));
    return v;
}

// --- Camera -------------------------------------------------------------------------------

Camera &camera_of(const LuaStack &stack) { return object_arg<Kind::Camera>(stack, 1); }

int camera_near_range(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(camera_of(stack).near_range());
    return 1;
}

int camera_far_range(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(camera_of(stack).far_range());
    return 1;
}

int camera_vertical_fov(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(camera_of(stack).vertical_fov());
    return 1;
}

int camera_set_near_range(lua_State *L)
{
    LuaStack stack(L);
    Camera &c = camera_of(stack);
    c.set_near_range(positive_arg(stack, 2));
    return 0;
}

int camera_set_far_range(lua_State *L)
{
    LuaStack stack(L);
    Camera &c = camera_of(stack);
    c.set_far_range(positive_arg(stack, 2));
    return 0;
}

int camera_set_vertical_fov(lua_State *L)
{
    LuaStack stack(L);
    Camera &c = camera_of(stack);
    const f32 fov = positive_arg(stack, 2);
    if (fov >= 3.14159265f)
        stack.argument_message(2, "the field of view must be below pi, got %g", f64(fov));
    c.set_vertical_fov(fov);
    return 0;
}

int camera_projection_type(lua_State *L)
{
    LuaStack stack(L);
    stack.push_integer(camera_of(stack).projection_type());
    return 1;
}

int camera_set_projection_type(lua_State *L)
{
    LuaStack stack(L);
    Camera &c = camera_of(stack);
    c.set_projection_type(u32(stack.get_integer(2, camera_orthographic, camera_perspective)));
    return 0;
}

int camera_set_orthographic_view(lua_State *L)
{
    LuaStack stack(L);
    Camera &c = camera_of(stack);
    const f32 left = finite_arg(stack, 2), right = finite_arg(stack, 3);
    const f32 bottom = finite_arg(stack, 4), top = finite_arg(stack, 5);
    c.set_orthographic_view(left, right, bottom, top);
    return 0;
}

/// What the conversions need: the camera's settings, its node's world pose and the back
/// buffer's size.
struct View {
    CameraBlock block;
    Matrix4x4 pose;
    f32 width, height;
};

View view_arg(const LuaStack &stack)
{
    Reference r;
    const u32 node = node_arg<Kind::Camera>(stack, 1, r);
    u32 w = 0, h = 0;
    if (!script_screen_size(stack.environment(), w, h) || w == 0 || h == 0)
        stack.error("the back buffer's size is not known");
    return {r.unit->camera(r.index)->block(), r.unit->scene_graph().world_pose(node), f32(w), f32(h)};
}

/// The orthographic projection the conversions use (rows act on row vectors): camera x to
/// clip x, z to clip y, y to clip depth. Zero extents count as a tiny step.
Matrix4x4 ortho_matrix(const CameraBlock &b, f32 w, f32 h)
{
    auto span = [](f32 d) { return std::fabs(d) < 1e-6f ? 1e-6f : d; };
    const f32 rl = span(b.ortho_right - b.ortho_left), tb = span(b.ortho_top - b.ortho_bottom);
    const f32 fn = span(b.far_range - b.near_range);
    Matrix4x4 m{};
    m.m[0][0] = 2.0f / (rl * w / h);
    m.m[2][1] = 2.0f / tb;
    m.m[1][2] = 1.0f / fn;
    m.m[3][0] = -(b.ortho_left + b.ortho_right) / rl;
    m.m[3][1] = -(b.ortho_bottom + b.ortho_top) / tb;
    m.m[3][2] = -b.near_range / fn;
    m.m[3][3] = 1.0f;
    return m;
}

int camera_screen_to_world(lua_State *L)
{
    LuaStack stack(L);
    const View v = view_arg(stack);
    const Vector3 s = vector3_arg(stack, 2); // (screen x, depth, screen y)
    Vector3 p;
    if (v.block.projection_type == camera_perspective) {
        const f32 nx = (2 * s.x - v.width) / v.height, ny = (2 * s.z - v.height) / v.height;
        const f32 t = std::tan(v.block.vertical_fov / 2);
        p = {nx * s.y * t, s.y, ny * s.y * t};
    } else {
        const Matrix4x4 m = ortho_matrix(v.block, v.width, v.height);
        const f32 nx = (2 * s.x - v.width) / v.width, ny = (2 * s.z - v.height) / v.height;
        p = {(nx - m.m[3][0]) / m.m[0][0], v.block.near_range + s.y * (v.block.far_range - v.block.near_range),
             (ny - m.m[3][1]) / m.m[2][1]};
    }
    push(stack, transform_point(v.pose, p));
    return 1;
}

int camera_world_to_screen(lua_State *L)
{
    LuaStack stack(L);
    const View v = view_arg(stack);
    const Vector3 p = transform_point(rigid_inverse(v.pose), vector3_arg(stack, 2));
    if (v.block.projection_type == camera_perspective) {
        // A point in the camera's plane has no screen position: it is pushed to infinity
        // with its sign rather than divided by zero.
        const f32 depth = p.y != 0 ? p.y : FLT_MIN;
        const f32 k = 1.0f / (std::tan(v.block.vertical_fov / 2) * depth);
        push(stack, Vector3{(k * p.x * v.height + v.width) / 2, p.y, (k * p.z + 1) * v.height / 2});
    } else {
        const Vector3 c = transform_point(ortho_matrix(v.block, v.width, v.height), p);
        push(stack, Vector3{(c.x + 1) * v.width / 2, c.z, (c.y + 1) * v.height / 2});
    }
    return 1;
}

int camera_inside_frustum(lua_State *L)
{
    LuaStack stack(L);
    const View v = view_arg(stack);
    const Vector3 p = vector3_arg(stack, 2);
    RenderCamera copy(v.block, 0xFFFFFFFFu, no_scene_node);
    copy.set_pose(v.pose);
    copy.compute_frustum(v.width, v.height, -1.0f);
    f32 nearest = FLT_MAX;
    for (const FrustumPlane &plane : copy.planes().planes)
        nearest = std::fmin(nearest, plane.a * p.x + plane.b * p.y + plane.c * p.z - plane.d);
    stack.push_float(nearest);
    return 1;
}

// --- Light --------------------------------------------------------------------------------

Light &light_of(const LuaStack &stack) { return object_arg<Kind::Light>(stack, 1); }

int light_falloff_start(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(light_of(stack).block().falloff_start);
    return 1;
}

int light_falloff_end(lua_State *L)
{
    LuaStack stack(L);
    stack.push_float(light_of(stack).block().falloff_end);
    return 1;
}

int light_set_falloff_start(lua_State *L)
{
    LuaStack stack(L);
    Light &l = light_of(stack);
    l.set_falloff_start(finite_arg(stack, 2));
    return 0;
}

int light_set_falloff_end(lua_State *L)
{
    LuaStack stack(L);
    Light &l = light_of(stack);
    l.set_falloff_end(finite_arg(stack, 2));
    return 0;
}

int light_color(lua_State *L)
{
    LuaStack stack(L);
    const f32 *c = light_of(stack).block().color;
    push(stack, Vector3{c[0], c[1], c[2]});
    return 1;
}

int light_set_color(lua_State *L)
{
    LuaStack stack(L);
    Light &l = light_of(stack);
    const Vector3 c = vector3_arg(stack, 2);
    l.set_color(c.x, c.y, c.z);
    return 0;
}

/// The three properties set through a copy of the whole block.
enum class Property { FalloffExponent, SpotAngleStart, SpotAngleEnd };

template <Property P> int light_set_property(lua_State *L)
{
    LuaStack stack(L);
    Light &l = light_of(stack);
    const f32 v = finite_arg(stack, 2);
    LightBlock b = l.block();
    if (P == Property::FalloffExponent)
        b.word6 = v;
    else if (P == Property::SpotAngleStart)
        b.word7 = v;
    else
        b.spot_angle = v;
    l.set_properties(b);
    return 0;
}

int light_set_casts_shadows(lua_State *L)
{
    LuaStack stack(L);
    Light &l = light_of(stack);
    const bool casts = stack.get_bool(2);
    LightBlock b = l.block();
    u32 flags;
    memcpy(&flags, &b.word9, 4); // the flags word: bit 0 casts shadows
    flags = casts ? flags | 1u : flags & ~1u;
    memcpy(&b.word9, &flags, 4);
    l.set_properties(b);
    return 0;
}

int light_set_type(lua_State *L)
{
    LuaStack stack(L);
    Light &l = light_of(stack);
    const char *name = stack.get_string(2);
    static const char *const types[] = {"omni", "spot", "directional"};
    LightBlock b = l.block();
    for (u32 t = 0; t < 3; ++t)
        if (strcmp(name, types[t]) == 0)
            b.type = t;
    l.set_properties(b); // a name of no type sends the block unchanged
    return 0;
}

int light_set_data(lua_State *L)
{
    LuaStack stack(L);
    Light &l = light_of(stack);
    const Light &source = object_arg<Kind::Light>(stack, 2);
    l.set_properties(source.block());
    return 0;
}

// --- Mesh and its materials ---------------------------------------------------------------

int mesh_material(lua_State *L)
{
    LuaStack stack(L);
    Reference r;
    const Mesh &mesh = object_arg<Kind::Mesh>(stack, 1, &r);
    const u32 name = stack.get_id32(2).value();
    for (u32 slot = 0; slot < mesh.material_count(); ++slot)
        if (mesh.material(name) == mesh.material_at(slot) && mesh.material_at(slot) != 0xFFFFFFFFu) {
            stack.push_object(reinterpret_cast<void *>(uintptr_t(encode(r.unit->handle(), r.index, slot))),
                              material_table);
            return 1;
        }
    stack.push_nil(); // no slot of that name (or its material could not be made)
    return 1;
}

// --- Unit functions -----------------------------------------------------------------------

Unit &unit_arg(const LuaStack &stack, i32 arg)
{
    Unit *unit = unit_handle_table().get(stack.get_unit_handle(arg));
    if (!unit)
        stack.argument_message(arg, "the unit has been destroyed");
    return *unit;
}

template <Kind K> int push_reference(const LuaStack &stack, Unit &unit, i32 index)
{
    Reference r{&unit, u32(index), 0};
    if (index < 0 || !object_of<K>(r)) {
        stack.push_nil(); // the unit has none of that name (or it was not made)
        return 1;
    }
    stack.push_object(reinterpret_cast<void *>(uintptr_t(encode(unit.handle(), u32(index)))), table_of[u32(K)]);
    return 1;
}

} // namespace

int unit_camera(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    return push_reference<Kind::Camera>(stack, unit, unit.find_camera(stack.get_id32(2).value()));
}

int unit_mesh(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    return push_reference<Kind::Mesh>(stack, unit, unit.find_mesh(stack.get_id32(2).value()));
}

int unit_light(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    if (stack.is_string(2))
        return push_reference<Kind::Light>(stack, unit, unit.find_light(stack.get_id32(2).value()));
    const i64 index = stack.get_integer(2, -(i64(1) << 31), (i64(1) << 31) - 1);
    return push_reference<Kind::Light>(stack, unit, index < i64(unit.resource().lights.size()) ? i32(index) : -1);
}

Camera &camera_arg(const LuaStack &stack, i32 arg, Unit **out_unit)
{
    Reference r;
    Camera &camera = object_arg<Kind::Camera>(stack, arg, &r);
    if (out_unit)
        *out_unit = r.unit;
    return camera;
}

bool material_reference(const LuaStack &stack, i32 arg, Unit *&out_unit, u32 &out_render_handle)
{
    const Reference r = reference_arg(stack, arg, material_table);
    const Mesh *mesh = r.unit->mesh(r.index);
    if (!mesh || r.slot >= mesh->material_count())
        return false;
    out_unit = r.unit;
    out_render_handle = mesh->material_at(r.slot);
    return true;
}

void register_render_object_api(LuaEnvironment &env)
{
    register_node_functions<Kind::Camera>(env);
    register_node_functions<Kind::Light>(env);
    register_node_functions<Kind::Mesh>(env);

    env.add_module_function("Camera", "near_range", camera_near_range);
    env.add_module_function("Camera", "far_range", camera_far_range);
    env.add_module_function("Camera", "vertical_fov", camera_vertical_fov);
    env.add_module_function("Camera", "set_near_range", camera_set_near_range);
    env.add_module_function("Camera", "set_far_range", camera_set_far_range);
    env.add_module_function("Camera", "set_vertical_fov", camera_set_vertical_fov);
    env.add_module_function("Camera", "projection_type", camera_projection_type);
    env.add_module_function("Camera", "set_projection_type", camera_set_projection_type);
    env.add_module_function("Camera", "set_orthographic_view", camera_set_orthographic_view);
    env.add_module_function("Camera", "screen_to_world", camera_screen_to_world);
    env.add_module_function("Camera", "world_to_screen", camera_world_to_screen);
    env.add_module_function("Camera", "inside_frustum", camera_inside_frustum);
    env.add_module_number("Camera", "PERSPECTIVE", f32(camera_perspective));
    env.add_module_number("Camera", "ORTHOGRAPHIC", f32(camera_orthographic));

    env.add_module_function("Light", "falloff_start", light_falloff_start);
    env.add_module_function("Light", "falloff_end", light_falloff_end);
    env.add_module_function("Light", "set_falloff_start", light_set_falloff_start);
    env.add_module_function("Light", "set_falloff_end", light_set_falloff_end);
    env.add_module_function("Light", "color", light_color);
    env.add_module_function("Light", "set_color", light_set_color);
    env.add_module_function("Light", "set_falloff_exponent", light_set_property<Property::FalloffExponent>);
    env.add_module_function("Light", "set_spot_angle_start", light_set_property<Property::SpotAngleStart>);
    env.add_module_function("Light", "set_spot_angle_end", light_set_property<Property::SpotAngleEnd>);
    env.add_module_function("Light", "set_casts_shadows", light_set_casts_shadows);
    env.add_module_function("Light", "set_type", light_set_type);
    env.add_module_function("Light", "set_data", light_set_data);

    env.add_module_function("Mesh", "material", mesh_material);
}

} // namespace tallow
