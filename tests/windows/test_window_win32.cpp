// The demo window on user32: client size, full-screen coverage, the keys queue,
// system keys, the close request and the destroyed/closed states.
#include <windows.h>

#include <gtest/gtest.h>

#include "window/window.h"

using velk::Window;

namespace {

HWND Hwnd(const Window& w) { return reinterpret_cast<HWND>(w.Handle); }

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

// Each case's window is destroyed when the case ends, which posts a quit: taken
// here so that the next case starts with an empty queue.
class Win32Window : public ::testing::Test {
protected:
    void TearDown() override {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
};

}  // namespace

TEST_F(Win32Window, WindowedClientSizeClassAndStyle) {
    Window w("tovelmark velk", 1280, 720, false);
    ASSERT_NE(w.Handle, 0u);
    EXPECT_EQ(Window::Current, &w);
    EXPECT_EQ(w.Width, 1280);
    EXPECT_EQ(w.Height, 720);
    RECT client;
    GetClientRect(Hwnd(w), &client);
    EXPECT_EQ(client.right, 1280);
    EXPECT_EQ(client.bottom, 720);
    EXPECT_EQ(ClassOf(Hwnd(w)), L"VelkWindow");
    wchar_t title[64] = {};
    GetWindowTextW(Hwnd(w), title, 64);
    EXPECT_STREQ(title, L"tovelmark velk");
    LONG style = GetWindowLongW(Hwnd(w), GWL_STYLE);
    EXPECT_EQ(style & (WS_OVERLAPPEDWINDOW | WS_POPUP), WS_OVERLAPPEDWINDOW);
    EXPECT_TRUE(style & WS_VISIBLE);
    EXPECT_EQ(GetWindowLongW(Hwnd(w), GWL_EXSTYLE) & WS_EX_TOPMOST, 0);

    // A resize reaches the fields through WM_SIZE; minimising reports 0 by 0.
    SetWindowPos(Hwnd(w), nullptr, 0, 0, 800, 600, SWP_NOMOVE | SWP_NOZORDER);
    w.PumpMessages();
    GetClientRect(Hwnd(w), &client);
    EXPECT_EQ(w.Width, client.right);
    EXPECT_EQ(w.Height, client.bottom);
    ShowWindow(Hwnd(w), SW_MINIMIZE);
    w.PumpMessages();
    EXPECT_EQ(w.Width, 0);
    EXPECT_EQ(w.Height, 0);
    ShowWindow(Hwnd(w), SW_RESTORE);
    w.PumpMessages();
    EXPECT_EQ(w.Width, client.right);
    EXPECT_EQ(w.Height, client.bottom);
    EXPECT_TRUE(w.IsOpen);
}

TEST_F(Win32Window, FullScreenCoversTheScreenWithoutFrameOrCursor) {
    // The cursor's show count before the window (an earlier full-screen window in
    // this process may have lowered it already): one step down and back up.
    ShowCursor(FALSE);
    const int before = ShowCursor(TRUE);
    Window w("tovelmark velk", 640, 480, true);
    int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_EQ(w.Width, sw);
    EXPECT_EQ(w.Height, sh);
    RECT r;
    GetWindowRect(Hwnd(w), &r);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 0);
    EXPECT_EQ(r.right, sw);
    EXPECT_EQ(r.bottom, sh);
    LONG style = GetWindowLongW(Hwnd(w), GWL_STYLE);
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_FALSE(style & (WS_CAPTION | WS_THICKFRAME));
    // The window lowered the show count by one (below zero, the cursor hidden, in a
    // process that showed it): showing it again brings it back.
    EXPECT_EQ(ShowCursor(TRUE), before);
    ShowCursor(FALSE);
}

TEST_F(Win32Window, KeysQueueInOrderAndSystemKeysAreNotQueued) {
    Window w("tovelmark velk", 320, 240, false);
    HWND h = Hwnd(w);
    // Auto-repeated key-downs too, one code per message; key-ups and characters add nothing.
    PostMessageW(h, WM_KEYDOWN, VK_ESCAPE, 1);
    PostMessageW(h, WM_KEYDOWN, 'A', 1);
    PostMessageW(h, WM_KEYDOWN, 'A', 0x40000001);
    PostMessageW(h, WM_KEYUP, 'A', 0xC0000001);
    PostMessageW(h, WM_CHAR, 'a', 1);
    PostMessageW(h, WM_KEYDOWN, VK_F5, 1);
    w.PumpMessages();
    EXPECT_EQ(w.Keys, (std::deque<int32_t>{27, 'A', 'A', VK_F5}));
    EXPECT_NE(w.Handle, 0u);  // Escape is for the host to act on

    // Alt+F4 is a system key: it closes the window through the default handling.
    w.Keys.clear();
    PostMessageW(h, WM_SYSKEYDOWN, VK_F4, 0x20000001);  // bit 29: Alt held
    w.PumpMessages();
    EXPECT_EQ(w.Handle, 0u);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_TRUE(w.Keys.empty());
    EXPECT_FALSE(w.IsOpen);  // the same pump took the quit message
}

TEST_F(Win32Window, DestroyedThenClosedAtTheNextPump) {
    Window w("tovelmark velk", 320, 240, false);
    HWND h = Hwnd(w);
    w.Destroy();
    EXPECT_EQ(w.Handle, 0u);  // within the call
    EXPECT_FALSE(IsWindow(h));
    EXPECT_TRUE(w.IsOpen);
    w.Dispose();  // nothing left to destroy
    w.Destroy();
    // Several messages with the quit among them: one pump handles them all.
    PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0);
    w.PumpMessages();
    EXPECT_FALSE(w.IsOpen);
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
}

TEST_F(Win32Window, CloseRequestDestroysAndCloses) {
    Window w("tovelmark velk", 320, 240, false);
    PostMessageW(Hwnd(w), WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box and the system menu's Close
    w.PumpMessages();
    EXPECT_EQ(w.Handle, 0u);
    EXPECT_FALSE(w.IsOpen);
    EXPECT_TRUE(w.Keys.empty());
}
