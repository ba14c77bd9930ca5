#include "platform/window/close_signal.h"
#include "platform/window/virtual_keys.h"
#include "platform/window/window_headless.h"
#include "platform/window/window_sdl.h"

#include "foundation/memory/memory_globals.h"

#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

using namespace tallow;
using namespace tallow::platform;

namespace {

TEST(HeadlessWindowSystem, RefusesUnknownHandlesAndDropsMessagesOfDestroyedWindows)
{
    HeadlessWindowSystem ws(default_allocator());
    WindowHandle a = ws.create_window(WindowDesc{"a", 0, 0, 100, 100, 0});
    WindowHandle child = ws.create_window(WindowDesc{"child", 0, 0, 100, 100, a});
    ASSERT_NE(a, 0u);
    ASSERT_NE(child, 0u);
    EXPECT_EQ(ws.create_window(WindowDesc{"orphan", 0, 0, 1, 1, 999}), 0u);
    EXPECT_EQ(ws.focus(), child); // a new window takes the focus

    EXPECT_FALSE(ws.post_message(WindowMessage{999, WM_CLOSE, 0, 0, {}}));
    EXPECT_TRUE(ws.post_message(WindowMessage{child, WM_KEYDOWN, 'A', 1, {}}));
    EXPECT_TRUE(ws.post_message(WindowMessage{a, WM_KEYDOWN, 'B', 1, {}}));

    // Filtered peeks leave other windows' messages queued, in order.
    WindowMessage m;
    ASSERT_TRUE(ws.peek_message(a, m));
    EXPECT_EQ(m.wparam, u64('B'));
    EXPECT_FALSE(ws.peek_message(a, m));
    EXPECT_EQ(ws.queued_message_count(), 1u);

    ws.destroy_window(a); // takes the child and its queue along
    EXPECT_FALSE(ws.is_window(a));
    EXPECT_FALSE(ws.is_window(child));
    EXPECT_EQ(ws.queued_message_count(), 0u);
    EXPECT_EQ(ws.focus(), 0u);
    Rect r;
    EXPECT_FALSE(ws.window_rect(child, r));
    ws.set_window_pos(child, 1, 2, 3, 4); // ignored
    ws.destroy_window(child);             // ignored
}

TEST(HeadlessWindowSystem, JournalsCallsAndRaisesMoveAndSize)
{
    HeadlessWindowSystem ws(default_allocator());
    WindowHandle w = ws.create_window(WindowDesc{"w", 10, 20, 640, 480, 0});
    ws.clear_journal();
    ws.set_window_pos(w, 10, 20, 800, 600); // same place: only WM_SIZE
    ws.show_cursor(false);
    Rect clip{1, 2, 3, 4};
    ws.clip_cursor(&clip);
    ws.clip_cursor(nullptr);
    ASSERT_EQ(ws.journal().size(), 4u);
    EXPECT_EQ(ws.journal()[0].call, HeadlessCall::set_window_pos);
    EXPECT_EQ(ws.journal()[0].c, 800);
    EXPECT_EQ(ws.journal()[1].call, HeadlessCall::show_cursor);
    EXPECT_EQ(ws.journal()[1].a, 0);
    EXPECT_EQ(ws.journal()[2].call, HeadlessCall::clip_cursor);
    EXPECT_EQ(ws.journal()[2].d, 4);
    EXPECT_FALSE(ws.cursor_clipped());
    EXPECT_STREQ(to_string(ws.journal()[3].call), "clip_cursor");

    WindowMessage m;
    ASSERT_TRUE(ws.peek_message(0, m));
    EXPECT_EQ(m.code, WM_SIZE);
    EXPECT_EQ(low_word_signed(m.lparam), 800);
    EXPECT_EQ(high_word_signed(m.lparam), 600);
    EXPECT_FALSE(ws.peek_message(0, m));
}

TEST(HeadlessWindowSystem, CursorsFromImages)
{
    HeadlessWindowSystem ws(default_allocator());
    WindowHandle w = ws.create_window(WindowDesc{"w", 0, 0, 64, 64, 0});
    static u8 pixels[max_cursor_size * (max_cursor_size + 1) * 4];
    struct Case {
        const char *name;
        u32 width, height, hot_x, hot_y;
        const u8 *pixels;
        bool made;
    };
    const Case cases[] = {
        {"small", 32, 32, 0, 0, pixels, true},
        {"hot spot in the corner", 16, 8, 15, 7, pixels, true},
        {"largest", max_cursor_size, max_cursor_size, 1, 1, pixels, true},
        {"empty", 0, 32, 0, 0, pixels, false},
        {"too tall", 32, max_cursor_size + 1, 0, 0, pixels, false},
        {"hot spot outside", 32, 32, 32, 0, pixels, false},
        {"no pixels", 32, 32, 0, 0, nullptr, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CursorHandle cursor = ws.create_cursor(c.width, c.height, c.pixels, c.hot_x, c.hot_y);
        EXPECT_EQ(cursor != 0, c.made);
        if (!cursor)
            continue;
        ws.set_cursor(w, cursor);
        EXPECT_EQ(ws.window_cursor(w), cursor);
        ws.destroy_cursor(cursor);
        EXPECT_EQ(ws.window_cursor(w), HeadlessWindowSystem::arrow_cursor_handle); // back to the arrow
        ws.destroy_cursor(cursor);                                                  // ignored
    }
    EXPECT_EQ(ws.cursor_count(), 0u);
}

TEST(WindowMessageParameters, PackingKeepsSignedHalves)
{
    const struct {
        i32 low, high;
    } cases[] = {{0, 0}, {1280, 720}, {-1, -32768}, {32767, -5}};
    for (const auto &c : cases) {
        i64 p = make_lparam(c.low, c.high);
        EXPECT_EQ(low_word_signed(p), c.low);
        EXPECT_EQ(high_word_signed(p), c.high);
    }
}

TEST(SdlVirtualKeys, Table)
{
    struct Case {
        const char *name;
        int scancode;
        int keycode;
        u32 vk;
        bool extended;
    };
    const Case cases[] = {
        {"letter from the symbol", SDL_SCANCODE_Q, 'a', 'A', false},
        {"letter by position without a Latin symbol", SDL_SCANCODE_W, 0x430, 'W', false},
        {"digit", SDL_SCANCODE_7, '7', '7', false},
        {"escape", SDL_SCANCODE_ESCAPE, SDLK_ESCAPE, vk::escape, false},
        {"left control", SDL_SCANCODE_LCTRL, SDLK_LCTRL, vk::control, false},
        {"right control is extended", SDL_SCANCODE_RCTRL, SDLK_RCTRL, vk::control, true},
        {"right alt is extended", SDL_SCANCODE_RALT, SDLK_RALT, vk::menu, true},
        {"shift", SDL_SCANCODE_RSHIFT, SDLK_RSHIFT, vk::shift, false},
        {"arrow", SDL_SCANCODE_LEFT, SDLK_LEFT, vk::left, true},
        {"numpad enter", SDL_SCANCODE_KP_ENTER, SDLK_KP_ENTER, vk::enter, true},
        {"numpad 5", SDL_SCANCODE_KP_5, SDLK_KP_5, vk::numpad0 + 5, false},
        {"f12", SDL_SCANCODE_F12, SDLK_F12, vk::f1 + 11, false},
        {"semicolon", SDL_SCANCODE_SEMICOLON, ';', vk::oem_1, false},
        {"no key", SDL_SCANCODE_UNKNOWN, 0, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bool extended = !c.extended;
        EXPECT_EQ(sdl_virtual_key(c.scancode, c.keycode, extended), c.vk);
        EXPECT_EQ(extended, c.extended);
    }
}

// The SDL backend on SDL's dummy video driver: real SDL events become window messages.
class SdlWindowSystemTest : public testing::Test {
  protected:
    void SetUp() override
    {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ws = create_window_system(default_allocator(), WindowBackend::sdl);
        ASSERT_NE(ws, nullptr);
        window = ws->create_window(WindowDesc{"sdl test", 0, 0, 320, 200, 0});
        ASSERT_NE(window, 0u);
        WindowMessage m;
        while (ws->peek_message(0, m)) {
        } // what the creation itself raised
    }
    void TearDown() override { destroy_window_system(default_allocator(), ws); }

    std::vector<WindowMessage> push_and_pump(SDL_Event event)
    {
        EXPECT_EQ(SDL_PushEvent(&event), 1);
        std::vector<WindowMessage> out;
        WindowMessage m;
        while (ws->peek_message(window, m))
            out.push_back(m);
        return out;
    }

    IWindowSystem *ws = nullptr;
    WindowHandle window = 0;
};

TEST_F(SdlWindowSystemTest, EventsBecomeMessages)
{
    SDL_Event e{};
    e.type = SDL_MOUSEBUTTONDOWN;
    e.button.windowID = u32(window);
    e.button.button = SDL_BUTTON_LEFT;
    e.button.clicks = 2;
    e.button.x = 7;
    e.button.y = 9;
    auto m = push_and_pump(e);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].code, WM_LBUTTONDBLCLK);
    EXPECT_EQ(m[0].lparam, make_lparam(7, 9));

    e.button.button = SDL_BUTTON_X2;
    e.button.clicks = 1;
    m = push_and_pump(e);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].code, WM_XBUTTONDOWN);
    EXPECT_EQ(m[0].wparam >> 16, u64(XBUTTON2));

    SDL_Event wheel{};
    wheel.type = SDL_MOUSEWHEEL;
    wheel.wheel.windowID = u32(window);
    wheel.wheel.y = -1;
    wheel.wheel.preciseY = -1.0f;
    wheel.wheel.direction = SDL_MOUSEWHEEL_NORMAL;
    m = push_and_pump(wheel);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].code, WM_MOUSEWHEEL);
    EXPECT_EQ(i16(u16(m[0].wparam >> 16)), -WHEEL_DELTA);

    SDL_Event motion{};
    motion.type = SDL_MOUSEMOTION;
    motion.motion.windowID = u32(window);
    motion.motion.x = 30;
    motion.motion.y = 40;
    motion.motion.xrel = 3;
    motion.motion.yrel = -4;
    m = push_and_pump(motion);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].code, WM_MOUSEMOVE);
    EXPECT_EQ(m[0].lparam, make_lparam(30, 40));
    EXPECT_EQ(m[1].code, WM_INPUT);
    EXPECT_TRUE(m[1].raw.is_mouse);
    EXPECT_EQ(m[1].raw.dx, 3);
    EXPECT_EQ(m[1].raw.dy, -4);

    SDL_Event key{};
    key.type = SDL_KEYDOWN;
    key.key.windowID = u32(window);
    key.key.keysym.scancode = SDL_SCANCODE_RCTRL;
    key.key.keysym.sym = SDLK_RCTRL;
    key.key.repeat = 1;
    m = push_and_pump(key);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].code, WM_KEYDOWN);
    EXPECT_EQ(m[0].wparam, u64(vk::control));
    EXPECT_EQ(m[0].lparam & 0xFFFF, 1);
    EXPECT_EQ((m[0].lparam >> 24) & 1, 1);
    EXPECT_EQ((m[0].lparam >> 30) & 1, 1);
    key.type = SDL_KEYUP;
    key.key.repeat = 0;
    m = push_and_pump(key);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].code, WM_KEYUP);
    EXPECT_EQ((m[0].lparam >> 30) & 3, 3);

    SDL_Event close{};
    close.type = SDL_WINDOWEVENT;
    close.window.windowID = u32(window);
    close.window.event = SDL_WINDOWEVENT_CLOSE;
    m = push_and_pump(close);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].code, WM_CLOSE);
}

TEST_F(SdlWindowSystemTest, CursorWarpIsNoRawMotion)
{
    Rect r;
    ASSERT_TRUE(ws->window_rect(window, r));
    ws->set_cursor_pos(r.left + 50, r.top + 60);
    SDL_Event motion{};
    motion.type = SDL_MOUSEMOTION;
    motion.motion.windowID = u32(window);
    motion.motion.x = 50;
    motion.motion.y = 60;
    motion.motion.xrel = 40;
    motion.motion.yrel = 40;
    auto m = push_and_pump(motion);
    ASSERT_EQ(m.size(), 1u); // the arrival of the warp: a cursor move, no raw motion
    EXPECT_EQ(m[0].code, WM_MOUSEMOVE);
    m = push_and_pump(motion); // the hand moving to the same place afterwards is motion
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].code, WM_INPUT);
}

TEST_F(SdlWindowSystemTest, CursorFromImage)
{
    static u8 pixels[16 * 16 * 4];
    EXPECT_EQ(ws->create_cursor(16, 16, pixels, 20, 0), 0u);
    // The dummy driver may not make cursors at all; either way nothing is left behind.
    CursorHandle cursor = ws->create_cursor(16, 16, pixels, 1, 1);
    if (cursor) {
        ws->set_cursor(window, cursor);
        ws->destroy_cursor(cursor);
    }
    ws->destroy_cursor(12345); // unknown: ignored
}

TEST_F(SdlWindowSystemTest, CloseSignalBecomesWmClose)
{
    install_close_signal_handlers();
    raise(SIGINT);
    WindowMessage m;
    ASSERT_TRUE(ws->peek_message(window, m));
    EXPECT_EQ(m.code, WM_CLOSE);
    EXPECT_EQ(m.window, window);
    uninstall_close_signal_handlers();
}

TEST(CloseSignal, OneSignalIsOneRequest)
{
    install_close_signal_handlers();
    raise(SIGTERM);
    EXPECT_TRUE(take_close_signal());
    EXPECT_FALSE(take_close_signal());
    uninstall_close_signal_handlers();
}

TEST(CloseSignalDeathTest, SecondSignalWhileTheRequestIsPendingEndsTheProcess)
{
    // A script stuck in a loop never pumps, so the first request is never taken.
    struct Case {
        int first, second;
    };
    const Case cases[] = {{SIGINT, SIGINT}, {SIGTERM, SIGINT}, {SIGINT, SIGTERM}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.second);
        EXPECT_EXIT(
            {
                install_close_signal_handlers();
                raise(c.first);
                raise(c.second);
                exit(0);
            },
            testing::KilledBySignal(c.second), "");
    }
}

TEST(CloseSignalDeathTest, SignalAfterTheRequestWasTakenEndsTheProcess)
{
    EXPECT_EXIT(
        {
            install_close_signal_handlers();
            raise(SIGTERM); // remembered
            (void)take_close_signal();
            raise(SIGTERM); // the shutdown is stuck: the default action
        },
        testing::KilledBySignal(SIGTERM), "");
}

} // namespace
