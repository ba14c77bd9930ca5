// Script tables `Viewport`, `ShadingEnvironment` and `Material`, and the World's shading
// environment functions. See script/render/render_api.h.

#include "foundation/log.h"
#include "render/materials/material_resource.h"
#include "render/viewports/viewport.h"
#include "render/world/render_shading_environment.h"
#include "resource/resource_manager.h"
#include "script/math/math_api_internal.h"
#include "script/render/render_api.h"
#include "script/runtime/lua_environment.h"
#include "script/world/world_api.h"
#include "world/units/unit.h"
#include "world/world.h"

#include <lua.hpp>

#include <cmath>

namespace tallow {

namespace {

using Kind = World::ScriptObjectKind;

DefaultShadingEnvironmentSource default_environment_source = nullptr;

u64 reference_tag(Kind kind)
{
    switch (kind) {
    case Kind::Viewport: return viewport_reference_tag;
    case Kind::ShadingEnvironment: return shading_environment_reference_tag;
    case Kind::Material: return material_reference_tag;
    }
    return 0;
}

const char *kind_name(Kind kind)
{
    switch (kind) {
    case Kind::Viewport: return "Viewport";
    case Kind::ShadingEnvironment: return "ShadingEnvironment";
    case Kind::Material: return "Material";
    }
    return "object";
}

ShadingEnvironment &environment_of(const World::ScriptObject &o) { return *static_cast<ShadingEnvironment *>(o.object); }

/// The environment at `arg`, when its resource may be read; raises when its package was
/// unloaded under it (the data is gone).
ShadingEnvironment &readable_environment_arg(const LuaStack &stack, i32 arg)
{
    World::ScriptObject o = get_script_object(stack, arg, Kind::ShadingEnvironment);
    check_environment_resource(stack, arg, *o.world, environment_of(o));
    return environment_of(o);
}

/// A number the render side can use: NaN and infinities raise.
f32 finite_float(const LuaStack &stack, i32 arg)
{
    const f32 v = stack.get_float(arg);
    if (!std::isfinite(v))
        stack.argument_message(arg, "not a finite number");
    return v;
}

int viewport_set_rect(lua_State *L)
{
    LuaStack stack(L);
    World::ScriptObject o = get_script_object(stack, 1, Kind::Viewport);
    f32 rect[4];
    for (i32 i = 0; i < 4; ++i)
        rect[i] = finite_float(stack, 2 + i);
    o.world->set_viewport_rect(*static_cast<GameViewport *>(o.object), rect[0], rect[1], rect[2], rect[3]);
    return 0;
}

int environment_material(lua_State *L)
{
    LuaStack stack(L);
    World::ScriptObject o = get_script_object(stack, 1, Kind::ShadingEnvironment);
    const u32 id = stack.get_id32(2).value();
    // nil for a name the environment's material resource does not hold.
    push_script_object(L, Kind::Material, o.world->environment_material_serial(environment_of(o), id));
    return 1;
}

int environment_update(lua_State *L)
{
    LuaStack stack(L);
    (void)readable_environment_arg(stack, 1).update(); // without a "default" setting the values stay
    return 0;
}

/// The material at argument 1 and the variable name at 2.
Material material_arg(const LuaStack &stack, u32 &out_variable)
{
    // A mesh's material (Mesh.material) is a full userdata naming its unit's mesh slot.
    if (lua_type(stack.state(), 1) == LUA_TUSERDATA) {
        Unit *unit = nullptr;
        u32 handle = 0;
        if (!material_reference(stack, 1, unit, handle))
            stack.argument_message(1, "the mesh's material no longer exists");
        out_variable = stack.get_id32(2).value();
        return unit->world().mesh_material(handle);
    }
    World::ScriptObject o = get_script_object(stack, 1, Kind::Material);
    out_variable = stack.get_id32(2).value();
    return o.world->environment_material(environment_of(o), o.id);
}

int material_set_scalar(lua_State *L)
{
    LuaStack stack(L);
    u32 variable = 0;
    Material material = material_arg(stack, variable);
    material.set_scalar(variable, finite_float(stack, 3));
    return 0;
}

int material_set_vector2(lua_State *L)
{
    LuaStack stack(L);
    u32 variable = 0;
    Material material = material_arg(stack, variable);
    const Vector3 v = math_api::vector3_arg(stack, 3);
    material.set_vector2(variable, v.x, v.y);
    return 0;
}

int material_set_vector3(lua_State *L)
{
    LuaStack stack(L);
    u32 variable = 0;
    Material material = material_arg(stack, variable);
    const Vector3 v = math_api::vector3_arg(stack, 3);
    material.set_vector3(variable, v.x, v.y, v.z);
    return 0;
}

/// A loaded "shading_environment" resource name at `arg`; raises for one that is not loaded.
NameId64 loaded_environment_arg(const LuaStack &stack, World &world, i32 arg, const char *name)
{
    const NameId64 id(name);
    ResourceManager *manager = world.resource_manager();
    if (!manager || !manager->can_get(NameId64("shading_environment"), id))
        stack.argument_message(arg, "the shading environment '%s' is not loaded", name);
    return id;
}

} // namespace

void check_environment_resource(const LuaStack &stack, i32 arg, World &world, const ShadingEnvironment &environment)
{
    if (!world.has_environment_resource(environment))
        stack.argument_message(arg, "the shading environment's resource has been unloaded; set another one first");
}

void set_default_shading_environment_source(DefaultShadingEnvironmentSource source)
{
    default_environment_source = source;
}

void push_script_object(lua_State *L, World::ScriptObjectKind kind, u32 serial)
{
    if (serial == 0) {
        lua_pushnil(L);
        return;
    }
    LuaStack(L).push_lightuserdata(reinterpret_cast<void *>(uintptr_t(reference_tag(kind) | (u64(serial) << 1) | 1u)));
}

World::ScriptObject get_script_object(const LuaStack &stack, i32 arg, World::ScriptObjectKind kind)
{
    lua_State *L = stack.state();
    World::ScriptObject o;
    if (lua_type(L, stack.index(arg)) == LUA_TLIGHTUSERDATA) {
        const u64 v = reinterpret_cast<uintptr_t>(lua_touserdata(L, stack.index(arg)));
        if ((v & ~u64(0x1FFFFFFFFull)) == reference_tag(kind) && (v & 1))
            o = World::find_script_object(kind, u32(v >> 1));
    }
    if (!o.world)
        stack.argument_message(arg, "not a live %s (destroyed, of a released world, or another value)", kind_name(kind));
    return o;
}

World::ScriptObject get_world_object(const LuaStack &stack, World &world, i32 arg, World::ScriptObjectKind kind)
{
    World::ScriptObject o = get_script_object(stack, arg, kind);
    if (o.world != &world)
        stack.argument_message(arg, "the %s belongs to another world", kind_name(kind));
    return o;
}

int world_create_shading_environment(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    const char *name = stack.is_none_or_nil(2) ? nullptr : stack.get_string(2);
    if (!name && default_environment_source)
        name = default_environment_source(stack.environment());
    if (!name)
        stack.argument_message(2, "no name given and no setting \"default_shading_environment\"");
    const NameId64 id = loaded_environment_arg(stack, *world, 2, name);
    ShadingEnvironment *environment = world->create_shading_environment(id);
    if (!environment)
        stack.error("the shading environment '%s' cannot be made in this world (no render world, or no memory)", name);
    push_script_object(L, Kind::ShadingEnvironment, world->script_serial(Kind::ShadingEnvironment, environment));
    return 1;
}

int world_set_shading_environment(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    World::ScriptObject o = get_world_object(stack, *world, 2, Kind::ShadingEnvironment);
    const NameId64 id = loaded_environment_arg(stack, *world, 3, stack.get_string(3));
    world->set_shading_environment(environment_of(o), id);
    return 0;
}

int world_destroy_shading_environment(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    World::ScriptObject o = get_world_object(stack, *world, 2, Kind::ShadingEnvironment);
    world->destroy_shading_environment(environment_of(o));
    return 0;
}

void register_viewport_api(LuaEnvironment &env)
{
    env.add_module_function("Viewport", "set_rect", viewport_set_rect);
    env.add_module_function("ShadingEnvironment", "material", environment_material);
    env.add_module_function("ShadingEnvironment", "update", environment_update);
    env.add_module_function("Material", "set_scalar", material_set_scalar);
    env.add_module_function("Material", "set_vector2", material_set_vector2);
    env.add_module_function("Material", "set_vector3", material_set_vector3);
}

} // namespace tallow
