// The arithmetic of the panel's keys and labels, free of <windows.h>: caption colour markup,
// mnemonics, word wrapping, click state changes, auto radio runs, caption placement and the
// rectangles DrawBevel and DrawFrameRings fill. panelbutton.cpp and panellabel.cpp paint with it;
// host tests run it. Pure functions; user-interface thread in the program, any thread in tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "toolkit/palettelist.h"

// --- caption markup ------------------------------------------------------------------------------

// The colours a caption's markup block can set: B, O and T.
struct CaptionColors {
    PanelColor background;
    PanelColor other;
    PanelColor text;
};

// Reads the block between the first "{" and the first "}" into colors (only the items named
// change) and returns where the caption begins: after the first "}", or the whole text without
// one. Never reads past the text's terminator.
const char* ParseCaptionColors(CaptionColors* colors, const char* text);

// Removes the first "&" that is not the last character. Writes the caption to out (cap bytes,
// always terminated) and returns the index in out of the mnemonic character, or -1.
int StripMnemonic(const char* text, char* out, std::size_t cap);

// --- keys ----------------------------------------------------------------------------------------

constexpr uint32_t kButtonTypeMask = 0x0F;
constexpr uint32_t kButtonPushLike = 0x1000; // BS_PUSHLIKE
constexpr uint32_t kButtonAutoCheck = 3;
constexpr uint32_t kButtonAuto3State = 6;
constexpr uint32_t kButtonAutoRadio = 9;
constexpr uint32_t kButtonOwnerDraw = 0x0B;

bool IsPushButtonType(uint32_t type); // BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_OWNERDRAW

// How a key is painted.
enum ButtonLook { BUTTON_LOOK_KEY, BUTTON_LOOK_PLAIN_CAPTION, BUTTON_LOOK_NOTHING };
ButtonLook ButtonLookOf(uint32_t style);

// A click by keyboard or (non-push types) mouse. Push types that are up start a timed press;
// toggle types change state; the rest keep it.
struct ClickResult {
    uint32_t state;
    bool startTimer;  // push type: the 50 ms press begins
    bool postCommand; // every type but the push types posts WM_COMMAND now
    bool clearOthers; // auto radio: the rest of the run goes up
};
ClickResult ClickButton(uint32_t style, uint32_t state);

// One sibling window as the auto radio rule sees it.
struct RadioSibling {
    bool member; // same class name and type BS_AUTORADIOBUTTON
    bool group;  // WS_GROUP
};
// The run [*begin, *end) of siblings[0..count) that holds siblings[self] (a member).
void FindRadioRun(const RadioSibling* siblings, int count, int self, int* begin, int* end);

// Where a key's caption goes inside its face.
struct PanelRect {
    int left, top, right, bottom;
};
void PlaceKeyCaption(const PanelRect& face, int width, int height, int* x, int* y);

// --- labels --------------------------------------------------------------------------------------

// Measures the first `length` characters of text; ctx is passed back.
using TextMeasure = int (*)(void* ctx, const char* text, int length);

struct WrapLine {
    int start;  // index of the line's first character
    int length; // characters drawn
    int width;  // their measured width
    int next;   // where the following line starts
};
// Builds the line that starts at `start` of text[0..length) for a label `maxWidth` wide.
WrapLine WrapNextLine(const char* text, int length, int start, int maxWidth, TextMeasure measure,
                      void* ctx);

// --- bevel and rings -----------------------------------------------------------------------------

enum BevelBrush : uint8_t {
    BEVEL_BACKGROUND, // the published panel background brush
    BEVEL_WHITE,
    BEVEL_GRAY,
    BEVEL_DKGRAY,
    BEVEL_BLACK,
    BEVEL_FACE,
};
constexpr unsigned kBevelPressed = 1, kBevelFramed = 2, kBevelThick = 4;

struct BevelFill {
    PanelRect rect; // right and bottom excluded
    BevelBrush brush;
};
// The fills of DrawBevel in order; returns their number (at most 14).
int PlanBevel(const PanelRect& rect, unsigned flags, bool haveBackground, BevelFill out[14]);

struct RingFill {
    PanelRect rect;
    unsigned fixedColor; // StdColorTable index
};
// The fills of DrawFrameRings in order (at most 16) and the number of rings.
int PlanFrameRings(const PanelRect& rect, uint32_t pattern, RingFill out[16], int* fills);
