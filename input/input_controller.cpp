#include "input/input_controller.h"

#include "foundation/memory/allocator.h"

#include <cmath>
#include <cstring>

namespace tallow {

f32 rumble_effect_value(const RumbleEffect &e)
{
    const f32 t = e.time;
    const f32 a = e.attack, d = e.decay, s = e.sustain, r = e.release;
    f32 envelope;
    if (t > a + d + s + r)
        return 0.0f;
    if (a + d + s < t)
        envelope = r > 0.0f ? (1.0f - (t - a - d - s) / r) * e.sustain_level : 0.0f;
    else if (a + d < t)
        envelope = e.sustain_level;
    else if (a < t) {
        const f32 f = d > 0.0f ? (t - a) / d : 1.0f;
        envelope = (1.0f - f) * e.attack_level + f * e.sustain_level;
    } else
        // With no attack the effect starts at its attack level rather than at 0/0.
        envelope = a > 0.0f ? e.attack_level * t / a : e.attack_level;
    if (e.frequency == 0.0f)
        return envelope;
    const f64 phase = 2.0 * M_PI * (f64(e.frequency) * f64(t) + f64(e.offset) - 0.25);
    return envelope * 0.5f * f32(1.0 + std::sin(phase));
}

InputController::InputController(Allocator &allocator, u32 button_count, u32 axis_count, u32 motor_count)
    : _allocator(&allocator), _values(allocator), _button_names(allocator), _button_locale_names(allocator),
      _button_map(allocator), _pressed(allocator), _released(allocator), _axes(allocator), _axis_names(allocator),
      _axis_map(allocator), _motors(allocator), _motor_names(allocator), _motor_map(allocator)
{
    _values.resize(button_count);
    _button_names.resize(button_count);
    _button_locale_names.resize(button_count);
    const u32 words = (button_count + 31) / 32;
    _pressed.resize(words);
    _released.resize(words);
    if (_values.size() != button_count || _button_names.size() != button_count ||
        _button_locale_names.size() != button_count || _pressed.size() != words || _released.size() != words)
        _values.clear(); // out of memory: a device without buttons rather than torn arrays
    _axes.resize(axis_count);
    _axis_names.resize(axis_count);
    if (_axis_names.size() != axis_count)
        _axes.clear();
    _motor_names.resize(motor_count);
    for (u32 i = 0; i < motor_count && _motor_names.size() == motor_count; ++i)
        _motors.push_back(RumbleMotor(allocator));
}

InputController::~InputController()
{
    for (const char *name : _button_locale_names)
        if (name) _allocator->deallocate(const_cast<char *>(name));
}

void InputController::update(f32 dt_seconds)
{
    for (u32 &word : _pressed) word = 0;
    for (u32 &word : _released) word = 0;
    _was_connected = _connected;
    poll();
    update_rumble(dt_seconds);
    if (_connected)
        apply_outputs();
}

void InputController::update_rumble(f32 dt_seconds)
{
    for (RumbleMotor &motor : _motors) {
        f32 total = motor.level;
        for (u32 i = 0; i < motor.effects.size();) {
            RumbleEffect &e = motor.effects[i];
            e.time += dt_seconds;
            if (e.time > e.attack + e.decay + e.sustain + e.release) {
                motor.effects.erase(i); // the effect moving into place is handled next
                continue;
            }
            total += rumble_effect_value(e);
            ++i;
        }
        motor.output = total;
    }
}

bool InputController::any_pressed() const
{
    for (u32 word : _pressed)
        if (word) return true;
    return false;
}

bool InputController::any_released() const
{
    for (u32 word : _released)
        if (word) return true;
    return false;
}

void InputController::set_down_threshold(f32 threshold)
{
    _down_threshold = threshold >= 1.0f ? 1.0f : threshold > 0.0f ? threshold : 0.0f;
}

void InputController::set_rumble(u32 motor, f32 level)
{
    if (motor < _motors.size()) _motors[motor].level = level;
}

u32 InputController::add_rumble_effect(u32 motor, f32 frequency, f32 offset, f32 attack_level, f32 sustain_level,
                                       f32 attack, f32 decay, f32 sustain, f32 release)
{
    if (motor >= _motors.size())
        return 0;
    const u32 id = ++_last_effect_id;
    const RumbleEffect effect{id, frequency, offset, attack_level, sustain_level, attack, decay, sustain, release, 0.0f};
    return _motors[motor].effects.push_back(effect) ? id : 0;
}

void InputController::stop_rumble_effect(u32 motor, u32 id)
{
    if (motor >= _motors.size())
        return;
    Array<RumbleEffect> &effects = _motors[motor].effects;
    for (u32 i = 0; i < effects.size(); ++i)
        if (effects[i].id == id) {
            effects.erase(i);
            return;
        }
}

void InputController::stop_all_rumble_effects(u32 motor)
{
    if (motor < _motors.size()) _motors[motor].effects.clear();
}

void InputController::set_name(const char *name)
{
    strncpy(_name, name, sizeof _name - 1);
}

void InputController::set_button_locale_name(u32 index, const char *name)
{
    if (index >= _button_locale_names.size())
        return;
    const u64 length = strlen(name);
    char *copy = static_cast<char *>(_allocator->allocate(length + 1, 1));
    if (!copy)
        return;
    memcpy(copy, name, length + 1);
    if (_button_locale_names[index]) _allocator->deallocate(const_cast<char *>(_button_locale_names[index]));
    _button_locale_names[index] = copy;
}

void InputController::set_button_with_edges(u32 index, f32 value)
{
    if (index >= _values.size())
        return;
    const bool was_down = _values[index] >= _down_threshold;
    const bool is_down = value >= _down_threshold;
    if (is_down && !was_down) mark_pressed(index);
    if (was_down && !is_down) mark_released(index);
    _values[index] = value;
}

u32 InputController::find_name(const Array<NameEntry> &map, const char *name)
{
    if (!name)
        return input_no_index;
    for (const NameEntry &entry : map)
        if (strcmp(entry.name, name) == 0) return entry.index;
    return input_no_index;
}

void InputController::set_name_at(Array<const char *> &names, Array<NameEntry> &map, u32 index, const char *name)
{
    if (index >= names.size())
        return;
    names[index] = name;
    if (find_name(map, name) == input_no_index)
        map.push_back({name, index});
}

} // namespace tallow
