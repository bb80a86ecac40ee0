// The panel builder: creates a panel's controls as child windows of an ordinary window from a
// dialog template resource, and lays them out again when that window is resized. Captions carry
// markup (see panelbuilder_caption.h); the template's string item lists (D, W, C, L) redirect the
// template, name a callback, give the background colour and set texts after the build.
// Every function runs on the user-interface thread; nothing is locked.
#pragma once

#include <windows.h>

#include <cstdint>

#include "toolkit/palettelist.h"
#include "toolkit/panelbuilder_template.h"

// Notifications to a panel's callback, and PNM_READY posted to the parent after a build.
constexpr UINT PNM_BUILT = WM_USER + 301;    // wParam template id, lParam the record
constexpr UINT PNM_READY = WM_USER + 302;    // posted; wParam template id, lParam the record
constexpr UINT PNM_PRECLEAR = WM_USER + 303; // an existing panel is about to be cleared
constexpr UINT PNM_CLEAR = WM_USER + 304;    // its background brush is gone, controls follow

// A template item with one of these ids is no control: it marks the stretch band (see
// MapPanelRect) and takes no item record.
constexpr int32_t kPanelMarkerId = 65534;
constexpr int32_t kPanelMarkerIdAlt = 65533;
constexpr int32_t kPanelNoMarker = -2;
constexpr size_t kPanelTitleSize = 1024;

struct PanelRecord;

// A function exported by the template's module under the name of the W item.
typedef void(WINAPI* PanelCallback)(PanelRecord* panel, UINT message, WPARAM wParam, LPARAM lParam,
                                    LONG* result);

struct PanelItem {
    int32_t controlId;
    PanelArea templateRect; // template pixels, before any stretching
    HWND window;            // null when creation failed
    HICON icon;             // loaded for an icon-style key; destroyed when the panel is rebuilt
};

struct PanelRecord {
    HWND parent;
    PanelCallback callback;
    HFONT templateFont;
    PanelArea templateRect; // (0, 0, width, height)
    PanelBand band;
    int32_t marker; // kPanelMarkerId or kPanelMarkerIdAlt, or kPanelNoMarker
    PanelColor backgroundColor;
    HBRUSH backgroundBrush; // owned; made by the background painter, deleted by the next build
    uint32_t itemCount;
    uint32_t capacity;
    PanelItem items[1]; // capacity of them
};

struct PanelTemplateInfo {
    PanelArea rect;
    int32_t baseX;
    int32_t baseY;
    uint32_t itemCount;
    HFONT font;
    char title[kPanelTitleSize];
};

// Reads the template header of size bytes: the first item, or null for an extended or
// truncated template. Measures the template font on the screen for the base units.
const BYTE* ParseTemplateHeader(const void* dialogTemplate, DWORD size, PanelTemplateInfo* info);

// The template's rectangle (0, 0, width, height) in pixels; false when it cannot be found,
// loaded, locked or read. The template's D item applies.
bool GetPanelTemplateRect(HINSTANCE module, UINT templateId, RECT* rect);

// Destroys parent's children and builds the template's controls into target (the client
// rectangle when null). *place holds the record or null and is updated. False when the template
// is missing (nothing changed) or memory runs out (*place then null).
bool BuildPanel(HWND parent, PanelRecord** place, const RECT* target, HINSTANCE module,
                UINT templateId);

// Moves every control to its place for the parent's current client rectangle (on WM_SIZE).
void LayoutPanel(PanelRecord* panel);

// Maps a rectangle in template pixels into the client rectangle by the panel's stretch band.
void MapPanelRect(const PanelRecord* panel, const RECT* client, RECT* rect);
