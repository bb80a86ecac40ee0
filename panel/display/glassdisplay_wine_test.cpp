// The glass display window under Wine on Xvfb: fields, partial redraw and cracks, checked by the
// pixels the window paints and by its window data.
#include "display/glassdisplay.h"

#include <mmsystem.h>

#include <gtest/gtest.h>

#include <vector>

#include "base/window_wine_test.h"
#include "toolkit/gdicache.h"

namespace {

constexpr int kWidth = 600, kHeight = 240;

std::vector<const char*> g_sounds; // what the display asked to play (null: stop)

BOOL WINAPI RecordSound(LPCSTR sound, UINT) {
    g_sounds.push_back(sound);
    return TRUE;
}

struct DisplayWindow {
    HWND parent = nullptr, display = nullptr;
    DisplayWindow() { // one shown parent for the whole run
        static HWND shared = nullptr;
        if (!shared) {
            RegisterTestClass("GlassTestParent");
            RegisterDisplayClass(1009, 0);
            SetGlassSoundPlayer(RecordSound);
            shared = CreateWindowExA(WS_EX_TOPMOST, "GlassTestParent", "", WS_POPUP | WS_VISIBLE,
                                     380, 300, kWidth, kHeight, nullptr, nullptr, nullptr, nullptr);
        }
        parent = shared;
        display = CreateWindowExA(0, APP_DISPLAY_CLASS, "Na, sowas", WS_CHILD | WS_VISIBLE, 0, 0,
                                  kWidth, kHeight, parent, (HMENU)1003, nullptr, nullptr);
        Flush();
        g_sounds.clear();
    }
    ~DisplayWindow() { DestroyWindow(display); }
    void Flush() {
        UpdateWindow(display);
        PumpMessages();
    }
    COLORREF Pixel(int x, int y) { return WindowPixel(display, x, y); }
    void Field(UINT id, const DisplayFieldSpec& request) {
        SendMessageA(display, DM_SETFIELD, id, reinterpret_cast<LPARAM>(&request));
        Flush();
    }
};

// The centre of seven-segment segment s of cell `cell` in a field filling the display.
POINT SegmentCentre(GlassDisplayData* data, UINT id, int cell, int sx, int sy) {
    DisplayField* f = GlassFindField(data, id);
    const int x =
        f->rect.left + 3 + f->xOffset + static_cast<int>(60 * f->xScale) + cell * f->cellWidth;
    const int y = f->rect.top + 3 + f->yOffset + static_cast<int>(110 * f->yScale);
    return {static_cast<int>(x + sx * f->xScale + 0.5), static_cast<int>(y + sy * f->yScale + 0.5)};
}

const DisplayFieldSpec kDigits = {
    0, 0, DISPLAY_POS_FROM_END, DISPLAY_POS_FROM_END, DISPLAY_FIELD_SEVEN_SEGMENT, 4, "1234", 0, 0};

} // namespace

TEST(GlassDisplayWindow, SegmentsLitAndUnlitOnBlackChangedDigitRedrawnWithoutErasing) {
    DisplayWindow w;
    w.Field(1, kDigits);
    GlassDisplayData* data = GetGlassDisplayData(w.display);
    // '1': upper right segment lit, top segment unlit; the glass between is black.
    const POINT lit = SegmentCentre(data, 1, 0, 50, -50);
    const POINT unlit = SegmentCentre(data, 1, 0, 0, -100);
    EXPECT_EQ(w.Pixel(lit.x, lit.y), RGB(0x80, 0xFF, 0x80));
    EXPECT_EQ(w.Pixel(unlit.x, unlit.y), RGB(0x40, 0x40, 0x40));
    EXPECT_EQ(w.Pixel(1, 1), RGB(0, 0, 0));
    // The caption is never shown nor changed through WM_SETTEXT.
    SetWindowTextA(w.display, "other");
    EXPECT_EQ(WindowText(w.display), "Na, sowas");

    // A mark on the glass survives a redraw that does not erase.
    HDC dc = GetDC(w.display);
    SetPixel(dc, 2, 2, RGB(255, 0, 0));
    ReleaseDC(w.display, dc);
    SendMessageA(w.display, WM_SETTEXT, 1, reinterpret_cast<LPARAM>("1235"));
    w.Flush();
    EXPECT_EQ(w.Pixel(2, 2), RGB(255, 0, 0));
    // The last digit went from '4' to '5': its top segment came on.
    const POINT top = SegmentCentre(data, 1, 3, 0, -100);
    EXPECT_EQ(w.Pixel(top.x, top.y), RGB(0x80, 0xFF, 0x80));
    // A new layout erases.
    DisplayFieldSpec longer = kDigits;
    longer.cellCount = 6;
    longer.text = nullptr;
    w.Field(1, longer);
    EXPECT_EQ(w.Pixel(2, 2), RGB(0, 0, 0));
}

TEST(GlassDisplayWindow, CracksSoundHoverAndRemoval) {
    DisplayWindow w;
    GlassDisplayData* data = GetGlassDisplayData(w.display);
    SendMessageA(w.display, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(300, 120));
    w.Flush();
    ASSERT_EQ(g_sounds.size(), 2u); // stop, then play from memory
    EXPECT_EQ(g_sounds[0], nullptr);
    EXPECT_NE(g_sounds[1], nullptr);
    // The hovered crack is drawn light from its centre.
    EXPECT_EQ(w.Pixel(300, 120), RGB(0xE0, 0xE0, 0xE0));

    // Moving away clears the highlight; coming back and losing the focus clears it again.
    SendMessageA(w.display, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    w.Flush();
    EXPECT_EQ(w.Pixel(300, 120), RGB(0xC0, 0xC0, 0xC0));
    SendMessageA(w.display, WM_MOUSEMOVE, 0, MAKELPARAM(301, 121));
    EXPECT_EQ(data->hovered, data->cracks);
    SendMessageA(w.display, WM_KILLFOCUS, 0, 0);
    EXPECT_EQ(data->hovered, nullptr);

    // A right click on the crack removes it.
    SendMessageA(w.display, WM_RBUTTONDOWN, 0, MAKELPARAM(300, 120));
    w.Flush();
    EXPECT_EQ(data->cracks, nullptr);
    EXPECT_EQ(w.Pixel(300, 120), RGB(0, 0, 0));
}
