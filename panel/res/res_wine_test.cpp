// The resources of the built VARLOCTL.exe, read back from the file: the background tile and the
// glass sound. (Its version block: base_wine_test; its dialog templates field by field:
// panelbuilder_wine_test, from the same resource script.)
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "res/resource.h"

namespace {

HMODULE Program() {
    static HMODULE module = LoadLibraryExA(VARLOCTL_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    return module;
}

const BYTE* Resource(const char* type, UINT id, DWORD* size) {
    HRSRC found = FindResourceA(Program(), MAKEINTRESOURCEA(id), type);
    if (!found)
        return nullptr;
    *size = SizeofResource(Program(), found);
    return static_cast<const BYTE*>(LockResource(LoadResource(Program(), found)));
}

// Loading the pictures, cursor and icon is the GDI cache's and class registration's tests' part.
TEST(ProgramResources, PaletteTileAndSound) {
    DWORD size = 0;
    ASSERT_NE(nullptr, Resource(MAKEINTRESOURCEA(2), IDB_BACKGROUND, &size)); // RT_BITMAP
    EXPECT_EQ(17064u, size); // 160 x 100 with a 256-colour palette
    const BYTE* wave = Resource("WAVE", IDR_GLASS_SOUND, &size);
    ASSERT_NE(nullptr, wave);
    ASSERT_GT(size, 44u);
    EXPECT_EQ(0, std::memcmp(wave, "RIFF", 4));
    EXPECT_EQ(0, std::memcmp(wave + 8, "WAVEfmt ", 8));
}

} // namespace
