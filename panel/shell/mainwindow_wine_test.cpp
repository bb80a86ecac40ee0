// The main window and the message loop under Wine: the whole panel without a MIDI link.
#include "shell/mainwindow.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "timecode/timecodepanel.h"
#include "res/resource.h"
#include "base/resstr.h"
#include "toolkit/panelbuilder.h"
#include "base/settings.h"
#include "toolkit/gdicache.h"

namespace {

int g_closes;
const PanelLinkOps kQuietLink = {
    [] { return true; },
    [] { ++g_closes; },
    [] {},
    [] {},
    [](int32_t) {},
    [](int32_t) {},
    [](int32_t, int32_t, int32_t, int32_t, int32_t) {},
    [](const Timecode&, int32_t, int32_t) {},
    [] {},
    [](HWND) {},
    [] { return int32_t{2}; },
    [](int32_t) {},
};

void DeleteStoredPlacement() {
    HKEY key = OpenSettingsKey();
    if (key) {
        RegDeleteValueA(key, VARLO_VALUE_WINDOWPOS);
        RegCloseKey(key);
    }
}

// Runs the loop's steps until no message is left (or WM_QUIT comes); true when WM_QUIT came.
bool Drain(HWND main) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT)
            return true;
        ProcessLoopMessage(main, &msg);
    }
    return false;
}

std::vector<WPARAM> g_keyCommands;
int g_keyUps;
WNDPROC g_keyProc;
LRESULT CALLBACK KeySpy(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_COMMAND)
        g_keyCommands.push_back(wp);
    if (m == WM_KEYUP && wp == VK_F1)
        ++g_keyUps;
    return CallWindowProcA(g_keyProc, w, m, wp, lp);
}

// A 32-bit memory target of the main window's client size.
struct Canvas {
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ old;
    Canvas(int w, int h) {
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = -h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        void* bits;
        bitmap = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        dc = CreateCompatibleDC(nullptr);
        old = SelectObject(dc, bitmap);
    }
    ~Canvas() {
        SelectObject(dc, old);
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
};

class MainWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetPanelLinkOps(&kQuietLink);
        DeleteStoredPlacement();
        window = CreateMainWindow();
    }
    static void TearDownTestSuite() {
        if (IsWindow(window))
            DestroyWindow(window);
        Drain(nullptr);
    }
    static HWND window;
};
HWND MainWindow::window;

TEST_F(MainWindow, OpensAtTheDefaultSizeWithThePanelAndItsTitle) {
    ASSERT_NE(window, nullptr);
    RECT r;
    GetWindowRect(window, &r);
    EXPECT_EQ(std::make_tuple(r.right - r.left, r.bottom - r.top),
              std::make_tuple(kMainWindowWidth, kMainWindowHeight));
    EXPECT_TRUE(IsWindowVisible(window));
    char title[100];
    GetWindowTextA(window, title, sizeof title);
    EXPECT_STREQ(title, "Korvane Varlo Control");
    EXPECT_NE(GetDlgItem(window, IDC_DISPLAY), nullptr);
    EXPECT_EQ(SendMessageA(window, WM_GETICON, ICON_BIG, 0),
              reinterpret_cast<LRESULT>(ProgramIcon()));
}

TEST_F(MainWindow, NeverSmallerThanThePanelTemplateWithItsFrame) {
    RECT panel, outer, client;
    ASSERT_TRUE(GetPanelTemplateRect(AppInstance(), IDD_PANEL, &panel));
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    SIZE expected{panel.right + (outer.right - outer.left) - client.right,
                  panel.bottom + (outer.bottom - outer.top) - client.bottom};
    MINMAXINFO info{};
    SendMessageA(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(std::make_tuple(info.ptMinTrackSize.x, info.ptMinTrackSize.y),
              std::make_tuple(expected.cx, expected.cy));
    SetWindowPos(window, nullptr, 0, 0, 100, 60, SWP_NOMOVE | SWP_NOZORDER);
    GetWindowRect(window, &outer);
    EXPECT_EQ(std::make_tuple(outer.right - outer.left, outer.bottom - outer.top),
              std::make_tuple(expected.cx, expected.cy));
    SetWindowPos(window, nullptr, 0, 0, kMainWindowWidth, kMainWindowHeight,
                 SWP_NOMOVE | SWP_NOZORDER);
}

TEST_F(MainWindow, F1GoesToTheFocusedKeyAsCommand112AndItsReleaseIsDropped) {
    HWND key = GetDlgItem(window, IDC_LTC_OFF);
    ASSERT_NE(key, nullptr);
    g_keyProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(key, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(KeySpy)));
    g_keyCommands.clear();
    g_keyUps = 0;
    PostMessageA(key, WM_KEYDOWN, VK_F1, 0x003B0001);
    PostMessageA(key, WM_KEYUP, VK_F1, static_cast<LPARAM>(0xC03B0001));
    Drain(window);
    SetWindowLongPtrA(key, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_keyProc));
    ASSERT_EQ(g_keyCommands.size(), 1u);
    EXPECT_EQ(g_keyCommands[0], static_cast<WPARAM>(VK_F1));
    EXPECT_EQ(g_keyUps, 0);
}

TEST_F(MainWindow, EnterInTheStartTimeEditGoesToWriteThroughTheDialogHandling) {
    SetForegroundWindow(window);
    HWND edit = GetDlgItem(window, IDC_START_EDIT);
    SetFocus(edit);
    ASSERT_EQ(GetFocus(), edit);
    SetWindowTextA(edit, "0:0:7:0");
    SendMessageA(edit, EM_SETMODIFY, TRUE, 0);
    PostMessageA(edit, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageA(edit, WM_KEYUP, VK_RETURN, static_cast<LPARAM>(0xC01C0001));
    Drain(window);
    EXPECT_EQ(GetFocus(), GetDlgItem(window, IDC_LTC_WRITE));
    char text[20] = "";
    GetWindowTextA(edit, text, sizeof text);
    EXPECT_STREQ(text, "00:00:07:00"); // committed when the edit lost the focus
}

TEST_F(MainWindow, EraseTilesTheBackgroundAndDrawsTheHiddenLabelsInYellow) {
    RECT client;
    GetClientRect(window, &client);
    Canvas canvas(client.right, client.bottom);
    EXPECT_EQ(SendMessageA(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas.dc), 0), 1);
    // "FPS:" is right-aligned and centred vertically in its rectangle.
    HWND label = GetDlgItem(window, IDC_FPS_LABEL);
    RECT r;
    GetWindowRect(label, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    SIZE text;
    GetTextExtentPoint32A(canvas.dc, "FPS:", 4, &text);
    int yellow = 0;
    RECT ink = {INT32_MAX, INT32_MAX, -1, -1};
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left - text.cx; x < r.right + text.cx; ++x)
            if (GetPixel(canvas.dc, x, y) == RGB(255, 255, 0)) {
                ++yellow;
                ink = {std::min(ink.left, LONG(x)), std::min(ink.top, LONG(y)),
                       std::max(ink.right, LONG(x)), std::max(ink.bottom, LONG(y))};
            }
    EXPECT_GT(yellow, 10);
    // Drawn from the right edge back, centred vertically (not at the top).
    EXPECT_TRUE(ink.left >= r.right - text.cx && ink.right < r.right && ink.top > r.top &&
                ink.bottom < r.bottom - 1);
    // Outside the labels the background tiles show (no yellow in the glass display's area).
    RECT glass;
    GetWindowRect(GetDlgItem(window, IDC_DISPLAY), &glass);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&glass), 2);
    EXPECT_NE(GetPixel(canvas.dc, glass.left + 5, glass.top + 5), RGB(255, 255, 0));
}

TEST_F(MainWindow, EraseWithoutAPanelStillPaintsTheBackground) {
    auto** place = reinterpret_cast<PanelRecord**>(GetWindowLongPtrA(window, GWLP_USERDATA));
    ASSERT_NE(place, nullptr);
    PanelRecord* panel = *place;
    *place = nullptr;
    RECT client;
    GetClientRect(window, &client);
    Canvas canvas(client.right, client.bottom);
    HBITMAP tile = LoadBitmapA(AppInstance(), MAKEINTRESOURCEA(IDB_BACKGROUND));
    HDC tileDc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(tileDc, tile);
    EXPECT_EQ(SendMessageA(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas.dc), 0), 1);
    EXPECT_EQ(GetPixel(canvas.dc, 3, 4), GetPixel(tileDc, 3, 4));
    SelectObject(tileDc, old);
    DeleteDC(tileDc);
    DeleteObject(tile);
    *place = panel;
}

TEST_F(MainWindow, APaletteChangeCausedByTheWindowItselfDoesNotRealiseAgain) {
    HDC screen = GetDC(nullptr);
    bool palette = GetDeviceCaps(screen, RASTERCAPS) & RC_PALETTE;
    ReleaseDC(nullptr, screen);
    if (!palette)
        GTEST_SKIP() << "no palette display";
    ASSERT_NE(SharedPalette.handle, nullptr);
    UpdateWindow(window);
    ValidateRect(window, nullptr);
    SendMessageA(window, WM_PALETTECHANGED, reinterpret_cast<WPARAM>(window), 0);
    RECT update;
    EXPECT_FALSE(GetUpdateRect(window, &update, FALSE));
    // Another window's palette: realised again; an invalidation only when entries changed.
    LRESULT realised = SendMessageA(window, WM_QUERYNEWPALETTE, 0, 0);
    EXPECT_EQ(GetUpdateRect(window, &update, FALSE) != 0, realised != 0);
}

// Last: closing stores the placement and quits; the next window opens where this one was.
TEST_F(MainWindow, ClosingStoresThePlacementAndTheNextStartRestoresIt) {
    SetWindowPos(window, nullptr, 40, 50, 600, 260, SWP_NOZORDER);
    g_closes = 0;
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(g_closes, 1);
    EXPECT_TRUE(Drain(nullptr)); // WM_QUIT
    char stored[100] = "";
    ReadSettingString(VARLO_VALUE_WINDOWPOS, stored, sizeof stored, "");
    EXPECT_NE(stored[0], '\0');

    window = CreateMainWindow();
    ASSERT_NE(window, nullptr);
    RECT r;
    GetWindowRect(window, &r);
    EXPECT_EQ(std::tie(r.left, r.top, r.right, r.bottom), std::make_tuple(40, 50, 640, 310));
}

} // namespace
