// The process-wide GDI object cache and shared palette. Every brush, pen, font and bitmap the
// panel draws with is created once, on first request, and shared by every window; callers keep
// entry pointers and never delete the objects. User-interface thread only; nothing is locked.
#pragma once

#include <windows.h>

#include "toolkit/fontdesc.h"
#include "toolkit/palettelist.h"

enum GdiCacheKind : WORD {
    GDI_CACHE_FONT = 1,
    GDI_CACHE_PEN = 2,
    GDI_CACHE_BRUSH = 3,
    GDI_CACHE_BITMAP = 5,
};

struct GdiCacheEntry {
    GdiCacheEntry* next; // newest first
    WORD kind;           // GdiCacheKind
    WORD stock;          // a stock object: never deleted
    HGDIOBJ handle;      // may be null when the system could not create the object
    union {
        struct {
            COLORREF color; // RGB, 24 bits
        } brush;
        struct {
            PanelColor color; // the word exactly as requested
            int style;
            int width;
        } pen;
        struct {
            UINT id;
            int width;
            int height;
        } bitmap;
        struct {
            int weight;
            int height;
            BYTE italicUnderline;
            BYTE pitchAndFamily;
            BYTE charset;
            char* face; // zero-terminated copy, owned by the entry
        } font;
    };
};

struct SharedPaletteState {
    PaletteColorList colors; // version 0x300, up to 256 entries, fixed colours first
    HPALETTE handle;         // made by RebuildPalette on palette displays only
};
extern SharedPaletteState SharedPalette;

// Registers a colour for the next palette: index in the list, or -1 when it is full. A bad
// StdColorTable shows "Palette Index Mismatch" per wrong entry.
int PaletteAddColor(PanelColor color);

// The COLORREF to draw with: palette-relative (0x01000000 | nearest index) when the palette
// exists, else bits 0-23.
COLORREF PaletteColorRef(PanelColor color);

// Rebuilds the palette for the kind of display dc belongs to (a palette only with RC_PALETTE)
// and gives every fixed colour a brush made with it. A fixed colour's entry that exists already
// keeps its address and gets the new brush, so pointers held by callers stay valid.
void RebuildPalette(HDC dc);

// Cached objects; null only when memory runs out, or the font or bitmap cannot be had.
GdiCacheEntry* GetCachedBrush(PanelColor color);
GdiCacheEntry* GetCachedPen(PanelColor color, int style, int width); // width 0: stock NULL_PEN
GdiCacheEntry* GetCachedFont(const char* fontText);
GdiCacheEntry* GetCachedBitmap(UINT id); // a bitmap resource of AppInstance()

// Removes an entry from the cache and deletes its object unless stock. False when not cached.
bool FreeCachedObject(GdiCacheEntry* entry);

// The number of entries in the cache (diagnostics: it grows only with new kinds of objects).
int CachedObjectCount();

// Handles of an entry, null for a null entry.
inline HBRUSH CachedBrush(const GdiCacheEntry* e) {
    return e ? (HBRUSH)e->handle : nullptr;
}
inline HPEN CachedPen(const GdiCacheEntry* e) {
    return e ? (HPEN)e->handle : nullptr;
}
inline HFONT CachedFont(const GdiCacheEntry* e) {
    return e ? (HFONT)e->handle : nullptr;
}
inline HBITMAP CachedBitmap(const GdiCacheEntry* e) {
    return e ? (HBITMAP)e->handle : nullptr;
}

// Selects the shared palette into dc (foreground) and realises it. Returns the palette that was
// selected before, or null when there is no shared palette (then nothing was changed).
HPALETTE SelectSharedPalette(HDC dc);
// Selects back what SelectSharedPalette returned (nothing for null).
void RestorePalette(HDC dc, HPALETTE previous);
