// Counts the GDI objects of the test's process, for tests that check that drawing leaks nothing.
// Wine 8's GetGuiResources answers 0, so the count is read from the process's GDI handle table
// (PEB offset 0xF8 on x64): 65536 entries of 24 bytes, in use while the byte at offset 14 (the
// object type) is not 0. Stock objects are counted too.
#pragma once

#include <windows.h>

#include <cstdint>

inline int ProcessGdiObjects() {
    using PebFn = const uint8_t*(WINAPI*)();
    static auto currentPeb = reinterpret_cast<PebFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetCurrentPeb")));
    const uint8_t* table = *reinterpret_cast<const uint8_t* const*>(currentPeb() + 0xF8);
    int count = 0;
    for (int i = 0; i < 0x10000; ++i)
        count += table[24 * i + 14] != 0;
    return count;
}
