#pragma once
// The headless window system: windows, focus, key state and the cursor kept in memory; no
// display. Tests inject messages (`inject`) and read the journal of every call (`journal`).
// It enforces the same rules as the SDL backend: unknown handles are refused, a destroyed
// window's queued messages are dropped, and a child needs a live parent.
//
//   HeadlessWindowSystem ws(allocator);
//   WindowHandle w = ws.create_window(desc);
//   ws.inject({w, WM_LBUTTONDBLCLK, 0, make_lparam(10, 20)});
//   ... pump ...
//   EXPECT_EQ(ws.journal().back().call, HeadlessCall::show_cursor);

#include "foundation/containers/array.h"
#include "platform/window/window_system.h"

namespace tallow::platform {

enum class HeadlessCall : u8 {
    create_window,
    destroy_window,
    post_message,
    set_focus,
    set_window_pos,
    set_window_text,
    show_window,
    show_cursor,
    set_cursor_pos,
    clip_cursor,
    set_cursor,
    create_cursor,
    destroy_cursor,
};

const char *to_string(HeadlessCall call);

/// One journalled call with its arguments (unused ones 0).
struct HeadlessCallRecord {
    HeadlessCall call;
    WindowHandle window;
    i32 a, b, c, d;
};

class HeadlessWindowSystem final : public IWindowSystem {
  public:
    explicit HeadlessWindowSystem(Allocator &allocator);
    ~HeadlessWindowSystem() override;

    // See IWindowSystem
    WindowHandle create_window(const WindowDesc &desc) override;
    void destroy_window(WindowHandle window) override;
    bool is_window(WindowHandle window) override;
    bool peek_message(WindowHandle window, WindowMessage &out_message) override;
    bool post_message(const WindowMessage &message) override;
    WindowHandle focus() override { return _focus; }
    void set_focus(WindowHandle window) override;
    bool is_key_down(u32 virtual_key) override { return virtual_key < 256 && _keys[virtual_key]; }
    bool window_rect(WindowHandle window, Rect &out_rect) override;
    bool client_size(WindowHandle window, i32 &out_width, i32 &out_height) override;
    NativeWindowRecord *native_window(WindowHandle window) override;
    void set_window_pos(WindowHandle window, i32 x, i32 y, i32 width, i32 height) override;
    void set_window_text(WindowHandle window, const char *title_utf8) override;
    void show_window(WindowHandle window, ShowCommand command) override;
    Rect desktop_work_area() override { return _desktop; }
    void show_cursor(bool show) override;
    void cursor_pos(i32 &out_x, i32 &out_y) override;
    void set_cursor_pos(i32 x, i32 y) override;
    void clip_cursor(const Rect *rect) override;
    CursorHandle arrow_cursor() override { return arrow_cursor_handle; }
    void set_cursor(WindowHandle window, CursorHandle cursor) override;
    CursorHandle create_cursor(u32 width, u32 height, const u8 *pixels, u32 hot_spot_x, u32 hot_spot_y) override;
    void destroy_cursor(CursorHandle cursor) override;

    // --- Test controls ------------------------------------------------------------------
    /// Queues a message as the system would deliver it (same rules as post_message).
    bool inject(const WindowMessage &message) { return post_message(message); }
    void set_key_down(u32 virtual_key, bool down);
    /// Moves the cursor without journalling (as the user's hand would).
    void move_cursor(i32 x, i32 y) { _cursor_x = x, _cursor_y = y; }
    void set_desktop_work_area(const Rect &rect) { _desktop = rect; }
    /// Takes the focus away from every window (another program is active).
    void drop_focus() { _focus = 0; }

    const Array<HeadlessCallRecord> &journal() const { return _journal; }
    void clear_journal() { _journal.clear(); }
    bool cursor_visible() const { return _cursor_visible; }
    bool cursor_clipped() const { return _clipped; }
    const Rect &cursor_clip() const { return _clip; }
    CursorHandle window_cursor(WindowHandle window);
    const char *window_title(WindowHandle window);
    bool is_minimized(WindowHandle window);
    u32 queued_message_count() const { return _messages.size(); }
    /// Cursors made by `create_cursor` and not yet destroyed.
    u32 cursor_count() const { return _cursors.size(); }

    static constexpr CursorHandle arrow_cursor_handle = 32512;

  private:
    struct HeadlessWindow {
        WindowHandle handle;
        WindowHandle parent;
        i32 x, y, width, height;
        CursorHandle cursor;
        bool minimized;
        char title[128];
        NativeWindowRecord *native; // made on first request; native handle null
    };
    HeadlessWindow *find(WindowHandle window);
    void record(HeadlessCall call, WindowHandle window, i32 a = 0, i32 b = 0, i32 c = 0, i32 d = 0);

    Allocator &_allocator;
    Array<HeadlessWindow> _windows;
    Array<WindowMessage> _messages;
    Array<HeadlessCallRecord> _journal;
    Array<CursorHandle> _cursors;
    CursorHandle _next_cursor = 0x10000;
    WindowHandle _next_handle = 1;
    WindowHandle _focus = 0;
    bool _keys[256] = {};
    i32 _cursor_x = 0, _cursor_y = 0;
    bool _cursor_visible = true;
    bool _clipped = false;
    Rect _clip;
    Rect _desktop{0, 0, 1920, 1080};
};

} // namespace tallow::platform
