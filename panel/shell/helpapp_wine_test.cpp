// The help window in the program: created hidden with the main window, owned by it, F1 through
// the message loop switches help mode, and the program's help texts show for a key.
#include "help/helpwindow.h"

#include <gtest/gtest.h>

#include <cstring>

#include "timecode/timecodepanel.h"
#include "res/resource.h"
#include "shell/mainwindow.h"
#include "toolkit/gdicache.h"
#include "toolkit/gdicount_wine_test.h"

namespace {

const PanelLinkOps kQuietLink = {
    [] { return true; },
    [] {},
    [] {},
    [] {},
    [](int32_t) {},
    [](int32_t) {},
    [](int32_t, int32_t, int32_t, int32_t, int32_t) {},
    [](const Timecode&, int32_t, int32_t) {},
    [] {},
    [](HWND) {},
    [] { return int32_t{1}; },
    [](int32_t) {},
};

void Drain(HWND main) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        if (msg.message != WM_QUIT)
            ProcessLoopMessage(main, &msg);
}

void PressF1(HWND main, HWND focus) {
    SetFocus(focus);
    PostMessageA(focus, WM_KEYDOWN, VK_F1, 0x003B0001);
    PostMessageA(focus, WM_KEYDOWN, VK_F1, 0x403B0001); // held: one auto-repeat
    PostMessageA(focus, WM_KEYUP, VK_F1, static_cast<LPARAM>(0xC03B0001));
    Drain(main);
}

TEST(HelpInTheProgram, CreatedWithTheMainWindowAndSwitchedByF1) {
    SetPanelLinkOps(&kQuietLink);
    HWND main = CreateMainWindow();
    ASSERT_NE(main, nullptr);
    Drain(main);
    HWND help = AppHelpWindow();
    ASSERT_NE(help, nullptr);
    char name[32] = {};
    GetClassNameA(help, name, sizeof name);
    EXPECT_STREQ(name, "AppToolTipClass");
    EXPECT_EQ(GetWindow(help, GW_OWNER), main);
    EXPECT_FALSE(IsWindowVisible(help));
    EXPECT_TRUE(GetWindowLongA(help, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    KillTimer(help, HELP_TIMER_ID); // the pointer of this machine stays out of the test

    // F1 on a key and on the start-time edit: each press switches help mode.
    HWND read = GetDlgItem(main, IDC_LTC_READ);
    PressF1(main, read);
    EXPECT_FALSE(ToggleHelpMode(help)); // it was on
    PressF1(main, GetDlgItem(main, IDC_START_EDIT));
    EXPECT_FALSE(ToggleHelpMode(help));
    EXPECT_TRUE(ToggleHelpMode(help));

    // Some topic of the program's texts shows (the key under this machine's pointer, or Read).
    SendMessageA(help, HM_SHOWATPOINTER, IDC_LTC_READ, 0);
    ASSERT_TRUE(IsWindowVisible(help));
    RECT client;
    GetClientRect(help, &client);
    UpdateWindow(help);
    HDC dc = GetDC(help);
    EXPECT_EQ(GetPixel(dc, 4, client.bottom - 5), RGB(255, 255, 192)); // the program's services
    ReleaseDC(help, dc);
    ShowWindow(help, SW_HIDE);

    DestroyWindow(main);
    EXPECT_EQ(AppHelpWindow(), nullptr); // owned windows go with their owner
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

TEST(HelpInTheProgram, RunningThePanelLeavesGdiUseFlat) {
    SetPanelLinkOps(&kQuietLink);
    HWND main = CreateMainWindow();
    ASSERT_NE(main, nullptr);
    HWND help = AppHelpWindow();
    KillTimer(help, HELP_TIMER_ID);
    Exercise(main, help, 100, 2); // everything drawn once: the cache holds what it needs
    int entries = CachedObjectCount(), objects = ProcessGdiObjects();
    Exercise(main, help, 10000, 100);
    EXPECT_EQ(CachedObjectCount(), entries);
    EXPECT_EQ(ProcessGdiObjects(), objects);
    DestroyWindow(main);
}

} // namespace
