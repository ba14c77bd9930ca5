// Script table `Gui`, the global constructors `Vector2`, `Color` and `Rotation2D`, and the
// World's GUI functions. See script/render/render_api.h.
//
// Arguments: a screen position is a Vector3 (x, y, layer); 3D primitives take a pose, a
// position and an integer layer. After the required arguments an optional size (a
// Vector2, that is a Vector3 temporary; default 100 x 100) and an optional colour (a Color,
// a Quaternion temporary of a, r, g, b; default opaque white) are recognised by their kind.
// Each update function takes the primitive's id after the gui and reads the rest the same
// way, one argument further on.

#include "foundation/math/quaternion.h"
#include "render/gui/gui.h"
#include "render/lines/line_object.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_stack.h"
#include "script/math/math_api_internal.h"
#include "script/runtime/registration.h"
#include "script/render/render_api.h"
#include "script/world/world_api.h"
#include "world/world.h"

#include <lua.hpp>

#include <cmath>
#include <cstring>

namespace tallow {

static_assert(gui_tag == gui_object_tag, "tostring names GUIs by the tag Gui objects begin with");

namespace {

GuiResolutionSource resolution_source = nullptr;
constexpr u32 max_gui_materials = 64;

Gui *gui_arg(const LuaStack &stack, i32 arg)
{
    auto *gui = static_cast<Gui *>(stack.get_pointer(arg));
    if (!World::gui_owner(gui))
        stack.argument_message(arg, "not a live Gui (destroyed, of a released world, or another value)");
    return gui;
}

/// A layer from a number: truncated, kept within what an i32 holds.
i32 layer_of(const LuaStack &stack, i32 arg, f32 value)
{
    if (!(value > -2147483520.0f && value < 2147483520.0f))
        stack.argument_message(arg, "the layer %g is not a usable number", double(value));
    return i32(value);
}

bool is_finite(f32 v) { return std::isfinite(v); }

/// A number argument that must be finite (a position or size of the gui).
f32 finite_float(const LuaStack &stack, i32 arg, const char *what)
{
    const f32 v = stack.get_float(arg);
    if (!is_finite(v))
        stack.argument_message(arg, "the %s %g is not a finite number", what, double(v));
    return v;
}

/// A Vector3 argument whose first `count` components must be finite.
Vector3 finite_vector3(const LuaStack &stack, i32 arg, const char *what, u32 count = 3)
{
    const Vector3 v = math_api::vector3_arg(stack, arg);
    const f32 c[3] = {v.x, v.y, v.z};
    for (u32 i = 0; i < count; ++i)
        if (!is_finite(c[i]))
            stack.argument_message(arg, "the %s (%g, %g, %g) is not finite", what, double(v.x), double(v.y),
                                   double(v.z));
    return v;
}

/// A pose argument whose every element must be finite.
Matrix4x4 finite_pose(const LuaStack &stack, i32 arg)
{
    const Matrix4x4 m = math_api::matrix4x4_arg(stack, arg);
    for (const auto &row : m.m)
        for (f32 v : row)
            if (!is_finite(v))
                stack.argument_message(arg, "the pose holds a number that is not finite");
    return m;
}

/// The primitive's values as the parsers read them.
struct PrimitiveArgs {
    Vector3 position{};
    i32 layer = 0;
    f32 width = 100, height = 100;
    u32 color = 0xFFFFFFFFu;
    Matrix4x4 pose = matrix4x4_identity;
    bool has_pose = false;
    u32 material = 0;
    f32 uv[4] = {0, 0, 1, 1};
};

/// Reads the optional size and colour from `arg` on.
void read_optional(const LuaStack &stack, i32 &arg, PrimitiveArgs &out)
{
    if (stack.is_vector3(arg)) {
        const Vector3 s = finite_vector3(stack, arg++, "size", 2);
        out.width = s.x;
        out.height = s.y;
    }
    if (stack.is_quaternion(arg)) {
        const f32 *c = stack.get_quaternion(arg++);
        out.color = pack_line_color(c[0], c[1], c[2], c[3]);
    }
}

/// A screen position (x, y, layer).
void read_screen_position(const LuaStack &stack, i32 &arg, PrimitiveArgs &out)
{
    out.position = finite_vector3(stack, arg, "position", 2);
    out.layer = layer_of(stack, arg, out.position.z);
    ++arg;
}

/// A pose, a position and a layer.
void read_placed_position(const LuaStack &stack, i32 &arg, PrimitiveArgs &out)
{
    out.pose = finite_pose(stack, arg++);
    out.has_pose = true;
    out.position = finite_vector3(stack, arg++, "position");
    out.layer = i32(stack.get_integer(arg++, -(i64(1) << 31), (i64(1) << 31) - 1));
}

void read_uv(const LuaStack &stack, i32 &arg, PrimitiveArgs &out)
{
    const Vector3 a = finite_vector3(stack, arg++, "uv corner", 2);
    const Vector3 b = finite_vector3(stack, arg++, "uv corner", 2);
    out.uv[0] = a.x, out.uv[1] = a.y, out.uv[2] = b.x, out.uv[3] = b.y;
}

/// The id a create function takes (next of the gui) or an update function reads (argument 2).
u32 primitive_id(const LuaStack &stack, Gui &gui, bool update)
{
    return update ? u32(stack.get_integer(2, 0, 0xFFFFFFFFll)) : gui.take_id();
}

int finish(const LuaStack &stack, bool posted, bool update, u32 id)
{
    if (!posted)
        stack.error("the primitive could not be posted (no render side or no room in the frame's state)");
    if (update)
        return 0;
    stack.push_integer(id);
    return 1;
}

template <bool Update> int triangle(lua_State *L)
{
    LuaStack stack(L);
    Gui *gui = gui_arg(stack, 1);
    i32 arg = Update ? 3 : 2;
    Vector3 points[3];
    for (Vector3 &p : points)
        p = finite_vector3(stack, arg++, "point");
    PrimitiveArgs a;
    a.layer = i32(stack.get_integer(arg++, -(i64(1) << 31), (i64(1) << 31) - 1));
    read_optional(stack, arg, a);
    u32 id = primitive_id(stack, *gui, Update);
    return finish(stack, gui->triangle(id, points, a.layer, a.color), Update, id);
}

template <bool Update, bool Placed> int rect(lua_State *L)
{
    LuaStack stack(L);
    Gui *gui = gui_arg(stack, 1);
    i32 arg = Update ? 3 : 2;
    PrimitiveArgs a;
    if (Placed)
        read_placed_position(stack, arg, a);
    else
        read_screen_position(stack, arg, a);
    read_optional(stack, arg, a);
    u32 id = primitive_id(stack, *gui, Update);
    return finish(stack, gui->rect(id, a.position, a.width, a.height, a.layer, a.color, a.has_pose ? &a.pose : nullptr),
                  Update, id);
}

template <bool Update, bool Placed, bool Uv> int bitmap(lua_State *L)
{
    LuaStack stack(L);
    Gui *gui = gui_arg(stack, 1);
    i32 arg = Update ? 3 : 2;
    PrimitiveArgs a;
    a.material = stack.get_id32(arg++).value();
    if (Uv)
        read_uv(stack, arg, a);
    if (Placed)
        read_placed_position(stack, arg, a);
    else
        read_screen_position(stack, arg, a);
    read_optional(stack, arg, a);
    u32 id = primitive_id(stack, *gui, Update);
    bool posted = gui->bitmap(id, a.material, a.position, a.width, a.height, a.layer, a.color, a.uv[0], a.uv[1],
                              a.uv[2], a.uv[3], a.has_pose ? &a.pose : nullptr);
    return finish(stack, posted, Update, id);
}

template <bool Update, bool Placed> int text(lua_State *L)
{
    LuaStack stack(L);
    Gui *gui = gui_arg(stack, 1);
    i32 arg = Update ? 3 : 2;
    u64 length = 0;
    const char *string = stack.get_string(arg++, &length);
    i32 font_arg = arg;
    NameId64 font = stack.get_id64(arg++);
    f32 size = finite_float(stack, arg++, "font size");
    PrimitiveArgs a;
    a.material = stack.get_id32(arg++).value();
    if (Placed)
        read_placed_position(stack, arg, a);
    else
        read_screen_position(stack, arg, a);
    read_optional(stack, arg, a); // a size is accepted; a text's size is its font size
    if (!gui->has_font(font))
        stack.argument_message(font_arg, "no \"font\" resource of that name is loaded");
    u32 id = primitive_id(stack, *gui, Update);
    bool posted = gui->text(id, string, length, font, size, a.material, a.position, a.layer, a.color,
                            a.has_pose ? &a.pose : nullptr);
    return finish(stack, posted, Update, id);
}

int destroy_primitive(lua_State *L)
{
    LuaStack stack(L);
    Gui *gui = gui_arg(stack, 1);
    u32 id = u32(stack.get_integer(2, 0, 0xFFFFFFFFll));
    if (!gui->destroy_primitive(id))
        stack.error("the primitive could not be destroyed (no render side or no room in the frame's state)");
    return 0;
}

NameId64 font_arg(const LuaStack &stack, const Gui &gui, i32 arg)
{
    NameId64 font = stack.get_id64(arg);
    if (!gui.has_font(font))
        stack.argument_message(arg, "no \"font\" resource of that name is loaded");
    return font;
}

int text_extents(lua_State *L)
{
    LuaStack stack(L);
    Gui *gui = gui_arg(stack, 1);
    u64 length = 0;
    const char *string = stack.get_string(2, &length);
    NameId64 font = font_arg(stack, *gui, 3);
    f32 size = stack.get_float(4);
    Vector3 lo, hi;
    gui->text_extents(string, length, font, size, lo, hi);
    math_api::push(stack, lo);
    math_api::push(stack, hi);
    return 2;
}

int has_all_glyphs(lua_State *L)
{
    LuaStack stack(L);
    Gui *gui = gui_arg(stack, 1);
    u64 length = 0;
    const char *string = stack.get_string(2, &length);
    NameId64 font = font_arg(stack, *gui, 3);
    stack.push_bool(gui->has_all_glyphs(string, length, font));
    return 1;
}

int move(lua_State *L)
{
    LuaStack stack(L);
    Gui *gui = gui_arg(stack, 1);
    const GuiSettings &s = gui->settings();
    Matrix4x4 pose;
    memcpy(&pose, s.pose, sizeof pose);
    f32 x = s.position[0], y = s.position[1];
    i32 arg = 2;
    if (stack.is_matrix4x4(arg))
        pose = finite_pose(stack, arg++);
    i32 rest = stack.count() - arg + 1;
    if (rest == 2) {
        x = finite_float(stack, arg, "x");
        y = finite_float(stack, arg + 1, "y");
    } else if (rest != 0) {
        stack.argument_message(arg, "expected a pose and/or the two numbers x and y");
    }
    if (!gui->move(pose, x, y))
        stack.error("the gui could not be moved (no render side or no room in the frame's state)");
    return 0;
}

bool screen_size(const LuaStack &stack, u32 &out_width, u32 &out_height, f32 &out_aspect)
{
    out_aspect = -1;
    return resolution_source && resolution_source(stack.environment(), out_width, out_height, out_aspect);
}

int resolution(lua_State *L)
{
    LuaStack stack(L);
    u32 width = 0, height = 0;
    f32 aspect = -1;
    if (!screen_size(stack, width, height, aspect))
        stack.error("the screen's size is not known (no render interface)");
    if (aspect == -1.0f) {
        stack.push_number(width);
        stack.push_number(height);
    } else {
        stack.push_number(f64(f32(height) * aspect));
        stack.push_number(height);
    }
    return 2;
}

int vector2(lua_State *L)
{
    LuaStack stack(L);
    f32 x = stack.get_float(1), y = stack.get_float(2);
    f32 z = stack.count() >= 3 ? stack.get_float(3) : 0.0f;
    stack.push_vector3(x, y, z);
    return 1;
}

int color(lua_State *L)
{
    LuaStack stack(L);
    if (stack.count() >= 4) {
        stack.push_quaternion(stack.get_float(1), stack.get_float(2), stack.get_float(3), stack.get_float(4));
    } else {
        stack.push_quaternion(255, stack.get_float(1), stack.get_float(2), stack.get_float(3));
    }
    return 1;
}

int rotation_2d(lua_State *L)
{
    LuaStack stack(L);
    const f32 *p = stack.get_vector3(1);
    f32 angle = stack.get_float(2);
    const f32 *q = stack.is_none_or_nil(3) ? p : stack.get_vector3(3);
    // GUI points (x, y) lie at (x, 0, y); the turn is about the plane's normal, the second axis.
    Vector3 position{p[0], 0, p[1]}, pivot{q[0], 0, q[1]};
    Quaternion r{0, std::sin(angle * 0.5f), 0, std::cos(angle * 0.5f)};
    Matrix4x4 m = matrix4x4_from_quaternion(r);
    // v -> (v + position - pivot) R + pivot
    set_translation(m, transform_without_translation(m, position - pivot) + pivot);
    math_api::push(stack, m);
    return 1;
}

IGuiWorld &gui_service(const LuaStack &stack, World &world)
{
    if (!world.gui().is_available())
        stack.error("the GUI service is not built yet");
    return world.gui();
}

/// Reads the option strings from `arg` on into `params`; the material names go to `out_names`.
void read_gui_options(const LuaStack &stack, i32 arg, bool screen, GuiCreateParams &params, NameId64 *out_names)
{
    GuiSettings &s = params.settings;
    while (arg <= stack.count()) {
        if (!stack.is_string(arg)) {
            ++arg; // not an option: skipped
            continue;
        }
        const char *option = stack.get_string(arg++);
        if (screen && strcmp(option, "scale") == 0) {
            s.scale[0] = finite_float(stack, arg, "scale");
            s.scale[1] = finite_float(stack, arg + 1, "scale");
            arg += 2;
        } else if (strcmp(option, "immediate") == 0) {
            s.immediate = 1;
        } else if (screen && strcmp(option, "dock_right") == 0) {
            s.follow_width = 1;
        } else if (screen && strcmp(option, "dock_top") == 0) {
            s.follow_height = 1;
        } else if (strcmp(option, "material") == 0) {
            NameId64 name = stack.get_id64(arg++);
            if (params.material_count == max_gui_materials)
                stack.argument_message(arg - 1, "a gui takes at most %u materials", max_gui_materials);
            out_names[params.material_count++] = name;
        }
    }
}

void push_gui(const LuaStack &stack, World &world, const GuiCreateParams &params)
{
    Gui *gui = gui_service(stack, world).create_gui(params);
    if (!gui)
        stack.error("no gui could be made (out of memory or render handles)");
    stack.push_lightuserdata(gui);
}

} // namespace

void set_gui_resolution_source(GuiResolutionSource source) { resolution_source = source; }

bool script_screen_size(LuaEnvironment &env, u32 &out_width, u32 &out_height)
{
    f32 aspect = -1;
    return resolution_source && resolution_source(env, out_width, out_height, aspect);
}

int world_create_screen_gui(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    gui_service(stack, *world);
    GuiCreateParams params;
    NameId64 names[max_gui_materials];
    params.materials = names;
    GuiSettings &s = params.settings;
    s.screen = 1;
    u32 width = 0, height = 0;
    f32 aspect = -1;
    if (screen_size(stack, width, height, aspect)) {
        s.resolution[0] = width;
        s.resolution[1] = height;
    }
    i32 arg = 2;
    if (stack.is_number(2)) {
        s.position[0] = finite_float(stack, 2, "x");
        s.position[1] = finite_float(stack, 3, "y");
        arg = 4;
    }
    read_gui_options(stack, arg, true, params, names);
    push_gui(stack, *world, params);
    return 1;
}

int world_create_world_gui(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    gui_service(stack, *world);
    GuiCreateParams params;
    NameId64 names[max_gui_materials];
    params.materials = names;
    GuiSettings &s = params.settings;
    s.screen = 0;
    Matrix4x4 pose = finite_pose(stack, 2);
    memcpy(s.pose, &pose, sizeof s.pose);
    s.width = stack.get_float(3);
    s.height = stack.get_float(4);
    if (!(s.width > 0 && std::isfinite(s.width)))
        stack.argument_message(3, "a world gui's width must be a positive number");
    if (!(s.height > 0 && std::isfinite(s.height)))
        stack.argument_message(4, "a world gui's height must be a positive number");
    read_gui_options(stack, 5, false, params, names);
    push_gui(stack, *world, params);
    return 1;
}

int world_destroy_gui(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    Gui *gui = gui_arg(stack, 2);
    if (!gui_service(stack, *world).destroy_gui(gui))
        stack.argument_message(2, "the gui belongs to another world");
    return 0;
}

void register_gui_api(LuaEnvironment &env)
{
    static const ScriptFunction functions[] = {
        {"Gui", "triangle", triangle<false>, nullptr},
        {"Gui", "update_triangle", triangle<true>, nullptr},
        {"Gui", "rect", rect<false, false>, nullptr},
        {"Gui", "update_rect", rect<true, false>, nullptr},
        {"Gui", "rect_3d", rect<false, true>, nullptr},
        {"Gui", "update_rect_3d", rect<true, true>, nullptr},
        {"Gui", "bitmap", bitmap<false, false, false>, nullptr},
        {"Gui", "update_bitmap", bitmap<true, false, false>, nullptr},
        {"Gui", "bitmap_uv", bitmap<false, false, true>, nullptr},
        {"Gui", "update_bitmap_uv", bitmap<true, false, true>, nullptr},
        {"Gui", "bitmap_3d", bitmap<false, true, false>, nullptr},
        {"Gui", "update_bitmap_3d", bitmap<true, true, false>, nullptr},
        {"Gui", "bitmap_3d_uv", bitmap<false, true, true>, nullptr},
        {"Gui", "update_bitmap_3d_uv", bitmap<true, true, true>, nullptr},
        {"Gui", "text", text<false, false>, nullptr},
        {"Gui", "update_text", text<true, false>, nullptr},
        {"Gui", "text_3d", text<false, true>, nullptr},
        {"Gui", "update_text_3d", text<true, true>, nullptr},
        {"Gui", "destroy_triangle", destroy_primitive, nullptr},
        {"Gui", "destroy_rect", destroy_primitive, nullptr},
        {"Gui", "destroy_rect_3d", destroy_primitive, nullptr},
        {"Gui", "destroy_bitmap", destroy_primitive, nullptr},
        {"Gui", "destroy_bitmap_3d", destroy_primitive, nullptr},
        {"Gui", "destroy_text", destroy_primitive, nullptr},
        {"Gui", "destroy_text_3d", destroy_primitive, nullptr},
        {"Gui", "text_extents", text_extents, nullptr},
        {"Gui", "has_all_glyphs", has_all_glyphs, nullptr},
        {"Gui", "move", move, nullptr},
        {"Gui", "resolution", resolution, nullptr},
    };
    add_script_functions(env, functions, sizeof(functions) / sizeof(functions[0]));
    env.add_global_function("Vector2", vector2);
    env.add_global_function("Color", color);
    env.add_global_function("Rotation2D", rotation_2d);
}

} // namespace tallow
