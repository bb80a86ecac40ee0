// The glass display's model: display fields, their layout and segment geometry, and the cracks in
// the glass. Free of <windows.h>: the window procedure (glassdisplay.cpp) feeds it messages and
// supplies a canvas to draw on and a host to invalidate and play the sound; host tests drive it
// directly. Everything here runs on the panel's user-interface thread; nothing is locked.
#pragma once

#include <cstdint>

// Position codes: bits 0-14 a value, plus at most one of these.
constexpr uint32_t DISPLAY_POS_PERCENT = 0x40000000;
constexpr uint32_t DISPLAY_POS_FROM_END = 0x20000000;
constexpr uint32_t DISPLAY_POS_VALUE_MASK = 0x7FFF;

constexpr uint32_t DISPLAY_FIELD_SEVEN_SEGMENT = 1;
constexpr uint32_t DISPLAY_FIELD_SIXTEEN_SEGMENT = 2;

// Text and drawn-text records, terminator included. Longer texts are cut to 79 characters and
// cell counts above 79 are taken as 79, so neither record is ever written past its end.
constexpr int DISPLAY_TEXT_BYTES = 80;
constexpr uint32_t DISPLAY_MAX_CELLS = DISPLAY_TEXT_BYTES - 1;

constexpr uint32_t GLASS_COLOR_LIT = 0x80FF80;
constexpr uint32_t GLASS_COLOR_UNLIT = 0x404040;
constexpr uint32_t GLASS_COLOR_DEAD = 0x606060;
constexpr uint32_t GLASS_COLOR_CRACK = 0xC0C0C0;
constexpr uint32_t GLASS_COLOR_CRACK_HOVER = 0xE0E0E0;

constexpr int GLASS_MAX_RAYS = 12;
constexpr int GLASS_MAX_STEPS = 7;

// The nine words passed with DM_SETFIELD.
struct DisplayFieldSpec {
    uint32_t left, top, right, bottom;
    uint32_t type;                 // 0 keeps the field's type
    uint32_t cellCount;            // 0 keeps the field's cell count
    const char* text;              // null keeps the text
    uint32_t litColor, unlitColor; // taken only when they differ
};

struct GlassRect {
    int left, top, right, bottom;
};

struct GlassPoint {
    int x, y;
};

struct GlassDisplayData;

struct DisplayField {
    GlassDisplayData* owner;
    DisplayField* next;
    uint32_t posLeft, posTop, posRight, posBottom;
    GlassRect rect;
    uint32_t type;
    uint32_t id;
    uint32_t litColor, unlitColor;
    double xScale, yScale;
    int xOffset, yOffset;
    int cellWidth, cellHeight;
    bool dirty;
    uint32_t cellCount;
    char drawn[DISPLAY_TEXT_BYTES];
    char text[DISPLAY_TEXT_BYTES];
};

struct GlassCrack {
    GlassCrack* next;
    GlassRect bounds; // client pixels; grown by the crack test
    int x, y;         // thousandths of the client width and height
    int rays, steps;
    int16_t points[GLASS_MAX_RAYS * GLASS_MAX_STEPS][2]; // ray after ray, thousandths of height
};

struct GlassDisplayData {
    DisplayField* fields; // in order of creation
    GlassCrack* cracks;   // newest first
    GlassCrack* hovered;
    uint32_t backgroundColor;
    int clientWidth, clientHeight;
};

// What the model asks of its window. ctx is passed back unchanged.
struct GlassHost {
    void* ctx;
    void (*invalidate)(void* ctx, const GlassRect* rect, bool erase); // null rect: whole window
    void (*playSound)(void* ctx);                                     // the breaking glass
    uint32_t (*tickCount)(void* ctx);                                 // starts the crack generator
};

// Where the model draws. Polygons are filled with a colour's brush and outlined in black; lines
// and polylines use a colour's one-pixel pen.
struct GlassCanvas {
    void* ctx;
    void (*polygon)(void* ctx, const GlassPoint* points, int count, uint32_t fillColor);
    void (*polyline)(void* ctx, const GlassPoint* points, int count, uint32_t penColor);
};

// Pseudo-random integers 0..32767, restarted from the tick count at every crack.
struct GlassRandom {
    uint32_t state;
};
void GlassRandomStart(GlassRandom* rng, uint32_t start);
int GlassRandomNext(GlassRandom* rng);
double GlassRandomDraw(GlassRandom* rng, double a, double b);

// --- arithmetic ------------------------------------------------------------------------------
int ResolvePositionCode(uint32_t code, int size);
uint32_t FieldCharCount(const DisplayField* field);
bool LayoutField(DisplayField* field); // true when scale, cell size or offsets changed
void ResolveFieldRect(DisplayField* field, int clientWidth, int clientHeight);
uint16_t SevenSegmentMask(char c);   // 0 for anything but a digit
uint16_t SixteenSegmentMask(char c); // 0 for characters outside the tables
// A seven-segment hexagon around (px, py); t half thickness, h / v half lengths.
void SevenSegmentPolygon(int px, int py, int t, int h, int v, bool upright, GlassPoint out[6]);

// --- the window data ---------------------------------------------------------------------------
GlassDisplayData* GlassCreate(); // zero-filled, or null
void GlassDestroy(GlassDisplayData* data);
DisplayField* GlassFindField(GlassDisplayData* data, uint32_t id);
// DM_SETFIELD. A zero id, or an unknown id with a null request, changes nothing.
void GlassSetField(GlassDisplayData* data, uint32_t id, const DisplayFieldSpec* request,
                   const GlassHost* host);
// WM_SETTEXT by field id: every field with the id takes the text.
void GlassSetText(GlassDisplayData* data, uint32_t id, const char* text, const GlassHost* host);
void GlassResize(GlassDisplayData* data, int width, int height, const GlassHost* host);
void GlassForgetDrawn(GlassDisplayData* data); // every field dirty, drawn text forgotten

// --- cracks ----------------------------------------------------------------------------------
GlassCrack* GlassCrackAt(GlassDisplayData* data, int x, int y); // none on a zero-size client
// Point index of a crack centred at (cx, cy) in a client `height` pixels high.
GlassPoint GlassCrackPoint(const GlassCrack* crack, int index, int cx, int cy, int height);
void GlassComputeCrackBounds(const GlassCrack* crack, int width, int height, GlassRect* out);
void GlassCrackExtent(const GlassCrack* crack, int width, int height, GlassRect* out);
// Fills a crack's rays and points from the generator; x, y in thousandths.
void GlassShapeCrack(GlassCrack* crack, int x, int y, GlassRandom* rng);
bool GlassMakeCrack(GlassDisplayData* data, int x, int y, bool soundLoaded, const GlassHost* host);
void GlassHover(GlassDisplayData* data, int x, int y, const GlassHost* host);
bool GlassRemoveCrack(GlassDisplayData* data, int x, int y, const GlassHost* host);
// The first crack whose bounds' midpoint lies in rect is grown to cover it; true when found.
bool GlassCrackTest(GlassDisplayData* data, const GlassRect& rect);

// --- drawing ---------------------------------------------------------------------------------
void DrawSevenSegmentField(DisplayField* field, const GlassCanvas* canvas);
void DrawSixteenSegmentField(DisplayField* field, const GlassCanvas* canvas);
void DrawGlassCracks(GlassDisplayData* data, const GlassCanvas* canvas);
// WM_PAINT: every dirty field by its type (flags cleared), then the cracks.
void GlassPaint(GlassDisplayData* data, const GlassCanvas* canvas);
