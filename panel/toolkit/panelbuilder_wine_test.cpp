// The panel builder with real windows under Wine: template 1005 of the program's resources and
// the test templates of panelbuilder_test.rc; the program's templates field by field.
#include "toolkit/panelbuilder.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "base/resstr.h"
#include "base/window_wine_test.h"
#include "res/resource.h"
#include "toolkit/panelbutton.h"

namespace {

struct CallbackCall {
    uint32_t itemCount;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<CallbackCall> g_calls;

} // namespace

extern "C" __declspec(dllexport) void WINAPI
    PanelTestCallback(PanelRecord* panel, UINT message, WPARAM wParam, LPARAM lParam,
                      LONG* result) {
    EXPECT_EQ(*result, 0);
    g_calls.push_back({panel->itemCount, message, wParam, lParam});
}

namespace {

using Edges = std::array<LONG, 4>; // left, top, right, bottom

class PanelBuilder : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* name : {"AppBtnClass", "AppStatClass", "AppDisplayClass", "PanelTestHost"})
            RegisterTestClass(name);
        PanelControlsRegistered = true;
    }

    void SetUp() override {
        g_calls.clear();
        ASSERT_TRUE(GetPanelTemplateRect(AppInstance(), IDD_PANEL, &templateRect));
        // A frameless host whose client area is exactly the template. It stays hidden: Wine
        // takes two seconds to destroy a shown top-level window on a display without a manager.
        host = CreateWindowExA(0, "PanelTestHost", "", WS_POPUP | WS_CLIPCHILDREN, 0, 0,
                               templateRect.right, templateRect.bottom, nullptr, nullptr,
                               AppInstance(), nullptr);
        ASSERT_NE(host, nullptr);
    }

    void TearDown() override {
        DestroyWindow(host);
        PumpMessages();
    }

    void Resize(int width, int height) {
        SetWindowPos(host, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOMOVE);
        LayoutPanel(panel);
    }

    HWND Item(int id) { return GetDlgItem(host, id); }
    // How far each edge of control `id` lies from its template place.
    Edges Shift(int id) {
        const RECT r = PlaceInParent(Item(id));
        for (uint32_t i = 0; i < panel->itemCount; ++i)
            if (panel->items[i].controlId == id) {
                const PanelArea& t = panel->items[i].templateRect;
                return {r.left - t.left, r.top - t.top, r.right - t.right, r.bottom - t.bottom};
            }
        ADD_FAILURE() << "no item " << id;
        return {};
    }

    RECT templateRect{};
    HWND host = nullptr;
    PanelRecord* panel = nullptr;
};

TEST_F(PanelBuilder, PanelTemplatePlacesEveryControlAndGrowsTheGlassDisplay) {
    ASSERT_TRUE(BuildPanel(host, &panel, nullptr, AppInstance(), IDD_PANEL));
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->itemCount, 19u); // the marker takes no record
    EXPECT_EQ(panel->marker, 65534);
    EXPECT_NE(panel->templateFont, nullptr);
    EXPECT_EQ(panel->templateRect.right, templateRect.right);
    EXPECT_EQ(panel->backgroundColor, GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(WindowText(host), "Korvane Varlo Control");
    for (uint32_t i = 0; i < panel->itemCount; ++i) {
        const PanelItem& item = panel->items[i];
        ASSERT_NE(item.window, nullptr) << item.controlId;
        Edges shift = Shift(item.controlId);
        if (item.controlId == IDC_LOGO) // the system static takes its bitmap's size
            shift[2] = shift[3] = 0;
        EXPECT_EQ(shift, Edges{}) << item.controlId;
    }
    EXPECT_EQ(WindowClass(Item(IDC_START_EDIT)), "Edit");
    // The logo: ordinal caption 108 through the system static with SS_BITMAP.
    HWND logo = Item(IDC_LOGO);
    EXPECT_EQ(WindowClass(logo), "Static");
    EXPECT_NE(SendMessageA(logo, STM_GETIMAGE, IMAGE_BITMAP, 0), 0);
    // A hidden label exists, invisible, with its text, in the record.
    HWND fps = Item(IDC_FPS_LABEL);
    EXPECT_FALSE(GetWindowLongA(fps, GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(WindowClass(fps), "AppStatClass");
    EXPECT_EQ(WindowText(fps), "FPS:");
    // PNM_READY is posted to the parent.
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, host, PNM_READY, PNM_READY, PM_REMOVE));
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(IDD_PANEL));
    EXPECT_EQ(msg.lParam, reinterpret_cast<LPARAM>(panel));

    // Growth goes to the glass display and moves the keys down.
    const int w = templateRect.right, h = templateRect.bottom;

    // Wider: the band sits at the display's right end, so every key keeps its place.
    Resize(w + 100, h);
    for (int id : {IDC_LTC_WRITE, IDC_LTC_OFF, IDC_LTC_MTC, IDC_START_EDIT, IDC_START_SET,
                   IDC_FPS_24, IDC_FPS_30, IDC_LEVEL_M9, IDC_LEVEL_P4, IDC_FPS_LABEL})
        EXPECT_EQ(Shift(id), Edges{}) << id;
    EXPECT_EQ(Shift(IDC_DISPLAY), (Edges{0, 0, 100, 0}));

    Resize(w, h + 50);
    for (int id : {IDC_LTC_WRITE, IDC_LTC_OFF, IDC_FPS_24, IDC_LEVEL_P4, IDC_VU_LABEL})
        EXPECT_EQ(Shift(id), (Edges{0, 50, 0, 50})) << id;
    EXPECT_EQ(Shift(IDC_DISPLAY), (Edges{0, 0, 0, 50}));
}

TEST_F(PanelBuilder, CaptionsStringItemsTitleRebuildingAndAMissingTemplate) {
    ASSERT_TRUE(BuildPanel(host, &panel, nullptr, AppInstance(), 3001));
    EXPECT_EQ(WindowText(host), "Test Panel"); // "@@" title: 3001 + 20000
    // What caption markup means is the host tests' part (Caption): here it reaches the controls.
    std::vector<std::string> texts; // own, L item, missing string, own font
    for (int id = 3010; id <= 3013; ++id)
        texts.push_back(WindowText(Item(id)));
    EXPECT_EQ(texts, (std::vector<std::string>{"Own text", "Changed", "[23999]", "Big"}));
    HFONT big = reinterpret_cast<HFONT>(SendMessageA(Item(3013), WM_GETFONT, 0, 0));
    EXPECT_NE(big, nullptr);
    EXPECT_NE(big, panel->templateFont);
    EXPECT_EQ(SendMessageA(Item(3010), WM_GETFONT, 0, 0),
              reinterpret_cast<LRESULT>(panel->templateFont));
    EXPECT_EQ(SendMessageA(Item(3019), EM_GETLIMITTEXT, 0, 0), 5);
    EXPECT_EQ(panel->backgroundColor, 0x1E140Au); // C item 10,20,30
    EXPECT_EQ(panel->marker, kPanelNoMarker);
    EXPECT_EQ(panel->band.left, panel->templateRect.right / 2);
    // Registered panel controls take the button atom, even with group bits.
    EXPECT_EQ(WindowClass(Item(3016)), "AppBtnClass");
    EXPECT_NE(Item(3017), nullptr);
    // The W callback heard the build.
    ASSERT_EQ(g_calls.size(), 1u);
    const CallbackCall& built = g_calls[0]; // about the built panel, counted
    EXPECT_EQ(std::tie(built.message, built.wParam, built.lParam, built.itemCount),
              std::make_tuple(PNM_BUILT, WPARAM{3001}, reinterpret_cast<LPARAM>(panel), 9u));

    // Rebuilding reuses the record and replaces the controls.
    PanelRecord* first = panel;
    HWND old = Item(3010);
    panel->backgroundBrush = CreateSolidBrush(0x123456);
    g_calls.clear();
    ASSERT_TRUE(BuildPanel(host, &panel, nullptr, AppInstance(), 3001));
    EXPECT_EQ(panel, first);
    EXPECT_FALSE(IsWindow(old));
    EXPECT_NE(Item(3010), nullptr);
    EXPECT_EQ(panel->backgroundBrush, nullptr);
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[0].itemCount, 0u); // cleared first
    EXPECT_EQ((std::array{g_calls[0].message, g_calls[1].message, g_calls[2].message}),
              (std::array<UINT, 3>{PNM_PRECLEAR, PNM_CLEAR, PNM_BUILT}));

    // A bigger template needs a new record; the panel is all template 1005 now.
    ASSERT_TRUE(BuildPanel(host, &panel, nullptr, AppInstance(), IDD_PANEL));
    EXPECT_EQ(panel->itemCount, 19u);
    EXPECT_EQ(Item(3010), nullptr);
    EXPECT_NE(Item(IDC_DISPLAY), nullptr);

    // A missing template leaves the panel as it was.
    PanelRecord* whole = panel;
    EXPECT_FALSE(BuildPanel(host, &panel, nullptr, AppInstance(), 3999));
    EXPECT_EQ(panel, whole);
    EXPECT_NE(Item(IDC_DISPLAY), nullptr);
}

TEST_F(PanelBuilder, WithoutPanelControlsButtonsAreSystemButtons) {
    PanelControlsRegistered = false;
    bool built = BuildPanel(host, &panel, nullptr, AppInstance(), 3001);
    PanelControlsRegistered = true;
    ASSERT_TRUE(built);
    HWND own = Item(3016);
    EXPECT_EQ(WindowClass(own), "Button");
    EXPECT_EQ(GetWindowLongA(own, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    EXPECT_EQ(WindowText(own), "{B1,2,3}Own");
    EXPECT_EQ(Item(3017), nullptr); // 0x00400000: not created, no record
    HWND grouped = Item(3018);
    EXPECT_EQ(GetWindowLongA(grouped, GWL_STYLE) & 0x00700000, 0);
    EXPECT_TRUE(GetWindowLongA(grouped, GWL_STYLE) & WS_VISIBLE);
    auto icon = reinterpret_cast<HICON>(SendMessageA(Item(3020), BM_GETIMAGE, IMAGE_ICON, 0));
    EXPECT_NE(icon, nullptr);
    EXPECT_EQ(panel->itemCount, 8u);
    ASSERT_TRUE(BuildPanel(host, &panel, nullptr, AppInstance(), IDD_PANEL));
    ICONINFO info;
    EXPECT_FALSE(GetIconInfo(icon, &info)); // went with the panel it was loaded for
}

TEST_F(PanelBuilder, NoRecordExtendedAndRedirectedTemplates) {
    EXPECT_FALSE(BuildPanel(host, nullptr, nullptr, AppInstance(), IDD_PANEL));

    RECT r;
    EXPECT_FALSE(GetPanelTemplateRect(AppInstance(), 3999, &r));
    RECT direct, redirected;
    ASSERT_TRUE(GetPanelTemplateRect(AppInstance(), 3001, &direct));
    ASSERT_TRUE(GetPanelTemplateRect(AppInstance(), 3002, &redirected)); // D{3001}
    EXPECT_TRUE(EqualRect(&direct, &redirected));
    EXPECT_GT(direct.right, 0);

    ASSERT_TRUE(BuildPanel(host, &panel, nullptr, AppInstance(), 3004));
    EXPECT_EQ(WindowText(host), "ERR: 24000");
    EXPECT_EQ(panel->itemCount, 0u);

    // An extended template: true, and the parent keeps no controls.
    EXPECT_TRUE(BuildPanel(host, &panel, nullptr, AppInstance(), 3003));
    EXPECT_EQ(GetWindow(host, GW_CHILD), nullptr);
}

} // namespace
