// The panel's logic (see timecodepanel.h).
#include "timecode/timecodepanel.h"

#include <cstdio>

#include "display/glassdisplay.h"
#include "help/helpwindow.h"
#include "link/midilink.h"
#include "res/resource.h"
#include "base/aboutbox.h"
#include "base/resstr.h"
#include "base/settings.h"
#include "toolkit/buttongroup.h"
#include "toolkit/gdicache.h"
#include "toolkit/panelbutton.h"

namespace {

constexpr int kStartTextMax = 100;
constexpr PanelColor kWriteColorSelected = 0x856060C4;
constexpr PanelColor kWriteColorIdle = 0x87400080;

// The program's table: the protocol's encoders on the MIDI link.
bool OpenMidi() {
    return MidiLinkOpen() == 0;
}
void SendLocateTime(const Timecode& tc, int32_t mode, int32_t level) {
    SendLocate(TimecodeTime{tc.rateCode, tc.hours, tc.minutes, tc.seconds, tc.frames}, mode, level);
}
void SetTarget(HWND window) {
    ProtocolSetTargetWindow(reinterpret_cast<uintptr_t>(window));
}
void SetModeCode(int32_t mode) {
    SendSetMode(mode);
}
void SetLevelCode(int32_t level) {
    SendSetLevel(level);
}
void SetRate(int32_t rate, int32_t h, int32_t m, int32_t s, int32_t f) {
    SendSetFrameRate(rate, h, m, s, f);
}
const PanelLinkOps kMidiLink = {OpenMidi,         MidiLinkClose,       SendIdentityRequest,
                                SendStateRequest, SetModeCode,         SetLevelCode,
                                SetRate,          SendLocateTime,      ProtocolResetQuarterFrames,
                                SetTarget,        ProtocolCurrentMode, ProtocolSetCurrentMode};

const PanelLinkOps* g_link = &kMidiLink;

TimecodePanelState g_panel = {
    {TIMECODE_UNSET, 25, 0, 0, 0, 0, 0}, {TIMECODE_UNSET, 25, 0, 0, 0, 0, 0}, 1};

int32_t ModeCode(uint32_t id) {
    return id >= IDC_LTC_OFF && id <= IDC_LTC_MTC ? static_cast<int32_t>(id - IDC_LTC_OFF) : 1;
}

const char* ModeText(uint32_t id) {
    static const char* const texts[] = {"LTC OFF", "LTC READ", "LTC REFR", "WRITE", "MTC/LTC"};
    return id >= IDC_LTC_OFF && id <= IDC_LTC_MTC ? texts[id - IDC_LTC_OFF] : nullptr;
}

const char* RateText(uint32_t id) {
    static const char* const texts[] = {"24 FPS", "25 FPS", "30 DROP", "30 FPS"};
    return id >= IDC_FPS_24 && id <= IDC_FPS_30 ? texts[id - IDC_FPS_24] : nullptr;
}

const char* LevelText(uint32_t id) {
    static const char* const texts[] = {"VU -9dB", "VU -4dB", "VU  0dB", "VU +4dB"};
    return id >= IDC_LEVEL_M9 && id <= IDC_LEVEL_P4 ? texts[id - IDC_LEVEL_M9] : nullptr;
}

void SetField(HWND window, uint32_t field, const char* text) {
    if (text != nullptr)
        SendDlgItemMessageA(window, IDC_DISPLAY, WM_SETTEXT, field, reinterpret_cast<LPARAM>(text));
}

void ShowTime(HWND window, const Timecode& tc) {
    char text[kTimecodeTextSize];
    FormatTimecode(tc, text);
    SetField(window, FIELD_TIME, text);
}

int32_t FrameRateHandler(GroupNotify* n) {
    if (n->code == GRP_QUERY) {
        int32_t rate = static_cast<int32_t>(n->id) - IDC_FPS_24;
        Timecode& tc = g_panel.current;
        g_panel.lastShownRate = rate;
        ChangeTimecodeRate(&tc, rate);
        PanelLink().sendSetFrameRate(rate, tc.hours, tc.minutes, tc.seconds, tc.frames);
    } else if (n->code == GRP_SELECT) {
        SetField(n->window, FIELD_RATE, RateText(n->id));
    }
    return -1;
}

int32_t LevelHandler(GroupNotify* n) {
    if (n->code == GRP_QUERY) {
        int32_t level = static_cast<int32_t>(n->id) - IDC_LEVEL_M9;
        g_panel.current.levelCode = level;
        PanelLink().sendSetLevel(level);
    } else if (n->code == GRP_SELECT) {
        SetField(n->window, FIELD_LEVEL, LevelText(n->id));
    }
    return -1;
}

void SendMode(int32_t mode) {
    PanelLink().setCurrentMode(mode);
    PanelLink().sendSetMode(mode);
}

// A click on a mode key; 1 refuses the selection.
int32_t ModeQuery(GroupNotify* n) {
    ButtonGroup* group = n->group;
    if (n->id != IDC_LTC_WRITE) {
        group->rememberedId = static_cast<int32_t>(n->id);
        SendMode(ModeCode(n->id));
        return -1;
    }
    if (group->currentId != IDC_LTC_WRITE) { // Write: locate and start writing
        const Timecode& tc = g_panel.current;
        PanelLink().sendLocate(tc, 3, tc.levelCode);
        PanelLink().resetExpectedPiece();
        return -1;
    }
    // Write again: back to the remembered mode.
    if (group->rememberedId == 0)
        group->rememberedId = IDC_LTC_READ;
    uint32_t back = static_cast<uint32_t>(group->rememberedId);
    SelectGroupButton(n->window, back, 0);
    SendMode(ModeCode(back));
    return 1;
}

void ModeSelected(HWND window, uint32_t id) {
    bool writing = id == IDC_LTC_WRITE;
    DisplayFieldSpec field{};
    field.text = ModeText(id);
    field.litColor = writing ? 0x4040FF : GLASS_COLOR_LIT;
    field.unlitColor = GLASS_COLOR_UNLIT;
    if (field.text != nullptr)
        SendDlgItemMessageA(window, IDC_DISPLAY, DM_SETFIELD, FIELD_MODE,
                            reinterpret_cast<LPARAM>(&field));
    EnableWindow(GetDlgItem(window, IDC_START_SET), !writing);
    for (int id2 = IDC_FPS_24; id2 <= IDC_FPS_30; ++id2)
        EnableWindow(GetDlgItem(window, id2), !writing);
}

int32_t ModeHandler(GroupNotify* n) {
    switch (n->code) {
        case GRP_COLOR:
            if (n->id == IDC_LTC_WRITE && n->param != nullptr)
                *n->param =
                    n->group->currentId == IDC_LTC_WRITE ? kWriteColorSelected : kWriteColorIdle;
            return -1;
        case GRP_QUERY:
            return ModeQuery(n);
        case GRP_SELECT:
            ModeSelected(n->window, n->id);
            return -1;
        default:
            return -1;
    }
}

const ButtonGroup kGroupsAtStart[] = {
    {IDC_FPS_24, IDC_FPS_30, IDC_FPS_25, FrameRateHandler, 0x602020, 0xFF8080, 0},
    {IDC_LTC_OFF, IDC_LTC_MTC, IDC_LTC_READ, ModeHandler, 0x206020, 0x80C080, 0},
    {IDC_LEVEL_M9, IDC_LEVEL_P4, IDC_LEVEL_M4, LevelHandler, 0x206020, 0x80C080, 0},
    {0, 0, 0, nullptr, 0, 0, 0},
};
ButtonGroup g_groups[sizeof kGroupsAtStart / sizeof kGroupsAtStart[0]];

void SetStartTime(HWND window) {
    if (g_panel.start.rateCode == TIMECODE_UNSET)
        return;
    Timecode& tc = g_panel.current;
    tc.hours = g_panel.start.hours;
    tc.minutes = g_panel.start.minutes;
    tc.seconds = g_panel.start.seconds;
    tc.frames = g_panel.start.frames;
    ShowTime(window, g_panel.start);
    PanelLink().sendLocate(tc, PanelLink().currentMode(), tc.levelCode);
}

void StartEditLeft(HWND window) {
    Timecode typed;
    ReadStartTime(window, &typed);
    if (!SendDlgItemMessageA(window, IDC_START_EDIT, EM_GETMODIFY, 0, 0))
        return;
    g_panel.start = typed;
    char text[kTimecodeTextSize];
    FormatTimecode(typed, text);
    WriteSettingString(VARLO_VALUE_TIMECODE, text);
    SetDlgItemTextA(window, IDC_START_EDIT, text);
}

// A command acts only when its key could have been clicked: a help link or a posted command for
// a key that is disabled (Set and the frame rates while writing), hidden or missing (no panel
// built) does nothing, nor does any while the window is disabled (a modal box is open). Enter
// (IDOK) has no key of its own.
bool KeyUsable(HWND window, UINT id) {
    if (!IsWindowEnabled(window))
        return false;
    HWND key = GetDlgItem(window, static_cast<int>(id));
    if (key == nullptr)
        return id == IDOK;
    return IsWindowEnabled(key) && (GetWindowLongA(key, GWL_STYLE) & WS_VISIBLE) != 0;
}

void OnCommand(HWND window, UINT id, UINT code) {
    if (!KeyUsable(window, id))
        return;
    if (SelectGroupButton(window, id, 1))
        return;
    switch (id) {
        case IDC_START_SET:
            SetStartTime(window);
            break;
        case IDC_START_EDIT:
            if (code == EN_KILLFOCUS)
                StartEditLeft(window);
            break;
        case IDOK: {
            HWND write = GetDlgItem(window, IDC_LTC_WRITE);
            if (write != nullptr && GetFocus() != write)
                SetFocus(write);
            break;
        }
        case IDC_LOGO:
            if (code == STN_CLICKED)
                DialogBoxParamA(AppInstance(), MAKEINTRESOURCEA(IDD_ABOUT), window, AboutBoxProc,
                                0);
            break;
        default:
            break;
    }
}

void OnMtcTime(HWND window, LPARAM value) {
    Timecode& tc = g_panel.current;
    TimecodeFromMtc(static_cast<uint32_t>(value), tc.levelCode, &tc);
    ShowTime(window, tc);
    if (tc.rateCode != g_panel.lastShownRate) {
        g_panel.lastShownRate = tc.rateCode;
        SelectGroupButton(window, static_cast<uint32_t>(IDC_FPS_24 + tc.rateCode), 0);
    }
}

void OnVersion(HWND window, WPARAM numbers, LPARAM version) {
    if (version > 101)
        PanelLink().sendStateRequest();
    char text[64];
    snprintf(text, sizeof text, "Varlo %d/%d V%d", static_cast<int>(numbers & 0xFF),
             static_cast<int>(numbers >> 8 & 0xFF), static_cast<int>(version));
    SetField(window, FIELD_INTERFACE, text);
}

void OnState(HWND window, WPARAM rateLevel, LPARAM time) {
    Timecode& tc = g_panel.current;
    Timecode previous = tc;
    TimecodeFromStateReport(static_cast<uint32_t>(rateLevel), static_cast<uint32_t>(time), previous,
                            &tc);
    int32_t mode = PanelLink().currentMode();
    SelectGroupButton(window, static_cast<uint32_t>(IDC_LEVEL_M9 + tc.levelCode), 0);
    SelectGroupButton(window, static_cast<uint32_t>(IDC_FPS_24 + tc.rateCode), 0);
    // Only a defined mode is shown and remembered: Write must always lead back to a mode key.
    bool known = mode >= 0 && mode <= IDC_LTC_MTC - IDC_LTC_OFF;
    if (known)
        SelectGroupButton(window, static_cast<uint32_t>(IDC_LTC_OFF + mode), 0);
    if (known && mode != 3)
        SetGroupRememberedId(window, IDC_LTC_OFF, IDC_LTC_OFF + mode);
    ShowTime(window, tc);
    PanelLink().resetExpectedPiece();
}

} // namespace

const PanelLinkOps& PanelLink() {
    return *g_link;
}

void SetPanelLinkOps(const PanelLinkOps* ops) {
    g_link = ops ? ops : &kMidiLink;
}

TimecodePanelState& TimecodePanel() {
    return g_panel;
}

void InitPanelLink(HWND window, HICON icon) {
    PanelLink().setTargetWindow(window);
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    CreateAppHelpWindow(window);
    PanelLink().sendIdentityRequest();
}

void InitTimecodeState(HWND window) {
    for (size_t i = 0; i < sizeof g_groups / sizeof g_groups[0]; ++i)
        g_groups[i] = kGroupsAtStart[i];
    SetButtonGroupTable(g_groups);
    InitTimecode(&g_panel.current, 1, 1);
    g_panel.start = g_panel.current;
    char text[kStartTextMax] = VARLO_DEFAULT_TIMECODE;
    ReadSettingString(VARLO_VALUE_TIMECODE, text, sizeof text, VARLO_DEFAULT_TIMECODE);
    ParseTime(text, &g_panel.start);
    char shown[kTimecodeTextSize];
    FormatTimecode(g_panel.start, shown);
    SetDlgItemTextA(window, IDC_START_EDIT, shown);
}

void SetupDisplayFields(HWND window) {
    struct Field {
        uint32_t id;
        DisplayFieldSpec field;
    };
    const Field fields[] = {
        {FIELD_TIME,
         {0, 20, DISPLAY_POS_FROM_END, DISPLAY_POS_FROM_END, DISPLAY_FIELD_SEVEN_SEGMENT, 0,
          "00:00:00:00", 0, 0}},
        {FIELD_MODE, {0, 0, 80, 16, DISPLAY_FIELD_SIXTEEN_SEGMENT, 8, "LTC", 0, 0}},
        {FIELD_RATE,
         {95, 0, 175, 16, DISPLAY_FIELD_SIXTEEN_SEGMENT, 8, "24 FPS", 0xFF8080, 0x404040}},
        {FIELD_LEVEL, {190, 0, 260, 16, DISPLAY_FIELD_SIXTEEN_SEGMENT, 7, "+4 DB", 0, 0}},
        {FIELD_INTERFACE,
         {275, 0, 465, 16, DISPLAY_FIELD_SIXTEEN_SEGMENT, 19, "NO INTERFACE", 0, 0}},
    };
    for (const Field& f : fields)
        SendDlgItemMessageA(window, IDC_DISPLAY, DM_SETFIELD, f.id,
                            reinterpret_cast<LPARAM>(&f.field));
}

void ReadStartTime(HWND window, Timecode* tc) {
    InitTimecode(tc, g_panel.current.rateCode, g_panel.current.levelCode);
    char text[kStartTextMax + 1] = "";
    GetDlgItemTextA(window, IDC_START_EDIT, text, sizeof text);
    ParseTime(text, tc);
}

int PanelMessageHandler(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            OnCommand(window, LOWORD(wParam), HIWORD(wParam));
            return 1;
        case WM_DRAWITEM: {
            auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            HPALETTE previous = SelectSharedPalette(item->hDC);
            BOOL drawn = DrawMarkupButtonItem(window, item);
            RestorePalette(item->hDC, previous);
            return drawn;
        }
        case PM_MTC_TIME:
            OnMtcTime(window, lParam);
            return 1;
        case PM_IF_VERSION:
            OnVersion(window, wParam, lParam);
            return 1;
        case PM_IF_STATE:
            OnState(window, wParam, lParam);
            return 1;
        default:
            return 0;
    }
}
