// The GDI object cache and the shared palette. User-interface thread only; nothing is locked.
// Entries live in one singly linked list, newest first, and are never freed except through
// FreeCachedObject.
#include "toolkit/gdicache.h"

#include <cstring>

#include "base/resstr.h"

static_assert(sizeof(PaletteColor) == sizeof(PALETTEENTRY));
static_assert(offsetof(PaletteColorList, entries) == offsetof(LOGPALETTE, palPalEntry));

SharedPaletteState SharedPalette = {{0x300, 0, {}}, nullptr};

namespace {

GdiCacheEntry* g_head;

void ShowIndexMismatch() {
    MessageBoxA(nullptr, "Palette Index Mismatch", "Warning", MB_OK);
}

GdiCacheEntry* NewEntry(WORD kind, HGDIOBJ handle, std::size_t extra) {
    auto* entry = static_cast<GdiCacheEntry*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(GdiCacheEntry) + extra));
    if (!entry)
        return nullptr;
    entry->kind = kind;
    entry->handle = handle;
    return entry;
}

void Push(GdiCacheEntry* entry) {
    entry->next = g_head;
    g_head = entry;
}

StdColor* SlotOf(PanelColor color) {
    if (!PanelColorIsFixed(color))
        return nullptr;
    unsigned number = PanelColorFixedNumber(color);
    return number < kStdColorCount ? &StdColorTable[number] : nullptr;
}

// Gives a fixed colour's entry a brush made with the current palette, in place, so that
// whoever holds the entry keeps a valid one.
void RefreshFixedBrush(StdColor& slot) {
    GdiCacheEntry* entry = slot.brush;
    HBRUSH brush = CreateSolidBrush(PaletteColorRef(slot.word));
    if (!brush)
        return;
    HGDIOBJ old = entry->handle;
    entry->handle = brush;
    if (old)
        DeleteObject(old);
}

} // namespace

int PaletteAddColor(PanelColor color) {
    return PaletteListAdd(SharedPalette.colors, StdColorTable, color, ShowIndexMismatch);
}

COLORREF PaletteColorRef(PanelColor color) {
    if (SharedPalette.handle) {
        UINT index = GetNearestPaletteIndex(SharedPalette.handle, PanelColorRgb(color));
        if (index != CLR_INVALID)
            return PALETTEINDEX(index);
    }
    return PanelColorRgb(color);
}

void RebuildPalette(HDC dc) {
    if (SharedPalette.handle) {
        // A palette still selected into the device context cannot be deleted.
        if (dc && GetCurrentObject(dc, OBJ_PAL) == SharedPalette.handle)
            SelectPalette(dc, static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE)), FALSE);
        DeleteObject(SharedPalette.handle);
        SharedPalette.handle = nullptr;
    }
    if (dc && (GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) && SharedPalette.colors.count > 0)
        SharedPalette.handle = CreatePalette(reinterpret_cast<LOGPALETTE*>(&SharedPalette.colors));
    for (StdColor* slot = StdColorTable; slot->word != kStdColorEnd; ++slot) {
        if (slot->brush)
            RefreshFixedBrush(*slot);
        else
            slot->brush = GetCachedBrush(slot->word);
    }
}

GdiCacheEntry* GetCachedBrush(PanelColor color) {
    StdColor* slot = SlotOf(color);
    if (slot && slot->brush)
        return slot->brush;
    COLORREF rgb = PanelColorRgb(color);
    for (GdiCacheEntry* e = g_head; e; e = e->next) {
        if (e->kind == GDI_CACHE_BRUSH && e->brush.color == rgb)
            return e;
    }
    // A brush the system cannot make is not cached: the next request tries again.
    HBRUSH brush = CreateSolidBrush(PaletteColorRef(color));
    if (!brush)
        return nullptr;
    GdiCacheEntry* entry = NewEntry(GDI_CACHE_BRUSH, brush, 0);
    if (!entry) {
        DeleteObject(brush);
        return nullptr;
    }
    entry->brush.color = rgb;
    Push(entry);
    if (slot)
        slot->brush = entry;
    return entry;
}

GdiCacheEntry* GetCachedPen(PanelColor color, int style, int width) {
    for (GdiCacheEntry* e = g_head; e; e = e->next) {
        if (e->kind == GDI_CACHE_PEN && e->pen.color == color && e->pen.style == style &&
            e->pen.width == width)
            return e;
    }
    bool stock = width == 0;
    HGDIOBJ pen =
        stock ? GetStockObject(NULL_PEN) : CreatePen(style, width, PaletteColorRef(color));
    if (!pen)
        return nullptr;
    GdiCacheEntry* entry = NewEntry(GDI_CACHE_PEN, pen, 0);
    if (!entry) {
        if (!stock)
            DeleteObject(pen);
        return nullptr;
    }
    entry->stock = stock;
    entry->pen.color = color;
    entry->pen.style = style;
    entry->pen.width = width;
    Push(entry);
    return entry;
}

GdiCacheEntry* GetCachedFont(const char* fontText) {
    static FontSpecParts parts; // 1 KB face buffer; UI thread only
    ParseFontSpec(fontText, parts);
    for (GdiCacheEntry* e = g_head; e; e = e->next) {
        if (e->kind == GDI_CACHE_FONT && e->font.height == parts.height &&
            e->font.weight == parts.weight && e->font.pitchAndFamily == parts.pitchAndFamily &&
            e->font.italicUnderline == parts.italicUnderline &&
            std::strcmp(e->font.face, parts.face) == 0)
            return e;
    }
    HFONT font = CreateFontA(parts.height, 0, 0, 0, parts.weight, parts.italicUnderline & 1,
                             (parts.italicUnderline >> 1) & 1, 0, parts.charset, 0, 0,
                             PROOF_QUALITY, parts.pitchAndFamily, parts.face);
    if (!font)
        return nullptr;
    std::size_t faceBytes = std::strlen(parts.face) + 1;
    GdiCacheEntry* entry = NewEntry(GDI_CACHE_FONT, font, faceBytes);
    if (!entry) {
        DeleteObject(font);
        return nullptr;
    }
    entry->font.weight = parts.weight;
    entry->font.height = parts.height;
    entry->font.italicUnderline = parts.italicUnderline;
    entry->font.pitchAndFamily = parts.pitchAndFamily;
    entry->font.charset = parts.charset;
    entry->font.face = reinterpret_cast<char*>(entry + 1);
    std::memcpy(entry->font.face, parts.face, faceBytes);
    Push(entry);
    return entry;
}

GdiCacheEntry* GetCachedBitmap(UINT id) {
    for (GdiCacheEntry* e = g_head; e; e = e->next) {
        if (e->kind == GDI_CACHE_BITMAP && e->bitmap.id == id)
            return e;
    }
    HBITMAP bitmap = LoadBitmapA(AppInstance(), MAKEINTRESOURCEA(id & 0xFFFF));
    if (!bitmap)
        return nullptr;
    GdiCacheEntry* entry = NewEntry(GDI_CACHE_BITMAP, bitmap, 0);
    if (!entry) {
        DeleteObject(bitmap);
        return nullptr;
    }
    BITMAP info = {};
    GetObjectA(bitmap, sizeof info, &info);
    entry->bitmap.id = id;
    entry->bitmap.width = info.bmWidth;
    entry->bitmap.height = info.bmHeight;
    Push(entry);
    return entry;
}

bool FreeCachedObject(GdiCacheEntry* entry) {
    GdiCacheEntry** link = &g_head;
    while (*link && *link != entry)
        link = &(*link)->next;
    if (!*link)
        return false;
    *link = entry->next;
    for (StdColor* slot = StdColorTable; slot->word != kStdColorEnd; ++slot) {
        if (slot->brush == entry)
            slot->brush = nullptr;
    }
    if (!entry->stock && entry->handle)
        DeleteObject(entry->handle);
    HeapFree(GetProcessHeap(), 0, entry);
    return true;
}

int CachedObjectCount() {
    int count = 0;
    for (const GdiCacheEntry* e = g_head; e; e = e->next)
        ++count;
    return count;
}

HPALETTE SelectSharedPalette(HDC dc) {
    if (!SharedPalette.handle)
        return nullptr;
    HPALETTE previous = SelectPalette(dc, SharedPalette.handle, FALSE);
    RealizePalette(dc);
    return previous;
}

void RestorePalette(HDC dc, HPALETTE previous) {
    if (previous)
        SelectPalette(dc, previous, FALSE);
}
