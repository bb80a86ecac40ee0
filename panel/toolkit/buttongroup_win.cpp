// The program's side of the radio groups: colours go to the keys as PCM_SETBKCOLOR and into the
// shared palette. User-interface thread.
#include <windows.h>

#include "toolkit/buttongroup.h"
#include "toolkit/gdicache.h"
#include "toolkit/panelbutton.h"

namespace {

void SendKeyColor(HWND window, uint32_t id, PanelColor color) {
    SendDlgItemMessageA(window, static_cast<int>(id), PCM_SETBKCOLOR, 1,
                        static_cast<LPARAM>(color));
}

constexpr GroupSink kProgramSink = {SendKeyColor, PaletteAddColor};

} // namespace

void InitButtonGroups(HWND window) {
    InitButtonGroupsWith(window, kProgramSink);
}

int SelectGroupButton(HWND window, uint32_t id, int ask) {
    return SelectGroupButtonWith(window, id, ask, kProgramSink);
}
