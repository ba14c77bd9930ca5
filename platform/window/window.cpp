#include "platform/window/window.h"

#include "foundation/log.h"

namespace tallow {

using namespace platform;

namespace {

constexpr f32 wheel_notch_scale = 0.008333334f; // 1/120: one notch is 1.0

bool is_mouse_message(u32 code)
{
    return code == WM_MOUSEMOVE || (code >= WM_LBUTTONDOWN && code <= WM_MOUSEHWHEEL);
}

template <typename T> void remove_object(Array<T> &list, void *object)
{
    for (u32 i = 0; i < list.size();)
        if (list[i].object == object)
            list.erase(i);
        else
            ++i;
}

} // namespace

Window::Window(Allocator &allocator, IWindowSystem &window_system)
    : _system(&window_system), _key_down(allocator), _key_up(allocator), _button_down(allocator),
      _button_up(allocator), _raw_motion(allocator), _wheel(allocator), _cursor(allocator)
{
    _default_cursor = _system->arrow_cursor();
}

Window::~Window()
{
    if (_cursor_clipped)
        _system->clip_cursor(nullptr);
    if (!_cursor_visible)
        _system->show_cursor(true);
    if (_handle)
        _system->destroy_window(_handle);
}

bool Window::create(const char *title_utf8, i32 x, i32 y, i32 width, i32 height)
{
    if (_handle) {
        log_message("window", "the window exists already");
        return false;
    }
    if (x == -1 || y == -1) {
        Rect desktop = _system->desktop_work_area();
        if (x == -1)
            x = desktop.left + (desktop.width() - width) / 2;
        if (y == -1)
            y = desktop.top + (desktop.height() - height) / 2;
    }
    WindowDesc desc;
    desc.title = title_utf8;
    desc.x = x, desc.y = y, desc.width = width, desc.height = height;
    _x = x, _y = y, _width = width, _height = height;
    return finish_create(_system->create_window(desc));
}

bool Window::create_child(WindowHandle parent)
{
    if (_handle) {
        log_message("window", "the window exists already");
        return false;
    }
    i32 width = 0, height = 0;
    if (!_system->client_size(parent, width, height)) {
        log_message("window", "parent window %llu does not exist", (unsigned long long)parent);
        return false;
    }
    WindowDesc desc;
    desc.title = "child";
    desc.x = 0, desc.y = 0, desc.width = width, desc.height = height;
    desc.parent = parent;
    _x = 0, _y = 0, _width = width, _height = height;
    _parent = parent;
    return finish_create(_system->create_window(desc));
}

bool Window::finish_create(WindowHandle handle)
{
    if (!handle) {
        log_message("window", "cannot create the window");
        _parent = 0;
        return false;
    }
    _handle = handle;
    _system->set_focus(handle);
    _system->show_window(handle, ShowCommand::show);
    _system->set_cursor(handle, _default_cursor);
    return true;
}

void Window::update_cursor()
{
    bool focused = _handle != 0 && _system->focus() == _handle;
    if (!_mouse_focus || !focused) {
        _active = false;
        if (!_cursor_visible) {
            _system->show_cursor(true);
            _cursor_visible = true;
        }
        // A clip would hold the cursor while another program has the focus.
        if (_cursor_clipped) {
            _system->clip_cursor(nullptr);
            _cursor_clipped = false;
        }
        return;
    }
    _active = true;
    Rect rect;
    if (_system->window_rect(_handle, rect)) {
        i32 cx = 0, cy = 0;
        _system->cursor_pos(cx, cy);
        bool inside = cx >= rect.left && cx < rect.right && cy >= rect.top && cy < rect.bottom;
        if (!_show_cursor && inside) {
            _system->set_cursor_pos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
        } else if (_clip_cursor) {
            _system->clip_cursor(&rect);
            _cursor_clipped = true;
        }
    }
    if (!_clip_cursor && _cursor_clipped) {
        _system->clip_cursor(nullptr);
        _cursor_clipped = false;
    }
    if (_cursor_visible != _show_cursor) {
        _system->show_cursor(_show_cursor);
        _cursor_visible = _show_cursor;
    }
}

void Window::pump_messages()
{
    if (!_handle)
        return;
    update_cursor();
    WindowMessage message;
    while (_system->peek_message(_handle, message))
        window_proc(message);

    if (_parent) {
        i32 width = 0, height = 0;
        if (!_system->client_size(_parent, width, height)) {
            _close_requested = true;
            return;
        }
        if (width != _width || height != _height) {
            _width = width;
            _height = height;
            _system->set_window_pos(_handle, _x, _y, width, height);
        }
    }
}

void Window::apply_size(i32 width, i32 height)
{
    _width = width;
    _height = height;
    if (_event_listener)
        _event_listener->on_resize(*this, width, height);
}

void Window::raise_button(u32 button, bool down)
{
    auto &list = down ? _button_down : _button_up;
    for (u32 i = 0; i < list.size(); ++i)
        list[i].function(list[i].object, button);
}

void Window::raise_double_click(u32 button)
{
    raise_button(button, true);
    raise_button(button + 5, true);
    raise_button(button + 5, false);
}

void Window::window_proc(const WindowMessage &message)
{
    // Messages of other windows (and everything after the close request) go to the
    // system's default handling, which here means nothing.
    if (!_handle || message.window != _handle || _close_requested)
        return;

    const u32 code = message.code;
    if (!_active && is_mouse_message(code)) {
        if (_parent) {
            WindowMessage forwarded = message;
            forwarded.window = _parent;
            _system->post_message(forwarded);
        }
        return;
    }

    const i64 lparam = message.lparam;
    switch (code) {
    case WM_MOVE:
        _x = low_word_signed(lparam);
        _y = high_word_signed(lparam);
        break;
    case WM_SIZE: {
        i32 width = i32(u64(lparam) & 0xFFFF), height = i32((u64(lparam) >> 16) & 0xFFFF);
        if (_in_size_move) {
            _pending_width = width;
            _pending_height = height;
        } else {
            apply_size(width, height);
        }
        break;
    }
    case WM_ENTERSIZEMOVE:
        _pending_width = _width;
        _pending_height = _height;
        _in_size_move = true;
        break;
    case WM_EXITSIZEMOVE:
        _in_size_move = false;
        if (_pending_width != _width || _pending_height != _height)
            apply_size(_pending_width, _pending_height);
        break;
    case WM_CLOSE: _close_requested = true; break;
    case WM_SETCURSOR: _system->set_cursor(_handle, _custom_cursor ? _custom_cursor : _default_cursor); break;
    case WM_INPUT:
        if (_active && message.raw.is_mouse) {
            WindowVector v{f32(message.raw.dx), f32(message.raw.dy), 0.0f};
            for (u32 i = 0; i < _raw_motion.size(); ++i)
                _raw_motion[i].function(_raw_motion[i].object, v);
        }
        break;
    case WM_KEYDOWN: {
        u32 vk = u32(message.wparam), repeat = u32(u64(lparam) & 0xFFFF);
        u32 high = (u64(lparam) >> 16) & 0xFFFF ? 1u : 0u;
        u32 extended = u32((u64(lparam) >> 24) & 1), previous = u32((u64(lparam) >> 30) & 1);
        for (u32 i = 0; i < _key_down.size(); ++i)
            _key_down[i].function(_key_down[i].object, vk, repeat, high, extended, previous);
        break;
    }
    case WM_KEYUP: {
        u32 vk = u32(message.wparam);
        u32 high = (u64(lparam) >> 16) & 0xFFFF ? 1u : 0u;
        u32 extended = u32((u64(lparam) >> 24) & 1);
        for (u32 i = 0; i < _key_up.size(); ++i)
            _key_up[i].function(_key_up[i].object, vk, high, extended);
        break;
    }
    case WM_MOUSEMOVE: {
        i32 x = low_word_signed(lparam), y = _height - high_word_signed(lparam) - 1;
        for (u32 i = 0; i < _cursor.size(); ++i)
            _cursor[i].function(_cursor[i].object, x, y);
        break;
    }
    case WM_LBUTTONDOWN: raise_button(0, true); break;
    case WM_LBUTTONUP: raise_button(0, false); break;
    case WM_LBUTTONDBLCLK: raise_double_click(0); break;
    case WM_RBUTTONDOWN: raise_button(1, true); break;
    case WM_RBUTTONUP: raise_button(1, false); break;
    case WM_RBUTTONDBLCLK: raise_double_click(1); break;
    case WM_MBUTTONDOWN: raise_button(2, true); break;
    case WM_MBUTTONUP: raise_button(2, false); break;
    case WM_MBUTTONDBLCLK: raise_double_click(2); break;
    case WM_XBUTTONDOWN:
    case WM_XBUTTONUP:
    case WM_XBUTTONDBLCLK: {
        u32 which = u32((message.wparam >> 16) & 0xFFFF);
        if (which != XBUTTON1 && which != XBUTTON2)
            break;
        u32 button = which == XBUTTON1 ? 3 : 4;
        if (code == WM_XBUTTONDBLCLK)
            raise_double_click(button);
        else
            raise_button(button, code == WM_XBUTTONDOWN);
        break;
    }
    case WM_MOUSEWHEEL:
    case WM_MOUSEHWHEEL: {
        f32 delta = f32(i16(u16((message.wparam >> 16) & 0xFFFF))) * wheel_notch_scale;
        WindowVector v = code == WM_MOUSEWHEEL ? WindowVector{0.0f, delta, 0.0f} : WindowVector{delta, 0.0f, 0.0f};
        for (u32 i = 0; i < _wheel.size(); ++i)
            _wheel[i].function(_wheel[i].object, v);
        break;
    }
    default: break; // WM_PAINT, WM_SYNCPAINT and the rest need nothing here
    }
}

void Window::set_title(const char *title_utf8)
{
    if (_handle)
        _system->set_window_text(_handle, title_utf8);
}

void Window::minimize()
{
    if (_handle)
        _system->show_window(_handle, ShowCommand::minimize);
}

void Window::focus()
{
    if (_handle)
        _system->set_focus(_handle);
}

void Window::set_show_cursor(bool show)
{
    if (show == _show_cursor)
        return;
    _show_cursor = show;
    Rect rect;
    if (_handle && _system->window_rect(_handle, rect))
        _system->set_cursor_pos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
}

void Window::set_cursor(CursorHandle cursor)
{
    _custom_cursor = cursor;
    if (_handle)
        _system->post_message(WindowMessage{_handle, WM_SETCURSOR, _handle, make_lparam(HTCLIENT, 0), {}});
}

void Window::set_client_size(i32 width, i32 height, const Rect *area)
{
    Rect desktop = area ? *area : _system->desktop_work_area();
    i32 area_width = desktop.width() < 0 ? -desktop.width() : desktop.width();
    i32 area_height = desktop.height() < 0 ? -desktop.height() : desktop.height();
    _x = desktop.left + (area_width - width) / 2;
    _y = desktop.top + (area_height - height) / 2;
    _width = width;
    _height = height;
    if (_handle)
        _system->set_window_pos(_handle, _x, _y, width, height);
}

void Window::add_key_down_listener(void *object, KeyDownListener function) { _key_down.push_back({object, function}); }
void Window::add_key_up_listener(void *object, KeyUpListener function) { _key_up.push_back({object, function}); }
void Window::add_button_down_listener(void *object, ButtonListener function) { _button_down.push_back({object, function}); }
void Window::add_button_up_listener(void *object, ButtonListener function) { _button_up.push_back({object, function}); }
void Window::add_raw_motion_listener(void *object, VectorListener function) { _raw_motion.push_back({object, function}); }
void Window::add_wheel_listener(void *object, VectorListener function) { _wheel.push_back({object, function}); }
void Window::add_cursor_listener(void *object, CursorListener function) { _cursor.push_back({object, function}); }

void Window::remove_listeners(void *object)
{
    remove_object(_key_down, object);
    remove_object(_key_up, object);
    remove_object(_button_down, object);
    remove_object(_button_up, object);
    remove_object(_raw_motion, object);
    remove_object(_wheel, object);
    remove_object(_cursor, object);
}

u32 Window::listener_count() const
{
    return _key_down.size() + _key_up.size() + _button_down.size() + _button_up.size() + _raw_motion.size() +
           _wheel.size() + _cursor.size();
}

} // namespace tallow
