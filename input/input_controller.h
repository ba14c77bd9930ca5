#pragma once
// The common face of every input device: a named device with a fixed set of named buttons,
// named axes and named rumble motors. Scripts read devices only through this face (one
// script table per device, script/services/input_api.cpp), so a game written against "button",
// "pressed", "axis" and "rumble_effect" works with any device kind.
//
//   class MyPad : public InputController {
//       void poll() override { set_button(0, read_a() ? 1.0f : 0.0f); set_connected(true); }
//   };
//   pad.update(dt);                 // once per frame, main thread
//   if (pad.pressed(0)) jump();
//
// A device kind implements `poll` (values, axes, edge bits and the connected flag) and may
// implement `apply_outputs` (called after the rumble update while connected). Sizes are fixed
// at construction. Every reader and rumble operation checks its index: a button, axis or
// motor index at or past the count reads as 0 / false / empty and writes nothing, so a
// script's bad index can never reach past the arrays. Main thread only.

#include "foundation/containers/array.h"
#include "foundation/math/vector3.h"
#include "foundation/types.h"

namespace tallow {

class Allocator;

/// Returned by the name lookups for a name the device does not have.
constexpr u32 input_no_index = 0x7FFFFFFF;

/// One effect of a rumble motor: an attack-decay-sustain-release envelope, optionally
/// modulated by a raised sine. Ten 32-bit fields.
struct RumbleEffect {
    u32 id;
    f32 frequency;     // Hz; 0 = the plain envelope
    f32 offset;        // in periods
    f32 attack_level;
    f32 sustain_level;
    f32 attack;        // seconds
    f32 decay;         // seconds
    f32 sustain;       // seconds
    f32 release;       // seconds
    f32 time;          // seconds since the effect started
};
static_assert(sizeof(RumbleEffect) == 40);

/// The effect's value at its current time. An attack of 0 starts at the full attack level
/// (the plain formula would divide 0 by 0 at time 0); a zero decay or release likewise
/// never divides by zero.
f32 rumble_effect_value(const RumbleEffect &effect);

struct RumbleMotor {
    explicit RumbleMotor(Allocator &allocator) : effects(allocator) {}
    Array<RumbleEffect> effects;
    f32 level = 0.0f;  // set by scripts
    f32 output = 0.0f; // level plus the effects, computed each update (not clamped)
};

class InputController {
  public:
    /// Sizes every array; the device then names its buttons, axes and motors.
    InputController(Allocator &allocator, u32 button_count, u32 axis_count, u32 motor_count);
    virtual ~InputController();
    InputController(const InputController &) = delete;
    InputController &operator=(const InputController &) = delete;

    /// The per-frame step: clear the edges, remember the connected flag, poll, update the
    /// rumble motors by `dt_seconds`, and send the outputs while connected.
    void update(f32 dt_seconds);

    // Readers (the script tables use these).
    const char *type() const { return _type; }
    const char *name() const { return _name; }
    u32 button_count() const { return _values.size(); }
    f32 button(u32 index) const { return index < _values.size() ? _values[index] : 0.0f; }
    bool pressed(u32 index) const { return test_bit(_pressed, index); }
    bool released(u32 index) const { return test_bit(_released, index); }
    bool any_pressed() const;
    bool any_released() const;
    f32 down_threshold() const { return _down_threshold; }
    /// Stores `threshold` clamped to [0, 1] (NaN reads as 0).
    void set_down_threshold(f32 threshold);
    u32 axis_count() const { return _axes.size(); }
    /// Zero for an index past the count.
    Vector3 axis(u32 index) const { return index < _axes.size() ? _axes[index] : Vector3{0, 0, 0}; }
    u32 motor_count() const { return _motors.size(); }
    /// Names are "" for an unnamed index or one past the count.
    const char *button_name(u32 index) const { return name_at(_button_names, index); }
    const char *button_locale_name(u32 index) const { return name_at(_button_locale_names, index); }
    const char *axis_name(u32 index) const { return name_at(_axis_names, index); }
    const char *motor_name(u32 index) const { return name_at(_motor_names, index); }
    /// input_no_index for a name the device does not have.
    u32 button_index(const char *name) const { return find_name(_button_map, name); }
    u32 axis_index(const char *name) const { return find_name(_axis_map, name); }
    u32 motor_index(const char *name) const { return find_name(_motor_map, name); }
    bool is_active() const { return _connected; }
    /// True for the one update in which the device came (went) away.
    bool became_connected() const { return _connected && !_was_connected; }
    bool became_disconnected() const { return !_connected && _was_connected; }

    // Rumble. A motor index past the count does nothing (rumble_effect returns 0).
    bool rumble_enabled() const { return _rumble_enabled; }
    void set_rumble_enabled(bool enabled) { _rumble_enabled = enabled; }
    void set_rumble(u32 motor, f32 level);
    /// Appends an effect (time 0) and returns its id: ids count from 1 per device, shared
    /// by all its motors. 0 for a motor past the count, or when memory runs out.
    u32 add_rumble_effect(u32 motor, f32 frequency, f32 offset, f32 attack_level, f32 sustain_level, f32 attack,
                          f32 decay, f32 sustain, f32 release);
    /// Removes the motor's first effect with that id; nothing when none has it.
    void stop_rumble_effect(u32 motor, u32 id);
    void stop_all_rumble_effects(u32 motor);
    /// The motor's level plus its effects as of the last update; 0 past the count.
    f32 motor_output(u32 motor) const { return motor < _motors.size() ? _motors[motor].output : 0.0f; }
    f32 motor_level(u32 motor) const { return motor < _motors.size() ? _motors[motor].level : 0.0f; }
    u32 effect_count(u32 motor) const { return motor < _motors.size() ? _motors[motor].effects.size() : 0; }

  protected:
    /// Sets the values, axes, edge bits and the connected flag.
    virtual void poll() = 0;
    /// Sends the motor outputs to the device; called after the rumble update while connected.
    virtual void apply_outputs() {}

    // For the device kinds. Names must be static strings (they are kept as pointers).
    void set_type(const char *type) { _type = type; }
    /// Copied into the device (up to 63 bytes).
    void set_name(const char *name);
    /// Stores the name at `index` and enters name -> index in the map; a later name for
    /// the same index replaces the stored name and leaves the earlier map entry in place.
    void set_button_name(u32 index, const char *name) { set_name_at(_button_names, _button_map, index, name); }
    void set_axis_name(u32 index, const char *name) { set_name_at(_axis_names, _axis_map, index, name); }
    void set_rumble_motor_name(u32 index, const char *name) { set_name_at(_motor_names, _motor_map, index, name); }
    /// The display name only (copied).
    void set_button_locale_name(u32 index, const char *name);

    void set_connected(bool connected) { _connected = connected; }
    /// Stores the value without edges (the event-fed devices set their own bits).
    void store_button(u32 index, f32 value)
    {
        if (index < _values.size()) _values[index] = value;
    }
    /// Stores the value and derives the edges from the down threshold: pressed when it goes
    /// from below to at-or-above, released the other way.
    void set_button_with_edges(u32 index, f32 value);
    void mark_pressed(u32 index) { set_bit(_pressed, index); }
    void mark_released(u32 index) { set_bit(_released, index); }
    void set_axis(u32 index, const Vector3 &value)
    {
        if (index < _axes.size()) _axes[index] = value;
    }
    Allocator &allocator() const { return *_allocator; }

  private:
    struct NameEntry {
        const char *name;
        u32 index;
    };
    static bool test_bit(const Array<u32> &bits, u32 index)
    {
        return index / 32 < bits.size() && (bits[index / 32] >> (index % 32)) & 1u;
    }
    void set_bit(Array<u32> &bits, u32 index)
    {
        if (index < _values.size()) bits[index / 32] |= 1u << (index % 32);
    }
    static const char *name_at(const Array<const char *> &names, u32 index)
    {
        return index < names.size() && names[index] ? names[index] : "";
    }
    static u32 find_name(const Array<NameEntry> &map, const char *name);
    void set_name_at(Array<const char *> &names, Array<NameEntry> &map, u32 index, const char *name);
    void update_rumble(f32 dt_seconds);

    Allocator *_allocator;
    const char *_type = "";
    char _name[64] = {};
    Array<f32> _values;
    Array<const char *> _button_names;
    Array<const char *> _button_locale_names; // owned copies (or null)
    Array<NameEntry> _button_map;
    Array<u32> _pressed;
    Array<u32> _released;
    bool _was_connected = false;
    bool _connected = false;
    f32 _down_threshold = 0.5f;
    Array<Vector3> _axes;
    Array<const char *> _axis_names;
    Array<NameEntry> _axis_map;
    u32 _last_effect_id = 0;
    bool _rumble_enabled = true;
    Array<RumbleMotor> _motors;
    Array<const char *> _motor_names;
    Array<NameEntry> _motor_map;
};

} // namespace tallow
