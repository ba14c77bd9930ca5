#include "input/xbox_controller.h"

#include <cstdio>

namespace tallow {

namespace {

const char *const button_names[pad_button_count] = {
    "d_up",          "d_down",         "d_left",       "d_right",       "start", "back", "left_thumb", "right_thumb",
    "left_shoulder", "right_shoulder", "left_trigger", "right_trigger", "a",     "b",    "x",          "y",
};
constexpr u32 left_trigger = 10, right_trigger = 11;
constexpr i32 left_dead_zone = 7849, right_dead_zone = 8689;

} // namespace

f32 pad_stick_value(i16 v, i32 z)
{
    // The scales are single-precision reciprocals, as the pads were always read.
    if (v < 0) {
        const f32 f = f32(v + z) * (1.0f / f32(32768 - z));
        return f > 0.0f ? 0.0f : f < -1.0f ? -1.0f : f;
    }
    const f32 f = f32(v - z) * (1.0f / f32(32767 - z));
    return f > 1.0f ? 1.0f : f < 0.0f ? 0.0f : f;
}

XboxController::XboxController(Allocator &allocator, platform::IPadApi &pads, u32 user_index)
    : InputController(allocator, pad_button_count, 3, 2), _pads(&pads), _user_index(user_index),
      _retry_countdown(i32(user_index * pad_query_interval / 4))
{
    set_type("xbox_controller");
    if (user_index < platform::max_pads) {
        char name[32];
        snprintf(name, sizeof name, "Xbox Controller %u", user_index);
        set_name(name);
    }
    for (u32 i = 0; i < pad_button_count; ++i)
        set_button_name(i, button_names[i]);
    set_axis_name(0, "left");
    set_axis_name(1, "right");
    set_axis_name(2, "dpad");
    set_rumble_motor_name(0, "left");
    set_rumble_motor_name(1, "right");
    update(0.0f);
}

void XboxController::poll()
{
    if (!_last_query_succeeded) {
        --_retry_countdown;
        if (_retry_countdown > 0)
            return;
        _retry_countdown = i32(pad_query_interval);
    }
    const bool ok = _pads->get_state(_user_index, _state) == platform::pad_success;
    _last_query_succeeded = ok;
    set_connected(ok);
    if (!ok)
        _state = {};

    for (u32 i = 0; i < pad_button_count; ++i) {
        f32 value;
        if (i == left_trigger) value = f32(_state.left_trigger) * (1.0f / 255.0f);
        else if (i == right_trigger) value = f32(_state.right_trigger) * (1.0f / 255.0f);
        else value = (_state.buttons >> i) & 1u ? 1.0f : 0.0f;
        set_button_with_edges(i, value);
    }
    set_axis(0, {pad_stick_value(_state.thumb_lx, left_dead_zone), pad_stick_value(_state.thumb_ly, left_dead_zone), 0});
    set_axis(1, {pad_stick_value(_state.thumb_rx, right_dead_zone), pad_stick_value(_state.thumb_ry, right_dead_zone), 0});
    set_axis(2, {button(3) - button(2), button(0) - button(1), 0});
}

void XboxController::apply_outputs()
{
    auto speed = [](f32 output) {
        const f32 c = output >= 1.0f ? 1.0f : output > 0.0f ? output : 0.0f; // NaN reads as 0
        return u16(c * 65535.0f);
    };
    platform::PadVibration v;
    if (rumble_enabled()) {
        v.left_motor_speed = speed(motor_output(0));
        v.right_motor_speed = speed(motor_output(1));
    }
    _pads->set_state(_user_index, v);
}

} // namespace tallow
