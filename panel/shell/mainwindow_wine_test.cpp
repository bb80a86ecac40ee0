// The main window, the message loop and the program's help window under Wine: the whole panel
// without a MIDI link.
#include "shell/mainwindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "base/resstr.h"
#include "base/settings.h"
#include "base/window_wine_test.h"
#include "help/helpwindow.h"
#include "res/resource.h"
#include "timecode/timecodepanel.h"
#include "toolkit/gdicache.h"
#include "toolkit/panelbuilder.h"

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

// One main window for the cases (the last one closes it and opens the next), its help window's
// timer stopped: the pointer of this machine stays out of the test.
class MainWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetPanelLinkOps(&kQuietLink);
        if (HKEY key = OpenSettingsKey()) {
            RegDeleteValueA(key, VARLO_VALUE_WINDOWPOS);
            RegCloseKey(key);
        }
        window = CreateMainWindow();
        help = AppHelpWindow();
        KillTimer(help, HELP_TIMER_ID);
    }
    static void TearDownTestSuite() {
        if (IsWindow(window))
            DestroyWindow(window);
        Drain(nullptr);
    }
    static LRESULT EraseInto(const MemoryCanvas& canvas) {
        return SendMessageA(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas.dc), 0);
    }
    static inline HWND window, help;
};

TEST_F(MainWindow, OpensAtTheDefaultSizeWithThePanelItsTitleAndTheHiddenHelp) {
    ASSERT_NE(window, nullptr);
    RECT r, panel, outer, client;
    GetWindowRect(window, &r);
    EXPECT_EQ(std::make_tuple(r.right - r.left, r.bottom - r.top),
              std::make_tuple(kMainWindowWidth, kMainWindowHeight));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(WindowText(window), "Korvane Varlo Control");
    EXPECT_NE(GetDlgItem(window, IDC_DISPLAY), nullptr);
    EXPECT_EQ(SendMessageA(window, WM_GETICON, ICON_BIG, 0),
              reinterpret_cast<LRESULT>(ProgramIcon()));
    // The help window: created hidden with the main window, owned by it, a tool window.
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(WindowClass(help), "AppToolTipClass");
    EXPECT_EQ(GetWindow(help, GW_OWNER), window);
    EXPECT_FALSE(IsWindowVisible(help));
    EXPECT_TRUE(GetWindowLongA(help, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    // A topic of the program's own help texts shows.
    SendMessageA(help, HM_SHOWATPOINTER, IDC_LTC_READ, 0);
    EXPECT_TRUE(IsWindowVisible(help));
    SendMessageA(help, HM_HIDE, 0, 0);

    // Never smaller than the panel template with its frame.
    ASSERT_TRUE(GetPanelTemplateRect(AppInstance(), IDD_PANEL, &panel));
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    SIZE expected{panel.right + (outer.right - outer.left) - client.right,
                  panel.bottom + (outer.bottom - outer.top) - client.bottom};
    MINMAXINFO info{};
    SendMessageA(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(std::make_tuple(info.ptMinTrackSize.x, info.ptMinTrackSize.y),
              std::make_tuple(expected.cx, expected.cy));
}

// Each press switches help mode once; the auto-repeat while held reaches the key too.
TEST_F(MainWindow, F1GoesToTheFocusedKeyOncePerPressEnterInTheEditGoesToWrite) {
    HWND key = GetDlgItem(window, IDC_LTC_OFF);
    ASSERT_NE(key, nullptr);
    g_keyProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(key, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(KeySpy)));
    g_keyCommands.clear();
    g_keyUps = 0;
    PostMessageA(key, WM_KEYDOWN, VK_F1, 0x003B0001);
    PostMessageA(key, WM_KEYDOWN, VK_F1, 0x403B0001); // held: one auto-repeat
    PostMessageA(key, WM_KEYUP, VK_F1, static_cast<LPARAM>(0xC03B0001));
    Drain(window);
    SetWindowLongPtrA(key, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_keyProc));
    EXPECT_EQ(g_keyCommands, (std::vector<WPARAM>{VK_F1, VK_F1}));
    EXPECT_EQ(g_keyUps, 0);
    EXPECT_FALSE(ToggleHelpMode(help)); // it was on: switched once, not twice

    // Enter in the start time edit goes to Write through the dialog handling.
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
    EXPECT_EQ(WindowText(edit), "00:00:07:00"); // committed when the edit lost the focus
}

TEST_F(MainWindow, EraseTilesTheBackgroundAndDrawsTheHiddenLabelsInYellow) {
    MemoryCanvas canvas(window);
    EXPECT_EQ(EraseInto(canvas), 1);
    // "FPS:" is right-aligned and centred vertically in its rectangle.
    RECT r = PlaceInParent(GetDlgItem(window, IDC_FPS_LABEL));
    SIZE text;
    GetTextExtentPoint32A(canvas.dc, "FPS:", 4, &text);
    int yellow = 0;
    RECT ink = {INT32_MAX, INT32_MAX, -1, -1};
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left - text.cx; x < r.right + text.cx; ++x)
            if (canvas.At(x, y) == RGB(255, 255, 0)) {
                ++yellow;
                ink = {std::min(ink.left, LONG(x)), std::min(ink.top, LONG(y)),
                       std::max(ink.right, LONG(x)), std::max(ink.bottom, LONG(y))};
            }
    EXPECT_GT(yellow, 10);
    // Drawn from the right edge back, centred vertically (not at the top).
    EXPECT_TRUE(ink.left >= r.right - text.cx && ink.right < r.right && ink.top > r.top &&
                ink.bottom < r.bottom - 1);
    // Outside the labels the background tiles show (no yellow in the glass display's area).
    RECT glass = PlaceInParent(GetDlgItem(window, IDC_DISPLAY));
    EXPECT_NE(canvas.At(glass.left + 5, glass.top + 5), RGB(255, 255, 0));

    // Without a panel the tiles still show.
    auto** place = reinterpret_cast<PanelRecord**>(GetWindowLongPtrA(window, GWLP_USERDATA));
    ASSERT_NE(place, nullptr);
    PanelRecord* panel = *place;
    *place = nullptr;
    MemoryCanvas bare(window);
    EXPECT_EQ(EraseInto(bare), 1);
    *place = panel;
    EXPECT_EQ(bare.At(3, 4), canvas.At(3, 4)); // the tiles drawn with the panel
}

TEST_F(MainWindow, APaletteChangeCausedByTheWindowItselfDoesNotRealiseAgain) {
    if (!PaletteDisplay())
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

// One round of what a running panel does: timecode updates shown, a resize, and a help topic
// shown and closed `helps` times.
void Exercise(HWND main, HWND help, int updates, int helps) {
    for (int i = 0; i < updates; ++i) {
        uint32_t time = 1u << 29 | (i / 1500 % 60) << 16 | (i / 25 % 60) << 8 | i % 25;
        SendMessageA(main, PM_MTC_TIME, 0, time);
        if (i % 50 == 0)
            UpdateWindow(main);
    }
    RECT r;
    GetWindowRect(main, &r);
    for (int grow : {40, 0}) { // larger, and back
        SetWindowPos(main, nullptr, 0, 0, r.right - r.left + grow, r.bottom - r.top + grow,
                     SWP_NOMOVE | SWP_NOZORDER);
        UpdateWindow(main);
    }
    for (int i = 0; i < helps; ++i) {
        SendMessageA(help, HM_SHOWATPOINTER, IDC_LTC_READ, 0);
        UpdateWindow(help);
        SendMessageA(help, HM_HIDE, 0, 0);
    }
    Drain(main);
}

TEST_F(MainWindow, RunningThePanelLeavesGdiUseFlat) {
    Exercise(window, help, 100, 2); // everything drawn once: the cache holds what it needs
    int entries = CachedObjectCount(), objects = ProcessGdiObjects();
    Exercise(window, help, 10000, 100);
    EXPECT_EQ(CachedObjectCount(), entries);
    EXPECT_EQ(ProcessGdiObjects(), objects);
}

// Last: closing stores the placement and quits, the help window going with its owner; the next
// window opens where this one was.
TEST_F(MainWindow, ClosingStoresThePlacementAndTheNextStartRestoresIt) {
    SetWindowPos(window, nullptr, 40, 50, 600, 260, SWP_NOZORDER);
    g_closes = 0;
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(AppHelpWindow(), nullptr);
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
