#pragma once
// The program's one window: pumps the messages once per frame, turns key, button, wheel,
// raw-motion and cursor messages into calls on the listener lists, manages the cursor
// (hidden and re-centred for relative mouse input, or shown and optionally clipped),
// reports resizes to the render side and records a close request that ends the frame loop.
//
//   Window window(allocator, window_system);
//   window.create("Game", -1, -1, 1280, 720);           // -1: centred on the desktop
//   window.add_button_down_listener(&input, &Input::forward_button_down);
//   while (!window.close_requested()) { window.pump_messages(); ... }
//
// Listener calls, object first: key down (virtual key, repeat count, 1 when any of lparam's
// upper 16 bits is set, extended flag, previous-state flag); key up (virtual key, the same
// upper-bits flag, extended flag); button down / up (0 left, 1 right, 2 middle, 3 X1, 4 X2;
// a double click raises down of the plain button, then down and up of button 5..9); raw
// motion {dx, dy, 0}; wheel {0, notches, 0} or {notches, 0, 0} for the horizontal wheel;
// cursor (x, y counted from the bottom row). Buttons, motion, wheel and cursor are raised
// only while the window is active (mouse focus wanted and keyboard focus held).
//
// Main thread only. Listener calls happen inside `pump_messages`.

#include "foundation/containers/array.h"
#include "foundation/types.h"
#include "platform/window/window_system.h"

namespace tallow {

class Allocator;
class Window;

/// A motion or wheel vector handed to listeners.
struct WindowVector {
    f32 x, y, z;
};

/// The render side's window events.
class IWindowEventListener {
  public:
    virtual ~IWindowEventListener() = default;
    /// The client area changed size (not called during an interactive size-move).
    virtual void on_resize(Window &window, i32 width, i32 height) = 0;
};

using KeyDownListener = void (*)(void *object, u32 virtual_key, u32 repeat_count, u32 has_high_word, u32 extended,
                                 u32 previous_state);
using KeyUpListener = void (*)(void *object, u32 virtual_key, u32 has_high_word, u32 extended);
using ButtonListener = void (*)(void *object, u32 button);
using VectorListener = void (*)(void *object, const WindowVector &vector);
using CursorListener = void (*)(void *object, i32 x, i32 y);

template <typename Function> struct WindowListener {
    void *object;
    Function function;
};

class Window {
  public:
    /// `window_system` is borrowed and must outlive the Window.
    Window(Allocator &allocator, platform::IWindowSystem &window_system);
    /// Destroys the system window.
    ~Window();
    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;

    /// Creates the top-level window with that client size; x or y of -1 centres it on the
    /// desktop's usable area. False on failure (logged).
    [[nodiscard]] bool create(const char *title_utf8, i32 x, i32 y, i32 width, i32 height);
    /// Creates the window as a child filling the parent's client area.
    [[nodiscard]] bool create_child(platform::WindowHandle parent);

    /// Cursor and focus handling, then every queued message, then the parent checks of a
    /// child window. Once per frame.
    void pump_messages();
    /// Handles one message as the window procedure does. Exposed for the message pump of
    /// render waits.
    void window_proc(const platform::WindowMessage &message);

    bool close_requested() const { return _close_requested; }
    void request_close() { _close_requested = true; }
    platform::WindowHandle handle() const { return _handle; }
    platform::WindowHandle parent() const { return _parent; }
    void set_event_listener(IWindowEventListener *listener) { _event_listener = listener; }
    /// The window system underneath: key state (`is_key_down`) and cursor queries for input.
    platform::IWindowSystem &system() { return *_system; }

    i32 width() const { return _width; }
    i32 height() const { return _height; }
    i32 x() const { return _x; }
    i32 y() const { return _y; }
    /// Mouse focus wanted and keyboard focus held, as found at the last pump.
    bool is_active() const { return _active; }

    // Script-side operations.
    void set_title(const char *title_utf8);
    void minimize();
    void focus();
    bool has_mouse_focus() const { return _mouse_focus; }
    void set_mouse_focus(bool wanted) { _mouse_focus = wanted; }
    /// When the flag changes: store it and move the cursor to the window's centre.
    void set_show_cursor(bool show);
    void set_clip_cursor(bool clip) { _clip_cursor = clip; }
    bool show_cursor() const { return _show_cursor; }
    bool clip_cursor() const { return _clip_cursor; }
    /// Makes `cursor` the window's cursor (0: the arrow) from the next message pump on.
    void set_cursor(platform::CursorHandle cursor);
    /// Sets the client size and centres the window in `area` (the desktop's usable area
    /// when null).
    void set_client_size(i32 width, i32 height, const platform::Rect *area = nullptr);

    // Listener lists. An object may appear in several lists; `remove_listeners` takes it
    // out of all of them.
    void add_key_down_listener(void *object, KeyDownListener function);
    void add_key_up_listener(void *object, KeyUpListener function);
    void add_button_down_listener(void *object, ButtonListener function);
    void add_button_up_listener(void *object, ButtonListener function);
    void add_raw_motion_listener(void *object, VectorListener function);
    void add_wheel_listener(void *object, VectorListener function);
    void add_cursor_listener(void *object, CursorListener function);
    void remove_listeners(void *object);
    /// Entries over all seven lists.
    u32 listener_count() const;

  private:
    bool finish_create(platform::WindowHandle handle);
    void apply_size(i32 width, i32 height);
    void raise_button(u32 button, bool down);
    void raise_double_click(u32 button);
    void update_cursor();

    platform::IWindowSystem *_system;
    i32 _width = 0, _height = 0;
    i32 _x = 0, _y = 0;
    bool _close_requested = false;
    platform::WindowHandle _parent = 0;
    platform::WindowHandle _handle = 0;
    bool _mouse_focus = true;
    bool _cursor_visible = true;
    bool _active = true;
    bool _in_size_move = false;
    i32 _pending_width = 0, _pending_height = 0;
    platform::CursorHandle _custom_cursor = 0;
    platform::CursorHandle _default_cursor = 0;
    bool _show_cursor = false;
    bool _clip_cursor = false;
    bool _cursor_clipped = false; // a clip of ours is in force
    IWindowEventListener *_event_listener = nullptr;

    Array<WindowListener<KeyDownListener>> _key_down;
    Array<WindowListener<KeyUpListener>> _key_up;
    Array<WindowListener<ButtonListener>> _button_down;
    Array<WindowListener<ButtonListener>> _button_up;
    Array<WindowListener<VectorListener>> _raw_motion;
    Array<WindowListener<VectorListener>> _wheel;
    Array<WindowListener<CursorListener>> _cursor;
};

} // namespace tallow
