// Radio groups of panel keys. A process-wide table of ButtonGroup rows (ended by a row whose
// first id is 0) says which control ids form a group, which is selected and which colours show
// it; each group's handler is told what happens and may refuse a user's selection or change a
// key's colour. Keys are recoloured with PCM_SETBKCOLOR. User-interface thread only; no locks.
#pragma once

#include <cstdint>

#include "toolkit/palettelist.h"

struct HWND__;
typedef HWND__* HWND; // the same handle type <windows.h> declares

enum GroupNotifyCode : int32_t {
    GRP_INIT = 1,     // once per group at initialisation (id 0)
    GRP_COLOR = 2,    // before a key is sent its colour; param points at it
    GRP_QUERY = 3,    // before a user's selection: 1 refuses it
    GRP_CHANGED = 4,  // after a user's selection
    GRP_SELECT = 5,   // a key becomes the selected one
    GRP_DESELECT = 6, // the previously selected key stops being selected
};

struct ButtonGroup;

struct GroupNotify {
    ButtonGroup* group;
    HWND window; // parent of the group's keys
    int32_t code;
    uint32_t id;       // 0 for GRP_INIT
    PanelColor* param; // GRP_COLOR: the colour about to be sent; otherwise null
};

using GroupHandler = int32_t (*)(GroupNotify* notify);

struct ButtonGroup {
    uint16_t firstId, lastId; // the group is every id from first to last
    uint16_t currentId;       // 0 for none
    GroupHandler handler;     // may be null: every notification then yields -1
    PanelColor unselectedColor;
    PanelColor selectedColor;
    int32_t rememberedId; // kept for the handler's logic
};

// Where the group operations send colours. The program's sink sends PCM_SETBKCOLOR with
// SendDlgItemMessage and registers colours with the shared palette; tests record.
struct GroupSink {
    void (*sendColor)(HWND window, uint32_t id, PanelColor color);
    int (*addColor)(PanelColor color);
};

// The table the operations below work on (the program's is defined with the panel's logic).
void SetButtonGroupTable(ButtonGroup* table);
ButtonGroup* ButtonGroupTable();
ButtonGroup* FindButtonGroup(uint32_t id);

// With an explicit sink (tests); the plain forms below use the program's.
void InitButtonGroupsWith(HWND window, const GroupSink& sink);
int SelectGroupButtonWith(HWND window, uint32_t id, int ask, const GroupSink& sink);

// Colours every key of every group for its current id and announces the current ids.
void InitButtonGroups(HWND window);
// 1 when the id is in a group and the selection was made; 0 when in no group or refused.
// ask != 0 is a user's click: GRP_QUERY first, GRP_CHANGED after.
int SelectGroupButton(HWND window, uint32_t id, int ask);
// Swaps value into the remembered id of the group holding id; returns the old one (0: no group).
int32_t SetGroupRememberedId(HWND window, uint32_t id, int32_t value);
