// Proves the Windows test harness: programs built with mingw run under Wine with a registry that
// keeps what they write and a real X display behind their windows.
#include <windows.h>

#include <gtest/gtest.h>

namespace {

TEST(WineHarness, RegistryKeepsWhatIsWritten) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\VarloTest\\Harness", 0,
                                             nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const char text[] = "01:02:03:04";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Text", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(text), sizeof text));
    RegCloseKey(key);

    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\VarloTest\\Harness", 0,
                                           KEY_QUERY_VALUE, &key));
    char back[32] = {};
    DWORD type = 0, size = sizeof back;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(back), &size));
    RegCloseKey(key);
    EXPECT_EQ(DWORD(REG_SZ), type);
    EXPECT_STREQ(text, back);
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\VarloTest");
}

TEST(WineHarness, WindowPaintsOnTheDisplay) {
    HWND wnd = CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, 10, 10, 40, 40, nullptr,
                               nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(nullptr, wnd);
    HDC dc = GetDC(wnd);
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    RECT r = {0, 0, 40, 40};
    FillRect(dc, &r, red);
    GdiFlush();
    EXPECT_EQ(RGB(255, 0, 0), GetPixel(dc, 20, 20));
    DeleteObject(red);
    ReleaseDC(wnd, dc);
    DestroyWindow(wnd);
}

} // namespace
