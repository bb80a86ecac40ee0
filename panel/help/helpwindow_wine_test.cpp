// The help window under Wine: real windows on the X display, a fake pointer, ticks sent by hand
// (the window's own timer is stopped), pixels read back from the window.
#include "help/helpwindow.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "base/window_wine_test.h"

namespace {

// ---- Services: the program's, with a fake pointer and the help text of the test ----

POINT g_pointer{0, 0};
std::string g_helpText;
int g_mismatches;
HelpBlockCache g_blocks{nullptr};

const HelpServices kTestServices = [] {
    HelpServices s = AppHelpServices;
    s.cursorPos = [](POINT* p) -> BOOL {
        *p = g_pointer;
        return TRUE;
    };
    s.helpText = [](uint16_t id, const uint8_t** data, size_t* size) {
        if (id != 29001 || g_helpText.empty())
            return false;
        *data = reinterpret_cast<const uint8_t*>(g_helpText.data());
        *size = g_helpText.size();
        return true;
    };
    s.reportMismatch = [] { ++g_mismatches; };
    s.blocks = &g_blocks;
    return s;
}();

// ---- The owner: a top-level window with keys ----

std::vector<WPARAM> g_commands;
RECT g_regionRect{0, 0, 0, 0}; // what the region control answers to HM_QUERYHELP

LRESULT CALLBACK OwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND)
        g_commands.push_back(wParam);
    if (message == HM_GETCOLOR)
        return wParam == 7 ? RGB(0, 255, 0) : RGB(0, 0, 0);
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK RegionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == HM_QUERYHELP) {
        auto* query = reinterpret_cast<HelpQuery*>(lParam);
        query->topic = 3000;
        query->context = 77;
        std::tie(query->left, query->top, query->right, query->bottom) =
            std::tie(g_regionRect.left, g_regionRect.top, g_regionRect.right, g_regionRect.bottom);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

const char kHelp[] = "@Default:\r\n"
                     "{B0,0,128;T255,255,255;F,B;PT*;B255,255,192;T0,0,0;F,N;*;T0,0,255;P1*;T*}\r\n"
                     "@1010:\r\n"
                     "{B0,0,0}WWWW\r\n"
                     "@1011:\"Read\"\r\n"
                     "{N2001:Next}\r\n"
                     "{C1013:Write it}\r\n"
                     "{C1:close}\r\n"
                     "{C2:back}\r\n"
                     "{C3:home}\r\n"
                     "{T@7}green\r\n"
                     "@2001:\"One\"\r\n"
                     "one\r\n"
                     "@3000:\r\n"
                     "region\r\n"
                     "@1005:\"Home\"\r\n"
                     "{N1011:Read}\r\n";

// One owner with its keys and one help window serve every case (destroying windows costs Wine
// seconds); each case starts with help mode off, the help hidden and nothing compiled.
class HelpWindowTest : public ::testing::Test {
protected:
    static inline HWND owner, off, read, region, help;

    static void SetUpTestSuite() {
        RegisterTestClass("HelpTestOwner", OwnerProc, HBRUSH(GetStockObject(GRAY_BRUSH)));
        RegisterTestClass("HelpTestRegion", RegionProc);
        owner = CreateWindowExA(0, "HelpTestOwner", "owner", WS_POPUP | WS_VISIBLE, 200, 300, 400,
                                200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        off = Child("BUTTON", 1010, 20, 120);
        read = Child("BUTTON", 1011, 120, 120);
        region = Child("HelpTestRegion", 1020, 220, 120);
        help = CreateHelpWindow(owner, 1005, &kTestServices);
        KillTimer(help, HELP_TIMER_ID);
    }
    void SetUp() override {
        ASSERT_NE(help, nullptr);
        SendMessageA(help, HM_SETHELPMODE, 0, 0);
        SendMessageA(help, HM_HIDE, 0, 0);
        SetWindowPos(owner, nullptr, 200, 300, 400, 200, SWP_NOZORDER | SWP_NOACTIVATE);
        SetWindowPos(region, nullptr, 220, 120, 60, 30, SWP_NOZORDER | SWP_NOACTIVATE);
        g_regionRect = RECT{0, 0, 0, 0};
        FreeHelpBlockCache(&g_blocks);
        g_helpText = kHelp;
        g_commands.clear();
        PumpMessages();
        Tick(0, 0);
    }
    static HWND Child(const char* cls, int id, int x, int y) {
        return CreateWindowExA(0, cls, "", WS_CHILD | WS_VISIBLE, x, y, 60, 30, owner,
                               reinterpret_cast<HMENU>(intptr_t(id)), GetModuleHandleA(nullptr),
                               nullptr);
    }
    // Ticks with the pointer at screen point (x, y).
    static void Tick(int x, int y, int count = 1) {
        for (int i = 0; i < count; ++i) {
            g_pointer = POINT{x, y};
            SendMessageA(help, WM_TIMER, HELP_TIMER_ID, 0);
            PumpMessages();
        }
    }
    POINT Center(HWND window) {
        RECT r;
        GetWindowRect(window, &r);
        return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    }
    // Rests on `window` until the help shows (at most 12 ticks); the ticks taken or -1.
    int RestOn(HWND window) {
        POINT c = Center(window);
        for (int i = 1; i <= 12; ++i) {
            Tick(c.x, c.y);
            if (IsWindowVisible(help))
                return i;
        }
        return -1;
    }
    RECT HelpRectNow() {
        RECT r;
        GetWindowRect(help, &r);
        return r;
    }
    COLORREF Pixel(int x, int y) {
        UpdateWindow(help);
        GdiFlush();
        return WindowPixel(help, x, y);
    }
    int TitleBar() { // the strip's height: the first row from the top that is white
        for (int y = 0; y < 40; ++y)
            if (Pixel(40, y) == RGB(255, 255, 255))
                return y + 1;
        return -1;
    }
    void Click(int x, int y) {
        SendMessageA(help, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
        SendMessageA(help, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
        PumpMessages();
    }
    // Clicks line `line` (0 first) of the content below a title bar of `bar` pixels.
    void ClickLine(int bar, int line, int lineHeight = 14) {
        Click(9, bar + 4 + line * lineHeight + lineHeight / 2);
    }
    int Width() { return HelpRectNow().right - HelpRectNow().left; }
    int Height() { return HelpRectNow().bottom - HelpRectNow().top; }
};

TEST_F(HelpWindowTest, PlainTooltipAboveTheKeyAndF1SwitchesHelpMode) {
    SendMessageA(help, HM_SETHELPMODE, 1, 0);
    EXPECT_EQ(RestOn(off), 10); // one tick to see the key, eight to rest, one to show
    // Placed by the key's own rectangle (the placement rules: HelpPlacement on the host).
    RECT r = HelpRectNow(), key;
    GetWindowRect(off, &key);
    EXPECT_EQ(r.bottom, key.top - 1);
    // A plain tooltip: frame ring colours at the edges, pale yellow inside, the black run.
    RECT client;
    GetClientRect(help, &client);
    EXPECT_EQ(Pixel(0, 5), RGB(192, 192, 192));
    EXPECT_EQ(Pixel(client.right - 1, 5), RGB(0, 0, 0));
    EXPECT_EQ(Pixel(4, client.bottom - 5), RGB(255, 255, 192));
    EXPECT_EQ(Pixel(8, 6), RGB(0, 0, 0));
    // Moving onto another key hides it at once.
    POINT c = Center(read);
    Tick(c.x, c.y);
    EXPECT_FALSE(IsWindowVisible(help));
    // F1 toggles help mode; off, no help shows.
    EXPECT_FALSE(ToggleHelpMode(help));
    PumpMessages();
    EXPECT_EQ(RestOn(read), -1);
    EXPECT_TRUE(ToggleHelpMode(help));
    EXPECT_GT(RestOn(read), 0);
    EXPECT_FALSE(ToggleHelpMode(owner)); // not a help window
}

TEST_F(HelpWindowTest, LinksNavigateBackAndHomeAndADragMovesOnlyPastTheStartDistance) {
    SendMessageA(help, HM_SETHELPMODE, 1, 0);
    ASSERT_GT(RestOn(read), 0);
    const int bar = TitleBar(), button = bar - 2;
    ASSERT_GT(bar, 10);
    EXPECT_EQ(Pixel(40, 2), RGB(0, 0, 128)); // the title style's background
    // The title bar's buttons: back at the left, "?" (home) second from the right.
    auto backShown = [&] { return Pixel(3 + button / 2, bar / 2) == RGB(192, 192, 192); };
    auto back = [&] { Click(3 + button / 2, bar / 2); };
    auto home = [&] {
        RECT client;
        GetClientRect(help, &client);
        Click(client.right - 2 * button - 3 + button / 2, bar / 2);
    };
    EXPECT_FALSE(backShown());
    const int readHeight = Height();
    ClickLine(bar, 3); // a back link with an empty history changes nothing
    EXPECT_TRUE(IsWindowVisible(help));
    EXPECT_EQ(Height(), readHeight);
    ClickLine(bar, 1); // the command link posts its command to the owner
    EXPECT_EQ(g_commands, std::vector<WPARAM>{1013});

    // A navigation, then back: heights tell the topics apart.
    ClickLine(bar, 0); // Read -> One
    EXPECT_NE(Height(), readHeight);
    EXPECT_TRUE(backShown());
    back();
    EXPECT_EQ(Height(), readHeight);
    EXPECT_FALSE(backShown()); // history empty

    // "?" shows the home topic.
    home();
    const int homeHeight = Height();
    EXPECT_NE(homeHeight, readHeight);
    // Command links 2, 3 and 1 act as back, home and close.
    ClickLine(bar, 0); // Home -> Read
    EXPECT_EQ(Height(), readHeight);
    ClickLine(bar, 3); // "back"
    EXPECT_EQ(Height(), homeHeight);
    ClickLine(bar, 0);
    ClickLine(bar, 4); // "home"
    EXPECT_EQ(Height(), homeHeight);
    ClickLine(bar, 0);
    ClickLine(bar, 2); // "close"
    EXPECT_FALSE(IsWindowVisible(help));
    EXPECT_EQ(g_commands.size(), 1u);

    // A drag by the title bar moves the window only past the start distance.
    ASSERT_GT(RestOn(read), 0);
    RECT before = HelpRectNow();
    SendMessageA(help, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(40, 4));
    SendMessageA(help, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(42, 6)); // 8 < 12
    SendMessageA(help, WM_LBUTTONUP, 0, MAKELPARAM(42, 6));
    PumpMessages();
    RECT after = HelpRectNow();
    EXPECT_TRUE(EqualRect(&after, &before));

    SendMessageA(help, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(40, 4));
    SendMessageA(help, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(50, 4));
    SendMessageA(help, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(60, 14));
    SendMessageA(help, WM_LBUTTONUP, 0, MAKELPARAM(60, 14));
    PumpMessages();
    after = HelpRectNow();
    OffsetRect(&before, 20, 10);
    EXPECT_TRUE(EqualRect(&after, &before));

    // Another window takes the mouse mid-drag: the drag ends there, its screen context goes, and
    // a later button release moves nothing.
    int objects = ProcessGdiObjects();
    SendMessageA(help, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(40, 4));
    SendMessageA(help, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(60, 4));
    EXPECT_GT(ProcessGdiObjects(), objects); // the drag frame's screen context
    SetCapture(owner);
    ReleaseCapture();
    EXPECT_EQ(ProcessGdiObjects(), objects);
    SendMessageA(help, WM_LBUTTONUP, 0, MAKELPARAM(90, 40));
    PumpMessages();
    EXPECT_EQ(HelpRectNow().left, after.left);
}

// A second Wine process with a window, ended with the test whatever happens (one left running
// would keep ctest waiting on its output).
struct OtherProcess {
    PROCESS_INFORMATION pi{};
    ~OtherProcess() {
        if (!pi.hProcess)
            return;
        TerminateProcess(pi.hProcess, 0);
        WaitForSingleObject(pi.hProcess, 5000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
};

// A window of another process under the pointer is never asked for help: here its thread is
// frozen, so a query sent to it would stop this thread until the watchdog thaws it.
TEST_F(HelpWindowTest, WindowsOfOtherProcessesAreNotAsked) {
    OtherProcess other;
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USEPOSITION | STARTF_USESIZE;
    start.dwX = 820, start.dwY = 610, start.dwXSize = 200, start.dwYSize = 150;
    char command[] = "clock.exe"; // a top-level window without child windows
    ASSERT_TRUE(CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &start, &other.pi));
    POINT inside{920, 685};
    DWORD process = 0;
    for (int i = 0; i < 200 && process != other.pi.dwProcessId; ++i, Sleep(50))
        GetWindowThreadProcessId(WindowFromPoint(inside), &process);
    ASSERT_EQ(process, other.pi.dwProcessId);
    SuspendThread(other.pi.hThread);
    static HANDLE watched[2];
    static bool thawed;
    watched[0] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    watched[1] = other.pi.hThread;
    HANDLE watchdog = CreateThread(
        nullptr, 0,
        [](void*) -> DWORD {
            thawed = WaitForSingleObject(watched[0], 10000) == WAIT_TIMEOUT;
            ResumeThread(watched[1]);
            return 0;
        },
        nullptr, 0, nullptr);

    SendMessageA(help, HM_SETHELPMODE, 1, 0);
    Tick(inside.x, inside.y, 12);
    EXPECT_FALSE(IsWindowVisible(help));
    SetEvent(watched[0]);
    WaitForSingleObject(watchdog, INFINITE);
    EXPECT_FALSE(thawed) << "the help asked the other process's window";
    CloseHandle(watchdog);
    CloseHandle(watched[0]);
}

TEST_F(HelpWindowTest, QueriedRegionAtTheScreenTopPutsHelpAtTheBottom) {
    SetWindowPos(owner, nullptr, 200, 0, 400, 760, SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(region, nullptr, 220, 600, 60, 30, SWP_NOZORDER | SWP_NOACTIVATE);
    g_regionRect = RECT{300, 2, 340, 20};
    SendMessageA(help, HM_SETHELPMODE, 1, 0);
    ASSERT_GT(RestOn(region), 0);
    RECT r = HelpRectNow();
    EXPECT_EQ(r.bottom, 768);
    EXPECT_EQ((r.left + r.right) / 2, 320);
    // The help hides with the remember flag: no help for that window until another comes.
    PostMessageA(help, HM_HIDE, 1, 0);
    PumpMessages();
    EXPECT_FALSE(IsWindowVisible(help));
    POINT c = Center(region);
    Tick(c.x, c.y, 12);
    EXPECT_FALSE(IsWindowVisible(help));
}

TEST_F(HelpWindowTest, NoHelpTextFallbackTopicExternalFileParameterAndColour) {
    g_helpText.clear();
    SendMessageA(help, HM_SETHELPMODE, 1, 0);
    EXPECT_EQ(RestOn(off), -1);

    // The owner's background has no topic: only a fallback topic shows.
    g_helpText = kHelp;
    Tick(210, 310, 2);
    SendMessageA(help, HM_SHOWATPOINTER, 0, 0);
    EXPECT_FALSE(IsWindowVisible(help));
    SendMessageA(help, HM_HIDE, 0, 0);
    SendMessageA(help, HM_SHOWATPOINTER, 1010, 0);
    EXPECT_TRUE(IsWindowVisible(help));
    SendMessageA(help, HM_HIDE, 0, 0);

    // The resource names a file; the file differs and is used, and the mismatch is told once. Its
    // topic takes a parameter and a colour asked of the owner.
    const char file[] = "@1010:\r\n{T@7}W%1\r\n";
    HANDLE h = CreateFileA("helpwin.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, file, DWORD(sizeof(file) - 1), &written, nullptr);
    CloseHandle(h);
    FreeHelpBlockCache(&g_blocks);
    g_helpText = "[helpwin.txt]\r\n@1010:\r\nW\r\n";
    g_mismatches = 0;
    SendMessageA(help, HM_SETPARAM, 1, reinterpret_cast<LPARAM>("WWWWWWWWWWWWWWWWWWWWWWW"));
    Tick(0, 0);
    ASSERT_GT(RestOn(off), 0);
    EXPECT_GT(Width(), 150);
    EXPECT_EQ(g_mismatches, 1);
    bool green = false;
    for (int x = 6; x < 40 && !green; ++x)
        for (int y = 4; y < 18 && !green; ++y)
            green = Pixel(x, y) == RGB(0, 255, 0);
    EXPECT_TRUE(green);
    DeleteFileA("helpwin.txt");
}

} // namespace
