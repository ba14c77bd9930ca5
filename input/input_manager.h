#pragma once
// The input manager: makes one keyboard and one mouse of the kinds the settings choose and
// four pads, updates every device once per frame (main thread, before the game's update),
// and hands the window's messages to the window-message keyboard and mouse.
//
//   InputManagerParams params;
//   params.keyboard = "windows";                 // "win32"/"input" settings; null = "windows"
//   params.keys = &window_system;                // key state for shift and "keystate"
//   InputManager input(allocator, params);
//   window.add_key_down_listener(...);           // the Application forwards the messages
//   input.update(dt);                            // each frame
//
// Keyboard kinds: "windows" (window messages), "keystate" (key state polled each frame),
// "directx" (the keyboard read as a device, by scan code: input/raw_keyboard_mouse.h); mouse
// kinds: "windows", "directx" (the mouse read as a device: its motion, buttons and wheel).
// Any other value leaves the device out: it is not updated, its messages are ignored and its
// script table reads a device that is never connected.
// Every device comes from the manager's "input" allocator. Main thread only.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "input/input_service.h"
#include "input/keyboard_mouse.h"
#include "input/raw_keyboard_mouse.h"
#include "input/xbox_controller.h"

namespace tallow {

namespace platform {
class IWindowSystem;
class IPadApi;
class IRawInput;
} // namespace platform

struct InputManagerParams {
    const char *keyboard = nullptr; // "windows", "keystate", "directx" or anything else (none); null = "windows"
    const char *mouse = nullptr;    // "windows", "directx" or anything else (none); null = "windows"
    platform::IWindowSystem *keys = nullptr; // key state; null: every key reads up
    /// The pads' layer, borrowed; null: the manager makes the platform's own (SDL2 game
    /// controllers, or none) and destroys it with itself.
    platform::IPadApi *pads = nullptr;
    /// The devices read by the "directx" kinds, borrowed; null: the manager makes the
    /// platform's own (SDL2) when a "directx" kind is chosen and destroys it with itself.
    platform::IRawInput *raw = nullptr;
};

class InputManager final : public IInputService {
  public:
    InputManager(Allocator &parent, const InputManagerParams &params);
    ~InputManager() override;

    // See IInputService
    void update(f32 dt_seconds) override;
    void on_key_down(u32 virtual_key, u32 repeat_count, u32 has_high_word, u32 extended, u32 previous_state) override;
    void on_key_up(u32 virtual_key, u32 has_high_word, u32 extended) override;
    void on_button_down(u32 button) override;
    void on_button_up(u32 button) override;
    void on_wheel(f32 x, f32 y, f32 z) override;
    void on_move(f32 dx, f32 dy, f32 dz) override;
    void on_cursor(i32 x, i32 y) override;
    InputController &script_keyboard() override { return _keyboard ? *_keyboard : *_null_device; }
    InputController &script_mouse() override { return _mouse ? *_mouse : *_null_device; }
    u32 pad_count() const override { return _pads.size(); }
    InputController *pad(u32 index) override { return index < _pads.size() ? _pads[index] : nullptr; }

    /// Null when the settings left the device out.
    InputController *keyboard() { return _keyboard; }
    InputController *mouse() { return _mouse; }
    /// keyboard, mouse (those that exist), then pads 0..3.
    const Array<InputController *> &devices() const { return _devices; }

  private:
    TraceAllocator _allocator; // "input"
    Array<InputController *> _devices;
    Array<InputController *> _pads;
    InputController *_keyboard = nullptr;
    InputController *_mouse = nullptr;
    WndProcKeyboard *_message_keyboard = nullptr;
    WndProcMouse *_message_mouse = nullptr;
    NullController *_null_device = nullptr;
    platform::IPadApi *_pad_api = nullptr;
    bool _owns_pad_api = false;
    platform::IRawInput *_raw = nullptr;
    bool _owns_raw = false;
};

} // namespace tallow
