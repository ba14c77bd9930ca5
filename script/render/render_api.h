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
// Line objects and GUIs cross as light userdata; every function checks that the value is a
// line object (GUI) of a live world and raises otherwise, so one kept after its world or
// its own destruction raises instead of reading freed memory. A GUI function raises "the GUI
// service is not built yet" for a world without a render world. Main state only.

#include "foundation/types.h"

struct lua_State;

namespace tallow {

class LuaEnvironment;

/// What the GUI functions know of the screen: the back buffer's size and the forced aspect
/// ratio (-1 when none). The Application's layer sets it; false when unknown.
using GuiResolutionSource = bool (*)(LuaEnvironment &env, u32 &out_width, u32 &out_height, f32 &out_aspect);
void set_gui_resolution_source(GuiResolutionSource source);

void register_line_object_api(LuaEnvironment &env); // LineObject
void register_gui_api(LuaEnvironment &env);         // Gui, Vector2, Color, Rotation2D
void register_render_object_api(LuaEnvironment &env); // Camera, Light, Mesh

// World functions (registered by register_world_api).
int world_create_line_object(lua_State *L);
int world_destroy_line_object(lua_State *L);
int world_clear_permanent_lines(lua_State *L);
int world_create_screen_gui(lua_State *L);
int world_create_world_gui(lua_State *L);
int world_destroy_gui(lua_State *L);

} // namespace tallow
