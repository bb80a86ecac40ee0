// The help window's drawing and text source on Win32: the renderer's canvas on a device
// context with the help services, and help text block 9001 loaded through the services.
// User-interface thread only; no locks.
#pragma once

#include <windows.h>

#include "help/helprender.h"
#include "help/helpwindow.h"

// The drawing side of the renderer: a device context and the services.
struct GdiCanvas {
    const HelpServices* services;
    HDC dc;
    HWND colorWindow;
};

// The renderer's canvas drawing on gdi->dc (set around each pass by the caller).
HelpCanvas MakeGdiCanvas(GdiCanvas* gdi);

// Help text block 9001 from the services' resource (or the file it names), cached.
const HelpBlock* LoadServicesHelpBlock(const HelpServices* services);
