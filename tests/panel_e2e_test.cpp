// The panel end to end: the program's main window with the real MIDI link, through Wine's winmm
// and the user-mode MIDI driver, to the device host with the driver and the interface model.
// Started by panel_e2e.sh, which runs the device host, sets the model's timecode running and
// checks the model afterwards. Environment: VARLO_E2E_INTERFACE (the interface field expected),
// VARLO_E2E_START (the start time to locate to).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "display/glassdisplay.h"
#include "link/midilink.h"
#include "timecode/timecodepanel.h"
#include "res/resource.h"
#include "shell/mainwindow.h"

namespace {

std::string Env(const char* name) {
    return getenv(name) ? getenv(name) : "";
}

void Pump(DWORD ms) {
    DWORD end = GetTickCount() + ms;
    MSG msg;
    while (static_cast<LONG>(end - GetTickCount()) > 0) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

class PanelEndToEnd : public ::testing::Test {
protected:
    std::string Field(uint32_t id) {
        GlassDisplayData* data = GetGlassDisplayData(GetDlgItem(window, IDC_DISPLAY));
        DisplayField* f = data ? GlassFindField(data, id) : nullptr;
        return f ? f->text : "";
    }
    // Waits until the field shows text (or changes from it, with changed).
    bool WaitField(uint32_t id, const std::string& text, bool changed, DWORD ms) {
        for (DWORD waited = 0; waited < ms; waited += 50) {
            if ((Field(id) == text) != changed)
                return true;
            Pump(50);
        }
        return false;
    }
    // Lit segment pixels in the time field, read back from the screen.
    int LitPixels() {
        HWND display = GetDlgItem(window, IDC_DISPLAY);
        UpdateWindow(display);
        GlassDisplayData* data = GetGlassDisplayData(display);
        DisplayField* f = GlassFindField(data, FIELD_TIME);
        HDC dc = GetDC(display);
        int lit = 0;
        for (int y = f->rect.top; y < f->rect.bottom; y += 2)
            for (int x = f->rect.left; x < f->rect.right; x += 2)
                if (GetPixel(dc, x, y) == GLASS_COLOR_LIT)
                    ++lit;
        ReleaseDC(display, dc);
        return lit;
    }
    void Command(int id, WORD code = BN_CLICKED) {
        SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, code),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
    }

    HWND window = nullptr;
};

TEST_F(PanelEndToEnd, TheInterfaceTheTimecodeAndTheCommandsGoBothWays) {
    ASSERT_TRUE(PanelLink().openLink()) << "no interface ports";
    window = CreateMainWindow();
    ASSERT_NE(window, nullptr);

    // The identity reply names the model.
    EXPECT_TRUE(WaitField(FIELD_INTERFACE, Env("VARLO_E2E_INTERFACE"), false, 5000))
        << Field(FIELD_INTERFACE);

    // The model's running timecode reaches the glass display and is drawn.
    std::string first = Field(FIELD_TIME);
    ASSERT_TRUE(WaitField(FIELD_TIME, first, true, 5000)) << "no timecode";
    std::string shown = Field(FIELD_TIME);
    EXPECT_EQ(shown.substr(0, 2), "01") << shown;
    EXPECT_GT(LitPixels(), 50);
    ASSERT_TRUE(WaitField(FIELD_TIME, Field(FIELD_TIME), true, 5000));

    // MTC/LTC (mode 4) stops the model's timecode; Set locates it to the start time.
    Command(IDC_LTC_MTC);
    HWND edit = GetDlgItem(window, IDC_START_EDIT);
    SetWindowTextA(edit, Env("VARLO_E2E_START").c_str());
    SendMessageA(edit, EM_SETMODIFY, TRUE, 0);
    Command(IDC_START_EDIT, EN_KILLFOCUS);
    Pump(300); // quarter frames already on their way
    Command(IDC_START_SET);
    EXPECT_EQ(Field(FIELD_TIME), Env("VARLO_E2E_START"));
    Pump(500);

    // Closing closes the link (the placement it stores: the main window's own tests).
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(g_MidiLink.firstOutput, nullptr);
    EXPECT_EQ(g_MidiLink.firstInput, nullptr);
}

} // namespace
