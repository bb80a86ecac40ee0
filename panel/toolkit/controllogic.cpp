// Key and label arithmetic; see controllogic.h.
#include "toolkit/controllogic.h"

#include <cstring>

#include "base/colortriple.h"

const char* ParseCaptionColors(CaptionColors* colors, const char* text) {
    const char* close = std::strchr(text, '}');
    if (!close)
        return text;
    const char* open = std::strchr(text, '{');
    if (open && open < close) {
        const char* item = open + 1;
        for (;;) {
            const char* semi = std::strchr(item, ';');
            const char* end = semi && semi < close ? semi : close;
            if (item < end) {
                // The triple is read from the item alone, so a short triple never borrows
                // the commas of the next item or of the caption.
                char triple[64];
                std::size_t n = static_cast<std::size_t>(end - item - 1);
                if (n >= sizeof triple)
                    n = sizeof triple - 1;
                std::memcpy(triple, item + 1, n);
                triple[n] = '\0';
                const uint32_t color = ParseColorTriple(triple);
                if (color < kNoColor) {
                    if (*item == 'B')
                        colors->background = color;
                    else if (*item == 'O')
                        colors->other = color;
                    else if (*item == 'T')
                        colors->text = color;
                }
            }
            if (end == close)
                break;
            item = end + 1;
        }
    }
    return close + 1;
}

int StripMnemonic(const char* text, char* out, std::size_t cap) {
    if (cap == 0)
        return -1;
    int mnemonic = -1;
    std::size_t n = 0;
    for (const char* p = text; *p && n + 1 < cap; ++p) {
        if (*p == '&' && mnemonic < 0 && p[1] != '\0') {
            mnemonic = static_cast<int>(n);
            ++p;
        }
        out[n++] = *p;
    }
    out[n] = '\0';
    if (mnemonic >= static_cast<int>(n))
        mnemonic = -1;
    return mnemonic;
}

bool IsPushButtonType(uint32_t type) {
    type &= kButtonTypeMask;
    return type == 0 || type == 1 || type == kButtonOwnerDraw;
}

ButtonLook ButtonLookOf(uint32_t style) {
    const uint32_t type = style & kButtonTypeMask;
    if (type <= 1)
        return BUTTON_LOOK_KEY;
    if ((type >= 2 && type <= 7) || type == 9)
        return (style & kButtonPushLike) ? BUTTON_LOOK_KEY : BUTTON_LOOK_PLAIN_CAPTION;
    return BUTTON_LOOK_NOTHING;
}

ClickResult ClickButton(uint32_t style, uint32_t state) {
    const uint32_t type = style & kButtonTypeMask;
    ClickResult r = {state, false, false, false};
    if (IsPushButtonType(type)) {
        if (state == 0) {
            r.state = 1;
            r.startTimer = true;
        }
        return r;
    }
    r.postCommand = true;
    if (type == kButtonAutoCheck) {
        r.state = state == 0 ? 1 : 0;
    } else if (type == kButtonAuto3State) {
        r.state = (state + 1) % 3;
    } else if (type == kButtonAutoRadio) {
        r.state = 1;
        r.clearOthers = true;
    }
    return r;
}

void FindRadioRun(const RadioSibling* siblings, int count, int self, int* begin, int* end) {
    int b = self;
    while (!siblings[b].group && b > 0 && siblings[b - 1].member)
        --b;
    int e = self + 1;
    while (e < count && siblings[e].member && !siblings[e].group)
        ++e;
    *begin = b;
    *end = e;
}

void PlaceKeyCaption(const PanelRect& face, int width, int height, int* x, int* y) {
    *x = face.left + (face.right - width) / 2;
    if (*x < 0)
        *x = 0;
    *y = face.top + ((face.bottom - height - face.top) >> 1);
}

WrapLine WrapNextLine(const char* text, int length, int start, int maxWidth, TextMeasure measure,
                      void* ctx) {
    int i = start;
    int width = 0;
    int breakAt = -1, breakWidth = 0;
    while (i < length) {
        const int spaces = i;
        while (i < length && text[i] == ' ')
            ++i;
        if (i > spaces) {
            breakAt = i;
            breakWidth = measure(ctx, text + start, i - start);
        }
        while (i < length && text[i] != ' ')
            ++i;
        width = measure(ctx, text + start, i - start);
        if (width >= maxWidth)
            break;
    }
    WrapLine line = {start, i - start, width, i};
    if (width > maxWidth && breakAt > start) {
        line.length = breakAt - start;
        line.width = breakWidth;
        line.next = breakAt;
    }
    if (line.next < length && text[line.next] == ' ')
        ++line.next;
    return line;
}

int PlanBevel(const PanelRect& rect, unsigned flags, bool haveBackground, BevelFill out[14]) {
    int n = 0;
    int L = rect.left, T = rect.top, R = rect.right, B = rect.bottom;
    if (haveBackground) {
        out[n++] = {{L, T, R, T + 1}, BEVEL_BACKGROUND};
        out[n++] = {{L, B - 1, R, B}, BEVEL_BACKGROUND};
    }
    BevelBrush innerShadow = BEVEL_BLACK;
    if (flags & kBevelFramed) {
        const int w = (flags & kBevelThick) ? 2 : 1;
        const BevelBrush frame = (flags & kBevelThick) ? BEVEL_BLACK : BEVEL_DKGRAY;
        out[n++] = {{L + 1, T, R - 1, T + w}, frame};
        out[n++] = {{L + 1, B - w, R - 1, B}, frame};
        out[n++] = {{L, T + 1, L + w, B - 1}, frame};
        out[n++] = {{R - w, T + 1, R, B - 1}, frame};
        L += w;
        T += w;
        R -= w;
        B -= w;
        innerShadow = BEVEL_GRAY;
    }
    const bool pressed = flags & kBevelPressed;
    const BevelBrush outerLight = pressed ? BEVEL_GRAY : BEVEL_WHITE;
    const BevelBrush outerDark = BEVEL_GRAY;
    const BevelBrush innerLight = pressed ? innerShadow : BEVEL_FACE;
    const BevelBrush innerDark = pressed ? BEVEL_FACE : innerShadow;
    out[n++] = {{L, T, R, T + 1}, outerLight};
    out[n++] = {{L, T, L + 1, B}, outerLight};
    out[n++] = {{R - 1, T, R, B}, outerDark};
    out[n++] = {{L + 1, B - 1, R, B}, outerDark};
    out[n++] = {{L + 1, T + 1, R - 1, T + 2}, innerLight};
    out[n++] = {{L + 1, T + 1, L + 2, B - 1}, innerLight};
    out[n++] = {{R - 2, T + 1, R - 1, B - 1}, innerDark};
    out[n++] = {{L + 2, B - 2, R - 1, B - 1}, innerDark};
    return n;
}

int PlanFrameRings(const PanelRect& rect, uint32_t pattern, RingFill out[16], int* fills) {
    int L = rect.left, T = rect.top, R = rect.right, B = rect.bottom;
    int rings = 0, n = 0;
    for (; pattern != 0; pattern >>= 8) {
        const unsigned low = pattern & 0x0F;
        const unsigned high = (pattern >> 4) & 0x0F;
        if (low) {
            out[n++] = {{L, T, R, T + 1}, low - 1};
            out[n++] = {{L, T, L + 1, B}, low - 1};
        }
        if (high) {
            out[n++] = {{R - 1, T + 1, R, B}, high - 1};
            out[n++] = {{L + 1, B - 1, R, B}, high - 1};
        }
        ++L;
        ++T;
        --R;
        --B;
        ++rings;
    }
    *fills = n;
    return rings;
}
