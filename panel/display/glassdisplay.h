// The glass display window class, AppDisplayClass: a black read-out of seven- and sixteen-segment
// display fields whose glass cracks under a left click. The window data is the model of
// glassmodel.h. Everything runs on the user-interface thread; nothing is locked.
#pragma once

#include <windows.h>

#include "display/glassmodel.h"

// wParam = field id (nonzero), lParam = const DisplayFieldSpec* or null to delete the field.
#define DM_SETFIELD (WM_USER + 101)

#define APP_DISPLAY_CLASS "AppDisplayClass"

// Remembers the glass sound's resource id (type "WAVE", 0 for none) and registers the class
// with the given cursor resource (0 for none). Called once at start-up. Returns the atom.
ATOM RegisterDisplayClass(UINT soundId, UINT cursorId);

// How the display plays and stops sounds; sndPlaySoundA unless a test puts in its own.
using GlassSoundPlayer = BOOL(WINAPI*)(LPCSTR sound, UINT flags);
void SetGlassSoundPlayer(GlassSoundPlayer player);

// The window data of a display window (tests look inside).
inline GlassDisplayData* GetGlassDisplayData(HWND window) {
    return reinterpret_cast<GlassDisplayData*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}
