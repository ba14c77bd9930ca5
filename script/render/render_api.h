#pragma once
// The script tables of render objects: `LineObject` (debug lines), `Gui` with the global
// constructors `Vector2`, `Color` and `Rotation2D`, and `Camera`, `Light` and `Mesh`; and the
// World functions that make and destroy line objects and GUIs.
//
//   local lines = World.create_line_object(w)              -- World.create_line_object(w, true): no depth test
//   LineObject.add_sphere(lines, Color(255, 0, 0), Vector3(0, 0, 1), 0.5)
//   LineObject.dispatch(w, lines)                          -- drawn until the next dispatch of it
//   local gui = World.create_screen_gui(w)
//   local id = Gui.text(gui, "Hello", "fonts/sample", 16, "sample_font", Vector3(10, 10, 1))
//
//   local viewport = Application.create_viewport(w, "default")     -- a template of the render configuration
//   Viewport.set_rect(viewport, 0, 0, 0.5, 1)
//   local env = World.create_shading_environment(w)                  -- the setting "default_shading_environment"
//   ShadingEnvironment.update(env)                                   -- its "default" values
//   Material.set_scalar(ShadingEnvironment.material(env, "sky"), "exposure", 1.5)
//   Application.render_world(w, nil, viewport, env)                  -- the values go across first
//
// Viewports, shading environments and their materials cross as light userdata holding a
// serial (World::find_script_object): every function looks the object up, so one kept after
// its destruction or its world's release raises "not a live Viewport (...)", whatever took
// its memory since. ShadingEnvironment.material gives nil for a name the environment has no
// material of; a material whose environment switched to data without it sends nothing.
// Line objects and GUIs cross as light userdata; every function checks that the value is a
// line object (GUI) of a live world and raises otherwise, so one kept after its world or
// its own destruction raises instead of reading freed memory. A GUI function raises "the GUI
// service is not built yet" for a world without a render world.
//
//   local eye = Unit.camera(u, "eye")                      -- nil when the unit has none
//   Camera.set_vertical_fov(eye, 0.9)
//   Camera.set_local_position(eye, u, Vector3(0, -8, 4))   -- moves the camera's node of u
//   local p = Camera.world_to_screen(eye, Unit.world_position(crate, 0))   -- (x, depth, y)
//   Application.render_world(w, eye)
//
// Cameras, lights, meshes and the materials Mesh.material names are full userdata holding
// the unit's handle and the object's index: every call finds them again, and raises once
// the unit is destroyed. Main state only.

#include "foundation/types.h"
#include "world/world.h"

struct lua_State;

namespace tallow {

class Camera;
class LuaEnvironment;
class LuaStack;
class Unit;

/// What the GUI functions know of the screen: the back buffer's size and the forced aspect
/// ratio (-1 when none). The Application's layer sets it; false when unknown.
using GuiResolutionSource = bool (*)(LuaEnvironment &env, u32 &out_width, u32 &out_height, f32 &out_aspect);
void set_gui_resolution_source(GuiResolutionSource source);

/// The back buffer's size from the source above; false when unknown.
bool script_screen_size(LuaEnvironment &env, u32 &out_width, u32 &out_height);

void register_line_object_api(LuaEnvironment &env); // LineObject
void register_gui_api(LuaEnvironment &env);         // Gui, Vector2, Color, Rotation2D
void register_render_object_api(LuaEnvironment &env); // Camera, Light, Mesh

void register_viewport_api(LuaEnvironment &env);    // Viewport, ShadingEnvironment, Material

/// Light-userdata values of viewports, shading environments and materials: the tag, the
/// serial shifted left by one, and bit 0 set. Odd and above 2^32, apart from unit and level
/// references, and below the 47 bits a light userdata may hold.
constexpr u64 viewport_reference_tag = u64(1) << 37;
constexpr u64 shading_environment_reference_tag = u64(1) << 38;
constexpr u64 material_reference_tag = u64(1) << 39;
/// Pushes the reference of `serial` (nil for 0).
void push_script_object(lua_State *state, World::ScriptObjectKind kind, u32 serial);
/// The live object whose reference is at `arg`; raises for anything else.
World::ScriptObject get_script_object(const LuaStack &stack, i32 arg, World::ScriptObjectKind kind);
/// The same, and it must be `world`'s; raises otherwise.
World::ScriptObject get_world_object(const LuaStack &stack, World &world, i32 arg, World::ScriptObjectKind kind);

/// Raises when the resource `environment` reads was unloaded under it.
void check_environment_resource(const LuaStack &stack, i32 arg, World &world, const ShadingEnvironment &environment);

/// The resource name World.create_shading_environment uses without one (the setting
/// "default_shading_environment"); the Application's layer sets it. Null: none.
using DefaultShadingEnvironmentSource = const char *(*)(LuaEnvironment &env);
void set_default_shading_environment_source(DefaultShadingEnvironmentSource source);

/// The live camera a script's Camera value (argument `arg`) names, and its unit in
/// `out_unit`; raises naming the argument for another value, a destroyed unit or camera.
Camera &camera_arg(const LuaStack &stack, i32 arg, Unit **out_unit = nullptr);
/// The unit and the material's render handle of a script's Material value from
/// `Mesh.material`; raises for another value or a destroyed unit, false when the mesh or
/// its slot is gone.
bool material_reference(const LuaStack &stack, i32 arg, Unit *&out_unit, u32 &out_render_handle);

// Unit functions (registered by register_unit_api): the unit's camera, mesh or light of a
// name (a light also by index) as a script value, nil when it has none.
int unit_camera(lua_State *L);
int unit_mesh(lua_State *L);
int unit_light(lua_State *L);

// World functions (registered by register_world_api).
int world_create_line_object(lua_State *L);
int world_destroy_line_object(lua_State *L);
int world_clear_permanent_lines(lua_State *L);
int world_create_screen_gui(lua_State *L);
int world_create_world_gui(lua_State *L);
int world_destroy_gui(lua_State *L);
int world_create_shading_environment(lua_State *L);
int world_set_shading_environment(lua_State *L);
int world_destroy_shading_environment(lua_State *L);

} // namespace tallow
