// Keys, labels and radio groups under Wine on Xvfb: messages they send and pixels they paint.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "base/window_wine_test.h"
#include "toolkit/buttongroup.h"
#include "toolkit/gdicache.h"
#include "toolkit/panelbutton.h"

namespace {

constexpr COLORREF kYellow = RGB(255, 255, 0);
constexpr COLORREF kParentColor = RGB(0, 128, 128);

struct Command {
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Command> g_commands;

LRESULT CALLBACK ParentProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) {
        g_commands.push_back({wParam, lParam});
        return 0;
    }
    if (message == WM_DRAWITEM)
        return DrawMarkupButtonItem(window, reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
    return DefWindowProcA(window, message, wParam, lParam);
}

void Repaint(HWND w) {
    InvalidateRect(w, nullptr, TRUE);
    UpdateWindow(w);
    PumpMessages();
}

// One shown parent for the whole run; each test's controls are destroyed after it.
struct Panel {
    HWND parent = nullptr;
    Panel() {
        static HWND shared = nullptr;
        if (!shared) {
            EXPECT_TRUE(RegisterPanelControls());
            RegisterTestClass("ControlsTestParent", ParentProc, CreateSolidBrush(kParentColor));
            shared = CreateWindowExA(WS_EX_TOPMOST, "ControlsTestParent", "", WS_POPUP | WS_VISIBLE,
                                     420, 320, 400, 300, nullptr, nullptr, nullptr, nullptr);
        }
        parent = shared;
        Repaint(parent);
        g_commands.clear();
    }
    ~Panel() {
        while (HWND child = GetWindow(parent, GW_CHILD))
            DestroyWindow(child);
        PumpMessages();
    }
    HWND Add(const char* cls, const char* text, DWORD style, int id, int x, int y, int w, int h) {
        HWND c = CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                                 (HMENU)(INT_PTR)id, nullptr, nullptr);
        UpdateWindow(c);
        PumpMessages();
        return c;
    }
};

// The size of a text in the controls' font.
SIZE TextSize(HWND w, const char* text) {
    HDC dc = GetDC(w);
    HGDIOBJ old = SelectObject(dc, GetStockObject(ANSI_VAR_FONT));
    SIZE size;
    GetTextExtentPoint32A(dc, text, static_cast<int>(strlen(text)), &size);
    SelectObject(dc, old);
    ReleaseDC(w, dc);
    return size;
}

} // namespace

TEST(PanelKeys, FaceTextColoursAndMnemonicFromMarkup) {
    Panel p;
    HWND blue = p.Add(APP_BUTTON_CLASS, "{B0,0,255}24", 0, 1020, 10, 10, 60, 24);
    HWND item = p.Add("BUTTON", "{B0,255,0}Refr.", BS_OWNERDRAW, 1012, 150, 10, 60, 24);
    EXPECT_EQ(WindowText(blue), "24");
    EXPECT_EQ(WindowPixel(blue, 4, 4), RGB(0, 0, 255));
    EXPECT_GT(CountPixels(blue, {4, 4, 56, 20}, kYellow), 5);
    // The same markup and bevel on a standard owner-drawn button.
    EXPECT_EQ(WindowPixel(item, 4, 4), RGB(0, 255, 0));
    EXPECT_GT(CountPixels(item, {4, 4, 56, 20}, kYellow), 5);
    EXPECT_EQ(WindowPixel(item, 5, 0), RGB(64, 64, 64));
    // The bevel: dark grey frame with clipped corners, white light inside it, black shadow.
    EXPECT_EQ(WindowPixel(blue, 5, 0), RGB(64, 64, 64));
    EXPECT_EQ(WindowPixel(blue, 5, 1), RGB(255, 255, 255));
    EXPECT_EQ(WindowPixel(blue, 5, 22), RGB(128, 128, 128));
    EXPECT_EQ(SendMessageA(blue, WM_GETDLGCODE, 0, 0), 0x2090);
    // With a published panel background, the frame's clipped corners show it.
    PanelBackgroundBrush = CreateSolidBrush(RGB(255, 0, 255));
    Repaint(blue);
    EXPECT_EQ(WindowPixel(blue, 0, 0), RGB(255, 0, 255));
    EXPECT_EQ(WindowPixel(blue, 59, 23), RGB(255, 0, 255));
    DeleteObject(PanelBackgroundBrush);
    PanelBackgroundBrush = nullptr;
    // Recolouring by message repaints the face.
    SendMessageA(blue, PCM_SETBKCOLOR, 1, RGB(0, 255, 0));
    UpdateWindow(blue);
    PumpMessages();
    EXPECT_EQ(WindowPixel(blue, 4, 4), RGB(0, 255, 0));

    // Disabled: grey, black text, no dark outline (the light edge on top).
    HWND key = p.Add(APP_BUTTON_CLASS, "{B0,0,255}Off", WS_DISABLED, 1010, 220, 10, 60, 24);
    EXPECT_EQ(WindowPixel(key, 4, 4), RGB(128, 128, 128));
    EXPECT_EQ(WindowPixel(key, 5, 0), RGB(255, 255, 255));
    EXPECT_EQ(WindowPixel(key, 5, 23), RGB(128, 128, 128));
    EXPECT_EQ(CountPixels(key, {3, 3, 57, 21}, kYellow), 0);
    EXPECT_GT(CountPixels(key, {3, 3, 57, 21}, RGB(0, 0, 0), 0x40), 5);

    // A mnemonic is underlined by a short bar.
    HWND marked = p.Add(APP_BUTTON_CLASS, "&Set", 0, 1, 10, 50, 80, 30);
    HWND plain = p.Add(APP_BUTTON_CLASS, "Set", 0, 2, 100, 50, 80, 30);
    // Where the key puts its caption (see the key's painting).
    const SIZE size = TextSize(marked, "Set");
    int x, y;
    PlaceKeyCaption({2, 2, 80 - 2, 30 - 2}, size.cx, size.cy, &x, &y);
    const RECT bar = {x + 2, y + size.cy - 2, x + 4, y + size.cy - 1};
    EXPECT_EQ(CountPixels(marked, bar, kYellow), 2);
    EXPECT_EQ(CountPixels(plain, bar, kYellow), 0);
}

TEST(PanelKeys, MousePressesAndFiftyMillisecondKeyboardPresses) {
    Panel p;
    HWND key = p.Add(APP_BUTTON_CLASS, "Go", 0, 1011, 10, 10, 60, 24);
    ControlData* data = GetControlData(key);
    SendMessageA(key, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    EXPECT_EQ(data->state, 1u);
    EXPECT_EQ(GetCapture(), key);
    SendMessageA(key, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(-5, 5));
    EXPECT_EQ(data->state, 0u);
    EXPECT_NE(GetCapture(), key);
    SendMessageA(key, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(5, 5)); // back on: not pressed again
    SendMessageA(key, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    PumpMessages();
    EXPECT_TRUE(g_commands.empty());
    // A press released over the key posts one command.
    SendMessageA(key, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageA(key, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    PumpMessages();
    ASSERT_EQ(g_commands.size(), 1u);
    EXPECT_EQ(g_commands[0].wParam, MAKEWPARAM(1011, BN_CLICKED));
    EXPECT_EQ(g_commands[0].lParam, reinterpret_cast<LPARAM>(key));

    // A keyboard press lasts fifty milliseconds.
    g_commands.clear();
    SendMessageA(key, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(data->state, 1u);
    EXPECT_TRUE(g_commands.empty());
    SendMessageA(key, WM_KEYDOWN, VK_RETURN, 0); // held down: ignored during the press
    SendMessageA(key, WM_CHAR, ' ', 0);
    const DWORD start = GetTickCount();
    while (g_commands.empty() && GetTickCount() - start < 2000) {
        PumpMessages();
        Sleep(5);
    }
    Sleep(120);
    PumpMessages();
    EXPECT_EQ(g_commands.size(), 1u);
    EXPECT_EQ(data->state, 0u);
    // The next key-down while up starts a new press.
    SendMessageA(key, WM_CHAR, ' ', 0);
    EXPECT_EQ(data->state, 1u);
    Sleep(150);
    PumpMessages();
    EXPECT_EQ(g_commands.size(), 2u);
}

TEST(PanelKeys, CheckValueIndependentOfToggledStateAndRadioRuns) {
    Panel p;
    HWND box = p.Add(APP_BUTTON_CLASS, "Box", BS_AUTOCHECKBOX, 5, 10, 10, 60, 20);
    SendMessageA(box, BM_SETCHECK, 7, 0);
    SendMessageA(box, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    EXPECT_EQ(GetControlData(box)->state, 1u);
    SendMessageA(box, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    EXPECT_EQ(SendMessageA(box, BM_GETCHECK, 0, 0), 7);
    PumpMessages();
    EXPECT_EQ(g_commands.size(), 2u); // posted at once, no timer

    // Auto radio keys: a press clears the others of its run among the siblings (WS_GROUP).
    HWND a = p.Add(APP_BUTTON_CLASS, "a", BS_AUTORADIOBUTTON | WS_GROUP, 11, 10, 40, 40, 20);
    HWND b = p.Add(APP_BUTTON_CLASS, "b", BS_AUTORADIOBUTTON, 12, 60, 40, 40, 20);
    HWND c = p.Add(APP_BUTTON_CLASS, "c", BS_AUTORADIOBUTTON, 13, 110, 40, 40, 20);
    HWND d = p.Add(APP_BUTTON_CLASS, "d", BS_AUTORADIOBUTTON | WS_GROUP, 14, 160, 40, 40, 20);
    SendMessageA(a, WM_LBUTTONDOWN, 0, 0);
    SendMessageA(d, WM_LBUTTONDOWN, 0, 0);
    SendMessageA(c, WM_KEYDOWN, VK_RETURN, 0);
    using States = std::array<uint32_t, 4>;
    auto states = [&] {
        return States{GetControlData(a)->state, GetControlData(b)->state, GetControlData(c)->state,
                      GetControlData(d)->state};
    };
    EXPECT_EQ(states(), (States{0, 0, 1, 1})); // d: another run
}

TEST(PanelLabels, WrapsKeepsColourMarkupFramesAndClicks) {
    Panel p;
    HWND narrow = p.Add(APP_STATIC_CLASS, "Output level", SS_LEFT, 9998, 10, 10, 20, 60);
    HWND wide = p.Add(APP_STATIC_CLASS, "Output level", SS_LEFT, 9999, 40, 10, 200, 60);
    const SIZE line = TextSize(wide, "X");
    // The narrow label shows "Output" alone, clipped, and "level" on the next line.
    EXPECT_GT(CountPixels(narrow, {0, line.cy, 20, 2 * line.cy}, kYellow), 0);
    EXPECT_EQ(CountPixels(wide, {0, line.cy, 200, 2 * line.cy}, kYellow), 0);
    // Transparent: the parent's colour shows around the text.
    EXPECT_EQ(WindowPixel(wide, 190, 50), kParentColor);

    // A colour set by markup stays for later texts without it.
    SendMessageA(wide, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("{T255,0,0}Red"));
    Repaint(p.parent);
    SendMessageA(wide, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("Still red"));
    Repaint(p.parent);
    EXPECT_GT(CountPixels(wide, {0, 0, 60, line.cy}, RGB(255, 0, 0)), 0);
    EXPECT_EQ(CountPixels(wide, {0, 0, 60, line.cy}, kYellow), 0);
    EXPECT_EQ(WindowText(wide), "Output level"); // the system's copy stays as created

    HWND frame = p.Add(APP_STATIC_CLASS, "", SS_BLACKFRAME, 0x12345, 250, 10, 40, 30);
    EXPECT_EQ(WindowPixel(frame, 5, 0), RGB(64, 64, 64));
    EXPECT_EQ(WindowPixel(frame, 39, 5), RGB(192, 192, 192));
    EXPECT_EQ(WindowPixel(frame, 5, 5), kParentColor);
    HWND etched = p.Add(APP_STATIC_CLASS, "", SS_ETCHEDFRAME, 7, 300, 10, 40, 30);
    EXPECT_EQ(WindowPixel(etched, 5, 0), RGB(192, 192, 192));
    EXPECT_EQ(WindowPixel(etched, 39, 5), RGB(255, 255, 255));
    EXPECT_EQ(WindowPixel(etched, 5, 1), RGB(128, 128, 128));
    // Released over a label: WM_COMMAND sent with the low 16 bits of the id.
    SendMessageA(frame, WM_LBUTTONUP, 0, 0);
    ASSERT_EQ(g_commands.size(), 1u);
    EXPECT_EQ(g_commands[0].wParam, 0x2345u);
    EXPECT_EQ(g_commands[0].lParam, 0);
}

// What the group handler is told is the host tests' part (GroupTest): here the keys' colours.
TEST(PanelGroups, KeysRecolouredOnSelection) {
    Panel p;
    HWND keys[3];
    for (int i = 0; i < 3; ++i)
        keys[i] = p.Add(APP_BUTTON_CLASS, "k", 0, 1020 + i, 10 + 50 * i, 10, 40, 24);
    // Key 1023 has no window.
    ButtonGroup table[] = {{1020, 1023, 1021, nullptr, 0x82808080, 0x8900FF00, 0},
                           {0, 0, 0, nullptr, 0, 0, 0}};
    SetButtonGroupTable(table);
    InitButtonGroups(p.parent);
    PumpMessages();
    EXPECT_EQ(WindowPixel(keys[0], 4, 4), RGB(128, 128, 128));
    EXPECT_EQ(WindowPixel(keys[1], 4, 4), RGB(0, 255, 0));
    EXPECT_EQ(SelectGroupButton(p.parent, 1020, 1), 1);
    PumpMessages();
    EXPECT_EQ(WindowPixel(keys[0], 4, 4), RGB(0, 255, 0));
    EXPECT_EQ(WindowPixel(keys[1], 4, 4), RGB(128, 128, 128));
    SetButtonGroupTable(nullptr);
}
