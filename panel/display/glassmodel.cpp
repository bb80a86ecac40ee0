// The glass display's model: fields, layout, segment geometry, cracks. See glassmodel.h.
#include "display/glassmodel.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

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

constexpr int kNearCrack = 20; // thousandths

int RoundHalfUp(double v) {
    return static_cast<int>(v + 0.5);
}

void CopyText(char* dst, const char* src) {
    size_t n = 0;
    while (n < DISPLAY_MAX_CELLS && src[n] != '\0') {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = '\0';
}

GlassRect Union(const GlassRect& a, const GlassRect& b) {
    GlassRect r = a;
    if (b.left < r.left)
        r.left = b.left;
    if (b.top < r.top)
        r.top = b.top;
    if (b.right > r.right)
        r.right = b.right;
    if (b.bottom > r.bottom)
        r.bottom = b.bottom;
    return r;
}

// What a crack covers on the screen: its bounds (grown over dead segments) and every pixel its
// lines reach, so invalidating it repaints all of it.
GlassRect CrackDamage(const GlassDisplayData* data, const GlassCrack* crack) {
    GlassRect extent;
    GlassCrackExtent(crack, data->clientWidth, data->clientHeight, &extent);
    return Union(crack->bounds, extent);
}

void Invalidate(const GlassHost* host, const GlassRect* rect, bool erase) {
    if (host && host->invalidate)
        host->invalidate(host->ctx, rect, erase);
}

GlassPoint CrackPoint(const GlassCrack* crack, int index, int cx, int cy, int height) {
    return {cx + crack->points[index][0] * height / 1000,
            cy + crack->points[index][1] * height / 1000};
}

} // namespace

// --- random --------------------------------------------------------------------------------------

void GlassRandomSeed(GlassRandom* rng, uint32_t seed) {
    rng->state = seed;
}

int GlassRandomNext(GlassRandom* rng) {
    rng->state = rng->state * 214013u + 2531011u;
    return static_cast<int>((rng->state >> 16) & 0x7FFF);
}

double GlassRandomDraw(GlassRandom* rng, double a, double b) {
    return a + GlassRandomNext(rng) * (b - a) / 32767.0;
}

// --- arithmetic ----------------------------------------------------------------------------------

int ResolvePositionCode(uint32_t code, int size) {
    int value = static_cast<int>(code & DISPLAY_POS_VALUE_MASK);
    if (code & DISPLAY_POS_PERCENT)
        value = static_cast<int>(static_cast<int64_t>(size) * value / 100);
    if (code & DISPLAY_POS_FROM_END)
        value = size - value;
    return value;
}

uint32_t FieldCharCount(const DisplayField* field) {
    if (field->cellCount > 0)
        return field->cellCount;
    return static_cast<uint32_t>(std::strlen(field->text));
}

void ResolveFieldRect(DisplayField* field, int clientWidth, int clientHeight) {
    field->rect.left = ResolvePositionCode(field->posLeft, clientWidth);
    field->rect.top = ResolvePositionCode(field->posTop, clientHeight);
    field->rect.right = ResolvePositionCode(field->posRight, clientWidth);
    field->rect.bottom = ResolvePositionCode(field->posBottom, clientHeight);
}

bool LayoutField(DisplayField* f) {
    const double oldX = f->xScale, oldY = f->yScale;
    const int oldW = f->cellWidth, oldH = f->cellHeight, oldXo = f->xOffset, oldYo = f->yOffset;
    const int width = f->rect.right - f->rect.left;
    const int height = f->rect.bottom - f->rect.top;
    f->xOffset = 0;
    f->yOffset = 0;
    if (f->type == DISPLAY_FIELD_SIXTEEN_SEGMENT) {
        const int count = static_cast<int>(FieldCharCount(f));
        if (count == 0) {
            f->xScale = f->yScale = 1.0;
        } else {
            f->cellWidth = width / count;
            f->cellHeight = height - 6;
            f->xScale = f->cellWidth / 160.0;
            f->yScale = f->cellHeight / 200.0;
        }
    } else if (f->type == DISPLAY_FIELD_SEVEN_SEGMENT) {
        int units = 0;
        if (f->cellCount > 0) {
            units = 3 * static_cast<int>(f->cellCount);
        } else {
            for (const char* p = f->text; *p; ++p) {
                if (*p >= '0' && *p <= '9')
                    units += 3;
                else if (*p == ':')
                    units += 1;
            }
        }
        if (units == 0) {
            f->xScale = f->yScale = 1.0;
        } else {
            f->cellWidth = width * 3 / units;
            f->cellHeight = height - 6;
            f->xScale = f->cellWidth / 130.0;
            f->yScale = (f->cellHeight - 6) / 220.0;
            if (f->yScale > f->xScale) {
                f->yScale = f->xScale;
                f->yOffset = static_cast<int>((f->cellHeight - 6 - 220 * f->xScale) / 2);
            }
        }
    }
    return oldX != f->xScale || oldY != f->yScale || oldW != f->cellWidth ||
           oldH != f->cellHeight || oldXo != f->xOffset || oldYo != f->yOffset;
}

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

// --- the window data -----------------------------------------------------------------------------

GlassDisplayData* GlassCreate() {
    return static_cast<GlassDisplayData*>(std::calloc(1, sizeof(GlassDisplayData)));
}

void GlassDestroy(GlassDisplayData* data) {
    if (!data)
        return;
    while (DisplayField* f = data->fields) {
        data->fields = f->next;
        std::free(f);
    }
    while (GlassCrack* c = data->cracks) {
        data->cracks = c->next;
        std::free(c);
    }
    std::free(data);
}

DisplayField* GlassFindField(GlassDisplayData* data, uint32_t id) {
    for (DisplayField* f = data->fields; f; f = f->next)
        if (f->id == id)
            return f;
    return nullptr;
}

void GlassSetField(GlassDisplayData* data, uint32_t id, const DisplayFieldSpec* spec,
                   const GlassHost* host) {
    if (id == 0)
        return;
    DisplayField* field = GlassFindField(data, id);
    if (!spec) {
        if (!field)
            return;
        DisplayField** link = &data->fields;
        while (*link != field)
            link = &(*link)->next;
        *link = field->next;
        std::free(field);
        Invalidate(host, nullptr, true);
        return;
    }
    bool moved = false;
    if (!field) {
        field = static_cast<DisplayField*>(std::calloc(1, sizeof(DisplayField)));
        if (!field)
            return;
        field->owner = data;
        field->id = id;
        field->posRight = static_cast<uint32_t>(data->clientWidth);
        field->posBottom = static_cast<uint32_t>(data->clientHeight);
        field->litColor = GLASS_COLOR_LIT;
        field->unlitColor = GLASS_COLOR_UNLIT;
        DisplayField** tail = &data->fields;
        while (*tail)
            tail = &(*tail)->next;
        *tail = field;
        moved = true;
    }
    if (spec->left != spec->right) {
        field->posLeft = spec->left;
        field->posRight = spec->right;
        moved = true;
    }
    if (spec->top != spec->bottom) {
        field->posTop = spec->top;
        field->posBottom = spec->bottom;
        moved = true;
    }
    if (spec->type)
        field->type = spec->type;
    if (spec->cellCount)
        field->cellCount =
            spec->cellCount > DISPLAY_MAX_CELLS ? DISPLAY_MAX_CELLS : spec->cellCount;
    if (spec->text)
        CopyText(field->text, spec->text);
    if (spec->litColor != spec->unlitColor) {
        field->litColor = spec->litColor;
        field->unlitColor = spec->unlitColor;
    }
    field->dirty = true;
    if (moved) {
        ResolveFieldRect(field, data->clientWidth, data->clientHeight);
        LayoutField(field);
        Invalidate(host, nullptr, true);
    } else {
        LayoutField(field);
        Invalidate(host, &field->rect, true);
    }
}

void GlassSetText(GlassDisplayData* data, uint32_t id, const char* text, const GlassHost* host) {
    for (DisplayField* f = data->fields; f; f = f->next) {
        if (f->id != id)
            continue;
        CopyText(f->text, text ? text : "");
        f->dirty = true;
        // Unchanged layout: draw over what is there, so steady digits do not flicker.
        const bool relaid = LayoutField(f);
        if (relaid)
            f->drawn[0] = '\0';
        Invalidate(host, &f->rect, relaid);
    }
}

void GlassForgetDrawn(GlassDisplayData* data) {
    for (DisplayField* f = data->fields; f; f = f->next) {
        f->dirty = true;
        f->drawn[0] = '\0';
    }
}

void GlassResize(GlassDisplayData* data, int width, int height, const GlassHost* host) {
    data->clientWidth = width;
    data->clientHeight = height;
    for (GlassCrack* c = data->cracks; c; c = c->next)
        GlassComputeCrackBounds(c, width, height, &c->bounds);
    for (DisplayField* f = data->fields; f; f = f->next) {
        ResolveFieldRect(f, width, height);
        f->drawn[0] = '\0';
        f->dirty = true;
        LayoutField(f);
    }
    Invalidate(host, nullptr, true);
}

// --- cracks --------------------------------------------------------------------------------------

GlassCrack* GlassCrackAt(GlassDisplayData* data, int x, int y) {
    if (data->clientWidth <= 0 || data->clientHeight <= 0)
        return nullptr;
    const int xt = static_cast<int>(static_cast<int64_t>(x) * 1000 / data->clientWidth);
    const int yt = static_cast<int>(static_cast<int64_t>(y) * 1000 / data->clientHeight);
    for (GlassCrack* c = data->cracks; c; c = c->next)
        if (std::abs(xt - c->x) < kNearCrack && std::abs(yt - c->y) < kNearCrack)
            return c;
    return nullptr;
}

void GlassComputeCrackBounds(const GlassCrack* crack, int width, int height, GlassRect* out) {
    const int cx = crack->x * width / 1000;
    const int cy = crack->y * height / 1000;
    GlassRect r = {10000, 10000, -10000, -10000};
    for (int ray = 0; ray < crack->rays; ++ray) {
        const int last = ray * crack->steps + crack->steps - 1;
        const GlassPoint p = CrackPoint(crack, last, cx, cy, height);
        if (p.x < r.left)
            r.left = p.x;
        if (p.y < r.top)
            r.top = p.y;
        if (p.x > r.right)
            r.right = p.x;
        if (p.y > r.bottom)
            r.bottom = p.y;
    }
    *out = r;
}

void GlassCrackExtent(const GlassCrack* crack, int width, int height, GlassRect* out) {
    const int cx = crack->x * width / 1000;
    const int cy = crack->y * height / 1000;
    GlassRect r = {cx, cy, cx + 1, cy + 1};
    for (int i = 0; i < crack->rays * crack->steps; ++i) {
        const GlassPoint p = CrackPoint(crack, i, cx, cy, height);
        r = Union(r, GlassRect{p.x, p.y, p.x + 1, p.y + 1});
    }
    *out = r;
}

void GlassShapeCrack(GlassCrack* crack, int x, int y, GlassRandom* rng) {
    crack->x = x;
    crack->y = y;
    crack->rays = static_cast<int>(GlassRandomDraw(rng, 6.0, 12.0));
    crack->steps = static_cast<int>(GlassRandomDraw(rng, 4.0, 7.0));
    const double angleStep = 6.284 / crack->rays;
    for (int i = 0; i < crack->rays; ++i) {
        int ax = 0, ay = 0;
        for (int j = 0; j < crack->steps; ++j) {
            const double radius = GlassRandomDraw(rng, 6 + 4 * j, 12 + 8 * j);
            const double angle = GlassRandomDraw(rng, i * angleStep, (i + 1) * angleStep);
            ax += static_cast<int>(std::sin(angle) * radius);
            ay += static_cast<int>(std::cos(angle) * radius);
            crack->points[i * crack->steps + j][0] = static_cast<int16_t>(ax);
            crack->points[i * crack->steps + j][1] = static_cast<int16_t>(ay);
        }
    }
}

bool GlassMakeCrack(GlassDisplayData* data, int x, int y, bool soundLoaded, const GlassHost* host) {
    const int w = data->clientWidth, h = data->clientHeight;
    if (w <= 0 || h <= 0 || GlassCrackAt(data, x, y))
        return false;
    GlassCrack* crack = static_cast<GlassCrack*>(std::calloc(1, sizeof(GlassCrack)));
    if (!crack)
        return false;
    GlassRandom rng;
    GlassRandomSeed(&rng, host && host->tickCount ? host->tickCount(host->ctx) : 0);
    GlassShapeCrack(crack, static_cast<int>(static_cast<int64_t>(x) * 1000 / w),
                    static_cast<int>(static_cast<int64_t>(y) * 1000 / h), &rng);
    crack->next = data->cracks;
    data->cracks = crack;
    GlassComputeCrackBounds(crack, w, h, &crack->bounds);
    if (soundLoaded && host && host->playSound)
        host->playSound(host->ctx);
    GlassCrack* old = data->hovered;
    data->hovered = crack;
    if (old) {
        const GlassRect r = CrackDamage(data, old);
        Invalidate(host, &r, true);
    }
    GlassForgetDrawn(data);
    Invalidate(host, nullptr, false);
    return true;
}

void GlassHover(GlassDisplayData* data, int x, int y, const GlassHost* host) {
    GlassCrack* under = GlassCrackAt(data, x, y);
    if (under == data->hovered)
        return;
    GlassCrack* old = data->hovered;
    data->hovered = under;
    if (old) {
        const GlassRect r = CrackDamage(data, old);
        Invalidate(host, &r, false);
    }
    if (under) {
        const GlassRect r = CrackDamage(data, under);
        Invalidate(host, &r, false);
    }
}

bool GlassRemoveCrack(GlassDisplayData* data, int x, int y, const GlassHost* host) {
    GlassCrack* crack = GlassCrackAt(data, x, y);
    if (!crack)
        return false;
    GlassCrack** link = &data->cracks;
    while (*link != crack)
        link = &(*link)->next;
    *link = crack->next;
    if (data->hovered == crack)
        data->hovered = nullptr;
    if (crack->bounds.right > crack->bounds.left) {
        const GlassRect r = CrackDamage(data, crack);
        Invalidate(host, &r, true);
    } else {
        Invalidate(host, nullptr, true);
    }
    std::free(crack);
    return true;
}

bool GlassCrackTest(GlassDisplayData* data, const GlassRect& rect) {
    if (!data)
        return false;
    for (GlassCrack* c = data->cracks; c; c = c->next) {
        const int mx = (c->bounds.left + c->bounds.right) / 2;
        const int my = (c->bounds.top + c->bounds.bottom) / 2;
        if (mx >= rect.left && mx <= rect.right && my >= rect.top && my <= rect.bottom) {
            c->bounds = Union(c->bounds, rect);
            return true;
        }
    }
    return false;
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
                line[j + 1] = CrackPoint(c, ray * c->steps + j, cx, cy, h);
            canvas->polyline(canvas->ctx, line, c->steps + 1, pen);
        }
        for (int k = 0; k < c->steps / 2; ++k) {
            for (int ray = 0; ray < c->rays; ++ray)
                ring[ray] = CrackPoint(c, ray * c->steps + k, cx, cy, h);
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
