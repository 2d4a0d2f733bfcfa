// The setup dialog on user32/gdi32: layout at the system DPI, the stencil title
// font from the font bytes, the colours, the list and its selection, and the keys
// and commands that end it with a mode or with none. A second thread looks at the
// dialog and drives it the way the keyboard and the frame do, by posting the
// messages they produce to the focused control or to the dialog.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "host/errors.h"
#include "host/files.h"
#include "host/wide_text_windows.h"
#include "window/setup_dialog.h"
#include "windows/wine.h"

using velk::ModeSize;
using velk::SetupDialog;
using velk::VideoMode;

namespace {

std::vector<uint8_t> FontBytes() {
    return velk::files::ReadAllBytes(std::string(VELK_SOURCE_DIR) +
                                     "\\Artifacts\\Fonts\\velk_stencil\\VelkStencil.ttf");
}

struct Shown {
    HWND dialog = nullptr;
    DWORD thread = 0;
    HWND Focus() const {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(thread, &info);
        return info.hwndFocus;
    }
    HWND Child(int index) const {
        HWND c = GetWindow(dialog, GW_CHILD);
        for (int i = 0; c && i < index; ++i) c = GetWindow(c, GW_HWNDNEXT);
        return c;
    }
    void Key(UINT vk) const {
        HWND to = Focus();
        PostMessageW(to, WM_KEYDOWN, vk, 1);
        PostMessageW(to, WM_KEYUP, vk, 0xC0000001);
    }
};

// This process's dialog window (other test processes may show theirs meanwhile).
HWND OwnDialog() {
    HWND h = nullptr;
    while ((h = FindWindowExW(nullptr, h, L"VelkSetup", L"tovelmark velk"))) {
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        if (pid == GetCurrentProcessId()) return h;
    }
    return nullptr;
}

// Shows the dialog on this thread while `drive` runs on another once the dialog is
// on screen with the focus on the resolution list.
// A Show that raises ends the driver and passes the error on to the test.
std::optional<VideoMode> ShowAndDrive(const std::function<void(const Shown&)>& drive) {
    std::atomic<bool> showEnded{false};
    std::thread driver([&] {
        Shown s;
        for (int i = 0; i < 3000 && !s.dialog && !showEnded; ++i) {
            HWND h = OwnDialog();
            if (h && IsWindowVisible(h)) {
                DWORD thread = GetWindowThreadProcessId(h, nullptr);
                Shown candidate{h, thread};
                if (candidate.Focus() == candidate.Child(2)) s = candidate;
            }
            if (!s.dialog) Sleep(10);
        }
        if (!s.dialog) {
            if (showEnded) return;
            ADD_FAILURE() << "no dialog on screen with the focus on the resolution list";
            if (HWND h = OwnDialog()) PostMessageW(h, WM_CLOSE, 0, 0);  // let Show return
            return;
        }
        drive(s);
    });
    std::optional<VideoMode> result;
    try {
        result = SetupDialog::Show(FontBytes());
    } catch (...) {
        showEnded = true;
        driver.join();
        throw;
    }
    driver.join();
    return result;
}

RECT ClientRectOf(HWND child, HWND parent) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::wstring ClassOf(HWND h) {
    wchar_t name[64] = {};
    GetClassNameW(h, name, 64);
    return name;
}

std::wstring TextOf(HWND h) {
    wchar_t text[128] = {};
    GetWindowTextW(h, text, 128);
    return text;
}

// The colours on screen: the background brown, the buttons' dark brown inside
// their off-white frame.
void ExpectColours(const Shown& d) {
    Sleep(300);
    HDC dc = GetDC(d.dialog);
    EXPECT_EQ(GetPixel(dc, 4, 4), 0x00294C75u);
    RECT quit = ClientRectOf(d.Child(5), d.dialog);
    EXPECT_EQ(GetPixel(dc, quit.left + 5, quit.top + 5), 0x000D1825u);
    EXPECT_EQ(GetPixel(dc, quit.left, quit.top + 5), 0x00EDEEF0u);
    ReleaseDC(d.dialog, dc);
}

std::wstring FaceOf(HFONT font) {
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    SelectObject(dc, old);
    DeleteDC(dc);
    return face;
}

}  // namespace

TEST(Win32SetupDialog, LayoutFontsColoursAndList) {
    int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
    float s = static_cast<float>(GetDpiForSystem()) / 96.0f;
    auto R = [s](float v) { return SetupDialog::R(s, v); };
    std::optional<VideoMode> result = ShowAndDrive([&](const Shown& d) {
        RECT client, outer;
        GetClientRect(d.dialog, &client);
        EXPECT_EQ(client.right, R(340));
        EXPECT_EQ(client.bottom, R(220));
        GetWindowRect(d.dialog, &outer);
        EXPECT_EQ(outer.left, (sw - (outer.right - outer.left)) / 2);
        EXPECT_EQ(outer.top, (sh - (outer.bottom - outer.top)) / 2);
        LONG style = GetWindowLongW(d.dialog, GWL_STYLE);
        EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
                  WS_CAPTION | WS_SYSMENU);
        EXPECT_EQ(GetWindowLongW(d.dialog, GWL_EXSTYLE) & 0x00010001, 0x00010001);

        struct Control {
            const wchar_t* cls;
            const wchar_t* text;
            LONG style;
            float x, y, w, h;
            int id;
        } controls[] = {
            {L"Static", L"TOVELMARK VELK", 0, 24, 18, 292, 42, 0},
            {L"Static", L"Resolution", 0, 24, 70, 292, 20, 0},
            // The combo box hands WS_VSCROLL on to its drop-down list and keeps it out of its own style.
            {L"ComboBox", L"", 0x00010003, 24, 92, 292, 0, 100},
            {L"Button", L"Windowed", 0x00010003, 24, 128, 200, 22, 101},
            {L"Button", L"Start", 0x0001000B, 130, 172, 90, 30, 1},
            {L"Button", L"Quit", 0x0001000B, 226, 172, 90, 30, 2},
        };
        for (int i = 0; i < 6; ++i) {
            const Control& c = controls[i];
            HWND h = d.Child(i);
            ASSERT_NE(h, nullptr) << i;
            EXPECT_EQ(_wcsicmp(ClassOf(h).c_str(), c.cls), 0) << i;
            if (i != 2) {
                EXPECT_EQ(TextOf(h), c.text) << i;
            }
            EXPECT_EQ(GetWindowLongW(h, GWL_STYLE) & (c.style | 0x50000000), c.style | 0x50000000) << i;
            EXPECT_EQ(GetDlgCtrlID(h), c.id) << i;
            RECT r = ClientRectOf(h, d.dialog);
            EXPECT_EQ(r.left, R(c.x)) << i;
            EXPECT_EQ(r.top, R(c.y)) << i;
            EXPECT_EQ(r.right - r.left, R(c.w)) << i;
            if (c.h > 0) {
                EXPECT_EQ(r.bottom - r.top, R(c.h)) << i;
            }
        }
        // No default push button: Enter reaches Start only as IDOK.
        EXPECT_EQ(LOWORD(SendMessageW(d.dialog, DM_GETDEFID, 0, 0)), 0);

        // The title in the stencil face from the font bytes, the rest in the UI font.
        auto title = reinterpret_cast<HFONT>(SendMessageW(d.Child(0), WM_GETFONT, 0, 0));
        auto ui = reinterpret_cast<HFONT>(SendMessageW(d.Child(4), WM_GETFONT, 0, 0));
        LOGFONTW lf{};
        GetObjectW(title, sizeof lf, &lf);
        EXPECT_EQ(lf.lfHeight, -R(27));
        EXPECT_EQ(FaceOf(title), L"Velk Stencil");
        GetObjectW(ui, sizeof lf, &lf);
        EXPECT_EQ(lf.lfHeight, -R(14));
        EXPECT_STREQ(lf.lfFaceName, L"Segoe UI");
        EXPECT_EQ(lf.lfQuality, CLEARTYPE_QUALITY);

        // The list: the mode entries in order, the screen size selected, unchecked box.
        std::vector<ModeSize> modes = SetupDialog::ListVideoModes(sw, sh);
        HWND combo = d.Child(2);
        ASSERT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), static_cast<LRESULT>(modes.size()));
        for (size_t i = 0; i < modes.size(); ++i) {
            wchar_t entry[64] = {};
            SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry));
            EXPECT_EQ(velk::text::Narrow(entry), SetupDialog::EntryText(modes[i].first, modes[i].second));
        }
        EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), SetupDialog::DefaultSelection(modes, sw, sh));
        EXPECT_EQ(SendMessageW(d.Child(3), BM_GETCHECK, 0, 0), BST_UNCHECKED);

        ExpectColours(d);
        d.Key(VK_ESCAPE);
    });
    EXPECT_EQ(result, std::nullopt);
}

// Shown again and again in one process, the dialog looks the same each time: the
// window class keeps nothing of an earlier dialog (whose brushes are deleted).
TEST(Win32SetupDialog, ShownAgainInOneProcessItKeepsItsColours) {
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(testing::Message() << "showing " << i + 1);
        EXPECT_EQ(ShowAndDrive([](const Shown& d) {
                      ExpectColours(d);
                      d.Key(VK_ESCAPE);
                  }),
                  std::nullopt);
    }
}

TEST(Win32SetupDialog, PrivateFontGoesWithTheDialog) {
    VELK_SKIP_UNDER_WINE("RemoveFontMemResourceEx leaves the face installed (the face still resolves)");
    EXPECT_EQ(ShowAndDrive([](const Shown& d) { d.Key(VK_ESCAPE); }), std::nullopt);
    HFONT after = CreateFontW(-27, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Velk Stencil");
    EXPECT_NE(FaceOf(after), L"Velk Stencil");
    DeleteObject(after);
}

TEST(Win32SetupDialog, KeysAndCommandsEndItWithAModeOrNone) {
    int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
    std::vector<ModeSize> modes = SetupDialog::ListVideoModes(sw, sh);
    // The cases pick modes from the list; a screen below 800 pixels wide lists none.
    if (modes.empty()) GTEST_SKIP() << "the " << sw << "x" << sh << " screen offers no mode of 800 pixels or wider";
    int selected = SetupDialog::DefaultSelection(modes, sw, sh);
    VideoMode screen{modes[selected].first, modes[selected].second, false};
    struct Case {
        const char* name;
        std::function<void(const Shown&)> drive;
        std::optional<VideoMode> expected;
    } cases[] = {
        {"Enter", [](const Shown& d) { d.Key(VK_RETURN); }, screen},
        {"Tab, space, Enter",
         [](const Shown& d) {
             d.Key(VK_TAB);
             Sleep(100);
             d.Key(VK_SPACE);
             d.Key(VK_RETURN);
         },
         VideoMode{screen.Width, screen.Height, true}},
        {"last entry, Start clicked",
         [&](const Shown& d) {
             SendMessageW(d.Child(2), CB_SETCURSEL, modes.size() - 1, 0);
             PostMessageW(d.Child(4), BM_CLICK, 0, 0);
         },
         VideoMode{modes.back().first, modes.back().second, false}},
        {"no selection takes entry 0",
         [](const Shown& d) {
             SendMessageW(d.Child(2), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
             PostMessageW(d.dialog, WM_COMMAND, IDOK, 0);
         },
         VideoMode{modes[0].first, modes[0].second, false}},
        {"Escape", [](const Shown& d) { d.Key(VK_ESCAPE); }, std::nullopt},
        {"Quit by Tab and space",
         [](const Shown& d) {
             for (int i = 0; i < 3; ++i) {
                 d.Key(VK_TAB);
                 Sleep(100);
             }
             d.Key(VK_SPACE);
         },
         std::nullopt},
        {"Alt+F4", [](const Shown& d) { PostMessageW(d.dialog, WM_SYSKEYDOWN, VK_F4, 0x20000001); }, std::nullopt},
        {"close box", [](const Shown& d) { PostMessageW(d.dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(ShowAndDrive(c.drive), c.expected) << c.name;
}

namespace {

// Refuses the creation of the dialog's window on this thread while it lives.
class RefuseDialogWindow {
public:
    RefuseDialogWindow()
        : hook_(SetWindowsHookExW(WH_CBT, &RefuseDialogWindow::Hook, nullptr, GetCurrentThreadId())) {}
    ~RefuseDialogWindow() {
        if (hook_) UnhookWindowsHookEx(hook_);
    }
    bool Installed() const { return hook_ != nullptr; }

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
        if (code == HCBT_CREATEWND && ClassOf(reinterpret_cast<HWND>(wParam)) == L"VelkSetup") return 1;
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    HHOOK hook_;
};

}  // namespace

// A dialog whose window cannot be made raises, and its brushes, fonts and private
// font go with it: the window class that it registered holds no brush of it, and on
// Windows the process holds as many GDI objects as before and the stencil face no
// longer resolves.
TEST(Win32SetupDialog, ADialogThatCannotBeShownLeavesNothingBehind) {
    HINSTANCE module = GetModuleHandleW(nullptr);
    UnregisterClassW(L"VelkSetup", module);  // so that this dialog registers the class
    const DWORD objectsBefore = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    {
        RefuseDialogWindow refuse;
        ASSERT_TRUE(refuse.Installed());
        EXPECT_THROW(SetupDialog::Show(FontBytes()), velk::InvalidOperationException);
    }
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    ASSERT_TRUE(GetClassInfoExW(module, L"VelkSetup", &wc));
    EXPECT_EQ(wc.hbrBackground, nullptr);
    UnregisterClassW(L"VelkSetup", module);

    VELK_SKIP_UNDER_WINE(
        "the class was checked; the GDI object count and the private face are not: GetGuiResources is a stub (0) "
        "and the face stays installed after its removal");
    EXPECT_EQ(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), objectsBefore);
    HFONT after = CreateFontW(-27, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Velk Stencil");
    EXPECT_NE(FaceOf(after), L"Velk Stencil");
    DeleteObject(after);
}
