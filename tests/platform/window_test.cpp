#include "platform/window/window.h"

#include "foundation/memory/memory_globals.h"
#include "platform/window/close_signal.h"
#include "platform/window/window_headless.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

using namespace tallow;
using namespace tallow::platform;

namespace {

// Records every listener call as one line of text.
struct Recorder : IWindowEventListener {
    std::vector<std::string> events;

    void add(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        char line[128];
        va_list args;
        va_start(args, format);
        vsnprintf(line, sizeof(line), format, args);
        va_end(args);
        events.push_back(line);
    }
    void on_resize(Window &, i32 width, i32 height) override { add("resize %d %d", width, height); }

    static void key_down(void *o, u32 vk, u32 repeat, u32 high, u32 ext, u32 prev)
    {
        static_cast<Recorder *>(o)->add("key_down %u %u %u %u %u", vk, repeat, high, ext, prev);
    }
    static void key_up(void *o, u32 vk, u32 high, u32 ext) { static_cast<Recorder *>(o)->add("key_up %u %u %u", vk, high, ext); }
    static void down(void *o, u32 b) { static_cast<Recorder *>(o)->add("down %u", b); }
    static void up(void *o, u32 b) { static_cast<Recorder *>(o)->add("up %u", b); }
    static void motion(void *o, const WindowVector &v) { static_cast<Recorder *>(o)->add("motion %g %g %g", v.x, v.y, v.z); }
    static void wheel(void *o, const WindowVector &v) { static_cast<Recorder *>(o)->add("wheel %g %g %g", v.x, v.y, v.z); }
    static void cursor(void *o, i32 x, i32 y) { static_cast<Recorder *>(o)->add("cursor %d %d", x, y); }
};

std::string joined(const std::vector<std::string> &lines)
{
    std::string s;
    for (const std::string &l : lines)
        s += (s.empty() ? "" : ", ") + l;
    return s;
}

class WindowTest : public testing::Test {
  protected:
    WindowTest() : system(default_allocator()), window(default_allocator(), system) {}

    void SetUp() override
    {
        ASSERT_TRUE(window.create("Test", 100, 50, 1280, 720));
        window.set_event_listener(&recorder);
        window.add_key_down_listener(&recorder, &Recorder::key_down);
        window.add_key_up_listener(&recorder, &Recorder::key_up);
        window.add_button_down_listener(&recorder, &Recorder::down);
        window.add_button_up_listener(&recorder, &Recorder::up);
        window.add_raw_motion_listener(&recorder, &Recorder::motion);
        window.add_wheel_listener(&recorder, &Recorder::wheel);
        window.add_cursor_listener(&recorder, &Recorder::cursor);
        system.move_cursor(0, 0); // outside the window: no re-centring in these tests
    }

    std::string deliver(u32 code, u64 wparam, i64 lparam, RawMouse raw = {})
    {
        recorder.events.clear();
        EXPECT_TRUE(system.inject(WindowMessage{window.handle(), code, wparam, lparam, raw}));
        window.pump_messages();
        return joined(recorder.events);
    }

    HeadlessWindowSystem system;
    Window window;
    Recorder recorder;
};

TEST_F(WindowTest, MessageTranslation)
{
    struct Case {
        const char *name;
        u32 code;
        u64 wparam;
        i64 lparam;
        RawMouse raw;
        const char *expected;
    };
    const u64 x1 = u64(XBUTTON1) << 16, x2 = u64(XBUTTON2) << 16;
    const u64 notch = u64(WHEEL_DELTA) << 16;
    const u64 back_two = u64(u16(i16(-2 * WHEEL_DELTA))) << 16;
    const Case cases[] = {
        {"left down", WM_LBUTTONDOWN, 0, make_lparam(3, 4), {}, "down 0"},
        {"left up", WM_LBUTTONUP, 0, 0, {}, "up 0"},
        {"left double click", WM_LBUTTONDBLCLK, 0, 0, {}, "down 0, down 5, up 5"},
        {"right double click", WM_RBUTTONDBLCLK, 0, 0, {}, "down 1, down 6, up 6"},
        {"middle double click", WM_MBUTTONDBLCLK, 0, 0, {}, "down 2, down 7, up 7"},
        {"x1 down", WM_XBUTTONDOWN, x1, 0, {}, "down 3"},
        {"x2 up", WM_XBUTTONUP, x2, 0, {}, "up 4"},
        {"x1 double click", WM_XBUTTONDBLCLK, x1, 0, {}, "down 3, down 8, up 8"},
        {"x2 double click", WM_XBUTTONDBLCLK, x2, 0, {}, "down 4, down 9, up 9"},
        {"x button of no kind", WM_XBUTTONDOWN, u64(7) << 16, 0, {}, ""},
        {"wheel notch forward", WM_MOUSEWHEEL, notch, 0, {}, "wheel 0 1 0"},
        {"wheel two notches back", WM_MOUSEWHEEL, back_two, 0, {}, "wheel 0 -2 0"},
        {"horizontal notch", WM_MOUSEHWHEEL, notch, 0, {}, "wheel 1 0 0"},
        {"cursor at the top row", WM_MOUSEMOVE, 0, make_lparam(5, 0), {}, "cursor 5 719"},
        {"cursor at the bottom row", WM_MOUSEMOVE, 0, make_lparam(0, 719), {}, "cursor 0 0"},
        {"cursor left of the window", WM_MOUSEMOVE, 0, make_lparam(-3, 10), {}, "cursor -3 709"},
        {"raw motion", WM_INPUT, 0, 0, RawMouse{true, 4, -6}, "motion 4 -6 0"},
        {"raw input of no mouse", WM_INPUT, 0, 0, RawMouse{false, 4, -6}, ""},
        {"key down", WM_KEYDOWN, 'A', 1, {}, "key_down 65 1 0 0 0"},
        {"key down repeated, extended", WM_KEYDOWN, 0x25, i64(3 | (0x4Bu << 16) | (1u << 24) | (1u << 30)), {}, "key_down 37 3 1 1 1"},
        {"key up", WM_KEYUP, 0x11, i64(1 | (1u << 24) | (3u << 30)), {}, "key_up 17 1 1"},
        {"paint needs nothing", WM_PAINT, 0, 0, {}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(deliver(c.code, c.wparam, c.lparam, c.raw), c.expected);
    }
}

TEST_F(WindowTest, InactiveWindowIgnoresMouseButKeepsKeys)
{
    const struct {
        const char *name;
        void (*make_inactive)(HeadlessWindowSystem &, Window &);
    } ways[] = {
        {"no keyboard focus", [](HeadlessWindowSystem &s, Window &) { s.drop_focus(); }},
        {"mouse focus not wanted", [](HeadlessWindowSystem &, Window &w) { w.set_mouse_focus(false); }},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.name);
        window.set_mouse_focus(true);
        window.focus();
        way.make_inactive(system, window);
        EXPECT_EQ(deliver(WM_LBUTTONDBLCLK, 0, 0), "");
        EXPECT_FALSE(window.is_active());
        EXPECT_EQ(deliver(WM_MOUSEMOVE, 0, make_lparam(1, 1)), "");
        EXPECT_EQ(deliver(WM_MOUSEWHEEL, u64(WHEEL_DELTA) << 16, 0), "");
        EXPECT_EQ(deliver(WM_INPUT, 0, 0, RawMouse{true, 1, 1}), "");
        EXPECT_EQ(deliver(WM_KEYDOWN, 'W', 1), "key_down 87 1 0 0 0");
    }
    window.set_mouse_focus(true);
    window.focus();
    EXPECT_EQ(deliver(WM_LBUTTONDOWN, 0, 0), "down 0");
    EXPECT_TRUE(window.is_active());
}

TEST_F(WindowTest, HiddenCursorIsRecentredWhileInsideAndShownWhenInactive)
{
    const i32 cx = 100 + 1280 / 2, cy = 50 + 720 / 2;
    system.move_cursor(300, 200); // inside
    system.clear_journal();
    window.pump_messages();
    EXPECT_FALSE(system.cursor_visible()); // show-cursor is off by default
    i32 x = 0, y = 0;
    system.cursor_pos(x, y);
    EXPECT_EQ(x, cx);
    EXPECT_EQ(y, cy);

    system.move_cursor(310, 210);
    window.pump_messages();
    system.cursor_pos(x, y);
    EXPECT_EQ(x, cx); // put back every frame
    EXPECT_EQ(y, cy);

    system.move_cursor(5000, 10); // outside: left alone
    window.pump_messages();
    system.cursor_pos(x, y);
    EXPECT_EQ(x, 5000);

    system.drop_focus();
    window.pump_messages();
    EXPECT_TRUE(system.cursor_visible());
}

TEST_F(WindowTest, ShownCursorIsClippedOnlyWhileActive)
{
    window.set_show_cursor(true);
    window.set_clip_cursor(true);
    window.pump_messages();
    EXPECT_TRUE(system.cursor_visible());
    ASSERT_TRUE(system.cursor_clipped());
    EXPECT_EQ(system.cursor_clip(), (Rect{100, 50, 1380, 770}));
    system.drop_focus();
    window.pump_messages();
    EXPECT_FALSE(system.cursor_clipped());
}

TEST_F(WindowTest, CloseRequestEndsHandling)
{
    EXPECT_FALSE(window.close_requested());
    deliver(WM_CLOSE, 0, 0);
    EXPECT_TRUE(window.close_requested());
    EXPECT_TRUE(system.is_window(window.handle())); // not destroyed by the message
    EXPECT_EQ(deliver(WM_LBUTTONDOWN, 0, 0), "");
    EXPECT_EQ(deliver(WM_KEYDOWN, 'A', 1), "");
}

TEST_F(WindowTest, SizeMoveReportsOneResizeAtTheEnd)
{
    recorder.events.clear();
    system.inject({window.handle(), WM_ENTERSIZEMOVE, 0, 0, {}});
    system.inject({window.handle(), WM_SIZE, 0, make_lparam(1000, 600), {}});
    system.inject({window.handle(), WM_SIZE, 0, make_lparam(1024, 640), {}});
    system.inject({window.handle(), WM_EXITSIZEMOVE, 0, 0, {}});
    system.inject({window.handle(), WM_MOVE, 0, make_lparam(-20, 30), {}});
    window.pump_messages();
    EXPECT_EQ(joined(recorder.events), "resize 1024 640");
    EXPECT_EQ(window.width(), 1024);
    EXPECT_EQ(window.x(), -20);
    EXPECT_EQ(window.y(), 30);
    EXPECT_EQ(deliver(WM_SIZE, 0, make_lparam(800, 500)), "resize 800 500");
    // A size-move that ends at the starting size reports nothing.
    recorder.events.clear();
    system.inject({window.handle(), WM_ENTERSIZEMOVE, 0, 0, {}});
    system.inject({window.handle(), WM_SIZE, 0, make_lparam(900, 500), {}});
    system.inject({window.handle(), WM_SIZE, 0, make_lparam(800, 500), {}});
    system.inject({window.handle(), WM_EXITSIZEMOVE, 0, 0, {}});
    window.pump_messages();
    EXPECT_EQ(joined(recorder.events), "");
}

TEST_F(WindowTest, CursorChangeTakesEffectAtThePump)
{
    EXPECT_EQ(system.window_cursor(window.handle()), HeadlessWindowSystem::arrow_cursor_handle);
    window.set_cursor(77);
    window.pump_messages();
    EXPECT_EQ(system.window_cursor(window.handle()), 77u);
    window.set_cursor(0);
    window.pump_messages();
    EXPECT_EQ(system.window_cursor(window.handle()), HeadlessWindowSystem::arrow_cursor_handle);
}

TEST_F(WindowTest, ListenersRemovedByObject)
{
    EXPECT_EQ(window.listener_count(), 7u);
    int other = 0;
    window.add_button_down_listener(&other, &Recorder::down);
    window.remove_listeners(&recorder);
    EXPECT_EQ(window.listener_count(), 1u);
    window.remove_listeners(&other);
    EXPECT_EQ(deliver(WM_LBUTTONDOWN, 0, 0), "");
}

TEST_F(WindowTest, ScriptOperations)
{
    window.set_title("Renamed");
    EXPECT_STREQ(system.window_title(window.handle()), "Renamed");
    window.minimize();
    EXPECT_TRUE(system.is_minimized(window.handle()));
    Rect area{0, 0, 1000, 800};
    window.set_client_size(600, 400, &area);
    EXPECT_EQ(window.x(), 200);
    EXPECT_EQ(window.y(), 200);
    EXPECT_EQ(deliver(WM_KEYUP, 'B', 0), "resize 600 400, key_up 66 0 0");
}

TEST(WindowCreate, CentredWhenPositionIsMinusOne)
{
    HeadlessWindowSystem system(default_allocator());
    system.set_desktop_work_area(Rect{0, 40, 1920, 1080});
    Window window(default_allocator(), system);
    ASSERT_TRUE(window.create("T", -1, -1, 1280, 720));
    EXPECT_EQ(window.x(), (1920 - 1280) / 2);
    EXPECT_EQ(window.y(), 40 + (1040 - 720) / 2);
    EXPECT_FALSE(window.create("again", 0, 0, 1, 1));
}

TEST(WindowChild, FollowsTheParentAndClosesWithIt)
{
    HeadlessWindowSystem system(default_allocator());
    WindowHandle parent = system.create_window(WindowDesc{"host", 0, 0, 800, 600, 0});
    Window window(default_allocator(), system);
    ASSERT_TRUE(window.create_child(parent));
    EXPECT_EQ(window.width(), 800);
    EXPECT_EQ(window.parent(), parent);

    // Mouse messages while inactive go to the parent.
    system.drop_focus();
    system.inject({window.handle(), WM_LBUTTONDOWN, 0, make_lparam(1, 2), {}});
    window.pump_messages();
    WindowMessage forwarded;
    ASSERT_TRUE(system.peek_message(parent, forwarded));
    EXPECT_EQ(forwarded.code, WM_LBUTTONDOWN);
    EXPECT_EQ(forwarded.lparam, make_lparam(1, 2));

    system.set_window_pos(parent, 0, 0, 1024, 768);
    window.pump_messages();
    EXPECT_EQ(window.width(), 1024);
    EXPECT_EQ(window.height(), 768);
    EXPECT_FALSE(window.close_requested());

    system.destroy_window(parent);
    window.pump_messages();
    EXPECT_TRUE(window.close_requested());

    Window orphan(default_allocator(), system);
    EXPECT_FALSE(orphan.create_child(parent));
}

TEST(WindowCloseSignal, SigtermBecomesACloseRequest)
{
    HeadlessWindowSystem system(default_allocator());
    Window window(default_allocator(), system);
    ASSERT_TRUE(window.create("T", 0, 0, 64, 64));
    install_close_signal_handlers();
    raise(SIGTERM);
    window.pump_messages();
    EXPECT_TRUE(window.close_requested());
    EXPECT_FALSE(take_close_signal()); // consumed once
    uninstall_close_signal_handlers();
}

} // namespace
