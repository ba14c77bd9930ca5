#include "platform/window/window_headless.h"

#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "platform/d3d11/dxgi_shim.h"
#include "platform/window/close_signal.h"

#include <cstring>

namespace tallow::platform {

const char *to_string(HeadlessCall call)
{
    switch (call) {
    case HeadlessCall::create_window: return "create_window";
    case HeadlessCall::destroy_window: return "destroy_window";
    case HeadlessCall::post_message: return "post_message";
    case HeadlessCall::set_focus: return "set_focus";
    case HeadlessCall::set_window_pos: return "set_window_pos";
    case HeadlessCall::set_window_text: return "set_window_text";
    case HeadlessCall::show_window: return "show_window";
    case HeadlessCall::show_cursor: return "show_cursor";
    case HeadlessCall::set_cursor_pos: return "set_cursor_pos";
    case HeadlessCall::clip_cursor: return "clip_cursor";
    case HeadlessCall::set_cursor: return "set_cursor";
    case HeadlessCall::create_cursor: return "create_cursor";
    case HeadlessCall::destroy_cursor: return "destroy_cursor";
    }
    return "unknown";
}

HeadlessWindowSystem::HeadlessWindowSystem(Allocator &allocator)
    : _allocator(allocator), _windows(allocator), _messages(allocator), _journal(allocator), _cursors(allocator)
{
}

HeadlessWindowSystem::~HeadlessWindowSystem()
{
    for (HeadlessWindow &w : _windows)
        delete_with_allocator(_allocator, w.native);
}

NativeWindowRecord *HeadlessWindowSystem::native_window(WindowHandle window)
{
    HeadlessWindow *w = find(window);
    if (!w)
        return nullptr;
    if (!w->native)
        w->native = make_new<NativeWindowRecord>(_allocator);
    if (w->native) {
        w->native->client_width = u32(w->width);
        w->native->client_height = u32(w->height);
    }
    return w->native;
}

HeadlessWindowSystem::HeadlessWindow *HeadlessWindowSystem::find(WindowHandle window)
{
    if (window == 0)
        return nullptr;
    for (HeadlessWindow &w : _windows)
        if (w.handle == window)
            return &w;
    return nullptr;
}

void HeadlessWindowSystem::record(HeadlessCall call, WindowHandle window, i32 a, i32 b, i32 c, i32 d)
{
    _journal.push_back(HeadlessCallRecord{call, window, a, b, c, d});
}

WindowHandle HeadlessWindowSystem::create_window(const WindowDesc &desc)
{
    if (desc.parent != 0 && !find(desc.parent)) {
        log_message("window", "cannot create a child of window %llu: no such window", (unsigned long long)desc.parent);
        return 0;
    }
    if (desc.width < 0 || desc.height < 0) {
        log_message("window", "cannot create a window of %d x %d pixels", desc.width, desc.height);
        return 0;
    }
    HeadlessWindow w{};
    w.handle = _next_handle++;
    w.parent = desc.parent;
    w.x = desc.x, w.y = desc.y, w.width = desc.width, w.height = desc.height;
    strncpy(w.title, desc.title ? desc.title : "", sizeof(w.title) - 1);
    _windows.push_back(w);
    _focus = w.handle;
    record(HeadlessCall::create_window, w.handle, desc.x, desc.y, desc.width, desc.height);
    return w.handle;
}

void HeadlessWindowSystem::destroy_window(WindowHandle window)
{
    if (!find(window))
        return;
    record(HeadlessCall::destroy_window, window);
    // Children go with their parent, as on the desktop.
    for (u32 i = 0; i < _windows.size();) {
        if (_windows[i].parent == window) {
            destroy_window(_windows[i].handle);
            i = 0;
            continue;
        }
        ++i;
    }
    for (u32 i = 0; i < _windows.size(); ++i)
        if (_windows[i].handle == window) {
            delete_with_allocator(_allocator, _windows[i].native);
            _windows.erase(i);
            break;
        }
    for (u32 i = 0; i < _messages.size();)
        if (_messages[i].window == window)
            _messages.erase(i);
        else
            ++i;
    if (_focus == window)
        _focus = 0;
}

bool HeadlessWindowSystem::is_window(WindowHandle window) { return find(window) != nullptr; }

bool HeadlessWindowSystem::peek_message(WindowHandle window, WindowMessage &out_message)
{
    if (take_close_signal()) {
        for (const HeadlessWindow &w : _windows)
            if (w.parent == 0) {
                _messages.insert(0, WindowMessage{w.handle, WM_CLOSE, 0, 0, {}});
                break;
            }
    }
    for (u32 i = 0; i < _messages.size(); ++i) {
        if (window == 0 || _messages[i].window == window) {
            out_message = _messages[i];
            _messages.erase(i);
            return true;
        }
    }
    return false;
}

bool HeadlessWindowSystem::post_message(const WindowMessage &message)
{
    if (!find(message.window))
        return false;
    record(HeadlessCall::post_message, message.window, i32(message.code));
    return _messages.push_back(message);
}

void HeadlessWindowSystem::set_focus(WindowHandle window)
{
    if (window != 0 && !find(window))
        return;
    _focus = window;
    record(HeadlessCall::set_focus, window);
}

bool HeadlessWindowSystem::window_rect(WindowHandle window, Rect &out_rect)
{
    HeadlessWindow *w = find(window);
    if (!w)
        return false;
    out_rect = Rect{w->x, w->y, w->x + w->width, w->y + w->height};
    return true;
}

bool HeadlessWindowSystem::client_size(WindowHandle window, i32 &out_width, i32 &out_height)
{
    HeadlessWindow *w = find(window);
    if (!w)
        return false;
    out_width = w->width;
    out_height = w->height;
    return true;
}

void HeadlessWindowSystem::set_window_pos(WindowHandle window, i32 x, i32 y, i32 width, i32 height)
{
    HeadlessWindow *w = find(window);
    if (!w)
        return;
    record(HeadlessCall::set_window_pos, window, x, y, width, height);
    bool moved = w->x != x || w->y != y;
    bool sized = w->width != width || w->height != height;
    w->x = x, w->y = y, w->width = width, w->height = height;
    if (moved)
        _messages.push_back(WindowMessage{window, WM_MOVE, 0, make_lparam(x, y), {}});
    if (sized)
        _messages.push_back(WindowMessage{window, WM_SIZE, 0, make_lparam(width, height), {}});
}

void HeadlessWindowSystem::set_window_text(WindowHandle window, const char *title_utf8)
{
    HeadlessWindow *w = find(window);
    if (!w)
        return;
    record(HeadlessCall::set_window_text, window);
    memset(w->title, 0, sizeof(w->title));
    strncpy(w->title, title_utf8 ? title_utf8 : "", sizeof(w->title) - 1);
}

void HeadlessWindowSystem::show_window(WindowHandle window, ShowCommand command)
{
    HeadlessWindow *w = find(window);
    if (!w)
        return;
    record(HeadlessCall::show_window, window, i32(command));
    w->minimized = command == ShowCommand::minimize;
}

void HeadlessWindowSystem::show_cursor(bool show)
{
    record(HeadlessCall::show_cursor, 0, show ? 1 : 0);
    _cursor_visible = show;
}

void HeadlessWindowSystem::cursor_pos(i32 &out_x, i32 &out_y)
{
    out_x = _cursor_x;
    out_y = _cursor_y;
}

void HeadlessWindowSystem::set_cursor_pos(i32 x, i32 y)
{
    record(HeadlessCall::set_cursor_pos, 0, x, y);
    _cursor_x = x;
    _cursor_y = y;
}

void HeadlessWindowSystem::clip_cursor(const Rect *rect)
{
    if (rect) {
        record(HeadlessCall::clip_cursor, 0, rect->left, rect->top, rect->right, rect->bottom);
        _clip = *rect;
        _clipped = true;
    } else {
        record(HeadlessCall::clip_cursor, 0);
        _clipped = false;
    }
}

void HeadlessWindowSystem::set_cursor(WindowHandle window, CursorHandle cursor)
{
    HeadlessWindow *w = find(window);
    if (!w)
        return;
    record(HeadlessCall::set_cursor, window, i32(cursor));
    w->cursor = cursor;
}

CursorHandle HeadlessWindowSystem::create_cursor(u32 width, u32 height, const u8 *pixels, u32 hot_spot_x,
                                                u32 hot_spot_y)
{
    if (!pixels || width == 0 || height == 0 || width > max_cursor_size || height > max_cursor_size ||
        hot_spot_x >= width || hot_spot_y >= height) {
        log_message("window", "cannot make a cursor of %u x %u pixels with the hot spot at %u, %u", width, height,
                    hot_spot_x, hot_spot_y);
        return 0;
    }
    CursorHandle cursor = _next_cursor++;
    _cursors.push_back(cursor);
    record(HeadlessCall::create_cursor, 0, i32(width), i32(height), i32(hot_spot_x), i32(hot_spot_y));
    return cursor;
}

void HeadlessWindowSystem::destroy_cursor(CursorHandle cursor)
{
    if (!_cursors.remove_value(cursor))
        return;
    record(HeadlessCall::destroy_cursor, 0, i32(cursor));
    for (HeadlessWindow &w : _windows)
        if (w.cursor == cursor)
            w.cursor = arrow_cursor_handle;
}

void HeadlessWindowSystem::set_key_down(u32 virtual_key, bool down)
{
    if (virtual_key < 256)
        _keys[virtual_key] = down;
}

CursorHandle HeadlessWindowSystem::window_cursor(WindowHandle window)
{
    HeadlessWindow *w = find(window);
    return w ? w->cursor : 0;
}

const char *HeadlessWindowSystem::window_title(WindowHandle window)
{
    HeadlessWindow *w = find(window);
    return w ? w->title : nullptr;
}

bool HeadlessWindowSystem::is_minimized(WindowHandle window)
{
    HeadlessWindow *w = find(window);
    return w && w->minimized;
}

} // namespace tallow::platform
