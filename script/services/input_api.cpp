// The input device tables and LightFX.
//
//   if Keyboard.pressed(Keyboard.button_index("space")) then jump() end
//   local stick = Pad1.axis(Pad1.axis_index("left"))
//   local id = Pad1.rumble_effect(0, {frequency = 10, attack = 0.1, sustain = 0.5, release = 0.2})
//   LightFX.set_color_in_cube(255, 0, 0, 255, 0.5)
//
// Indices are 0-based, as in the engine. A button, axis or motor index outside the device's
// range raises an error naming the function and the argument; a name the device does not
// have gives nil. A device the settings left out is never connected and has no buttons.
#include "script/services/input_api.h"

#include "input/input_controller.h"
#include "input/input_service.h"
#include "input/lightfx_device.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_stack.h"
#include "script/world/world_api.h"

#include <lua.hpp>

#include <cmath>

namespace tallow {

namespace {

InputController &device(const LuaStack &stack) { return *static_cast<InputController *>(stack.upvalue()); }

u32 index_arg(const LuaStack &stack, i32 arg, u32 count, const char *what)
{
    if (count == 0)
        stack.argument_message(arg, "the device has no %s", what);
    return u32(stack.get_integer(arg, 0, i64(count) - 1));
}

u32 button_arg(const LuaStack &stack, InputController &d) { return index_arg(stack, 1, d.button_count(), "buttons"); }
u32 axis_arg(const LuaStack &stack, InputController &d) { return index_arg(stack, 1, d.axis_count(), "axes"); }
u32 motor_arg(const LuaStack &stack, InputController &d) { return index_arg(stack, 1, d.motor_count(), "rumble motors"); }

void push_index(const LuaStack &stack, u32 index)
{
    if (index == input_no_index) stack.push_nil();
    else stack.push_integer(index);
}

int type(lua_State *L) { LuaStack s(L); s.push_string(device(s).type()); return 1; }
int name(lua_State *L) { LuaStack s(L); s.push_string(device(s).name()); return 1; }
int num_buttons(lua_State *L) { LuaStack s(L); s.push_integer(device(s).button_count()); return 1; }
int button(lua_State *L) { LuaStack s(L); InputController &d = device(s); s.push_float(d.button(button_arg(s, d))); return 1; }
int pressed(lua_State *L) { LuaStack s(L); InputController &d = device(s); s.push_bool(d.pressed(button_arg(s, d))); return 1; }
int released(lua_State *L) { LuaStack s(L); InputController &d = device(s); s.push_bool(d.released(button_arg(s, d))); return 1; }
int any_pressed(lua_State *L) { LuaStack s(L); s.push_bool(device(s).any_pressed()); return 1; }
int any_released(lua_State *L) { LuaStack s(L); s.push_bool(device(s).any_released()); return 1; }
int set_down_threshold(lua_State *L) { LuaStack s(L); device(s).set_down_threshold(s.get_float(1)); return 0; }
int down_threshold(lua_State *L) { LuaStack s(L); s.push_float(device(s).down_threshold()); return 1; }
int num_axes(lua_State *L) { LuaStack s(L); s.push_integer(device(s).axis_count()); return 1; }
int axis(lua_State *L)
{
    LuaStack s(L);
    InputController &d = device(s);
    const Vector3 v = d.axis(axis_arg(s, d));
    s.push_vector3(v.x, v.y, v.z);
    return 1;
}
int set_rumble_enabled(lua_State *L) { LuaStack s(L); device(s).set_rumble_enabled(s.get_bool(1)); return 0; }
int num_rumble_motors(lua_State *L) { LuaStack s(L); s.push_integer(device(s).motor_count()); return 1; }
int set_rumble(lua_State *L)
{
    LuaStack s(L);
    InputController &d = device(s);
    const u32 motor = motor_arg(s, d);
    d.set_rumble(motor, s.get_float(2));
    return 0;
}

f32 field(lua_State *L, i32 table, const char *key, f32 fallback)
{
    lua_getfield(L, table, key);
    const f32 value = lua_type(L, -1) == LUA_TNUMBER ? f32(lua_tonumber(L, -1)) : fallback;
    lua_pop(L, 1);
    return value;
}

int rumble_effect(lua_State *L)
{
    LuaStack s(L);
    InputController &d = device(s);
    const u32 motor = motor_arg(s, d);
    if (!s.is_table(2))
        s.argument_message(2, "table of effect parameters expected");
    const i32 t = s.index(2);
    f32 frequency = field(L, t, "frequency", 0.0f);
    lua_getfield(L, t, "period");
    if (lua_type(L, -1) == LUA_TNUMBER) frequency = f32(1.0 / lua_tonumber(L, -1));
    lua_pop(L, 1);
    const f32 values[] = {frequency,
                          field(L, t, "offset", 0.0f),
                          field(L, t, "attack_level", 1.0f),
                          field(L, t, "sustain_level", 1.0f),
                          field(L, t, "attack", 0.0f),
                          field(L, t, "decay", 0.0f),
                          field(L, t, "sustain", 0.0f),
                          field(L, t, "release", 0.0f)};
    // An infinite or NaN time never ends (the effect would rumble forever) and a period of 0
    // gives an infinite frequency: refused rather than stored.
    for (f32 v : values)
        if (!std::isfinite(v))
            s.argument_message(2, "the effect's numbers must be finite (a period must not be 0)");
    const u32 id = d.add_rumble_effect(motor, values[0], values[1], values[2], values[3], values[4], values[5],
                                       values[6], values[7]);
    if (id == 0)
        s.error("out of memory for rumble effects");
    s.push_integer(id);
    return 1;
}

int stop_rumble_effect(lua_State *L)
{
    LuaStack s(L);
    InputController &d = device(s);
    const u32 motor = motor_arg(s, d);
    d.stop_rumble_effect(motor, u32(s.get_integer(2, 0, 0xFFFFFFFFll)));
    return 0;
}
int stop_all_rumble_effects(lua_State *L) { LuaStack s(L); InputController &d = device(s); d.stop_all_rumble_effects(motor_arg(s, d)); return 0; }
int button_name(lua_State *L) { LuaStack s(L); InputController &d = device(s); s.push_string(d.button_name(button_arg(s, d))); return 1; }
int button_locale_name(lua_State *L) { LuaStack s(L); InputController &d = device(s); s.push_string(d.button_locale_name(button_arg(s, d))); return 1; }
int button_index(lua_State *L) { LuaStack s(L); push_index(s, device(s).button_index(s.get_string(1))); return 1; }
int axis_name(lua_State *L) { LuaStack s(L); InputController &d = device(s); s.push_string(d.axis_name(axis_arg(s, d))); return 1; }
int axis_index(lua_State *L) { LuaStack s(L); push_index(s, device(s).axis_index(s.get_string(1))); return 1; }
int rumble_motor_name(lua_State *L) { LuaStack s(L); InputController &d = device(s); s.push_string(d.motor_name(motor_arg(s, d))); return 1; }
int rumble_motor_index(lua_State *L) { LuaStack s(L); push_index(s, device(s).motor_index(s.get_string(1))); return 1; }
int active(lua_State *L) { LuaStack s(L); s.push_bool(device(s).is_active()); return 1; }
int connected(lua_State *L) { LuaStack s(L); s.push_bool(device(s).became_connected()); return 1; }
int disconnected(lua_State *L) { LuaStack s(L); s.push_bool(device(s).became_disconnected()); return 1; }

struct DeviceFunction {
    const char *name;
    LuaFunction function;
};

const DeviceFunction device_functions[] = {
    {"type", type},
    {"name", name},
    {"num_buttons", num_buttons},
    {"button", button},
    {"pressed", pressed},
    {"released", released},
    {"any_pressed", any_pressed},
    {"any_released", any_released},
    {"set_down_threshold", set_down_threshold},
    {"down_threshold", down_threshold},
    {"num_axes", num_axes},
    {"axis", axis},
    {"set_rumble_enabled", set_rumble_enabled},
    {"num_rumble_motors", num_rumble_motors},
    {"set_rumble", set_rumble},
    {"rumble_effect", rumble_effect},
    {"stop_rumble_effect", stop_rumble_effect},
    {"stop_all_rumble_effects", stop_all_rumble_effects},
    {"button_name", button_name},
    {"button_locale_name", button_locale_name},
    {"button_index", button_index},
    {"axis_name", axis_name},
    {"axis_index", axis_index},
    {"rumble_motor_name", rumble_motor_name},
    {"rumble_motor_index", rumble_motor_index},
    {"active", active},
    {"connected", connected},
    {"disconnected", disconnected},
};

void register_device(LuaEnvironment &env, const char *table, InputController *d)
{
    env.class_table(table);
    lua_pop(env.state(), 1);
    for (const DeviceFunction &f : device_functions) {
        if (d) {
            env.add_module_function(table, f.name, f.function, d);
        } else {
            const ScriptFunction missing{table, f.name, nullptr, "input"};
            add_script_functions(env, &missing, 1);
        }
    }
}

// The script's 0..255 components.
constexpr f32 color_scale = 1.0f / 255.0f;

int lightfx_set_color_in_cube(lua_State *L)
{
    LuaStack s(L);
    auto *lightfx = static_cast<ILightFxService *>(s.upvalue());
    const f32 r = s.get_float(1) * color_scale, g = s.get_float(2) * color_scale, b = s.get_float(3) * color_scale,
              a = s.get_float(4) * color_scale;
    const f32 fade = s.get_float(5);
    u32 mask = lightfx_all_locations;
    if (!s.is_none_or_nil(6)) {
        if (!s.is_table(6))
            s.argument_message(6, "table of up to 27 location flags expected");
        mask = 0;
        const i32 t = s.index(6);
        for (u32 entry = 1; entry <= 27; ++entry) {
            lua_rawgeti(L, t, i32(entry));
            if (lua_toboolean(L, -1))
                mask |= lightfx_mask_of_entry(entry);
            lua_pop(L, 1);
        }
    }
    lightfx->set_color_in_cube(mask, r, g, b, a, fade);
    return 0;
}

} // namespace

void register_input_api(LuaEnvironment &env, IInputService *input, ILightFxService *lightfx)
{
    register_device(env, "Mouse", input ? &input->script_mouse() : nullptr);
    register_device(env, "Keyboard", input ? &input->script_keyboard() : nullptr);
    const u32 pads = input ? input->pad_count() : 4;
    for (u32 i = 0; i < pads; ++i) {
        // Table names live as long as the environment's registry needs them: a static set.
        static const char *const pad_tables[] = {"Pad1", "Pad2", "Pad3", "Pad4"};
        if (i >= 4) break;
        register_device(env, pad_tables[i], input ? input->pad(i) : nullptr);
    }
    if (lightfx) {
        env.add_module_function("LightFX", "set_color_in_cube", lightfx_set_color_in_cube, lightfx);
    } else {
        const ScriptFunction missing{"LightFX", "set_color_in_cube", nullptr, "lightfx"};
        add_script_functions(env, &missing, 1);
    }
}

} // namespace tallow
