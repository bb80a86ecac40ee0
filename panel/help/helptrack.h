// Help window logic that needs no window: the pointer-tracking tick with its dwell counts, the
// placement above the target, the title bar hit test and the topic history ring.
//
// Pure code (no <windows.h>); windows are opaque 32-bit values here. Called by the help window's
// window procedure on the panel's user-interface thread; no locks.
#pragma once

#include "help/helprender.h"

#include <cstdint>

// State flags of the help window.
constexpr uint32_t HELP_STATE_PINNED = 0x04;
constexpr uint32_t HELP_STATE_LEAVING = 0x08;
constexpr uint32_t HELP_STATE_HELP_MODE = 0x10;
constexpr uint32_t HELP_STATE_BUTTON_DOWN = 0x20;
constexpr uint32_t HELP_STATE_DRAGGING = 0x40;

// Title bar hit codes.
constexpr uint32_t HELP_HIT_CLOSE = 0x80000001;
constexpr uint32_t HELP_HIT_BACK = 0x80000002;
constexpr uint32_t HELP_HIT_HOME = 0x80000003;

constexpr int32_t HELP_DWELL_THRESHOLD = 8;
constexpr int32_t HELP_REST_DISTANCE2 = 20; // moved when dx*dx + dy*dy exceeds this
constexpr int32_t HELP_DRAG_DISTANCE2 = 12; // a drag starts at this dx*dx + dy*dy
constexpr int32_t HELP_NEAR_MARGIN = 15;
constexpr int HELP_HISTORY_SIZE = 20;

struct HelpPoint {
    int32_t x, y;
};

struct HelpTracker {
    uint32_t flags;
    uint32_t lastSeen;  // window last seen under the pointer, 0 for none
    uint32_t dismissed; // window whose help was hidden with the remember flag
    int32_t dwell;
    int32_t threshold;
    HelpPoint rest;
};

struct HelpTickInput {
    HelpPoint pointer; // screen
    uint32_t under;    // the window under the pointer after the owner filter, 0 for none
    bool visible;      // the help window is visible
    bool titleBar;     // and shows a title bar
    HelpRect helpRect; // its window rectangle (screen)
};

enum HelpTickAction { HELP_TICK_NONE, HELP_TICK_HIDE, HELP_TICK_SHOW };

// One 100 ms tick: what the help window must do now (post HM_HIDE 0, send HM_SHOWATPOINTER 0).
HelpTickAction HelpTick(HelpTracker* tracker, const HelpTickInput& input);

struct HelpPlaceInput {
    HelpRect screen; // the desktop window's rectangle
    HelpRect owner;  // the owner's rectangle (the screen when there is no owner)
    HelpRect target; // the target rectangle (screen)
    int32_t width;   // laid-out width (content + 12)
    int32_t height;  // laid-out height (content + 12)
    bool titleBar;   // the title bar is on
    bool links;      // the topic has links
    int32_t titleWidth, titleHeight;
    int32_t buttonWidth;
    HelpRect drag; // left < right: the user's position
    int32_t pointerY;
};

// Where the window goes; grows *titleBarHeight when the title needs more.
HelpRect PlaceHelpWindow(const HelpPlaceInput& input, int32_t* titleBarHeight);

// Title bar hit test in client coordinates: a hit code, the up topic, 0, or -1 when the point is
// below the title strip (the content decides).
int64_t HelpTitleHit(bool titleBar, int32_t titleBarHeight, int32_t buttonWidth,
                     int32_t clientWidth, int32_t historyCount, int32_t upTopic, int32_t x,
                     int32_t y);

struct HelpHistory {
    int32_t entries[HELP_HISTORY_SIZE];
    int32_t count; // 0 to 20
    int32_t index; // next write position, 0 to 19
};

void PushHelpHistory(HelpHistory* history, int32_t topic);
// The topic before; the history must not be empty.
int32_t PopHelpHistory(HelpHistory* history);
