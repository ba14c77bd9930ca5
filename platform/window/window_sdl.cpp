#include "platform/window/window_sdl.h"

#include "foundation/memory/allocator.h"
#include "foundation/containers/array.h"
#include "foundation/log.h"
#include "platform/d3d11/dxgi_shim.h"
#include "platform/window/close_signal.h"
#include "platform/window/virtual_keys.h"

#include <SDL2/SDL.h>

#include <cmath>
#include <cstring>

namespace tallow::platform {

namespace {

struct ScancodeKey {
    SDL_Scancode scancode;
    u32 vk;
    bool extended;
};

// Letters come from the key symbol so they follow the keyboard layout; the rest by position.
const ScancodeKey scancode_keys[] = {
    {SDL_SCANCODE_1, '1', false}, {SDL_SCANCODE_2, '2', false}, {SDL_SCANCODE_3, '3', false},
    {SDL_SCANCODE_4, '4', false}, {SDL_SCANCODE_5, '5', false}, {SDL_SCANCODE_6, '6', false},
    {SDL_SCANCODE_7, '7', false}, {SDL_SCANCODE_8, '8', false}, {SDL_SCANCODE_9, '9', false},
    {SDL_SCANCODE_0, '0', false},
    {SDL_SCANCODE_RETURN, vk::enter, false}, {SDL_SCANCODE_ESCAPE, vk::escape, false},
    {SDL_SCANCODE_BACKSPACE, vk::back, false}, {SDL_SCANCODE_TAB, vk::tab, false},
    {SDL_SCANCODE_SPACE, vk::space, false}, {SDL_SCANCODE_MINUS, vk::oem_minus, false},
    {SDL_SCANCODE_EQUALS, vk::oem_plus, false}, {SDL_SCANCODE_LEFTBRACKET, vk::oem_4, false},
    {SDL_SCANCODE_RIGHTBRACKET, vk::oem_6, false}, {SDL_SCANCODE_BACKSLASH, vk::oem_5, false},
    {SDL_SCANCODE_NONUSHASH, vk::oem_5, false}, {SDL_SCANCODE_SEMICOLON, vk::oem_1, false},
    {SDL_SCANCODE_APOSTROPHE, vk::oem_7, false}, {SDL_SCANCODE_GRAVE, vk::oem_3, false},
    {SDL_SCANCODE_COMMA, vk::oem_comma, false}, {SDL_SCANCODE_PERIOD, vk::oem_period, false},
    {SDL_SCANCODE_SLASH, vk::oem_2, false}, {SDL_SCANCODE_CAPSLOCK, vk::caps_lock, false},
    {SDL_SCANCODE_F1, vk::f1 + 0, false}, {SDL_SCANCODE_F2, vk::f1 + 1, false},
    {SDL_SCANCODE_F3, vk::f1 + 2, false}, {SDL_SCANCODE_F4, vk::f1 + 3, false},
    {SDL_SCANCODE_F5, vk::f1 + 4, false}, {SDL_SCANCODE_F6, vk::f1 + 5, false},
    {SDL_SCANCODE_F7, vk::f1 + 6, false}, {SDL_SCANCODE_F8, vk::f1 + 7, false},
    {SDL_SCANCODE_F9, vk::f1 + 8, false}, {SDL_SCANCODE_F10, vk::f1 + 9, false},
    {SDL_SCANCODE_F11, vk::f1 + 10, false}, {SDL_SCANCODE_F12, vk::f1 + 11, false},
    {SDL_SCANCODE_F13, vk::f1 + 12, false}, {SDL_SCANCODE_F14, vk::f1 + 13, false},
    {SDL_SCANCODE_F15, vk::f1 + 14, false}, {SDL_SCANCODE_F16, vk::f1 + 15, false},
    {SDL_SCANCODE_F17, vk::f1 + 16, false}, {SDL_SCANCODE_F18, vk::f1 + 17, false},
    {SDL_SCANCODE_F19, vk::f1 + 18, false}, {SDL_SCANCODE_F20, vk::f1 + 19, false},
    {SDL_SCANCODE_F21, vk::f1 + 20, false}, {SDL_SCANCODE_F22, vk::f1 + 21, false},
    {SDL_SCANCODE_F23, vk::f1 + 22, false}, {SDL_SCANCODE_F24, vk::f1 + 23, false},
    {SDL_SCANCODE_PRINTSCREEN, vk::print_screen, true}, {SDL_SCANCODE_SCROLLLOCK, vk::scroll_lock, false},
    {SDL_SCANCODE_PAUSE, vk::pause, false}, {SDL_SCANCODE_INSERT, vk::insert, true},
    {SDL_SCANCODE_HOME, vk::home, true}, {SDL_SCANCODE_PAGEUP, vk::page_up, true},
    {SDL_SCANCODE_DELETE, vk::del, true}, {SDL_SCANCODE_END, vk::end, true},
    {SDL_SCANCODE_PAGEDOWN, vk::page_down, true}, {SDL_SCANCODE_RIGHT, vk::right, true},
    {SDL_SCANCODE_LEFT, vk::left, true}, {SDL_SCANCODE_DOWN, vk::down, true},
    {SDL_SCANCODE_UP, vk::up, true}, {SDL_SCANCODE_NUMLOCKCLEAR, vk::num_lock, true},
    {SDL_SCANCODE_KP_DIVIDE, vk::divide, true}, {SDL_SCANCODE_KP_MULTIPLY, vk::multiply, false},
    {SDL_SCANCODE_KP_MINUS, vk::subtract, false}, {SDL_SCANCODE_KP_PLUS, vk::add, false},
    {SDL_SCANCODE_KP_ENTER, vk::enter, true}, {SDL_SCANCODE_KP_1, vk::numpad0 + 1, false},
    {SDL_SCANCODE_KP_2, vk::numpad0 + 2, false}, {SDL_SCANCODE_KP_3, vk::numpad0 + 3, false},
    {SDL_SCANCODE_KP_4, vk::numpad0 + 4, false}, {SDL_SCANCODE_KP_5, vk::numpad0 + 5, false},
    {SDL_SCANCODE_KP_6, vk::numpad0 + 6, false}, {SDL_SCANCODE_KP_7, vk::numpad0 + 7, false},
    {SDL_SCANCODE_KP_8, vk::numpad0 + 8, false}, {SDL_SCANCODE_KP_9, vk::numpad0 + 9, false},
    {SDL_SCANCODE_KP_0, vk::numpad0, false}, {SDL_SCANCODE_KP_PERIOD, vk::decimal, false},
    {SDL_SCANCODE_KP_COMMA, vk::separator, false}, {SDL_SCANCODE_NONUSBACKSLASH, vk::oem_102, false},
    {SDL_SCANCODE_APPLICATION, vk::apps, true}, {SDL_SCANCODE_HELP, vk::help, false},
    {SDL_SCANCODE_SELECT, vk::select, false}, {SDL_SCANCODE_EXECUTE, vk::execute, false},
    {SDL_SCANCODE_MUTE, vk::volume_mute, true}, {SDL_SCANCODE_VOLUMEUP, vk::volume_up, true},
    {SDL_SCANCODE_VOLUMEDOWN, vk::volume_down, true}, {SDL_SCANCODE_SLEEP, vk::sleep, true},
    {SDL_SCANCODE_AUDIONEXT, vk::next_track, true}, {SDL_SCANCODE_AUDIOPREV, vk::previous_track, true},
    {SDL_SCANCODE_AUDIOSTOP, vk::media_stop, true}, {SDL_SCANCODE_AUDIOPLAY, vk::play_pause, true},
    {SDL_SCANCODE_MAIL, vk::mail, true}, {SDL_SCANCODE_AC_SEARCH, vk::browser_search, true},
    {SDL_SCANCODE_AC_HOME, vk::browser_home, true}, {SDL_SCANCODE_AC_BACK, vk::browser_back, true},
    {SDL_SCANCODE_AC_FORWARD, vk::browser_forward, true}, {SDL_SCANCODE_AC_STOP, vk::browser_stop, true},
    {SDL_SCANCODE_AC_REFRESH, vk::browser_refresh, true}, {SDL_SCANCODE_AC_BOOKMARKS, vk::browser_favorites, true},
    // Key messages name the generic modifier; its side shows in the extended flag (ctrl, alt)
    // or in the key state of the left key (shift).
    {SDL_SCANCODE_LCTRL, vk::control, false}, {SDL_SCANCODE_RCTRL, vk::control, true},
    {SDL_SCANCODE_LSHIFT, vk::shift, false}, {SDL_SCANCODE_RSHIFT, vk::shift, false},
    {SDL_SCANCODE_LALT, vk::menu, false}, {SDL_SCANCODE_RALT, vk::menu, true},
    {SDL_SCANCODE_LGUI, vk::left_win, true}, {SDL_SCANCODE_RGUI, vk::right_win, true},
};

// Sided keys answer key-state queries for both their generic and their sided code.
struct SidedKey {
    u32 vk;
    SDL_Scancode scancode;
};
const SidedKey sided_keys[] = {
    {vk::left_shift, SDL_SCANCODE_LSHIFT}, {vk::right_shift, SDL_SCANCODE_RSHIFT},
    {vk::left_control, SDL_SCANCODE_LCTRL}, {vk::right_control, SDL_SCANCODE_RCTRL},
    {vk::left_menu, SDL_SCANCODE_LALT}, {vk::right_menu, SDL_SCANCODE_RALT},
};

// Button messages: down, up, double click, and the X-button number in wparam's high word.
struct ButtonMessages {
    u32 down, up, double_click, xbutton;
};

bool button_messages(u8 sdl_button, ButtonMessages &out)
{
    switch (sdl_button) {
    case SDL_BUTTON_LEFT: out = {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, 0}; return true;
    case SDL_BUTTON_RIGHT: out = {WM_RBUTTONDOWN, WM_RBUTTONUP, WM_RBUTTONDBLCLK, 0}; return true;
    case SDL_BUTTON_MIDDLE: out = {WM_MBUTTONDOWN, WM_MBUTTONUP, WM_MBUTTONDBLCLK, 0}; return true;
    case SDL_BUTTON_X1: out = {WM_XBUTTONDOWN, WM_XBUTTONUP, WM_XBUTTONDBLCLK, XBUTTON1}; return true;
    case SDL_BUTTON_X2: out = {WM_XBUTTONDOWN, WM_XBUTTONUP, WM_XBUTTONDBLCLK, XBUTTON2}; return true;
    default: return false;
    }
}

u64 wheel_wparam(float notches)
{
    long amount = lroundf(notches * float(WHEEL_DELTA));
    if (amount > 32767)
        amount = 32767;
    if (amount < -32768)
        amount = -32768;
    return u64(u16(i16(amount))) << 16;
}

class SdlWindowSystem final : public IWindowSystem {
  public:
    explicit SdlWindowSystem(Allocator &allocator)
        : _allocator(allocator), _windows(allocator), _pending(allocator), _cursors(allocator)
    {
    }
    ~SdlWindowSystem() override
    {
        for (SdlWindow &w : _windows) {
            SDL_DestroyWindow(w.window);
            delete_with_allocator(_allocator, w.native);
        }
        for (CursorHandle c : _cursors)
            SDL_FreeCursor(reinterpret_cast<SDL_Cursor *>(uintptr_t(c)));
        if (_arrow)
            SDL_FreeCursor(_arrow);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }

    WindowHandle create_window(const WindowDesc &desc) override
    {
        if (desc.parent != 0)
            log_message("window", "child windows are not supported by the SDL backend; creating a top-level window");
        SDL_Window *window = SDL_CreateWindow(desc.title ? desc.title : "", desc.x, desc.y, desc.width, desc.height,
                                              SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE);
        if (!window) {
            log_message("window", "cannot create a window: %s", SDL_GetError());
            return 0;
        }
        WindowHandle handle = SDL_GetWindowID(window);
        _windows.push_back(SdlWindow{handle, window, 0, nullptr});
        SDL_RaiseWindow(window);
        return handle;
    }

    void destroy_window(WindowHandle window) override
    {
        for (u32 i = 0; i < _windows.size(); ++i)
            if (_windows[i].handle == window) {
                SDL_DestroyWindow(_windows[i].window);
                delete_with_allocator(_allocator, _windows[i].native);
                _windows.erase(i);
                break;
            }
        for (u32 i = 0; i < _pending.size();)
            if (_pending[i].window == window)
                _pending.erase(i);
            else
                ++i;
    }

    bool is_window(WindowHandle window) override { return find(window) != nullptr; }

    bool peek_message(WindowHandle window, WindowMessage &out_message) override
    {
        if (take_close_signal() && !_windows.empty())
            _pending.insert(0, WindowMessage{_windows[0].handle, WM_CLOSE, 0, 0, {}});
        for (;;) {
            for (u32 i = 0; i < _pending.size(); ++i)
                if (window == 0 || _pending[i].window == window) {
                    out_message = _pending[i];
                    _pending.erase(i);
                    return true;
                }
            SDL_Event event;
            if (!SDL_PollEvent(&event))
                return false;
            translate(event);
        }
    }

    bool post_message(const WindowMessage &message) override
    {
        if (!find(message.window))
            return false;
        return _pending.push_back(message);
    }

    WindowHandle focus() override
    {
        SDL_Window *focused = SDL_GetKeyboardFocus();
        return focused ? SDL_GetWindowID(focused) : 0;
    }

    void set_focus(WindowHandle window) override
    {
        if (SdlWindow *w = find(window))
            SDL_RaiseWindow(w->window);
    }

    bool is_key_down(u32 virtual_key) override
    {
        int count = 0;
        const u8 *state = SDL_GetKeyboardState(&count);
        auto down = [&](SDL_Scancode s) { return int(s) < count && state[s] != 0; };
        for (const SidedKey &k : sided_keys)
            if (k.vk == virtual_key)
                return down(k.scancode);
        if (virtual_key >= 'A' && virtual_key <= 'Z') {
            SDL_Scancode s = SDL_GetScancodeFromKey(SDL_Keycode('a' + (virtual_key - 'A')));
            return s != SDL_SCANCODE_UNKNOWN && down(s);
        }
        for (const ScancodeKey &k : scancode_keys)
            if (k.vk == virtual_key && down(k.scancode))
                return true;
        return false;
    }

    bool window_rect(WindowHandle window, Rect &out_rect) override
    {
        SdlWindow *w = find(window);
        if (!w)
            return false;
        int x = 0, y = 0, width = 0, height = 0;
        SDL_GetWindowPosition(w->window, &x, &y);
        SDL_GetWindowSize(w->window, &width, &height);
        out_rect = Rect{x, y, x + width, y + height};
        return true;
    }

    NativeWindowRecord *native_window(WindowHandle window) override
    {
        SdlWindow *w = find(window);
        if (!w)
            return nullptr;
        if (!w->native)
            w->native = make_new<NativeWindowRecord>(_allocator);
        if (w->native) {
            int width = 0, height = 0;
            SDL_GetWindowSize(w->window, &width, &height);
            w->native->client_width = u32(width);
            w->native->client_height = u32(height);
            w->native->native_handle = w->window;
        }
        return w->native;
    }

    bool client_size(WindowHandle window, i32 &out_width, i32 &out_height) override
    {
        SdlWindow *w = find(window);
        if (!w)
            return false;
        SDL_GetWindowSize(w->window, &out_width, &out_height);
        return true;
    }

    void set_window_pos(WindowHandle window, i32 x, i32 y, i32 width, i32 height) override
    {
        if (SdlWindow *w = find(window)) {
            SDL_SetWindowPosition(w->window, x, y);
            SDL_SetWindowSize(w->window, width, height);
        }
    }

    void set_window_text(WindowHandle window, const char *title_utf8) override
    {
        if (SdlWindow *w = find(window))
            SDL_SetWindowTitle(w->window, title_utf8 ? title_utf8 : "");
    }

    void show_window(WindowHandle window, ShowCommand command) override
    {
        if (SdlWindow *w = find(window)) {
            if (command == ShowCommand::minimize)
                SDL_MinimizeWindow(w->window);
            else
                SDL_ShowWindow(w->window);
        }
    }

    Rect desktop_work_area() override
    {
        SDL_Rect r{0, 0, 1920, 1080};
        if (SDL_GetDisplayUsableBounds(0, &r) != 0)
            r = SDL_Rect{0, 0, 1920, 1080};
        return Rect{r.x, r.y, r.x + r.w, r.y + r.h};
    }

    bool display_bounds(u32 output, Rect &out_rect) override
    {
        SDL_Rect r{};
        if (output > u32(INT32_MAX) || SDL_GetDisplayBounds(int(output), &r) != 0)
            return false;
        out_rect = Rect{r.x, r.y, r.x + r.w, r.y + r.h};
        return true;
    }

    void show_cursor(bool show) override { SDL_ShowCursor(show ? SDL_ENABLE : SDL_DISABLE); }

    void cursor_pos(i32 &out_x, i32 &out_y) override { SDL_GetGlobalMouseState(&out_x, &out_y); }

    void set_cursor_pos(i32 x, i32 y) override
    {
        SDL_WarpMouseGlobal(x, y);
        _warp_pending = true;
        _warp_x = x;
        _warp_y = y;
    }

    void clip_cursor(const Rect *rect) override
    {
        // Confinement is per window here: the window that holds the focus gets the rectangle.
        for (SdlWindow &w : _windows)
            SDL_SetWindowMouseRect(w.window, nullptr);
        if (!rect)
            return;
        SdlWindow *w = find(focus());
        if (!w)
            return;
        int x = 0, y = 0;
        SDL_GetWindowPosition(w->window, &x, &y);
        SDL_Rect local{rect->left - x, rect->top - y, rect->width(), rect->height()};
        SDL_SetWindowMouseRect(w->window, &local);
    }

    CursorHandle arrow_cursor() override
    {
        if (!_arrow)
            _arrow = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_ARROW);
        return CursorHandle(reinterpret_cast<uintptr_t>(_arrow));
    }

    void set_cursor(WindowHandle window, CursorHandle cursor) override
    {
        SdlWindow *w = find(window);
        if (!w)
            return;
        w->cursor = cursor;
        if (cursor && focus() == window)
            SDL_SetCursor(reinterpret_cast<SDL_Cursor *>(uintptr_t(cursor)));
    }

    CursorHandle create_cursor(u32 width, u32 height, const u8 *pixels, u32 hot_spot_x, u32 hot_spot_y) override
    {
        if (!pixels || width == 0 || height == 0 || width > max_cursor_size || height > max_cursor_size ||
            hot_spot_x >= width || hot_spot_y >= height) {
            log_message("window", "cannot make a cursor of %u x %u pixels with the hot spot at %u, %u", width, height,
                        hot_spot_x, hot_spot_y);
            return 0;
        }
        // SDL wants the rows top-down.
        const u64 pitch = u64(width) * 4;
        Array<u8> flipped(_allocator);
        flipped.resize(u32(pitch * height));
        if (flipped.size() != pitch * height)
            return 0;
        for (u32 row = 0; row < height; ++row)
            memcpy(flipped.data() + row * pitch, pixels + u64(height - 1 - row) * pitch, pitch);
        SDL_Surface *surface = SDL_CreateRGBSurfaceWithFormatFrom(flipped.data(), int(width), int(height), 32,
                                                                  int(pitch), SDL_PIXELFORMAT_BGRA32);
        if (!surface) {
            log_message("window", "cannot make a cursor image: %s", SDL_GetError());
            return 0;
        }
        SDL_Cursor *cursor = SDL_CreateColorCursor(surface, int(hot_spot_x), int(hot_spot_y));
        SDL_FreeSurface(surface);
        if (!cursor) {
            log_message("window", "cannot make a cursor: %s", SDL_GetError());
            return 0;
        }
        CursorHandle handle = CursorHandle(reinterpret_cast<uintptr_t>(cursor));
        _cursors.push_back(handle);
        return handle;
    }

    void destroy_cursor(CursorHandle cursor) override
    {
        if (!_cursors.remove_value(cursor))
            return;
        CursorHandle arrow = arrow_cursor();
        for (SdlWindow &w : _windows)
            if (w.cursor == cursor)
                set_cursor(w.handle, arrow);
        if (SDL_GetCursor() == reinterpret_cast<SDL_Cursor *>(uintptr_t(cursor)))
            SDL_SetCursor(reinterpret_cast<SDL_Cursor *>(uintptr_t(arrow)));
        SDL_FreeCursor(reinterpret_cast<SDL_Cursor *>(uintptr_t(cursor)));
    }

  private:
    struct SdlWindow {
        WindowHandle handle;
        SDL_Window *window;
        CursorHandle cursor;
        NativeWindowRecord *native; // made on first request
    };

    SdlWindow *find(WindowHandle window)
    {
        for (SdlWindow &w : _windows)
            if (w.handle == window)
                return &w;
        return nullptr;
    }

    // Raw motion is the hand's movement only: the jump of the cursor to where the engine
    // put it (re-centring a hidden cursor every frame) must not count as motion.
    bool is_warp_arrival(const SDL_MouseMotionEvent &motion)
    {
        if (!_warp_pending)
            return false;
        SdlWindow *w = find(motion.windowID);
        if (!w)
            return false;
        int wx = 0, wy = 0;
        SDL_GetWindowPosition(w->window, &wx, &wy);
        if (wx + motion.x != _warp_x || wy + motion.y != _warp_y)
            return false;
        _warp_pending = false;
        return true;
    }

    void queue(WindowHandle window, u32 code, u64 wparam, i64 lparam, RawMouse raw = {})
    {
        if (find(window))
            _pending.push_back(WindowMessage{window, code, wparam, lparam, raw});
    }

    void translate(const SDL_Event &event)
    {
        switch (event.type) {
        case SDL_QUIT:
            if (!_windows.empty())
                queue(_windows[0].handle, WM_CLOSE, 0, 0);
            break;
        case SDL_WINDOWEVENT: {
            WindowHandle w = event.window.windowID;
            switch (event.window.event) {
            case SDL_WINDOWEVENT_CLOSE: queue(w, WM_CLOSE, 0, 0); break;
            case SDL_WINDOWEVENT_MOVED: queue(w, WM_MOVE, 0, make_lparam(event.window.data1, event.window.data2)); break;
            case SDL_WINDOWEVENT_SIZE_CHANGED:
                queue(w, WM_SIZE, 0, make_lparam(event.window.data1, event.window.data2));
                break;
            case SDL_WINDOWEVENT_FOCUS_GAINED: queue(w, WM_SETFOCUS, 0, 0); break;
            case SDL_WINDOWEVENT_FOCUS_LOST: queue(w, WM_KILLFOCUS, 0, 0); break;
            case SDL_WINDOWEVENT_EXPOSED: queue(w, WM_PAINT, 0, 0); break;
            default: break;
            }
            break;
        }
        case SDL_KEYDOWN:
        case SDL_KEYUP: {
            bool extended = false;
            u32 key = sdl_virtual_key(event.key.keysym.scancode, event.key.keysym.sym, extended);
            if (key == 0)
                break;
            // Repeat count 1; bit 24 extended; bit 30 previous state; bit 31 transition (up).
            u64 lparam = 1u | (extended ? 1u << 24 : 0u);
            if (event.type == SDL_KEYUP)
                lparam |= (1u << 30) | (1u << 31);
            else if (event.key.repeat)
                lparam |= 1u << 30;
            queue(event.key.windowID, event.type == SDL_KEYDOWN ? WM_KEYDOWN : WM_KEYUP, key, i64(lparam));
            break;
        }
        case SDL_MOUSEMOTION:
            if (event.motion.which == SDL_TOUCH_MOUSEID)
                break;
            queue(event.motion.windowID, WM_MOUSEMOVE, 0, make_lparam(event.motion.x, event.motion.y));
            if (!is_warp_arrival(event.motion))
                queue(event.motion.windowID, WM_INPUT, 0, 0, RawMouse{true, event.motion.xrel, event.motion.yrel});
            break;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP: {
            ButtonMessages m;
            if (event.button.which == SDL_TOUCH_MOUSEID || !button_messages(event.button.button, m))
                break;
            u32 code = m.up;
            if (event.type == SDL_MOUSEBUTTONDOWN)
                code = (event.button.clicks >= 2 && event.button.clicks % 2 == 0) ? m.double_click : m.down;
            queue(event.button.windowID, code, u64(m.xbutton) << 16, make_lparam(event.button.x, event.button.y));
            break;
        }
        case SDL_MOUSEWHEEL: {
            float y = event.wheel.preciseY, x = event.wheel.preciseX;
            if (event.wheel.direction == SDL_MOUSEWHEEL_FLIPPED)
                y = -y, x = -x;
            int mx = 0, my = 0;
            SDL_GetGlobalMouseState(&mx, &my);
            if (y != 0.0f)
                queue(event.wheel.windowID, WM_MOUSEWHEEL, wheel_wparam(y), make_lparam(mx, my));
            if (x != 0.0f)
                queue(event.wheel.windowID, WM_MOUSEHWHEEL, wheel_wparam(x), make_lparam(mx, my));
            break;
        }
        default: break;
        }
    }

    Allocator &_allocator;
    Array<SdlWindow> _windows;
    Array<WindowMessage> _pending;
    Array<CursorHandle> _cursors; // made by create_cursor
    SDL_Cursor *_arrow = nullptr;
    bool _warp_pending = false; // a set_cursor_pos whose motion event has not arrived yet
    i32 _warp_x = 0, _warp_y = 0;
};

} // namespace

u32 sdl_virtual_key(int scancode, int keycode, bool &out_extended)
{
    out_extended = false;
    if (keycode >= 'a' && keycode <= 'z')
        return u32('A' + (keycode - 'a'));
    for (const ScancodeKey &k : scancode_keys)
        if (int(k.scancode) == scancode) {
            out_extended = k.extended;
            return k.vk;
        }
    // Letters of a layout whose symbol is no Latin letter keep their position's letter.
    if (scancode >= SDL_SCANCODE_A && scancode <= SDL_SCANCODE_Z)
        return u32('A' + (scancode - SDL_SCANCODE_A));
    return 0;
}

IWindowSystem *create_sdl_window_system(Allocator &allocator)
{
    // Ctrl-C is ours (close_signal.h): SDL must not turn it into its own quit event.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        log_message("window", "SDL video cannot start: %s", SDL_GetError());
        return nullptr;
    }
    return make_new<SdlWindowSystem>(allocator, allocator);
}

} // namespace tallow::platform
