// Reading dialog templates (DLGTEMPLATE and its DLGITEMTEMPLATE items) from bytes, and the layout
// arithmetic of the panel builder. Pure code: no Win32, every read is checked against the size of
// the template, so a malformed or truncated template is never read past its end.
// Callers: the panel builder (user-interface thread); host tests and the template fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>

// A rectangle in pixels, laid out like RECT.
struct PanelArea {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// A menu, class, title or text field of a template: absent, an ordinal, or a UTF-16 string that
// stays in the template (chars points at its first code unit, unaligned; length excludes the 0).
struct TemplateText {
    bool isOrdinal;
    uint16_t ordinal;
    const uint8_t* chars;
    size_t length;
};

struct TemplateHeader {
    uint32_t style;
    uint16_t itemCount;
    int16_t cx;
    int16_t cy;
    TemplateText title;
    bool hasFont; // DS_SETFONT
    uint16_t pointSize;
    TemplateText face;
    size_t firstItem; // offset of the first item (already 4-byte aligned)
};

struct TemplateItem {
    uint32_t style;
    int16_t x;
    int16_t y;
    int16_t cx;
    int16_t cy;
    uint16_t id;
    TemplateText windowClass;
    TemplateText text;
    size_t next; // offset of the following item (4-byte aligned)
};

constexpr uint32_t kTemplateDsSetFont = 0x40;

// Reads the header. False for the extended form (0xFFFF in the second 16-bit word) and for a
// header that does not fit into size bytes.
bool ReadTemplateHeader(const uint8_t* data, size_t size, TemplateHeader* out);

// Reads the item starting at offset. False when the item does not fit into size bytes.
bool ReadTemplateItem(const uint8_t* data, size_t size, size_t offset, TemplateItem* out);

// UTF-16 code unit index i of a template string (little-endian, unaligned).
uint16_t TemplateTextUnit(const TemplateText& text, size_t i);

// Copies a template string into out as 8-bit text, code units above 0xFF becoming '?', at most
// capacity - 1 characters and always terminated. The Win32 builder converts with the system code
// page instead; this form serves tests and tools.
void TemplateTextToLatin1(const TemplateText& text, char* out, size_t capacity);

// Dialog base units: horizontal and vertical.
struct TemplateBaseUnits {
    int32_t horizontal;
    int32_t vertical;
};

// Horizontal base unit from the width of the 52-letter alphabet in the template font.
int32_t HorizontalBaseFromAlphabetWidth(int32_t width);

// Rectangle in pixels of an area given in dialog units (each division truncating toward zero).
PanelArea TemplateUnitsToPixels(int32_t x, int32_t y, int32_t cx, int32_t cy,
                                TemplateBaseUnits base);

// The stretch band of a panel: template-pixel coordinates between which the panel grows.
struct PanelBand {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// The default band: half the template width for left and right, half the height for top and
// bottom.
PanelBand DefaultPanelBand(const PanelArea& templateRect);

// Maps coordinate v of a panel sized oldSize onto newSize by the band lo..hi.
int32_t MapPanelCoordinate(int32_t v, int32_t oldSize, int32_t newSize, int32_t lo, int32_t hi);

// Maps a rectangle in template pixels into the client rectangle by the band.
void MapPanelRectByBand(const PanelArea& templateRect, const PanelBand& band,
                        const PanelArea& client, PanelArea* rect);
