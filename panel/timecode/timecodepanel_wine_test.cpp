// The panel's logic on a panel built from template 1005, with a recorder in place of the link.
#include "timecode/timecodepanel.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "base/resstr.h"
#include "base/settings.h"
#include "base/window_wine_test.h"
#include "display/glassdisplay.h"
#include "res/resource.h"
#include "toolkit/buttongroup.h"
#include "toolkit/panelbuilder.h"
#include "toolkit/panelbutton.h"

namespace {

std::vector<std::string> g_sent;
int32_t g_mode = 2;
HWND g_target;

void Record(const char* format, ...) {
    char buf[128];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    g_sent.push_back(buf);
}

const PanelLinkOps kRecorder = {
    [] { return true; },
    [] { Record("close"); },
    [] { Record("identity"); },
    [] { Record("state"); },
    [](int32_t mode) { Record("mode %d", mode); },
    [](int32_t level) { Record("level %d", level); },
    [](int32_t rate, int32_t h, int32_t m, int32_t s, int32_t f) {
        Record("rate %d %02d:%02d:%02d:%02d", rate, h, m, s, f);
    },
    [](const Timecode& t, int32_t mode, int32_t level) {
        Record("locate %d %02d:%02d:%02d:%02d mode %d level %d", t.rateCode, t.hours, t.minutes,
               t.seconds, t.frames, mode, level);
    },
    [] { Record("reset"); },
    [](HWND window) { g_target = window; },
    [] { return g_mode; },
    [](int32_t mode) { g_mode = mode; },
};

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (PanelMessageHandler(window, message, wParam, lParam))
        return 0;
    return DefWindowProcA(window, message, wParam, lParam);
}

std::string Stored() {
    char buf[100] = "";
    ReadSettingString(VARLO_VALUE_TIMECODE, buf, sizeof buf, "(none)");
    return buf;
}

class PanelState : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        RegisterPanelControls();
        RegisterDisplayClass(0, 0);
        RegisterTestClass("PanelStateHost", HostProc);
    }

    void SetUp() override {
        g_sent.clear();
        g_mode = 2;
        SetPanelLinkOps(&kRecorder);
        if (HKEY key = OpenSettingsKey()) {
            RegDeleteValueA(key, VARLO_VALUE_TIMECODE);
            RegCloseKey(key);
        }
        RECT r;
        ASSERT_TRUE(GetPanelTemplateRect(AppInstance(), IDD_PANEL, &r));
        host = CreateWindowExA(0, "PanelStateHost", "", WS_POPUP, 0, 0, r.right, r.bottom, nullptr,
                               nullptr, AppInstance(), nullptr);
        ASSERT_TRUE(BuildPanel(host, &panel, nullptr, AppInstance(), IDD_PANEL));
        InitPanelLink(host, nullptr);
        InitTimecodeState(host);
        SetupDisplayFields(host);
        InitButtonGroups(host);
        g_sent.erase(g_sent.begin()); // the identity request, checked once below
    }

    void TearDown() override {
        DestroyWindow(host);
        SetPanelLinkOps(nullptr);
    }

    std::string Field(uint32_t id) {
        GlassDisplayData* data = GetGlassDisplayData(GetDlgItem(host, IDC_DISPLAY));
        DisplayField* f = data ? GlassFindField(data, id) : nullptr;
        return f ? f->text : "(no field)";
    }
    void Click(int id, int code = BN_CLICKED) {
        SendMessageA(host, WM_COMMAND, MAKEWPARAM(id, code),
                     reinterpret_cast<LPARAM>(GetDlgItem(host, id)));
    }
    int Current(uint32_t id) { return FindButtonGroup(id)->currentId; }
    // The selected keys of the rate, level and mode groups.
    std::array<int, 3> Selected() {
        return {Current(IDC_FPS_24), Current(IDC_LEVEL_M9), Current(IDC_LTC_OFF)};
    }
    std::string EditText() { return WindowText(GetDlgItem(host, IDC_START_EDIT)); }
    bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(host, id)) != 0; }

    HWND host = nullptr;
    PanelRecord* panel = nullptr;
};

std::string g_aboutTitle;
HWND g_aboutOwner;
// Ticks in the dialog's modal loop until the about box (a dialog of this thread) is there, then
// notes and closes it.
void CALLBACK CloseAbout(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND about = nullptr;
    auto findDialog = [](HWND w, LPARAM found) -> BOOL {
        *reinterpret_cast<HWND*>(found) = WindowClass(w) == "#32770" ? w : nullptr;
        return *reinterpret_cast<HWND*>(found) == nullptr;
    };
    EnumThreadWindows(GetCurrentThreadId(), findDialog, reinterpret_cast<LPARAM>(&about));
    if (about == nullptr)
        return;
    g_aboutTitle = WindowText(about);
    g_aboutOwner = GetWindow(about, GW_OWNER);
    KillTimer(nullptr, timer);
    EndDialog(about, IDOK);
}

TEST_F(PanelState, StartsWithTheInitialSelectionsAndTheStoredStartTimeTheLogoOpensAbout) {
    EXPECT_EQ(g_target, host);
    const std::vector<std::string> fields = {Field(FIELD_TIME), Field(FIELD_RATE),
                                             Field(FIELD_MODE), Field(FIELD_LEVEL),
                                             Field(FIELD_INTERFACE)};
    EXPECT_EQ(fields, (std::vector<std::string>{"00:00:00:00", "25 FPS", "LTC READ", "VU -4dB",
                                                "NO INTERFACE"}));
    EXPECT_EQ(Selected(), (std::array<int, 3>{IDC_FPS_25, IDC_LEVEL_M4, IDC_LTC_READ}));
    EXPECT_EQ(EditText(), "00:59:50:00"); // the default
    EXPECT_TRUE(g_sent.empty());
    const Timecode& tc = TimecodePanel().current;
    EXPECT_EQ(std::tie(tc.rateCode, tc.levelCode), std::make_tuple(1, 1));

    // The logo opens the about box.
    ShowWindow(host, SW_SHOWNA);
    g_aboutTitle.clear();
    UINT_PTR timer = SetTimer(nullptr, 0, 100, CloseAbout);
    Click(IDC_LOGO, STN_CLICKED);
    KillTimer(nullptr, timer);
    EXPECT_EQ(g_aboutTitle, "About Korvane Varlo Control");
    EXPECT_EQ(g_aboutOwner, host);
    ShowWindow(host, SW_HIDE);
}

TEST_F(PanelState, TheStartTimeIsCommittedWhenTheEditLosesTheFocusAfterAChange) {
    SetDlgItemTextA(host, IDC_START_EDIT, "1:2:3:40"); // as typed: modified
    SendDlgItemMessageA(host, IDC_START_EDIT, EM_SETMODIFY, TRUE, 0);
    Click(IDC_START_EDIT, EN_KILLFOCUS);
    EXPECT_EQ(EditText(), "01:02:03:00");
    EXPECT_EQ(Stored(), "01:02:03:00");
    EXPECT_FALSE(SendDlgItemMessageA(host, IDC_START_EDIT, EM_GETMODIFY, 0, 0));

    SetDlgItemTextA(host, IDC_START_EDIT, "5:5:5:5"); // not a user's change
    Click(IDC_START_EDIT, EN_KILLFOCUS);
    EXPECT_EQ(Stored(), "01:02:03:00");
    Click(IDC_START_EDIT, EN_CHANGE);
    EXPECT_EQ(Stored(), "01:02:03:00");

    Click(IDC_START_SET); // Set locates to the committed start time
    EXPECT_EQ(Field(FIELD_TIME), "01:02:03:00");
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0], "locate 1 01:02:03:00 mode 2 level 1");
}

TEST_F(PanelState, IncomingTimecodeStateReportsAndIdentityReplies) {
    SendMessageA(host, PM_MTC_TIME, 0, 3u << 29 | 1u << 24 | 2u << 16 | 3u << 8 | 29u);
    EXPECT_EQ(Field(FIELD_TIME), "01:02:03:29");
    EXPECT_EQ(Current(IDC_FPS_24), IDC_FPS_30);
    EXPECT_EQ(Field(FIELD_RATE), "30 FPS");
    EXPECT_TRUE(g_sent.empty());
    // The same rate again does not reselect its key.
    SelectGroupButton(host, IDC_FPS_25, 0);
    SendMessageA(host, PM_MTC_TIME, 0, 3u << 29 | 4u);
    EXPECT_EQ(Current(IDC_FPS_24), IDC_FPS_25);
    EXPECT_EQ(Field(FIELD_TIME), "00:00:00:04");

    // State reports and identity replies.
    g_mode = 4; // stored by the decoder before the report is posted
    SendMessageA(host, PM_IF_STATE, 0x0302, 0x0102037F);
    EXPECT_EQ(Selected(), (std::array<int, 3>{IDC_FPS_30, IDC_LEVEL_0, IDC_LTC_MTC}));
    EXPECT_EQ(FindButtonGroup(IDC_LTC_OFF)->rememberedId, IDC_LTC_MTC);
    EXPECT_EQ(Field(FIELD_MODE), "MTC/LTC");
    SendMessageA(host, PM_IF_STATE, 0x010F, 0x01020304); // no level: the last one stays
    EXPECT_EQ(Field(FIELD_TIME), "01:02:03:04");
    EXPECT_EQ(TimecodePanel().current.levelCode, 2);
    EXPECT_EQ(g_sent, (std::vector<std::string>{"reset", "reset"}));

    // A damaged report: undefined rate, level and mode change none of the keys.
    g_mode = 9;
    SendMessageA(host, PM_IF_STATE, 0x070E, 0x7F);
    EXPECT_EQ(Selected(), (std::array<int, 3>{IDC_FPS_25, IDC_LEVEL_0, IDC_LTC_MTC}));
    EXPECT_EQ(FindButtonGroup(IDC_LTC_OFF)->rememberedId, IDC_LTC_MTC);
    g_sent.clear();

    SendMessageA(host, PM_IF_VERSION, 0x0201, 101);
    EXPECT_EQ(Field(FIELD_INTERFACE), "Varlo 1/2 V101");
    EXPECT_TRUE(g_sent.empty());
    SendMessageA(host, PM_IF_VERSION, 0x0201, 102);
    EXPECT_EQ(Field(FIELD_INTERFACE), "Varlo 1/2 V102");
    EXPECT_EQ(g_sent.back(), "state");
}

TEST_F(PanelState, WriteIsAToggleThatLocksTheSetAndRateKeys) {
    Click(IDC_LTC_WRITE);
    EXPECT_EQ(Current(IDC_LTC_OFF), IDC_LTC_WRITE);
    EXPECT_EQ(g_sent, (std::vector<std::string>{"locate 1 00:00:00:00 mode 3 level 1", "reset"}));
    EXPECT_EQ(Field(FIELD_MODE), "WRITE");
    EXPECT_FALSE(Enabled(IDC_START_SET));
    for (int id = IDC_FPS_24; id <= IDC_FPS_30; ++id)
        EXPECT_FALSE(Enabled(id));
    EXPECT_EQ(g_mode, 2); // locating does not change the mode
    g_sent.clear();
    for (int id : {IDC_FPS_24, IDC_START_SET}) // as the help's command links send them
        SendMessageA(host, WM_COMMAND, id, 0);
    EXPECT_TRUE(g_sent.empty());
    EXPECT_EQ(Current(IDC_FPS_24), IDC_FPS_25);
    EnableWindow(host, FALSE); // as under a modal box: even Write's own command does nothing
    Click(IDC_LTC_WRITE);
    EnableWindow(host, TRUE);
    EXPECT_TRUE(g_sent.empty());
    Click(IDC_LTC_WRITE); // again, with no earlier mode click: back to Read
    EXPECT_EQ(Current(IDC_LTC_OFF), IDC_LTC_READ);
    EXPECT_EQ(g_sent, (std::vector<std::string>{"mode 1"}));
    EXPECT_EQ(Field(FIELD_MODE), "LTC READ");
    EXPECT_TRUE(Enabled(IDC_START_SET));
    EXPECT_TRUE(Enabled(IDC_FPS_30));

    g_sent.clear();
    Click(IDC_LTC_REFRESH);
    Click(IDC_LTC_WRITE);
    Click(IDC_LTC_WRITE);
    EXPECT_EQ(Current(IDC_LTC_OFF), IDC_LTC_REFRESH);
    EXPECT_EQ(g_sent.front(), "mode 2");
    EXPECT_EQ(g_sent.back(), "mode 2");

    // The Write key's colour follows the selection.
    ButtonGroup* modes = FindButtonGroup(IDC_LTC_WRITE);
    PanelColor color = 0;
    GroupNotify n{modes, host, GRP_COLOR, IDC_LTC_WRITE, &color};
    modes->handler(&n);
    EXPECT_EQ(color, 0x87400080u);
    Click(IDC_LTC_WRITE);
    modes->handler(&n);
    EXPECT_EQ(color, 0x856060C4u);
}

TEST_F(PanelState, RateAndLevelKeysSendTheirCommands) {
    TimecodePanel().current.frames = 27;
    Click(IDC_FPS_24);
    EXPECT_EQ(Field(FIELD_RATE), "24 FPS");
    Click(IDC_LEVEL_P4);
    EXPECT_EQ(Field(FIELD_LEVEL), "VU +4dB");
    // Frames beyond the new rate are limited to its last frame.
    EXPECT_EQ(g_sent, (std::vector<std::string>{"rate 0 00:00:00:23", "level 3"}));
    EXPECT_EQ(TimecodePanel().current.levelCode, 3);
    g_sent.clear();
    Click(9999); // not a key
    Click(IDC_DISPLAY);
    DestroyWindow(GetDlgItem(host, IDC_START_SET)); // a key missing from the panel
    Click(IDC_START_SET);
    EXPECT_TRUE(g_sent.empty());
}

} // namespace
