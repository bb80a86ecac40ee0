// The glass display's glyph tables and drawing: seven-segment digits and colons, sixteen-segment
// characters, and the cracks over them. See glassmodel.h.
#include <cmath>
#include <cstring>

#include "display/glassmodel.h"

namespace {

struct SevenSegment {
    int x, y;
    bool upright;
};

// Segment centres in design units, origin at the digit's centre.
constexpr SevenSegment kSevenSegments[7] = {
    {0, -100, false}, {50, -50, true},  {50, 50, true}, {0, 100, false},
    {-50, 50, true},  {-50, -50, true}, {0, 0, false},
};

constexpr uint8_t kSevenSegmentDigits[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                             0x6D, 0x7D, 0x07, 0x7F, 0x6F};

struct SixteenSegment {
    int x1, y1, x2, y2;
};

// Segment end points in design units, origin at the cell's top left, glyph box 100 x 200.
constexpr SixteenSegment kSixteenSegments[16] = {
    {8, 0, 92, 0},    {100, 8, 100, 92},  {100, 108, 100, 192}, {8, 200, 92, 200},
    {0, 108, 0, 192}, {0, 8, 0, 92},      {8, 8, 46, 96},       {50, 8, 50, 96},
    {96, 4, 54, 96},  {96, 100, 54, 100}, {96, 196, 54, 104},   {50, 196, 50, 104},
    {4, 196, 46, 96}, {4, 100, 46, 100},  {-20, 0, 0, 0},       {-20, 200, 0, 200},
};

constexpr uint16_t kSixteenUpper[26] = {0x2237, 0xE33D, 0x0039, 0xC03F, 0x2039, 0x2031, 0x023D,
                                        0x2236, 0x0889, 0x001E, 0x6530, 0x0038, 0x0176, 0x0476,
                                        0x003F, 0x2233, 0x043F, 0x2633, 0x024D, 0x0881, 0x003E,
                                        0x1130, 0x1436, 0x1540, 0x1140, 0x1109};
constexpr uint16_t kSixteenLower[26] = {0x221C, 0x223C, 0x2218, 0x221E, 0x2039, 0x2031, 0x023D,
                                        0x2234, 0x0800, 0x001E, 0x6530, 0x8800, 0x0176, 0x2214,
                                        0x221C, 0x2233, 0x043F, 0x2633, 0x024D, 0x0881, 0x001C,
                                        0x1130, 0x1436, 0x1540, 0x1140, 0x1109};
// '(' to '9'
constexpr uint16_t kSixteenDigits[18] = {0,      0,      0,      0x2A80, 0,      0x2200,
                                         0,      0x1100, 0x113F, 0x0880, 0x2119, 0x020F,
                                         0x2AA0, 0x2429, 0x2439, 0x0901, 0x223F, 0x222F};

int RoundHalfUp(double v) {
    return static_cast<int>(v + 0.5);
}

} // namespace

uint16_t SevenSegmentMask(char c) {
    return (c >= '0' && c <= '9') ? kSevenSegmentDigits[c - '0'] : 0;
}

uint16_t SixteenSegmentMask(char c) {
    if (c >= 'A' && c <= 'Z')
        return kSixteenUpper[c - 'A'];
    if (c >= 'a' && c <= 'z')
        return kSixteenLower[c - 'a'];
    if (c >= '(' && c <= '9')
        return kSixteenDigits[c - '('];
    return 0;
}

void SevenSegmentPolygon(int px, int py, int t, int h, int v, bool upright, GlassPoint out[6]) {
    if (upright) {
        out[0] = {px, py - v + 1};
        out[1] = {px - t, py - v + t + 1};
        out[2] = {px - t, py + v - t - 1};
        out[3] = {px, py + v - 1};
        out[4] = {px + t, py + v - t - 1};
        out[5] = {px + t, py - v + t + 1};
    } else {
        out[0] = {px - h + 1, py};
        out[1] = {px - h + t + 1, py - t};
        out[2] = {px + h - t - 1, py - t};
        out[3] = {px + h - 1, py};
        out[4] = {px + h - t - 1, py + t};
        out[5] = {px - h + t + 1, py + t};
    }
}

// --- drawing -------------------------------------------------------------------------------------

void DrawSevenSegmentField(DisplayField* f, const GlassCanvas* canvas) {
    const uint32_t count = FieldCharCount(f);
    const double xs = f->xScale, ys = f->yScale;
    const int t = static_cast<int>(10 * (xs < ys ? xs : ys));
    const int h = static_cast<int>(50 * xs);
    const int v = static_cast<int>(50 * ys);
    const int firstOffset = static_cast<int>(60 * xs);
    int x = f->rect.left + 3 + f->xOffset + firstOffset;
    const int y = f->rect.top + 3 + f->yOffset + static_cast<int>(110 * ys);
    const size_t length = std::strlen(f->text);
    GlassPoint poly[6];
    for (uint32_t i = 0; i < count && i < DISPLAY_MAX_CELLS; ++i) {
        const char c = i < length ? f->text[i] : '\0';
        if (f->drawn[i] == '\0')
            f->drawn[i + 1] = '\0';
        if (c >= '0' && c <= '9') {
            if (f->drawn[i] != c) {
                const uint16_t mask = SevenSegmentMask(c);
                for (int s = 0; s < 7; ++s) {
                    const SevenSegment& seg = kSevenSegments[s];
                    const int px = RoundHalfUp(x + seg.x * xs);
                    const int py = RoundHalfUp(y + seg.y * ys);
                    SevenSegmentPolygon(px, py, t, h, v, seg.upright, poly);
                    uint32_t color = f->unlitColor;
                    if (mask & (1u << s)) {
                        color = f->litColor;
                        const GlassRect box = seg.upright
                                                  ? GlassRect{px - t, py - v, px + t, py + v}
                                                  : GlassRect{px - h, py - t, px + h, py + t};
                        if (GlassCrackTest(f->owner, box))
                            color = GLASS_COLOR_DEAD;
                    }
                    canvas->polygon(canvas->ctx, poly, 6, color);
                }
                f->drawn[i] = c;
            }
            x += f->cellWidth;
        } else if (c == ':') {
            if (f->drawn[i] != ':') {
                const int cx = x - firstOffset + f->cellWidth / 6;
                for (int k = 0; k < 2; ++k) {
                    const int cy = k == 0 ? y - v / 2 : y + v / 2;
                    const GlassPoint diamond[4] = {
                        {cx - t, cy}, {cx, cy - t}, {cx + t, cy}, {cx, cy + t}};
                    uint32_t color = f->litColor;
                    if (GlassCrackTest(f->owner, GlassRect{cx - t, cy - t, cx + t, cy + t}))
                        color = GLASS_COLOR_DEAD;
                    canvas->polygon(canvas->ctx, diamond, 4, color);
                }
                f->drawn[i] = ':';
            }
            x += f->cellWidth / 3;
        }
    }
}

void DrawSixteenSegmentField(DisplayField* f, const GlassCanvas* canvas) {
    const uint32_t count = FieldCharCount(f);
    if (count == 0)
        return;
    const size_t length = std::strlen(f->text);
    int cellX = f->rect.left;
    const int cellY = f->rect.top + 3;
    for (uint32_t i = 0; i < count; ++i) {
        const char c = i < length ? f->text[i] : '\0';
        const uint16_t mask = SixteenSegmentMask(c);
        GlassPoint ends[16][2];
        for (int s = 0; s < 16; ++s) {
            const SixteenSegment& seg = kSixteenSegments[s];
            ends[s][0] = {cellX + static_cast<int>(std::lround(seg.x1 * f->xScale)),
                          cellY + static_cast<int>(seg.y1 * f->yScale + 0.5)};
            ends[s][1] = {cellX + static_cast<int>(std::lround(seg.x2 * f->xScale)),
                          cellY + static_cast<int>(seg.y2 * f->yScale + 0.5)};
        }
        for (int s = 0; s < 16; ++s)
            if (!(mask & (1u << s)))
                canvas->polyline(canvas->ctx, ends[s], 2, f->unlitColor);
        uint32_t lit = f->litColor;
        if (GlassCrackTest(f->owner,
                           GlassRect{cellX, cellY, cellX + f->cellWidth, cellY + f->cellHeight}))
            lit = GLASS_COLOR_DEAD;
        for (int s = 0; s < 16; ++s)
            if (mask & (1u << s))
                canvas->polyline(canvas->ctx, ends[s], 2, lit);
        cellX += f->cellWidth;
    }
}

void DrawGlassCracks(GlassDisplayData* data, const GlassCanvas* canvas) {
    const int w = data->clientWidth, h = data->clientHeight;
    GlassPoint line[GLASS_MAX_STEPS + 1];
    GlassPoint ring[GLASS_MAX_RAYS + 1];
    for (GlassCrack* c = data->cracks; c; c = c->next) {
        const uint32_t pen = c == data->hovered ? GLASS_COLOR_CRACK_HOVER : GLASS_COLOR_CRACK;
        const int cx = c->x * w / 1000;
        const int cy = c->y * h / 1000;
        for (int ray = 0; ray < c->rays; ++ray) {
            line[0] = {cx, cy};
            for (int j = 0; j < c->steps; ++j)
                line[j + 1] = GlassCrackPoint(c, ray * c->steps + j, cx, cy, h);
            canvas->polyline(canvas->ctx, line, c->steps + 1, pen);
        }
        for (int k = 0; k < c->steps / 2; ++k) {
            for (int ray = 0; ray < c->rays; ++ray)
                ring[ray] = GlassCrackPoint(c, ray * c->steps + k, cx, cy, h);
            ring[c->rays] = ring[0];
            canvas->polyline(canvas->ctx, ring, c->rays + 1, pen);
        }
    }
}

void GlassPaint(GlassDisplayData* data, const GlassCanvas* canvas) {
    for (DisplayField* f = data->fields; f; f = f->next) {
        if (!f->dirty)
            continue;
        if (f->type == DISPLAY_FIELD_SEVEN_SEGMENT)
            DrawSevenSegmentField(f, canvas);
        else if (f->type == DISPLAY_FIELD_SIXTEEN_SEGMENT)
            DrawSixteenSegmentField(f, canvas);
        f->dirty = false;
    }
    DrawGlassCracks(data, canvas);
}
