// The main window and the message loop (see mainwindow.h).
#include "shell/mainwindow.h"

#include <cstdlib>

#include "display/background.h"
#include "display/glassdisplay.h"
#include "help/helpwindow.h"
#include "timecode/timecodepanel.h"
#include "res/resource.h"
#include "base/resstr.h"
#include "base/settings.h"
#include "toolkit/buttongroup.h"
#include "toolkit/gdicache.h"
#include "toolkit/panelbuilder.h"
#include "toolkit/panelbutton.h"

namespace {

constexpr DWORD kMainStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr LPARAM kKeyWasDown = 1 << 30; // key data: the key was already down
constexpr int kLabelFirst = 9900;
constexpr int kLabelLast = 9999;
constexpr int kLabelTextMax = 100;

HICON g_icon;
RECT g_minTrack; // template rectangle plus frame; empty until the panel is built

// The window's zero-filled block in its user-data slot: the place of its panel record.
PanelRecord** PanelPlace(HWND window) {
    return reinterpret_cast<PanelRecord**>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

PanelRecord* PanelOf(HWND window) {
    PanelRecord** place = PanelPlace(window);
    return place ? *place : nullptr;
}

// Everything the window does not handle itself: the panel's handler, then the default.
LRESULT OtherMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (PanelMessageHandler(window, message, wParam, lParam))
        return 0;
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT OnCreate(HWND window) {
    auto* place = static_cast<PanelRecord**>(calloc(1, sizeof(PanelRecord*)));
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(place));
    LoadBackground(IDB_BACKGROUND);
    RECT panelRect;
    if (place != nullptr && GetPanelTemplateRect(AppInstance(), IDD_PANEL, &panelRect)) {
        RECT outer, client;
        GetWindowRect(window, &outer);
        GetClientRect(window, &client);
        LONG frameWidth = (outer.right - outer.left) - client.right;
        LONG frameHeight = (outer.bottom - outer.top) - client.bottom;
        BuildPanel(window, place, nullptr, AppInstance(), IDD_PANEL);
        g_minTrack = panelRect;
        g_minTrack.right += frameWidth;
        g_minTrack.bottom += frameHeight;
    }
    InitPanelLink(window, g_icon);
    InitTimecodeState(window);
    SetupDisplayFields(window);
    InitButtonGroups(window);
    if (HDC dc = GetDC(window)) { // the class's own device context: kept, not released
        PaletteAddColor(0x400080);
        PaletteAddColor(0x8080C4);
        RebuildPalette(dc);
    }
    return 0;
}

LRESULT OnDestroy(HWND window, WPARAM wParam, LPARAM lParam) {
    LoadBackground(0);
    PanelLink().closeLink();
    PanelLink().setTargetWindow(nullptr);
    free(PanelPlace(window)); // the panel record itself lives as long as the process
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    PostQuitMessage(0);
    return OtherMessage(window, WM_DESTROY, wParam, lParam);
}

LRESULT OnSize(HWND window) {
    LayoutPanel(PanelOf(window));
    return 0;
}

LRESULT OnPaint(HWND window) {
    PAINTSTRUCT ps;
    BeginPaint(window, &ps);
    SelectSharedPalette(ps.hdc);
    EndPaint(window, &ps);
    return 0;
}

LRESULT OnClose(HWND window, WPARAM wParam, LPARAM lParam) {
    StoreWindowPlacement(VARLO_VALUE_WINDOWPOS, window);
    return OtherMessage(window, WM_CLOSE, wParam, lParam);
}

// Draws the texts of the hidden labels (ids 9900-9999) on the background, aligned like a static.
void DrawHiddenLabels(HWND window, const PanelRecord* panel, HDC dc) {
    for (uint32_t i = 0; i < panel->itemCount; ++i) {
        const PanelItem& item = panel->items[i];
        if (item.window == nullptr || item.controlId < kLabelFirst || item.controlId > kLabelLast)
            continue;
        RECT r;
        GetWindowRect(item.window, &r);
        char text[kLabelTextMax + 1] = "";
        int length = GetWindowTextA(item.window, text, sizeof text);
        SIZE extent{};
        GetTextExtentPoint32A(dc, text, length, &extent);
        LONG style = GetWindowLongA(item.window, GWL_STYLE);
        POINT at{r.left, r.top};
        if ((style & 0x0F) == SS_CENTER)
            at.x = r.left + (r.right - r.left - extent.cx) / 2;
        else if ((style & 0x0F) == SS_RIGHT)
            at.x = r.right - extent.cx;
        if (style & SS_CENTERIMAGE)
            at.y = r.top + (r.bottom - r.top - extent.cy) / 2;
        ScreenToClient(window, &at);
        TextOutA(dc, at.x, at.y, text, length);
    }
}

LRESULT OnEraseBackground(HWND window, HDC dc) {
    PanelRecord* panel = PanelOf(window);
    if (panel == nullptr) {
        // No panel (its template could not be read): the background alone, over the system's
        // face colour where no bitmap can be had.
        static PanelRecord bare;
        bare.parent = window;
        bare.backgroundColor = GetSysColor(COLOR_BTNFACE);
        PaintBackground(&bare, dc);
        return 1;
    }
    PaintBackground(panel, dc);
    PanelBackgroundBrush = panel->backgroundBrush;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, 0x00FFFF);
    DrawHiddenLabels(window, panel, dc);
    return 1;
}

LRESULT OnMinMaxInfo(HWND window, WPARAM wParam, LPARAM lParam) {
    auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
    SIZE minimum = MainWindowMinimumSize();
    info->ptMinTrackSize.x = minimum.cx;
    info->ptMinTrackSize.y = minimum.cy;
    return OtherMessage(window, WM_GETMINMAXINFO, wParam, lParam);
}

// WM_QUERYNEWPALETTE, and WM_PALETTECHANGED caused by another window: realises the shared
// palette and answers the number of entries realised. Without a palette (or minimised, or when
// this window changed the palette itself) the message goes on like any other.
LRESULT OnPaletteMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    bool own = message == WM_PALETTECHANGED && reinterpret_cast<HWND>(wParam) == window;
    HDC dc = nullptr;
    if (own || IsIconic(window) || SharedPalette.handle == nullptr ||
        (dc = GetDC(window)) == nullptr)
        return OtherMessage(window, message, wParam, lParam);
    SelectPalette(dc, SharedPalette.handle, FALSE);
    UINT realised = RealizePalette(dc);
    if (realised != 0)
        InvalidateRect(window, nullptr, TRUE);
    return static_cast<LRESULT>(realised);
}

} // namespace

HICON ProgramIcon() {
    return g_icon;
}

void SetProgramIcon(HICON icon) {
    g_icon = icon;
}

SIZE MainWindowMinimumSize() {
    return SIZE{g_minTrack.right - g_minTrack.left, g_minTrack.bottom - g_minTrack.top};
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return OnCreate(window);
        case WM_DESTROY:
            return OnDestroy(window, wParam, lParam);
        case WM_SIZE:
            return OnSize(window);
        case WM_PAINT:
            return OnPaint(window);
        case WM_CLOSE:
            return OnClose(window, wParam, lParam);
        case WM_ERASEBKGND:
            return OnEraseBackground(window, reinterpret_cast<HDC>(wParam));
        case WM_GETMINMAXINFO:
            return OnMinMaxInfo(window, wParam, lParam);
        case WM_QUERYNEWPALETTE:
        case WM_PALETTECHANGED:
            return OnPaletteMessage(window, message, wParam, lParam);
        default:
            return OtherMessage(window, message, wParam, lParam);
    }
}

HWND CreateMainWindow() {
    RegisterAppClass(VARLO_MAIN_CLASS, CS_VREDRAW | CS_HREDRAW, MainWindowProc, 8, IDI_PROGRAM,
                     nullptr, nullptr);
    RegisterPanelControls();
    RegisterDisplayClass(IDR_GLASS_SOUND, IDCUR_GLASS);
    HWND window = CreateWindowExA(0, VARLO_MAIN_CLASS, "Hello !!", kMainStyle, CW_USEDEFAULT,
                                  CW_USEDEFAULT, kMainWindowWidth, kMainWindowHeight, nullptr,
                                  nullptr, AppInstance(), nullptr);
    if (window != nullptr && !RestoreWindowPlacement(VARLO_VALUE_WINDOWPOS, window, SW_SHOW))
        ShowWindow(window, SW_SHOWNORMAL);
    return window;
}

void ProcessLoopMessage(HWND mainWindow, MSG* msg) {
    if (msg->wParam == VK_F1 && msg->message == WM_KEYUP)
        return;
    if (msg->wParam == VK_F1 && msg->message == WM_KEYDOWN) {
        bool repeated = (msg->lParam & kKeyWasDown) != 0; // auto-repeat while F1 is held
        msg->message = WM_COMMAND; // wParam stays 112, for the focused window it was sent to
        TranslateMessage(msg);
        DispatchMessageA(msg);
        if (!repeated)
            ToggleHelpMode(AppHelpWindow()); // each press of F1 switches help mode once
        return;
    }
    if (IsDialogMessageA(mainWindow, msg))
        return;
    TranslateMessage(msg);
    DispatchMessageA(msg);
}

void RunMessageLoop(HWND mainWindow) {
    MSG msg;
    for (;;) {
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            WaitMessage();
            continue;
        }
        if (msg.message == WM_QUIT)
            break;
        ProcessLoopMessage(mainWindow, &msg);
    }
}
