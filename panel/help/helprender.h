// Help text layout and rendering: lays a topic's markup lines out as rows of runs and measures,
// draws or hit-tests them. No layout is kept between passes; each pass lays the topic out again.
//
// Pure code (no <windows.h>): measuring and drawing go through HelpCanvas, which the help window
// implements with GDI and host tests with a fixed-width fake. Called on the panel's user-interface
// thread only; no locks.
#pragma once

#include "help/helpstore.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t HELP_LINK_COMMAND = 0x40000000; // a link that posts a command to the owner

// Render flags.
constexpr uint32_t HELP_RENDER_RESET = 0x01;
constexpr uint32_t HELP_RENDER_TITLE_BAR = 0x10;
constexpr uint32_t HELP_RENDER_LINKS = 0x20;
constexpr uint32_t HELP_RENDER_UP = 0x40;
constexpr uint32_t HELP_RENDER_STARRED = 0x80;

// PrepareTopic flags.
constexpr uint32_t PREPARE_FIRST_SHOW = 1;
constexpr uint32_t PREPARE_TITLE_BAR = 16;

constexpr size_t HELP_ROW_BUDGET = 2000;   // bytes of one row's runs and their texts
constexpr size_t HELP_RUN_TEXT_MAX = 1023; // characters of one text run; longer texts are cut
constexpr size_t HELP_PARAM_POOL = 500;    // bytes of all text parameters with their NULs
constexpr int HELP_PARAM_COUNT = 10;

// A font as the GDI cache names it: face, size, weight and italic flag, or a symbol face.
struct HelpFont {
    char face[32];
    int32_t size;
    bool bold;
    bool italic;
    char symbol; // 0, or 'S' (Symbol) / 'W' (Wingdings) of `size`
};

// Writes the cache's font text ("Arial,14,B", "14,W") into out.
void FormatHelpFontSpec(const HelpFont& font, char* out, size_t capacity);

struct HelpStyle {
    uint32_t background; // COLORREF
    uint32_t text;       // COLORREF
    uint32_t frame;      // frame ring pattern
    int32_t leftIndent;  // in line heights
    int32_t rightIndent; // in line heights
    int32_t align;       // 0 left, 1 right, 2 centred, others left
    int32_t minWidth;    // minimum cell width in line heights
    HelpFont font;
};

struct HelpRect {
    int32_t left, top, right, bottom;
};

// What the renderer needs of the window and the display. Every function gets `context`.
struct HelpCanvas {
    void* context;
    void (*measureText)(void* context, const HelpFont& font, const char* text, size_t length,
                        int32_t* width, int32_t* height);
    // Size of bitmap resource `id`, or false when it cannot be loaded.
    bool (*bitmapSize)(void* context, uint32_t id, int32_t* width, int32_t* height);
    // HM_GETCOLOR to the window for colour queries.
    uint32_t (*queryColor)(void* context, uint32_t number);
    // Drawing pass only.
    bool (*colorDisplay)(void* context); // more than one bit per pixel
    int32_t (*drawFrame)(void* context, const HelpRect& rect, uint32_t pattern); // rings drawn
    void (*fillRect)(void* context, const HelpRect& rect, uint32_t color);
    void (*drawText)(void* context, const HelpFont& font, bool setColor, uint32_t color, int32_t x,
                     int32_t y, const char* text, size_t length);
    void (*drawBitmap)(void* context, uint32_t id, int32_t x, int32_t y);
};

enum HelpPass { HELP_PASS_MEASURE = 0, HELP_PASS_DRAW = 2, HELP_PASS_HIT = 3 };

struct HelpRun {
    bool bitmap;
    HelpStyle style;
    uint32_t bitmapId;
    uint16_t textOffset; // into the row's text buffer
    uint16_t length;
    int32_t width, height;
    uint32_t link;
};

// The runs of one row share HELP_ROW_BUDGET bytes: each takes sizeof(HelpRun) and a text run
// also its text with a NUL.
struct HelpRow {
    HelpRun runs[HELP_ROW_BUDGET / sizeof(HelpRun) + 1];
    int32_t runCount;
    char text[HELP_ROW_BUDGET];
    size_t textUsed;
    size_t budgetUsed;
    int32_t lineHeight, rowHeight, rowWidth, centredTotal, rightTotal;
};

struct HelpRenderContext {
    HelpCanvas canvas;
    bool colorWindow; // a window answers colour queries in this pass
    HelpPass pass;
    uint32_t flags;
    HelpStyle current, base, title, saved[10];

    int16_t paramOffset[HELP_PARAM_COUNT]; // into paramPool, -1 = unset
    char paramPool[HELP_PARAM_POOL];
    size_t paramUsed;

    HelpRow row;
    int32_t y;         // vertical position of the next row
    int32_t areaWidth; // widest row while measuring; client width - 12 while drawing
    int32_t totalHeight;
    int32_t contentWidth, contentHeight;
    int32_t titleWidth, titleHeight;
    int32_t xOrigin, yOrigin;
    uint32_t baseBackground;

    const HelpBlock* block;
    int32_t topicIndex;
    int32_t upTopic;

    int32_t hitX, hitY;
    uint32_t hitResult;
};

// A zero-filled context with the canvas, all parameters unset and the styles reset on first use.
void InitHelpRenderContext(HelpRenderContext* context, const HelpCanvas& canvas);

// Lays out `topic` of `block` to find the window's size. Fails, changing nothing the window shows,
// when the block has no such topic. `owner` says whether a window answers colour queries.
bool PrepareTopic(HelpRenderContext* context, bool owner, const HelpBlock* block, int32_t topic,
                  uint32_t flags);
// Window size of the prepared topic: content + 12 in each direction.
inline int32_t HelpContentWidth(const HelpRenderContext* c) {
    return c->contentWidth + 12;
}
inline int32_t HelpContentHeight(const HelpRenderContext* c) {
    return c->contentHeight + 12;
}

// Draws the title (when the title bar is on) and the lines through the canvas.
void PaintTopic(HelpRenderContext* context, int32_t clientWidth, int32_t titleBarHeight);

// The link value under (x, y), relative to the content, or 0.
uint32_t HitTestTopic(HelpRenderContext* context, int32_t x, int32_t y);

// Sets text parameter `number` (0..9); none or "" unsets it. False when the number is out of
// range or the text does not fit the pool (the parameter is then unset).
bool SetHelpParam(HelpRenderContext* context, int number, const char* text);

// Number of rings a frame pattern draws.
int32_t HelpFrameRings(uint32_t pattern);
