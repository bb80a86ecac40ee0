// The tiled panel background: one process-wide bitmap from the program's resources, repeated
// across a panel's client area; without a usable bitmap the area is filled with the panel's
// background colour. The main window loads it at creation, paints it on WM_ERASEBKGND and
// releases it at destruction. User-interface thread only; nothing is locked.
#pragma once

#include <windows.h>

struct PanelRecord;

// Releases what is held, then loads bitmap resource bitmapId of the program (0: release only).
void LoadBackground(UINT bitmapId);

// Paints the client area of the panel's window into target. Creates the panel's background
// brush on first use (the panel record owns it).
void PaintBackground(PanelRecord* panel, HDC target);
