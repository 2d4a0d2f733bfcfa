// Setup dialog on user32 and gdi32 (Windows).
//
// An ordinary top-level window of class "VelkSetup" (not a dialog template), its
// brown background painted on WM_ERASEBKGND, with classic child controls: the
// title in the stencil font, loaded for this process only from the font bytes
// (AddFontMemResourceEx), the "Resolution" label, the resolution combo box, the
// "Windowed" check box, and Start and Quit as owner-drawn buttons in the demo's
// colours. The layout is given in 96-dpi units and scaled once by the system DPI.
// IsDialogMessageW gives the keyboard interface: Tab moves the focus, Enter is
// IDOK (Start), Escape is IDCANCEL (Quit). Quit, Escape, the close box and Alt+F4
// return none; Start returns the selected mode.
//
// Where the platform gives nothing to work with: an empty resolution list makes
// Start return the screen size, windowed; a dialog window that cannot be made
// raises InvalidOperationException.
//
// Differs: the window class carries no background brush. The class stays
// registered for the whole process while each dialog deletes its brushes when it
// ends, so a class brush would be a deleted one from the second dialog on.
#include <windows.h>

#include <algorithm>

#include "host/errors.h"
#include "host/wide_text_windows.h"
#include "window/setup_dialog.h"

namespace velk {
namespace {

constexpr COLORREF kBackgroundColour = 0x00294C75;  // RGB(117, 76, 41)
constexpr COLORREF kButtonColour = 0x000D1825;      // RGB(37, 24, 13)
constexpr COLORREF kTextColour = 0x00EDEEF0;        // RGB(240, 238, 237)
constexpr DWORD kDialogStyle = WS_CAPTION | WS_SYSMENU;                        // 0x00C80000
constexpr DWORD kDialogExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;    // 0x00010001
constexpr int kResolutionComboId = 100;
constexpr int kWindowedCheckBoxId = 101;

// A GDI handle freed by `Free` when its owner goes, or when it takes another.
template <class Handle, auto Free>
class Owned {
public:
    Owned() = default;
    ~Owned() { Reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    void Reset(Handle handle = nullptr) {
        if (handle_) Free(handle_);
        handle_ = handle;
    }
    Handle Get() const { return handle_; }

private:
    Handle handle_ = nullptr;
};
using Brush = Owned<HBRUSH, DeleteObject>;
using Font = Owned<HFONT, DeleteObject>;
using PrivateFont = Owned<HANDLE, RemoveFontMemResourceEx>;  // the font resource made from the bytes

// Owns its brushes, fonts and private font by handles, so that they go with it
// also when showing it fails; Dispose releases them in their documented order.
class Dialog {
public:
    explicit Dialog(const std::vector<uint8_t>& fontBytes);
    void Dispose();
    void Start(HWND hwnd);
    void DrawButton(const DRAWITEMSTRUCT& item) const;

    std::vector<ModeSize> Modes;
    std::optional<VideoMode> Result;
    Brush BackgroundBrush;
    Brush ButtonBrush;
    Brush TextBrush;
    HWND Handle = nullptr;
    HWND ResolutionCombo = nullptr;
    HWND WindowedCheckBox = nullptr;
    Font UiFont;
    Font TitleFont;
    PrivateFont FontResource;
    DWORD CreationError = 0;  // GetLastError of a failed creation of the dialog window

private:
    HWND AddControl(const wchar_t* className, const wchar_t* text, DWORD style, float x, float y, float width,
                    float height, int id, HFONT font);
    int R(float v) const { return SetupDialog::R(scale_, v); }

    HINSTANCE module_ = nullptr;
    float scale_ = 1.0f;
    int32_t screenWidth_ = 0;
    int32_t screenHeight_ = 0;
};

Dialog* Current = nullptr;  // the dialog being shown; the window procedure's only way to it

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Dialog* d = Current;
    switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_DRAWITEM:
            if (!d) break;
            d->DrawButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return 1;
        case WM_COMMAND:
            if (!d) break;
            // The notification code is not looked at: click, keyboard and others act alike.
            if (LOWORD(wParam) == IDOK)
                d->Start(hwnd);
            else if (LOWORD(wParam) == IDCANCEL)
                DestroyWindow(hwnd);  // Result stays none
            return 0;
        case WM_ERASEBKGND: {
            // The class has no background brush: a class outlives every dialog, while
            // the dialog's brushes go with it. The DC's own brush paints the background
            // instead, also before the dialog is reachable (showing it erases at once).
            HDC dc = reinterpret_cast<HDC>(wParam);
            RECT client;
            GetClientRect(hwnd, &client);
            COLORREF previous = SetDCBrushColor(dc, kBackgroundColour);
            FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
            SetDCBrushColor(dc, previous);
            return 1;
        }
        case WM_CTLCOLORSTATIC:
            if (!d) break;
            SetTextColor(reinterpret_cast<HDC>(wParam), kTextColour);
            SetBkColor(reinterpret_cast<HDC>(wParam), kBackgroundColour);
            return reinterpret_cast<LRESULT>(d->BackgroundBrush.Get());
        default:
            break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

Dialog::Dialog(const std::vector<uint8_t>& fontBytes) {
    BackgroundBrush.Reset(CreateSolidBrush(kBackgroundColour));
    ButtonBrush.Reset(CreateSolidBrush(kButtonColour));
    TextBrush.Reset(CreateSolidBrush(kTextColour));

    // The manifest has normally set this awareness already; the result is ignored.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    UINT dpi = GetDpiForSystem();
    scale_ = static_cast<float>(dpi) / 96.0f;

    UiFont.Reset(CreateFontW(-R(14), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI"));
    DWORD installed = 0;
    FontResource.Reset(AddFontMemResourceEx(fontBytes.empty() ? nullptr : const_cast<uint8_t*>(fontBytes.data()),
                                            static_cast<DWORD>(fontBytes.size()), nullptr, &installed));
    TitleFont.Reset(CreateFontW(-R(27), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                DEFAULT_PITCH | FF_DONTCARE, L"Velk Stencil"));

    module_ = GetModuleHandleW(nullptr);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(WNDCLASSEXW);
    wc.style = 0;
    wc.lpfnWndProc = WindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = module_;
    wc.hIcon = nullptr;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = nullptr;  // painted on WM_ERASEBKGND
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = L"VelkSetup";
    wc.hIconSm = nullptr;
    // Registered once per process and never unregistered; a second call fails
    // harmlessly, as the class holds nothing of the dialog that registered it.
    RegisterClassExW(&wc);

    RECT outer{0, 0, R(340), R(220)};
    AdjustWindowRectExForDpi(&outer, kDialogStyle, FALSE, kDialogExStyle, dpi);
    int w = outer.right - outer.left;
    int h = outer.bottom - outer.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;

    // Hidden (no WS_VISIBLE) until the controls and the list are in place.
    Handle = CreateWindowExW(kDialogExStyle, L"VelkSetup", L"tovelmark velk", kDialogStyle, x, y, w, h, nullptr,
                             nullptr, module_, nullptr);
    if (!Handle) {
        CreationError = GetLastError();
        return;
    }

    const HFONT title = TitleFont.Get(), ui = UiFont.Get();
    AddControl(L"STATIC", L"TOVELMARK VELK", SS_LEFT, 24, 18, 292, 42, 0, title);
    AddControl(L"STATIC", L"Resolution", SS_LEFT, 24, 70, 292, 20, 0, ui);
    ResolutionCombo = AddControl(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 24, 92, 292, 260,
                                 kResolutionComboId, ui);
    WindowedCheckBox = AddControl(L"BUTTON", L"Windowed", BS_AUTOCHECKBOX | WS_TABSTOP, 24, 128, 200, 22,
                                  kWindowedCheckBoxId, ui);
    AddControl(L"BUTTON", L"Start", BS_OWNERDRAW | WS_TABSTOP, 130, 172, 90, 30, IDOK, ui);
    AddControl(L"BUTTON", L"Quit", BS_OWNERDRAW | WS_TABSTOP, 226, 172, 90, 30, IDCANCEL, ui);

    screenWidth_ = GetSystemMetrics(SM_CXSCREEN);
    screenHeight_ = GetSystemMetrics(SM_CYSCREEN);
    Modes = SetupDialog::ListVideoModes(screenWidth_, screenHeight_);
    for (const ModeSize& m : Modes) {
        std::wstring entry = text::Wide(SetupDialog::EntryText(m.first, m.second));
        SendMessageW(ResolutionCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
    SendMessageW(ResolutionCombo, CB_SETCURSEL, SetupDialog::DefaultSelection(Modes, screenWidth_, screenHeight_), 0);

    ShowWindow(Handle, SW_SHOW);
    SetForegroundWindow(Handle);
    SetFocus(ResolutionCombo);
}

HWND Dialog::AddControl(const wchar_t* className, const wchar_t* text, DWORD style, float x, float y, float width,
                        float height, int id, HFONT font) {
    HWND child = CreateWindowExW(0, className, text, style | WS_CHILD | WS_VISIBLE, R(x), R(y), R(width), R(height),
                                 Handle, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), module_, nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), 1);
    return child;
}

void Dialog::Start(HWND hwnd) {
    int i = static_cast<int32_t>(SendMessageW(ResolutionCombo, CB_GETCURSEL, 0, 0));
    i = std::max(i, 0);  // no selection (CB_ERR) takes entry 0
    bool windowed = SendMessageW(WindowedCheckBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
    Result = SetupDialog::StartResult(Modes, i, windowed, screenWidth_, screenHeight_);
    DestroyWindow(hwnd);  // WM_DESTROY posts the quit that ends the loop
}

void Dialog::DrawButton(const DRAWITEMSTRUCT& item) const {
    RECT r = item.rcItem;
    HDC dc = item.hDC;
    // A pressed button takes the dialog's background colour.
    FillRect(dc, &r, (item.itemState & ODS_SELECTED) ? BackgroundBrush.Get() : ButtonBrush.Get());
    FrameRect(dc, &r, TextBrush.Get());
    if (item.itemState & ODS_FOCUS) {
        RECT focus{r.left + 3, r.top + 3, r.right - 3, r.bottom - 3};
        DrawFocusRect(dc, &focus);
    }
    wchar_t label[32];
    int n = GetWindowTextW(item.hwndItem, label, 32);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kTextColour);
    DrawTextW(dc, label, n, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

void Dialog::Dispose() {
    UiFont.Reset();
    TitleFont.Reset();
    BackgroundBrush.Reset();
    ButtonBrush.Reset();
    TextBrush.Reset();
    FontResource.Reset();
}

}  // namespace

std::optional<VideoMode> SetupDialog::Show(const std::vector<uint8_t>& fontBytes) {
    Dialog dialog(fontBytes);
    // Nothing would ever end the loop without a window.
    if (!dialog.Handle)
        throw InvalidOperationException("The setup dialog cannot be shown: CreateWindowEx failed: " +
                                        std::to_string(dialog.CreationError));
    Current = &dialog;
    MSG msg;
    // 0 (the quit message) and -1 (an error) both end the loop.
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(dialog.Handle, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    std::optional<VideoMode> result = dialog.Result;
    Current = nullptr;
    dialog.Dispose();
    return result;
}

}  // namespace velk
