// The shell's Win32 side under Wine: strings through the language offset, markers against the
// real string table and version resource, class registration, the about box and the registry.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "res/resource.h"
#include "base/aboutbox.h"
#include "base/resstr.h"
#include "base/settings.h"
#include "base/window_wine_test.h"

namespace {

std::string Formatted(UINT id, ...) {
    char out[1024];
    va_list args;
    va_start(args, id);
    LoadFormattedString(out, sizeof out, id, args);
    va_end(args);
    return out;
}

TEST(ResourceStrings, LanguageOffsetErrorsAndMarkers) {
    EXPECT_EQ("LTC Off", Formatted(IDS_LTC_OFF));
    EXPECT_EQ("LTC aus", Formatted(11010));
    EXPECT_EQ("About Korvane Varlo Control", Formatted(IDS_ABOUT_TITLE));
    EXPECT_EQ("[Err 20077]", Formatted(77));
    EXPECT_EQ("[Err 12345]", Formatted(12345));
    EXPECT_EQ("3 items of box", Formatted(29990, 3, "box"));
    char small[8];
    va_list none = {};
    LoadFormattedString(small, sizeof small, IDS_ABOUT_TITLE, none);
    EXPECT_STREQ("About K", small);
    char text[64];
    ASSERT_TRUE(LoadAppString(IDS_ABOUT_TITLE_DE, text, sizeof text));
    EXPECT_EQ('\xDC', text[0]); // the German title's umlaut: code page 1252
    EXPECT_FALSE(LoadAppString(77, text, sizeof text));
    EXPECT_STREQ("", text);

    // Markers against the program's resources. Capacity 0: "@22001" frees six characters, too
    // few for its 27, and the room stays for the version text.
    EXPECT_EQ("Left  right\r\n2.22", Formatted(29992));
    char room[128] = "@22001: @1010";
    EXPECT_EQ(1, ExpandMarkers(room, sizeof room));
    EXPECT_STREQ("About Korvane Varlo Control: LTC Off", room);
}

TEST(VersionText, ReadFromTheBuiltProgramOrAnErrorText) {
    char text[32] = "unchanged";
    EXPECT_TRUE(GetFileVersionText(VARLOCTL_EXE, text, sizeof text));
    EXPECT_STREQ("2.22", text);
    EXPECT_TRUE(GetProgramVersionText(text, sizeof text));
    EXPECT_STREQ("2.22", text);
    char tiny[3];
    EXPECT_TRUE(GetFileVersionText(VARLOCTL_EXE, tiny, sizeof tiny));
    EXPECT_STREQ("2.", tiny);
    // Files without version information give an error text.
    EXPECT_FALSE(GetFileVersionText("C:\\windows\\win.ini", text, sizeof text));
    EXPECT_EQ(0u, std::string(text).rfind("{ERR ", 0)) << text;
    EXPECT_FALSE(GetFileVersionText("C:\\no\\such\\file.exe", text, sizeof text));
    EXPECT_EQ(0u, std::string(text).rfind("{ERR ", 0)) << text;

    // With the program path unavailable: no text, and the marker gives "?.??".
    std::strcpy(text, "unchanged");
    SetAppInstance(reinterpret_cast<HINSTANCE>(0x10)); // no module there
    EXPECT_FALSE(GetProgramVersionText(text, sizeof text));
    EXPECT_STREQ("unchanged", text);
    char marker[32] = "V $####";
    EXPECT_EQ(1, ExpandMarkers(marker, 0));
    SetAppInstance(nullptr);
    EXPECT_STREQ("V ?.??", marker);
}

TEST(ClassRegistration, AddsOwnDcAndLoadsIconAndCursor) {
    ATOM atom = RegisterAppClass("ShellTestClass", 0x10003, DefWindowProcA, 8, IDI_PROGRAM,
                                 MAKEINTRESOURCEA(IDCUR_GLASS), nullptr);
    ASSERT_NE(0, atom);
    WNDCLASSA wc = {};
    ASSERT_TRUE(GetClassInfoA(AppInstance(), "ShellTestClass", &wc));
    EXPECT_EQ(UINT(CS_OWNDC | CS_VREDRAW | CS_HREDRAW), wc.style); // high bits dropped
    EXPECT_EQ(8, wc.cbWndExtra);
    EXPECT_NE(nullptr, wc.hIcon);
    EXPECT_NE(nullptr, wc.hCursor);
    EXPECT_NE(wc.hCursor, LoadCursorA(nullptr, IDC_ARROW));

    ASSERT_NE(0, RegisterAppClass("ShellTestClass2", 0, DefWindowProcA, 0, 0, IDC_ARROW, nullptr));
    ASSERT_TRUE(GetClassInfoA(AppInstance(), "ShellTestClass2", &wc));
    EXPECT_EQ(LoadCursorA(nullptr, IDC_ARROW), wc.hCursor); // the system's cursor of that name
    EXPECT_EQ(nullptr, wc.hIcon);
    EXPECT_EQ(UINT(CS_OWNDC), wc.style);
    EXPECT_EQ(0, RegisterAppClass("ShellTestClass2", 0, DefWindowProcA, 0, 0, nullptr, nullptr));
}

void CALLBACK CloseAbout(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = FindWindowA("#32770", "About Korvane Varlo Control");
    if (box)
        PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
}

TEST(AboutBox, TitleAndTextWithTheVersionModalBoxEndsWithOne) {
    HWND box =
        CreateDialogParamA(AppInstance(), MAKEINTRESOURCEA(IDD_ABOUT), nullptr, AboutBoxProc, 0);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ("About Korvane Varlo Control", WindowText(box));
    std::string text = WindowText(GetDlgItem(box, IDC_ABOUT_TEXT));
    EXPECT_EQ(0u, text.rfind("Korvane Varlo Control V 2.22\r\n\r\n", 0)) << text;
    EXPECT_NE(std::string::npos, text.find("Korvane Elektronik\r\n"));
    EXPECT_EQ("Edit", WindowClass(GetDlgItem(box, IDC_ABOUT_TEXT)));
    DestroyWindow(box);

    UINT_PTR timer = SetTimer(nullptr, 0, 50, CloseAbout);
    INT_PTR result =
        DialogBoxParamA(AppInstance(), MAKEINTRESOURCEA(IDD_ABOUT), nullptr, AboutBoxProc, 0);
    KillTimer(nullptr, timer);
    EXPECT_EQ(1, result);
}

class Settings : public ::testing::Test {
protected:
    // One window for all placement cases: Wine without a window manager spends two seconds
    // hiding or destroying a window that was shown.
    static void SetUpTestSuite() {
        window = CreateWindowExA(0, "STATIC", "placement", WS_POPUP, 100, 100, 300, 200, nullptr,
                                 nullptr, AppInstance(), nullptr);
    }
    static void TearDownTestSuite() { DestroyWindow(window); }
    void SetUp() override { RegDeleteTreeA(HKEY_CURRENT_USER, VARLO_SETTINGS_KEY); }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, VARLO_SETTINGS_KEY); }
    void SetRaw(const char* name, DWORD type, const void* data, DWORD size) {
        HKEY key = OpenSettingsKey();
        ASSERT_NE(nullptr, key);
        RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }
    static WINDOWPLACEMENT Placement() {
        WINDOWPLACEMENT wp = {};
        wp.length = sizeof wp;
        GetWindowPlacement(window, &wp);
        return wp;
    }
    static HWND window;
};
HWND Settings::window;

TEST_F(Settings, StringRoundTripDefaultsAndValuesThatAreNoStrings) {
    char buf[100] = "untouched";
    EXPECT_EQ(11, ReadSettingString(VARLO_VALUE_TIMECODE, buf, sizeof buf, VARLO_DEFAULT_TIMECODE));
    EXPECT_STREQ("00:59:50:00", buf);
    EXPECT_EQ(1, WriteSettingString(VARLO_VALUE_TIMECODE, "01:02:03:04"));
    EXPECT_EQ(11, ReadSettingString(VARLO_VALUE_TIMECODE, buf, sizeof buf, "x"));
    EXPECT_STREQ("01:02:03:04", buf);
    EXPECT_EQ(0, ReadSettingString("Missing", buf, sizeof buf, nullptr));
    EXPECT_STREQ("", buf);
    char small[4];
    EXPECT_EQ(3, ReadSettingString("Missing", small, sizeof small, "00:59:50:00"));
    EXPECT_STREQ("00:", small);
    // A value too long for the buffer gives the default.
    ASSERT_EQ(1, WriteSettingString(VARLO_VALUE_TIMECODE, std::string(150, 'x').c_str()));
    EXPECT_EQ(11, ReadSettingString(VARLO_VALUE_TIMECODE, buf, sizeof buf, VARLO_DEFAULT_TIMECODE));
    EXPECT_STREQ("00:59:50:00", buf);

    // Values that are not terminated strings never leave raw bytes.
    DWORD number = 0x41414141;
    SetRaw("Number", REG_DWORD, &number, sizeof number);
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(0, ReadSettingString("Number", buf, sizeof buf, nullptr));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(3, ReadSettingString("Number", buf, sizeof buf, "dft"));
    EXPECT_STREQ("dft", buf);

    // A string stored without its terminator, exactly filling the buffer, does not fit.
    std::string full(100, 'a');
    SetRaw("Full", REG_SZ, full.data(), DWORD(full.size()));
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(0, ReadSettingString("Full", buf, sizeof buf, nullptr));
    EXPECT_STREQ("", buf);
    // One that is shorter gets its terminator.
    SetRaw("Short", REG_SZ, "abc", 3);
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(3, ReadSettingString("Short", buf, sizeof buf, nullptr));
    EXPECT_STREQ("abc", buf);
}

TEST_F(Settings, UnusablePlacementsShowTheWindowAsCreatedAMaximisedOneIsRestored) {
    ASSERT_NE(nullptr, window);
    ASSERT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(0, RestoreWindowPlacement(VARLO_VALUE_WINDOWPOS, window, SW_SHOW)); // none stored
    EXPECT_TRUE(IsWindowVisible(window));
    // A value that is no text (malformed texts: Placement on the host): not applied, the given
    // show command is.
    const BYTE raw[] = {'1', ',', '2'};
    SetRaw(VARLO_VALUE_WINDOWPOS, REG_BINARY, raw, sizeof raw);
    EXPECT_EQ(0, RestoreWindowPlacement(VARLO_VALUE_WINDOWPOS, window, SW_SHOWMAXIMIZED));
    EXPECT_TRUE(IsZoomed(window));
    RECT normal = Placement().rcNormalPosition; // not applied
    EXPECT_EQ(100, normal.left);
    EXPECT_EQ(200, normal.bottom - normal.top);

    // Which stored show commands survive: Placement on the host.
    WriteSettingString(VARLO_VALUE_WINDOWPOS, "3,10,20,530,230,-1,-1,-1,-1");
    EXPECT_EQ(1, RestoreWindowPlacement(VARLO_VALUE_WINDOWPOS, window, SW_SHOWNORMAL));
    EXPECT_FALSE(IsZoomed(window));
    EXPECT_EQ(1, RestoreWindowPlacement(VARLO_VALUE_WINDOWPOS, window, SW_SHOW));
    EXPECT_TRUE(IsZoomed(window));
    // Closed while minimised from maximised: it opens maximised again.
    ShowWindow(window, SW_MINIMIZE);
    StoreWindowPlacement(VARLO_VALUE_WINDOWPOS, window);
    EXPECT_EQ(1, RestoreWindowPlacement(VARLO_VALUE_WINDOWPOS, window, SW_SHOW));
    EXPECT_TRUE(IsZoomed(window));
}

} // namespace
