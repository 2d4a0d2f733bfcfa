// Demo window on user32 (Windows).
//
// Maps the window one to one onto Win32: class "VelkWindow" (registered once,
// never unregistered), a WS_POPUP covering the primary screen with the cursor
// hidden, or a WS_OVERLAPPEDWINDOW whose outer size AdjustWindowRect computes for
// the requested client size. The window procedure turns WM_SIZE into the client
// size, WM_KEYDOWN into queued virtual-key codes and WM_DESTROY into a zero handle
// and the quit message that ends IsOpen at the next pump; everything else,
// including Alt+F4 and the close box (WM_SYSKEYDOWN, WM_CLOSE), goes to
// DefWindowProcW. The window never draws: the renderer presents into it.
#include <windows.h>

#include "host/errors.h"
#include "host/wide_text_windows.h"
#include "window/window.h"

namespace velk {
namespace {

HWND ToHwnd(gpu::NativeWindow handle) { return reinterpret_cast<HWND>(handle); }

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* w = Window::Current;
    switch (message) {
        case WM_DESTROY:
            if (w) w->Handle = 0;
            PostQuitMessage(0);
            return 0;
        case WM_SIZE:
            if (!w) break;
            w->Width = LOWORD(lParam);
            w->Height = HIWORD(lParam);
            return 0;
        case WM_KEYDOWN:
            if (!w) break;
            w->Keys.push_back(static_cast<int32_t>(static_cast<uint32_t>(wParam)));
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

Window* Window::Current = nullptr;

// Key codes arrive as virtual-key codes already.
int32_t Window::VirtualKeyFor(int32_t platformKey) { return platformKey; }

Window::Window(const std::string& title, int width, int height, bool fullscreen) {
    Keys.clear();
    IsOpen = true;
    Current = this;

    // The manifest has normally set this awareness already; the result is ignored.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);

    HINSTANCE instance = GetModuleHandleW(nullptr);
    HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(WNDCLASSEXW);
    wc.style = 0;
    wc.lpfnWndProc = WindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = instance;
    wc.hIcon = nullptr;
    wc.hCursor = arrow;
    wc.hbrBackground = nullptr;
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = L"VelkWindow";
    wc.hIconSm = nullptr;
    RegisterClassExW(&wc);  // a failed registration shows as a failed creation

    DWORD style;
    int x, y, outerWidth, outerHeight;
    if (fullscreen) {
        style = WS_POPUP;
        x = 0;
        y = 0;
        outerWidth = GetSystemMetrics(SM_CXSCREEN);
        outerHeight = GetSystemMetrics(SM_CYSCREEN);
    } else {
        style = WS_OVERLAPPEDWINDOW;
        x = CW_USEDEFAULT;
        y = CW_USEDEFAULT;
        RECT r{0, 0, width, height};
        AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
        outerWidth = r.right - r.left;
        outerHeight = r.bottom - r.top;
    }

    std::wstring wideTitle = text::Wide(title);
    SetLastError(0);
    HWND hwnd = CreateWindowExW(0, L"VelkWindow", wideTitle.c_str(), style | WS_VISIBLE, x, y, outerWidth,
                                outerHeight, nullptr, nullptr, instance, nullptr);
    DWORD error = GetLastError();
    Handle = reinterpret_cast<gpu::NativeWindow>(hwnd);
    if (!hwnd) throw InvalidOperationException("CreateWindowEx failed: " + std::to_string(error));

    // The real client size, whatever the platform made of the request.
    RECT client{};
    GetClientRect(hwnd, &client);
    Width = client.right;
    Height = client.bottom;

    if (fullscreen) ShowCursor(FALSE);  // hidden for the rest of the run
}

Window::~Window() {
    Dispose();
    if (Current == this) Current = nullptr;
}

void Window::Destroy() {
    if (Handle != 0) DestroyWindow(ToHwnd(Handle));  // WM_DESTROY clears Handle within the call
}

void Window::Dispose() {
    if (Handle != 0) DestroyWindow(ToHwnd(Handle));
}

void Window::PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) IsOpen = false;  // the pump goes on with the rest
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace velk
