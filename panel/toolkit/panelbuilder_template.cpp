// Dialog template reader and panel layout arithmetic (see panelbuilder_template.h).
#include "toolkit/panelbuilder_template.h"

namespace {

// A bounded cursor over the template bytes; every read fails once the end would be passed, and a
// failed cursor stays failed.
struct Cursor {
    const uint8_t* data;
    size_t size;
    size_t pos;
    bool ok;

    bool Has(size_t n) const { return ok && pos <= size && size - pos >= n; }

    uint16_t Word() {
        if (!Has(2)) {
            ok = false;
            return 0;
        }
        uint16_t v = static_cast<uint16_t>(data[pos] | data[pos + 1] << 8);
        pos += 2;
        return v;
    }

    uint32_t Dword() {
        uint32_t lo = Word();
        uint32_t hi = Word();
        return lo | hi << 16;
    }

    // A zero-terminated UTF-16 string at the cursor.
    TemplateText String() {
        TemplateText t{false, 0, data + (pos < size ? pos : size), 0};
        while (ok) {
            uint16_t c = Word();
            if (!ok || c == 0)
                break;
            ++t.length;
        }
        return t;
    }

    // sz_Or_Ord: 0 (absent), 0xFFFF and an ordinal, or a string.
    TemplateText StringOrOrdinal() {
        if (!Has(2)) {
            ok = false;
            return TemplateText{};
        }
        uint16_t first = static_cast<uint16_t>(data[pos] | data[pos + 1] << 8);
        if (first == 0) {
            pos += 2;
            return TemplateText{};
        }
        if (first == 0xFFFF) {
            pos += 2;
            TemplateText t{};
            t.isOrdinal = true;
            t.ordinal = Word();
            return t;
        }
        return String();
    }

    void AlignDword() {
        size_t aligned = (pos + 3) & ~static_cast<size_t>(3);
        pos = aligned;
    }
};

int32_t Scale(int32_t units, int32_t base, int32_t divisor) {
    return static_cast<int32_t>(static_cast<int64_t>(units) * base / divisor);
}

} // namespace

bool ReadTemplateHeader(const uint8_t* data, size_t size, TemplateHeader* out) {
    Cursor c{data, size, 0, data != nullptr};
    TemplateHeader h{};
    h.style = c.Dword();
    if (c.ok && (h.style >> 16) == 0xFFFF)
        return false; // DLGTEMPLATEEX
    c.Dword();        // extended style
    h.itemCount = c.Word();
    c.Word(); // x
    c.Word(); // y
    h.cx = static_cast<int16_t>(c.Word());
    h.cy = static_cast<int16_t>(c.Word());
    c.StringOrOrdinal(); // menu
    c.StringOrOrdinal(); // window class
    h.title = c.String();
    if (h.style & kTemplateDsSetFont) {
        h.hasFont = true;
        h.pointSize = c.Word();
        h.face = c.String();
    }
    if (!c.ok)
        return false;
    c.AlignDword();
    h.firstItem = c.pos;
    *out = h;
    return true;
}

bool ReadTemplateItem(const uint8_t* data, size_t size, size_t offset, TemplateItem* out) {
    Cursor c{data, size, offset, data != nullptr && offset <= size};
    TemplateItem item{};
    item.style = c.Dword();
    c.Dword(); // extended style
    item.x = static_cast<int16_t>(c.Word());
    item.y = static_cast<int16_t>(c.Word());
    item.cx = static_cast<int16_t>(c.Word());
    item.cy = static_cast<int16_t>(c.Word());
    item.id = c.Word();
    item.windowClass = c.StringOrOrdinal();
    item.text = c.StringOrOrdinal();
    // Creation data: a size word that counts itself, rounded up to whole words; 0 takes one word.
    uint16_t extra = c.Word();
    if (!c.ok)
        return false;
    size_t skip = extra == 0 ? 2 : (static_cast<size_t>(extra) + 1) & ~static_cast<size_t>(1);
    c.pos -= 2;
    if (!c.Has(skip))
        return false;
    c.pos += skip;
    c.AlignDword();
    item.next = c.pos;
    *out = item;
    return true;
}

uint16_t TemplateTextUnit(const TemplateText& text, size_t i) {
    return static_cast<uint16_t>(text.chars[2 * i] | text.chars[2 * i + 1] << 8);
}

void TemplateTextToLatin1(const TemplateText& text, char* out, size_t capacity) {
    if (capacity == 0)
        return;
    size_t n = 0;
    if (!text.isOrdinal && text.chars != nullptr) {
        for (; n < text.length && n + 1 < capacity; ++n) {
            uint16_t u = TemplateTextUnit(text, n);
            out[n] = static_cast<char>(u <= 0xFF ? u : '?');
        }
    }
    out[n] = '\0';
}

int32_t HorizontalBaseFromAlphabetWidth(int32_t width) {
    return (width / 26 + 1) / 2;
}

PanelArea TemplateUnitsToPixels(int32_t x, int32_t y, int32_t cx, int32_t cy,
                                TemplateBaseUnits base) {
    PanelArea r;
    r.left = Scale(x, base.horizontal, 4);
    r.top = Scale(y, base.vertical, 8);
    r.right = r.left + Scale(cx, base.horizontal, 4);
    r.bottom = r.top + Scale(cy, base.vertical, 8);
    return r;
}

PanelBand DefaultPanelBand(const PanelArea& templateRect) {
    int32_t midX = (templateRect.right - templateRect.left) / 2;
    int32_t midY = (templateRect.bottom - templateRect.top) / 2;
    return PanelBand{midX, midY, midX, midY};
}

int32_t MapPanelCoordinate(int32_t v, int32_t oldSize, int32_t newSize, int32_t lo, int32_t hi) {
    if (newSize <= oldSize || v < lo)
        return v;
    int64_t growth = static_cast<int64_t>(newSize) - oldSize;
    if (v < hi) {
        int64_t span = static_cast<int64_t>(hi) - lo;
        return static_cast<int32_t>(lo + (static_cast<int64_t>(v) - lo) * (span + growth) / span);
    }
    return static_cast<int32_t>(v + growth);
}

void MapPanelRectByBand(const PanelArea& templateRect, const PanelBand& band,
                        const PanelArea& client, PanelArea* rect) {
    int32_t oldW = templateRect.right - templateRect.left;
    int32_t oldH = templateRect.bottom - templateRect.top;
    int32_t newW = client.right - client.left;
    int32_t newH = client.bottom - client.top;
    rect->left = MapPanelCoordinate(rect->left, oldW, newW, band.left, band.right) + client.left;
    rect->right = MapPanelCoordinate(rect->right, oldW, newW, band.left, band.right) + client.left;
    rect->top = MapPanelCoordinate(rect->top, oldH, newH, band.top, band.bottom) + client.top;
    rect->bottom = MapPanelCoordinate(rect->bottom, oldH, newH, band.top, band.bottom) + client.top;
}
