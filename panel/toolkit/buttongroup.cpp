// Radio groups of panel keys: the selection sequence. See buttongroup.h.
#include "toolkit/buttongroup.h"

namespace {

ButtonGroup* g_table = nullptr;

int32_t Notify(ButtonGroup* group, HWND window, int32_t code, uint32_t id, PanelColor* param) {
    if (!group->handler)
        return -1;
    GroupNotify notify = {group, window, code, id, param};
    return group->handler(&notify);
}

void SendKeyColor(ButtonGroup* group, HWND window, uint32_t id, PanelColor color,
                  const GroupSink& sink) {
    Notify(group, window, GRP_COLOR, id, &color);
    if (sink.sendColor)
        sink.sendColor(window, id, color);
}

} // namespace

void SetButtonGroupTable(ButtonGroup* table) {
    g_table = table;
}

ButtonGroup* ButtonGroupTable() {
    return g_table;
}

ButtonGroup* FindButtonGroup(uint32_t id) {
    if (!g_table)
        return nullptr;
    for (ButtonGroup* g = g_table; g->firstId != 0; ++g)
        if (g->firstId <= id && id <= g->lastId)
            return g;
    return nullptr;
}

void InitButtonGroupsWith(HWND window, const GroupSink& sink) {
    if (!g_table)
        return;
    for (ButtonGroup* g = g_table; g->firstId != 0; ++g) {
        Notify(g, window, GRP_INIT, 0, nullptr);
        if (sink.addColor) {
            sink.addColor(g->selectedColor);
            sink.addColor(g->unselectedColor);
        }
        for (uint32_t id = g->firstId; id <= g->lastId; ++id) {
            PanelColor color = g->unselectedColor;
            if (id == g->currentId) {
                Notify(g, window, GRP_SELECT, id, nullptr);
                color = g->selectedColor;
            }
            SendKeyColor(g, window, id, color, sink);
        }
    }
}

int SelectGroupButtonWith(HWND window, uint32_t id, int ask, const GroupSink& sink) {
    ButtonGroup* g = FindButtonGroup(id);
    if (!g)
        return 0;
    if (ask && Notify(g, window, GRP_QUERY, id, nullptr) == 1)
        return 0;
    const uint32_t old = g->currentId;
    g->currentId = static_cast<uint16_t>(id);
    if (old != 0) {
        SendKeyColor(g, window, old, g->unselectedColor, sink);
        Notify(g, window, GRP_DESELECT, old, nullptr);
    }
    Notify(g, window, GRP_SELECT, id, nullptr);
    SendKeyColor(g, window, id, g->selectedColor, sink);
    if (ask)
        Notify(g, window, GRP_CHANGED, id, nullptr);
    return 1;
}

int32_t SetGroupRememberedId(HWND, uint32_t id, int32_t value) {
    ButtonGroup* g = FindButtonGroup(id);
    if (!g)
        return 0;
    const int32_t old = g->rememberedId;
    g->rememberedId = value;
    return old;
}
