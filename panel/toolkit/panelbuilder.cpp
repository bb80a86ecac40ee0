// The panel builder's Win32 side (see panelbuilder.h).
#include "toolkit/panelbuilder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/colortriple.h"
#include "base/markers.h"
#include "base/resstr.h"
#include "toolkit/gdicache.h"
#include "toolkit/panelbuilder_caption.h"
#include "toolkit/panelbutton.h"

namespace {

constexpr DWORD kButtonGroupBits = 0x00700000;
constexpr DWORD kButtonSkipBit = 0x00400000;

// The template that holds the panel: the D item names another one for finding the resource.
UINT ResourceTemplateId(HINSTANCE module, UINT templateId) {
    const char* d = GetStringItem(module, templateId, 'D', 0, nullptr);
    return d ? static_cast<UINT>(CrtAtoi(d)) : templateId;
}

bool FindTemplate(HINSTANCE module, UINT templateId, HRSRC* resource, HGLOBAL* handle) {
    UINT id = ResourceTemplateId(module, templateId) & 0xFFFF;
    *resource = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5) /*RT_DIALOG*/);
    if (*resource == nullptr)
        return false;
    *handle = LoadResource(module, *resource);
    return *handle != nullptr;
}

void ToAnsi(const TemplateText& text, char* out, size_t capacity) {
    out[0] = '\0';
    if (text.isOrdinal || text.chars == nullptr || text.length == 0)
        return;
    WCHAR wide[kCaptionCapacity];
    size_t n = text.length < kCaptionCapacity - 1 ? text.length : kCaptionCapacity - 1;
    for (size_t i = 0; i < n; ++i)
        wide[i] = TemplateTextUnit(text, i);
    int written = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(n), out,
                                      static_cast<int>(capacity - 1), nullptr, nullptr);
    out[written > 0 ? written : 0] = '\0';
}

bool LoadModuleString(void* context, uint32_t id, char* out, size_t capacity) {
    HINSTANCE module = static_cast<HINSTANCE>(context);
    return LoadStringA(module, id, out, static_cast<int>(capacity)) > 0;
}

void AddPaletteColour(void*, uint32_t colour) {
    PaletteAddColor(colour);
}

// The window class an item is created with, and which kind of button it became, if any.
struct ItemClass {
    char name[256];
    bool systemButton; // the button atom mapped to "BUTTON"
    bool panelButton;  // AppBtnClass, named or mapped
};

void MapItemClass(const TemplateItem& item, ItemClass* out) {
    *out = ItemClass{};
    if (!item.windowClass.isOrdinal) {
        ToAnsi(item.windowClass, out->name, sizeof out->name);
        out->panelButton = strcmp(out->name, "AppBtnClass") == 0;
        return;
    }
    const char* name;
    switch (item.windowClass.ordinal) {
        case 0x80:
            if (PanelControlsRegistered) {
                name = "AppBtnClass";
                out->panelButton = true;
            } else {
                name = "BUTTON";
                out->systemButton = true;
            }
            break;
        case 0x81:
            name = "EDIT";
            break;
        case 0x83:
            name = "LISTBOX";
            break;
        case 0x84:
            name = "SCROLLBAR";
            break;
        case 0x85:
            name = "COMBOBOX";
            break;
        default: {
            DWORD type = item.style & 0x0F;
            bool picture = type == SS_ICON || type == SS_BITMAP;
            name = !picture && PanelControlsRegistered ? "AppStatClass" : "STATIC";
            break;
        }
    }
    snprintf(out->name, sizeof out->name, "%s", name);
}

// Resolves a title that begins with "@" (always with the language offset), a bounded number of
// times so a string that names itself ends.
void ResolveTitle(char* title, UINT templateId) {
    for (int i = 0; title[0] == '@'; ++i) {
        UINT id = title[1] == '@' ? templateId : static_cast<UINT>(CrtAtoi(title + 1));
        id += kLanguageOffset;
        if (i >= kMaxCaptionReferences ||
            LoadStringA(AppInstance(), id, title, static_cast<int>(kPanelTitleSize)) <= 0) {
            snprintf(title, kPanelTitleSize, "ERR: %u", id);
        }
    }
}

void ApplyStringItemTexts(HWND parent, HINSTANCE module, UINT templateId) {
    for (int i = 0;; ++i) {
        const char* item = GetStringItem(module, templateId, 'L', i, nullptr);
        if (item == nullptr)
            break;
        const char* eq = strchr(item, '=');
        if (eq == nullptr)
            continue;
        HWND child = GetDlgItem(parent, CrtAtoi(item));
        if (child != nullptr)
            SetWindowTextA(child, eq + 1);
    }
}

void Notify(PanelRecord* panel, UINT message, WPARAM wParam, LPARAM lParam) {
    if (panel->callback == nullptr)
        return;
    LONG result = 0;
    panel->callback(panel, message, wParam, lParam, &result);
}

void ClearPanel(PanelRecord* panel) {
    panel->itemCount = 0;
    Notify(panel, PNM_PRECLEAR, 0, 0);
    if (panel->backgroundBrush != nullptr) {
        DeleteObject(panel->backgroundBrush);
        panel->backgroundBrush = nullptr;
    }
    Notify(panel, PNM_CLEAR, 0, 0);
}

// The icons of the first count items, once the keys that showed them are gone.
void DestroyItemIcons(PanelRecord* panel, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (panel->items[i].icon != nullptr)
            DestroyIcon(panel->items[i].icon);
        panel->items[i].icon = nullptr;
    }
}

void DestroyChildren(HWND parent) {
    SetFocus(nullptr);
    while (HWND child = GetWindow(parent, GW_CHILD)) {
        if (!DestroyWindow(child))
            break; // a child of another thread: leave it rather than loop
    }
}

// Makes room for count items in *place; false (and an empty place) when memory runs out.
bool ReservePanel(PanelRecord** place, uint32_t count) {
    if (*place != nullptr && (*place)->capacity >= count)
        return true;
    free(*place);
    *place = nullptr;
    size_t bytes = sizeof(PanelRecord) + sizeof(PanelItem) * (count ? count - 1 : 0);
    auto* panel = static_cast<PanelRecord*>(calloc(1, bytes));
    if (panel == nullptr)
        return false;
    panel->capacity = count;
    *place = panel;
    return true;
}

void FillPanel(PanelRecord* panel, HWND parent, HINSTANCE module, UINT templateId,
               const PanelTemplateInfo& info) {
    panel->templateFont = info.font;
    const char* w = GetStringItem(module, templateId, 'W', 0, nullptr);
    panel->callback =
        w ? reinterpret_cast<PanelCallback>(reinterpret_cast<void*>(GetProcAddress(module, w)))
          : nullptr;
    panel->parent = parent;
    panel->templateRect = info.rect;
    panel->band = DefaultPanelBand(info.rect);
    panel->marker = kPanelNoMarker;
    const char* c = GetStringItem(module, templateId, 'C', 0, nullptr);
    panel->backgroundColor = c ? ParseColorTriple(c) : GetSysColor(COLOR_BTNFACE);
    PaletteAddColor(panel->backgroundColor);
}

// Creates one item's control; returns false when the item takes no item record.
bool CreateItem(PanelRecord* panel, const TemplateItem& item, const PanelTemplateInfo& info,
                const RECT& target, HINSTANCE module, PanelItem* record) {
    PanelArea rect = TemplateUnitsToPixels(item.x, item.y, item.cx, item.cy,
                                           TemplateBaseUnits{info.baseX, info.baseY});
    if (item.id == kPanelMarkerId || item.id == kPanelMarkerIdAlt) {
        panel->band = PanelBand{rect.left, rect.top, rect.right, rect.bottom};
        panel->marker = item.id;
        return false;
    }
    ItemClass cls;
    MapItemClass(item, &cls);
    DWORD style = item.style;
    if (cls.systemButton && (style & kButtonGroupBits)) {
        if (style & kButtonSkipBit)
            return false;
        style = (style & ~kButtonGroupBits) | WS_VISIBLE;
    }
    record->controlId = item.id;
    record->templateRect = rect;
    RECT placed{rect.left, rect.top, rect.right, rect.bottom};
    MapPanelRect(panel, &target, &placed);

    char caption[kCaptionCapacity];
    if (item.text.isOrdinal)
        snprintf(caption, sizeof caption, "#%d", item.text.ordinal);
    else
        ToAnsi(item.text, caption, sizeof caption);
    CaptionServices services{module, LoadModuleString, AddPaletteColour};
    CaptionResult markup;
    ProcessCaption(caption, sizeof caption, item.id, services, &markup);
    if (markup.colourBlock && cls.systemButton)
        style |= BS_OWNERDRAW;

    record->window = CreateWindowExA(
        0, cls.name, caption, style | WS_CHILD, placed.left, placed.top, placed.right - placed.left,
        placed.bottom - placed.top, panel->parent,
        reinterpret_cast<HMENU>(static_cast<UINT_PTR>(item.id)), AppInstance(), nullptr);
    HWND window = record->window;
    if (window == nullptr)
        return true;
    HFONT font = markup.hasFont ? CachedFont(GetCachedFont(markup.fontSpec)) : nullptr;
    if (font == nullptr)
        font = info.font;
    if (font != nullptr)
        SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (markup.textLimit > 0)
        SendMessageA(window, EM_LIMITTEXT, static_cast<WPARAM>(markup.textLimit), 0);
    if ((cls.panelButton || cls.systemButton) && (style & BS_ICON)) {
        record->icon = static_cast<HICON>(
            LoadImageA(module, MAKEINTRESOURCEA(item.id), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
        if (record->icon != nullptr)
            SendMessageA(window, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(record->icon));
    }
    return true;
}

} // namespace

const BYTE* ParseTemplateHeader(const void* dialogTemplate, DWORD size, PanelTemplateInfo* info) {
    const auto* bytes = static_cast<const uint8_t*>(dialogTemplate);
    TemplateHeader header;
    if (!ReadTemplateHeader(bytes, size, &header))
        return nullptr;
    *info = PanelTemplateInfo{};
    LONG units = GetDialogBaseUnits();
    info->baseX = LOWORD(units);
    info->baseY = HIWORD(units);
    ToAnsi(header.title, info->title, sizeof info->title);
    if (header.hasFont) {
        char face[256];
        ToAnsi(header.face, face, sizeof face);
        char fontText[300];
        snprintf(fontText, sizeof fontText, "%s,%d", face, header.pointSize);
        HFONT font = CachedFont(GetCachedFont(fontText));
        if (font != nullptr) {
            info->font = font;
            if (HDC dc = GetDC(nullptr)) {
                HGDIOBJ old = SelectObject(dc, font);
                static const char kAlphabet[] =
                    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
                SIZE extent{};
                TEXTMETRICA tm{};
                GetTextExtentPoint32A(dc, kAlphabet, 52, &extent);
                GetTextMetricsA(dc, &tm);
                info->baseX = HorizontalBaseFromAlphabetWidth(extent.cx);
                info->baseY = tm.tmHeight;
                SelectObject(dc, old);
                ReleaseDC(nullptr, dc);
            }
        }
    }
    info->itemCount = header.itemCount;
    info->rect = TemplateUnitsToPixels(0, 0, header.cx, header.cy,
                                       TemplateBaseUnits{info->baseX, info->baseY});
    return bytes + header.firstItem;
}

bool GetPanelTemplateRect(HINSTANCE module, UINT templateId, RECT* rect) {
    HRSRC resource;
    HGLOBAL handle;
    if (!FindTemplate(module, templateId, &resource, &handle))
        return false;
    const void* data = LockResource(handle);
    if (data == nullptr)
        return false;
    PanelTemplateInfo info;
    if (ParseTemplateHeader(data, SizeofResource(module, resource), &info) == nullptr)
        return false;
    *rect = RECT{info.rect.left, info.rect.top, info.rect.right, info.rect.bottom};
    return true;
}

bool BuildPanel(HWND parent, PanelRecord** place, const RECT* target, HINSTANCE module,
                UINT templateId) {
    if (place == nullptr)
        return false;
    HRSRC resource;
    HGLOBAL handle;
    if (!FindTemplate(module, templateId, &resource, &handle))
        return false;
    uint32_t oldCount = *place != nullptr ? (*place)->itemCount : 0;
    if (*place != nullptr)
        ClearPanel(*place);
    DestroyChildren(parent);
    if (*place != nullptr)
        DestroyItemIcons(*place, oldCount);
    RECT area;
    if (target != nullptr)
        area = *target;
    else
        GetClientRect(parent, &area);
    InvalidateRect(parent, &area, FALSE);

    const auto* data = static_cast<const uint8_t*>(LockResource(handle));
    DWORD size = SizeofResource(module, resource);
    PanelTemplateInfo* info = static_cast<PanelTemplateInfo*>(calloc(1, sizeof *info));
    const BYTE* first = data && info ? ParseTemplateHeader(data, size, info) : nullptr;
    if (first == nullptr) {
        free(info);
        FreeResource(handle);
        return true; // an extended or unreadable template leaves the parent without controls
    }
    if (!ReservePanel(place, info->itemCount)) {
        free(info);
        FreeResource(handle);
        return false;
    }
    PanelRecord* panel = *place;
    FillPanel(panel, parent, module, templateId, *info);

    uint32_t used = 0;
    size_t pos = static_cast<size_t>(first - data);
    for (uint32_t i = 0; i < info->itemCount; ++i) {
        TemplateItem item;
        if (!ReadTemplateItem(data, size, pos, &item))
            break; // a truncated template keeps the controls read so far
        pos = item.next;
        PanelItem* record = &panel->items[used];
        *record = PanelItem{};
        if (CreateItem(panel, item, *info, area, module, record))
            ++used;
    }

    char* title = info->title;
    ResolveTitle(title, templateId);
    ApplyStringItemTexts(parent, module, templateId);
    SetWindowTextA(parent, title);
    free(info);

    // The count is set before PNM_BUILT so that the callback sees the controls it is told of.
    panel->itemCount = used;
    Notify(panel, PNM_BUILT, templateId, reinterpret_cast<LPARAM>(panel));
    PostMessageA(parent, PNM_READY, templateId, reinterpret_cast<LPARAM>(panel));
    FreeResource(handle);
    return true;
}

void MapPanelRect(const PanelRecord* panel, const RECT* client, RECT* rect) {
    PanelArea c{client->left, client->top, client->right, client->bottom};
    PanelArea r{rect->left, rect->top, rect->right, rect->bottom};
    MapPanelRectByBand(panel->templateRect, panel->band, c, &r);
    *rect = RECT{r.left, r.top, r.right, r.bottom};
}

void LayoutPanel(PanelRecord* panel) {
    if (panel == nullptr)
        return;
    RECT client;
    GetClientRect(panel->parent, &client);
    for (uint32_t i = 0; i < panel->itemCount; ++i) {
        const PanelItem& item = panel->items[i];
        if (item.window == nullptr)
            continue;
        RECT r{item.templateRect.left, item.templateRect.top, item.templateRect.right,
               item.templateRect.bottom};
        MapPanelRect(panel, &client, &r);
        SetWindowPos(item.window, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
}
