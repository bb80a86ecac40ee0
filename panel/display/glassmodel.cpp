// The glass display's model: fields, their layout, and the cracks. See glassmodel.h.
#include "display/glassmodel.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kNearCrack = 20; // thousandths

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

// What a field paints: its rectangle, and for sixteen-segment characters the short bars that
// reach left of the first cell.
GlassRect FieldDamage(const DisplayField* f) {
    GlassRect r = f->rect;
    if (f->type == DISPLAY_FIELD_SIXTEEN_SEGMENT)
        r.left -= static_cast<int>(std::lround(20 * f->xScale)) + 1;
    return r;
}

void Invalidate(const GlassHost* host, const GlassRect* rect, bool erase) {
    if (host && host->invalidate)
        host->invalidate(host->ctx, rect, erase);
}

} // namespace

GlassPoint GlassCrackPoint(const GlassCrack* crack, int index, int cx, int cy, int height) {
    return {cx + crack->points[index][0] * height / 1000,
            cy + crack->points[index][1] * height / 1000};
}

// --- random --------------------------------------------------------------------------------------

void GlassRandomStart(GlassRandom* rng, uint32_t start) {
    rng->state = start;
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

void GlassSetField(GlassDisplayData* data, uint32_t id, const DisplayFieldSpec* request,
                   const GlassHost* host) {
    if (id == 0)
        return;
    DisplayField* field = GlassFindField(data, id);
    if (!request) {
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
    if (request->left != request->right) {
        field->posLeft = request->left;
        field->posRight = request->right;
        moved = true;
    }
    if (request->top != request->bottom) {
        field->posTop = request->top;
        field->posBottom = request->bottom;
        moved = true;
    }
    if (request->type)
        field->type = request->type;
    if (request->cellCount)
        field->cellCount =
            request->cellCount > DISPLAY_MAX_CELLS ? DISPLAY_MAX_CELLS : request->cellCount;
    if (request->text)
        CopyText(field->text, request->text);
    if (request->litColor != request->unlitColor) {
        field->litColor = request->litColor;
        field->unlitColor = request->unlitColor;
    }
    field->dirty = true;
    if (moved) {
        ResolveFieldRect(field, data->clientWidth, data->clientHeight);
        LayoutField(field);
        Invalidate(host, nullptr, true);
    } else {
        LayoutField(field);
        const GlassRect damage = FieldDamage(field);
        Invalidate(host, &damage, true);
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
        const GlassRect damage = FieldDamage(f);
        Invalidate(host, &damage, relaid);
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
        const GlassPoint p = GlassCrackPoint(crack, last, cx, cy, height);
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
        const GlassPoint p = GlassCrackPoint(crack, i, cx, cy, height);
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
    GlassRandomStart(&rng, host && host->tickCount ? host->tickCount(host->ctx) : 0);
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
