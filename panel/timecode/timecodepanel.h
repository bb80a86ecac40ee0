// The panel's logic: the current timecode and start time, the mode, frame-rate and level groups,
// the five fields of the glass display, and what each key, the start-time edit and each message
// from the interface does to them. Runs on the user-interface thread inside the main window's
// procedure; nothing is locked. The interface is reached through PanelLinkOps, so tests can put
// in a recorder; the program's table sends on the MIDI link (midilink.h, protocol.h).
#pragma once

#include <windows.h>

#include <cstdint>

#include "link/protocol.h"
#include "timecode/timecode.h"

// Glass display field ids.
enum : uint32_t {
    FIELD_TIME = 1,
    FIELD_MODE = 2,
    FIELD_LEVEL = 3,
    FIELD_RATE = 4,
    FIELD_INTERFACE = 5,
};

// What the panel asks of the interface link. Every entry must be set.
struct PanelLinkOps {
    bool (*openLink)();  // opens the interface's MIDI ports; false when none is found
    void (*closeLink)(); // closes them (no effect when closed)
    void (*sendIdentityRequest)();
    void (*sendStateRequest)();
    void (*sendSetMode)(int32_t mode);
    void (*sendSetLevel)(int32_t level);
    void (*sendSetFrameRate)(int32_t rate, int32_t hours, int32_t minutes, int32_t seconds,
                             int32_t frames);
    void (*sendLocate)(const Timecode& target, int32_t mode, int32_t level);
    void (*resetExpectedPiece)();  // next expected quarter-frame piece := -1
    void (*setTargetWindow)(HWND); // where the decoders post (null: nowhere)
    int32_t (*currentMode)();      // the LtcMode, also stored by the decoders
    void (*setCurrentMode)(int32_t mode);
};

// The table in use: the MIDI link's unless a test put in its own.
const PanelLinkOps& PanelLink();
void SetPanelLinkOps(const PanelLinkOps* ops); // null: back to the MIDI link

// The panel state the handlers work on (tests look inside).
struct TimecodePanelState {
    Timecode current;      // on the display; rate and level in force
    Timecode start;        // in the start-time edit
    int32_t lastShownRate; // rate whose key was last selected from incoming timecode
};
TimecodePanelState& TimecodePanel();

// Makes window the decoders' target, gives it the program icon (large and small) and asks the
// interface who it is.
void InitPanelLink(HWND window, HICON icon);
// Current timecode 25 frames, level 1, 00:00:00:00; start time from the setting "Timecode";
// the start-time edit shows it. Also installs the panel's button groups.
void InitTimecodeState(HWND window);
// Defines the glass display's five fields.
void SetupDisplayFields(HWND window);

// Messages of the main window that the procedure does not handle itself: WM_COMMAND,
// WM_DRAWITEM, PM_MTC_TIME, PM_IF_VERSION, PM_IF_STATE. Nonzero when handled.
int PanelMessageHandler(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The start-time edit's text read into tc with the current rate and level.
void ReadStartTime(HWND window, Timecode* tc);
