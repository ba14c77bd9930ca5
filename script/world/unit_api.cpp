// Script table `Unit`: one unit's scene-graph nodes and poses, visibility, liveness, name
// and its store of script values.
//
//   local u = World.spawn_unit(w, "units/crate")
//   local top = Unit.node(u, "top")                      -- -1 when there is none
//   Unit.set_local_position(u, 0, Vector3(0, 2, 0))      -- wakes the unit for 5 frames
//   Unit.set_data(u, "hits", 3)
//   if Unit.alive(u) then print(Unit.world_position(u, 0)) end
//
// `flow_event` runs the unit's flow graph event of that name. Every function but `alive`
// raises "the unit has been destroyed" for a stale reference.
// Node indices are checked against the unit's scene graph. Cameras, meshes and lights are
// handed out by script/render/render_object_api.cpp (the physics functions are in
// script/world/physics_api.cpp); `box` raises that its service is not built yet;
// animation functions raise it in a world without the animation service:
//
//   Unit.play_simple_animation(door, nil, nil, false, 1, "open")   -- whole animation, once
//   Unit.stop_simple_animation(door, "open")
//   local id = Unit.crossfade_animation(door, "animations/door_open", 0, 0.3)
//   Unit.animation_event(door, "open")                 -- to its state machine
//   local i = Unit.animation_find_variable(door, "speed")
//   if i >= 0 then Unit.animation_set_variable(door, i, 2) end   -- index checked

#include "foundation/math/rotation.h"
#include "physics/physics_world.h"
#include "physics/world_physics_service.h"
#include "resource/resource_manager.h"
#include "script/runtime/lua_environment.h"
#include "script/math/math_api_internal.h"
#include "script/render/render_api.h"
#include "script/runtime/registration.h"
#include "script/runtime/script_data_store.h"
#include "script/world/world_api.h"
#include "world/flow/flow.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"
#include "world/services/world_animation.h"

#include <lua.hpp>

#include <cstdio>
#include <cstring>

namespace tallow {

namespace {

using math_api::matrix4x4_arg;
using math_api::push;
using math_api::quaternion_arg;
using math_api::vector3_arg;

constexpr const char *unit_table = "Unit";
/// Frames a unit stays awake after a script moved one of its nodes.
constexpr u32 awake_frames_after_move = 5;

Unit &unit_arg(const LuaStack &stack, i32 arg)
{
    Unit *unit = unit_handle_table().get(stack.get_unit_handle(arg));
    if (!unit)
        stack.argument_message(arg, "the unit has been destroyed");
    return *unit;
}

u32 node_arg(const LuaStack &stack, const Unit &unit, i32 arg)
{
    u32 count = unit.scene_graph().node_count();
    if (count == 0)
        stack.argument_message(arg, "the unit has no nodes");
    return u32(stack.get_integer(arg, 0, count - 1));
}

ChunkStore &unit_data(const LuaStack &stack) { return unit_arg(stack, 1).data(); }

int unit_node(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    u32 node = unit.scene_graph().find_node(stack.get_id32(2));
    stack.push_integer(node == scene_graph_no_node ? -1 : i64(node));
    return 1;
}

enum class Part { Position, Rotation, Pose };

template <bool World, Part What> int unit_pose_get(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    u32 node = node_arg(stack, unit, 2);
    const Matrix4x4 &m = World ? unit.scene_graph().world_pose(node) : unit.scene_graph().local_pose(node);
    if (What == Part::Position)
        push(stack, translation(m));
    else if (What == Part::Rotation)
        push(stack, matrix_to_quaternion(m));
    else
        push(stack, m);
    return 1;
}

template <Part What, bool Teleport = false> int unit_pose_set(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    u32 node = node_arg(stack, unit, 2);
    Matrix4x4 m = unit.scene_graph().local_pose(node);
    if (What == Part::Position) {
        set_translation(m, vector3_arg(stack, 3));
    } else if (What == Part::Rotation) {
        // Any scale is dropped; the translation stays.
        m = pose_from_quaternion(quaternion_arg(stack, 3), translation(m));
    } else {
        m = matrix4x4_arg(stack, 3);
    }
    unit.scene_graph().set_local_pose(node, m);
    unit.world().wake_unit(unit, awake_frames_after_move);
    // The teleport variants also flag the dynamic kinematic actors, so the next physics
    // update places them instead of sweeping them there.
    if (Teleport && physics_world_of(unit.world().physics()))
        for (u32 i = 0; i < unit.actor_count(); ++i)
            if (PhysicsActor *a = unit.actor(i); a && unit.world().physics().is_kinematic(a))
                a->teleport = 1;
    return 0;
}

int unit_num_scene_graph_items(lua_State *L)
{
    LuaStack stack(L);
    stack.push_integer(unit_arg(stack, 1).scene_graph().node_count());
    return 1;
}

int unit_scene_graph_parent(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    u32 parent = unit.scene_graph().parent(node_arg(stack, unit, 2));
    if (parent >= unit.scene_graph().node_count())
        return 0; // a root (or the root of a linked unit) has no parent in its graph
    stack.push_integer(parent);
    return 1;
}

int unit_scene_graph_link(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    SceneGraph &graph = unit.scene_graph();
    u32 node = node_arg(stack, unit, 2);
    i64 parent = stack.get_integer(3, -1, i64(graph.node_count()) - 1);
    if (node == 0)
        stack.argument_message(2, "node 0 stays the root");
    // The graph is ordered parents first; a parent after the node would break the update.
    if (parent >= i64(node))
        stack.argument_message(3, "the parent must come before the node (index below %u)", node);
    Matrix4x4 world = graph.world_pose(node);
    Matrix4x4 local = world;
    if (parent >= 0) {
        Matrix4x4 to_parent;
        if (!matrix4x4_inverse(graph.world_pose(u32(parent)), to_parent))
            stack.argument_message(3, "the parent's pose has no inverse");
        local = world * to_parent;
    }
    if (!graph.set_parent(node, parent < 0 ? scene_graph_root : u32(parent)))
        stack.argument_message(3, "cannot link node %u there", node);
    graph.set_local_pose(node, local);
    unit.world().wake_unit(unit, awake_frames_after_move);
    return 0;
}

int unit_copy_scene_graph_local_from(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    Unit &other = unit_arg(stack, 2);
    SceneGraph &graph = unit.scene_graph();
    // Only the nodes both graphs have are copied.
    u32 n = std::min(graph.node_count(), other.scene_graph().node_count());
    for (u32 i = 1; i < n; ++i)
        graph.set_local_pose(i, other.scene_graph().local_pose(i));
    unit.world().wake_unit(unit, awake_frames_after_move);
    return 0;
}

int unit_num_lights(lua_State *L)
{
    LuaStack stack(L);
    stack.push_integer(unit_arg(stack, 1).resource().lights.size());
    return 1;
}

int unit_num_actors(lua_State *L)
{
    LuaStack stack(L);
    stack.push_integer(unit_arg(stack, 1).actor_count());
    return 1;
}

// The unit's oriented box as a pose whose translation is the box's centre, and its half
// extents; an empty box (no meshes) gives the unit's pose and a zero vector.
int unit_box(lua_State *L)
{
    LuaStack stack(L);
    const OrientedBox box = unit_arg(stack, 1).box();
    Matrix4x4 pose = box.pose;
    Vector3 half{0, 0, 0};
    if (box.min.x <= box.max.x && box.min.y <= box.max.y && box.min.z <= box.max.z) {
        const Vector3 centre{(box.min.x + box.max.x) * 0.5f, (box.min.y + box.max.y) * 0.5f,
                             (box.min.z + box.max.z) * 0.5f};
        set_translation(pose, transform_point(box.pose, centre));
        half = {(box.max.x - box.min.x) * 0.5f, (box.max.y - box.min.y) * 0.5f, (box.max.z - box.min.z) * 0.5f};
    }
    push(stack, pose);
    push(stack, half);
    return 2;
}

int unit_set_moving(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    u32 frames = u32(stack.opt_integer(2, 1, 0, 0x7FFFFFFF));
    unit.world().wake_unit(unit, frames);
    return 0;
}

int unit_set_visibility(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    NameId32 group = stack.get_id32(2);
    (void)unit.set_visibility(group.value(), stack.get_bool(3));
    return 0;
}

IWorldAnimation &animation_of(const LuaStack &stack, Unit &unit)
{
    IWorldAnimation &animation = unit.world().animation();
    if (!animation.is_available())
        stack.error("the animation service is not built yet");
    return animation;
}

/// The unit's simple-animation group named by argument `arg` (the unnamed group, id 0,
/// when it is none or nil); null when the unit has none of that name.
const UnitSimpleAnimation *simple_group_arg(const LuaStack &stack, const Unit &unit, i32 arg)
{
    u32 id = stack.is_none_or_nil(arg) ? 0 : stack.get_id32(arg).value();
    return unit.resource().find_simple_animation(id);
}

int unit_play_simple_animation(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    IWorldAnimation &animation = animation_of(stack, unit);
    SimpleAnimationParams params;
    params.from = stack.opt_float(2, animation_default_time);
    params.to = stack.opt_float(3, animation_default_time);
    params.loop = stack.opt_bool(4, false) ? 1 : 0;
    params.speed = stack.opt_float(5, 1.0f);
    const UnitSimpleAnimation *group = simple_group_arg(stack, unit, 6);
    if (!group)
        return 0; // a group the unit lacks plays nothing
    animation.play_simple(unit.scene_graph(), unit.resource(), *group, params);
    unit.world().wake_unit(unit, awake_frames_after_move);
    return 0;
}

int unit_stop_simple_animation(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    IWorldAnimation &animation = animation_of(stack, unit);
    if (const UnitSimpleAnimation *group = simple_group_arg(stack, unit, 2))
        animation.stop_simple(unit.scene_graph(), *group);
    return 0;
}

// Animation: the unit's blender and state machine. A unit without a blender (not animated,
// or its "bones" resource not loaded) raises for the blender functions.

AnimationBlender *blender_arg(const LuaStack &stack, Unit &unit)
{
    (void)animation_of(stack, unit);
    if (!unit.blender())
        stack.error("the unit has no animation blender (not animated, or its \"bones\" resource is not loaded)");
    return unit.blender();
}

int unit_crossfade_animation(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    AnimationBlender *blender = blender_arg(stack, unit);
    NameId64 name = stack.get_id64(2);
    // Only the number of arguments counts: a nil in place of one is an error.
    i32 count = stack.count();
    i32 layer = count >= 3 ? i32(stack.get_integer(3, 0, 0x7FFFFFFF)) : 0;
    f32 blend_time = count >= 4 ? stack.get_float(4) : 0.0f;
    bool loop = count >= 5 ? stack.get_bool(5) : true;
    u32 offset = count >= 6 && std::strcmp(stack.get_string(6), "offset") == 0 ? 1 : 0;
    ResourceManager *manager = unit.world().resource_manager();
    const void *animation = manager ? manager->get(NameId64("animation"), name) : nullptr;
    if (!animation)
        stack.argument_message(2, "no \"animation\" resource of that name is loaded");
    i32 id = unit.world().animation().crossfade(blender, animation, layer, blend_time, loop, offset);
    if (id < 0)
        stack.error("the animation could not be started");
    stack.push_integer(id);
    return 1;
}

template <bool Speed> int unit_crossfade_animation_set(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    AnimationBlender *blender = blender_arg(stack, unit);
    i32 id = i32(stack.get_integer(2, 0, 0x7FFFFFFF));
    f32 value = stack.get_float(3);
    if (Speed)
        unit.world().animation().set_speed(blender, id, value);
    else
        unit.world().animation().set_time(blender, id, value);
    return 0;
}

int unit_is_crossfading_animation(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    stack.push_bool(unit.world().animation().is_crossfading(blender_arg(stack, unit)));
    return 1;
}

const char *const root_mode_names[] = {"ignore", "delta_transform", "delta_position", "delta_rotation"};

int unit_animation_root_mode(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    u32 mode = unit.world().animation().root_mode(blender_arg(stack, unit));
    stack.push_string(root_mode_names[mode < 4 ? mode : 0]);
    return 1;
}

int unit_set_animation_root_mode(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    AnimationBlender *blender = blender_arg(stack, unit);
    const char *name = stack.get_string(2);
    for (u32 mode = 0; mode < 4; ++mode)
        if (std::strcmp(name, root_mode_names[mode]) == 0)
            unit.world().animation().set_root_mode(blender, mode);
    return 0;
}

int unit_animation_wanted_root_pose(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    AnimationBlender *blender = blender_arg(stack, unit);
    IWorldAnimation &animation = unit.world().animation();
    const Matrix4x4 &local = unit.scene_graph().local_pose(0);
    Quaternion rotation;
    Vector3 delta;
    if (animation.root_mode(blender) != 0 || !animation.wanted_root_delta(blender, rotation, delta)) {
        push(stack, local);
        return 1;
    }
    // D × M: the delta (rows of its rotation, its translation last) before the local pose.
    push(stack, pose_from_quaternion(rotation, delta) * local);
    return 1;
}

AnimationStateMachine *state_machine_arg(const LuaStack &stack, Unit &unit)
{
    (void)animation_of(stack, unit);
    if (!unit.state_machine())
        stack.error("the unit runs no animation state machine");
    return unit.state_machine();
}

int unit_animation_event(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    NameId32 event = stack.get_id32(2);
    (void)animation_of(stack, unit);
    // A unit without a state machine has nothing that reacts, like a state without the event.
    if (unit.state_machine())
        unit.world().animation().state_machine_event(unit.state_machine(), event.value());
    return 0;
}

int unit_animation_find_variable(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    NameId32 name = stack.get_id32(2);
    (void)animation_of(stack, unit);
    stack.push_integer(unit.state_machine() ? unit.world().animation().find_variable(unit.state_machine(), name.value())
                                            : -1);
    return 1;
}

int unit_animation_get_variable(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    AnimationStateMachine *machine = state_machine_arg(stack, unit);
    f32 value = 0;
    if (!unit.world().animation().get_variable(machine, u32(stack.get_integer(2, 0, 0xFFFFFFFF)), value))
        stack.argument_message(2, "the state machine has no variable of that index");
    stack.push_float(value);
    return 1;
}

int unit_animation_set_variable(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    AnimationStateMachine *machine = state_machine_arg(stack, unit);
    u32 index = u32(stack.get_integer(2, 0, 0xFFFFFFFF));
    if (!unit.world().animation().set_variable(machine, index, stack.get_float(3)))
        stack.argument_message(2, "the state machine has no variable of that index");
    return 0;
}

int unit_set_animation_state_machine(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    NameId64 name = stack.get_id64(2);
    (void)blender_arg(stack, unit);
    ResourceManager *manager = unit.world().resource_manager();
    if (!manager || !manager->get(NameId64("state_machine"), name))
        stack.argument_message(2, "no \"state_machine\" resource of that name is loaded");
    unit.set_animation_state_machine(name.value());
    return 0;
}

int unit_enable_animation_state_machine(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    (void)blender_arg(stack, unit);
    unit.set_animation_state_machine();
    return 0;
}

int unit_disable_animation_state_machine(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    (void)animation_of(stack, unit);
    unit.disable_animation_state_machine();
    return 0;
}

int unit_set_unit_visibility(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    unit.set_all_visible(stack.get_bool(2));
    return 0;
}

int unit_flow_event(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    NameId32 event = stack.get_id32(2);
    // A unit without a flow graph ignores it; destruction asked for by the run waits for
    // its end (the World brackets unit runs).
    flow_unit_event(unit.world(), unit, event.value());
    return 0;
}

int unit_alive(lua_State *L)
{
    LuaStack stack(L);
    stack.push_bool(unit_handle_table().get(stack.get_unit_handle(1)) != nullptr);
    return 1;
}

int unit_debug_name(lua_State *L)
{
    LuaStack stack(L);
    char text[32];
    std::snprintf(text, sizeof(text), "#ID[%016llx]", (unsigned long long)unit_arg(stack, 1).resource().name.value());
    stack.push_string(text);
    return 1;
}

int unit_is_a(lua_State *L)
{
    LuaStack stack(L);
    Unit &unit = unit_arg(stack, 1);
    stack.push_bool(unit.resource().name == stack.get_id64(2));
    return 1;
}

int unit_draw_tree(lua_State *L)
{
    LuaStack stack(L);
    (void)unit_arg(stack, 1);
    return 0;
}

} // namespace

void register_unit_api(LuaEnvironment &env)
{
    static const ScriptFunction unit[] = {
        {"Unit", "node", unit_node, nullptr},
        {"Unit", "local_position", unit_pose_get<false, Part::Position>, nullptr},
        {"Unit", "local_rotation", unit_pose_get<false, Part::Rotation>, nullptr},
        {"Unit", "local_pose", unit_pose_get<false, Part::Pose>, nullptr},
        {"Unit", "world_position", unit_pose_get<true, Part::Position>, nullptr},
        {"Unit", "world_rotation", unit_pose_get<true, Part::Rotation>, nullptr},
        {"Unit", "world_pose", unit_pose_get<true, Part::Pose>, nullptr},
        {"Unit", "set_local_position", unit_pose_set<Part::Position>, nullptr},
        {"Unit", "set_local_rotation", unit_pose_set<Part::Rotation>, nullptr},
        {"Unit", "set_local_pose", unit_pose_set<Part::Pose>, nullptr},
        {"Unit", "teleport_local_position", unit_pose_set<Part::Position, true>, nullptr},
        {"Unit", "teleport_local_rotation", unit_pose_set<Part::Rotation, true>, nullptr},
        {"Unit", "teleport_local_pose", unit_pose_set<Part::Pose, true>, nullptr},
        {"Unit", "num_scene_graph_items", unit_num_scene_graph_items, nullptr},
        {"Unit", "scene_graph_parent", unit_scene_graph_parent, nullptr},
        {"Unit", "scene_graph_link", unit_scene_graph_link, nullptr},
        {"Unit", "copy_scene_graph_local_from", unit_copy_scene_graph_local_from, nullptr},
        {"Unit", "camera", unit_camera, nullptr},
        {"Unit", "mesh", unit_mesh, nullptr},
        {"Unit", "num_lights", unit_num_lights, nullptr},
        {"Unit", "light", unit_light, nullptr},
        {"Unit", "num_actors", unit_num_actors, nullptr},
        {"Unit", "box", unit_box, nullptr},
        {"Unit", "crossfade_animation", unit_crossfade_animation, nullptr},
        {"Unit", "crossfade_animation_set_time", unit_crossfade_animation_set<false>, nullptr},
        {"Unit", "crossfade_animation_set_speed", unit_crossfade_animation_set<true>, nullptr},
        {"Unit", "is_crossfading_animation", unit_is_crossfading_animation, nullptr},
        {"Unit", "animation_root_mode", unit_animation_root_mode, nullptr},
        {"Unit", "set_animation_root_mode", unit_set_animation_root_mode, nullptr},
        {"Unit", "animation_wanted_root_pose", unit_animation_wanted_root_pose, nullptr},
        {"Unit", "animation_event", unit_animation_event, nullptr},
        {"Unit", "animation_find_variable", unit_animation_find_variable, nullptr},
        {"Unit", "animation_get_variable", unit_animation_get_variable, nullptr},
        {"Unit", "animation_set_variable", unit_animation_set_variable, nullptr},
        {"Unit", "set_animation_state_machine", unit_set_animation_state_machine, nullptr},
        {"Unit", "enable_animation_state_machine", unit_enable_animation_state_machine, nullptr},
        {"Unit", "disable_animation_state_machine", unit_disable_animation_state_machine, nullptr},
        {"Unit", "play_simple_animation", unit_play_simple_animation, nullptr},
        {"Unit", "stop_simple_animation", unit_stop_simple_animation, nullptr},
        {"Unit", "set_moving", unit_set_moving, nullptr},
        {"Unit", "set_visibility", unit_set_visibility, nullptr},
        {"Unit", "set_unit_visibility", unit_set_unit_visibility, nullptr},
        {"Unit", "flow_event", unit_flow_event, nullptr},
        {"Unit", "alive", unit_alive, nullptr},
        {"Unit", "debug_name", unit_debug_name, nullptr},
        {"Unit", "is_a", unit_is_a, nullptr},
        {"Unit", "draw_tree", unit_draw_tree, nullptr},
        {"Unit", "set_data", script_data_set_binding<unit_data, 2>, nullptr},
        {"Unit", "get_data", script_data_get_binding<unit_data, 2>, nullptr},
        {"Unit", "has_data", script_data_has_binding<unit_data, 2>, nullptr},
    };
    add_script_functions(env, unit, sizeof(unit) / sizeof(unit[0]));
}

void install_script_data_releaser() { set_script_data_releaser(script_data_release); }

} // namespace tallow
