#pragma once
// The engine's window layer: top-level and child windows, a per-thread message queue with
// window messages carrying codes and parameters as the engine's window procedure expects
// them, keyboard focus, key state and cursor operations.
//
//   IWindowSystem *ws = create_window_system(allocator, WindowBackend::automatic);
//   WindowHandle w = ws->create_window({"Game", 100, 100, 1280, 720, 0});
//   WindowMessage m;
//   while (ws->peek_message(0, m)) handle(m);   // once per frame
//   destroy_window_system(allocator, ws);
//
// Codes and parameters follow the classic desktop window-message conventions (the `WM_*`
// values below): WM_KEYDOWN's wparam is the virtual-key code and its lparam carries the
// repeat count (bits 0-15), scan code (16-23), extended flag (24) and previous state (30);
// mouse messages pack client x and y as signed 16-bit halves of lparam; the wheel amount is
// the signed high word of wparam in 1/120 notches. WM_INPUT carries a relative mouse motion
// in `raw`. Coordinates are in pixels, screen coordinates for window rectangles and the cursor.
//
// A backend implements every pure operation below. Two exist: SDL2 (`window_sdl.cpp`) and the
// headless one (`window_headless.h`), where tests inject messages and read a journal of
// every call. Window systems are used from the main thread only.
//
// SIGINT and SIGTERM (see close_signal.h) arrive as WM_CLOSE to the first top-level window.

#include "foundation/types.h"

namespace tallow {
class Allocator;
struct NativeWindowRecord; // platform/d3d11/dxgi_shim.h: what a swap chain presents into
}

namespace tallow::platform {

using WindowHandle = u64; // 0 = no window
using CursorHandle = u64; // 0 = no cursor

// Message codes.
constexpr u32 WM_MOVE = 0x0003;
constexpr u32 WM_SIZE = 0x0005;
constexpr u32 WM_SETFOCUS = 0x0007;
constexpr u32 WM_KILLFOCUS = 0x0008;
constexpr u32 WM_PAINT = 0x000F;
constexpr u32 WM_CLOSE = 0x0010;
constexpr u32 WM_SETCURSOR = 0x0020;
constexpr u32 WM_SYNCPAINT = 0x0088;
constexpr u32 WM_INPUT = 0x00FF;
constexpr u32 WM_KEYDOWN = 0x0100;
constexpr u32 WM_KEYUP = 0x0101;
constexpr u32 WM_MOUSEMOVE = 0x0200;
constexpr u32 WM_LBUTTONDOWN = 0x0201;
constexpr u32 WM_LBUTTONUP = 0x0202;
constexpr u32 WM_LBUTTONDBLCLK = 0x0203;
constexpr u32 WM_RBUTTONDOWN = 0x0204;
constexpr u32 WM_RBUTTONUP = 0x0205;
constexpr u32 WM_RBUTTONDBLCLK = 0x0206;
constexpr u32 WM_MBUTTONDOWN = 0x0207;
constexpr u32 WM_MBUTTONUP = 0x0208;
constexpr u32 WM_MBUTTONDBLCLK = 0x0209;
constexpr u32 WM_MOUSEWHEEL = 0x020A;
constexpr u32 WM_XBUTTONDOWN = 0x020B;
constexpr u32 WM_XBUTTONUP = 0x020C;
constexpr u32 WM_XBUTTONDBLCLK = 0x020D;
constexpr u32 WM_MOUSEHWHEEL = 0x020E;
constexpr u32 WM_ENTERSIZEMOVE = 0x0231;
constexpr u32 WM_EXITSIZEMOVE = 0x0232;

constexpr u32 HTCLIENT = 1;   // WM_SETCURSOR's hit-test code (low word of lparam)
constexpr u32 XBUTTON1 = 1;   // high word of wparam of the X-button messages
constexpr u32 XBUTTON2 = 2;
constexpr i32 WHEEL_DELTA = 120; // one wheel notch

/// Relative mouse motion of a WM_INPUT message, in mouse counts.
struct RawMouse {
    bool is_mouse = false;
    i32 dx = 0;
    i32 dy = 0;
};

struct WindowMessage {
    WindowHandle window = 0;
    u32 code = 0;
    u64 wparam = 0;
    i64 lparam = 0;
    RawMouse raw; // WM_INPUT only
};

struct Rect {
    i32 left = 0, top = 0, right = 0, bottom = 0;
    i32 width() const { return right - left; }
    i32 height() const { return bottom - top; }
    bool operator==(const Rect &o) const { return left == o.left && top == o.top && right == o.right && bottom == o.bottom; }
};

/// A window to create: position and client size in pixels. With a parent the window is a
/// child filling the rectangle given inside the parent.
struct WindowDesc {
    const char *title = "Application"; // UTF-8
    i32 x = 0;
    i32 y = 0;
    i32 width = 1280;
    i32 height = 720;
    WindowHandle parent = 0;
};

enum class ShowCommand : u8 { show, minimize };

/// Packs two 16-bit halves as the mouse and size messages do.
constexpr i64 make_lparam(i32 low, i32 high) { return i64(u32(u16(low)) | (u32(u16(high)) << 16)); }
/// The signed 16-bit halves of a packed parameter.
constexpr i32 low_word_signed(i64 value) { return i16(u16(u64(value) & 0xFFFF)); }
constexpr i32 high_word_signed(i64 value) { return i16(u16((u64(value) >> 16) & 0xFFFF)); }

class IWindowSystem {
  public:
    virtual ~IWindowSystem() = default;

    /// Creates a window (shown, focused); 0 on failure (logged).
    virtual WindowHandle create_window(const WindowDesc &desc) = 0;
    /// Destroys a window; unknown handles are ignored.
    virtual void destroy_window(WindowHandle window) = 0;
    /// Whether the handle names a live window.
    virtual bool is_window(WindowHandle window) = 0;

    /// Takes the next queued message for `window` (0: any window); false when none is left.
    virtual bool peek_message(WindowHandle window, WindowMessage &out_message) = 0;
    /// Queues a message behind those already queued; false for an unknown window.
    virtual bool post_message(const WindowMessage &message) = 0;

    /// The window with the keyboard focus, or 0.
    virtual WindowHandle focus() = 0;
    virtual void set_focus(WindowHandle window) = 0;
    /// Whether the key of that virtual-key code is down now.
    virtual bool is_key_down(u32 virtual_key) = 0;

    /// The window's rectangle in screen coordinates.
    virtual bool window_rect(WindowHandle window, Rect &out_rect) = 0;
    /// The client area's size.
    virtual bool client_size(WindowHandle window, i32 &out_width, i32 &out_height) = 0;
    /// The record a swap chain presents into (the Direct3D layer's HWND), its client size
    /// brought up to date by this call. Owned by the window system and valid until the
    /// window is destroyed; null for an unknown window or when memory runs out.
    virtual NativeWindowRecord *native_window(WindowHandle window) = 0;
    /// Moves and sizes a window (client size); raises WM_MOVE and WM_SIZE as a move would.
    virtual void set_window_pos(WindowHandle window, i32 x, i32 y, i32 width, i32 height) = 0;
    virtual void set_window_text(WindowHandle window, const char *title_utf8) = 0;
    virtual void show_window(WindowHandle window, ShowCommand command) = 0;
    /// The desktop's usable area (screen coordinates).
    virtual Rect desktop_work_area() = 0;
    /// The desktop rectangle of display `output` (screen coordinates); false for a display
    /// that does not exist. Without displays of its own a system has output 0, its work area.
    virtual bool display_bounds(u32 output, Rect &out_rect)
    {
        if (output != 0)
            return false;
        out_rect = desktop_work_area();
        return true;
    }

    /// Shows or hides the cursor.
    virtual void show_cursor(bool show) = 0;
    virtual void cursor_pos(i32 &out_x, i32 &out_y) = 0;
    virtual void set_cursor_pos(i32 x, i32 y) = 0;
    /// Confines the cursor to `rect` (screen coordinates); null frees it.
    virtual void clip_cursor(const Rect *rect) = 0;
    /// The system arrow cursor.
    virtual CursorHandle arrow_cursor() = 0;
    /// Makes `cursor` the window's cursor.
    virtual void set_cursor(WindowHandle window, CursorHandle cursor) = 0;
    /// Makes a cursor from a 32-bit image: blue, green, red, alpha bytes per pixel, rows
    /// bottom-up (as cursor resources store them); the hot spot counts from the top-left.
    /// 0 (logged) for an empty or oversized image (over `max_cursor_size`) or a hot spot
    /// outside it.
    virtual CursorHandle create_cursor(u32 width, u32 height, const u8 *pixels, u32 hot_spot_x, u32 hot_spot_y) = 0;
    /// Releases a cursor of `create_cursor`; windows showing it go back to the arrow.
    /// Unknown handles are ignored.
    virtual void destroy_cursor(CursorHandle cursor) = 0;
};

constexpr u32 max_cursor_size = 256; // pixels, either side

enum class WindowBackend : u8 {
    automatic, // SDL2 when it starts, headless otherwise
    sdl,       // SDL2 only; null when it does not start
    headless,
};

/// Makes a window system through `allocator`. Null only when `sdl` was asked for and failed.
IWindowSystem *create_window_system(Allocator &allocator, WindowBackend backend);
void destroy_window_system(Allocator &allocator, IWindowSystem *window_system);

} // namespace tallow::platform
